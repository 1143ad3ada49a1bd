// Convolutions of small planes at stride 1 summed across their zero-padded
// rows, eight consecutive padded positions a vector. Output position (y, x)
// sits at padded position y wp + x, and tap (i, j) adds the weight times
// the padded value i dh wp + j dw further on, so every tap of eight
// positions is one load and one fused multiply-add. The sums of the
// padding columns between output rows are dropped.
//
// Depthwise layers (3 x 3 and 5 x 5 planes) run one channel at a time, its
// input copied into a padded plane on the stack: the forms that tile
// output rows spend more on their set-up per channel than on the sums.
// Each output sums its taps from zero, one fused multiply-add per (kernel
// row, kernel column) in order, as the other depthwise forms do; a padding
// tap is a product with zero, which with a finite weight leaves the sum as
// skipping it does (a sum started at +0 never becomes -0), so a channel
// whose weights are not all finite goes to those forms. The epilogue is
// applied in the registers, lane by lane as its separate pass would.
//
// Deep layers of a few output channels on a plane of one vector (a
// classifier's 3 x 3 kernel over 128 channels of 2 x 2) have a few
// outputs, each a chain of thousands of multiply-adds: the panel product
// keeps a chain or two in flight and waits on each step. Here each output
// sums its terms in blocks of kPanelDepthBlock rows (channel, kernel row,
// kernel column) from zero and adds the blocks' sums in order, as the
// panel product does, with the blocks and channels side by side.
#include <array>
#include <cstring>
#include <utility>

#include "kernels/ops/conv_paths.h"
#include "kernels/ops/epilogue_avx2.h"

