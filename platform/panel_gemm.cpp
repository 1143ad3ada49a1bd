#include "platform/panel_gemm.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/cpu_features.h"
#include "platform/half.h"
#include "platform/thread_kept.h"
#include "platform/transpose_avx2.h"
#include "platform/transpose_avx512.h"

namespace vorn {

namespace {

// The product runs over k in blocks of kDepthBlock rows, so the block of
// one panel (16 KiB) stays in the first-level cache while every row block
// of A passes it; C is re-read once per block. The blocks are fixed by k
// alone, never by the rectangle computed, so every split sums in one order.
constexpr int64_t kDepthBlock = kPanelDepthBlock;
// Rows of C one register tile covers.
constexpr int kTileRows = 6;

// Where the tiles find row kk of a panel's depth block: at a fixed step
// (gathered panels, row-major matrices) or at an offset from a table
// (convolution reading its padded input in place).
struct StepRows {
  const float* b;
  int64_t step;
  const float* row(int64_t kk) const { return b + kk * step; }
};
struct TableRows {
  const float* base;
  const int64_t* offset;
  const float* row(int64_t kk) const { return base + offset[kk]; }
};

// One value of a tile into C: alpha x sum, added to C when accumulate is
// set. With alpha 1 the multiply is exact and the fused form rounds as the
// plain sum, so products without scaling round once per depth block.
inline float stored(float sum, float old, bool accumulate, float alpha) {
  if (!accumulate) return alpha * sum;
  return alpha == 1.0f ? old + sum : std::fma(alpha, sum, old);
}

// Stores a register tile held in tmp: columns [0, cols) of MR rows.
template <int MR, int W>
inline void store_columns(const float (&tmp)[MR][W], float* c, int64_t ldc, bool accumulate, float alpha,
                          int64_t cols) {
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    for (int64_t j = 0; j < cols; ++j) cr[j] = stored(tmp[r][j], cr[j], accumulate, alpha);
  }
}

// One register tile: rows r of C (r < MR), columns [0, cols) of one
// panel, over kc rows of the panel; alpha times the sum is added to C when
// accumulate is set, stored otherwise.
template <int MR, class Rows>
void tile_portable(const float* a, int64_t lda, Rows rows, int64_t kc, float* c, int64_t ldc, bool accumulate,
                   float alpha, int64_t cols) {
  float acc[MR][kPanelWidth] = {};
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* bk = rows.row(kk);
    for (int r = 0; r < MR; ++r) {
      const float av = a[r * lda + kk];
      for (int j = 0; j < kPanelWidth; ++j) acc[r][j] = std::fma(av, bk[j], acc[r][j]);
    }
  }
  store_columns<MR, kPanelWidth>(acc, c, ldc, accumulate, alpha, cols);
}

#if defined(__x86_64__)
// The left half of a panel, for a panel of at most 8 real columns: half
// the multiply-adds of a whole one.
template <int MR, class Rows>
[[gnu::target("avx2,fma")]] void half_tile_avx2(const float* a, int64_t lda, Rows rows, int64_t kc, float* c,
                                                int64_t ldc, bool accumulate, float alpha, int64_t cols) {
  __m256 acc[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) acc[r] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m256 b0 = _mm256_loadu_ps(rows.row(kk));
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) acc[r] = _mm256_fmadd_ps(_mm256_broadcast_ss(a + r * lda + kk), b0, acc[r]);
  }
  alignas(32) float tmp[MR][8];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) _mm256_store_ps(tmp[r], acc[r]);
  store_columns<MR, 8>(tmp, c, ldc, accumulate, alpha, cols);
}

template <int MR, class Rows>
[[gnu::target("avx2,fma")]] void tile_avx2(const float* a, int64_t lda, Rows rows, int64_t kc, float* c,
                                           int64_t ldc, bool accumulate, float alpha, int64_t cols) {
  // The accumulators must stay in registers: every loop over them has a
  // constant trip count and is unrolled, and nothing takes their address.
  __m256 lo[MR], hi[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* b = rows.row(kk);
    const __m256 b0 = _mm256_loadu_ps(b), b1 = _mm256_loadu_ps(b + 8);
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      const __m256 av = _mm256_broadcast_ss(a + r * lda + kk);
      lo[r] = _mm256_fmadd_ps(av, b0, lo[r]);
      hi[r] = _mm256_fmadd_ps(av, b1, hi[r]);
    }
  }
  if (cols == kPanelWidth) {
    const __m256 al = _mm256_set1_ps(alpha);
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      float* cr = c + r * ldc;
      __m256 l = lo[r], h = hi[r];
      // As stored(): with alpha 1 the fused form is the plain sum.
      if (accumulate) {
        l = _mm256_fmadd_ps(al, l, _mm256_loadu_ps(cr));
        h = _mm256_fmadd_ps(al, h, _mm256_loadu_ps(cr + 8));
      } else {
        l = _mm256_mul_ps(al, l);
        h = _mm256_mul_ps(al, h);
      }
      _mm256_storeu_ps(cr, l);
      _mm256_storeu_ps(cr + 8, h);
    }
    return;
  }
  // A partial panel: through a buffer, storing only the real columns.
  alignas(32) float tmp[MR][kPanelWidth];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) {
    _mm256_store_ps(tmp[r], lo[r]);
    _mm256_store_ps(tmp[r] + 8, hi[r]);
  }
  store_columns<MR, kPanelWidth>(tmp, c, ldc, accumulate, alpha, cols);
}
#endif

#if defined(__x86_64__)
// Stores MR rows of one panel's accumulators: columns [0, cols) through a
// mask, as stored() does (with alpha 1 the fused form is the plain sum).
template <int MR>
[[gnu::target("avx512f")]] inline void store_avx512(const __m512 (&acc)[MR], float* c, int64_t ldc,
                                                    bool accumulate, float alpha, int64_t cols) {
  const __mmask16 mask = static_cast<__mmask16>((1u << cols) - 1u);
  const __m512 al = _mm512_set1_ps(alpha);
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    const __m512 v = accumulate ? _mm512_fmadd_ps(al, acc[r], _mm512_maskz_loadu_ps(mask, cr))
                                : _mm512_mul_ps(al, acc[r]);
    _mm512_mask_storeu_ps(cr, mask, v);
  }
}

