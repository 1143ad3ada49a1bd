#include "kernels/ops/conv_product.h"

#include <algorithm>
#include <array>
#include <utility>

#include "kernels/ops/conv_epilogue.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "platform/transpose_avx2.h"
#endif

namespace vorn::kern {

namespace {

// Panels one row tile passes before the next row tile does: their depth
// block (16 KiB a panel) stays in the second-level cache while every row
// tile of the call passes it.
constexpr int64_t kChunkPanels = 32;

// One panel as the tiles see it, its base at the depth block's first row.
using Panel = ConvPanel;

// A register tile: MR rows of C (packed A, MR values per depth) by NP
// panels, over kc depths; the block's sum is added to C when accumulate is
// set, stored otherwise. While it runs it asks for the next tile's rows of
// A, pf (eight rows pf_ld apart, kc values each), one line every other
// depth: a deep layer's weights come from memory, and each tile's copy
// would otherwise wait for them.
using TileFn = void (*)(const float* ap, const Panel* pn, const int64_t* offset, int64_t kc, int64_t row,
                        int64_t ldc, bool accumulate, const float* pf, int64_t pf_ld, const TileFinish* fin);

// The line of pf asked for at depth kk (even): eight rows by a line of
// sixteen values, every 16 depths.
inline const float* prefetch_line(const float* pf, int64_t pf_ld, int64_t kk) {
  return pf + ((kk >> 1) & 7) * pf_ld + (kk >> 4) * 16;
}

#if defined(__x86_64__)
// Value v of row `channel` at C position at (lanes of mask), finished as
// fin says, with the separate pass's operations in its order.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512 finish_avx512(const TileFinish& fin, __m512 v,
                                                                            int64_t channel, const float* at,
                                                                            __mmask16 mask) {
  if (fin.bias != nullptr) v = _mm512_add_ps(v, _mm512_set1_ps(fin.bias[channel]));
  if (fin.act == kActAdd || fin.act == kActAddRelu) v = _mm512_add_ps(v, _mm512_maskz_loadu_ps(mask, fin.res + (at - fin.y)));
  // t >= 0 ? t : 0: a negative zero stays, a NaN becomes zero.
  if (fin.act == kActRelu || fin.act == kActAddRelu)
    v = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ), v);
  // t < lo ? lo : (t > hi ? hi : t), whatever the order of the bounds; a
  // NaN fails both tests and stays.
  if (fin.act == kActClip) {
    const __m512 lo = _mm512_set1_ps(fin.lo), hi = _mm512_set1_ps(fin.hi);
    const __mmask16 below = _mm512_cmp_ps_mask(v, lo, _CMP_LT_OQ), above = _mm512_cmp_ps_mask(v, hi, _CMP_GT_OQ);
    v = _mm512_mask_mov_ps(_mm512_mask_mov_ps(v, above, hi), below, lo);
  }
  return v;
}

// The values a tile wrote outside its vectors (cols of each of mr rows
// from c on), finished a row at a time.
inline void finish_rows(const TileFinish* fin, float* c, int64_t ldc, int mr, int64_t cols, int64_t row) {
  if (fin == nullptr) return;
  for (int r = 0; r < mr; ++r) fin->span(fin->ctx, c + r * ldc, cols, row + r);
}

// With One (whole tiles of 8 rows only) panel pn[NP] is a panel of one
// real column, summed alongside in one 8-lane vector of the tile's rows:
// its chain of multiply-adds, too slow alone, hides behind the tile's.
template <int MR, int NP, bool Table, bool One = false>
[[gnu::target("avx512f,avx2,fma")]] void tile_avx512(const float* ap, const Panel* pn, const int64_t* offset,
                                                      int64_t kc, int64_t row, int64_t ldc, bool accumulate,
                                                      const float* pf, int64_t pf_ld, const TileFinish* fin) {
  const float* b[NP];
#pragma GCC unroll 4
  for (int p = 0; p < NP; ++p) b[p] = pn[p].base;
  __m512 acc[NP][MR];
#pragma GCC unroll 4
  for (int p = 0; p < NP; ++p)
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) acc[p][r] = _mm512_setzero_ps();
  static_assert(!One || MR == 8);
  const float* one = One ? pn[NP].base : nullptr;
  __m256 single = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const int64_t o = Table ? offset[kk] : kk * kPanelWidth;
    if constexpr (One)
      single = _mm256_fmadd_ps(_mm256_loadu_ps(ap + kk * MR), _mm256_broadcast_ss(one + o), single);
    if ((kk & 1) == 0) _mm_prefetch(reinterpret_cast<const char*>(prefetch_line(pf, pf_ld, kk)), _MM_HINT_T0);
    __m512 v[NP];
