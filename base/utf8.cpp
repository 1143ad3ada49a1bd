#include "base/utf8.h"

namespace vorn {

uint64_t utf8_count(Slice s) {
  uint64_t n = 0;
  for (uint64_t i = 0; i < s.len; ++i) n += (s.ptr[i] & 0xC0) != 0x80;
  return n;
}

bool utf8_valid(Slice s) {
  const uint8_t* p = s.ptr;
  uint64_t i = 0;
  while (i < s.len) {
    uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    // The second byte's range is what rules out overlong forms (E0, F0),
    // surrogates (ED) and code points above U+10FFFF (F4).
    uint64_t extra;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;  // continuation byte, C0/C1 or F5..FF as a lead
    }
    if (s.len - i <= extra) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (uint64_t k = 2; k <= extra; ++k)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace vorn
