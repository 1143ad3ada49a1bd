#include "platform/blas.h"

#include <algorithm>

#include "platform/blas_library.h"
#include "platform/parallel.h"

namespace vorn {

// Threading: OpenBLAS runs every call on the calling thread (it is set to
// one thread and its own workers are ended when it is loaded,
// platform/blas_library.cpp) and large products are cut into blocks of rows
// (or columns) that our pool runs. On the conv-shaped products of the CPU
// engine (8 cores) this ran 1.2-1.5x faster than OpenBLAS's own threads on
// the large ones (512 x 3136 x 1152: ~510 against ~380 GFLOP/s) and 4x on
// the thin ones (128 x 49 x 4608: ~225 against ~50), where OpenBLAS's
// threading barely beats one thread. It also keeps one set of threads in the
// process: OpenBLAS's workers spin for a while after each call, stealing
// cores from our pool's next loop and burning CPU in an idle application.

namespace {

// Below this many multiply-adds a product runs on the calling thread: the
// cost of waking the pool is a few microseconds.
constexpr int64_t kParallelMinWork = int64_t{1} << 18;
// Blocks are multiples of this many rows or columns, matching the register
// tiles of the BLAS kernels so no block ends in a ragged tile.
constexpr int64_t kBlockAlign = 16;

void sgemm_call(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float* a,
                int64_t lda, const float* b, int64_t ldb, float beta, float* c, int64_t ldc) {
  blas_library().sgemm(CblasRowMajor, trans_a ? CblasTrans : CblasNoTrans, trans_b ? CblasTrans : CblasNoTrans,
                       static_cast<blasint>(m), static_cast<blasint>(n), static_cast<blasint>(k), alpha, a,
                       static_cast<blasint>(lda), b, static_cast<blasint>(ldb), beta, c, static_cast<blasint>(ldc));
}

struct SplitJob {
  bool trans_a, trans_b, split_rows;
  int64_t m, n, k, block;
  float alpha, beta;
  const float* a;
  const float* b;
  float* c;
  int64_t lda, ldb, ldc;
};

// One block of rows of C (rows of op(A)) or of columns of C (columns of
// op(B)); blocks never overlap in C.
void run_block(void* ctx, size_t index) {
  const SplitJob& j = *static_cast<const SplitJob*>(ctx);
  int64_t start = static_cast<int64_t>(index) * j.block;
  if (j.split_rows) {
    int64_t rows = std::min(j.block, j.m - start);
    const float* a = j.trans_a ? j.a + start : j.a + start * j.lda;
    sgemm_call(j.trans_a, j.trans_b, rows, j.n, j.k, j.alpha, a, j.lda, j.b, j.ldb, j.beta,
               j.c + start * j.ldc, j.ldc);
  } else {
    int64_t cols = std::min(j.block, j.n - start);
    const float* b = j.trans_b ? j.b + start * j.ldb : j.b + start;
    sgemm_call(j.trans_a, j.trans_b, j.m, cols, j.k, j.alpha, j.a, j.lda, b, j.ldb, j.beta, j.c + start,
               j.ldc);
  }
}

void sgemm_pool_split(int threads, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha,
                      const float* a, int64_t lda, const float* b, int64_t ldb, float beta, float* c,
                      int64_t ldc) {
  // The blocks are a function of the shape alone (see kPlanThreads).
  const int64_t t = threads > 0 ? threads : static_cast<int64_t>(kPlanThreads);
  if (t <= 1 || double(m) * double(n) * double(std::max<int64_t>(k, 1)) < double(kParallelMinWork)) {
    sgemm_call(trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    return;
  }
  // Split the longer side of C into about one block per planned thread,
  // each a multiple of the tile size; one block of each operand then stays
  // resident in its thread's cache while the other streams past.
  SplitJob j{trans_a, trans_b, m >= n, m, n, k, 0, alpha, beta, a, b, c, lda, ldb, ldc};
  int64_t side = j.split_rows ? m : n;
  int64_t block = (side + t - 1) / t;
  block = (block + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
  j.block = std::max<int64_t>(block, kBlockAlign);
  int64_t blocks = (side + j.block - 1) / j.block;
  if (blocks <= 1) {
    sgemm_call(trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
    return;
  }
  dispatch_apply_f(static_cast<size_t>(blocks), &j, run_block);
}

// A single row of C (m = 1): a matrix-vector product, which the library's
// matrix-matrix routine would run by repacking all of B first. Columns of C
// are cut into blocks for the pool; each block is one gemv over its part
// of B.
struct RowJob {
  bool trans_a, trans_b;
  int64_t n, k, block;
  float alpha, beta;
  const float* a;
  const float* b;
  float* c;
  int64_t lda, ldb;
};

void row_block(const RowJob& j, int64_t n0, int64_t n1) {
  const BlasLibrary& blas = blas_library();
  const blasint inc_a = static_cast<blasint>(j.trans_a ? j.lda : 1);
  // With beta 0 the old contents of C must not count, NaN included, however
  // the library scales them.
  if (j.beta == 0.0f) std::fill(j.c + n0, j.c + n1, 0.0f);
  if (j.trans_b) {
    // B stored n x k: c[n0:n1] = alpha * B[n0:n1, :] a + beta * c.
    blas.sgemv(CblasRowMajor, CblasNoTrans, static_cast<blasint>(n1 - n0), static_cast<blasint>(j.k), j.alpha,
               j.b + n0 * j.ldb, static_cast<blasint>(j.ldb), j.a, inc_a, j.beta, j.c + n0, 1);
  } else {
    // B stored k x n: c[n0:n1] = alpha * B[:, n0:n1]^T a + beta * c.
    blas.sgemv(CblasRowMajor, CblasTrans, static_cast<blasint>(j.k), static_cast<blasint>(n1 - n0), j.alpha,
               j.b + n0, static_cast<blasint>(j.ldb), j.a, inc_a, j.beta, j.c + n0, 1);
  }
}

void run_row_block(void* ctx, size_t index) {
  const RowJob& j = *static_cast<const RowJob*>(ctx);
  const int64_t n0 = static_cast<int64_t>(index) * j.block;
  row_block(j, n0, std::min(j.n, n0 + j.block));
}

void sgemm_one_row(int threads, bool trans_a, bool trans_b, int64_t n, int64_t k, float alpha, const float* a,
                   int64_t lda, const float* b, int64_t ldb, float beta, float* c) {
  RowJob j{trans_a, trans_b, n, k, n, alpha, beta, a, b, c, lda, ldb};
  const int64_t t = threads > 0 ? threads : static_cast<int64_t>(kPlanThreads);
  if (t <= 1 || n * k < kParallelMinWork || n < 2 * kBlockAlign) {
    row_block(j, 0, n);
    return;
  }
  j.block = std::max<int64_t>(kBlockAlign, ((n + t - 1) / t + kBlockAlign - 1) / kBlockAlign * kBlockAlign);
  dispatch_apply_f(static_cast<size_t>((n + j.block - 1) / j.block), &j, run_row_block);
}

}  // namespace

void cpu_sgemm_threading(SgemmThreading threading, int threads, bool trans_a, bool trans_b, int64_t m,
                         int64_t n, int64_t k, float alpha, const float* a, int64_t lda,
                         const float* b, int64_t ldb, float beta, float* c, int64_t ldc) {
  if (m <= 0 || n <= 0) return;
  if (m == 1 && k > 0) {
    sgemm_one_row(threading == SgemmThreading::kPoolSplit ? threads : 1, trans_a, trans_b, n, k, alpha, a, lda, b,
                  ldb, beta, c);
    return;
  }
  switch (threading) {
    case SgemmThreading::kPoolSplit:
      sgemm_pool_split(threads, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
      return;
    case SgemmThreading::kSerial:
      sgemm_call(trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
      return;
  }
}

void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float* a,
               int64_t lda, const float* b, int64_t ldb, float beta, float* c, int64_t ldc) {
  cpu_sgemm_threading(SgemmThreading::kPoolSplit, 0, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta,
                      c, ldc);
}

}  // namespace vorn