#pragma GCC unroll 4
    for (int p = 0; p < NP; ++p) v[p] = _mm512_loadu_ps(b[p] + o);
    const float* ak = ap + kk * MR;
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      const __m512 av = _mm512_set1_ps(ak[r]);
#pragma GCC unroll 4
      for (int p = 0; p < NP; ++p) acc[p][r] = _mm512_fmadd_ps(av, v[p], acc[p][r]);
    }
  }
#pragma GCC unroll 4
  for (int p = 0; p < NP; ++p) {
    const __mmask16 mask = static_cast<__mmask16>((1u << pn[p].cols) - 1u);
    float* c = pn[p].c + row * ldc;
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      float* cr = c + r * ldc;
      // As panel_gemm: each depth block's sum added to C with one rounding.
      __m512 out = accumulate ? _mm512_add_ps(_mm512_maskz_loadu_ps(mask, cr), acc[p][r]) : acc[p][r];
      if (fin != nullptr) out = finish_avx512(*fin, out, row + r, cr, mask);
      _mm512_mask_storeu_ps(cr, mask, out);
    }
    if (pn[p].more == 0) continue;
    // The lanes that run on into the next output row, each at its place
    // counted from lane 0.
    const __mmask16 next = static_cast<__mmask16>(((1u << pn[p].more) - 1u) << pn[p].from);
    float* cn = pn[p].next - pn[p].from + row * ldc;
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      float* cr = cn + r * ldc;
      __m512 out = accumulate ? _mm512_add_ps(_mm512_maskz_loadu_ps(next, cr), acc[p][r]) : acc[p][r];
      if (fin != nullptr) out = finish_avx512(*fin, out, row + r, cr, next);
      _mm512_mask_storeu_ps(cr, next, out);
    }
  }
  if constexpr (One) {
    alignas(32) float tmp[8];
    _mm256_store_ps(tmp, single);
    float* c = pn[NP].c + row * ldc;
    for (int r = 0; r < MR; ++r) c[r * ldc] = accumulate ? c[r * ldc] + tmp[r] : tmp[r];
    finish_rows(fin, c, ldc, MR, 1, row);
  }
}

// A panel of at most kNarrowCols real columns (the last position of a 7 x
// 7 plane): the tile's rows run along one vector instead, each column
// its own sum, so no lane is spent on the padding. Per element it is the
// same multiply-add in the same order as a whole tile's.
constexpr int64_t kNarrowCols = 4;

template <int COLS, bool Table>
[[gnu::target("avx2,fma")]] void columns_avx2(const float* ap, int mr, const Panel& pn, const int64_t* offset,
                                              int64_t kc, int64_t row, int64_t ldc, bool accumulate,
                                              const TileFinish* fin) {
  __m256 acc[COLS];
#pragma GCC unroll 4
  for (int j = 0; j < COLS; ++j) acc[j] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* bk = pn.base + (Table ? offset[kk] : kk * kPanelWidth);
    const __m256 av = _mm256_loadu_ps(ap + kk * mr);
#pragma GCC unroll 4
    for (int j = 0; j < COLS; ++j) acc[j] = _mm256_fmadd_ps(av, _mm256_broadcast_ss(bk + j), acc[j]);
  }
  alignas(32) float tmp[COLS][8];
