#include "base/byte_utils.h"

#include <cstring>

#include "base/slice_utils.h"
#include "base/utf8.h"

namespace vorn {

namespace {

// Appends in sequence and remembers whether any step failed, so the
// builders below read as straight lines and fail as a whole.
struct Builder {
  ByteString out = bytes_new();
  bool failed = false;

  void add(const void* p, uint64_t n) {
    if (!failed && bytes_append(&out, p, n) != 0) failed = true;
  }
  void add(Slice s) { add(s.ptr, s.len); }
  void reserve(uint64_t n) {
    if (!failed && n != 0 && bytes_reserve(&out, n) != 0) failed = true;
  }
  ByteString take() {
    if (failed) bytes_free(&out);
    return out;
  }
};

ByteString map_bytes(Slice s, uint8_t (*f)(uint8_t), bool first_only) {
  ByteString out = bytes_from_slice(s);
  uint64_t n = first_only && out.len > 0 ? 1 : out.len;
  for (uint64_t i = 0; i < n; ++i) out.ptr[i] = f(out.ptr[i]);
  return out;
}

ByteString pad(Slice s, uint64_t width, Slice fill, bool left) {
  if (s.len >= width || fill.len == 0) return bytes_from_slice(s);
  Builder b;
  b.reserve(width);
  uint64_t missing = width - s.len;
  if (!left) b.add(s);
  while (missing > 0) {
    uint64_t n = fill.len < missing ? fill.len : missing;
    b.add(fill.ptr, n);
    missing -= n;
  }
  if (left) b.add(s);
  return b.take();
}

}  // namespace

Result<ByteString, uint32_t> bytes_from_utf8(Slice bytes) {
  if (!utf8_valid(bytes)) return Result<ByteString, uint32_t>::failure(1);
  return Result<ByteString, uint32_t>::success(bytes_from_slice(bytes));
}

ByteString bytes_concat(Slice s, Slice bytes) {
  Builder b;
  b.add(s);
  b.add(bytes);
  return b.take();
}

ByteString bytes_to_lower(Slice s) { return map_bytes(s, ascii_lower, false); }
ByteString bytes_to_upper(Slice s) { return map_bytes(s, ascii_upper, false); }
ByteString bytes_capitalize(Slice s) { return map_bytes(s, ascii_upper, true); }
ByteString bytes_uncapitalize(Slice s) { return map_bytes(s, ascii_lower, true); }

ByteString bytes_repeat(Slice s, uint64_t n) {
  if (n == 0 || s.len == 0 || s.len > UINT64_MAX / n) return bytes_new();
  ByteString out = bytes_with_capacity(s.len * n);
  if (out.ptr == nullptr) return out;
  for (uint64_t i = 0; i < n; ++i) std::memcpy(out.ptr + i * s.len, s.ptr, s.len);
  out.len = s.len * n;
  return out;
}

Item16Vec bytes_split(Slice s, Slice separator) {
  Item16Vec parts = item16vec_new();
  bool ok = true;
  if (separator.len == 0) {
    ok = item16vec_push_slice(&parts, s) == kStatusOk;
  } else {
    Slice rest = s;
    for (;;) {
      FlaggedU64 at = slice_find(rest, separator);
      if (at.failed) break;
      ok = ok && item16vec_push_slice(&parts, slice_take(rest, at.value)) == kStatusOk;
      rest = slice_drop(rest, at.value + separator.len);
    }
    ok = ok && item16vec_push_slice(&parts, rest) == kStatusOk;
  }
  if (!ok) item16vec_free(&parts);
  return parts;
}

ByteString bytes_join(const Item16Vec& parts, Slice separator) {
  Builder b;
  for (uint64_t i = 0; i < parts.len; ++i) {
    if (i != 0) b.add(separator);
    b.add(item16_slice(parts.ptr[i]));
  }
  return b.take();
}

ByteString bytes_replace(Slice s, Slice from, Slice to) {
  if (from.len == 0) return bytes_from_slice(s);
  Builder b;
  Slice rest = s;
  for (;;) {
    FlaggedU64 at = slice_find(rest, from);
    if (at.failed) break;
    b.add(rest.ptr, at.value);
    b.add(to);
    rest = slice_drop(rest, at.value + from.len);
  }
  b.add(rest);
  return b.take();
}

ByteString bytes_pad_left(Slice s, uint64_t width, Slice fill) { return pad(s, width, fill, true); }
ByteString bytes_pad_right(Slice s, uint64_t width, Slice fill) { return pad(s, width, fill, false); }

}  // namespace vorn