// One panel, one 16-wide vector per row: the same multiply-add per k in
// order as the AVX2 tiles, so the same bits.
template <int MR, class Rows>
[[gnu::target("avx512f")]] void tile_avx512(const float* a, int64_t lda, Rows rows, int64_t kc, float* c,
                                             int64_t ldc, bool accumulate, float alpha, int64_t cols) {
  __m512 acc[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) acc[r] = _mm512_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m512 b = _mm512_loadu_ps(rows.row(kk));
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) acc[r] = _mm512_fmadd_ps(_mm512_set1_ps(a[r * lda + kk]), b, acc[r]);
  }
  store_avx512<MR>(acc, c, ldc, accumulate, alpha, cols);
}

// Two panels side by side: each value of A broadcast once feeds two
// multiply-adds, and eight rows keep every row's pointer in a register
// (about a quarter faster than twelve rows of one panel).
template <int MR, class Rows>
[[gnu::target("avx512f")]] void pair_avx512(const float* a, int64_t lda, Rows rows0, Rows rows1, int64_t kc,
                                             float* c0, float* c1, int64_t ldc, bool accumulate, float alpha,
                                             int64_t cols0, int64_t cols1) {
  __m512 acc0[MR], acc1[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) acc0[r] = acc1[r] = _mm512_setzero_ps();
  // The tile's lines of C, asked for now: a large C lives in memory, and
  // the stores at the tile's end would otherwise wait for it.
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) {
    __builtin_prefetch(c0 + r * ldc, 1, 3);
    __builtin_prefetch(c1 + r * ldc, 1, 3);
  }
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m512 b0 = _mm512_loadu_ps(rows0.row(kk)), b1 = _mm512_loadu_ps(rows1.row(kk));
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      const __m512 av = _mm512_set1_ps(a[r * lda + kk]);
      acc0[r] = _mm512_fmadd_ps(av, b0, acc0[r]);
      acc1[r] = _mm512_fmadd_ps(av, b1, acc1[r]);
    }
  }
  store_avx512<MR>(acc0, c0, ldc, accumulate, alpha, cols0);
  store_avx512<MR>(acc1, c1, ldc, accumulate, alpha, cols1);
}
#endif

template <class Rows>
using TileFn = void (*)(const float*, int64_t, Rows, int64_t, float*, int64_t, bool, float, int64_t);
template <class Rows>
using PairFn = void (*)(const float*, int64_t, Rows, Rows, int64_t, float*, float*, int64_t, bool, float, int64_t,
                        int64_t);

// Rows of C the AVX-512 tiles cover.
constexpr int kWideTileRows = 8;
constexpr int kMaxTileRows = kWideTileRows > kTileRows ? kWideTileRows : kTileRows;

// Register tiles by row count, up to `rows` rows; narrow[] serves panels
// of at most 8 real columns; pair[] (where the form has it) two panels at
// once. The packing and the dot products of a product take the same form.
template <class Rows>
struct TileSet {
  KernelIsa isa;
  int rows;
  TileFn<Rows> by_rows[kMaxTileRows + 1];
  TileFn<Rows> narrow[kMaxTileRows + 1];
  PairFn<Rows> pair[kMaxTileRows + 1];

  // The tile for rows x cols.
  TileFn<Rows> pick(int r, int64_t cols) const { return cols <= kPanelWidth / 2 ? narrow[r] : by_rows[r]; }
};

template <class Rows, size_t... R>
constexpr TileSet<Rows> portable_set(std::index_sequence<R...>) {
  return {KernelIsa::kPortable, kTileRows, {nullptr, &tile_portable<R + 1, Rows>...}, {nullptr, &tile_portable<R + 1, Rows>...}, {}};
}

#if defined(__x86_64__)
template <class Rows, size_t... R>
constexpr TileSet<Rows> avx2_set(std::index_sequence<R...>) {
  return {KernelIsa::kAvx2, kTileRows, {nullptr, &tile_avx2<R + 1, Rows>...}, {nullptr, &half_tile_avx2<R + 1, Rows>...}, {}};
}

template <class Rows, size_t... R>
constexpr TileSet<Rows> avx512_set(std::index_sequence<R...>) {
  return {KernelIsa::kAvx512,
          kWideTileRows,
          {nullptr, &tile_avx512<R + 1, Rows>...},
          {nullptr, &half_tile_avx2<R + 1, Rows>...},
          {nullptr, &pair_avx512<R + 1, Rows>...}};
}
#endif

template <class Rows>
const TileSet<Rows>& tiles_for() {
  static constexpr TileSet<Rows> portable = portable_set<Rows>(std::make_index_sequence<kTileRows>());
#if defined(__x86_64__)
  static constexpr TileSet<Rows> avx2 = avx2_set<Rows>(std::make_index_sequence<kTileRows>());
  static constexpr TileSet<Rows> avx512 = avx512_set<Rows>(std::make_index_sequence<kWideTileRows>());
  if (cpu_has_avx512f()) return avx512;
  if (cpu_has_avx2_fma()) return avx2;
#endif
  return portable;
}

// One panel as the tiles see it: where its depth block's rows lie, where
// its columns of C start (row 0) and how many are real.
template <class Rows>
struct PanelRef {
  Rows rows;
  float* c;
  int64_t cols;
};

// Panels of a product up to which run_tiles takes the row tiles outside:
// the panels of a 7 x 7 or 8 x 8 plane.
constexpr int64_t kFewPanels = 4;

