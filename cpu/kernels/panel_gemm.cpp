#include "cpu/kernels/panel_gemm.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

// One register tile: rows r of C (r < MR), columns [0, cols) of one
// panel, over kc rows of the panel starting at b; adds to C when
// accumulate is set, stores otherwise.
template <int MR>
void tile_portable(const float* a, int64_t lda, const float* b, int64_t ldb, int64_t kc, float* c, int64_t ldc,
                   bool accumulate, int64_t cols) {
  float acc[MR][kPanelWidth] = {};
  for (int64_t kk = 0; kk < kc; ++kk) {
    const float* bk = b + kk * ldb;
    for (int r = 0; r < MR; ++r) {
      const float av = a[r * lda + kk];
      for (int j = 0; j < kPanelWidth; ++j) acc[r][j] += av * bk[j];
    }
  }
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    for (int64_t j = 0; j < cols; ++j) cr[j] = accumulate ? cr[j] + acc[r][j] : acc[r][j];
  }
}

#if defined(__x86_64__)
// The left half of a panel, for a last panel of at most 8 real columns:
// half the multiply-adds of a whole one.
template <int MR>
[[gnu::target("avx2,fma")]] void half_tile_avx2(const float* a, int64_t lda, const float* b, int64_t ldb, int64_t kc,
                                                float* c, int64_t ldc, bool accumulate, int64_t cols) {
  __m256 acc[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) acc[r] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m256 b0 = _mm256_loadu_ps(b);
    b += ldb;
#pragma GCC unroll 8
    for (int r = 0; r < MR; ++r) acc[r] = _mm256_fmadd_ps(_mm256_broadcast_ss(a + r * lda + kk), b0, acc[r]);
  }
  alignas(32) float tmp[MR][8];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) _mm256_store_ps(tmp[r], acc[r]);
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    for (int64_t j = 0; j < cols; ++j) cr[j] = accumulate ? cr[j] + tmp[r][j] : tmp[r][j];
  }
}

template <int MR>
[[gnu::target("avx2,fma")]] void tile_avx2(const float* a, int64_t lda, const float* b, int64_t ldb, int64_t kc,
                                           float* c, int64_t ldc, bool accumulate, int64_t cols) {
  // The accumulators must stay in registers: every loop over them has a
  // constant trip count and is unrolled, and nothing takes their address.
  __m256 lo[MR], hi[MR];
#pragma GCC unroll 8
  for (int r = 0; r < MR; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m256 b0 = _mm256_loadu_ps(b), b1 = _mm256_loadu_ps(b + 8);
    b += ldb;
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
  for (int r = 0; r < MR; ++r) {
    float* cr = c + r * ldc;
    for (int64_t j = 0; j < cols; ++j) cr[j] = accumulate ? cr[j] + tmp[r][j] : tmp[r][j];
  }
}
#endif

using TileFn = void (*)(const float*, int64_t, const float*, int64_t, int64_t, float*, int64_t, bool, int64_t);

// Register tiles by row count; narrow[] (may be null) serves panels of at
// most 8 real columns.
struct TileSet {
  TileFn by_rows[kTileRows + 1];
  TileFn narrow[kTileRows + 1];
};

template <template <int> class Form>
constexpr TileSet tile_set() {
  return TileSet{{nullptr, Form<1>::fn, Form<2>::fn, Form<3>::fn, Form<4>::fn, Form<5>::fn, Form<6>::fn},
                 {nullptr, Form<1>::half, Form<2>::half, Form<3>::half, Form<4>::half, Form<5>::half,
                  Form<6>::half}};
}

template <int MR>
struct Portable {
  static constexpr TileFn fn = &tile_portable<MR>;
  static constexpr TileFn half = &tile_portable<MR>;
};
constexpr TileSet kPortable = tile_set<Portable>();

#if defined(__x86_64__)
template <int MR>
struct Avx2 {
  static constexpr TileFn fn = &tile_avx2<MR>;
  static constexpr TileFn half = &half_tile_avx2<MR>;
};
constexpr TileSet kAvx2 = tile_set<Avx2>();
#endif

const TileSet& tiles_for(bool portable_only) {
#if defined(__x86_64__)
  if (!portable_only && cpu_has_avx2_fma()) return kAvx2;
#endif
  (void)portable_only;
  return kPortable;
}

}  // namespace

void panel_gemm(const float* a, int64_t lda, const PanelOperand& bp, int64_t k, int64_t n, float* c, int64_t ldc,
                int64_t m0, int64_t m1, int64_t p0, int64_t p1, bool portable_only) {
  const TileSet& t = tiles_for(portable_only);
  if (k == 0) {
    for (int64_t i = m0; i < m1; ++i)
      for (int64_t p = p0; p < p1; ++p) {
        const int64_t j0 = p * kPanelWidth, cols = std::min(kPanelWidth, n - j0);
        std::memset(c + i * ldc + j0, 0, static_cast<size_t>(cols) * sizeof(float));
      }
    return;
  }
  for (int64_t k0 = 0; k0 < k; k0 += kDepthBlock) {
    const int64_t kc = std::min(kDepthBlock, k - k0);
    const bool accumulate = k0 > 0;
    for (int64_t p = p0; p < p1; ++p) {
      const float* b = bp.data + p * bp.panel_stride + k0 * bp.row_stride;
      const int64_t j0 = p * kPanelWidth, cols = std::min(kPanelWidth, n - j0);
      const TileFn* fns = cols <= kPanelWidth / 2 ? t.narrow : t.by_rows;
      for (int64_t i = m0; i < m1; i += kTileRows) {
        const int rows = static_cast<int>(std::min<int64_t>(kTileRows, m1 - i));
        fns[rows](a + i * lda + k0, lda, b, bp.row_stride, kc, c + i * ldc + j0, ldc, accumulate, cols);
      }
    }
  }
}

}  // namespace kern
}  // namespace vorn