#pragma GCC unroll 4
  for (int j = 0; j < COLS; ++j) _mm256_store_ps(tmp[j], acc[j]);
  float* c = pn.c + row * ldc;
  for (int r = 0; r < mr; ++r)
    for (int j = 0; j < COLS; ++j) c[r * ldc + j] = accumulate ? c[r * ldc + j] + tmp[j][r] : tmp[j][r];
  finish_rows(fin, c, ldc, mr, COLS, row);
}

using ColumnsFn = void (*)(const float*, int, const Panel&, const int64_t*, int64_t, int64_t, int64_t, bool,
                           const TileFinish*);

template <bool Table>
constexpr ColumnsFn kColumns[kNarrowCols + 1] = {nullptr, &columns_avx2<1, Table>, &columns_avx2<2, Table>,
                                                 &columns_avx2<3, Table>, &columns_avx2<4, Table>};

// The tiles of one form: rows up to `rows`, panels up to `panels`;
// by[mr][np] covers mr rows by np panels.
constexpr int kMaxRows = 8, kMaxPanels = static_cast<int>(kProductTilePanels);

struct TileSet {
  int rows, panels;
  TileFn by[kMaxRows + 1][kMaxPanels + 1];
  // Whole rows by whole panels with one panel of one column beside them.
  TileFn with_one;
};

template <bool Table, int MR, size_t... P>
constexpr void fill_avx512_row(TileSet& t, std::index_sequence<P...>) {
  ((t.by[MR][P + 1] = &tile_avx512<MR, int(P) + 1, Table>), ...);
}

template <bool Table, size_t... R>
constexpr TileSet avx512_set(std::index_sequence<R...>) {
  TileSet t{kMaxRows, kMaxPanels, {}, &tile_avx512<kMaxRows, kMaxPanels, Table, true>};
  (fill_avx512_row<Table, int(R) + 1>(t, std::make_index_sequence<kMaxPanels>()), ...);
  return t;
}

template <bool Table>
const TileSet* tiles_for(KernelIsa isa) {
  static constexpr TileSet wide = avx512_set<Table>(std::make_index_sequence<kMaxRows>());
  // The engine's form: an engine made with AVX-512 keeps it.
  return isa == KernelIsa::kAvx512 ? &wide : nullptr;
}

// Rows [0, mr) of A (rows lda apart), depths [0, kc), as mr values per
// depth at ap, eight depths at a time through an 8 x 8 transpose whose
// stores overlap (each one's unused lanes are the next one's first: ap
// holds 8 values of slack).
[[gnu::target("avx2")]] void pack_rows(const float* a, int64_t lda, int mr, int64_t kc, float* ap) {
  int64_t kk = 0;
  for (; kk + 8 <= kc; kk += 8) {
    __m256 r[8];
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) r[i] = i < mr ? _mm256_loadu_ps(a + i * lda + kk) : _mm256_setzero_ps();
    transpose8(r);
#pragma GCC unroll 8
    for (int c = 0; c < 8; ++c) _mm256_storeu_ps(ap + (kk + c) * mr, r[c]);
  }
  for (; kk < kc; ++kk)
    for (int i = 0; i < mr; ++i) ap[kk * mr + i] = a[i * lda + kk];
}