// Rows [i0, i1) of C over `count` panels, panel q found by at(q), for one
// depth block of kc rows; a points at row i0 of A's block, rows lda apart.
// Panels go two at a time where the form has pair tiles, except that a
// panel of at most half its columns (the end of a row of 49 or 98) takes
// a narrow tile of its own. With many panels each panel (or pair) stays in
// the first-level cache while the rows of A pass; with a few, each register
// tile's rows of A stay there while the few panels pass, so that A, often
// a deep layer's weights fetched from memory, is read once rather than once
// per panel. Every tile sums as any other, so the order changes no bit.
template <class Rows, class At>
void run_tiles(const TileSet<Rows>& t, const float* a, int64_t lda, int64_t i0, int64_t i1, int64_t count, At at,
               int64_t kc, int64_t ldc, bool accumulate, float alpha) {
  // Rows [ia, ib) of C over every panel.
  auto panels = [&](int64_t ia, int64_t ib) {
    for (int64_t q = 0; q < count;) {
      const PanelRef<Rows> x = at(q);
      if (t.pair[1] != nullptr && q + 1 < count && x.cols > kPanelWidth / 2 && at(q + 1).cols > kPanelWidth / 2) {
        const PanelRef<Rows> y = at(q + 1);
        for (int64_t i = ia; i < ib; i += t.rows) {
          const int mr = static_cast<int>(std::min<int64_t>(t.rows, ib - i));
          t.pair[mr](a + (i - i0) * lda, lda, x.rows, y.rows, kc, x.c + i * ldc, y.c + i * ldc, ldc, accumulate,
                     alpha, x.cols, y.cols);
        }
        q += 2;
        continue;
      }
      for (int64_t i = ia; i < ib; i += t.rows) {
        const int mr = static_cast<int>(std::min<int64_t>(t.rows, ib - i));
        t.pick(mr, x.cols)(a + (i - i0) * lda, lda, x.rows, kc, x.c + i * ldc, ldc, accumulate, alpha, x.cols);
      }
      ++q;
    }
  };
  if (count > kFewPanels) return panels(i0, i1);
  for (int64_t i = i0; i < i1; i += t.rows) {
    // The next tile's rows of A, asked for now: short runs of a few lines
    // each, a row apart, which the processor's own prefetch does not follow.
    for (int64_t r = i + t.rows; r < std::min(i1, i + 2 * t.rows); ++r)
      for (int64_t kk = 0; kk < kc; kk += 16) __builtin_prefetch(a + (r - i0) * lda + kk, 0, 2);
    panels(i, std::min(i1, i + t.rows));
  }
}

void clear_columns(float* c, int64_t ldc, int64_t m0, int64_t m1, int64_t cols) {
  for (int64_t i = m0; i < m1; ++i) std::memset(c + i * ldc, 0, static_cast<size_t>(cols) * sizeof(float));
}

// Rows of A that pass a whole block of packed panels before the next rows
// do: whole tiles of 6 or of 8 rows, whose depth block (24 KiB) stays in
// the first-level cache while the panels stream from the second (in larger
// passes the AVX2 tiles lose up to a tenth on products of 1,024 rows). A
// transposed A is copied these rows at a time, on the stack.
constexpr int64_t kRowChunk = 24;

#if defined(__x86_64__)
// The n transposed rows in r into n consecutive panel rows at d. A whole
// block is stored straight from the registers: as a loop of n stores GCC
// spilled the registers and copied them with a string instruction, which
// took half the samples of widening the vision layers' weights.
[[gnu::target("avx512f")]] inline void store_panel_rows(float* d, const __m512 (&r)[16], int64_t n) {
  if (n == 16) {
#pragma GCC unroll 16
    for (int c = 0; c < 16; ++c) _mm512_storeu_ps(d + c * kPanelWidth, r[c]);
    return;
  }
  for (int64_t c = 0; c < n; ++c) _mm512_storeu_ps(d + c * kPanelWidth, r[c]);
}

// The same for half panels of eight columns (the AVX2 forms).
[[gnu::target("avx2")]] inline void store_half_panel_rows(float* d, const __m256 (&r)[8], int64_t n) {
  if (n == 8) {
#pragma GCC unroll 8
    for (int c = 0; c < 8; ++c) _mm256_storeu_ps(d + c * kPanelWidth, r[c]);
    return;
  }
  for (int64_t c = 0; c < n; ++c) _mm256_storeu_ps(d + c * kPanelWidth, r[c]);
}
#endif

#if defined(__x86_64__)
// `whole` panels of a transposed right operand: panel q's 16 columns are
// stored rows q x 16 .. q x 16 + 15 of b (rows ldb apart, from the block's
// first depth), packed sixteen depths at a time through registers.
[[gnu::target("avx512f")]] void pack_transposed_avx512(const float* b, int64_t ldb, int64_t kc, int64_t whole,
                                                        float* dst) {
  for (int64_t q = 0; q < whole; ++q) {
    const float* src = b + q * kPanelWidth * ldb;
    float* d = dst + q * kc * kPanelWidth;
    for (int64_t kk = 0; kk < kc; kk += 16) {
      const int64_t n = std::min<int64_t>(16, kc - kk);
      const __mmask16 mask = static_cast<__mmask16>((1u << n) - 1u);
      __m512 r[16];
#pragma GCC unroll 16
      for (int i = 0; i < 16; ++i) r[i] = _mm512_maskz_loadu_ps(mask, src + i * ldb + kk);
      transpose16(r);
      store_panel_rows(d + kk * kPanelWidth, r, n);
    }
  }
}
#endif

#if defined(__x86_64__)
// pack_transposed_avx512 for the AVX2 form: each half panel (8 stored
// rows) eight depths at a time through registers.
[[gnu::target("avx2,fma")]] void pack_transposed_avx2(const float* b, int64_t ldb, int64_t kc, int64_t whole,
                                                      float* dst) {
  alignas(32) static constexpr int32_t kLanes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int64_t q = 0; q < whole; ++q) {
    float* d = dst + q * kc * kPanelWidth;
    for (int64_t half = 0; half < 2; ++half) {
      const float* src = b + (q * kPanelWidth + half * 8) * ldb;
      for (int64_t kk = 0; kk < kc; kk += 8) {
        const int64_t n = std::min<int64_t>(8, kc - kk);
        const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanes + 8 - n));
        __m256 r[8];
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) r[i] = _mm256_maskload_ps(src + i * ldb + kk, mask);
        transpose8(r);
        store_half_panel_rows(d + kk * kPanelWidth + half * 8, r, n);
      }
    }
  }
}

