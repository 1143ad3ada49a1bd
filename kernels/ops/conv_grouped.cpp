// Grouped layers whose groups are narrow, depthwise layers (groups of one
// channel) among them, run straight on their input planes: no column
// matrix, no padded copy. Output rows are cut into blocks of eight columns;
// a tile of a few blocks (from any rows of a plane) and a few output
// channels of one group keeps its sums in registers while it walks the
// group's input channels and kernel taps, reading each tap's eight inputs
// where they lie in the input row (a masked load where a block overhangs
// the left or right edge, zeros for rows outside), and finishes with the
// channel's bias and activation before its one store. With column stride 2
// a tap's sixteen inputs are split into their even columns in registers.
//
// Every output sums its terms as the column-matrix path's product does:
// from zero, one fused multiply-add per (input channel, kernel row, kernel
// column) in that order, a padding tap as a product with zero. Depthwise
// layers skip their padding taps instead, as they always have; with finite
// weights a skipped tap and a product with zero leave the same sum (a sum
// started at +0 never becomes -0), so only a depthwise channel with a
// weight that is not finite takes the row form that skips them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/ops/conv_depthwise_wide.h"
#include "kernels/ops/conv_paths.h"
#include "kernels/ops/epilogue_avx2.h"

VORN_VECTORIZE_FILE

// The tap loops below ask to be unrolled whole; clang leaves the longest
// ones rolled and says so, which changes nothing in what they compute.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpass-failed"
#endif

