// Small planes of many output channels at unit strides (7 x 7, 13 x 13): the output
// channels run along the vector lanes and each position is one broadcast
// value, so no lane idles on a plane that is not a whole number of panels
// (a 7 x 7 plane fills 49 of 64 panel lanes). Each input plane is copied
// once, zero-padded; a register tile is a block of output channels by a
// run of positions of one output row, reading its broadcast values through
// a table of one offset per (channel, kernel row, kernel column).
//
// Every output sums its terms as panel_gemm does (depth blocks of
// kPanelDepthBlock, within a block one fused multiply-add per depth in
// order from zero, each block's sum added to the total in order), so the
// bits are those of the panel paths in every form.
#include <algorithm>
#include <cmath>

#include "kernels/ops/conv_paths.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "platform/transpose_avx2.h"
#endif

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

// Output channels per tile and positions per run of each form.
struct LaneShape {
  int rows, run;
};

LaneShape lane_shape(KernelIsa isa) {
  if (isa == KernelIsa::kAvx512) return {32, 12};
  if (isa == KernelIsa::kAvx2) return {24, 4};
  return {16, 8};
}

// The most output channels a tile covers.
constexpr int kMaxTileRows = 32;

// A tile: ap holds kc depths of `rows` weights each (the tile's output
// channels, zero past the layer's), x the run's first position's value at
// depth 0 of the padded planes, offset[kk] where depth kk lies from it;
// the run's NP positions are consecutive. The block's sums go to sum[j *
// rows + r], added to what is there when accumulate is set.
using LaneTile = void (*)(const float* ap, const float* x, const int64_t* offset, int64_t kc, float* sum,
                          bool accumulate);

template <int NP>
void tile_portable(const float* ap, const float* x, const int64_t* offset, int64_t kc, float* sum,
                   bool accumulate) {
  constexpr int R = 16;
  float acc[NP][R] = {};
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* xk = x + offset[kk];
    const float* ak = ap + kk * R;
    for (int j = 0; j < NP; ++j)
      for (int r = 0; r < R; ++r) acc[j][r] = std::fma(ak[r], xk[j], acc[j][r]);
  }
  for (int j = 0; j < NP; ++j)
    for (int r = 0; r < R; ++r) sum[j * R + r] = accumulate ? sum[j * R + r] + acc[j][r] : acc[j][r];
}

#if defined(__x86_64__)
template <int NP>
[[gnu::target("avx2,fma")]] void tile_avx2(const float* ap, const float* x, const int64_t* offset, int64_t kc,
                                           float* sum, bool accumulate) {
  __m256 acc[NP][3];
#pragma GCC unroll 4
  for (int j = 0; j < NP; ++j) acc[j][0] = acc[j][1] = acc[j][2] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* xk = x + offset[kk];
    const __m256 a0 = _mm256_loadu_ps(ap + kk * 24), a1 = _mm256_loadu_ps(ap + kk * 24 + 8),
                 a2 = _mm256_loadu_ps(ap + kk * 24 + 16);
#pragma GCC unroll 4
    for (int j = 0; j < NP; ++j) {
      const __m256 v = _mm256_broadcast_ss(xk + j);
      acc[j][0] = _mm256_fmadd_ps(a0, v, acc[j][0]);
      acc[j][1] = _mm256_fmadd_ps(a1, v, acc[j][1]);
      acc[j][2] = _mm256_fmadd_ps(a2, v, acc[j][2]);
    }
  }
#pragma GCC unroll 4
  for (int j = 0; j < NP; ++j)
#pragma GCC unroll 3
    for (int v = 0; v < 3; ++v) {
      float* s = sum + j * 24 + v * 8;
      _mm256_storeu_ps(s, accumulate ? _mm256_add_ps(_mm256_loadu_ps(s), acc[j][v]) : acc[j][v]);
    }
}