// kc rows of `width` values of a row-major right operand (rows ldb apart)
// as gathered panels, one vector per panel row; a partial last panel is
// read through a mask and padded with zeros.
[[gnu::target("avx512f")]] void pack_rows_avx512(const float* b, int64_t ldb, int64_t kc, int64_t width,
                                                  float* dst) {
  const int64_t panel = kc * kPanelWidth, whole = width / kPanelWidth;
  const __mmask16 mask = static_cast<__mmask16>((1u << (width % kPanelWidth)) - 1u);
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* src = b + kk * ldb;
    float* d = dst + kk * kPanelWidth;
    for (int64_t q = 0; q < whole; ++q) _mm512_storeu_ps(d + q * panel, _mm512_loadu_ps(src + q * kPanelWidth));
    if (mask != 0) _mm512_storeu_ps(d + whole * panel, _mm512_maskz_loadu_ps(mask, src + whole * kPanelWidth));
  }
}

// pack_transposed_avx512 and pack_transposed_avx2 for a B of halves, each
// value widened as it is loaded. The conversion instruction quiets a
// signalling NaN, where half_to_float_n keeps it signalling; the panels
// feed only multiply-adds, which quiet it alike and pick among NaN
// operands by position alone, so the products keep their bits. A depth
// block's last values short of a whole register are loaded from a copy.
// (The conversion takes an all-ones zeroing mask, as transpose16's
// unpacks do.)
[[gnu::target("avx512f,f16c")]] void pack_transposed_half_avx512(const uint16_t* b, int64_t ldb, int64_t kc,
                                                                  int64_t whole, float* dst) {
  constexpr __mmask16 all = 0xFFFF;
  for (int64_t q = 0; q < whole; ++q) {
    const uint16_t* src = b + q * kPanelWidth * ldb;
    float* d = dst + q * kc * kPanelWidth;
    const uint16_t* next = q + 1 < whole ? src + kPanelWidth * ldb : nullptr;
    for (int64_t kk = 0; kk < kc; kk += 16) {
      const int64_t n = std::min<int64_t>(16, kc - kk);
      // The next panel's rows, a line of each every other step, half the
      // rows at each step (sixteen at once fill the line buffers and stall
      // the widening): its sixteen short runs are past the hardware's
      // prefetch.
      if (next != nullptr) {
        const uint16_t* rows = next + (kk / 16 % 2) * 8 * ldb + (kk & ~int64_t{31});
#pragma GCC unroll 8
        for (int i = 0; i < 8; ++i) __builtin_prefetch(rows + i * ldb, 0, 3);
      }
      __m512 r[16];
      if (n == 16) {
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i)
          r[i] = _mm512_maskz_cvtph_ps(all, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i * ldb + kk)));
      } else {
        for (int i = 0; i < 16; ++i) {
          uint16_t part[16] = {};
          std::memcpy(part, src + i * ldb + kk, size_t(n) * sizeof(uint16_t));
          r[i] = _mm512_maskz_cvtph_ps(all, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(part)));
        }
      }
      transpose16(r);
      store_panel_rows(d + kk * kPanelWidth, r, n);
    }
  }
}

[[gnu::target("avx2,f16c")]] void pack_transposed_half_avx2(const uint16_t* b, int64_t ldb, int64_t kc, int64_t whole,
                                                             float* dst) {
  for (int64_t q = 0; q < whole; ++q) {
    float* d = dst + q * kc * kPanelWidth;
    for (int64_t half = 0; half < 2; ++half) {
      const uint16_t* src = b + (q * kPanelWidth + half * 8) * ldb;
      // The next eight rows, a line of each every fourth step (as in the
      // AVX-512 form).
      const uint16_t* next = q + 1 < whole || half == 0 ? src + 8 * ldb : nullptr;
      for (int64_t kk = 0; kk < kc; kk += 8) {
        const int64_t n = std::min<int64_t>(8, kc - kk);
        if (next != nullptr && kk % 32 == 0)
          for (int i = 0; i < 8; ++i) __builtin_prefetch(next + i * ldb + kk, 0, 3);
        __m256 r[8];
        if (n == 8) {
#pragma GCC unroll 8
          for (int i = 0; i < 8; ++i)
            r[i] = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * ldb + kk)));
        } else {
          for (int i = 0; i < 8; ++i) {
            uint16_t part[8] = {};
            std::memcpy(part, src + i * ldb + kk, size_t(n) * sizeof(uint16_t));
            r[i] = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(part)));
          }
        }
        transpose8(r);
        store_half_panel_rows(d + kk * kPanelWidth + half * 8, r, n);
      }
    }
  }
}
#endif

// Short copies stay loops: GCC would otherwise turn a panel's few
// padding values per row into a string instruction that costs more than
// the row.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_SHORT_LOOPS [[gnu::optimize("no-tree-loop-distribute-patterns")]]
#else
#define VORN_SHORT_LOOPS
#endif

void pack_half_panels(KernelIsa isa, const MatrixProduct& g, int64_t k0, int64_t kc, int64_t j0, int64_t j1,
                      float* dst);

// Depth rows [k0, k0 + kc) of op(B)'s columns [j0, j1) as gathered
// panels of kc rows, the padding columns of a partial last panel zero.
// Each row of the stored B is read as one contiguous run.
VORN_SHORT_LOOPS void pack_panels(KernelIsa isa, const MatrixProduct& g, int64_t k0, int64_t kc, int64_t j0,
                                  int64_t j1, float* dst) {
  if (g.b_half != nullptr) return pack_half_panels(isa, g, k0, kc, j0, j1, dst);
  const int64_t panel = kc * kPanelWidth, whole = (j1 - j0) / kPanelWidth, tail = (j1 - j0) % kPanelWidth;
  if (g.trans_b) {
    // op(B) row kk is column kk of the stored B: each stored row gives one
    // column of a panel.
    int64_t j = j0;
#if defined(__x86_64__)
    if (isa == KernelIsa::kAvx512) {
      pack_transposed_avx512(g.b + j0 * g.ldb + k0, g.ldb, kc, whole, dst);
      j += whole * kPanelWidth;
    } else if (isa == KernelIsa::kAvx2) {
      pack_transposed_avx2(g.b + j0 * g.ldb + k0, g.ldb, kc, whole, dst);
      j += whole * kPanelWidth;
    }
#endif
    for (; j < j1; ++j) {
      const float* src = g.b + j * g.ldb + k0;
      float* d = dst + (j - j0) / kPanelWidth * panel + (j - j0) % kPanelWidth;
      for (int64_t kk = 0; kk < kc; ++kk) d[kk * kPanelWidth] = src[kk];
    }
    if (tail != 0)
      for (int64_t kk = 0; kk < kc; ++kk)
        for (int64_t j = tail; j < kPanelWidth; ++j) dst[whole * panel + kk * kPanelWidth + j] = 0.0f;
    return;
  }
#if defined(__x86_64__)
  if (isa == KernelIsa::kAvx512) {
    pack_rows_avx512(g.b + k0 * g.ldb + j0, g.ldb, kc, j1 - j0, dst);
    return;
  }
#endif
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* src = g.b + (k0 + kk) * g.ldb + j0;
    for (int64_t q = 0; q < whole; ++q)
      std::memcpy(dst + q * panel + kk * kPanelWidth, src + q * kPanelWidth, kPanelWidth * sizeof(float));
    if (tail != 0) {
      float part[kPanelWidth] = {};
      for (int64_t j = 0; j < tail; ++j) part[j] = src[whole * kPanelWidth + j];
      std::memcpy(dst + whole * panel + kk * kPanelWidth, part, sizeof part);
    }
  }
}

