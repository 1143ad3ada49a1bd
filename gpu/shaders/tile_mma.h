// The multiply-accumulate of the matrix and attention tiles: acc[r][c] +=
// x[r][k] w[k][c] for k = 0, 1, ... in order, a multiply then an add, each
// rounded in float. That is what an 8 x 8 fragment product does to each of
// its outputs, so every tile shape gives each output the same value.
//
// The AVX2 form holds two rows of 32 columns in eight registers across the
// whole k loop, the AVX-512 form four rows; the portable form is the plain
// loop. Same bits either way.
#pragma once
#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/cpu_features.h"
#include "platform/panel_gemm.h"

namespace vorn::shaders {

// rows x columns outputs; x rows are x_stride floats apart, w rows (one per
// k) w_stride apart, acc rows acc_stride apart.
inline void tile_mma_portable(const float* x, size_t x_stride, const float* w, size_t w_stride,
                              size_t k_count, float* acc, size_t acc_stride, size_t rows, size_t columns) {
  for (size_t r = 0; r < rows; ++r)
    for (size_t k = 0; k < k_count; ++k) {
      const float a = x[r * x_stride + k];
      for (size_t c = 0; c < columns; ++c)
        acc[r * acc_stride + c] = acc[r * acc_stride + c] + a * w[k * w_stride + c];
    }
}

#if defined(__x86_64__)
// rows even, columns a multiple of 32.
__attribute__((target("avx2"))) inline void tile_mma_avx2(const float* x, size_t x_stride, const float* w,
                                                          size_t w_stride, size_t k_count, float* acc,
                                                          size_t acc_stride, size_t rows, size_t columns) {
  for (size_t r = 0; r < rows; r += 2) {
    const float* x0 = x + r * x_stride;
    const float* x1 = x0 + x_stride;
    for (size_t c = 0; c < columns; c += 32) {
      float* out0 = acc + r * acc_stride + c;
      float* out1 = out0 + acc_stride;
      __m256 a0 = _mm256_loadu_ps(out0), a1 = _mm256_loadu_ps(out0 + 8), a2 = _mm256_loadu_ps(out0 + 16),
             a3 = _mm256_loadu_ps(out0 + 24);
      __m256 b0 = _mm256_loadu_ps(out1), b1 = _mm256_loadu_ps(out1 + 8), b2 = _mm256_loadu_ps(out1 + 16),
             b3 = _mm256_loadu_ps(out1 + 24);
      const float* wk = w + c;
      for (size_t k = 0; k < k_count; ++k, wk += w_stride) {
        const __m256 w0 = _mm256_loadu_ps(wk), w1 = _mm256_loadu_ps(wk + 8), w2 = _mm256_loadu_ps(wk + 16),
                     w3 = _mm256_loadu_ps(wk + 24);
        const __m256 s = _mm256_broadcast_ss(x0 + k), t = _mm256_broadcast_ss(x1 + k);
        a0 = _mm256_add_ps(a0, _mm256_mul_ps(s, w0));
        a1 = _mm256_add_ps(a1, _mm256_mul_ps(s, w1));
        a2 = _mm256_add_ps(a2, _mm256_mul_ps(s, w2));
        a3 = _mm256_add_ps(a3, _mm256_mul_ps(s, w3));
        b0 = _mm256_add_ps(b0, _mm256_mul_ps(t, w0));
        b1 = _mm256_add_ps(b1, _mm256_mul_ps(t, w1));
        b2 = _mm256_add_ps(b2, _mm256_mul_ps(t, w2));
        b3 = _mm256_add_ps(b3, _mm256_mul_ps(t, w3));
      }
      _mm256_storeu_ps(out0, a0);
      _mm256_storeu_ps(out0 + 8, a1);
      _mm256_storeu_ps(out0 + 16, a2);
      _mm256_storeu_ps(out0 + 24, a3);
      _mm256_storeu_ps(out1, b0);
      _mm256_storeu_ps(out1 + 8, b1);
      _mm256_storeu_ps(out1 + 16, b2);
      _mm256_storeu_ps(out1 + 24, b3);
    }
  }
}

// rows a multiple of four, columns a multiple of 32: four rows of 32
// columns in eight registers of sixteen lanes, twice the work of an AVX2
// step per instruction, each output still a multiply then an add per k.
__attribute__((target("avx512f"))) inline void tile_mma_avx512(const float* x, size_t x_stride, const float* w,
                                                               size_t w_stride, size_t k_count, float* acc,
                                                               size_t acc_stride, size_t rows, size_t columns) {
  for (size_t r = 0; r < rows; r += 4) {
    const float* x0 = x + r * x_stride;
    const float* x1 = x0 + x_stride;
    const float* x2 = x1 + x_stride;
    const float* x3 = x2 + x_stride;
    for (size_t c = 0; c < columns; c += 32) {
      float* out0 = acc + r * acc_stride + c;
      float* out1 = out0 + acc_stride;
      float* out2 = out1 + acc_stride;
      float* out3 = out2 + acc_stride;
      __m512 a0 = _mm512_loadu_ps(out0), a1 = _mm512_loadu_ps(out0 + 16);
      __m512 b0 = _mm512_loadu_ps(out1), b1 = _mm512_loadu_ps(out1 + 16);
      __m512 c0 = _mm512_loadu_ps(out2), c1 = _mm512_loadu_ps(out2 + 16);
      __m512 d0 = _mm512_loadu_ps(out3), d1 = _mm512_loadu_ps(out3 + 16);
      const float* wk = w + c;
      for (size_t k = 0; k < k_count; ++k, wk += w_stride) {
        const __m512 w0 = _mm512_loadu_ps(wk), w1 = _mm512_loadu_ps(wk + 16);
        const __m512 s = _mm512_set1_ps(x0[k]), t = _mm512_set1_ps(x1[k]);
        const __m512 u = _mm512_set1_ps(x2[k]), v = _mm512_set1_ps(x3[k]);
        a0 = _mm512_add_ps(a0, _mm512_mul_ps(s, w0));
        a1 = _mm512_add_ps(a1, _mm512_mul_ps(s, w1));
        b0 = _mm512_add_ps(b0, _mm512_mul_ps(t, w0));
        b1 = _mm512_add_ps(b1, _mm512_mul_ps(t, w1));
        c0 = _mm512_add_ps(c0, _mm512_mul_ps(u, w0));
        c1 = _mm512_add_ps(c1, _mm512_mul_ps(u, w1));
        d0 = _mm512_add_ps(d0, _mm512_mul_ps(v, w0));
        d1 = _mm512_add_ps(d1, _mm512_mul_ps(v, w1));
      }
      _mm512_storeu_ps(out0, a0);
      _mm512_storeu_ps(out0 + 16, a1);
      _mm512_storeu_ps(out1, b0);
      _mm512_storeu_ps(out1 + 16, b1);
      _mm512_storeu_ps(out2, c0);
      _mm512_storeu_ps(out2 + 16, c1);
      _mm512_storeu_ps(out3, d0);
      _mm512_storeu_ps(out3 + 16, d1);
    }
  }
}
#endif

// The widest vector form when vector is set and the shape allows it.
inline void tile_mma(bool vector, const float* x, size_t x_stride, const float* w, size_t w_stride,
                     size_t k_count, float* acc, size_t acc_stride, size_t rows, size_t columns) {
#if defined(__x86_64__)
  if (vector && rows % 4 == 0 && columns % 32 == 0 && cpu_has_avx512f())
    return tile_mma_avx512(x, x_stride, w, w_stride, k_count, acc, acc_stride, rows, columns);
  if (vector && rows % 2 == 0 && columns % 32 == 0)
    return tile_mma_avx2(x, x_stride, w, w_stride, k_count, acc, acc_stride, rows, columns);
#endif
  (void)vector;
  tile_mma_portable(x, x_stride, w, w_stride, k_count, acc, acc_stride, rows, columns);
}

#if defined(__x86_64__)
// Eight rows of C by two whole gathered panels over kc depth rows of one
// block: each output summed from zero, one fused multiply-add per k in
// order (the sums of panel_gemm's tiles), then stored, or added to C once
// the block is not the first. Sixteen depths a step, the panels' rows at
// fixed offsets: the loop keeps every pointer in a register, where a
// variable row step spilled them (about 6% of the products of a prompt).
[[gnu::target("avx512f")]] inline void pair_block_avx512(const float* a, int64_t lda, const float* b0,
                                                        const float* b1, int64_t kc, float* c, int64_t ldc,
                                                        bool accumulate) {
  constexpr int64_t step = kPanelWidth;
  __m512 x0[8], x1[8];
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) x0[r] = x1[r] = _mm512_setzero_ps();
  int64_t kk = 0;
  for (; kk + 16 <= kc; kk += 16) {
#pragma GCC unroll 16
    for (int u = 0; u < 16; ++u) {
      const __m512 w0 = _mm512_loadu_ps(b0 + (kk + u) * step), w1 = _mm512_loadu_ps(b1 + (kk + u) * step);
#pragma GCC unroll 8
      for (int r = 0; r < 8; ++r) {
        const __m512 av = _mm512_set1_ps(a[r * lda + kk + u]);
        x0[r] = _mm512_fmadd_ps(av, w0, x0[r]);
        x1[r] = _mm512_fmadd_ps(av, w1, x1[r]);
      }
    }
  }
  for (; kk < kc; ++kk) {
    const __m512 w0 = _mm512_loadu_ps(b0 + kk * step), w1 = _mm512_loadu_ps(b1 + kk * step);
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) {
      const __m512 av = _mm512_set1_ps(a[r * lda + kk]);
      x0[r] = _mm512_fmadd_ps(av, w0, x0[r]);
      x1[r] = _mm512_fmadd_ps(av, w1, x1[r]);
    }
  }
