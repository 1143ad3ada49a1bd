#include "base/slice_utils.h"

#include <cstring>
#include <string_view>

namespace vorn {

namespace {

// Keeps the library's promise that empty slices share one pointer.
Slice sub(Slice s, uint64_t start, uint64_t len) {
  if (len == 0) return empty_slice();
  return Slice{s.ptr + start, len};
}

}  // namespace

bool is_ascii_space(uint8_t b) { return b == '\t' || b == '\n' || b == '\r' || b == ' '; }
uint8_t ascii_lower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? uint8_t(b + 32) : b; }
uint8_t ascii_upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? uint8_t(b - 32) : b; }

Slice slice_range(Slice s, uint64_t start, uint64_t end) {
  if (end > s.len) end = s.len;
  if (end <= start) return empty_slice();
  return sub(s, start, end - start);
}

Result<Slice, uint32_t> slice_range_checked(Slice s, uint64_t start, uint64_t end) {
  if (end < start || end > s.len) return Result<Slice, uint32_t>::failure(1);
  return Result<Slice, uint32_t>::success(sub(s, start, end - start));
}

bool slice_is_empty(Slice s) { return s.len == 0; }
uint64_t slice_len(Slice s) { return s.len; }

FlaggedU32 slice_at(Slice s, uint64_t index) {
  if (index >= s.len) return FlaggedU32{true, 0};
  return FlaggedU32{false, s.ptr[index]};
}

bool slice_starts_with(Slice s, Slice prefix) {
  return prefix.len <= s.len && (prefix.len == 0 || std::memcmp(s.ptr, prefix.ptr, prefix.len) == 0);
}

bool slice_ends_with(Slice s, Slice suffix) {
  return suffix.len <= s.len &&
         (suffix.len == 0 || std::memcmp(s.ptr + s.len - suffix.len, suffix.ptr, suffix.len) == 0);
}

bool slice_contains(Slice s, Slice needle) { return !slice_find(s, needle).failed; }

FlaggedU64 slice_find(Slice s, Slice needle) {
  size_t at = s.view().find(needle.view());
  if (at == std::string_view::npos) return FlaggedU64{true, 0};
  return FlaggedU64{false, at};
}

FlaggedU64 slice_rfind(Slice s, Slice needle) {
  size_t at = s.view().rfind(needle.view());
  if (at == std::string_view::npos) return FlaggedU64{true, 0};
  return FlaggedU64{false, at};
}

uint64_t slice_count(Slice s, Slice needle) {
  if (needle.len == 0) return 0;
  std::string_view hay = s.view(), n = needle.view();
  uint64_t count = 0;
  for (size_t at = hay.find(n); at != std::string_view::npos; at = hay.find(n, at + n.size())) ++count;
  return count;
}

Slice slice_strip_prefix(Slice s, Slice prefix) {
  if (!slice_starts_with(s, prefix)) return s;
  return sub(s, prefix.len, s.len - prefix.len);
}

Slice slice_strip_suffix(Slice s, Slice suffix) {
  if (!slice_ends_with(s, suffix)) return s;
  return sub(s, 0, s.len - suffix.len);
}

bool slice_equals(Slice a, Slice b) { return a.view() == b.view(); }

bool slice_equals_ignore_case(Slice a, Slice b) {
  if (a.len != b.len) return false;
  for (uint64_t i = 0; i < a.len; ++i)
    if (ascii_lower(a.ptr[i]) != ascii_lower(b.ptr[i])) return false;
  return true;
}

int slice_compare(Slice a, Slice b) {
  uint64_t common = a.len < b.len ? a.len : b.len;
  int c = common == 0 ? 0 : std::memcmp(a.ptr, b.ptr, common);
  if (c != 0) return c < 0 ? -1 : 1;
  if (a.len == b.len) return 0;
  return a.len < b.len ? -1 : 1;
}

Slice slice_take(Slice s, uint64_t n) { return sub(s, 0, n < s.len ? n : s.len); }
Slice slice_take_last(Slice s, uint64_t n) {
  uint64_t k = n < s.len ? n : s.len;
  return sub(s, s.len - k, k);
}
Slice slice_drop(Slice s, uint64_t n) { return n >= s.len ? empty_slice() : sub(s, n, s.len - n); }
Slice slice_drop_last(Slice s, uint64_t n) { return n >= s.len ? empty_slice() : sub(s, 0, s.len - n); }

Slice slice_trim_start(Slice s) {
  uint64_t i = 0;
  while (i < s.len && is_ascii_space(s.ptr[i])) ++i;
  return sub(s, i, s.len - i);
}

Slice slice_trim_end(Slice s) {
  uint64_t n = s.len;
  while (n > 0 && is_ascii_space(s.ptr[n - 1])) --n;
  return sub(s, 0, n);
}

Slice slice_trim(Slice s) { return slice_trim_end(slice_trim_start(s)); }

bool slice_is_ascii(Slice s) {
  uint8_t any = 0;
  for (uint64_t i = 0; i < s.len; ++i) any |= s.ptr[i];
  return (any & 0x80) == 0;
}

}  // namespace vorn
