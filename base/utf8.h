// UTF-8 checks and one-step decoding over raw bytes.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// Bytes that are not continuation bytes (10xxxxxx): the code points of valid
// text.
uint64_t utf8_count(Slice s);
// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no
// truncated or stray continuation bytes.
bool utf8_valid(Slice s);

// Where to cut text of len bytes so that at most max bytes are kept: max,
// or the start of a whole character that would reach past it, so no cut
// ends inside a character (ill-formed bytes are cut where they fall). len
// when the text fits.
uint64_t utf8_cut(const uint8_t* bytes, uint64_t len, uint64_t max);

inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// One step of decoding at bytes[i] (i < size): the code point, or
// kReplacementCharacter with ok false for an ill-formed part; length is the
// number of bytes taken either way. truncated marks an ill-formed part that
// is only a sequence cut short by the end of the input (more bytes could
// still complete it).
struct Utf8Step {
  uint32_t code_point;
  uint32_t length;
  bool ok;
  bool truncated;
};
Utf8Step utf8_step(const uint8_t* bytes, uint64_t size, uint64_t i);

}  // namespace vorn