namespace vorn::kern {

namespace {

// The operands of one group: its input planes, its output channels'
// weights and planes, and the output channel its first plane belongs to.
struct GroupOperands {
  const float* x;
  const float* w;
  float* y;
  int64_t first_channel;
};

// First and one-past-last output column whose tap column off + x * sw lies
// inside [0, w).
inline void inside_columns(int64_t off, int64_t sw, int64_t w, int64_t wo, int64_t* lo, int64_t* hi) {
  const int64_t a = off >= 0 ? 0 : (-off + sw - 1) / sw;
  const int64_t b = w - 1 - off < 0 ? 0 : (w - 1 - off) / sw + 1;
  *lo = std::min(a, wo);
  *hi = std::clamp(b, *lo, wo);
}

// ------------------------------------------------------------- row form

// Output rows [oy0, oy1) of output channels [m0, m1) of a group, a row at a
// time: the row starts at zero and each term is added to every column of
// it in turn, which sums each output in the tiles' order. Any stride and
// dilation. kSkip leaves padding taps out (depthwise layers); otherwise
// they are products with zero, as the tiles make them.
template <bool kSkip>
[[gnu::always_inline]] inline void rows_body(const ConvParams& p, const GroupOperands& g, int64_t m0, int64_t m1,
                                             int64_t oy0, int64_t oy1, const ChannelEpilogue* epi) {
  const int64_t wo = p.y.w, yplane = p.y.plane(), xplane = p.x.plane(), cin = p.cin_g();
  const int64_t taps = cin * p.kh * p.kw;
  for (int64_t m = m0; m < m1; ++m)
    for (int64_t oy = oy0; oy < oy1; ++oy) {
      float* yr = g.y + m * yplane + oy * wo;
      for (int64_t x = 0; x < wo; ++x) yr[x] = 0.0f;
      const float* wt = g.w + m * taps;
      for (int64_t c = 0; c < cin; ++c)
        for (int64_t i = 0; i < p.kh; ++i) {
          const int64_t iy = oy * p.sh - p.padt + i * p.dh;
          const bool row_in = iy >= 0 && iy < p.x.h;
          const float* xr = g.x + c * xplane + (row_in ? iy * p.x.w : 0);
          for (int64_t j = 0; j < p.kw; ++j) {
            const float wv = *wt++;
            const int64_t off = j * p.dw - p.padl;
            int64_t lo = 0, hi = 0;
            if (row_in) inside_columns(off, p.sw, p.x.w, wo, &lo, &hi);
            if (!kSkip) {
              for (int64_t x = 0; x < lo; ++x) yr[x] = std::fma(wv, 0.0f, yr[x]);
              for (int64_t x = hi; x < wo; ++x) yr[x] = std::fma(wv, 0.0f, yr[x]);
            }
            if (p.sw == 1)
              for (int64_t x = lo; x < hi; ++x) yr[x] = std::fma(wv, xr[x + off], yr[x]);
            else
              for (int64_t x = lo; x < hi; ++x) yr[x] = std::fma(wv, xr[x * p.sw + off], yr[x]);
          }
        }
      if (epi != nullptr)
        p.epilogue_span(yr, wo, g.first_channel + m, epi->params, epi->cout, epi->act, epi->slope, epi->hi,
                        nullptr);
    }
}

template <bool kSkip>
void rows_portable(const ConvParams& p, const GroupOperands& g, int64_t m0, int64_t m1, int64_t oy0, int64_t oy1,
                   const ChannelEpilogue* epi) {
  rows_body<kSkip>(p, g, m0, m1, oy0, oy1, epi);
}

#if defined(__x86_64__)
// The same loops where fused multiply-adds are instructions, so they are
// inlined and vectorised.
template <bool kSkip>
[[gnu::target("avx2,fma")]] void rows_avx2(const ConvParams& p, const GroupOperands& g, int64_t m0, int64_t m1,
                                           int64_t oy0, int64_t oy1, const ChannelEpilogue* epi) {
  rows_body<kSkip>(p, g, m0, m1, oy0, oy1, epi);
}
#endif

using RowsFn = void (*)(const ConvParams&, const GroupOperands&, int64_t, int64_t, int64_t, int64_t,
                        const ChannelEpilogue*);

RowsFn rows_form(KernelIsa form, bool skip) {
#if defined(__x86_64__)
  if (form != KernelIsa::kPortable) return skip ? &rows_avx2<true> : &rows_avx2<false>;
#endif
  (void)form;
  return skip ? &rows_portable<true> : &rows_portable<false>;
}

// ------------------------------------------------------------ tile form

// One block: eight output columns of one output row.
struct Block {
  int64_t row;  // input row of kernel row 0: oy sh - padt
  int64_t col;  // input column lane 0 reads at kernel column 0: x0 sw - padl
  int64_t out;  // lane 0's offset in the output plane
  int lanes;    // real output columns, 1 to 8
};

// Calls run(blocks, count, edge) for tiles of up to nb blocks of output rows
// [oy0, oy1): blocks whose every tap lies inside the input go together
// (edge false), the others apart (edge true). A last short tile repeats its
// last block, which computes and stores the same values again.
template <class F>
void for_tiles(const ConvParams& p, int nb, int64_t oy0, int64_t oy1, F&& run) {
  constexpr int kMax = 8;
  Block inner[kMax], edge[kMax];
  int ni = 0, ne = 0;
  const int64_t wo = p.y.w, per_row = (wo + 7) / 8;
  // Input columns one load covers at a tap: sixteen split into their even
  // columns with column stride 2.
  const int64_t reach = p.sw == 2 ? 16 : 8;
  auto flush = [&](Block* b, int& n, bool is_edge) {
    if (n == 0) return;
    for (int k = n; k < nb; ++k) b[k] = b[n - 1];
    run(b, nb, is_edge);
    n = 0;
  };
  for (int64_t oy = oy0; oy < oy1; ++oy) {
    const int64_t row = oy * p.sh - p.padt;
    const bool rows_in = row >= 0 && row + (p.kh - 1) * p.dh < p.x.h;
    for (int64_t q = 0; q < per_row; ++q) {
      const Block b{row, q * 8 * p.sw - p.padl, oy * wo + q * 8, static_cast<int>(std::min<int64_t>(8, wo - q * 8))};
      if (rows_in && b.col >= 0 && b.col + reach + (p.kw - 1) * p.dw <= p.x.w) {
        inner[ni++] = b;
        if (ni == nb) flush(inner, ni, false);
      } else {
        edge[ne++] = b;
        if (ne == nb) flush(edge, ne, true);
      }
    }
  }
  flush(inner, ni, false);
  flush(edge, ne, true);
}

#if defined(__x86_64__)
struct TileArgs {
  const float* x;  // the group's first input plane
  int64_t plane, h, w, cin, kh, kw, dh, dw;
  const float* wt;  // the tile's first output channel's weights
  int64_t wstride;  // from one output channel's weights to the next
  float* y;         // the tile's first output plane
  int64_t yplane;
  const ChannelEpilogue* epi;
  int64_t first_channel;  // of the tile, for the epilogue
};

// Eight consecutive values of an input row: src[start + k], or 0 where
// start + k lies outside [0, w). An overhanging block uses a masked load,
// which never touches the lanes it leaves out.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 load_row(const float* src, int64_t start, int64_t w) {
  if (start >= 0 && start + 8 <= w) return _mm256_loadu_ps(src + start);
  if (start + 8 <= 0 || start >= w) return _mm256_setzero_ps();
  const __m256i lane = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(start)),
                                        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(-1)),
                                          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(w)), lane));
  const float* base = reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(src) +
                                                     static_cast<uintptr_t>(start) * sizeof(float));
  return _mm256_maskload_ps(base, inside);
}

