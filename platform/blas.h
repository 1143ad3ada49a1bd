// Single-precision matrix multiply: our seam over the BLAS library. Nothing
// outside platform/ includes the BLAS headers.
#pragma once
#include <cstdint>

namespace vorn {

// Row-major C[M x N] = alpha * op(A) * op(B) + beta * C, where op(A) is
// M x K (A stored K x M when trans_a) and op(B) is K x N (B stored N x K when
// trans_b); lda, ldb and ldc are the row strides of the stored matrices.
void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
               const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
               int64_t ldc);

}  // namespace vorn