namespace vorn::kern {

namespace {

// Floats of the padded plane on the stack: 3 x 3 and 5 x 5 planes under a
// 3 x 3 kernel ran a quarter to a third faster this way; 10 x 10 planes a
// fifth slower than on the row tiles, 20 x 20 as fast.
constexpr int64_t kTinyPadded = 64;
// Copies input plane xc into the interior of an hp x wp padded plane whose
// borders are already zero (they stay so from one channel to the next).
VORN_NO_MEMCPY_CALLS inline void copy_interior(const ConvParams& p, const float* xc, float* pad, int64_t hp,
                                               int64_t wp) {
  const int64_t r0 = std::clamp<int64_t>(p.padt, 0, hp), r1 = std::clamp<int64_t>(p.padt + p.x.h, r0, hp);
  const int64_t a = std::min(p.padl, wp), b = std::clamp<int64_t>(p.padl + p.x.w, a, wp);
  for (int64_t row = r0; row < r1 && a < b; ++row) {
    const float* src = xc + (row - p.padt) * p.x.w + (a - p.padl);
    float* dst = pad + row * wp + a;
    for (int64_t u = 0; u < b - a; ++u) dst[u] = src[u];
  }
}

// Outputs times taps below which a depthwise layer stays on the calling
// thread at any pool size (as the grouped plan decides).
constexpr int64_t kTinyWork = int64_t{1} << 17;

#if defined(__x86_64__)

// Sums of vectors [v0, v0 + kUnroll) of one channel's padded plane,
// finished by its epilogue (ve null: none), into sums. A 3 x 3 kernel of
// dilation 1 (kThree) takes its taps' offsets from wp; other kernels from
// the table.
template <int kUnroll, bool kThree>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void tiny_vectors(const float* pad, const int64_t* off,
                                                                         int64_t wp, const float* w, int64_t taps,
                                                                         int64_t v0, const VecEpilogue* ve,
                                                                         float* sums) {
  __m256 acc[kUnroll];
#pragma GCC unroll 4
  for (int u = 0; u < kUnroll; ++u) acc[u] = _mm256_setzero_ps();
  const float* base = pad + v0 * 8;
  if constexpr (kThree) {
#pragma GCC unroll 3
    for (int i = 0; i < 3; ++i) {
      const float* row = base + i * wp;
#pragma GCC unroll 3
      for (int j = 0; j < 3; ++j) {
        const __m256 wt = _mm256_broadcast_ss(w + i * 3 + j);
#pragma GCC unroll 4
        for (int u = 0; u < kUnroll; ++u) acc[u] = _mm256_fmadd_ps(wt, _mm256_loadu_ps(row + j + 8 * u), acc[u]);
      }
    }
  } else {
    for (int64_t t = 0; t < taps; ++t) {
      const __m256 wt = _mm256_broadcast_ss(w + t);
      const float* at = base + off[t];
#pragma GCC unroll 4
      for (int u = 0; u < kUnroll; ++u) acc[u] = _mm256_fmadd_ps(wt, _mm256_loadu_ps(at + 8 * u), acc[u]);
    }
  }
#pragma GCC unroll 4
  for (int u = 0; u < kUnroll; ++u)
    _mm256_storeu_ps(sums + (v0 + u) * 8, ve != nullptr ? finish(*ve, acc[u]) : acc[u]);
}

template <bool kThree>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void channel_vectors(const float* pad, const int64_t* off,
                                                                            int64_t wp, const float* w,
                                                                            int64_t taps, int64_t vecs,
                                                                            const VecEpilogue* ve, float* sums) {
  int64_t v = 0;
  for (; v + 4 <= vecs; v += 4) tiny_vectors<4, kThree>(pad, off, wp, w, taps, v, ve, sums);
  for (; v + 2 <= vecs; v += 2) tiny_vectors<2, kThree>(pad, off, wp, w, taps, v, ve, sums);
  if (v < vecs) tiny_vectors<1, kThree>(pad, off, wp, w, taps, v, ve, sums);
}

[[gnu::target("avx2,fma")]] VORN_NO_MEMCPY_CALLS void tiny_channels(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  int64_t hp = 0, wp = 0;
  padded_extent(p, &hp, &wp);
  const int64_t ho = p.y.h, wo = p.y.w, taps = p.kh * p.kw;
  const int64_t vecs = ((ho - 1) * wp + wo + 7) / 8;
  // Two padded planes, each read at most seven values past its end: the
  // next channel is copied into one while the other is summed, so the
  // loads of a plane never wait on the stores that filled it.
  alignas(32) float pads[2][kTinyPadded + 8];
  alignas(32) float sums[kTinyPadded + 8];
  std::memset(pads, 0, sizeof pads);
  int64_t off[kDirectGroupDepth];
  for (int64_t i = 0; i < p.kh; ++i)
    for (int64_t j = 0; j < p.kw; ++j) off[i * p.kw + j] = i * p.dh * wp + j * p.dw;
  auto copy_in = [&](int64_t c, float* pad) { copy_interior(p, xn + c * p.x.plane(), pad, hp, wp); };
  const bool three = p.kh == 3 && p.kw == 3 && p.dh == 1 && p.dw == 1;
  const ChannelEpilogue e{r.bias, p.y.c, 0, p.act, p.slope, p.hi};
  const ChannelEpilogue* epi = r.plan.epilogue ? &e : nullptr;
  copy_in(0, pads[0]);
  for (int64_t c = 0; c < p.y.c; ++c) {
    const float* pad = pads[c & 1];
    if (c + 1 < p.y.c) copy_in(c + 1, pads[(c + 1) & 1]);
    const float* w = r.w + c * taps;
    if (!all_finite(w, taps)) {
      conv_grouped_rows(r.plan, xn, r.w, r.bias, yn, c, c + 1, 0, ho);
      continue;
    }
    const VecEpilogue ve = vec_epilogue(epi, c);
    const VecEpilogue* vp = epi != nullptr ? &ve : nullptr;
    if (three)
      channel_vectors<true>(pad, off, wp, w, taps, vecs, vp, sums);
    else
      channel_vectors<false>(pad, off, wp, w, taps, vecs, vp, sums);
    float* yc = yn + c * p.y.plane();
    for (int64_t y = 0; y < ho; ++y)
      for (int64_t x = 0; x < wo; ++x) yc[y * wo + x] = sums[y * wp + x];
  }
}

// Up to kDeepChannels output channels by four depth blocks side by side:
// eight chains in flight.
constexpr int64_t kDeepChannels = 2, kDeepSide = 4;

// Block sums of depth blocks [b0, b0 + kDeepSide) (those below `blocks`)
// of kM output channels into part[channel][block].
template <int kM>
[[gnu::target("avx2,fma")]] void deep_blocks(const float* w, int64_t k, const float* pad, const int32_t* off,
                                             int64_t b0, int64_t blocks, __m256 (*part)[kDeepBlocksMost]) {
  __m256 acc[kM][kDeepSide];
  for (int o = 0; o < kM; ++o)
    for (int b = 0; b < kDeepSide; ++b) acc[o][b] = _mm256_setzero_ps();
  const int64_t side = std::min<int64_t>(kDeepSide, blocks - b0);
  if (side == kDeepSide && (b0 + kDeepSide) * kPanelDepthBlock <= k) {
    for (int64_t t = 0; t < kPanelDepthBlock; ++t) {
#pragma GCC unroll 4
      for (int b = 0; b < kDeepSide; ++b) {
        const int64_t kk = (b0 + b) * kPanelDepthBlock + t;
        const __m256 x = _mm256_loadu_ps(pad + off[kk]);
#pragma GCC unroll 2
        for (int o = 0; o < kM; ++o) acc[o][b] = _mm256_fmadd_ps(_mm256_broadcast_ss(w + o * k + kk), x, acc[o][b]);
      }
    }
  } else {
    for (int64_t b = 0; b < side; ++b) {
      const int64_t end = std::min(k, (b0 + b + 1) * kPanelDepthBlock);
      for (int64_t kk = (b0 + b) * kPanelDepthBlock; kk < end; ++kk) {
        const __m256 x = _mm256_loadu_ps(pad + off[kk]);
        for (int o = 0; o < kM; ++o) acc[o][b] = _mm256_fmadd_ps(_mm256_broadcast_ss(w + o * k + kk), x, acc[o][b]);
      }
    }
  }
  for (int o = 0; o < kM; ++o)
    for (int64_t b = 0; b < side; ++b) part[o][b0 + b] = acc[o][b];
}

[[gnu::target("avx2,fma")]] VORN_NO_MEMCPY_CALLS void deep_channels(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  int64_t hp = 0, wp = 0;
  padded_extent(p, &hp, &wp);
  const int64_t plane = hp * wp, k = p.k_rows(), ho = p.y.h, wo = p.y.w;
  const int64_t blocks = (k + kPanelDepthBlock - 1) / kPanelDepthBlock;
  // Every input plane padded, one after another in the workspace (the
  // last vector reads up to seven values past the last plane), then the
  // offset of each depth row's first value.
  float* pad = r.col;
  std::memset(pad, 0, static_cast<size_t>(p.x.c * plane + 8) * 4);
  for (int64_t c = 0; c < p.x.c; ++c) copy_interior(p, xn + c * p.x.plane(), pad + c * plane, hp, wp);
  int32_t* off = reinterpret_cast<int32_t*>(pad + (p.x.c * plane + 8 + 15) / 16 * 16);
  for (int64_t c = 0, kk = 0; c < p.x.c; ++c)
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j) off[kk++] = static_cast<int32_t>(c * plane + i * p.dh * wp + j * p.dw);
  for (int64_t o0 = 0; o0 < p.y.c; o0 += kDeepChannels) {
    const int64_t m = std::min(kDeepChannels, p.y.c - o0);
    __m256 part[kDeepChannels][kDeepBlocksMost];
    const float* w = r.w + o0 * k;
    for (int64_t b0 = 0; b0 < blocks; b0 += kDeepSide) {
      if (m == 2)
        deep_blocks<2>(w, k, pad, off, b0, blocks, part);
      else
        deep_blocks<1>(w, k, pad, off, b0, blocks, part);
    }
    for (int64_t o = 0; o < m; ++o) {
      __m256 sum = part[o][0];
      for (int64_t bb = 1; bb < blocks; ++bb) sum = _mm256_add_ps(sum, part[o][bb]);
      alignas(32) float lanes[8];
      _mm256_store_ps(lanes, sum);
      float* yc = yn + (o0 + o) * p.y.plane();
      for (int64_t y = 0; y < ho; ++y)
        for (int64_t x = 0; x < wo; ++x) yc[y * wo + x] = lanes[y * wp + x];
      if (r.plan.epilogue) epilogue_span(r, yc, p.y.plane(), o0 + o);
    }
  }
}

// Rows of C a half-panel tile holds: twelve chains of multiply-adds in
// flight, each step one load of the panel's row and one broadcast weight
// per row.
constexpr int kHalfRows = 12;

// kM rows of C from output channel `row` on (weights lda apart) over the k
// rows of eight values of col, finished by their epilogue (epi null: none)
// and lanes [0, cols) stored ldc apart from y on. Each depth block is
// summed from zero in order and the blocks' sums added in order, as the
// panel product sums.
template <int kM>
[[gnu::target("avx2,fma")]] void half_rows(const float* a, int64_t lda, const float* col, int64_t k, float* y,
                                           int64_t ldc, int64_t cols, const ChannelEpilogue* epi, int64_t row) {
  __m256 sum[kM];
#pragma GCC unroll 12
  for (int r = 0; r < kM; ++r) sum[r] = _mm256_setzero_ps();
  for (int64_t k0 = 0; k0 < k; k0 += kPanelDepthBlock) {
    const int64_t k1 = std::min(k, k0 + kPanelDepthBlock);
    __m256 acc[kM];
#pragma GCC unroll 12
    for (int r = 0; r < kM; ++r) acc[r] = _mm256_setzero_ps();
    for (int64_t kk = k0; kk < k1; ++kk) {
      const __m256 x = _mm256_loadu_ps(col + kk * 8);
      const float* ak = a + kk;
#pragma GCC unroll 12
      for (int r = 0; r < kM; ++r) acc[r] = _mm256_fmadd_ps(_mm256_broadcast_ss(ak + r * lda), x, acc[r]);
    }
#pragma GCC unroll 12
    for (int r = 0; r < kM; ++r) sum[r] = k0 == 0 ? acc[r] : _mm256_add_ps(sum[r], acc[r]);
  }
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(cols)), lane);
  for (int r = 0; r < kM; ++r) {
    const __m256 v = epi != nullptr ? finish(vec_epilogue(epi, row + r), sum[r]) : sum[r];
    _mm256_maskstore_ps(y + r * ldc, mask, v);
  }
}