// A tap's inputs for the eight columns of a block. Column stride 2 takes
// the even ones of sixteen, in lane order 0 1 4 5 2 3 6 7 (one shuffle);
// the sums keep that order and are put right before the store.
template <int S, bool kEdge>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 tap(const float* row, int64_t col, int64_t w) {
  if constexpr (S == 1) {
    return kEdge ? load_row(row, col, w) : _mm256_loadu_ps(row + col);
  } else {
    const __m256 lo = kEdge ? load_row(row, col, w) : _mm256_loadu_ps(row + col);
    const __m256 hi = kEdge ? load_row(row, col + 8, w) : _mm256_loadu_ps(row + col + 8);
    return _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  }
}

// MC output channels by NB blocks. The sums stay in registers: every loop
// over them has a constant trip count and is unrolled.
template <int S, int MC, int NB, bool kEdge>
[[gnu::target("avx2,fma")]] void tile_avx2(const TileArgs& a, const Block* blk) {
  __m256 acc[MC][NB];
#pragma GCC unroll 8
  for (int m = 0; m < MC; ++m)
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) acc[m][b] = _mm256_setzero_ps();
  const float* wc = a.wt;
  for (int64_t c = 0; c < a.cin; ++c) {
    const float* xc = a.x + c * a.plane;
    for (int64_t i = 0; i < a.kh; ++i) {
      const float* rows[NB];
#pragma GCC unroll 8
      for (int b = 0; b < NB; ++b) {
        const int64_t iy = blk[b].row + i * a.dh;
        rows[b] = kEdge && (iy < 0 || iy >= a.h) ? nullptr : xc + iy * a.w;
      }
      for (int64_t j = 0; j < a.kw; ++j, ++wc) {
        __m256 v[NB];
#pragma GCC unroll 8
        for (int b = 0; b < NB; ++b)
          v[b] = kEdge && rows[b] == nullptr ? _mm256_setzero_ps() : tap<S, kEdge>(rows[b], blk[b].col + j * a.dw, a.w);
#pragma GCC unroll 8
        for (int m = 0; m < MC; ++m) {
          const __m256 wv = _mm256_broadcast_ss(wc + m * a.wstride);
#pragma GCC unroll 8
          for (int b = 0; b < NB; ++b) acc[m][b] = _mm256_fmadd_ps(wv, v[b], acc[m][b]);
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int m = 0; m < MC; ++m) {
    const VecEpilogue e = vec_epilogue(a.epi, a.first_channel + m);
    float* ym = a.y + m * a.yplane;
#pragma GCC unroll 8
    for (int b = 0; b < NB; ++b) {
      __m256 r = acc[m][b];
      if constexpr (S == 2) r = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), 0xd8));
      r = finish(e, r);
      float* dst = ym + blk[b].out;
      if (blk[b].lanes == 8) {
        _mm256_storeu_ps(dst, r);
      } else {
        const __m256i keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(blk[b].lanes),
                                                _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_maskstore_ps(dst, keep, r);
      }
    }
  }
}

