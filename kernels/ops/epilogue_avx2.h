// The convolution epilogue on eight values at once, rounding and branching
// as conv_epilogue_span does, so a value finished in a register equals the
// one a separate pass would give, bit for bit (a NaN takes the zero or
// slope branch, a negative zero stays negative through Relu).
#pragma once
#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/ops/conv_epilogue.h"
#include "kernels/ops/sigmoid_math.h"

namespace vorn::kern {

// Clip with ordered bounds (the lower not above the upper, or either NaN):
// its two choices are then a min and a max, bit for bit (see
// finish_as), the form finish() takes for kActClip when
// VecEpilogue::ordered says so.
constexpr int kActClipOrdered = -1;

struct VecEpilogue {
  int act = kActNone;
  bool bias = false, ordered = false;
  __m256 b, m, a, slope, hi;
};

// The vector form of channel e.c's epilogue (e null: nothing to apply).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline VecEpilogue vec_epilogue(const ChannelEpilogue* e,
                                                                                int64_t c) {
  VecEpilogue v;
  v.b = v.m = v.a = v.slope = v.hi = _mm256_setzero_ps();
  if (e == nullptr) return v;
  v.act = e->act;
  v.bias = e->params != nullptr;
  if (v.bias) v.b = _mm256_set1_ps(e->params[c]);
  if (v.act == kActReluAffine) {
    v.m = _mm256_set1_ps(e->params[e->cout + c]);
    v.a = _mm256_set1_ps(e->params[2 * e->cout + c]);
  }
  v.slope = _mm256_set1_ps(e->slope);
  // A fused PRelu is LeakyRelu with this channel's slope.
  if (v.act == kActPRelu) {
    v.act = kActLeaky;
    v.slope = _mm256_set1_ps(e->params[e->cout + c]);
  }
  v.hi = _mm256_set1_ps(e->hi);
  v.ordered = !(e->slope > e->hi);
  return v;
}

// min(1, max(0, v / 6 + 1/2)) with the scalar clamp's branches (NaN
// passes). The add is kept from contracting into the multiply.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 hard_sigmoid_sixth(__m256 v) {
  __m256 g = _mm256_mul_ps(v, _mm256_set1_ps(0.16666667f));
  __asm__("" : "+x"(g));
  g = _mm256_add_ps(g, _mm256_set1_ps(0.5f));
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
  const __m256 below = _mm256_cmp_ps(g, zero, _CMP_LT_OQ), above = _mm256_cmp_ps(g, one, _CMP_GT_OQ);
  return _mm256_blendv_ps(_mm256_blendv_ps(g, one, above), zero, below);
}

// t >= 0 ? t : 0, keeping a negative zero and sending NaN to zero.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 relu_exact(__m256 v) {
  return _mm256_and_ps(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ), v);
}

// The epilogue of activation kAct (its bias as e says).
template <int kAct>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 finish_as(const VecEpilogue& e, __m256 v) {
  if (e.bias) v = _mm256_add_ps(v, e.b);
  if constexpr (kAct == kActRelu) {
    return relu_exact(v);
  } else if constexpr (kAct == kActReluAffine) {
    // A separate multiply and add, as the scalar form rounds.
    __m256 t = _mm256_mul_ps(relu_exact(v), e.m);
    __asm__("" : "+x"(t));
    return _mm256_add_ps(t, e.a);
  } else if constexpr (kAct == kActLeaky) {
    const __m256 ge = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ);
    return _mm256_blendv_ps(_mm256_mul_ps(v, e.slope), v, ge);
  } else if constexpr (kAct == kActClip) {
    // Below the lower bound (slope) gives it, else above the upper bound
    // gives that; NaN fails both tests and stays.
    const __m256 below = _mm256_cmp_ps(v, e.slope, _CMP_LT_OQ), above = _mm256_cmp_ps(v, e.hi, _CMP_GT_OQ);
    return _mm256_blendv_ps(_mm256_blendv_ps(v, e.hi, above), e.slope, below);
  } else if constexpr (kAct == kActClipOrdered) {
    // min(hi, v) is hi < v ? hi : v, the upper test; max(lo, that) is
    // lo > it ? lo : it, the lower one. With lo <= hi the lower test sees
    // v itself wherever it can pass, so the order of the tests does not
    // matter; NaN and a negative zero come through as they are.
    return _mm256_max_ps(e.slope, _mm256_min_ps(e.hi, v));
  } else if constexpr (kAct == kActHardSwish) {
    return _mm256_mul_ps(v, hard_sigmoid_sixth(v));
  } else if constexpr (kAct == kActSiLU) {
    return sigmoid_avx2<true>(v);
  } else {
    return v;
  }
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 finish(const VecEpilogue& e, __m256 v) {
  switch (e.act) {
    case kActRelu: return finish_as<kActRelu>(e, v);
    case kActReluAffine: return finish_as<kActReluAffine>(e, v);
    case kActLeaky: return finish_as<kActLeaky>(e, v);
    case kActClip: return e.ordered ? finish_as<kActClipOrdered>(e, v) : finish_as<kActClip>(e, v);
    case kActHardSwish: return finish_as<kActHardSwish>(e, v);
    case kActSiLU: return finish_as<kActSiLU>(e, v);
    default: return finish_as<kActNone>(e, v);
  }
}

}  // namespace vorn::kern
#endif
