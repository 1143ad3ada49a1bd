#include "base/utf8.h"

namespace vorn {

uint64_t utf8_count(Slice s) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < s.len; ++i) n += (s.ptr[i] & 0xC0) != 0x80;
  return n;
}

Utf8Step utf8_step(const uint8_t* p, uint64_t size, uint64_t i) {
  uint8_t b = p[i];
  if (b < 0x80) return {b, 1, true, false};
  uint32_t extra;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2;
    // The second byte's range rules out overlong forms and surrogates.
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return {kReplacementCharacter, 1, false, false};
  }
  if (i + 1 >= size) return {kReplacementCharacter, 1, false, true};
  if (p[i + 1] < lo || p[i + 1] > hi) return {kReplacementCharacter, 1, false, false};
  uint32_t cp = b & (0x3F >> extra);
  cp = (cp << 6) | (p[i + 1] & 0x3F);
  for (uint32_t k = 2; k <= extra; ++k) {
    // A sequence cut by the end of the input is one ill-formed part up to
    // the end; a wrong byte inside ends the part before that byte.
    if (i + k >= size) return {kReplacementCharacter, static_cast<uint32_t>(size - i), false, true};
    if ((p[i + k] & 0xC0) != 0x80) return {kReplacementCharacter, k, false, false};
    cp = (cp << 6) | (p[i + k] & 0x3F);
  }
  return {cp, extra + 1, true, false};
}

bool utf8_valid(Slice s) {
  for (uint64_t i = 0; i < s.len;) {
    const Utf8Step step = utf8_step(s.ptr, s.len, i);
    if (!step.ok) return false;
    i += step.length;
  }
  return true;
}

uint64_t utf8_cut(const uint8_t* bytes, uint64_t len, uint64_t max) {
  if (len <= max) return len;
  // Only a character that starts in the last three bytes kept can cross.
  for (uint64_t j = max; j > 0 && max - j < 3;) {
    --j;
    if ((bytes[j] & 0xC0) == 0x80) continue;
    const Utf8Step step = utf8_step(bytes, len, j);
    return step.ok && j + step.length > max ? j : max;
  }
  return max;
}

}  // namespace vorn
