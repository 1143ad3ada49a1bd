// The steps of vec_exp (vector_math.h) for one value, for a register of
// eight (AVX2 with fused multiply-add) and for one of sixteen (AVX-512), so
// kernels that fuse an exponential into their own loops give vec_exp's
// bits. Every form takes the same steps with the same roundings: the
// multiply-adds are fused in all of them (fmaf in the scalar one), so a
// value's exponential does not depend on the form, the vector width or
// where a block ends.
//
// exp(c) = 2^n e^r with n = round(c / ln 2) and |r| <= ln 2 / 2; ln 2 is
// split in two so that n ln2_hi is exact for every n that occurs. The
// polynomial for e^r is the classic degree-7 minimax fit. 2^n is applied as
// two factors, so results down in the subnormal range and up to the
// overflow edge are rounded once, at the last multiply. Inputs are clamped
// to [-104, 89] first (below, exp rounds to +0; above, to +inf); NaN passes
// through.
#pragma once
#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::vexp {

inline constexpr float kLow = -104.0f, kHigh = 89.0f;
inline constexpr float kLog2e = 1.44269504088896341f;
inline constexpr float kLn2Hi = 0.693359375f, kLn2Lo = -2.12194440e-4f;
inline constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
inline constexpr float kP0 = 1.9875691500e-4f, kP1 = 1.3981999507e-3f, kP2 = 8.3334519073e-3f,
                       kP3 = 4.1665795894e-2f, kP4 = 1.6666665459e-1f, kP5 = 5.0000001201e-1f;

// Written as selects and bit operations so that loops over it vectorise.
[[gnu::always_inline]] inline float exp_scalar(float x) {
  float c = x > kLow ? x : kLow;
  c = c < kHigh ? c : kHigh;
  const float n = std::fmaf(c, kLog2e, kRound) - kRound;
  float r = std::fmaf(-n, kLn2Hi, c);
  r = std::fmaf(-n, kLn2Lo, r);
  float p = kP0;
  p = std::fmaf(p, r, kP1);
  p = std::fmaf(p, r, kP2);
  p = std::fmaf(p, r, kP3);
  p = std::fmaf(p, r, kP4);
  p = std::fmaf(p, r, kP5);
  p = std::fmaf(p, r * r, r) + 1.0f;
  const int32_t ni = static_cast<int32_t>(n);
  const int32_t n1 = ni >> 1, n2 = ni - n1;
  const float s1 = std::bit_cast<float>(static_cast<uint32_t>(n1 + 127) << 23);
  const float s2 = std::bit_cast<float>(static_cast<uint32_t>(n2 + 127) << 23);
  const float result = p * s1 * s2;
  const uint32_t keep = 0u - uint32_t((std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu) <= 0x7F800000u);
  return std::bit_cast<float>((std::bit_cast<uint32_t>(result) & keep) | (std::bit_cast<uint32_t>(x) & ~keep));
}

#if defined(__x86_64__)
// exp(c - n ln 2) for the clamped argument c and its power of two n: the
// reduction by ln 2 in two parts and the polynomial.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 exp_reduced_avx2(__m256 c, __m256 n) {
  __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Hi), c);
  r = _mm256_fnmadd_ps(n, _mm256_set1_ps(kLn2Lo), r);
  __m256 p = _mm256_set1_ps(kP0);
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP1));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP2));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP3));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP4));
  p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kP5));
  return _mm256_add_ps(_mm256_fmadd_ps(p, _mm256_mul_ps(r, r), r), _mm256_set1_ps(1.0f));
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 exp_avx2(__m256 x) {
  const __m256 c = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(kLow)), _mm256_set1_ps(kHigh));
  const __m256 round = _mm256_set1_ps(kRound);
  const __m256 n = _mm256_sub_ps(_mm256_fmadd_ps(c, _mm256_set1_ps(kLog2e), round), round);
  const __m256 p = exp_reduced_avx2(c, n);
  const __m256i ni = _mm256_cvttps_epi32(n), bias = _mm256_set1_epi32(127);
  const __m256i n1 = _mm256_srai_epi32(ni, 1), n2 = _mm256_sub_epi32(ni, n1);
  const __m256 s1 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(n1, bias), 23));
  const __m256 s2 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(n2, bias), 23));
  const __m256 result = _mm256_mul_ps(_mm256_mul_ps(p, s1), s2);
  // NaN lanes pass x through (the clamp made them a bound).
  return _mm256_blendv_ps(x, result, _mm256_cmp_ps(x, x, _CMP_ORD_Q));
}

// exp_avx2's steps on sixteen lanes: the same operations in the same order,
// so each lane's exponential is the eight-lane one's.
// (The masked forms with all lanes set name their pass-through lanes,
// which GCC 12 warns of in the plain ones.)
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 exp_avx512(__m512 x) {
  const __m512 none = _mm512_setzero_ps();
  const __m512 c = _mm512_mask_min_ps(none, 0xffff, _mm512_mask_max_ps(none, 0xffff, x, _mm512_set1_ps(kLow)),
                                      _mm512_set1_ps(kHigh));
  const __m512 round = _mm512_set1_ps(kRound);
  const __m512 n = _mm512_sub_ps(_mm512_fmadd_ps(c, _mm512_set1_ps(kLog2e), round), round);
  __m512 r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Hi), c);
  r = _mm512_fnmadd_ps(n, _mm512_set1_ps(kLn2Lo), r);
  __m512 p = _mm512_set1_ps(kP0);
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP1));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP2));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP3));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP4));
  p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kP5));
  p = _mm512_add_ps(_mm512_fmadd_ps(p, _mm512_mul_ps(r, r), r), _mm512_set1_ps(1.0f));
  // p 2^n in one scaling, rounded once: the two factors' first product is
  // exact, so that is the rounding of their second.
  const __m512 result = _mm512_mask_scalef_ps(none, 0xffff, p, n);
  // NaN lanes pass x through (the clamp made them a bound).
  return _mm512_mask_mov_ps(x, _mm512_cmp_ps_mask(x, x, _CMP_ORD_Q), result);
}

// The first n (0 to 8) values at p, the other lanes 0; never reads past them.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 load_first(const float* p, int64_t n) {
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  return _mm256_maskload_ps(p, mask);
}

// Stores the first n (0 to 8) lanes of v at p; never writes past them.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void store_first(float* p, int64_t n, __m256 v) {
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  _mm256_maskstore_ps(p, mask, v);
}
#endif

}  // namespace vorn::vexp
