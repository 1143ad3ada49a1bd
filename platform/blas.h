// Single-precision matrix multiply: our seam over the BLAS library. Nothing
// outside platform/ includes the BLAS headers.
#pragma once
#include <cstdint>

namespace vorn {

// Row-major C[M x N] = alpha * op(A) * op(B) + beta * C, where op(A) is
// M x K (A stored K x M when trans_a) and op(B) is K x N (B stored N x K when
// trans_b); lda, ldb and ldc are the row strides of the stored matrices.
// Large products are split over the worker pool (see blas.cpp for why).
void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
               const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
               int64_t ldc);

// How a product is spread over threads. cpu_sgemm always uses kPoolSplit;
// kernels that already run on a pool worker call kSerial.
enum class SgemmThreading {
  kPoolSplit,  // BLAS calls on row or column blocks, run by our pool
  kSerial,     // one BLAS call on the calling thread
};

// Like cpu_sgemm with a chosen threading; with kPoolSplit `threads` is the
// number of blocks the product is cut for (0: kPlanThreads, so that the
// result does not depend on the pool; the pool runs the blocks with however
// many threads it has).
void cpu_sgemm_threading(SgemmThreading threading, int threads, bool trans_a, bool trans_b, int64_t m,
                         int64_t n, int64_t k, float alpha, const float* a, int64_t lda,
                         const float* b, int64_t ldb, float beta, float* c, int64_t ldc);

}  // namespace vorn