using TileFn = void (*)(const TileArgs&, const Block*);

// Blocks per tile for MC channels: eight sums where they fit.
constexpr int tile_blocks(int mc) { return mc == 1 ? 8 : mc == 2 ? 4 : 2; }

// Blocks per tile for MC channels over rows that hold `blocks` blocks: a
// single channel's tile over a small plane (a 4 x 4 input under a 4 x 4
// kernel is one block) takes fewer, since a short tile computes its last
// block again for each one missing.
int blocks_for(int mc, int64_t blocks) {
  int nb = tile_blocks(mc);
  while (mc == 1 && nb > 1 && nb / 2 >= blocks) nb /= 2;
  return nb;
}

template <int S, int MC, int NB = tile_blocks(MC)>
constexpr TileFn tile_for(bool edge) {
  return edge ? &tile_avx2<S, MC, NB, true> : &tile_avx2<S, MC, NB, false>;
}

template <int S>
TileFn pick_tile(int mc, int nb, bool edge) {
  switch (mc) {
    case 1: return nb == 1 ? tile_for<S, 1, 1>(edge)
                   : nb == 2 ? tile_for<S, 1, 2>(edge)
                   : nb == 4 ? tile_for<S, 1, 4>(edge)
                             : tile_for<S, 1>(edge);
    case 2: return tile_for<S, 2>(edge);
    case 3: return tile_for<S, 3>(edge);
    default: return tile_for<S, 4>(edge);
  }
}

// Square kernels of 3, 5 or 7 taps, dilation 1, equal strides of 1 or 2:
// tiles of MC output channels by R output rows by V blocks of one row band,
// every tap loop unrolled. An input row is loaded once for all the tile's
// output rows that read it, and a weight once for all its blocks. These
// tiles leave rows outside the input out and read zeros for columns
// outside it, so they need finite weights (a skipped tap then equals a
// product with zero).
struct FixedArgs {
  const float* x;  // the group's first input plane
  int64_t plane, h, w, cin, padt, padl;
  const float* wt;  // the tile's first output channel's weights
  int64_t wstride;  // from one output channel's weights to the next
  float* y;         // the tile's first output plane
  int64_t yplane, wo;
  const ChannelEpilogue* epi;
  int64_t first_channel;  // of the tile, for the epilogue
};

// Lanes of eight columns from start that lie inside [0, w).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i inside_mask(int64_t start, int64_t w) {
  const __m256i lane = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(std::clamp<int64_t>(start, -64, w + 64))),
                                        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  return _mm256_and_si256(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(-1)),
                          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(w)), lane));
}

// src + start without forming an address outside the row (start may be
// negative in an overhanging block, whose lanes there are masked).
[[gnu::always_inline]] inline const float* at(const float* src, int64_t start) {
  return reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(src) + static_cast<uintptr_t>(start) * 4);
}

// The inputs of kernel column j (and, with column stride 2, of j + 1, from
// the same loads: the even and the odd columns of sixteen, in lane order
// 0 1 4 5 2 3 6 7; the sums keep that order and are put right before the
// store).
template <int S, bool kMasked>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void fixed_taps(const float* row, int64_t col,
                                                                      const __m256i* mk, __m256* even,
                                                                      __m256* odd) {
  const float* p = at(row, col);
  if constexpr (S == 1) {
    *even = kMasked ? _mm256_maskload_ps(p, mk[0]) : _mm256_loadu_ps(p);
  } else {
    const __m256 lo = kMasked ? _mm256_maskload_ps(p, mk[0]) : _mm256_loadu_ps(p);
    const __m256 hi = kMasked ? _mm256_maskload_ps(p + 8, mk[1]) : _mm256_loadu_ps(p + 8);
    *even = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    *odd = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  }
}

