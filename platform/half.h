// IEEE binary16 <-> binary32 conversions, exact: widening is lossless and
// narrowing rounds to nearest, ties to even. NaN stays NaN (quiet, same sign).
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn {

inline float half_to_float(uint16_t h) {
  uint32_t sign = uint32_t(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1Fu;
  uint32_t man = h & 0x3FFu;
  uint32_t bits;
  if (exp == 0) {
    if (man == 0) {
      bits = sign;
    } else {  // subnormal: normalise
      int e = -1;
      do {
        ++e;
        man <<= 1;
      } while ((man & 0x400u) == 0);
      bits = sign | uint32_t(127 - 15 - e) << 23 | (man & 0x3FFu) << 13;
    }
  } else if (exp == 31) {
    bits = sign | 0x7F800000u | man << 13;
  } else {
    bits = sign | (exp + 112) << 23 | man << 13;
  }
  return std::bit_cast<float>(bits);
}

inline uint16_t float_to_half(float f) {
  const uint32_t x = std::bit_cast<uint32_t>(f);
  uint16_t sign = uint16_t((x >> 16) & 0x8000u);
  uint32_t abs = x & 0x7FFFFFFFu;
  if (abs > 0x7F800000u) return uint16_t(sign | 0x7E00u | ((abs >> 13) & 0x3FFu));  // quiet NaN
  if (abs >= 0x477FF000u) return uint16_t(sign | 0x7C00u);  // rounds to infinity or is one
  if (abs < 0x38800000u) {  // below the smallest normal half: subnormal or zero
    if (abs < 0x33000000u) return sign;  // below half the smallest subnormal
    uint32_t e = abs >> 23;
    uint32_t man = (abs & 0x7FFFFFu) | 0x800000u;
    uint32_t shift = 126 - e;  // 14 + (113 - e) - 1 ... bits dropped below the half LSB
    uint32_t half_man = man >> shift;
    uint32_t rem = man & ((1u << shift) - 1);
    uint32_t halfway = 1u << (shift - 1);
    if (rem > halfway || (rem == halfway && (half_man & 1u))) ++half_man;
    return uint16_t(sign | half_man);
  }
  uint32_t rounded = abs + 0xFFFu + ((abs >> 13) & 1u);  // round to nearest even at bit 13
  return uint16_t(sign | ((rounded - 0x38000000u) >> 13));
}

}  // namespace vorn

namespace vorn {

// Bulk conversions, bit-identical to the scalar functions above; they use the
// CPU's conversion instructions when it has them (checked once).
void half_to_float_n(const uint16_t* in, float* out, size_t n);
void float_to_half_n(const float* in, uint16_t* out, size_t n);

}  // namespace vorn
