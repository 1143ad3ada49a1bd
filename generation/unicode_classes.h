// The three character classes the tokenizer's pre-split tests: letter
// (general category L), number (category N) and white space ([\t\n\f\r] and
// category Z). U+000B and U+0085 are not white space here.
#pragma once
#include <cstdint>

namespace vorn {

enum CharClassBit : uint32_t {
  kClassLetter = 1,
  kClassNumber = 2,
  kClassWhiteSpace = 4,
};

// Class bits of a code point (0: none of the three). The table is static
// and read-only, so the lookup needs no per-thread cache: ASCII from a small
// array, the rest by binary search over the generated ranges.
uint32_t code_point_class(uint32_t code_point);
// The same answer without the ASCII shortcut, straight from the ranges.
uint32_t classify_code_point(uint32_t code_point);

}  // namespace vorn