// pack_panels for a B of halves: the stored values a panel needs are
// widened into a float block on the stack first (one panel's rows of a
// B stored N x K, or one depth row of every panel), then copied into panels
// as a float B would be. The block stays in the first-level cache, so B
// crosses memory once, as halves.
VORN_SHORT_LOOPS void pack_half_panels(KernelIsa isa, const MatrixProduct& g, int64_t k0, int64_t kc, int64_t j0,
                                       int64_t j1, float* dst) {
  alignas(64) float wide[kPanelWidth * kDepthBlock];
  MatrixProduct w = g;
  w.b_half = nullptr;
  w.b = wide;
  if (g.trans_b) {
    w.ldb = kc;
    int64_t j = j0;
#if defined(__x86_64__)
    // Whole panels widen in registers on their way through the transpose.
    const int64_t whole = (j1 - j0) / kPanelWidth;
    if (isa == KernelIsa::kAvx512) {
      pack_transposed_half_avx512(g.b_half + j0 * g.ldb + k0, g.ldb, kc, whole, dst);
      j += whole * kPanelWidth;
    } else if (isa == KernelIsa::kAvx2 && cpu_has_avx2_f16c()) {
      pack_transposed_half_avx2(g.b_half + j0 * g.ldb + k0, g.ldb, kc, whole, dst);
      j += whole * kPanelWidth;
    }
#endif
    for (; j < j1; j += kPanelWidth) {
      const int64_t cols = std::min(kPanelWidth, j1 - j);
      for (int64_t r = 0; r < cols; ++r) half_to_float_n(g.b_half + (j + r) * g.ldb + k0, wide + r * kc, size_t(kc));
      pack_panels(isa, w, 0, kc, 0, cols, dst + (j - j0) / kPanelWidth * kc * kPanelWidth);
    }
    return;
  }
  // B stored K x N: depth row by depth row, up to a block's width of
  // columns at a time; each row lands at its depth in every panel.
  constexpr int64_t kWidth = kPanelWidth * kDepthBlock;
  w.ldb = kWidth;
  const int64_t panel = kc * kPanelWidth;
  for (int64_t j = j0; j < j1; j += kWidth) {
    const int64_t cols = std::min(kWidth, j1 - j);
    float* d = dst + (j - j0) / kPanelWidth * panel;
    for (int64_t kk = 0; kk < kc; ++kk) {
      half_to_float_n(g.b_half + (k0 + kk) * g.ldb + j, wide, size_t(cols));
      const int64_t whole = cols / kPanelWidth, tail = cols % kPanelWidth;
      for (int64_t q = 0; q < whole; ++q)
        std::memcpy(d + q * panel + kk * kPanelWidth, wide + q * kPanelWidth, kPanelWidth * sizeof(float));
      if (tail != 0) {
        float part[kPanelWidth] = {};
        std::memcpy(part, wide + whole * kPanelWidth, size_t(tail) * sizeof(float));
        std::memcpy(d + whole * panel + kk * kPanelWidth, part, sizeof part);
      }
    }
  }
}

// One row of C from a right operand stored N x K (a classifier's single
// input against its weight rows): each value is a dot product of A's row
// with a row of B, read in place. Its sum runs in 16 lanes, lane l taking
// the products of depths l, l + 16, l + 32 ... in order (one multiply-add
// each), and the lanes are then added in halves (l + l + 8, then + 4, + 2,
// + 1); the vector forms hold those lanes in one or two registers and give
// the same bits.
constexpr int kDotLanes = 16;

inline float reduce_lanes(float (&l)[kDotLanes]) {
  for (int half = kDotLanes / 2; half > 0; half /= 2)
    for (int i = 0; i < half; ++i) l[i] += l[i + half];
  return l[0];
}

void dot_rows_portable(const float* a, const float* b, int64_t ldb, int64_t k, int64_t j0, int64_t j1, float* c,
                       bool accumulate, float alpha) {
  for (int64_t j = j0; j < j1; ++j) {
    const float* row = b + j * ldb;
    float l[kDotLanes] = {};
    for (int64_t kk = 0; kk < k; ++kk) l[kk % kDotLanes] = std::fma(a[kk], row[kk], l[kk % kDotLanes]);
    c[j] = stored(reduce_lanes(l), c[j], accumulate, alpha);
  }
}

