// Depthwise layers on small planes with eight channels in the vector lanes.
// Output rows of a few pixels (1 to 4) leave most lanes of a
// row-wise vector idle or masked; here a block of eight channels is copied
// once into a zero-padded plane of pixels, each pixel's eight channels one
// vector, so every tap of eight output pixels is eight full fused
// multiply-adds with the tap's eight channel weights. The sums of eight
// consecutive output pixels are transposed back to eight channels' spans
// and finished by the channel epilogue before their one store.
//
// Each output sums its taps from zero, one fused multiply-add per (kernel
// row, kernel column) in order, as the row form does; a padding tap here is
// a product with zero, which with a finite weight leaves the sum as
// skipping it does (a sum started at +0 never becomes -0), so a block whose
// weights are not all finite is left to the row form.
#include <cmath>
#include <cstdint>
#include <utility>

#include "kernels/ops/conv_paths.h"
#include "kernels/ops/epilogue_avx2.h"
#include "kernels/ops/lanes_avx2.h"

namespace vorn::kern {

bool depthwise_lanes_apply(const ConvParams& p, KernelIsa form) {
  int64_t hp = 0, wp = 0;
  return form != KernelIsa::kPortable && conv_is_depthwise(p) && p.y.w <= kLanesMaxWidth &&
         p.kh * p.kw <= kLanesMaxTaps && padded_extent(p, &hp, &wp) &&
         (hp * wp + (p.kh * p.kw + 7) / 8 * 8) * 8 <= kLanesBlockFloats;
}

#if defined(__x86_64__)

namespace {

// Channel c0's epilogue and the next n - 1 channels' side by side in the
// lanes: every step of finish() works lane by lane, so each lane rounds as
// its channel's own epilogue does.
[[gnu::target("avx2,fma")]] VecEpilogue lanes_epilogue(const ChannelEpilogue* e, int64_t c0, int n) {
  VecEpilogue v = vec_epilogue(e, c0);
  if (e == nullptr) return v;
  const __m256i mask = lanes_below(n);
  if (v.bias) v.b = _mm256_maskload_ps(e->params + c0, mask);
  if (e->act == kActReluAffine) {
    v.m = _mm256_maskload_ps(e->params + e->cout + c0, mask);
    v.a = _mm256_maskload_ps(e->params + 2 * e->cout + c0, mask);
  }
  if (e->act == kActPRelu) v.slope = _mm256_maskload_ps(e->params + e->cout + c0, mask);
  return v;
}

// P output pixels (1 to 8) of a block of eight channels: base[k] is pixel
// k's first tap, wl the taps' eight channel weights; out[k] pixel k's
// finished channels.
template <int P>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void lanes_pixels(const float* const (&base)[8],
                                                                         const float* wl, const int64_t* off,
                                                                         int64_t taps, const VecEpilogue& e,
                                                                         __m256 (&out)[8]) {
  __m256 acc[P];
#pragma GCC unroll 8
  for (int k = 0; k < P; ++k) acc[k] = _mm256_setzero_ps();
  for (int64_t t = 0; t < taps; ++t) {
    const __m256 wv = _mm256_load_ps(wl + t * 8);
    const int64_t o = off[t];
#pragma GCC unroll 8
    for (int k = 0; k < P; ++k) acc[k] = _mm256_fmadd_ps(wv, _mm256_loadu_ps(base[k] + o), acc[k]);
  }
#pragma GCC unroll 8
  for (int k = 0; k < P; ++k) out[k] = finish(e, acc[k]);
}

using LanesPixels = void (*)(const float* const (&)[8], const float*, const int64_t*, int64_t, const VecEpilogue&,
                             __m256 (&)[8]);

template <int... P>
constexpr LanesPixels lanes_pixels_for(int p, std::integer_sequence<int, P...>) {
  LanesPixels f = nullptr;
  ((f = p == P + 1 ? &lanes_pixels<P + 1> : f), ...);
  return f;
}

// Output channels [c0, c0 + n) of the layer (n 1 to 8): x is channel c0's
// input plane, w its weights, y its output plane.
[[gnu::target("avx2,fma")]] void lanes_block(const ConvParams& p, const float* x, const float* w, float* y,
                                             int64_t c0, int n, const ChannelEpilogue* epi, float* buf) {
  int64_t hp = 0, wp = 0;
  padded_extent(p, &hp, &wp);
  const int64_t taps = p.kh * p.kw, wo = p.y.w, hw = p.y.plane();
  // The weights as one plane of taps, eight channels a tap.
  float* wl = buf;
  float* xp = buf + (taps + 7) / 8 * 64;
  lanes_pack(w, taps, 1, taps, n, 0, 0, 1, taps, _mm256_setzero_ps(), wl);
  lanes_pack(x, p.x.plane(), p.x.h, p.x.w, n, p.padt, p.padl, hp, wp, _mm256_setzero_ps(), xp);
  // Offsets of the taps from a pixel's first tap, in floats.
  int64_t off[kLanesMaxTaps];
  for (int64_t i = 0, t = 0; i < p.kh; ++i)
    for (int64_t j = 0; j < p.kw; ++j, ++t) off[t] = (i * p.dh * wp + j * p.dw) * 8;
  const VecEpilogue e = lanes_epilogue(epi, c0, n);
  const LanesPixels full = &lanes_pixels<8>;
  const LanesPixels last = lanes_pixels_for(static_cast<int>((hw - 1) % 8 + 1), std::make_integer_sequence<int, 8>{});
  LanesWalk walk;
  for (int64_t q = 0; q < hw; q += 8) {
    const float* base[8];
    walk.next(static_cast<const float*>(xp), q, hw, wo, wp, p.sh, p.sw, base);
    __m256 r[8] = {};
    const int64_t cnt = std::min<int64_t>(8, hw - q);
    (cnt == 8 ? full : last)(base, wl, off, taps, e, r);
    transpose8(r);
    for (int c = 0; c < n; ++c) {
      float* dst = y + c * hw + q;
      if (cnt == 8)
        _mm256_storeu_ps(dst, r[c]);
      else
        _mm256_maskstore_ps(dst, lanes_below(cnt), r[c]);
    }
  }
}

}  // namespace

bool depthwise_lanes_block(const ConvParams& p, const float* xn, const float* w, float* yn, int64_t c0, int64_t c1,
                           const ChannelEpilogue* epi) {
  const int64_t taps = p.kh * p.kw;
  for (int64_t t = 0; t < (c1 - c0) * taps; ++t)
    if (!std::isfinite(w[c0 * taps + t])) return false;
  alignas(64) float buf[kLanesBlockFloats];
  for (int64_t c = c0; c < c1; c += 8)
    lanes_block(p, xn + c * p.x.plane(), w + c * taps, yn + c * p.y.plane(), c,
                static_cast<int>(std::min<int64_t>(8, c1 - c)), epi, buf);
  return true;
}

#else

bool depthwise_lanes_block(const ConvParams&, const float*, const float*, float*, int64_t, int64_t,
                           const ChannelEpilogue*) {
  return false;
}

#endif

}  // namespace vorn::kern
