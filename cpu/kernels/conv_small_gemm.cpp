// Product of a small weight block by a narrow column matrix, for the
// partitions of grouped convolutions: a few dozen output channels by a few
// dozen positions, where a BLAS call spends more on its set-up and packing
// than on the arithmetic. Both operands stay in the L1/L2 caches, so the
// kernel reads them in place: six rows of C by two vectors of columns per
// pass, every output summed over k in order with fused multiply-adds.
#include <algorithm>
#include <cstdint>

#include "cpu/kernels/conv.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::kern {

namespace {

#if defined(__x86_64__)
bool avx2_fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}

[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i lanes_below(int64_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// R rows of C from row m, columns [n0, n0 + 16) of which the first cols
// are kept (cols <= 16).
template <int R>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void block(int64_t k, const float* a, int64_t lda,
                                                                  const float* b, int64_t ldb, float* c,
                                                                  int64_t ldc, int64_t cols) {
  __m256 acc0[R], acc1[R];
  for (int r = 0; r < R; ++r) acc0[r] = acc1[r] = _mm256_setzero_ps();
  if (cols == 16) {
    for (int64_t t = 0; t < k; ++t) {
      const __m256 b0 = _mm256_loadu_ps(b + t * ldb), b1 = _mm256_loadu_ps(b + t * ldb + 8);
      for (int r = 0; r < R; ++r) {
        const __m256 av = _mm256_broadcast_ss(a + r * lda + t);
        acc0[r] = _mm256_fmadd_ps(av, b0, acc0[r]);
        acc1[r] = _mm256_fmadd_ps(av, b1, acc1[r]);
      }
    }
    for (int r = 0; r < R; ++r) {
      _mm256_storeu_ps(c + r * ldc, acc0[r]);
      _mm256_storeu_ps(c + r * ldc + 8, acc1[r]);
    }
    return;
  }
  // Ragged edge: masked loads never touch the columns past the matrix.
  const __m256i m0 = lanes_below(cols), m1 = lanes_below(cols - 8);
  for (int64_t t = 0; t < k; ++t) {
    const __m256 b0 = _mm256_maskload_ps(b + t * ldb, m0), b1 = _mm256_maskload_ps(b + t * ldb + 8, m1);
    for (int r = 0; r < R; ++r) {
      const __m256 av = _mm256_broadcast_ss(a + r * lda + t);
      acc0[r] = _mm256_fmadd_ps(av, b0, acc0[r]);
      acc1[r] = _mm256_fmadd_ps(av, b1, acc1[r]);
    }
  }
  for (int r = 0; r < R; ++r) {
    _mm256_maskstore_ps(c + r * ldc, m0, acc0[r]);
    _mm256_maskstore_ps(c + r * ldc + 8, m1, acc1[r]);
  }
}

// R rows of C from row m, columns [n0, n0 + cols) with cols <= 8.
template <int R>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void narrow(int64_t k, const float* a, int64_t lda,
                                                                   const float* b, int64_t ldb, float* c,
                                                                   int64_t ldc, int64_t cols) {
  __m256 acc[R];
  for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_ps();
  const __m256i m0 = lanes_below(cols);
  for (int64_t t = 0; t < k; ++t) {
    const __m256 b0 = _mm256_maskload_ps(b + t * ldb, m0);
    for (int r = 0; r < R; ++r) acc[r] = _mm256_fmadd_ps(_mm256_broadcast_ss(a + r * lda + t), b0, acc[r]);
  }
  for (int r = 0; r < R; ++r) _mm256_maskstore_ps(c + r * ldc, m0, acc[r]);
}

template <int R>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void rows(int64_t k, const float* a, int64_t lda,
                                                                 const float* b, int64_t ldb, float* c, int64_t ldc,
                                                                 int64_t cols) {
  if (cols <= 8)
    narrow<R>(k, a, lda, b, ldb, c, ldc, cols);
  else
    block<R>(k, a, lda, b, ldb, c, ldc, cols);
}

[[gnu::target("avx2,fma")]] void small_gemm_avx2(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda,
                                                 const float* b, int64_t ldb, float* c, int64_t ldc) {
  for (int64_t n0 = 0; n0 < n; n0 += 16) {
    const int64_t cols = std::min<int64_t>(16, n - n0);
    int64_t m0 = 0;
    for (; m0 + 6 <= m; m0 += 6) rows<6>(k, a + m0 * lda, lda, b + n0, ldb, c + m0 * ldc + n0, ldc, cols);
    const float* ar = a + m0 * lda;
    float* cr = c + m0 * ldc + n0;
    switch (m - m0) {
      case 5: rows<5>(k, ar, lda, b + n0, ldb, cr, ldc, cols); break;
      case 4: rows<4>(k, ar, lda, b + n0, ldb, cr, ldc, cols); break;
      case 3: rows<3>(k, ar, lda, b + n0, ldb, cr, ldc, cols); break;
      case 2: rows<2>(k, ar, lda, b + n0, ldb, cr, ldc, cols); break;
      case 1: rows<1>(k, ar, lda, b + n0, ldb, cr, ldc, cols); break;
      default: break;
    }
  }
}
#endif

}  // namespace

bool conv_small_gemm_fits(int64_t m, int64_t n, int64_t k) {
#if defined(__x86_64__)
  // Operands that a core keeps in its L2 cache; beyond that, or with many
  // columns, the packed BLAS kernel wins.
  return avx2_fma() && n <= 128 && k * n <= 65536 && m * k <= 65536 && m > 0 && n > 0 && k > 0;
#else
  (void)m, (void)n, (void)k;
  return false;
#endif
}

void conv_small_gemm(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb,
                     float* c, int64_t ldc) {
#if defined(__x86_64__)
  small_gemm_avx2(m, n, k, a, lda, b, ldb, c, ldc);
#else
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j) {
      float s = 0.0f;
      for (int64_t t = 0; t < k; ++t) s += a[i * lda + t] * b[t * ldb + j];
      c[i * ldc + j] = s;
    }
#endif
}

}  // namespace vorn::kern