template <int NP>
[[gnu::target("avx512f,avx2,fma")]] void tile_avx512(const float* ap, const float* x, const int64_t* offset,
                                                     int64_t kc, float* sum, bool accumulate) {
  __m512 lo[NP], hi[NP];
#pragma GCC unroll 12
  for (int j = 0; j < NP; ++j) lo[j] = hi[j] = _mm512_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* xk = x + offset[kk];
    const __m512 a0 = _mm512_loadu_ps(ap + kk * 32), a1 = _mm512_loadu_ps(ap + kk * 32 + 16);
#pragma GCC unroll 12
    for (int j = 0; j < NP; ++j) {
      const __m512 v = _mm512_set1_ps(xk[j]);
      lo[j] = _mm512_fmadd_ps(a0, v, lo[j]);
      hi[j] = _mm512_fmadd_ps(a1, v, hi[j]);
    }
  }
#pragma GCC unroll 12
  for (int j = 0; j < NP; ++j) {
    float* s = sum + j * 32;
    if (accumulate) {
      lo[j] = _mm512_add_ps(_mm512_loadu_ps(s), lo[j]);
      hi[j] = _mm512_add_ps(_mm512_loadu_ps(s + 16), hi[j]);
    }
    _mm512_storeu_ps(s, lo[j]);
    _mm512_storeu_ps(s + 16, hi[j]);
  }
}

// Rows [0, mr) of A (rows lda apart, mr <= rows, rows a multiple of 8),
// depths [0, kc), as `rows` values per depth at ap, zero past mr: eight
// rows by eight depths at a time through an 8 x 8 transpose.
[[gnu::target("avx2")]] void pack_avx2(const float* a, int64_t lda, int mr, int rows, int64_t kc, float* ap) {
  int64_t kk = 0;
  for (; kk + 8 <= kc; kk += 8)
    for (int g = 0; g < rows; g += 8) {
      __m256 v[8];
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) v[i] = g + i < mr ? _mm256_loadu_ps(a + (g + i) * lda + kk) : _mm256_setzero_ps();
      transpose8(v);
#pragma GCC unroll 8
      for (int c = 0; c < 8; ++c) _mm256_storeu_ps(ap + (kk + c) * rows + g, v[c]);
    }
  for (; kk < kc; ++kk)
    for (int i = 0; i < rows; ++i) ap[kk * rows + i] = i < mr ? a[i * lda + kk] : 0.0f;
}

// Positions [q0, q1) of the tile's sums (sum[q * rows + i]) to the planes
// of its mr output channels (y, planes hw apart): blocks of eight
// positions by eight channels through an 8 x 8 transpose, the rest one by
// one.
[[gnu::target("avx2")]] void unpack_avx2(const float* sum, int rows, int mr, int64_t q0, int64_t q1, float* y,
                                         int64_t hw) {
  const int whole = mr / 8 * 8;
  int64_t q = q0;
  for (; q + 8 <= q1; q += 8)
    for (int g = 0; g < whole; g += 8) {
      __m256 v[8];
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) v[j] = _mm256_loadu_ps(sum + (q + j) * rows + g);
      transpose8(v);
#pragma GCC unroll 8
      for (int i = 0; i < 8; ++i) _mm256_storeu_ps(y + (g + i) * hw + q, v[i]);
    }
  for (int i = 0; i < mr; ++i)
    for (int64_t t = i < whole ? q : q0; t < q1; ++t) y[i * hw + t] = sum[t * rows + i];
}
#endif

void unpack_portable(const float* sum, int rows, int mr, int64_t q0, int64_t q1, float* y, int64_t hw) {
  for (int i = 0; i < mr; ++i)
    for (int64_t q = q0; q < q1; ++q) y[i * hw + q] = sum[q * rows + i];
}

void pack_portable(const float* a, int64_t lda, int mr, int rows, int64_t kc, float* ap) {
  for (int64_t kk = 0; kk < kc; ++kk)
    for (int i = 0; i < rows; ++i) ap[kk * rows + i] = i < mr ? a[i * lda + kk] : 0.0f;
}

