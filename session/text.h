// Texts crossing the C interface: (pointer, length) views and copies into
// the fixed-capacity fields the handles keep.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vorn {

struct TextView {
  const char* ptr;  // never null
  size_t len;
  std::string_view view() const { return {ptr, len}; }
};

// The pair as given, or the shared empty text when the pointer is null or the
// length is 0, so callers never test for null again.
TextView text_view(const char* ptr, size_t len);

// Copies at most capacity - 1 bytes and a NUL into buffer; answers the count
// stored. Capacity 0 writes nothing. The NUL always fits: a cut never drops
// it, and never splits a UTF-8 character (the text ends with the last whole
// one that fits).
size_t copy_to_fixed(const char* text, size_t len, char* buffer, size_t capacity);
// The length copy_to_fixed keeps of a text for a field of capacity bytes.
size_t fixed_length(TextView text, size_t capacity);

template <size_t N>
size_t copy_to_fixed(TextView text, char (&buffer)[N]) {
  return copy_to_fixed(text.ptr, text.len, buffer, N);
}

// The shared empty text (one NUL byte) answered for absent texts.
const char* empty_text();

}  // namespace vorn