#if defined(__x86_64__)
[[gnu::target("avx2,fma")]] void dot_rows_avx2(const float* a, const float* b, int64_t ldb, int64_t k, int64_t j0,
                                               int64_t j1, float* c, bool accumulate, float alpha) {
  const int64_t whole = k / kDotLanes * kDotLanes;
  for (int64_t j = j0; j < j1; ++j) {
    const float* row = b + j * ldb;
    __m256 lo = _mm256_setzero_ps(), hi = _mm256_setzero_ps();
    for (int64_t kk = 0; kk < whole; kk += kDotLanes) {
      lo = _mm256_fmadd_ps(_mm256_loadu_ps(a + kk), _mm256_loadu_ps(row + kk), lo);
      hi = _mm256_fmadd_ps(_mm256_loadu_ps(a + kk + 8), _mm256_loadu_ps(row + kk + 8), hi);
    }
    alignas(32) float l[kDotLanes];
    _mm256_store_ps(l, lo);
    _mm256_store_ps(l + 8, hi);
    for (int64_t kk = whole; kk < k; ++kk) l[kk - whole] = std::fma(a[kk], row[kk], l[kk - whole]);
    c[j] = stored(reduce_lanes(l), c[j], accumulate, alpha);
  }
}

[[gnu::target("avx512f")]] void dot_rows_avx512(const float* a, const float* b, int64_t ldb, int64_t k,
                                                 int64_t j0, int64_t j1, float* c, bool accumulate, float alpha) {
  const int64_t whole = k / kDotLanes * kDotLanes;
  const __mmask16 tail = static_cast<__mmask16>((1u << (k - whole)) - 1u);
  // Four rows at a time share each load of A.
  int64_t j = j0;
  for (; j + 4 <= j1; j += 4) {
    const float* row = b + j * ldb;
    __m512 s0 = _mm512_setzero_ps(), s1 = s0, s2 = s0, s3 = s0;
    for (int64_t kk = 0; kk < whole; kk += kDotLanes) {
      const __m512 x = _mm512_loadu_ps(a + kk);
      s0 = _mm512_fmadd_ps(x, _mm512_loadu_ps(row + kk), s0);
      s1 = _mm512_fmadd_ps(x, _mm512_loadu_ps(row + ldb + kk), s1);
      s2 = _mm512_fmadd_ps(x, _mm512_loadu_ps(row + 2 * ldb + kk), s2);
      s3 = _mm512_fmadd_ps(x, _mm512_loadu_ps(row + 3 * ldb + kk), s3);
    }
    const __m512 sums[4] = {s0, s1, s2, s3};
    for (int r = 0; r < 4; ++r) {
      alignas(64) float l[kDotLanes];
      __m512 v = sums[r];
      if (tail != 0)  // the partial last block adds only its real depths
        v = _mm512_mask3_fmadd_ps(_mm512_maskz_loadu_ps(tail, a + whole),
                                  _mm512_maskz_loadu_ps(tail, row + r * ldb + whole), v, tail);
      _mm512_store_ps(l, v);
      c[j + r] = stored(reduce_lanes(l), c[j + r], accumulate, alpha);
    }
  }
  for (; j < j1; ++j) {
    const float* row = b + j * ldb;
    __m512 v = _mm512_setzero_ps();
    for (int64_t kk = 0; kk < whole; kk += kDotLanes)
      v = _mm512_fmadd_ps(_mm512_loadu_ps(a + kk), _mm512_loadu_ps(row + kk), v);
    if (tail != 0)
      v = _mm512_mask3_fmadd_ps(_mm512_maskz_loadu_ps(tail, a + whole), _mm512_maskz_loadu_ps(tail, row + whole), v,
                                tail);
    alignas(64) float l[kDotLanes];
    _mm512_store_ps(l, v);
    c[j] = stored(reduce_lanes(l), c[j], accumulate, alpha);
  }
}
#endif

void dot_rows(KernelIsa isa, const float* a, const float* b, int64_t ldb, int64_t k, int64_t j0, int64_t j1,
              float* c, bool accumulate, float alpha) {
#if defined(__x86_64__)
  if (isa == KernelIsa::kAvx512) return dot_rows_avx512(a, b, ldb, k, j0, j1, c, accumulate, alpha);
  if (isa == KernelIsa::kAvx2)
    return dot_rows_avx2(a, b, ldb, k, j0, j1, c, accumulate, alpha);
#endif
  (void)isa;
  dot_rows_portable(a, b, ldb, k, j0, j1, c, accumulate, alpha);
}

// Panels one thread packs per depth block when it has its buffer: three
// eighths of the core's second-level cache, between 16 panels (256 KiB,
// half the second-level cache of the smaller cores we run on) and 48. Each
// block of rows of A then passes more panels before the next one comes
// (on 2 MiB, 48 panels take a vision layer's products at one thread about
// a twentieth faster than 16); the cut changes no sum.
constexpr int64_t kFewestPackPanels = 16, kMostPackPanels = 48;

int64_t pack_panel_count() {
  static const int64_t count = [] {
    int64_t l2 = 0;
#if defined(_SC_LEVEL2_CACHE_SIZE)
    l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    const int64_t panel = kDepthBlock * kPanelWidth * int64_t(sizeof(float));
    return std::clamp<int64_t>(l2 / 8 * 3 / panel / 2 * 2, kFewestPackPanels, kMostPackPanels);
  }();
  return count;
}

struct PackBuffer {
  float* block = nullptr;
  PackBuffer() = default;
  PackBuffer(const PackBuffer&) = delete;
  PackBuffer& operator=(const PackBuffer&) = delete;
  ~PackBuffer() { std::free(block); }
};

// The calling thread's buffer of pack_panel_count() packed panels, made on its
// first product and kept for the next ones; null when memory is short, and
// the product then packs one panel at a time on the stack.
float* thread_pack_buffer() {
  PackBuffer* kept = ThreadKept<PackBuffer>::get();
  if (kept == nullptr) return nullptr;
  if (kept->block == nullptr)
    kept->block = static_cast<float*>(
        std::aligned_alloc(64, size_t(pack_panel_count() * kDepthBlock * kPanelWidth) * sizeof(float)));
  return kept->block;
}

