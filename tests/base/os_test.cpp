#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/os.h"

namespace vorn {
namespace {

TEST(Os, SendToAClosedPeerFailsWithoutSigpipe) {
  // With SIGPIPE at its default action the process would die here if the
  // send did not suppress the signal.
  struct sigaction old {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  int pair[2];
  ASSERT_EQ(os_socketpair(pair), 0);
  EXPECT_EQ(socket_set_nosigpipe(pair[0]), 0);
  EXPECT_EQ(socket_set_timeouts(pair[0], 2), 0);
  EXPECT_EQ(os_send(pair[0], "ping", 4, 0), 4);
  char buf[8];
  EXPECT_EQ(os_read(pair[1], buf, sizeof buf), 4);
  os_close(pair[1]);
  errno = 0;
  EXPECT_EQ(os_send(pair[0], "ping", 4, 0), -1);
  EXPECT_EQ(errno, EPIPE);
  os_close(pair[0]);
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(socket_set_nosigpipe(-1), -1);
  EXPECT_NE(socket_set_timeouts(-1, 1), 0);
}

TEST(Os, NonBlockingFlag) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(fd_set_nonblocking(p[0]), 0);
  EXPECT_NE(fcntl(p[0], F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(fd_set_nonblocking(p[0]), 0);  // already set
  char c;
  EXPECT_EQ(os_read(p[0], &c, 1), -1);
  EXPECT_EQ(errno, errno_eagain());
  close(p[0]);
  close(p[1]);
  EXPECT_EQ(fd_set_nonblocking(-1), -1);
}

TEST(Os, FilesDirectoriesAndStat) {
  char dir[] = "/tmp/vorn_os_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string sub = std::string(dir) + "/sub";
  EXPECT_EQ(os_mkdir(sub.c_str(), 0755), 0);
  std::string a = std::string(dir) + "/a", b = std::string(dir) + "/b";
  int fd = open(a.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(os_write(fd, "12345", 5), 5);
  EXPECT_EQ(os_close(fd), 0);
  EXPECT_EQ(os_rename(a.c_str(), b.c_str()), 0);

  std::vector<uint8_t> record(stat_record_size());
  auto* st = reinterpret_cast<struct stat*>(record.data());
  ASSERT_EQ(os_stat(b.c_str(), st), 0);
  EXPECT_EQ(stat_size(st), 5);
  EXPECT_TRUE(S_ISREG(stat_mode(st)));
  EXPECT_EQ(stat_uid(st), getuid());
  EXPECT_GT(stat_mtime_seconds(st), 1000000000);
  ASSERT_EQ(os_lstat(sub.c_str(), st), 0);
  EXPECT_TRUE(S_ISDIR(stat_mode(st)));
  EXPECT_NE(os_stat(a.c_str(), st), 0);

  DIR* d = os_opendir(dir);
  ASSERT_NE(d, nullptr);
  std::vector<std::string> names;
  while (struct dirent* e = os_readdir(d)) {
    std::string n = dirent_name(e);
    if (n != "." && n != "..") names.push_back(n);
  }
  EXPECT_EQ(os_closedir(d), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b", "sub"}));
  unlink(b.c_str());
  rmdir(sub.c_str());
  rmdir(dir);
}

TEST(Os, PathsAndConstants) {
  EXPECT_EQ(path_separator(), '/');
  EXPECT_EQ(path_separator_slice().view(), "/");
  EXPECT_TRUE(is_path_separator('/'));
  EXPECT_FALSE(is_path_separator('\\'));
  EXPECT_TRUE(path_is_absolute(slice_of(std::string_view("/models"))));
  EXPECT_FALSE(path_is_absolute(slice_of(std::string_view("models/a"))));
  EXPECT_FALSE(path_is_absolute(empty_slice()));
  EXPECT_EQ(errno_eintr(), EINTR);
}

std::string g_hooked;
int g_hook_calls = 0;

TEST(Console, ErrorHookTakesOverStandardError) {
  ASSERT_FALSE(error_hook_is_set());
  error_hook_set([](int fd, const uint8_t* bytes, uint64_t len) {
    EXPECT_EQ(fd, 2);
    g_hooked.append(reinterpret_cast<const char*>(bytes), len);
    ++g_hook_calls;
  });
  EXPECT_TRUE(error_hook_is_set());
  error_line(slice_of(std::string_view("first")));
  error_newline();
  EXPECT_EQ(g_hooked, "first");  // the hook gets no newline
  EXPECT_EQ(g_hook_calls, 2);
  error_hook_clear();
  EXPECT_FALSE(error_hook_is_set());

  // Without a hook the text and a newline go to descriptor 2.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int saved = dup(2);
  dup2(p[1], 2);
  error_line(slice_of(std::string_view("second")));
  error_newline();
  dup2(saved, 2);
  close(saved);
  close(p[1]);
  char buf[32] = {};
  EXPECT_EQ(read(p[0], buf, sizeof buf), 8);
  EXPECT_STREQ(buf, "second\n\n");
  close(p[0]);
}

}  // namespace
}  // namespace vorn
