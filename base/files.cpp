#include "base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace vorn {

bool pread_all(int fd, void* buffer, uint64_t length, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

void write_all(int fd, const void* buffer, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  uint64_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd, p + done, length - done);
    if (n < 1) return;
    done += static_cast<uint64_t>(n);
  }
}

int os_open_write_flags() { return O_WRONLY | O_CREAT | O_TRUNC; }
int os_open_append_flags() { return O_WRONLY | O_CREAT | O_APPEND; }
int last_errno() { return errno; }

int64_t fd_file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int open_regular_file(const char* path, int64_t* size) {
  struct stat st;
  if (::stat(path, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return kNotRegularFile;
  // Something else may take the name between the look and the open: a FIFO
  // opened without blocking cannot hold the call, and the descriptor's own
  // kind decides.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  const int flags = ::fcntl(fd, F_GETFL);
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return regular ? -1 : kNotRegularFile;
  }
  *size = static_cast<int64_t>(st.st_size);
  return fd;
}

const char* open_failure_text(int result) {
  return result == kNotRegularFile ? "not a regular file" : std::strerror(errno);
}

double monotonic_seconds() {
  struct timespec ts;
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::fma(static_cast<double>(ts.tv_nsec), 1e-9, static_cast<double>(ts.tv_sec));
}

double monotonic_seconds_alt() { return monotonic_seconds(); }

void wipe_bytes(void* ptr, uint64_t length) {
  if (ptr == nullptr || length == 0) return;
  std::memset(ptr, 0, length);
}

uint32_t xor_fold_u32(const void* ptr, uint64_t length) {
  const auto* p = static_cast<const uint8_t*>(ptr);
  uint64_t words = length / 4;
  // Eight independent lanes so the loop vectorises; XOR is order-free.
  uint32_t lanes[8] = {};
  uint64_t i = 0;
  for (; i + 8 <= words; i += 8) {
    uint32_t w[8];
    std::memcpy(w, p + i * 4, 32);
    for (int k = 0; k < 8; ++k) lanes[k] ^= w[k];
  }
  uint32_t acc = 0;
  for (; i < words; ++i) {
    uint32_t w;
    std::memcpy(&w, p + i * 4, 4);
    acc ^= w;
  }
  for (uint32_t l : lanes) acc ^= l;
  return acc;  // x86_64 is little-endian: memcpy gives the little-endian word
}

}  // namespace vorn
