#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"

namespace vorn {
namespace {

class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    char name[] = "/tmp/vorn_files_XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    write_all(fd_, bytes.data(), bytes.size());
  }
  ~TempFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string path_;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
  return v;
}

TEST(PreadAll, ReadsAtOffsetAndRefusesShortReads) {
  auto bytes = pattern(100);
  TempFile f(bytes);
  std::vector<uint8_t> buf(40, 0);
  ASSERT_TRUE(pread_all(f.fd(), buf.data(), 40, 30));
  EXPECT_EQ(0, std::memcmp(buf.data(), bytes.data() + 30, 40));
  ASSERT_TRUE(pread_all(f.fd(), buf.data(), 40, 60));  // ends exactly at EOF
  // The file ends 10 bytes before the requested range does.
  EXPECT_FALSE(pread_all(f.fd(), buf.data(), 40, 70));
  EXPECT_FALSE(pread_all(f.fd(), buf.data(), 1, 100));
  EXPECT_TRUE(pread_all(f.fd(), buf.data(), 0, 1000));  // nothing to read
  EXPECT_FALSE(pread_all(-1, buf.data(), 4, 0));
}

TEST(PreadAll, PipeDeliveringPiecesIsNotSeekable) {
  // A pipe cannot pread: the call must fail rather than loop.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  write_all(p[1], "abcd", 4);
  char buf[4];
  EXPECT_FALSE(pread_all(p[0], buf, 4, 0));
  close(p[0]);
  close(p[1]);
}

TEST(WriteAll, WritesEverythingThroughAPipeInPieces) {
  // A pipe smaller than the buffer forces partial writes; a reader drains it.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  auto bytes = pattern(1 << 20);
  std::vector<uint8_t> got;
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    write_all(p[1], bytes.data(), bytes.size());
    _exit(0);
  }
  close(p[1]);
  uint8_t chunk[65536];
  ssize_t n;
  while ((n = read(p[0], chunk, sizeof chunk)) > 0) got.insert(got.end(), chunk, chunk + n);
  close(p[0]);
  EXPECT_EQ(got, bytes);
}

TEST(Files, OpenFlagsAndFileSize) {
  EXPECT_EQ(os_open_write_flags(), O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(os_open_append_flags(), O_WRONLY | O_CREAT | O_APPEND);
  TempFile f(pattern(123));
  EXPECT_EQ(fd_file_size(f.fd()), 123);
  EXPECT_EQ(fd_file_size(-1), -1);
  errno = 0;
  EXPECT_EQ(close(-1), -1);
  EXPECT_EQ(last_errno(), EBADF);
}

TEST(Clock, MonotonicSecondsAdvances) {
  double a = monotonic_seconds();
  usleep(2000);
  double b = monotonic_seconds_alt();
  EXPECT_GT(b - a, 0.001);
  EXPECT_LT(b - a, 5.0);
}

TEST(OpenRegularFile, OpensOnlyRegularFilesAndNeverWaits) {
  char dir[] = "/tmp/vorn_files_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  TempFile file(pattern(10));
  const std::string regular = "/proc/self/fd/" + std::to_string(file.fd());
  int64_t size = -1;
  const int fd = open_regular_file(regular.c_str(), &size);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads block as usual
  close(fd);
  // A FIFO without a writer would hold a plain open forever.
  for (const std::string& path : {fifo, std::string(dir), std::string("/dev/zero")}) {
    EXPECT_EQ(open_regular_file(path.c_str(), &size), kNotRegularFile) << path;
    EXPECT_STREQ(open_failure_text(kNotRegularFile), "not a regular file");
  }
  EXPECT_EQ(open_regular_file((std::string(dir) + "/none").c_str(), &size), -1);
  EXPECT_EQ(errno, ENOENT);
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(WipeBytes, ZeroesAndIgnoresNull) {
  uint8_t b[5] = {1, 2, 3, 4, 5};
  wipe_bytes(b + 1, 3);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[1] | b[2] | b[3], 0);
  EXPECT_EQ(b[4], 5);
  wipe_bytes(nullptr, 10);
  wipe_bytes(b, 0);
  EXPECT_EQ(b[0], 1);
}

TEST(XorFold, LargeUnalignedBuffersMatchWordLoop) {
  auto bytes = pattern(4096 + 7);
  for (size_t start : {0u, 1u, 3u}) {
    for (size_t len : {4u, 31u, 32u, 33u, 100u, 4099u}) {
      uint32_t want = 0;
      for (size_t w = 0; w + 4 <= len; w += 4) {
        const uint8_t* p = bytes.data() + start + w;
        want ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
      }
      EXPECT_EQ(xor_fold_u32(bytes.data() + start, len), want) << start << " " << len;
    }
  }
  const uint8_t word[7] = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(xor_fold_u32(word, 7), 0x04030201u);
  EXPECT_EQ(xor_fold_u32(word, 3), 0u);
}

}  // namespace
}  // namespace vorn
