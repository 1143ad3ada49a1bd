// Bias and the fused activation of a Conv, applied to a span of one output
// channel's plane while the product that wrote it is still in cache.
#include "kernels/ops/conv.h"
#include "kernels/ops/epilogue_avx2.h"
#include "kernels/ops/sigmoid_math.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

// The epilogue of activation kAct with the bias added (kBias) or not, one
// value at a time (the loops vectorise in the baseline instruction set).
template <int kAct, bool kBias>
void span(float* v, int64_t len, float b, float m, float a, float slope, float hi, const float* res = nullptr) {
  for (int64_t i = 0; i < len; ++i) {
    // Without a bias nothing is added (-0 stays -0, as the unfused Relu
    // or Clip would see it).
    const float t = kBias ? v[i] + b : v[i];
    if constexpr (kAct == kActAdd) {
      v[i] = t + res[i];
    } else if constexpr (kAct == kActAddRelu) {
      const float u = t + res[i];
      v[i] = u >= 0.0f ? u : 0.0f;
    } else if constexpr (kAct == kActReluAffine) {
      const float r = t >= 0.0f ? t : 0.0f;
      v[i] = r * m + a;
    } else if constexpr (kAct == kActRelu) {
      v[i] = t >= 0.0f ? t : 0.0f;
    } else if constexpr (kAct == kActLeaky) {
      v[i] = t >= 0.0f ? t : t * slope;
    } else if constexpr (kAct == kActClip) {
      // Clip and HardSwish take the same tests and operations, in the same
      // order, as their own kernels, so fusing them changes no bit (NaN
      // passes through both).
      v[i] = t < slope ? slope : (t > hi ? hi : t);
    } else if constexpr (kAct == kActSiLU) {
      v[i] = sigmoid_scalar<true>(t);
    } else if constexpr (kAct == kActHardSwish) {
      float g = t * 0.16666667f;
      g = g + 0.5f;
      g = g < 0.0f ? 0.0f : (g > 1.0f ? 1.0f : g);
      v[i] = t * g;
    } else {
      v[i] = t;
    }
  }
}

template <int kAct>
void span_either(float* v, int64_t len, const float* params, int64_t c, float m, float a, float slope, float hi,
                 const float* res = nullptr) {
  if (params != nullptr)
    span<kAct, true>(v, len, params[c], m, a, slope, hi, res);
  else
    span<kAct, false>(v, len, 0.0f, m, a, slope, hi, res);
}

}  // namespace

void conv_epilogue_span(float* v, int64_t len, int64_t c, const float* params, int64_t cout,
                        int act, float slope, float hi, const float* res) {
  switch (act) {
    case kActAdd: return span_either<kActAdd>(v, len, params, c, 0.0f, 0.0f, slope, hi, res);
    case kActAddRelu: return span_either<kActAddRelu>(v, len, params, c, 0.0f, 0.0f, slope, hi, res);
    case kActReluAffine:
      return span<kActReluAffine, true>(v, len, params[c], params[cout + c], params[2 * cout + c], slope, hi);
    case kActPRelu: return span<kActLeaky, true>(v, len, params[c], 0.0f, 0.0f, params[cout + c], hi);
    case kActRelu: return span_either<kActRelu>(v, len, params, c, 0.0f, 0.0f, slope, hi);
    case kActLeaky: return span_either<kActLeaky>(v, len, params, c, 0.0f, 0.0f, slope, hi);
    case kActClip: return span_either<kActClip>(v, len, params, c, 0.0f, 0.0f, slope, hi);
    case kActHardSwish: return span_either<kActHardSwish>(v, len, params, c, 0.0f, 0.0f, slope, hi);
    case kActSiLU: return span_either<kActSiLU>(v, len, params, c, 0.0f, 0.0f, slope, hi);
    default:
      if (params != nullptr) span<kActNone, true>(v, len, params[c], 0.0f, 0.0f, slope, hi);
      return;
  }
}

#if defined(__x86_64__)
namespace {

// Four vectors at a time (their chains overlap), then single vectors, then
// the last few values through a masked load and store.
template <int kAct>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void span_avx2(float* v, int64_t len, const VecEpilogue& e) {
  int64_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256 a = _mm256_loadu_ps(v + i), b = _mm256_loadu_ps(v + i + 8);
    const __m256 c = _mm256_loadu_ps(v + i + 16), d = _mm256_loadu_ps(v + i + 24);
    _mm256_storeu_ps(v + i, finish_as<kAct>(e, a));
    _mm256_storeu_ps(v + i + 8, finish_as<kAct>(e, b));
    _mm256_storeu_ps(v + i + 16, finish_as<kAct>(e, c));
    _mm256_storeu_ps(v + i + 24, finish_as<kAct>(e, d));
  }
  for (; i + 8 <= len; i += 8) _mm256_storeu_ps(v + i, finish_as<kAct>(e, _mm256_loadu_ps(v + i)));
  if (i < len) {
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(len - i)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_maskstore_ps(v + i, mask, finish_as<kAct>(e, _mm256_maskload_ps(v + i, mask)));
  }
}

// The residual forms: bias, then the residual value at the same position,
// then Relu for kActAddRelu, each rounded as the separate nodes round.
template <bool kRelu>
[[gnu::target("avx2,fma")]] __m256 add_residual(const VecEpilogue& e, __m256 v, __m256 r) {
  if (e.bias) v = _mm256_add_ps(v, e.b);
  v = _mm256_add_ps(v, r);
  return kRelu ? relu_exact(v) : v;
}