// Output rows [oy0, oy0 + R) (those from `rows` on are not stored) by
// blocks [q0, q0 + V).
template <int K, int S, int MC, int R, int V, bool kMasked>
[[gnu::target("avx2,fma")]] void fixed_tile(const FixedArgs& a, int64_t oy0, int rows, int64_t q0) {
  // Loads per input row: kernel columns one at a time, or two at a time
  // with column stride 2.
  constexpr int kLoads = (K + S - 1) / S;
  __m256 acc[MC][R][V];
#pragma GCC unroll 8
  for (int m = 0; m < MC; ++m)
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 8
      for (int b = 0; b < V; ++b) acc[m][r][b] = _mm256_setzero_ps();
  int64_t col[V];
  __m256i mk[V][kLoads][S];
#pragma GCC unroll 8
  for (int b = 0; b < V; ++b) {
    col[b] = (q0 + b) * 8 * S - a.padl;
    if constexpr (kMasked)
#pragma GCC unroll 8
      for (int l = 0; l < kLoads; ++l)
#pragma GCC unroll 2
        for (int h = 0; h < S; ++h) mk[b][l][h] = inside_mask(col[b] + l * S + 8 * h, a.w);
  }
  const int64_t top = oy0 * S - a.padt;
  for (int64_t c = 0; c < a.cin; ++c) {
    const float* xc = a.x + c * a.plane;
    const float* wc = a.wt + c * K * K;
#pragma GCC unroll 32
    for (int ii = 0; ii < (R - 1) * S + K; ++ii) {
      const int64_t iy = top + ii;
      if (iy < 0 || iy >= a.h) continue;
      const float* xr = xc + iy * a.w;
#pragma GCC unroll 8
      for (int l = 0; l < kLoads; ++l) {
        __m256 v[S][V];
#pragma GCC unroll 8
        for (int b = 0; b < V; ++b) fixed_taps<S, kMasked>(xr, col[b] + l * S, mk[b][l], &v[0][b], &v[S - 1][b]);
#pragma GCC unroll 2
        for (int h = 0; h < S; ++h) {
          const int j = l * S + h;
          if (j >= K) break;
#pragma GCC unroll 8
          for (int r = 0; r < R; ++r) {
            const int i = ii - r * S;
            if (i < 0 || i >= K) continue;
#pragma GCC unroll 8
            for (int m = 0; m < MC; ++m) {
              const __m256 wv = _mm256_broadcast_ss(wc + m * a.wstride + i * K + j);
#pragma GCC unroll 8
              for (int b = 0; b < V; ++b) acc[m][r][b] = _mm256_fmadd_ps(wv, v[h][b], acc[m][r][b]);
            }
          }
        }
      }
    }
  }
#pragma GCC unroll 8
  for (int m = 0; m < MC; ++m) {
    const VecEpilogue e = vec_epilogue(a.epi, a.first_channel + m);
#pragma GCC unroll 8
    for (int r = 0; r < R; ++r) {
      if (r >= rows) break;
      float* yr = a.y + m * a.yplane + (oy0 + r) * a.wo;
#pragma GCC unroll 8
      for (int b = 0; b < V; ++b) {
        __m256 t = acc[m][r][b];
        if constexpr (S == 2) t = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(t), 0xd8));
        t = finish(e, t);
        const int64_t x0 = (q0 + b) * 8;
        if (x0 + 8 <= a.wo)
          _mm256_storeu_ps(yr + x0, t);
        else
          _mm256_maskstore_ps(yr + x0, _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(a.wo - x0)),
                                                          _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
                              t);
      }
    }
  }
}

using FixedFn = void (*)(const FixedArgs&, int64_t, int, int64_t);

// A tile shape: output channels, rows and blocks.
struct FixedShape {
  int mc, rows, blocks;
  FixedFn run;
};

template <int K, int S, int MC, int R, int V, bool kMasked>
constexpr FixedShape fixed_shape() {
  return {MC, R, V, &fixed_tile<K, S, MC, R, V, kMasked>};
}

// The tiles of one kernel size and stride, about eight sums each: for one
// output channel, two rows of four blocks, four rows of two, eight rows of
// one; for four channels, one row of two blocks or two rows of one. Blocks
// inside the row take the widest that fit and a narrower one for the rest;
// blocks at an edge (masked loads) the narrowest.
struct FixedTiles {
  FixedShape inner[3];  // by blocks: the widest first
  int count;
  FixedShape edge;
};

