// A row of values divided by one sum, the softmax's last step, with the
// bits of the division in fewer instructions.
#pragma once
#include <cstdint>

#include "gpu/shaders/shader_types.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

// x[j] / sum for j < n, each the correctly rounded quotient the division
// gives, in fewer instructions where the vector forms allow: with r the
// correctly rounded 1 / sum (one division a row), q = x r, then two
// corrections q + (x - q sum) r, each with one rounding (fused). The first
// leaves q within an ulp of the quotient; from there one more gives the
// correctly rounded quotient (Markstein's theorem: r within half an ulp of
// 1 / sum, no underflow, the remainder exact). That holds for sums in
// [1, 2^24] and values in [2^-40, 2^24], where every term stays normal and
// each remainder's bits lie far above the smallest subnormal; zeros give
// themselves. A vector with any other value (a tiny exponential, NaN) is
// divided, as is every row whose sum lies outside. A softmax row's sum is
// at least 1 (its largest value's exponential) and its values at most 1,
// so nearly every vector takes the corrections, which cost about a quarter
// of a division's time.
#if defined(__x86_64__)
[[gnu::target("avx512f")]] inline uint64_t divide_avx512(float* x, uint64_t n, float sum, float r) {
  const __m512 s = _mm512_set1_ps(sum), rv = _mm512_set1_ps(r), lo = _mm512_set1_ps(0x1p-40f),
               hi = _mm512_set1_ps(0x1p24f), zero = _mm512_setzero_ps();
  uint64_t j = 0;
  for (; j + 16 <= n; j += 16) {
    const __m512 a = _mm512_loadu_ps(x + j);
    const __mmask16 zeros = _mm512_cmp_ps_mask(a, zero, _CMP_EQ_OQ);
    const __mmask16 fast =
        (_mm512_cmp_ps_mask(a, lo, _CMP_GE_OQ) & _mm512_cmp_ps_mask(a, hi, _CMP_LE_OQ)) | zeros;
    __m512 q;
    if (fast == 0xFFFF) {
      q = _mm512_mul_ps(a, rv);
      q = _mm512_fmadd_ps(_mm512_fnmadd_ps(q, s, a), rv, q);
      q = _mm512_fmadd_ps(_mm512_fnmadd_ps(q, s, a), rv, q);
      q = _mm512_mask_blend_ps(zeros, q, a);
    } else {
      q = _mm512_div_ps(a, s);
    }
    _mm512_storeu_ps(x + j, q);
  }
  return j;
}

[[gnu::target("avx2,fma")]] inline uint64_t divide_avx2(float* x, uint64_t n, float sum, float r) {
  const __m256 s = _mm256_set1_ps(sum), rv = _mm256_set1_ps(r), lo = _mm256_set1_ps(0x1p-40f),
               hi = _mm256_set1_ps(0x1p24f), zero = _mm256_setzero_ps();
  uint64_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const __m256 a = _mm256_loadu_ps(x + j);
    const __m256 zeros = _mm256_cmp_ps(a, zero, _CMP_EQ_OQ);
    const __m256 fast = _mm256_or_ps(
        _mm256_and_ps(_mm256_cmp_ps(a, lo, _CMP_GE_OQ), _mm256_cmp_ps(a, hi, _CMP_LE_OQ)), zeros);
    __m256 q;
    if (_mm256_movemask_ps(fast) == 0xFF) {
      q = _mm256_mul_ps(a, rv);
      q = _mm256_fmadd_ps(_mm256_fnmadd_ps(q, s, a), rv, q);
      q = _mm256_fmadd_ps(_mm256_fnmadd_ps(q, s, a), rv, q);
      q = _mm256_blendv_ps(q, a, zeros);
    } else {
      q = _mm256_div_ps(a, s);
    }
    _mm256_storeu_ps(x + j, q);
  }
  return j;
}
#endif

// vector: the record's form is not the portable one.
inline void divide_row(float* x, uint64_t n, float sum, bool vector) {
  uint64_t j = 0;
#if defined(__x86_64__)
  if (vector && sum >= 1.0f && sum <= 0x1p24f) {
    const float r = 1.0f / sum;
    j = vector_form() == VectorForm::kAvx512 ? divide_avx512(x, n, sum, r) : divide_avx2(x, n, sum, r);
  }
#endif
  (void)vector;
  for (; j < n; ++j) x[j] = x[j] / sum;
}

}  // namespace vorn::shaders