constexpr int kMaxRun = 12;

struct LaneForm {
  LaneTile by[kMaxRun + 1];  // by positions
  void (*pack)(const float*, int64_t, int, int, int64_t, float*);
  void (*unpack)(const float*, int, int, int64_t, int64_t, float*, int64_t);
};

template <size_t... N>
constexpr void fill_form(LaneForm& f, KernelIsa isa, std::index_sequence<N...>) {
#if defined(__x86_64__)
  if (isa == KernelIsa::kAvx512) {
    ((f.by[N + 1] = &tile_avx512<int(N) + 1>), ...);
    return;
  }
  if (isa == KernelIsa::kAvx2) {
    ((f.by[N + 1] = N + 1 <= 4 ? &tile_avx2<int(N) + 1> : nullptr), ...);
    return;
  }
#endif
  ((f.by[N + 1] = N + 1 <= 8 ? &tile_portable<int(N) + 1> : nullptr), ...);
}

constexpr LaneForm make_form(KernelIsa isa) {
  LaneForm f{};
  fill_form(f, isa, std::make_index_sequence<kMaxRun>());
  f.pack = &pack_portable;
  f.unpack = &unpack_portable;
#if defined(__x86_64__)
  if (isa != KernelIsa::kPortable) {
    f.pack = &pack_avx2;
    f.unpack = &unpack_avx2;
  }
#endif
  return f;
}

const LaneForm& form_of(KernelIsa isa) {
  static constexpr LaneForm wide = make_form(KernelIsa::kAvx512), narrow = make_form(KernelIsa::kAvx2),
                            plain = make_form(KernelIsa::kPortable);
  return isa == KernelIsa::kAvx512 ? wide : isa == KernelIsa::kAvx2 ? narrow : plain;
}

}  // namespace

// Weights from which a pointwise layer of small planes runs in lanes.
constexpr int64_t kLanesPointwiseWeights = 65536;

bool channel_lanes_apply(const ConvParams& p, KernelIsa isa) {
  int64_t hp, wp;
  if (p.g != 1 || p.y.plane() > kChannelLanesPlane || p.y.c < lane_shape(isa).rows) return false;
  // Rows of 14 and 15 fill at least 7/8 of a panel's lanes already, and
  // there the panel paths' own cost is less.
  if (p.y.w * 8 >= 7 * kPanelWidth) return false;
  // Pointwise layers read their input planes in place. Their weights are
  // also read once, in the tile's copy, where the panel tiles read them
  // once per panel from wherever they lie (deep layers' weights, fetched
  // from memory: mobilenet_v2's last 1x1 layers ran at half their speed
  // with the weights in cache). Weights that stay in cache are read fast
  // enough either way: then lanes pay only where panels would leave lanes
  // empty, on a plane of one position (squeeze-and-excite layers) or on
  // rows of four or more that leave an eighth of the panels' lanes empty
  // (7 x 7: 49 of 64). On full panels (fr_landmark's 8 x 8 and 4 x 4
  // planes), on 10 x 10 (100 of 112) and on rows of three, the lanes took
  // 1.2-1.9 times the panels' time.
  if (conv_is_pointwise(p)) {
    const int64_t plane = p.y.plane(), lanes = panel_count(plane) * kPanelWidth;
    return p.k_rows() * p.y.c >= kLanesPointwiseWeights || plane == 1 || (p.y.w >= 4 && plane * 8 < lanes * 7);
  }
  // Strided layers keep the panel paths, which ran faster on them.
  return p.kh * p.kw > 1 && p.sh == 1 && p.sw == 1 && padded_extent(p, &hp, &wp);
}

// Input channels from which a pointwise layer whose panels leave an
// eighth of their lanes idle runs in lanes even where the AVX-512 product
// could read its planes in place.
constexpr int64_t kLanesDeepInputs = 256;