template <int K, int S>
FixedTiles fixed_tiles(int mc, int64_t ho) {
  if (mc == 4)
    return {{fixed_shape<K, S, 4, 1, 2, false>(), fixed_shape<K, S, 4, 2, 1, false>()},
            2,
            fixed_shape<K, S, 4, 2, 1, true>()};
  // Edge blocks of seven rows where those cover the plane's rows with
  // fewer left over (7, 14 and 28 rows).
  const bool seven = (ho + 6) / 7 * 7 < (ho + 7) / 8 * 8;
  return {{fixed_shape<K, S, 1, 2, 4, false>(), fixed_shape<K, S, 1, 4, 2, false>(),
           fixed_shape<K, S, 1, 8, 1, false>()},
          3,
          seven ? fixed_shape<K, S, 1, 7, 1, true>() : fixed_shape<K, S, 1, 8, 1, true>()};
}

template <int S>
bool pick_fixed(const ConvParams& p, int mc, FixedTiles* out) {
  switch (p.kh) {
    case 3: *out = fixed_tiles<3, S>(mc, p.y.h); return true;
    case 5: if (mc != 1) return false; *out = fixed_tiles<5, S>(mc, p.y.h); return true;
    case 7: if (mc != 1) return false; *out = fixed_tiles<7, S>(mc, p.y.h); return true;
    default: return false;
  }
}

// Runs tiles of shape t over output rows [oy0, oy1) by blocks [qa, qb), a
// whole number of the tile's blocks. A last run of rows shorter than the
// tile is computed whole but stored only in part; a last run of channels
// that would be short starts earlier and computes some again (the same
// values, stored again).
void run_fixed(const FixedShape& t, const FixedArgs& layer, const GroupOperands& g, int64_t cout, int64_t oy0,
               int64_t oy1, int64_t qa, int64_t qb) {
  // A copy of the layer's arguments written long before, then the group's
  // fields one by one (copying a record whose fields were just stored one
  // by one stalls on store forwarding).
  FixedArgs a = layer;
  a.x = g.x;
  for (int64_t m = 0; m < cout; m += t.mc) {
    const int64_t m0 = std::min(m, cout - t.mc);
    a.wt = g.w + m0 * a.wstride;
    a.y = g.y + m0 * a.yplane;
    a.first_channel = g.first_channel + m0;
    for (int64_t oy = oy0; oy < oy1; oy += t.rows) {
      const int rows = static_cast<int>(std::min<int64_t>(t.rows, oy1 - oy));
      for (int64_t q = qa; q < qb; q += t.blocks) t.run(a, oy, rows, q);
    }
  }
}

// The fixed tiles of a layer and where its blocks read only inside their
// rows, worked out once per call rather than per group.
struct FixedLayer {
  FixedTiles tiles;
  FixedArgs args;
  int64_t qa = 0, qb = 0, per_row = 0;
  // Blocks [run_from[k], run_to[k]) take inner shape k.
  int64_t run_from[3] = {}, run_to[3] = {};
};

// False when the layer's shape has no fixed tiles.
bool fixed_layer(const ConvParams& p, const ChannelEpilogue* epi, FixedLayer* f) {
  if (p.kh != p.kw || p.dh != 1 || p.dw != 1 || p.sh != p.sw || (p.sw != 1 && p.sw != 2)) return false;
  const int64_t cout = p.cout_g(), step = 8 * p.sw;
  f->per_row = (p.y.w + 7) / 8;
  // Blocks [qa, qb) read only inside their rows: their first load starts at
  // or after column 0 and their last ends by the row's end.
  const int64_t reach = step + p.kw - 1;
  f->qa = std::min(f->per_row, (p.padl + step - 1) / step);
  const int64_t last = p.x.w + p.padl - reach;  // the last block's first column + padl, at most
  f->qb = last < 0 ? f->qa : std::clamp(last / step + 1, f->qa, f->per_row);
  const int mc = cout >= 4 && p.kh == 3 ? 4 : 1;
  if (!(p.sw == 1 ? pick_fixed<1>(p, mc, &f->tiles) : pick_fixed<2>(p, mc, &f->tiles))) return false;
  f->args = FixedArgs{nullptr, p.x.plane(), p.x.h, p.x.w, p.cin_g(), p.padt, p.padl, nullptr,
                      p.cin_g() * p.kh * p.kw, nullptr, p.y.plane(), p.y.w, epi, 0};
  for (int k = 0, q = static_cast<int>(f->qa); k < f->tiles.count; ++k) {
    const int64_t n = (f->qb - q) / f->tiles.inner[k].blocks * f->tiles.inner[k].blocks;
    f->run_from[k] = q;
    f->run_to[k] = q + n;
    q += static_cast<int>(n);
  }
  return true;
}