template <bool kRelu>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void span_residual_avx2(float* v, int64_t len,
                                                                           const VecEpilogue& e, const float* res) {
  int64_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m256 a = _mm256_loadu_ps(v + i), b = _mm256_loadu_ps(v + i + 8);
    const __m256 ra = _mm256_loadu_ps(res + i), rb = _mm256_loadu_ps(res + i + 8);
    _mm256_storeu_ps(v + i, add_residual<kRelu>(e, a, ra));
    _mm256_storeu_ps(v + i + 8, add_residual<kRelu>(e, b, rb));
  }
  for (; i + 8 <= len; i += 8)
    _mm256_storeu_ps(v + i, add_residual<kRelu>(e, _mm256_loadu_ps(v + i), _mm256_loadu_ps(res + i)));
  if (i < len) {
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(len - i)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_maskstore_ps(v + i, mask,
                        add_residual<kRelu>(e, _mm256_maskload_ps(v + i, mask), _mm256_maskload_ps(res + i, mask)));
  }
}

}  // namespace

// The AVX2 form of conv_epilogue_span: the same operations per value (see
// epilogue_avx2.h).
[[gnu::target("avx2,fma")]] void conv_epilogue_span_avx2(float* v, int64_t len, int64_t c, const float* params,
                                                         int64_t cout, int act, float slope, float hi,
                                                         const float* res) {
  if (params == nullptr && act == kActNone) return;
  const ChannelEpilogue ce{params, cout, c, act, slope, hi};
  const VecEpilogue e = vec_epilogue(&ce, c);
  switch (e.act) {
    case kActAdd: return span_residual_avx2<false>(v, len, e, res);
    case kActAddRelu: return span_residual_avx2<true>(v, len, e, res);
    case kActRelu: return span_avx2<kActRelu>(v, len, e);
    case kActReluAffine: return span_avx2<kActReluAffine>(v, len, e);
    case kActLeaky: return span_avx2<kActLeaky>(v, len, e);
    case kActClip: return e.ordered ? span_avx2<kActClipOrdered>(v, len, e) : span_avx2<kActClip>(v, len, e);
    case kActHardSwish: return span_avx2<kActHardSwish>(v, len, e);
    case kActSiLU: return span_avx2<kActSiLU>(v, len, e);
    default: return span_avx2<kActNone>(v, len, e);
  }
}

namespace {

template <int kAct>
[[gnu::target("avx2,fma")]] void rows_avx2(float* v, int64_t ld, int64_t rows, int64_t len, const ChannelEpilogue& ce) {
  for (int64_t r = 0; r < rows; ++r) {
    const VecEpilogue e = vec_epilogue(&ce, ce.c + r);
    span_avx2<kAct>(v + r * ld, len, e);
  }
}

template <bool kRelu>
[[gnu::target("avx2,fma")]] void rows_residual_avx2(float* v, int64_t ld, int64_t rows, int64_t len,
                                                    const ChannelEpilogue& ce, const float* res) {
  for (int64_t r = 0; r < rows; ++r) {
    const VecEpilogue e = vec_epilogue(&ce, ce.c + r);
    span_residual_avx2<kRelu>(v + r * ld, len, e, res + r * ld);
  }
}

}  // namespace

// The channel loop inside the form: the activation is chosen once per
// tile, each row's constants broadcast as the span form broadcasts them.
[[gnu::target("avx2,fma")]] void conv_epilogue_rows_avx2(float* v, int64_t ld, int64_t rows, int64_t len, int64_t c,
                                                         const float* params, int64_t cout, int act, float slope,
                                                         float hi, const float* res) {
  if ((params == nullptr && act == kActNone) || len <= 0) return;
  const ChannelEpilogue ce{params, cout, c, act, slope, hi};
  switch (act == kActPRelu ? kActLeaky : act) {
    case kActAdd: return rows_residual_avx2<false>(v, ld, rows, len, ce, res);
    case kActAddRelu: return rows_residual_avx2<true>(v, ld, rows, len, ce, res);
    case kActRelu: return rows_avx2<kActRelu>(v, ld, rows, len, ce);
    case kActReluAffine: return rows_avx2<kActReluAffine>(v, ld, rows, len, ce);
    case kActLeaky: return rows_avx2<kActLeaky>(v, ld, rows, len, ce);
    case kActClip:
      return slope > hi ? rows_avx2<kActClip>(v, ld, rows, len, ce) : rows_avx2<kActClipOrdered>(v, ld, rows, len, ce);
    case kActHardSwish: return rows_avx2<kActHardSwish>(v, ld, rows, len, ce);
    case kActSiLU: return rows_avx2<kActSiLU>(v, ld, rows, len, ce);
    default: return rows_avx2<kActNone>(v, ld, rows, len, ce);
  }
}
#endif

void conv_epilogue_rows(EpilogueSpan form, float* v, int64_t ld, int64_t rows, int64_t len, int64_t c,
                        const float* params, int64_t cout, int act, float slope, float hi, const float* res) {
#if defined(__x86_64__)
  if (form == &conv_epilogue_span_avx2)
    return conv_epilogue_rows_avx2(v, ld, rows, len, c, params, cout, act, slope, hi, res);
#endif
  for (int64_t r = 0; r < rows; ++r)
    form(v + r * ld, len, c + r, params, cout, act, slope, hi, res != nullptr ? res + r * ld : nullptr);
}

EpilogueSpan conv_epilogue_for(KernelIsa isa) {
#if defined(__x86_64__)
  if (isa_has_avx2(isa)) return &conv_epilogue_span_avx2;
#else
  (void)isa;
#endif
  return &conv_epilogue_span;
}

}  // namespace vorn::kern