#pragma GCC unroll 8
  for (int r = 0; r < 8; ++r) {
    float* cr = c + r * ldc;
    if (accumulate) {
      x0[r] = _mm512_add_ps(_mm512_loadu_ps(cr), x0[r]);
      x1[r] = _mm512_add_ps(_mm512_loadu_ps(cr + kPanelWidth), x1[r]);
    }
    _mm512_storeu_ps(cr, x0[r]);
    _mm512_storeu_ps(cr + kPanelWidth, x1[r]);
  }
}

// The same sums for six rows by one whole gathered panel in two halves of
// eight lanes, the tile of the AVX2 form.
[[gnu::target("avx2,fma")]] inline void panel_block_avx2(const float* a, int64_t lda, const float* b, int64_t kc,
                                                         float* c, int64_t ldc, bool accumulate) {
  constexpr int64_t step = kPanelWidth;
  __m256 lo[6], hi[6];
#pragma GCC unroll 6
  for (int r = 0; r < 6; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
  int64_t kk = 0;
  for (; kk + 8 <= kc; kk += 8) {
#pragma GCC unroll 8
    for (int u = 0; u < 8; ++u) {
      const __m256 w0 = _mm256_loadu_ps(b + (kk + u) * step), w1 = _mm256_loadu_ps(b + (kk + u) * step + 8);
#pragma GCC unroll 6
      for (int r = 0; r < 6; ++r) {
        const __m256 av = _mm256_broadcast_ss(a + r * lda + kk + u);
        lo[r] = _mm256_fmadd_ps(av, w0, lo[r]);
        hi[r] = _mm256_fmadd_ps(av, w1, hi[r]);
      }
    }
  }
  for (; kk < kc; ++kk) {
    const __m256 w0 = _mm256_loadu_ps(b + kk * step), w1 = _mm256_loadu_ps(b + kk * step + 8);
#pragma GCC unroll 6
    for (int r = 0; r < 6; ++r) {
      const __m256 av = _mm256_broadcast_ss(a + r * lda + kk);
      lo[r] = _mm256_fmadd_ps(av, w0, lo[r]);
      hi[r] = _mm256_fmadd_ps(av, w1, hi[r]);
    }
  }
#pragma GCC unroll 6
  for (int r = 0; r < 6; ++r) {
    float* cr = c + r * ldc;
    if (accumulate) {
      lo[r] = _mm256_add_ps(_mm256_loadu_ps(cr), lo[r]);
      hi[r] = _mm256_add_ps(_mm256_loadu_ps(cr + 8), hi[r]);
    }
    _mm256_storeu_ps(cr, lo[r]);
    _mm256_storeu_ps(cr + 8, hi[r]);
  }
}

// The same sums for two rows by two whole gathered panels: the two rows
// left below the tiles of six (an attention block of 32 rows), where a
// tile of two rows by one panel waits on its four accumulators' latency.
[[gnu::target("avx2,fma")]] inline void two_rows_pair_avx2(const float* a, int64_t lda, const float* b0,
                                                            const float* b1, int64_t kc, float* c, int64_t ldc,
                                                            bool accumulate) {
  constexpr int64_t step = kPanelWidth;
  __m256 acc[2][4];
#pragma GCC unroll 2
  for (int r = 0; r < 2; ++r)
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) acc[r][j] = _mm256_setzero_ps();
  for (int64_t kk = 0; kk < kc; ++kk) {
    const __m256 w0 = _mm256_loadu_ps(b0 + kk * step), w1 = _mm256_loadu_ps(b0 + kk * step + 8),
                 w2 = _mm256_loadu_ps(b1 + kk * step), w3 = _mm256_loadu_ps(b1 + kk * step + 8);
#pragma GCC unroll 2
    for (int r = 0; r < 2; ++r) {
      const __m256 av = _mm256_broadcast_ss(a + r * lda + kk);
      acc[r][0] = _mm256_fmadd_ps(av, w0, acc[r][0]);
      acc[r][1] = _mm256_fmadd_ps(av, w1, acc[r][1]);
      acc[r][2] = _mm256_fmadd_ps(av, w2, acc[r][2]);
      acc[r][3] = _mm256_fmadd_ps(av, w3, acc[r][3]);
    }
  }
#pragma GCC unroll 2
  for (int r = 0; r < 2; ++r) {
    float* cr = c + r * ldc;
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
      float* cj = cr + (j / 2) * kPanelWidth + (j % 2) * 8;
      if (accumulate) acc[r][j] = _mm256_add_ps(_mm256_loadu_ps(cj), acc[r][j]);
      _mm256_storeu_ps(cj, acc[r][j]);
    }
  }
}
#endif