bool channel_lanes_beat_in_place(const ConvParams& p) {
  // On one thread mobilenet_v2's 7 x 7 layers of 320 to 960 input
  // channels ran 5-10% faster in lanes (efficientnet_b0's of 320 to 1152
  // and mobilenet_v3_small's of 288 and 576 as much or more); those of 160
  // inputs and 960 outputs ran as fast or slower, and squeezenet's
  // classifier on 13 x 13 (169 of 176 lanes) 13% slower.
  const int64_t plane = p.y.plane(), lanes = panel_count(plane) * kPanelWidth;
  return conv_is_pointwise(p) && p.x.c >= kLanesDeepInputs && p.y.w >= 4 && plane * 8 < lanes * 7;
}

int64_t channel_lanes_slots(const ConvParams& p, KernelIsa isa, int64_t threads) {
  // A pointwise layer's slots are the threads, however few its tiles: how
  // it cuts them depends on both (run_channel_lanes).
  if (conv_is_pointwise(p)) return std::max<int64_t>(threads, 1);
  const int64_t tiles = (p.y.c + lane_shape(isa).rows - 1) / lane_shape(isa).rows;
  return std::clamp<int64_t>(threads, 1, tiles);
}

namespace {

// The zero-padded copy of the input planes, in floats (none for a
// pointwise layer), after which the offset table starts.
int64_t padded_floats(const ConvParams& p) {
  int64_t hp, wp;
  if (conv_is_pointwise(p)) return 0;
  padded_extent(p, &hp, &wp);
  return (p.x.c * hp * wp + 15) / 16 * 16;
}

}  // namespace

int64_t channel_lanes_floats(const ConvParams& p, KernelIsa isa, int64_t slots) {
  (void)isa;
  (void)slots;
  return padded_floats(p) + 2 * p.k_rows() + 16;
}