// Rows [m0, m1) of C for `count` panels, panel q found by at(q, k0) for
// the depth block starting at k0; offsets (null for gathered panels) give
// the rows of a panel read in place.
template <bool Table, class At>
void run(const TileSet& t, const float* a, int64_t lda, const int64_t* offsets, int64_t k, int64_t count, At at,
         int64_t ldc, int64_t m0, int64_t m1, const TileFinish* finish) {
  alignas(64) float ap[kPanelDepthBlock * kMaxRows + 8];
  Panel chunk[kChunkPanels];
  for (int64_t k0 = 0; k0 < k; k0 += kPanelDepthBlock) {
    const int64_t kc = std::min(kPanelDepthBlock, k - k0);
    // Each value is finished once, as its last depth block is added.
    const TileFinish* fin = k0 + kc == k ? finish : nullptr;
    for (int64_t q0 = 0; q0 < count; q0 += kChunkPanels) {
      const int64_t n = std::min(kChunkPanels, count - q0);
      // Whole panels first, in groups of the tile's width, then the narrow
      // ones, each by columns.
      int64_t wide = 0, narrow = n;
      for (int64_t q = 0; q < n; ++q) {
        const Panel pn = at(q0 + q, k0);
        chunk[pn.cols > kNarrowCols || pn.more > 0 ? wide++ : --narrow] = pn;
      }
      for (int64_t i = m0; i < m1; i += t.rows) {
        const int mr = static_cast<int>(std::min<int64_t>(t.rows, m1 - i));
        pack_rows(a + i * lda + k0, lda, mr, kc, ap);
        const int64_t* off = Table ? offsets + k0 : nullptr;
        // The next eight rows of this depth block, or the first ones of
        // the next (a whole block); only one row where fewer are left.
        const float* pf = ap;
        int64_t pf_ld = 0;
        if (i + t.rows < m1) {
          pf = a + (i + t.rows) * lda + k0;
          pf_ld = i + t.rows + 8 <= m1 ? lda : 0;
        } else if (k0 + kc + kPanelDepthBlock <= k) {
          pf = a + m0 * lda + k0 + kc;
          pf_ld = m1 - m0 >= 8 ? lda : 0;
        }
        // A last panel of one column joins the last whole group.
        int64_t narrow_from = wide;
        const bool join = mr == t.rows && wide % t.panels == 0 && wide > 0 &&
                          n - wide == 1 && chunk[wide].cols == 1;
        for (int64_t q = 0; q < wide; q += t.panels) {
          const int np = static_cast<int>(std::min<int64_t>(t.panels, wide - q));
          if (join && q + np == wide) {
            t.with_one(ap, chunk + q, off, kc, i, ldc, k0 > 0, pf, pf_ld, fin);
            narrow_from = n;
          } else {
            t.by[mr][np](ap, chunk + q, off, kc, i, ldc, k0 > 0, pf, pf_ld, fin);
          }
          pf = ap;
          pf_ld = 0;
        }
        for (int64_t q = narrow_from; q < n; ++q)
          kColumns<Table>[chunk[q].cols](ap, mr, chunk[q], off, kc, i, ldc, k0 > 0, fin);
      }
    }
  }
}

// Depth kk of the first N of NB side-by-side blocks, MR rows each.
template <int MR, int NB, int N>
[[gnu::target("avx512f"), gnu::always_inline]] inline void deep_step(__m512 (&acc)[NB][MR], const float* a,
                                                                    int64_t lda, const int64_t* offsets,
                                                                    const float* base, int64_t kk) {
#pragma GCC unroll 8
  for (int b = 0; b < N; ++b) {
    const int64_t d = b * kPanelDepthBlock + kk;
    const __m512 v = _mm512_loadu_ps(base + offsets[d]);
#pragma GCC unroll 4
    for (int r = 0; r < MR; ++r) acc[b][r] = _mm512_fmadd_ps(_mm512_set1_ps(a[r * lda + d]), v, acc[b][r]);
  }
}

// The side-by-side depth blocks of conv_product_deep: MR rows, NB blocks,
// the last one kc_last deep; one chain per row and block.
template <int MR, int NB>
[[gnu::target("avx512f")]] void deep_avx512(const float* a, int64_t lda, const int64_t* offsets, int64_t kc_last,
                                            const float* base, float* c, int64_t cols, int64_t ldc) {
  __m512 acc[NB][MR];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b)
#pragma GCC unroll 4
    for (int r = 0; r < MR; ++r) acc[b][r] = _mm512_setzero_ps();
  int64_t kk = 0;
  for (; kk < kc_last; ++kk) deep_step<MR, NB, NB>(acc, a, lda, offsets, base, kk);
  for (; kk < kPanelDepthBlock; ++kk) deep_step<MR, NB, NB - 1>(acc, a, lda, offsets, base, kk);
  const auto mask = static_cast<__mmask16>((1u << cols) - 1u);