// Output rows [oy0, oy1) of one group through the layer's fixed tiles.
void group_fixed_avx2(const FixedLayer& f, const GroupOperands& g, int64_t cout, int64_t oy0, int64_t oy1) {
  const FixedArgs& a = f.args;
  const FixedTiles& t = f.tiles;
  for (int k = 0; k < t.count; ++k)
    if (f.run_from[k] < f.run_to[k]) run_fixed(t.inner[k], a, g, cout, oy0, oy1, f.run_from[k], f.run_to[k]);
  for (int64_t q = 0; q < f.qa; ++q) run_fixed(t.edge, a, g, cout, oy0, oy1, q, q + 1);
  for (int64_t q = f.qb; q < f.per_row; ++q) run_fixed(t.edge, a, g, cout, oy0, oy1, q, q + 1);
}

// Output rows [oy0, oy1) of one group, in chunks of the plan's output
// channels.
void group_tiles_avx2(const ConvParams& p, const GroupedPlan& gp, const GroupOperands& g, int64_t oy0, int64_t oy1,
                      const ChannelEpilogue* epi) {
  const int64_t cout = p.cout_g(), wstride = p.cin_g() * p.kh * p.kw;
  TileArgs a{g.x, p.x.plane(), p.x.h, p.x.w, p.cin_g(), p.kh, p.kw, p.dh, p.dw, nullptr, wstride, nullptr,
             p.y.plane(), epi, 0};
  for (int64_t m0 = 0; m0 < cout;) {
    const int mc = static_cast<int>(std::min<int64_t>(gp.mc, cout - m0));
    a.wt = g.w + m0 * wstride;
    a.y = g.y + m0 * a.yplane;
    a.first_channel = g.first_channel + m0;
    const int nb = blocks_for(mc, (oy1 - oy0) * ((p.y.w + 7) / 8));
    const TileFn inner = p.sw == 1 ? pick_tile<1>(mc, nb, false) : pick_tile<2>(mc, nb, false);
    const TileFn edge = p.sw == 1 ? pick_tile<1>(mc, nb, true) : pick_tile<2>(mc, nb, true);
    for_tiles(p, nb, oy0, oy1, [&](const Block* b, int, bool is_edge) { (is_edge ? edge : inner)(a, b); });
    m0 += mc;
  }
}
#endif

}  // namespace

// Output channels per tile: four where the group's width allows, else the
// width that divides it.
int64_t grouped_tile_channels(int64_t cout_g) {
  if (cout_g % 4 == 0 || cout_g > 4) return std::min<int64_t>(4, cout_g);
  return cout_g;
}

bool grouped_tiles_apply(const ConvParams& p, KernelIsa form) {
  return form != KernelIsa::kPortable && (p.sw == 1 || p.sw == 2);
}