using HalfRowsFn = void (*)(const float*, int64_t, const float*, int64_t, float*, int64_t, int64_t,
                            const ChannelEpilogue*, int64_t);

template <size_t... M>
constexpr std::array<HalfRowsFn, sizeof...(M)> half_rows_table(std::index_sequence<M...>) {
  return {&half_rows<int(M) + 1>...};
}

constexpr auto kHalfRowsBy = half_rows_table(std::make_index_sequence<kHalfRows>());

#endif

}  // namespace

bool half_panel_applies(const ConvParams& p, KernelIsa isa) {
  return isa != KernelIsa::kPortable && p.g == 1 && p.y.plane() > 0 && p.y.plane() <= 8;
}

// Row kk = (c kh + i) kw + j of the column matrix as eight values at col +
// 8 kk: the input value each output position reads at that tap, zero in the
// padding and past the plane's last position. Along a kernel row the reads
// of one position are consecutive (dilation 1), so each position walks its
// kernel rows in runs.
void half_panel_gather(const ConvParams& p, const float* xn, float* col) {
  const int64_t hw = p.y.plane(), W = p.x.w, H = p.x.h, kw = p.kw;
  for (int64_t q = hw; q < 8; ++q)
    for (int64_t kk = 0; kk < p.k_rows(); ++kk) col[kk * 8 + q] = 0.0f;
  for (int64_t q = 0; q < hw; ++q) {
    const int64_t oy = q / p.y.w, ox = q - oy * p.y.w, x0 = ox * p.sw - p.padl;
    // Kernel columns [jlo, jhi) read inside the row.
    const int64_t jlo = x0 >= 0 ? 0 : std::min(kw, (-x0 + p.dw - 1) / p.dw);
    const int64_t jhi = W - 1 - x0 < 0 ? 0 : std::clamp<int64_t>((W - 1 - x0) / p.dw + 1, jlo, kw);
    for (int64_t c = 0; c < p.x.c; ++c)
      for (int64_t i = 0; i < p.kh; ++i) {
        float* d = col + (c * p.kh + i) * kw * 8 + q;
        const int64_t iy = oy * p.sh - p.padt + i * p.dh;
        if (iy < 0 || iy >= H) {
          for (int64_t j = 0; j < kw; ++j) d[j * 8] = 0.0f;
          continue;
        }
        const float* src = xn + (c * H + iy) * W + x0;
        for (int64_t j = 0; j < jlo; ++j) d[j * 8] = 0.0f;
        for (int64_t j = jlo; j < jhi; ++j) d[j * 8] = src[j * p.dw];
        for (int64_t j = std::max(jlo, jhi); j < kw; ++j) d[j * 8] = 0.0f;
      }
  }
}