void run_channel_lanes(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const LaneShape shape = lane_shape(r.plan.form);
  const LaneForm& form = form_of(r.plan.form);
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), out_rows = p.y.h, wo = p.y.w;
  int64_t hp, wp;
  padded_extent(p, &hp, &wp);
  const int64_t plane = hp * wp, row_step = wp;
  const bool in_place = conv_is_pointwise(p);
  const float* pad = in_place ? xn : r.col;
  int64_t* offsets = reinterpret_cast<int64_t*>(r.col + padded_floats(p));
  const int rows = shape.rows;
  const int64_t tiles = (m + rows - 1) / rows, slots = std::min(r.plan.lane_slots, tiles);
  const bool parallel = slots > 1;
  for (int64_t c = 0; c < p.x.c; ++c)
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j) offsets[(c * p.kh + i) * p.kw + j] = c * plane + i * p.dh * wp + j * p.dw;
  // The padded copies go over the pool too: on the calling thread alone
  // they kept seven threads waiting on every 7 x 7 and 14 x 14 layer.
  const int64_t copies = in_place ? 0 : parallel ? std::min<int64_t>(p.x.c, 4 * slots) : 1;
  run_split(parallel, static_cast<size_t>(copies), [&](size_t u) {
    const int64_t c0 = static_cast<int64_t>(u) * p.x.c / copies, c1 = (static_cast<int64_t>(u) + 1) * p.x.c / copies;
    for (int64_t c = c0; c < c1; ++c) pad_plane(p, xn + c * p.x.plane(), r.col + c * plane, hp, wp);
  });
  // Each output row (a pointwise layer's band) in runs of at most
  // shape.run positions, as even as they come (13 = 7 + 6).
  const int64_t runs = (wo + shape.run - 1) / shape.run;
  // Over the pool, units of one tile by a band of output rows: a layer of
  // few tiles (160 channels are five) is cut into bands until there are
  // about twice as many units as threads, each band copying its tile's
  // weights again. On one thread, each tile whole, in order; and so on a
  // deep pointwise layer of fewer tiles than threads but more than half as
  // many, one tile a thread: there each band's copy of the weights cost
  // more than the idle threads (at eight threads mobilenet_v2's 7 x 7
  // layers of 576 and 960 inputs into five tiles took 13-15% less time,
  // efficientnet_b0's into six 14-17% less; four tiles took 27% more,
  // three 17% more, and eight, one a thread, 8% more).
  const bool whole = in_place && kr >= kLanesDeepInputs && tiles < r.plan.lane_slots && 2 * tiles > r.plan.lane_slots;
  const int64_t bands = slots > 1 && !whole ? std::clamp<int64_t>((2 * slots + tiles - 1) / tiles, 1, out_rows) : 1;
  const int64_t band_rows = (out_rows + bands - 1) / bands, units = tiles * ((out_rows + band_rows - 1) / band_rows);
  const int64_t per_tile = units / tiles;
  run_split(slots > 1, static_cast<size_t>(units), [&](size_t unit) {
    alignas(64) float ap[kPanelDepthBlock * kMaxTileRows];
    alignas(64) float sum[kChannelLanesPlane * kMaxTileRows];
    const int64_t t = static_cast<int64_t>(unit) / per_tile, band = static_cast<int64_t>(unit) % per_tile;
    const int64_t oy0 = band * band_rows, oy1 = std::min(out_rows, oy0 + band_rows);
    const int64_t m0 = t * rows;
    const int mr = static_cast<int>(std::min<int64_t>(rows, m - m0));
    // A pointwise layer's positions lie one after another across its
    // output rows, so its runs span the band whole; elsewhere each output
    // row is a line of its own.
    const int64_t lines = in_place ? 1 : oy1 - oy0, line_len = in_place ? (oy1 - oy0) * wo : wo;
    const int64_t line_runs = in_place ? (line_len + shape.run - 1) / shape.run : runs;
    for (int64_t k0 = 0; k0 < kr; k0 += kPanelDepthBlock) {
      const int64_t kc = std::min(kPanelDepthBlock, kr - k0);
      form.pack(r.w + m0 * kr + k0, kr, mr, rows, kc, ap);
      // The weights of the next depth block (or, on one thread, tile) are
      // asked for meanwhile, a share before each run, so that its copy
      // finds them in the second-level cache.
      const float* next = k0 + kc < kr ? r.w + m0 * kr + k0 + kc : r.w + (m0 + rows) * kr;
      const int64_t ahead = k0 + kc < kr ? mr : slots <= 1 && t + 1 < tiles ? std::min<int64_t>(rows, m - m0 - rows) : 0;
      const int64_t ahead_kc = std::min(kPanelDepthBlock, k0 + kc < kr ? kr - k0 - kc : kr);
      const int64_t shares = lines * line_runs;
      for (int64_t line = 0; line < lines; ++line) {
        const int64_t s0 = (oy0 + line) * wo;
        const float* xrow = pad + (oy0 + line) * row_step;
        for (int64_t u = 0, x0 = 0; u < line_runs; ++u) {
          const int64_t share = line * line_runs + u;
          for (int64_t i = share * ahead / shares; i < (share + 1) * ahead / shares; ++i)
            for (int64_t kk = 0; kk < ahead_kc; kk += 16) __builtin_prefetch(next + i * kr + kk, 0, 2);
          const int64_t np = (line_len - x0) / (line_runs - u);
          form.by[np](ap, xrow + x0, offsets + k0, kc, sum + (s0 + x0) * rows, k0 > 0);
          x0 += np;
        }
      }
    }
    // Channel-major at last, then bias and activation while it is near.
    const int64_t q0 = oy0 * wo, q1 = oy1 * wo;
    form.unpack(sum, rows, mr, q0, q1, yn + m0 * hw, hw);
    if (r.plan.epilogue) epilogue_tile(r, yn + m0 * hw, m0, mr, q0, q1 - q0);
  });
}

}  // namespace vorn::kern
