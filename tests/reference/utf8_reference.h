// Reference UTF-8 validation, written from the code-point definition: a
// lead byte gives the sequence length, continuation bytes carry six bits
// each, and the decoded value must be the shortest form, at most U+10FFFF
// and not a surrogate.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn::ref {

inline bool utf8_valid(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char b = s[i];
    int n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      unsigned char c = s[i + k];
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    const uint32_t min[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace vorn::ref