#if defined(__x86_64__)
// half_panel_gather for a layer whose every tap reads inside the input (no
// padding): each row is one masked gather of the positions' fixed offsets
// from the tap's first value.
[[gnu::target("avx2")]] void half_panel_gather_inside(const ConvParams& p, const float* xn, float* col) {
  const int64_t hw = p.y.plane(), W = p.x.w;
  alignas(32) int32_t at[8] = {};
  alignas(32) int32_t live[8] = {};
  for (int64_t q = 0; q < hw; ++q) {
    const int64_t oy = q / p.y.w, ox = q - oy * p.y.w;
    at[q] = static_cast<int32_t>(oy * p.sh * W + ox * p.sw);
    live[q] = -1;
  }
  const __m256i idx = _mm256_load_si256(reinterpret_cast<const __m256i*>(at));
  const __m256 mask = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(live)));
  int64_t kk = 0;
  for (int64_t c = 0; c < p.x.c; ++c)
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j, ++kk) {
        const float* tap = xn + c * p.x.plane() + i * p.dh * W + j * p.dw;
        _mm256_storeu_ps(col + kk * 8, _mm256_mask_i32gather_ps(_mm256_setzero_ps(), tap, idx, mask, 4));
      }
}
#endif

// Whether a layer's rows are gathered whole: kernel rows too short for the
// runs of half_panel_gather to pay (a 1 x 1 or 3 x 3 kernel; the framing
// layer's 512 taps ran faster in runs), every tap of every position inside
// the input, and offsets that fit the gather's 32-bit indices.
bool half_panel_inside(const ConvParams& p) {
  return p.kw < 8 && p.padt == 0 && p.padl == 0 && (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh < p.x.h &&
         (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw < p.x.w && p.x.plane() < (int64_t{1} << 30);
}

void run_half_panel(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const ConvPlan& c = r.plan;
#if defined(__x86_64__)
  if (half_panel_inside(p))
    half_panel_gather_inside(p, xn, r.col);
  else
    half_panel_gather(p, xn, r.col);
#else
  half_panel_gather(p, xn, r.col);
#endif
  const int64_t k = p.k_rows(), hw = p.y.plane();
  // The epilogue in the registers, but for a residual join, which the
  // separate pass adds.
  const bool in_registers = c.epilogue && !conv_act_adds(p.act);
  const ChannelEpilogue e{r.bias, p.y.c, 0, p.act, p.slope, p.hi};
  for_rectangles(c.panels.parallel, c.panels.split, p.y.c, 1, [&](int64_t m0, int64_t m1, int64_t, int64_t) {
#if defined(__x86_64__)
    for (int64_t m = m0; m < m1; m += kHalfRows) {
      const int64_t rows = std::min<int64_t>(kHalfRows, m1 - m);
      kHalfRowsBy[rows - 1](r.w + m * k, k, r.col, k, yn + m * hw, hw, hw, in_registers ? &e : nullptr, m);
    }
#endif
    if (c.epilogue && !in_registers) epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, 0, hw);
  });
}

bool deep_tiny_applies(const ConvParams& p, KernelIsa isa) {
  int64_t hp = 0, wp = 0;
  return isa != KernelIsa::kPortable && p.g == 1 && p.sh == 1 && p.sw == 1 && p.kh * p.kw > 1 &&
         p.y.c <= kDeepOutputs && p.y.h > 0 && p.y.w > 0 && padded_extent(p, &hp, &wp) &&
         (p.y.h - 1) * wp + p.y.w <= 8 && p.k_rows() > kPanelDepthBlock &&
         p.k_rows() <= kDeepBlocksMost * kPanelDepthBlock && p.x.c * hp * wp < (int64_t{1} << 24);
}

int64_t deep_tiny_floats(const ConvParams& p) {
  int64_t hp = 0, wp = 0;
  padded_extent(p, &hp, &wp);
  return (p.x.c * hp * wp + 8 + 15) / 16 * 16 + (p.k_rows() + 1) / 2;
}

void run_tiny_deep(const ConvRun& r, const float* xn, float* yn) {
#if defined(__x86_64__)
  deep_channels(r, xn, yn);
#else
  (void)r, (void)xn, (void)yn;
#endif
}

bool depthwise_tiny_applies(const ConvParams& p, KernelIsa isa) {
  int64_t hp = 0, wp = 0;
  return isa != KernelIsa::kPortable && conv_is_depthwise(p) && !conv_act_adds(p.act) && p.sh == 1 &&
         p.sw == 1 && p.k_rows() <= kDirectGroupDepth && p.y.h > 0 && p.y.w > 0 && padded_extent(p, &hp, &wp) &&
         hp * wp <= kTinyPadded && p.y.c * p.y.plane() * p.kh * p.kw < kTinyWork;
}

void run_tiny_depthwise(const ConvRun& r, const float* xn, float* yn) {
#if defined(__x86_64__)
  tiny_channels(r, xn, yn);
#else
  conv_grouped_rows(r.plan, xn, r.w, r.bias, yn, 0, r.p.g, 0, r.p.y.h);
#endif
}

}  // namespace vorn::kern
