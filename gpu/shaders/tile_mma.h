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

#include <cstddef>
#include <cstdint>

#include "platform/cpu_features.h"

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

}  // namespace vorn::shaders
