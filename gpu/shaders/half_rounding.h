// Rounding a float to the nearest half (ties to even) without leaving
// float, for the Q8 matrix-vector products: a conversion to half and back
// costs four micro-operations, two of them on the one shuffle port, where
// this costs two float operations.
//
// For v with 2^-14 <= |v| <= 65504 (half's normal range) or v = +0, and c =
// v x 8191 rounded: v x 8192 - c, fused (one rounding of the exact value),
// keeps v's eleven leading significant bits rounded to nearest, ties to even
// (a split of Veltkamp's kind), the same bits as the round trip through half
// over every float of that range. c lies in v x 8192's binade or the one
// below, never above, so a v that rounds up to the next power of two still
// comes out whole (8193, the usual constant, loses it there). The product
// must be rounded on its own: the empty asm keeps a compiler that contracts
// from fusing it into the difference, whatever the caller's flags.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

// Whether every value of a Q8 block with this scale (a byte times it: up
// to 128 times it, or 0) lies in that range: 2^-14 <= scale <= 65504 / 128.
// A NaN is not. Asked of the scale's bits, as the kernels read them: the
// positive floats order as their bits do, and a negative float or a NaN
// lies outside once the bits are taken as unsigned.
inline bool half_normal_block(uint32_t scale_bits) {
  constexpr uint32_t kLow = 0x38800000u;   // 2^-14
  constexpr uint32_t kHigh = 0x43FFE000u;  // 511.75 = 65504 / 128
  return scale_bits - kLow <= kHigh - kLow;
}

#if defined(__x86_64__)

__attribute__((target("avx2,fma"))) inline __m256 round_to_half(__m256 v) {
  __m256 c = _mm256_mul_ps(v, _mm256_set1_ps(8191.0f));
  asm("" : "+x"(c));
  return _mm256_fmsub_ps(v, _mm256_set1_ps(8192.0f), c);
}

__attribute__((target("avx512f"))) inline __m512 round_to_half(__m512 v) {
  __m512 c = _mm512_mul_ps(v, _mm512_set1_ps(8191.0f));
  asm("" : "+v"(c));
  return _mm512_fmsub_ps(v, _mm512_set1_ps(8192.0f), c);
}

#endif

}  // namespace vorn::shaders