// panel_gemm(a, lda, b, k, n, c, ldc, m0, m1, p0, p1) with its bits: the
// whole tiles of whole panels by the tiles above (eight rows by a pair of
// panels in the widest form, six rows by one under AVX2), in rows of this
// many at a time, whose depth block stays in the first-level cache while
// the panels pass; what is left, and the portable form, by panel_gemm.
constexpr int64_t kPairChunkRows = 24;

inline void panel_product(const float* a, int64_t lda, const PanelOperand& b, int64_t k, int64_t n, float* c,
                          int64_t ldc, int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
#if defined(__x86_64__)
  if (k > 0 && b.row_stride == kPanelWidth && cpu_has_avx512f()) {
    const int64_t whole = std::min(p1, n / kPanelWidth);
    const int64_t q1 = p0 + std::max<int64_t>(0, whole - p0) / 2 * 2;
    const int64_t i1 = m0 + (m1 - m0) / 8 * 8;
    if (q1 > p0 && i1 > m0) {
      for (int64_t c0 = m0; c0 < i1; c0 += kPairChunkRows) {
        const int64_t c1 = std::min(i1, c0 + kPairChunkRows);
        for (int64_t k0 = 0; k0 < k; k0 += kPanelDepthBlock) {
          const int64_t kc = std::min(kPanelDepthBlock, k - k0);
          for (int64_t q = p0; q < q1; q += 2) {
            const float* b0 = b.data + q * b.panel_stride + k0 * b.row_stride;
            for (int64_t i = c0; i < c1; i += 8)
              pair_block_avx512(a + i * lda + k0, lda, b0, b0 + b.panel_stride, kc, c + i * ldc + q * kPanelWidth,
                                ldc, k0 > 0);
          }
        }
      }
      if (q1 < p1) panel_gemm(a, lda, b, k, n, c, ldc, m0, i1, q1, p1);
      if (i1 < m1) panel_gemm(a, lda, b, k, n, c, ldc, i1, m1, p0, p1);
      return;
    }
  } else if (k > 0 && b.row_stride == kPanelWidth && cpu_has_avx2_fma()) {
    const int64_t q1 = std::max(p0, std::min(p1, n / kPanelWidth));
    const int64_t i1 = m0 + (m1 - m0) / 6 * 6;
    if (q1 > p0 && i1 > m0) {
      // Two rows left below the tiles (an attention block of 32) take
      // whole panels two at a time with the last chunk, while each pair's
      // depth block is still in the first-level cache.
      const bool two = m1 - i1 == 2;
      const int64_t q2 = two ? p0 + (q1 - p0) / 2 * 2 : p0;
      for (int64_t c0 = m0; c0 < i1; c0 += kPairChunkRows) {
        const int64_t c1 = std::min(i1, c0 + kPairChunkRows);
        for (int64_t k0 = 0; k0 < k; k0 += kPanelDepthBlock) {
          const int64_t kc = std::min(kPanelDepthBlock, k - k0);
          for (int64_t q = p0; q < q1; ++q) {
            const float* bq = b.data + q * b.panel_stride + k0 * b.row_stride;
            for (int64_t i = c0; i < c1; i += 6)
              panel_block_avx2(a + i * lda + k0, lda, bq, kc, c + i * ldc + q * kPanelWidth, ldc, k0 > 0);
            if (c1 == i1 && q < q2 && (q - p0) % 2 == 1)
              two_rows_pair_avx2(a + i1 * lda + k0, lda, bq - b.panel_stride, bq, kc,
                                 c + i1 * ldc + (q - 1) * kPanelWidth, ldc, k0 > 0);
          }
        }
      }
      if (q1 < p1) panel_gemm(a, lda, b, k, n, c, ldc, m0, i1, q1, p1);
      if (i1 < m1 && q2 < p1) panel_gemm(a, lda, b, k, n, c, ldc, i1, m1, q2, p1);
      return;
    }
  }
#endif
  panel_gemm(a, lda, b, k, n, c, ldc, m0, m1, p0, p1);
}

}  // namespace vorn::shaders
