#include "cpu/kernels/panel_gemm.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/blas.h"
#include "platform/cpu_features.h"

namespace vorn {
namespace kern {

namespace {

// The product runs over k in blocks of kDepthBlock rows, so the block of
// one panel (16 KiB) stays in the first-level cache while every row block
// of A passes it; C is re-read once per block. The blocks are fixed by k
// alone, never by the rectangle computed, so every split sums in one order.
constexpr int64_t kDepthBlock = 256;
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

// Stores a register tile held in tmp: columns [0, cols) of MR rows.
template <int MR, int W>
inline void store_columns(const float (&tmp)[MR][W], float* c, int64_t ldc, bool accumulate, int64_t cols) {
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    for (int64_t j = 0; j < cols; ++j) cr[j] = accumulate ? cr[j] + tmp[r][j] : tmp[r][j];
  }
}

// One register tile: rows r of C (r < MR), columns [0, cols) of one
// panel, over kc rows of the panel; adds to C when accumulate is set,
// stores otherwise.
template <int MR, class Rows>
void tile_portable(const float* a, int64_t lda, Rows rows, int64_t kc, float* c, int64_t ldc, bool accumulate,
                   int64_t cols) {
  float acc[MR][kPanelWidth] = {};
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* bk = rows.row(kk);
    for (int r = 0; r < MR; ++r) {
      const float av = a[r * lda + kk];
      for (int j = 0; j < kPanelWidth; ++j) acc[r][j] += av * bk[j];
    }
  }
  store_columns<MR, kPanelWidth>(acc, c, ldc, accumulate, cols);
}

#if defined(__x86_64__)
// The left half of a panel, for a panel of at most 8 real columns: half
// the multiply-adds of a whole one.
template <int MR, class Rows>
[[gnu::target("avx2,fma")]] void half_tile_avx2(const float* a, int64_t lda, Rows rows, int64_t kc, float* c,
                                                int64_t ldc, bool accumulate, int64_t cols) {
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
  store_columns<MR, 8>(tmp, c, ldc, accumulate, cols);
}

template <int MR, class Rows>
[[gnu::target("avx2,fma")]] void tile_avx2(const float* a, int64_t lda, Rows rows, int64_t kc, float* c,
                                           int64_t ldc, bool accumulate, int64_t cols) {
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
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) {
      float* cr = c + r * ldc;
      __m256 l = lo[r], h = hi[r];
      if (accumulate) {
        l = _mm256_add_ps(_mm256_loadu_ps(cr), l);
        h = _mm256_add_ps(_mm256_loadu_ps(cr + 8), h);
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
  store_columns<MR, kPanelWidth>(tmp, c, ldc, accumulate, cols);
}
#endif

template <class Rows>
using TileFn = void (*)(const float*, int64_t, Rows, int64_t, float*, int64_t, bool, int64_t);

// Register tiles by row count; narrow[] serves panels of at most 8 real
// columns.
template <class Rows>
struct TileSet {
  TileFn<Rows> by_rows[kTileRows + 1];
  TileFn<Rows> narrow[kTileRows + 1];

  // The tile for rows x cols.
  TileFn<Rows> pick(int rows, int64_t cols) const {
    return cols <= kPanelWidth / 2 ? narrow[rows] : by_rows[rows];
  }
};

template <class Rows>
constexpr TileSet<Rows> portable_set() {
  return {{nullptr, &tile_portable<1, Rows>, &tile_portable<2, Rows>, &tile_portable<3, Rows>,
           &tile_portable<4, Rows>, &tile_portable<5, Rows>, &tile_portable<6, Rows>},
          {nullptr, &tile_portable<1, Rows>, &tile_portable<2, Rows>, &tile_portable<3, Rows>,
           &tile_portable<4, Rows>, &tile_portable<5, Rows>, &tile_portable<6, Rows>}};
}

#if defined(__x86_64__)
template <class Rows>
constexpr TileSet<Rows> avx2_set() {
  return {{nullptr, &tile_avx2<1, Rows>, &tile_avx2<2, Rows>, &tile_avx2<3, Rows>, &tile_avx2<4, Rows>,
           &tile_avx2<5, Rows>, &tile_avx2<6, Rows>},
          {nullptr, &half_tile_avx2<1, Rows>, &half_tile_avx2<2, Rows>, &half_tile_avx2<3, Rows>,
           &half_tile_avx2<4, Rows>, &half_tile_avx2<5, Rows>, &half_tile_avx2<6, Rows>}};
}
#endif

template <class Rows>
const TileSet<Rows>& tiles_for(bool portable_only) {
  static constexpr TileSet<Rows> portable = portable_set<Rows>();
#if defined(__x86_64__)
  static constexpr TileSet<Rows> avx2 = avx2_set<Rows>();
  if (!portable_only && cpu_has_avx2_fma()) return avx2;
#endif
  (void)portable_only;
  return portable;
}

void clear_columns(float* c, int64_t ldc, int64_t m0, int64_t m1, int64_t cols) {
  for (int64_t i = m0; i < m1; ++i) std::memset(c + i * ldc, 0, static_cast<size_t>(cols) * sizeof(float));
}

}  // namespace

void panel_gemm(const float* a, int64_t lda, const PanelOperand& bp, int64_t k, int64_t n, float* c, int64_t ldc,
                int64_t m0, int64_t m1, int64_t p0, int64_t p1, bool portable_only) {
  const TileSet<StepRows>& t = tiles_for<StepRows>(portable_only);
  for (int64_t p = p0; k == 0 && p < p1; ++p)
    clear_columns(c + p * kPanelWidth, ldc, m0, m1, std::min(kPanelWidth, n - p * kPanelWidth));
  for (int64_t k0 = 0; k0 < k; k0 += kDepthBlock) {
    const int64_t kc = std::min(kDepthBlock, k - k0);
    for (int64_t p = p0; p < p1; ++p) {
      const StepRows rows{bp.data + p * bp.panel_stride + k0 * bp.row_stride, bp.row_stride};
      const int64_t j0 = p * kPanelWidth, cols = std::min(kPanelWidth, n - j0);
      for (int64_t i = m0; i < m1; i += kTileRows) {
        const int mr = static_cast<int>(std::min<int64_t>(kTileRows, m1 - i));
        t.pick(mr, cols)(a + i * lda + k0, lda, rows, kc, c + i * ldc + j0, ldc, k0 > 0, cols);
      }
    }
  }
}

void panel_gemm_offsets(const float* a, int64_t lda, const int64_t* offsets, int64_t k, const OffsetPanel* panels,
                        int64_t count, int64_t ldc, int64_t m0, int64_t m1, bool portable_only) {
  const TileSet<TableRows>& t = tiles_for<TableRows>(portable_only);
  for (int64_t p = 0; k == 0 && p < count; ++p) clear_columns(panels[p].c, ldc, m0, m1, panels[p].cols);
  for (int64_t k0 = 0; k0 < k; k0 += kDepthBlock) {
    const int64_t kc = std::min(kDepthBlock, k - k0);
    for (int64_t p = 0; p < count; ++p) {
      const TableRows rows{panels[p].base, offsets + k0};
      for (int64_t i = m0; i < m1; i += kTileRows) {
        const int mr = static_cast<int>(std::min<int64_t>(kTileRows, m1 - i));
        t.pick(mr, panels[p].cols)(a + i * lda + k0, lda, rows, kc, panels[p].c + i * ldc, ldc, k0 > 0,
                                   panels[p].cols);
      }
    }
  }
}

PanelSplit plan_panel_split(int64_t m, int64_t panels, int64_t threads) {
  const int64_t max_rb = std::max<int64_t>(1, (m + 5) / 6);
  const int64_t want = std::max<int64_t>(1, 2 * threads);
  PanelSplit best;
  double best_cost = -1.0;
  for (int64_t g = 1; g <= panels; ++g) {
    const int64_t groups = g, group = (panels + groups - 1) / groups;
    if ((groups - 1) * group >= panels) continue;  // the same cut as a smaller g
    // Panels of a group share each depth block in the second-level cache.
    if (group > 16) continue;
    const int64_t rb = std::clamp<int64_t>((want + groups - 1) / groups, 1, max_rb);
    const double cost = double(groups) * double(m) + double(rb) * double(panels) * kPanelWidth;
    if (best_cost < 0 || cost < best_cost) {
      best_cost = cost;
      best.rb = rb;
      best.group = group;
      best.groups = groups;
    }
  }
  if (best_cost < 0) {  // more than 16 panels in every cut above
    best.group = 16;
    best.groups = (panels + 15) / 16;
    best.rb = std::clamp<int64_t>((want + best.groups - 1) / best.groups, 1, max_rb);
  }
  best.rows = ((m + best.rb - 1) / best.rb + 5) / 6 * 6;
  best.rb = (m + best.rows - 1) / best.rows;
  return best;
}

// Products below this many multiply-adds run on the calling thread.
constexpr int64_t kProductParallelWork = int64_t{1} << 18;

void panel_product(const float* a, int64_t lda, const float* b, int64_t ldb, int64_t m, int64_t n, int64_t k,
                   float* c, int64_t ldc) {
  const int64_t full = n / kPanelWidth, tail = n - full * kPanelWidth;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  const bool par = threads > 1 && m * n * k >= kProductParallelWork;
  // Rectangles of the whole panels, which the pool may cut any way; the
  // columns of a partial last panel would read past B's rows in place, so
  // they go to the BLAS library as one product of every row, the same call
  // whatever the pool.
  const PanelSplit sp = full > 0 ? plan_panel_split(m, full, par ? threads : 1) : PanelSplit{};
  const int64_t rectangles = full > 0 ? sp.rb * sp.groups : 0;
  const int64_t units = rectangles + (tail > 0 ? 1 : 0);
  auto unit = [&](size_t u) {
    if (static_cast<int64_t>(u) == rectangles) {
      cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, m, tail, k, 1.0f, a, lda,
                          b + full * kPanelWidth, ldb, 0.0f, c + full * kPanelWidth, ldc);
      return;
    }
    const int64_t rb = static_cast<int64_t>(u) % sp.rb, gi = static_cast<int64_t>(u) / sp.rb;
    const int64_t m0 = rb * sp.rows, m1 = std::min(m, m0 + sp.rows);
    const int64_t p0 = gi * sp.group, p1 = std::min(full, p0 + sp.group);
    if (m0 < m1 && p0 < p1) panel_gemm(a, lda, PanelOperand{b, ldb, kPanelWidth}, k, n, c, ldc, m0, m1, p0, p1);
  };
  if (par && units > 1)
    parallel_for(static_cast<size_t>(units), unit);
  else
    for (int64_t u = 0; u < units; ++u) unit(static_cast<size_t>(u));
}

}  // namespace kern
}  // namespace vorn
