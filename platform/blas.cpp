#include "platform/blas.h"

#include <algorithm>

#include "platform/panel_gemm.h"
#include "platform/parallel.h"

namespace vorn {

// Why our own products rather than a BLAS library: the one we used
// (Debian's threaded OpenBLAS) reserves 128 MB of address space for every
// thread that calls it and, when the reservation fails, retries forever or
// ends the process, so a run under a memory limit hung; its serial build
// gives wrong products to concurrent callers, and Debian's serial BLIS
// aborts the process when it cannot allocate its packing buffers. Our
// tiles match or pass the library on the engine's and the generative
// graph's products (bench/sgemm_bench: 1.05 of its GFLOP/s at one thread,
// 1.09 at eight, geometric means; bench/RESULTS.md), need no memory but a
// block per calling thread, and sum every element in one order however
// the pool cuts the product.

namespace {

// Below this many multiply-adds a product runs on the calling thread: the
// cost of waking the pool is a few microseconds.
constexpr double kParallelMinWork = double(int64_t{1} << 18);

// The cut of plan_panel_split, with narrower panel groups where the rows
// are too few to give every thread a rectangle (a classifier's single row):
// such products read their right operand once whatever the cut, and one
// rectangle per thread wakes the fewest workers.
PanelSplit product_split(int64_t m, int64_t panels, int64_t threads) {
  PanelSplit sp = plan_panel_split(m, panels, threads);
  const int64_t want = threads;
  if (sp.rb * sp.groups < want && sp.groups < panels) sp.groups = std::min(panels, (want + sp.rb - 1) / sp.rb);
  return sp;
}

}  // namespace

void cpu_sgemm_threading(SgemmThreading threading, int threads, bool trans_a, bool trans_b, int64_t m,
                         int64_t n, int64_t k, float alpha, const float* a, int64_t lda,
                         const float* b, int64_t ldb, float beta, float* c, int64_t ldc) {
  cpu_product(threading, threads,
              MatrixProduct{trans_a, trans_b, m, n, std::max<int64_t>(k, 0), alpha, a, lda, b, ldb, beta, c, ldc});
}

bool product_cut(int64_t m, int64_t n, int64_t k, int threads, PanelSplit* split) {
  const int64_t t = threads > 0 ? threads : static_cast<int64_t>(parallel_thread_count());
  if (t <= 1 || double(m) * double(n) * double(std::max<int64_t>(k, 1)) < kParallelMinWork) return false;
  *split = product_split(m, panel_count(n), t);
  return true;
}

void cpu_product(SgemmThreading threading, int threads, const MatrixProduct& g) {
  const int64_t m = g.m, n = g.n;
  if (m <= 0 || n <= 0) return;
  PanelSplit sp{};
  const bool parallel = threading == SgemmThreading::kPoolSplit && product_cut(m, n, g.k, threads, &sp);
  for_rectangles(parallel, sp, m, panel_count(n),
                 [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) { matrix_product_rectangle(g, m0, m1, p0, p1); });
}

void cpu_sgemm(bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k, float alpha, const float* a,
               int64_t lda, const float* b, int64_t ldb, float beta, float* c, int64_t ldc) {
  cpu_sgemm_threading(SgemmThreading::kPoolSplit, 0, trans_a, trans_b, m, n, k, alpha, a, lda, b, ldb, beta,
                      c, ldc);
}

}  // namespace vorn
