// Thin wrappers over file, directory and socket system calls, with the
// platform constants and record accessors their callers need, so that code
// outside base/ never depends on the layout of system records.
#pragma once
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

int os_mkdir(const char* path, uint32_t mode);
int os_rename(const char* from, const char* to);
int os_stat(const char* path, struct stat* out);
int os_lstat(const char* path, struct stat* out);
DIR* os_opendir(const char* path);
struct dirent* os_readdir(DIR* dir);
int os_closedir(DIR* dir);
int64_t os_read(int fd, void* buffer, uint64_t length);
int64_t os_write(int fd, const void* buffer, uint64_t length);
int os_close(int fd);
// send() that never raises SIGPIPE: a peer that has gone away gives -1 with
// EPIPE instead of killing the process.
int64_t os_send(int fd, const void* buffer, uint64_t length, int flags);

// The stat record, for callers that allocate it themselves.
uint64_t stat_record_size();
uint32_t stat_mode(const struct stat* st);
uint32_t stat_uid(const struct stat* st);
int64_t stat_mtime_seconds(const struct stat* st);
int64_t stat_size(const struct stat* st);
const char* dirent_name(const struct dirent* entry);

uint8_t path_separator();
Slice path_separator_slice();
bool is_path_separator(uint8_t byte);
bool path_is_absolute(Slice path);

int errno_eintr();
int errno_eagain();

// Sockets. There is no per-socket SIGPIPE switch on this system; os_send
// passes MSG_NOSIGNAL on every call instead, so this only checks that fd is
// an open descriptor (0, or -1 with errno set).
int socket_set_nosigpipe(int fd);
// SO_RCVTIMEO and SO_SNDTIMEO to {seconds, 0}; the first failing call's
// result, else 0.
int socket_set_timeouts(int fd, int64_t seconds);
// Adds O_NONBLOCK; 0 when set or already set, -1 on failure.
int fd_set_nonblocking(int fd);
int os_socketpair(int pair[2]);

}  // namespace vorn
