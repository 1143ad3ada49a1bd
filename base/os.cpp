#include "base/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace vorn {

int os_mkdir(const char* path, uint32_t mode) { return ::mkdir(path, static_cast<mode_t>(mode)); }
int os_rename(const char* from, const char* to) { return ::rename(from, to); }
int os_stat(const char* path, struct stat* out) { return ::stat(path, out); }
int os_lstat(const char* path, struct stat* out) { return ::lstat(path, out); }
DIR* os_opendir(const char* path) { return ::opendir(path); }
struct dirent* os_readdir(DIR* dir) { return ::readdir(dir); }
int os_closedir(DIR* dir) { return ::closedir(dir); }
int64_t os_read(int fd, void* buffer, uint64_t length) { return ::read(fd, buffer, length); }
int64_t os_write(int fd, const void* buffer, uint64_t length) { return ::write(fd, buffer, length); }
int os_close(int fd) { return ::close(fd); }

int64_t os_send(int fd, const void* buffer, uint64_t length, int flags) {
  return ::send(fd, buffer, length, flags | MSG_NOSIGNAL);
}

uint64_t stat_record_size() { return sizeof(struct stat); }
uint32_t stat_mode(const struct stat* st) { return st->st_mode; }
uint32_t stat_uid(const struct stat* st) { return st->st_uid; }
int64_t stat_mtime_seconds(const struct stat* st) { return st->st_mtim.tv_sec; }
int64_t stat_size(const struct stat* st) { return st->st_size; }
const char* dirent_name(const struct dirent* entry) { return entry->d_name; }

namespace {
constinit const uint8_t kSeparator[1] = {'/'};
}

uint8_t path_separator() { return '/'; }
Slice path_separator_slice() { return Slice{kSeparator, 1}; }
bool is_path_separator(uint8_t byte) { return byte == '/'; }
bool path_is_absolute(Slice path) { return path.len > 0 && path.ptr[0] == '/'; }

int errno_eintr() { return EINTR; }
int errno_eagain() { return EAGAIN; }

int socket_set_nosigpipe(int fd) { return ::fcntl(fd, F_GETFD) < 0 ? -1 : 0; }

int socket_set_timeouts(int fd, int64_t seconds) {
  struct timeval tv{};
  tv.tv_sec = static_cast<time_t>(seconds);
  int r = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (r != 0) return r;
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int fd_set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  if (flags & O_NONBLOCK) return 0;
  return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int os_socketpair(int pair[2]) { return ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair); }

}  // namespace vorn
