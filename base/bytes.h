// Owned byte strings and borrowed slices: the text and buffer types every
// subsystem passes around.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

// A borrowed (pointer, length) view. Slices made by the library never hold a
// null pointer: every empty one points at the shared empty constant.
struct Slice {
  const uint8_t* ptr;
  uint64_t len;
  std::string_view view() const { return {reinterpret_cast<const char*>(ptr), static_cast<size_t>(len)}; }
};

// Owned, growable bytes on the malloc heap. The empty string is all zero.
struct ByteString {
  uint8_t* ptr;
  uint64_t len;
  uint64_t cap;
};

// A NUL-terminated heap copy of a slice for system calls.
struct CString {
  uint32_t tag;  // 0 success, 1 failure
  char* ptr;
  uint64_t len;  // without the NUL
};

// The one shared, never-written empty constant.
const uint8_t* empty_bytes();
Slice empty_slice();
Slice slice_of(const void* ptr, uint64_t len);
Slice slice_of(std::string_view text);

// Growth rule: from max(cap, 1) double until need is met; once the value
// reaches 2^63 take need itself.
uint64_t grow_capacity(uint64_t cap, uint64_t need);

ByteString bytes_new();
ByteString bytes_with_capacity(uint64_t size);
ByteString bytes_from_slice(const void* ptr, uint64_t len);
ByteString bytes_from_slice(Slice s);
Slice bytes_as_slice(const ByteString& s);
// 0 ok, 1 overflow or allocation failure (the string is unchanged).
uint32_t bytes_reserve(ByteString* s, uint64_t n);
uint32_t bytes_append(ByteString* s, const void* ptr, uint64_t n);
uint32_t bytes_append(ByteString* s, Slice bytes);
// Frees the buffer and zeroes the record; a null buffer is left alone.
void bytes_free(ByteString* s);

// In-place edits. Status words: 0 ok, 1 overflow or allocation failure,
// 2 position out of range; nothing changes on failure.
uint32_t bytes_push(ByteString* s, uint8_t byte);
uint32_t bytes_insert(ByteString* s, const void* ptr, uint64_t n, uint64_t position);
uint32_t bytes_remove_range(ByteString* s, uint64_t start, uint64_t end);
// Raises the capacity to exactly n bytes when it is below (never shrinks).
uint32_t bytes_reserve_exact(ByteString* s, uint64_t n);
void bytes_clear(ByteString* s);
void bytes_truncate(ByteString* s, uint64_t n);
uint64_t bytes_capacity(const ByteString& s);
uint64_t bytes_len(const ByteString& s);
// A copy with cap = len (the empty string for an empty input or a failed
// allocation).
ByteString bytes_clone(const ByteString& s);

CString slice_to_cstr(Slice s);
const char* cstr_ptr(const CString& c);
void cstr_free(CString* c);

}  // namespace vorn
