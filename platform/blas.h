// Single-precision matrix multiply: our stand-in for the platform's
// cblas_sgemm. Every product runs on our own register tiles
// (platform/panel_gemm.h), on the calling thread and our worker pool only:
// no outside library, no thread of anyone else's, no memory but one block
// of copied panels per calling thread, made at its first product (when
// that fails, the copies go a panel at a time through the stack), and each
// element of C is summed in an order fixed by the shape alone, so the
// result is the same whatever the pool, the split or the caller's thread.
#pragma once
#include <cstdint>

namespace vorn {

// Row-major C[M x N] = alpha * op(A) * op(B) + beta * C, where op(A) is
// M x K (A stored K x M when trans_a) and op(B) is K x N (B stored N x K when
// trans_b); lda, ldb and ldc are the row strides of the stored matrices.
// With beta 0, what C held is never read. Large products are split over
// the worker pool.
void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
               const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
               int64_t ldc);

// How a product is spread over threads. cpu_sgemm always uses kPoolSplit;
// kernels that already run on a pool worker call kSerial.
enum class SgemmThreading {
  kPoolSplit,  // rectangles of C run by our pool
  kSerial,     // the whole product on the calling thread
};

// Like cpu_sgemm with a chosen threading; with kPoolSplit `threads` is the
// number of threads the rectangles are planned for (0: the pool's). Neither
// changes a bit of the result.
void cpu_sgemm_threading(SgemmThreading threading, int threads, bool trans_a, bool trans_b, int64_t m,
                         int64_t n, int64_t k, float alpha, const float* a, int64_t lda,
                         const float* b, int64_t ldb, float beta, float* c, int64_t ldc);

struct MatrixProduct;
struct PanelSplit;

// Whether cpu_product spreads an m x n product of depth k planned for
// `threads` threads (0: the pool's) over the pool, and then its cut into
// rectangles of rows by panels in *split (untouched otherwise).
bool product_cut(int64_t m, int64_t n, int64_t k, int threads, PanelSplit* split);

// Any product of platform/panel_gemm.h's MatrixProduct (a B of halves
// included) with a chosen threading, cut as cpu_sgemm cuts it.
void cpu_product(SgemmThreading threading, int threads, const MatrixProduct& g);

}  // namespace vorn
