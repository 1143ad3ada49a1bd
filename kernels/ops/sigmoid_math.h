// Sigmoid and SiLU of one value and of eight, shared by the Sigmoid kernel
// and the convolution epilogue that takes a SiLU in, so both give the same
// bits: g = 1 / (1 + exp(-x)) on the vector exponential, and x * g for
// SiLU. A NaN comes out as the NaN that went in (exp(-x) would flip its
// sign), so x * g has the same bits whichever operand of the product the
// compiled multiply propagates.
#pragma once
#include "platform/vector_exp.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::kern {

template <bool kTimesX>
[[gnu::always_inline]] inline float sigmoid_scalar(float x) {
  const float g = 1.0f / (1.0f + vexp::exp_scalar(-x));
  const float v = x != x ? x : g;
  return kTimesX ? x * v : v;
}

#if defined(__x86_64__)
template <bool kTimesX>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 sigmoid_avx2(__m256 x) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 e = vexp::exp_avx2(_mm256_xor_ps(x, _mm256_set1_ps(-0.0f)));
  __m256 g = _mm256_div_ps(one, _mm256_add_ps(one, e));
  g = _mm256_blendv_ps(g, x, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
  return kTimesX ? _mm256_mul_ps(x, g) : g;
}
#endif

}  // namespace vorn::kern
