// Depthwise layers of narrow output rows (at most kLanesMaxWidth pixels)
// with eight channels in the vector lanes. A row-wise vector of such a
// plane leaves most lanes masked; here a block of eight channels is copied,
// a band of rows at a time, into a zero-padded plane of pixels, each
// pixel's eight channels one vector, so every tap of eight output pixels
// (in raster order, across rows) is eight full fused multiply-adds with
// the tap's eight channel weights. The sums are finished by the channels'
// epilogues side by side and transposed back to eight channels' spans for
// the store. Wider rows stay with the row tiles, which fill their lanes.
//
// A subnormal operand or product in any one lane sends the multiply-add of
// all eight down the processor's slow path, and trained models have whole
// channels of tiny weights and activations (1e-20 times 1e-21), so the
// copy of each band looks for an input whose product with its channel's
// least weight is not normal, and a band that holds one goes to the forms
// that take one channel at a time, as does a block whose weights are not
// all zero or normal.
//
// Each output sums its taps from zero, one fused multiply-add per (kernel
// row, kernel column) in order, as the row form does; a padding tap here is
// a product with zero, which with a finite weight leaves the sum as
// skipping it does (a sum started at +0 never becomes -0), so a block whose
// weights are not all finite is left to the forms that take one channel at
// a time.
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/ops/conv_paths.h"
#include "kernels/ops/epilogue_avx2.h"
#include "kernels/ops/lanes_avx2.h"

