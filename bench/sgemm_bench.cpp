// Compares the ways cpu_sgemm can spread a product over threads on the
// conv-shaped products of the CPU engine (M = output channels, N = output
// pixels, K = input channels x kernel area), at 1 thread and at all cores.
//
//   sgemm_bench [seconds per case]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/files.h"
#include "cpu/kernels/panel_gemm.h"
#include "platform/blas.h"
#include "platform/parallel.h"

namespace {

struct Shape {
  int64_t m, n, k;
  const char* what;
};

const Shape kShapes[] = {
    {512, 3136, 1152, "3x3 conv, 128->512 ch, 56x56"},
    {128, 49, 4608, "3x3 conv, 512->128 ch, 7x7"},
    {512, 49, 4608, "3x3 conv, 512->512 ch, 7x7"},
    {256, 196, 2304, "3x3 conv, 256->256 ch, 14x14"},
    {64, 12544, 576, "3x3 conv, 64->64 ch, 112x112"},
    {256, 784, 2304, "3x3 conv, 256->256 ch, 28x28"},
    {1000, 1, 2048, "classifier (matrix-vector)"},
    {64, 196, 64, "1x1 conv, 64->64 ch, 14x14"},
    {32, 49, 96, "1x1 conv, 96->32 ch, 7x7"},
    {16, 3136, 8, "1x1 conv, 8->16 ch, 56x56"},
};

// Times `once` and returns the best GFLOP/s of the product s.
template <class F>
double best_gflops(const Shape& s, double seconds, F once) {
  once();  // warm caches and threads
  int reps = 0;
  double start = vorn::monotonic_seconds(), now = start;
  double best = 1e30;
  while (now - start < seconds || reps < 3) {
    double t0 = vorn::monotonic_seconds();
    once();
    now = vorn::monotonic_seconds();
    best = std::min(best, now - t0);
    ++reps;
  }
  return 2.0 * double(s.m) * double(s.n) * double(s.k) / best * 1e-9;
}

// Our panel product on a right operand packed beforehand (as convolution
// gathers it), split into row blocks x panels over `threads` threads.
double run_panels(int threads, const Shape& s, const std::vector<float>& a, const std::vector<float>& b,
                  std::vector<float>& c, double seconds) {
  using namespace vorn::kern;
  const int64_t panels = panel_count(s.n);
  std::vector<float> bp(size_t(panel_floats(s.k, s.n)), 0.0f);
  for (int64_t p = 0; p < panels; ++p)
    for (int64_t kk = 0; kk < s.k; ++kk)
      for (int64_t j = 0; j < kPanelWidth && p * kPanelWidth + j < s.n; ++j)
        panel_at(bp.data(), s.k, p)[kk * kPanelWidth + j] = b[size_t(kk * s.n + p * kPanelWidth + j)];
  const int64_t rows = 48, row_blocks = (s.m + rows - 1) / rows;
  return best_gflops(s, seconds, [&] {
    auto tile = [&](size_t t) {
      const int64_t rb = int64_t(t) % row_blocks, p = int64_t(t) / row_blocks;
      panel_gemm(a.data(), s.k, gathered_panels(bp.data(), s.k), s.k, s.n, c.data(), s.n, rb * rows, std::min(s.m, rb * rows + rows),
                 p, p + 1);
    };
    const size_t tiles = size_t(row_blocks * panels);
    if (threads == 1)
      for (size_t t = 0; t < tiles; ++t) tile(t);
    else
      vorn::parallel_for(tiles, tile);
  });
}

double run(vorn::SgemmThreading mode, int threads, const Shape& s, const std::vector<float>& a,
           const std::vector<float>& b, std::vector<float>& c, double seconds) {
  return best_gflops(s, seconds, [&] {
    vorn::cpu_sgemm_threading(mode, threads, false, false, s.m, s.n, s.k, 1.0f, a.data(), s.k, b.data(), s.n,
                              0.0f, c.data(), s.n);
  });
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  int cores = static_cast<int>(vorn::parallel_thread_count());
  std::printf("best-of GFLOP/s, %d cores\n", cores);
  std::printf("%-34s %6s %10s %10s %10s\n", "shape (M x N x K)", "thr", "serial", "pool-split", "panels");
  for (const Shape& s : kShapes) {
    std::vector<float> a(size_t(s.m * s.k)), b(size_t(s.k * s.n)), c(size_t(s.m * s.n));
    for (size_t i = 0; i < a.size(); ++i) a[i] = float(i % 13) * 0.01f - 0.05f;
    for (size_t i = 0; i < b.size(); ++i) b[i] = float(i % 7) * 0.02f - 0.06f;
    for (int threads : {1, cores}) {
      double serial = threads == 1 ? run(vorn::SgemmThreading::kSerial, 1, s, a, b, c, seconds) : 0;
      double pool = run(vorn::SgemmThreading::kPoolSplit, threads, s, a, b, c, seconds);
      double panels = run_panels(threads, s, a, b, c, seconds);
      char label[64];
      std::snprintf(label, sizeof label, "%lld x %lld x %lld", (long long)s.m, (long long)s.n, (long long)s.k);
      std::printf("%-34s %6d %10.1f %10.1f %10.1f   %s\n", label, threads, serial, pool, panels, s.what);
    }
  }
  return 0;
}