#pragma GCC unroll 4
  for (int r = 0; r < MR; ++r) {
    __m512 out = acc[0][r];
#pragma GCC unroll 8
    for (int b = 1; b < NB; ++b) out = _mm512_add_ps(out, acc[b][r]);
    _mm512_mask_storeu_ps(c + r * ldc, mask, out);
  }
}

// The AVX2 form: a panel's lanes in H vectors of eight (H = 1 when its
// real columns fit one), MR x NB x H sums in the sixteen registers.
template <int MR, int NB, int H, int N>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void deep_step_avx2(__m256 (&acc)[NB][MR][H], const float* a,
                                                                          int64_t lda, const int64_t* offsets,
                                                                          const float* base, int64_t kk) {
#pragma GCC unroll 8
  for (int b = 0; b < N; ++b) {
    const int64_t d = b * kPanelDepthBlock + kk;
    __m256 v[H];
#pragma GCC unroll 2
    for (int h = 0; h < H; ++h) v[h] = _mm256_loadu_ps(base + offsets[d] + 8 * h);
#pragma GCC unroll 4
    for (int r = 0; r < MR; ++r) {
      const __m256 av = _mm256_broadcast_ss(a + r * lda + d);
#pragma GCC unroll 2
      for (int h = 0; h < H; ++h) acc[b][r][h] = _mm256_fmadd_ps(av, v[h], acc[b][r][h]);
    }
  }
}

template <int MR, int NB, int H>
[[gnu::target("avx2,fma")]] void deep_avx2(const float* a, int64_t lda, const int64_t* offsets, int64_t kc_last,
                                           const float* base, float* c, int64_t cols, int64_t ldc) {
  __m256 acc[NB][MR][H];
#pragma GCC unroll 8
  for (int b = 0; b < NB; ++b)
#pragma GCC unroll 4
    for (int r = 0; r < MR; ++r)
#pragma GCC unroll 2
      for (int h = 0; h < H; ++h) acc[b][r][h] = _mm256_setzero_ps();
  int64_t kk = 0;
  for (; kk < kc_last; ++kk) deep_step_avx2<MR, NB, H, NB>(acc, a, lda, offsets, base, kk);
  for (; kk < kPanelDepthBlock; ++kk) deep_step_avx2<MR, NB, H, NB - 1>(acc, a, lda, offsets, base, kk);
#pragma GCC unroll 4
  for (int r = 0; r < MR; ++r)
#pragma GCC unroll 2
    for (int h = 0; h < H; ++h) {
      __m256 out = acc[0][r][h];
#pragma GCC unroll 8
      for (int b = 1; b < NB; ++b) out = _mm256_add_ps(out, acc[b][r][h]);
      const int64_t n = std::clamp<int64_t>(cols - 8 * h, 0, 8);
      const __m256i lanes =
          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
      _mm256_maskstore_ps(c + r * ldc + 8 * h, lanes, out);
    }
}

using DeepFn = void (*)(const float*, int64_t, const int64_t*, int64_t, const float*, float*, int64_t, int64_t);
// Per form (0: AVX-512, 1 and 2: AVX2 of one or two vectors a panel) by
// rows by blocks.
using DeepTable = std::array<std::array<std::array<DeepFn, kDeepBlocks + 1>, kDeepRows + 1>, 3>;

template <int MR, size_t... B>
constexpr void deep_row(DeepTable& t, std::index_sequence<B...>) {
  ((t[0][MR][B + 2] = &deep_avx512<MR, int(B) + 2>), ...);
  ((t[1][MR][B + 2] = &deep_avx2<MR, int(B) + 2, 1>), ...);
  ((t[2][MR][B + 2] = &deep_avx2<MR, int(B) + 2, 2>), ...);
}

template <size_t... R>
constexpr DeepTable deep_table(std::index_sequence<R...>) {
  DeepTable t{};
  (deep_row<int(R) + 1>(t, std::make_index_sequence<kDeepBlocks - 1>()), ...);
  return t;
}
#endif

}  // namespace

