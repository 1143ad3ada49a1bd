// Whole-buffer file I/O, the clock and small buffer helpers.
#pragma once
#include <cstdint>

namespace vorn {

// Reads exactly length bytes at offset, retrying EINTR; false on any other
// error or an early end of file. Length 0 succeeds.
bool pread_all(int fd, void* buffer, uint64_t length, uint64_t offset);
// Writes until every byte is out or a write returns less than 1; reports
// nothing and does not retry EINTR.
void write_all(int fd, const void* buffer, uint64_t length);
// O_WRONLY | O_CREAT | O_TRUNC: files the system writes get mode 0644.
int os_open_write_flags();
int os_open_append_flags();
int last_errno();
// st_size from fstat, -1 on failure.
int64_t fd_file_size(int fd);

// Opens a caller-named file for reading, and only a regular file: a FIFO
// (whose open waits for a writer), a device (/dev/zero never ends), a socket
// or a directory is refused before anything could block on it or read
// without end. Returns the descriptor (close-on-exec, blocking) and sets
// *size to the file's size; -1 when the file cannot be opened (errno says
// why); kNotRegularFile when it is not a regular file.
constexpr int kNotRegularFile = -2;
int open_regular_file(const char* path, int64_t* size);
// The reason for a failed open_regular_file, to be asked for at once: the
// text of errno, or "not a regular file".
const char* open_failure_text(int result);

// Seconds from CLOCK_MONOTONIC (CLOCK_REALTIME when that fails).
double monotonic_seconds();
double monotonic_seconds_alt();

void wipe_bytes(void* ptr, uint64_t length);
// XOR of the little-endian u32 words of the first floor(length / 4) * 4
// bytes; 0 when length < 4.
uint32_t xor_fold_u32(const void* ptr, uint64_t length);

}  // namespace vorn