// Whether a rectangle of `rows` rows reads the whole panels of B where they
// lie rather than copying them. A panel in place has one cache line per
// row, ldb apart, spread over as many pages: strides with large powers of
// two (rows of 768 or 1024 values, planes of 56 x 56) put those lines in a
// few sets of the first-level cache (64 sets of 64 bytes), and deep blocks
// run out of its address translations, so that tile after tile passing the
// block fetches it again. Copied, a block is contiguous, and a thread
// copies up to pack_panel_count() panels at once, reading each row of B as one
// run. A rectangle of a few tiles' rows passes each panel only a few times,
// and a shallow B (64 rows at most) with a stride that spreads its lines
// stays in the cache: both read in place.
bool reads_in_place(const MatrixProduct& g, int64_t rows, int tile_rows) {
  if (g.trans_b || g.b_half != nullptr) return false;
  if (rows <= 4 * tile_rows) return true;
  const int64_t bytes = g.ldb * int64_t(sizeof(float));
  const int64_t sets = bytes % 64 != 0 ? 64 : 64 / std::gcd<int64_t>(bytes / 64, 64);
  return g.k <= 64 && sets >= 32;
}

// Rows [i0, i1) of op(A) over depth [k0, k0 + kc), from A stored k x m, as
// rows of kc values.
void pack_rows(const MatrixProduct& g, int64_t i0, int64_t i1, int64_t k0, int64_t kc, float* dst) {
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* src = g.a + (k0 + kk) * g.lda;
    for (int64_t i = i0; i < i1; ++i) dst[(i - i0) * kc + kk] = src[i];
  }
}

// C's rows [m0, m1) x columns [j0, j1) plus the product's bias, C's value
// first (as the graph's addition of the product and its bias adds them).
// An addition rounds alike in every width, so the forms differ in speed
// alone.
void add_row_portable(float* __restrict row, const float* __restrict b, int64_t j0, int64_t j1) {
  for (int64_t j = j0; j < j1; ++j) row[j] = row[j] + b[j];
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void add_row_avx2(float* row, const float* b, int64_t j0, int64_t j1) {
  int64_t j = j0;
  for (; j + 8 <= j1; j += 8) _mm256_storeu_ps(row + j, _mm256_add_ps(_mm256_loadu_ps(row + j), _mm256_loadu_ps(b + j)));
  add_row_portable(row, b, j, j1);
}

[[gnu::target("avx512f")]] void add_row_avx512(float* row, const float* b, int64_t j0, int64_t j1) {
  int64_t j = j0;
  for (; j + 16 <= j1; j += 16)
    _mm512_storeu_ps(row + j, _mm512_add_ps(_mm512_loadu_ps(row + j), _mm512_loadu_ps(b + j)));
  add_row_avx2(row, b, j, j1);
}
#endif

void add_row_bias(const MatrixProduct& g, int64_t m0, int64_t m1, int64_t j0, int64_t j1) {
  if (g.bias == nullptr) return;
  const KernelIsa isa = tiles_for<StepRows>().isa;
  for (int64_t i = m0; i < m1; ++i) {
    float* row = g.c + i * g.ldc;
#if defined(__x86_64__)
    if (isa == KernelIsa::kAvx512) {
      add_row_avx512(row, g.bias, j0, j1);
      continue;
    }
    if (isa == KernelIsa::kAvx2) {
      add_row_avx2(row, g.bias, j0, j1);
      continue;
    }
#endif
    add_row_portable(row, g.bias, j0, j1);
  }
}

// The bias, then the caller's finish, on a block of C whose sums are done.
void add_bias(const MatrixProduct& g, int64_t m0, int64_t m1, int64_t j0, int64_t j1) {
  add_row_bias(g, m0, m1, j0, j1);
  if (g.finish != nullptr && m0 < m1 && j0 < j1) g.finish(g.finish_ctx, g.c, g.ldc, m0, m1, j0, j1);
}

// C's rows [m0, m1) x columns [j0, j1) times beta; beta 0 writes zeros,
// whatever C held.
void scale_block(float* c, int64_t ldc, int64_t m0, int64_t m1, int64_t j0, int64_t j1, float beta) {
  for (int64_t i = m0; i < m1; ++i) {
    float* row = c + i * ldc;
    for (int64_t j = j0; j < j1; ++j) row[j] = beta == 0.0f ? 0.0f : beta * row[j];
  }
}

}  // namespace

void gather_panels(const MatrixProduct& g, float* bp) {
  if (g.k > 0 && g.n > 0 && g.b_half == nullptr) pack_panels(tiles_for<StepRows>().isa, g, 0, g.k, 0, g.n, bp);
}

void panel_gemm(const float* a, int64_t lda, const PanelOperand& bp, int64_t k, int64_t n, float* c, int64_t ldc,
                int64_t m0, int64_t m1, int64_t p0, int64_t p1, float alpha) {
  const TileSet<StepRows>& t = tiles_for<StepRows>();
  for (int64_t p = p0; k == 0 && p < p1; ++p)
    clear_columns(c + p * kPanelWidth, ldc, m0, m1, std::min(kPanelWidth, n - p * kPanelWidth));
  for (int64_t k0 = 0; k0 < k; k0 += kDepthBlock) {
    const int64_t kc = std::min(kDepthBlock, k - k0);
    auto at = [&](int64_t q) {
      const int64_t p = p0 + q, j0 = p * kPanelWidth;
      return PanelRef<StepRows>{{bp.data + p * bp.panel_stride + k0 * bp.row_stride, bp.row_stride}, c + j0,
                                std::min(kPanelWidth, n - j0)};
    };
    run_tiles(t, a + m0 * lda + k0, lda, m0, m1, p1 - p0, at, kc, ldc, k0 > 0, alpha);
  }
}

void panel_gemm_offsets(const float* a, int64_t lda, const int64_t* offsets, int64_t k, const OffsetPanel* panels,
                        int64_t count, int64_t ldc, int64_t m0, int64_t m1) {
  const TileSet<TableRows>& t = tiles_for<TableRows>();
  for (int64_t p = 0; k == 0 && p < count; ++p) clear_columns(panels[p].c, ldc, m0, m1, panels[p].cols);
  for (int64_t k0 = 0; k0 < k; k0 += kDepthBlock) {
    const int64_t kc = std::min(kDepthBlock, k - k0);
    auto at = [&](int64_t q) {
      return PanelRef<TableRows>{{panels[q].base, offsets + k0}, panels[q].c, panels[q].cols};
    };
    run_tiles(t, a + m0 * lda + k0, lda, m0, m1, count, at, kc, ldc, k0 > 0, 1.0f);
  }
}