bool conv_product_deep_applies(KernelIsa isa, int64_t rows, int64_t panels, int64_t k) {
#if defined(__x86_64__)
  return isa_has_avx2(isa) && rows >= 1 && rows <= 2 * kDeepRows && panels == 1 && k > kPanelDepthBlock &&
         k <= kDeepBlocks * kPanelDepthBlock;
#else
  (void)isa, (void)rows, (void)panels, (void)k;
  return false;
#endif
}

void conv_product_deep(KernelIsa isa, const float* a, int64_t lda, const int64_t* offsets, int64_t k,
                       const float* base, float* c, int64_t cols, int64_t ldc, int64_t m0, int64_t m1) {
#if defined(__x86_64__)
  static constexpr DeepTable table = deep_table(std::make_index_sequence<kDeepRows>());
  const int64_t blocks = (k + kPanelDepthBlock - 1) / kPanelDepthBlock, kc_last = k - (blocks - 1) * kPanelDepthBlock;
  const int form = isa == KernelIsa::kAvx512 ? 0 : cols > 8 ? 2 : 1;
  // The AVX2 form's sums take at most twelve of its sixteen registers.
  const int64_t rows = form == 0 ? kDeepRows : std::clamp<int64_t>(12 / (blocks * form), 1, kDeepRows);
  for (int64_t i = m0; i < m1; i += rows) {
    const int64_t mr = std::min(rows, m1 - i);
    table[form][mr][blocks](a + i * lda, lda, offsets, kc_last, base, c + i * ldc, cols, ldc);
  }
#else
  (void)isa, (void)a, (void)lda, (void)offsets, (void)k, (void)base, (void)c, (void)cols, (void)ldc, (void)m0, (void)m1;
#endif
}

bool tile_finish_applies(int act) {
  return act == kActNone || act == kActRelu || act == kActAdd || act == kActAddRelu || act == kActClip;
}

bool conv_product_panels(KernelIsa isa, const float* a, int64_t lda, const float* bp, int64_t k, int64_t n,
                         float* c, int64_t ldc, int64_t m0, int64_t m1, int64_t p0, int64_t p1,
                         const TileFinish* finish) {
#if defined(__x86_64__)
  if (const TileSet* t = tiles_for<false>(isa); t != nullptr && k > 0) {
    auto at = [&](int64_t q, int64_t k0) {
      const int64_t p = p0 + q, j0 = p * kPanelWidth;
      return Panel{bp + p * k * kPanelWidth + k0 * kPanelWidth, c + j0, std::min(kPanelWidth, n - j0)};
    };
    run<false>(*t, a, lda, nullptr, k, p1 - p0, at, ldc, m0, m1, finish);
    return finish != nullptr;
  }
#else
  (void)finish;
#endif
  panel_gemm(a, lda, gathered_panels(bp, k), k, n, c, ldc, m0, m1, p0, p1);
  return false;
}

bool conv_product_offsets(KernelIsa isa, const float* a, int64_t lda, const int64_t* offsets, int64_t k,
                          const ConvPanel* panels, int64_t count, int64_t ldc, int64_t m0, int64_t m1,
                          const TileFinish* finish) {
#if defined(__x86_64__)
  if (const TileSet* t = tiles_for<true>(isa); t != nullptr && k > 0) {
    run<true>(*t, a, lda, offsets, k, count, [&](int64_t q, int64_t) { return panels[q]; }, ldc, m0, m1,
              finish);
    return finish != nullptr;
  }
#else
  (void)finish;
#endif
  // The other forms get no panels that span rows.
  OffsetPanel list[16];
  for (int64_t q0 = 0; q0 < count; q0 += 16) {
    const int64_t n = std::min<int64_t>(16, count - q0);
    for (int64_t q = 0; q < n; ++q) list[q] = {panels[q0 + q].base, panels[q0 + q].c, panels[q0 + q].cols};
    panel_gemm_offsets(a, lda, offsets, k, list, n, ldc, m0, m1);
  }
  return false;
}

}  // namespace vorn::kern
