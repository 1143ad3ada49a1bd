// UTF-8 decoding into code points with their byte spans, and encoding of one
// code point. An ill-formed part is the longest prefix of a possible
// sequence (maximal subpart), so lossy decoding yields one U+FFFD per part.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"

namespace vorn {

struct CodePointSpan {
  uint32_t code_point;
  uint64_t start;  // first byte
  uint64_t end;    // one past the last byte
};


// The code points of the bytes in order, each span starting where the last
// one ended. Strict mode throws std::runtime_error "Invalid UTF-8 input" at
// the first ill-formed part; lossy mode yields U+FFFD with that part's span.
std::vector<CodePointSpan> utf8_decode(std::string_view bytes, bool lossy);

// The standard 1- to 4-byte form of a code point (at most U+10FFFF).
std::string utf8_encode(uint32_t code_point);
// Appends the same bytes to out.
void utf8_append(std::string& out, uint32_t code_point);

// The bytes with every ill-formed part replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace vorn
