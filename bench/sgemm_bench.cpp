// GFLOP/s of cpu_sgemm on the products each caller in the library makes:
// convolution layers and their tiles (M = output channels, N = output
// positions, K = input channels x kernel area), pointwise tiles reading the
// input planes in place, the classifier's single row, Gemm with scaling,
// MatMul on weights in place, and the generative graph's products (weights
// stored N x K, attention scores and values). Each product on one thread
// (the whole product on the calling thread) and over the pool.
//
//   sgemm_bench [seconds per case (0.3)] [filter text] [avx2]
// Pin the process with taskset to choose the pool's cores; the best of the
// runs is printed, one row per product. With "avx2" the one-thread column
// runs the AVX2 tiles whatever the processor has (what a host without
// AVX-512 runs).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/files.h"
#include "platform/blas.h"
#include "platform/cpu_features.h"
#include "platform/panel_gemm.h"
#include "platform/parallel.h"

namespace {

struct Product {
  const char* what;
  int64_t m, n, k;
  bool ta = false, tb = false;
  int64_t ldb = 0;  // 0: the stored B's own width
  float alpha = 1.0f, beta = 0.0f;
};

const Product kProducts[] = {
    {"conv 3x3 128->512 56x56", 512, 3136, 1152},
    {"conv 3x3 512->128 7x7", 128, 49, 4608},
    {"conv 3x3 512->512 7x7", 512, 49, 4608},
    {"conv 3x3 256->256 14x14", 256, 196, 2304},
    {"conv 3x3 64->64 112x112", 64, 12544, 576},
    {"conv 3x3 256->256 28x28", 256, 784, 2304},
    // One of the tiles convolution cuts a layer into (one thread each).
    {"im2col tile 3x3 s2 64->128 56x56", 128, 98, 576},
    {"im2col tile 1x1 s2 64->128 56x56", 128, 98, 64},
    {"pointwise tile 32->16 112x112", 16, 1568, 32, false, false, 12544},
    {"pointwise tile 96->24 56x56", 24, 392, 96, false, false, 3136},
    {"pointwise tile 64->16 55x55", 16, 379, 64, false, false, 3025},
    {"pointwise 64->64 14x14", 64, 196, 64},
    {"pointwise 96->32 7x7", 32, 49, 96},
    {"classifier 1280->1000 (B^T)", 1, 1000, 1280, false, true},
    {"gemm 512->1000 x0.5 +C (B^T)", 64, 1000, 512, false, true, 0, 0.5f, 1.0f},
    {"matmul ViT 197x192x576", 197, 576, 192},
    {"matmul ViT 197x576x192", 197, 192, 576},
    {"matmul ViT 197x768x192", 197, 768, 192},
    {"matmul ViT 197x192x768", 197, 192, 768},
    {"matmul ConvNeXt 3136x384x96", 3136, 384, 96},
    {"matmul ConvNeXt 3136x96x384", 3136, 96, 384},
    {"matmul ConvNeXt 784x768x192", 784, 768, 192},
    {"matmul ConvNeXt 784x192x768", 784, 192, 768},
    {"matmul ConvNeXt 196x1536x384", 196, 1536, 384},
    {"matmul ConvNeXt 49x3072x768", 49, 3072, 768},
    {"matmul ConvNeXt 49x768x3072", 49, 768, 3072},
    {"transposed A 256^3", 256, 256, 256, true, false},
    {"vision qkv 1024x768x768 (B^T)", 1024, 768, 768, false, true},
    {"vision mlp up 1024x3072x768 (B^T)", 1024, 3072, 768, false, true},
    {"vision mlp down 1024x768x3072 (B^T)", 1024, 768, 3072, false, true},
    {"text q/o 1024x576x576 (B^T)", 1024, 576, 576, false, true},
    {"text mlp up 1024x1536x576 (B^T)", 1024, 1536, 576, false, true},
    {"text mlp down 1024x576x1536 (B^T)", 1024, 576, 1536, false, true},
    {"attention scores 1024x1024x64 (B^T)", 1024, 1024, 64, false, true, 0, 0.125f},
    {"attention values 1024x64x1024", 1024, 64, 1024},
};

template <class F>
double best_gflops(const Product& p, double seconds, F once) {
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
  return 2.0 * double(p.m) * double(p.n) * double(p.k) / best * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
  const char* filter = argc > 2 ? argv[2] : "";
  const bool avx2 = argc > 3 && std::strcmp(argv[3], "avx2") == 0;
  const int cores = static_cast<int>(vorn::parallel_thread_count());
  std::printf("best-of GFLOP/s; the pool has %d threads\n", cores);
  std::printf("%-38s %-22s %9s %9s\n", "product", "M x N x K", "1 thread", "pool");
  for (const Product& p : kProducts) {
    if (std::strstr(p.what, filter) == nullptr) continue;
    const int64_t rows_a = p.ta ? p.k : p.m, cols_a = p.ta ? p.m : p.k;
    const int64_t rows_b = p.tb ? p.n : p.k, cols_b = p.tb ? p.k : p.n;
    const int64_t ldb = p.ldb > 0 ? p.ldb : cols_b;
    std::vector<float> a(size_t(rows_a * cols_a)), b(size_t(rows_b * ldb)), c(size_t(p.m * p.n));
    for (size_t i = 0; i < a.size(); ++i) a[i] = float(i % 13) * 0.01f - 0.05f;
    for (size_t i = 0; i < b.size(); ++i) b[i] = float(i % 7) * 0.02f - 0.06f;
    double g[2];
    for (int pool = 0; pool < 2; ++pool)
      g[pool] = best_gflops(p, seconds, [&] {
        if (avx2 && !pool) {
          const vorn::IsaCap narrow(vorn::KernelIsa::kAvx2);
          vorn::matrix_product_rectangle({p.ta, p.tb, p.m, p.n, p.k, p.alpha, a.data(), cols_a, b.data(), ldb, p.beta,
                                          c.data(), p.n},
                                         0, p.m, 0, vorn::panel_count(p.n));
        } else
          vorn::cpu_sgemm_threading(pool ? vorn::SgemmThreading::kPoolSplit : vorn::SgemmThreading::kSerial, 0,
                                    p.ta, p.tb, p.m, p.n, p.k, p.alpha, a.data(), cols_a, b.data(), ldb, p.beta,
                                    c.data(), p.n);
      });
    char shape[48];
    std::snprintf(shape, sizeof shape, "%lld x %lld x %lld", (long long)p.m, (long long)p.n, (long long)p.k);
    std::printf("%-38s %-22s %9.1f %9.1f\n", p.what, shape, g[0], g[1]);
  }
  return 0;
}
