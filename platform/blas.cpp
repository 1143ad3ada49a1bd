#include "platform/blas.h"

#include <cblas.h>

namespace vorn {

void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
               const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
               int64_t ldc) {
  if (m <= 0 || n <= 0) return;
  cblas_sgemm(CblasRowMajor, trans_a ? CblasTrans : CblasNoTrans, trans_b ? CblasTrans : CblasNoTrans,
              static_cast<blasint>(m), static_cast<blasint>(n), static_cast<blasint>(k), alpha, a,
              static_cast<blasint>(lda), b, static_cast<blasint>(ldb), beta, c,
              static_cast<blasint>(ldc));
}

}  // namespace vorn