namespace vorn::kern {

namespace {

// Output rows per band: as many as the block's buffer holds (0 when not
// even one fits).
int64_t lanes_band_rows(const ConvParams& p) {
  const int64_t wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  const int64_t room = kLanesBlockFloats / 8 - (p.kh * p.kw + 7) / 8 * 8;  // pixels
  if (wp > room) return 0;
  const int64_t hp = room / wp;  // padded rows that fit
  const int64_t reach = (p.kh - 1) * p.dh + 1;
  return hp < reach ? 0 : std::min(p.y.h, (hp - reach) / p.sh + 1);
}

}  // namespace

bool depthwise_lanes_apply(const ConvParams& p, KernelIsa form) {
  return form != KernelIsa::kPortable && conv_is_depthwise(p) && p.y.w <= kLanesMaxWidth &&
         p.kh * p.kw <= kLanesMaxTaps && lanes_band_rows(p) > 0;
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

// Per lane, the magnitude below which an input's product with the lane's
// least weight other than zero (of taps weights, eight lanes a tap) is not
// a normal float: the least normal float where the weights are all zero or
// at least one.
[[gnu::target("avx2,fma")]] __m256 product_bound(const float* wl, int64_t taps) {
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 inf = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  __m256 least = inf;
  for (int64_t t = 0; t < taps; ++t) {
    const __m256 m = _mm256_and_ps(_mm256_load_ps(wl + t * 8), magnitude);
    least = _mm256_min_ps(least, _mm256_blendv_ps(m, inf, _mm256_cmp_ps(m, _mm256_setzero_ps(), _CMP_EQ_OQ)));
  }
  const __m256 normal = _mm256_set1_ps(std::numeric_limits<float>::min());
  return _mm256_max_ps(normal, _mm256_div_ps(normal, least));
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

// Up to eight pixels of the block through lanes_pixels, their finished
// channels stored to the output planes (y at the first pixel of channel
// 0's plane, planes hw apart).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void lanes_run(const float* const (&base)[8], int64_t cnt,
                                                                      const float* wl, const int64_t* off,
                                                                      int64_t taps, const VecEpilogue& e, float* y,
                                                                      int64_t hw, int n) {
  __m256 r[8] = {};
  switch (cnt) {
    case 1: lanes_pixels<1>(base, wl, off, taps, e, r); break;
    case 2: lanes_pixels<2>(base, wl, off, taps, e, r); break;
    case 3: lanes_pixels<3>(base, wl, off, taps, e, r); break;
    case 4: lanes_pixels<4>(base, wl, off, taps, e, r); break;
    case 5: lanes_pixels<5>(base, wl, off, taps, e, r); break;
    case 6: lanes_pixels<6>(base, wl, off, taps, e, r); break;
    case 7: lanes_pixels<7>(base, wl, off, taps, e, r); break;
    default: lanes_pixels<8>(base, wl, off, taps, e, r); break;
  }
  transpose8(r);
  for (int c = 0; c < n; ++c) {
    if (cnt == 8)
      _mm256_storeu_ps(y + c * hw, r[c]);
    else
      _mm256_maskstore_ps(y + c * hw, lanes_below(cnt), r[c]);
  }
}

// Output channels [c0, c0 + n) of the layer (n 1 to 8): x is channel c0's
// input plane, w its weights, y its output plane; output rows [oy1, oy2).
// Bands of `band` output rows are copied and computed in turn, their
// pixels eight at a time in raster order, across rows; a band whose copy
// holds an input of a product below the normal floats goes to apart.
[[gnu::target("avx2,fma")]] void lanes_block(const ConvParams& p, const float* x, const float* w, float* y,
                                             int64_t c0, int n, const ChannelEpilogue* epi, int64_t oy1,
                                             int64_t oy2, int64_t band, float* buf,
                                             const LanesApart& apart) {
  const int64_t taps = p.kh * p.kw, wo = p.y.w, hw = p.y.plane();
  const int64_t wp = (wo - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  // The weights as one plane of taps, eight channels a tap.
  float* wl = buf;
  float* xp = buf + (taps + 7) / 8 * 64;
  lanes_pack(w, taps, 1, taps, n, 0, 0, 1, taps, _mm256_setzero_ps(), wl);
  // Offsets of the taps from a pixel's first tap, in floats.
  int64_t off[kLanesMaxTaps];
  for (int64_t i = 0, t = 0; i < p.kh; ++i)
    for (int64_t j = 0; j < p.kw; ++j, ++t) off[t] = (i * p.dh * wp + j * p.dw) * 8;
  const VecEpilogue e = lanes_epilogue(epi, c0, n);
  const __m256 below = product_bound(wl, taps);
  for (int64_t oy0 = oy1; oy0 < oy2; oy0 += band) {
    const int64_t rows = std::min(band, oy2 - oy0), hp = (rows - 1) * p.sh + (p.kh - 1) * p.dh + 1;
    // Padded row 0 of the band is input row top; input rows [from, to) are
    // copied.
    const int64_t top = oy0 * p.sh - p.padt, from = std::clamp<int64_t>(top, 0, p.x.h);
    const int64_t to = std::clamp<int64_t>(top + hp, from, p.x.h);
    if (lanes_pack<true>(x + from * p.x.w, p.x.plane(), to - from, p.x.w, n, from - top, p.padl, hp, wp,
                         _mm256_setzero_ps(), xp, below)) {
      apart.run(apart.ctx, c0, c0 + n, oy0, oy0 + rows);
      continue;
    }
    float* yb = y + oy0 * wo;
    const int64_t count = rows * wo;
    LanesWalk walk;
    for (int64_t q = 0; q < count; q += 8) {
      const float* base[8];
      walk.next(static_cast<const float*>(xp), q, count, wo, wp, p.sh, p.sw, base);
      lanes_run(base, std::min<int64_t>(8, count - q), wl, off, taps, e, yb + q, hw, n);
    }
  }
}

}  // namespace

void depthwise_lanes_block(const ConvParams& p, const float* xn, const float* w, float* yn, int64_t c0, int64_t c1,
                           int64_t oy0, int64_t oy1, const ChannelEpilogue* epi, const LanesApart& apart) {
  const int64_t taps = p.kh * p.kw;
  for (int64_t t = 0; t < (c1 - c0) * taps; ++t) {
    const float v = w[c0 * taps + t];
    if (!std::isfinite(v) || (v != 0.0f && std::fabs(v) < std::numeric_limits<float>::min()))
      return apart.run(apart.ctx, c0, c1, oy0, oy1);
  }
  alignas(64) float buf[kLanesBlockFloats];
  const int64_t band = lanes_band_rows(p);
  for (int64_t c = c0; c < c1; c += 8)
    lanes_block(p, xn + c * p.x.plane(), w + c * taps, yn + c * p.y.plane(), c,
                static_cast<int>(std::min<int64_t>(8, c1 - c)), epi, oy0, oy1, band, buf, apart);
}

#else

void depthwise_lanes_block(const ConvParams&, const float*, const float*, float*, int64_t c0, int64_t c1,
                           int64_t oy0, int64_t oy1, const ChannelEpilogue*, const LanesApart& apart) {
  apart.run(apart.ctx, c0, c1, oy0, oy1);
}

#endif

}  // namespace vorn::kern
