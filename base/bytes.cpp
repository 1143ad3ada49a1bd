#include "base/bytes.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

namespace {
constinit const uint8_t kEmpty[1] = {0};
constexpr uint64_t kHalfRange = uint64_t{1} << 63;
}  // namespace

const uint8_t* empty_bytes() { return kEmpty; }
Slice empty_slice() { return Slice{kEmpty, 0}; }

Slice slice_of(const void* ptr, uint64_t len) {
  if (ptr == nullptr || len == 0) return empty_slice();
  return Slice{static_cast<const uint8_t*>(ptr), len};
}

Slice slice_of(std::string_view text) { return slice_of(text.data(), text.size()); }

uint64_t grow_capacity(uint64_t cap, uint64_t need) {
  if (need <= cap) return cap;
  uint64_t c = cap > 1 ? cap : 1;
  while (c < need) c = c >= kHalfRange ? need : c * 2;
  return c;
}

ByteString bytes_new() { return ByteString{nullptr, 0, 0}; }

ByteString bytes_with_capacity(uint64_t size) {
  if (size == 0) return bytes_new();
  auto* p = static_cast<uint8_t*>(std::malloc(size));
  if (p == nullptr) return bytes_new();
  return ByteString{p, 0, size};
}

ByteString bytes_from_slice(const void* ptr, uint64_t len) {
  if (len == 0 || ptr == nullptr) return bytes_new();
  uint64_t cap = len;
  auto* p = static_cast<uint8_t*>(std::malloc(len));
  if (p == nullptr) {
    cap = grow_capacity(0, len);
    p = static_cast<uint8_t*>(std::malloc(cap));
    if (p == nullptr) return bytes_new();
  }
  std::memcpy(p, ptr, len);
  return ByteString{p, len, cap};
}

ByteString bytes_from_slice(Slice s) { return bytes_from_slice(s.ptr, s.len); }

Slice bytes_as_slice(const ByteString& s) {
  if (s.len == 0) return empty_slice();
  return Slice{s.ptr, s.len};
}

uint32_t bytes_reserve(ByteString* s, uint64_t n) {
  uint64_t need = s->len + n;
  if (need < s->len) return 1;
  if (need <= s->cap) return 0;
  uint64_t cap = grow_capacity(s->cap, need);
  auto* p = static_cast<uint8_t*>(std::realloc(s->ptr, cap));
  if (p == nullptr) return 1;
  s->ptr = p;
  s->cap = cap;
  return 0;
}

uint32_t bytes_append(ByteString* s, const void* ptr, uint64_t n) {
  if (n == 0) return 0;
  if (bytes_reserve(s, n) != 0) return 1;
  std::memcpy(s->ptr + s->len, ptr, n);
  s->len += n;
  return 0;
}

uint32_t bytes_append(ByteString* s, Slice bytes) { return bytes_append(s, bytes.ptr, bytes.len); }

void bytes_free(ByteString* s) {
  if (s->ptr != nullptr) std::free(s->ptr);
  *s = bytes_new();
}

uint32_t bytes_push(ByteString* s, uint8_t byte) { return bytes_append(s, &byte, 1); }

uint32_t bytes_insert(ByteString* s, const void* ptr, uint64_t n, uint64_t position) {
  if (position > s->len) return 2;
  if (n == 0) return 0;
  if (bytes_reserve(s, n) != 0) return 1;
  std::memmove(s->ptr + position + n, s->ptr + position, s->len - position);
  std::memcpy(s->ptr + position, ptr, n);
  s->len += n;
  return 0;
}

uint32_t bytes_remove_range(ByteString* s, uint64_t start, uint64_t end) {
  if (start > end || end > s->len) return 2;
  if (start == end) return 0;
  std::memmove(s->ptr + start, s->ptr + end, s->len - end);
  s->len -= end - start;
  return 0;
}

uint32_t bytes_reserve_exact(ByteString* s, uint64_t n) {
  if (n <= s->cap) return 0;
  auto* p = static_cast<uint8_t*>(std::realloc(s->ptr, n));
  if (p == nullptr) return 1;
  s->ptr = p;
  s->cap = n;
  return 0;
}

void bytes_clear(ByteString* s) { s->len = 0; }

void bytes_truncate(ByteString* s, uint64_t n) {
  if (n < s->len) s->len = n;
}

uint64_t bytes_capacity(const ByteString& s) { return s.cap; }
uint64_t bytes_len(const ByteString& s) { return s.len; }

ByteString bytes_clone(const ByteString& s) { return bytes_from_slice(s.ptr, s.len); }

CString slice_to_cstr(Slice s) {
  if (s.len != 0 && std::memchr(s.ptr, 0, s.len) != nullptr) return CString{1, nullptr, 0};
  auto* p = static_cast<char*>(std::malloc(s.len + 1));
  if (p == nullptr) return CString{1, nullptr, 0};
  if (s.len != 0) std::memcpy(p, s.ptr, s.len);
  p[s.len] = '\0';
  return CString{0, p, s.len};
}

const char* cstr_ptr(const CString& c) { return c.ptr; }

void cstr_free(CString* c) {
  std::free(c->ptr);
  *c = CString{1, nullptr, 0};
}

}  // namespace vorn
