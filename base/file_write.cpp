#include "base/file_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vorn {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows them
// Room left for the target's name in a temporary's name: with the dot and
// ".vorn-PID-XXXXXX" it stays within a file name's 255 bytes.
constexpr size_t kNameRoom = 200;
constexpr std::string_view kTempMark = ".vorn-";

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a path leads to once its symbolic links are followed.
struct Destination {
  enum Kind { kNone, kRegular, kDirectory, kSpecial, kDescriptor } kind = kNone;
  std::string path;    // the name the last link leads to
  int descriptor = -1;  // kDescriptor: this process's descriptor
};

bool on_procfs(const std::string& directory) {
  struct statfs fs;
  return ::statfs(directory.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// n for a link "directory/n" of this process's own descriptor table
// (/proc/self/fd, also reached as /dev/fd); -1 for any other.
int own_descriptor(const std::string& directory, const std::string& name) {
  struct stat a, b;
  if (::stat(directory.c_str(), &a) != 0 || ::stat("/proc/self/fd", &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino || name.empty() || name.size() > 9)
    return -1;
  int n = 0;
  for (const char c : name) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

// Follows the links of path one at a time, as the kernel would, stopping at
// a link into /proc: those name open files (pipes, terminals, deleted files)
// by descriptor, and their text is no path to write to. False with errno
// set for a loop of links or a name that cannot be looked at.
bool find_destination(const char* path, Destination* out) {
  std::string p = path;
  for (int hop = 0;; ++hop) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      *out = {Destination::kNone, p, -1};
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      const auto kind = S_ISREG(st.st_mode)   ? Destination::kRegular
                        : S_ISDIR(st.st_mode) ? Destination::kDirectory
                                              : Destination::kSpecial;
      *out = {kind, p, -1};
      return true;
    }
    if (hop == kMaxLinks) return errno = ELOOP, false;
    const std::string dir = directory_of(p);
    if (on_procfs(dir)) {
      const int fd = own_descriptor(dir, name_of(p));
      *out = {fd >= 0 ? Destination::kDescriptor : Destination::kSpecial, p, fd};
      return true;
    }
    std::string link(size_t(st.st_size > 0 ? st.st_size + 1 : PATH_MAX), '\0');
    const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
    if (n < 0) return false;
    if (size_t(n) == link.size()) return errno = ENAMETOOLONG, false;  // grew since the lstat
    link.resize(size_t(n));
    // A relative link is read from the directory that holds it; the kernel
    // resolves "dir/../x" through dir's own links, as it resolved the link.
    p = link[0] == '/' ? link : dir + "/" + link;
  }
}

// Opens the file in place. A FIFO waits for its reader, as any writer into a
// FIFO does: a reader started beside the tool may open it after the tool
// does. Every other kind opens without waiting (O_NONBLOCK, cleared after),
// and writes block as usual.
int open_in_place(const std::string& path, int extra_flags, bool* regular) {
  const int flags_out = O_WRONLY | O_NOCTTY | O_CLOEXEC | extra_flags;
  int fd = ::open(path.c_str(), flags_out | O_NONBLOCK, 0644);
  if (fd < 0 && errno == ENXIO) fd = ::open(path.c_str(), flags_out, 0644);  // a FIFO without a reader yet
  if (fd < 0) return -1;
  struct stat st;
  const int flags = ::fcntl(fd, F_GETFL);
  if (::fstat(fd, &st) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return -1;
  }
  *regular = S_ISREG(st.st_mode);
  if (*regular && (extra_flags & O_TRUNC) == 0 && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A writer that may not add names to the directory may still rewrite the
// file itself.
bool temp_refused(int err) { return err == EACCES || err == EPERM || err == EROFS || err == ENAMETOOLONG; }

std::string temp_pattern(const std::string& directory, const std::string& name) {
  return directory + "/." + name.substr(0, kNameRoom) + std::string(kTempMark) + std::to_string(::getpid()) +
         "-XXXXXX";
}

}  // namespace

int64_t temporary_owner(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return -1;
  name.remove_prefix(prefix.size());
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash > 9) return -1;
  const std::string_view tail = name.substr(dash + 1);
  if (tail.empty() || tail.size() > 16) return -1;
  for (const char c : tail)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return -1;
  int64_t pid = 0;
  for (const char c : name.substr(0, dash)) {
    if (c < '0' || c > '9') return -1;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

bool process_gone(int64_t pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

void remove_stale_temporaries(const std::string& directory) {
  DIR* d = ::opendir(directory.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    const size_t mark = name.rfind(kTempMark);
    if (name[0] != '.' || mark == std::string_view::npos || mark < 2) continue;
    if (!process_gone(temporary_owner(name, name.substr(0, mark + kTempMark.size())))) continue;
    struct stat st;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

FileWrite::~FileWrite() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

ReplaceStatus FileWrite::open(const char* path) {
  Destination to;
  if (!find_destination(path, &to) || to.kind == Destination::kDirectory) return ReplaceStatus::kOpen;
  target_ = to.path;
  bool regular = false;
  if (to.kind == Destination::kDescriptor) {
    // The caller's own descriptor, shared: its offset moves with what is
    // written, as the shell that opened it expects.
    const int flags = ::fcntl(to.descriptor, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return ReplaceStatus::kOpen;
    fd_ = ::fcntl(to.descriptor, F_DUPFD_CLOEXEC, 0);
    return fd_ < 0 ? ReplaceStatus::kOpen : ReplaceStatus::kOk;
  }
  if (to.kind == Destination::kSpecial) {
    fd_ = open_in_place(target_, 0, &regular);
    flush_ = regular;
    return fd_ < 0 ? ReplaceStatus::kOpen : ReplaceStatus::kOk;
  }
  const std::string dir = directory_of(target_);
  remove_stale_temporaries(dir);
  std::string temp = temp_pattern(dir, name_of(target_));
  fd_ = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd_ < 0) {
    if (!temp_refused(errno)) return ReplaceStatus::kTemp;
    fd_ = open_in_place(target_, O_CREAT | O_TRUNC, &regular);
    flush_ = regular;
    return fd_ < 0 ? ReplaceStatus::kTemp : ReplaceStatus::kOk;
  }
  temp_ = temp;
  // mkstemp makes the file 0600; what the system writes is 0644.
  return ::fchmod(fd_, 0644) == 0 ? ReplaceStatus::kOk : ReplaceStatus::kTemp;
}

bool FileWrite::write(const void* bytes, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  while (length > 0) {
    const ssize_t n = ::write(fd_, p, length > (uint64_t(1) << 30) ? size_t(1) << 30 : size_t(length));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= uint64_t(n);
  }
  return true;
}

ReplaceStatus FileWrite::commit() {
  if (fd_ < 0) return ReplaceStatus::kFlush;
  const bool renamed = !temp_.empty();
  bool ok = !(renamed || flush_) || ::fsync(fd_) == 0;
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok) return ReplaceStatus::kFlush;
  if (!renamed) return ReplaceStatus::kOk;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return ReplaceStatus::kRename;
  temp_.clear();
  // Make the rename itself durable; the new file is in place either way.
  const int dfd = ::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return ReplaceStatus::kOk;
}

ReplaceStatus write_file_whole(const char* path, const void* bytes, uint64_t length) {
  FileWrite file;
  const ReplaceStatus opened = file.open(path);
  if (opened != ReplaceStatus::kOk) return opened;
  if (!file.write(bytes, length)) return ReplaceStatus::kWrite;
  return file.commit();
}

std::string link_destination(const char* path) {
  Destination to;
  return find_destination(path, &to) ? to.path : std::string(path);
}

std::string make_temporary_beside(const char* path) {
  Destination to;
  if (!find_destination(path, &to) || to.kind == Destination::kDirectory) return "";
  std::string dir;
  if (to.kind == Destination::kNone || to.kind == Destination::kRegular) {
    dir = directory_of(to.path);
  } else {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  }
  remove_stale_temporaries(dir);
  std::string temp = temp_pattern(dir, name_of(to.path));
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return "";
  ::close(fd);
  return temp;
}

}  // namespace vorn