void matrix_product_rectangle(const MatrixProduct& g, int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
  const TileSet<StepRows>& t = tiles_for<StepRows>();
  // C first takes its beta share; the depth blocks then add to it, except
  // that with beta 0 the first block stores.
  if (g.beta == 0.0f ? g.k == 0 : g.beta != 1.0f)
    scale_block(g.c, g.ldc, m0, m1, p0 * kPanelWidth, std::min(g.n, p1 * kPanelWidth), g.beta);
  if (g.k == 0) return add_bias(g, m0, m1, p0 * kPanelWidth, std::min(g.n, p1 * kPanelWidth));
  // (A product of one row, not a rectangle of one: the sums of a dot
  // product run in another order than a tile's, and a cut must not change
  // a bit.)
  if (g.m == 1 && g.trans_b && !g.trans_a && g.b_half == nullptr) {
    dot_rows(t.isa, g.a + m0 * g.lda, g.b, g.ldb, g.k, p0 * kPanelWidth, std::min(g.n, p1 * kPanelWidth),
             g.c + m0 * g.ldc, g.beta != 0.0f, g.alpha);
    return add_bias(g, m0, m1, p0 * kPanelWidth, std::min(g.n, p1 * kPanelWidth));
  }
  alignas(64) float one_panel[kDepthBlock * kPanelWidth];
  alignas(64) float rows_a[kRowChunk * kDepthBlock];
  const bool in_place = reads_in_place(g, m1 - m0, t.rows);
  float* packed = in_place ? nullptr : thread_pack_buffer();
  const int64_t per_pack = in_place ? p1 - p0 : packed != nullptr ? pack_panel_count() : 1;
  if (packed == nullptr) packed = one_panel;
  // Panel groups outside, depth blocks inside: the group's columns of C
  // stay in the cache from one depth block to the next.
  for (int64_t q0 = p0; q0 < p1; q0 += per_pack) {
    const int64_t q1 = std::min(p1, q0 + per_pack);
    for (int64_t k0 = 0; k0 < g.k; k0 += kDepthBlock) {
      const int64_t kc = std::min(kDepthBlock, g.k - k0);
      const bool accumulate = k0 > 0 || g.beta != 0.0f;
      const int64_t j0 = q0 * kPanelWidth, j1 = std::min(g.n, q1 * kPanelWidth);
      if (!in_place)
        pack_panels(t.isa, g, k0, kc, j0, j1, packed);
      else if ((j1 - j0) % kPanelWidth != 0)  // only a partial last panel
        pack_panels(t.isa, g, k0, kc, j1 - (j1 - j0) % kPanelWidth, j1, packed);
      auto at = [&](int64_t q) {
        const int64_t j = (q0 + q) * kPanelWidth, cols = std::min(kPanelWidth, g.n - j);
        StepRows rows{packed + q * kc * kPanelWidth, kPanelWidth};
        if (in_place)
          rows = cols == kPanelWidth ? StepRows{g.b + k0 * g.ldb + j, g.ldb} : StepRows{packed, kPanelWidth};
        return PanelRef<StepRows>{rows, g.c + j, cols};
      };
      for (int64_t i0 = m0; i0 < m1; i0 += kRowChunk) {
        const int64_t i1 = std::min(m1, i0 + kRowChunk);
        const float* a = rows_a;
        int64_t lda = kc;
        if (g.trans_a) {
          pack_rows(g, i0, i1, k0, kc, rows_a);
        } else {
          a = g.a + i0 * g.lda + k0;
          lda = g.lda;
        }
        run_tiles(t, a, lda, i0, i1, q1 - q0, at, kc, g.ldc, accumulate, g.alpha);
        if (k0 + kc == g.k) add_bias(g, i0, i1, j0, j1);
      }
    }
  }
}

PanelSplit plan_panel_split(int64_t m, int64_t panels, int64_t threads, int64_t tile_panels) {
  // Row blocks are whole register tiles of the form that will run them.
  PanelSplit best;
  best.tile = tiles_for<StepRows>().rows;
  const int64_t units = std::max<int64_t>(1, (m + best.tile - 1) / best.tile);
  const int64_t th = std::max<int64_t>(1, threads), want = 2 * th;
  // Time in multiply-adds of one depth step: the largest rectangle's per
  // wave, and each value moved (from the shared cache) counted as a few.
  constexpr double kMoveCost = 4.0;
  // What a lone panel after whole tiles costs beyond one panel's share, as
  // measured at eight threads (resnet18's 28 x 28 layers, cut into groups
  // of 9 panels rather than 7, a sixth faster); at three, its 14 x 14
  // layers cut into groups of 5 rather than 7 ran a third slower.
  constexpr double kLonePanelCost = 0.5;
  constexpr int64_t kLoneThreads = 8;
  double best_time = -1.0;
  // No group holds more than kPanelGroupMost panels; past a few more
  // groups than twice the threads, more only move more.
  const int64_t fewest = std::max<int64_t>(1, (panels + kPanelGroupMost - 1) / kPanelGroupMost);
  const int64_t most = std::min(panels, std::max(fewest, want) + th);
  for (int64_t groups = fewest; groups <= most; ++groups) {
    const int64_t group = (panels + groups - 1) / groups;
    const int64_t rb_first = std::clamp<int64_t>((want + groups - 1) / groups, 1, units);
    // The next few row block counts may fill the last wave better.
    const int64_t rb_last = std::min(units, rb_first + th - 1);
    for (int64_t rb = rb_first; rb <= rb_last; ++rb) {
      const int64_t rows = std::min(m, (units + rb - 1) / rb * best.tile);
      const int64_t waves = (rb * groups + th - 1) / th;
      const double moved = double(groups) * double(m) + double(rb) * double(panels) * kPanelWidth;
      const bool lone = th >= kLoneThreads && tile_panels > 1 && group > tile_panels && group % tile_panels == 1;
      const double width = double(group) + (lone ? kLonePanelCost : 0.0);
      const double time = double(waves) * double(rows) * width * kPanelWidth + kMoveCost * moved / double(th);
      if (best_time < 0 || time < best_time) {
        best_time = time;
        best.rb = rb;
        best.groups = groups;
      }
    }
  }
  return best;
}

}  // namespace vorn