namespace {

// Groups [g0, g1) in the forms that take one group at a time.
void groups_apart(const ConvPlan& c, const float* xn, const float* w, float* yn, int64_t g0, int64_t g1,
                  int64_t oy0, int64_t oy1, const ChannelEpilogue* epi) {
  const ConvParams& p = c.p;
  const GroupedPlan& gp = c.grouped;
  const int64_t cin = p.cin_g(), cout = p.cout_g(), taps = cin * p.kh * p.kw;
  const RowsFn rows = rows_form(gp.form, false), skipping = rows_form(gp.form, true);
#if defined(__x86_64__)
  FixedLayer fixed;
  const bool has_fixed = gp.form != KernelIsa::kPortable && fixed_layer(p, epi, &fixed);
  DepthwiseWide wide;
  const bool has_wide = depthwise_wide_layer(p, gp.form, epi, &wide);
#endif
  for (int64_t gi = g0; gi < g1; ++gi) {
    const GroupOperands g{xn + gi * cin * p.x.plane(), w + gi * cout * taps, yn + gi * cout * p.y.plane(),
                          gi * cout};
    const bool finite = all_finite(g.w, cout * taps);
    if (gp.skip_padding && !finite) {
      skipping(p, g, 0, cout, oy0, oy1, epi);
      continue;
    }
#if defined(__x86_64__)
    if (finite && has_wide) {
      depthwise_wide_rows(wide, WideChannel{g.x, g.w, g.y, g.first_channel}, oy0, oy1);
      continue;
    }
    if (finite && has_fixed) {
      group_fixed_avx2(fixed, g, cout, oy0, oy1);
      continue;
    }
    if (grouped_tiles_apply(p, gp.form)) {
      group_tiles_avx2(p, gp, g, oy0, oy1, epi);
      continue;
    }
#endif
    rows(p, g, 0, cout, oy0, oy1, epi);
  }
}

}  // namespace

void conv_grouped_rows(const ConvPlan& c, const float* xn, const float* w, const float* bias, float* yn,
                       int64_t g0, int64_t g1, int64_t oy0, int64_t oy1) {
  const ConvParams& p = c.p;
  const ChannelEpilogue e{bias, p.y.c, 0, p.act, p.slope, p.hi};
  const ChannelEpilogue* epi = c.epilogue ? &e : nullptr;
  if (!c.grouped.lanes) return groups_apart(c, xn, w, yn, g0, g1, oy0, oy1, epi);
  // Blocks of eight channels in the lanes; what the form leaves (weights
  // not all finite and normal, bands of inputs whose products underflow)
  // one channel at a time.
  struct Apart {
    const ConvPlan& c;
    const float *xn, *w;
    float* yn;
    const ChannelEpilogue* epi;
  } const ctx{c, xn, w, yn, epi};
  const LanesApart apart{[](const void* v, int64_t c0, int64_t c1, int64_t r0, int64_t r1) {
                           const Apart& a = *static_cast<const Apart*>(v);
                           groups_apart(a.c, a.xn, a.w, a.yn, c0, c1, r0, r1, a.epi);
                         },
                         &ctx};
  for (int64_t b0 = g0; b0 < g1; b0 += 8)
    depthwise_lanes_block(p, xn, w, yn, b0, std::min(g1, b0 + 8), oy0, oy1, epi, apart);
}

// Units of the plan's groups by bands of output rows.
void run_grouped(const ConvRun& r, const float* xn, float* yn) {
  const ConvPlan& c = r.plan;
  const GroupedPlan& gp = c.grouped;
  const int64_t ho = r.p.y.h;
  run_split(gp.parallel, static_cast<size_t>(gp.group_blocks * gp.bands), [&](size_t u) {
    const int64_t gb = static_cast<int64_t>(u) / gp.bands, band = static_cast<int64_t>(u) % gp.bands;
    const int64_t g0 = gb * gp.groups_per, g1 = std::min(r.p.g, g0 + gp.groups_per);
    const int64_t oy0 = band * gp.band_rows, oy1 = std::min(ho, oy0 + gp.band_rows);
    conv_grouped_rows(c, xn, r.w, r.bias, yn, g0, g1, oy0, oy1);
  });
}

bool all_finite(const float* w, int64_t n) {
  uint32_t inf_or_nan = 0;
  for (int64_t t = 0; t < n; ++t) {
    uint32_t bits;
    std::memcpy(&bits, w + t, 4);
    inf_or_nan |= (bits & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
  }
  return inf_or_nan == 0;
}

}  // namespace vorn::kern
