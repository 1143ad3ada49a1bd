#include "base/file_replace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace vorn {

namespace {

int64_t& injected_failure() {
  static int64_t step = -1;
  return step;
}

// Counts steps for the failure-injection hook; true when this one must fail.
bool inject_now() {
  int64_t& n = injected_failure();
  if (n < 0) return false;
  return n-- == 0;
}

bool pwrite_fully(int fd, const uint8_t* p, uint64_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n > (uint64_t(1) << 30) ? (size_t(1) << 30) : size_t(n), off_t(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= uint64_t(w);
    offset += uint64_t(w);
  }
  return true;
}

// Errors after which a copy through user memory may still work.
bool kernel_copy_unsupported(int err) { return err == EXDEV || err == ENOSYS || err == EOPNOTSUPP || err == EINVAL; }

bool is_write_error(int err) { return err == ENOSPC || err == EDQUOT || err == EFBIG; }

constexpr uint64_t kCopyChunk = uint64_t(64) << 20;
constexpr uint64_t kBufferChunk = uint64_t(1) << 20;
// Renames by other editors between opening and locking are retried; a file
// replaced this many times in a row is given up on.
constexpr int kLockAttempts = 1000;

}  // namespace

void file_replace_inject_failure(int64_t n) { injected_failure() = n; }

FileReplace::~FileReplace() {
  if (out_fd_ >= 0) ::close(out_fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
  if (target_fd_ >= 0) ::close(target_fd_);  // releases the lock
}

ReplaceStatus FileReplace::open(const char* path) {
  // The file a link names is rewritten: replacing the link itself would turn
  // it into a copy and leave its target old.
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) return ReplaceStatus::kOpen;
  path_ = resolved;
  std::free(resolved);
  const size_t slash = path_.rfind('/');
  dir_ = slash == 0 ? "/" : path_.substr(0, slash);
  temp_prefix_.assign(1, '.');
  temp_prefix_.append(path_, slash + 1);
  temp_prefix_ += ".edit-";

  // Only a regular file is edited. A FIFO or a device is refused before it
  // is opened, and opened without waiting should one take the name since.
  if (::stat(path_.c_str(), &st_) != 0 || !S_ISREG(st_.st_mode)) return ReplaceStatus::kOpen;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    target_fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (target_fd_ < 0 || ::fstat(target_fd_, &st_) != 0 || !S_ISREG(st_.st_mode)) return ReplaceStatus::kOpen;
    if (::fcntl(target_fd_, F_SETFL, ::fcntl(target_fd_, F_GETFL) & ~O_NONBLOCK) != 0) return ReplaceStatus::kOpen;
    int r;
    do r = ::flock(target_fd_, LOCK_EX);
    while (r != 0 && errno == EINTR);
    if (r != 0) return ReplaceStatus::kLock;
    // Another editor may have renamed a new file over the path while this
    // one waited: edit what the path names now.
    struct stat now;
    if (::stat(path_.c_str(), &now) == 0 && now.st_dev == st_.st_dev && now.st_ino == st_.st_ino) break;
    ::close(target_fd_);
    target_fd_ = -1;
  }
  if (target_fd_ < 0) return ReplaceStatus::kLock;

  // Under the lock no other editor of this file is writing a temporary, so
  // any of our naming is left from a killed one.
  if (DIR* d = ::opendir(dir_.c_str())) {
    const size_t want = temp_prefix_.size() + 6;
    while (dirent* e = ::readdir(d))
      if (std::strlen(e->d_name) == want && std::strncmp(e->d_name, temp_prefix_.c_str(), temp_prefix_.size()) == 0)
        ::unlinkat(::dirfd(d), e->d_name, 0);
    ::closedir(d);
  }
  return ReplaceStatus::kOk;
}

ReplaceStatus FileReplace::begin() {
  std::string name = dir_ + "/" + temp_prefix_ + "XXXXXX";
  out_fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (out_fd_ < 0) return ReplaceStatus::kTemp;
  temp_ = name;
  struct stat own;
  if (::fstat(out_fd_, &own) != 0) return ReplaceStatus::kTemp;
  if ((own.st_uid != st_.st_uid || own.st_gid != st_.st_gid) && ::fchown(out_fd_, st_.st_uid, st_.st_gid) != 0)
    return ReplaceStatus::kOwner;
  // After the owner: changing it may clear the set-id bits.
  if (::fchmod(out_fd_, st_.st_mode & 07777) != 0) return ReplaceStatus::kTemp;
  return ReplaceStatus::kOk;
}

bool FileReplace::write(const void* bytes, uint64_t length, uint64_t offset) {
  if (inject_now()) return false;
  return pwrite_fully(out_fd_, static_cast<const uint8_t*>(bytes), length, offset);
}

ReplaceStatus FileReplace::copy(uint64_t from, uint64_t length, uint64_t to) {
  // The kernel copies without a trip through user memory, and shares the
  // blocks where the file system can.
  while (length > 0) {
    if (inject_now()) return ReplaceStatus::kWrite;
    loff_t in = loff_t(from), out = loff_t(to);
    const ssize_t n = ::copy_file_range(target_fd_, &in, out_fd_, &out, length < kCopyChunk ? length : kCopyChunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && kernel_copy_unsupported(errno)) break;
    if (n < 0) return is_write_error(errno) ? ReplaceStatus::kWrite : ReplaceStatus::kRead;
    if (n == 0) return ReplaceStatus::kRead;  // the target is shorter than it said
    from += uint64_t(n);
    to += uint64_t(n);
    length -= uint64_t(n);
  }
  if (length == 0) return ReplaceStatus::kOk;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBufferChunk]);
  if (!buffer) return ReplaceStatus::kRead;
  while (length > 0) {
    const uint64_t n = length < kBufferChunk ? length : kBufferChunk;
    ssize_t got;
    do got = ::pread(target_fd_, buffer.get(), size_t(n), off_t(from));
    while (got < 0 && errno == EINTR);
    if (got <= 0) return ReplaceStatus::kRead;
    if (!write(buffer.get(), uint64_t(got), to)) return ReplaceStatus::kWrite;
    from += uint64_t(got);
    to += uint64_t(got);
    length -= uint64_t(got);
  }
  return ReplaceStatus::kOk;
}

ReplaceStatus FileReplace::commit() {
  if (inject_now() || ::fsync(out_fd_) != 0) return ReplaceStatus::kFlush;
  const int fd = out_fd_;
  out_fd_ = -1;
  if (::close(fd) != 0) return ReplaceStatus::kFlush;
  if (inject_now() || ::rename(temp_.c_str(), path_.c_str()) != 0) return ReplaceStatus::kRename;
  temp_.clear();
  // Make the rename itself durable; the new file is in place either way.
  const int dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return ReplaceStatus::kOk;
}

}  // namespace vorn
