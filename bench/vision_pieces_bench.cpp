// The vision view's pieces on their own, each beside the product tile's
// rate with its operands in the first-level cache, measured in the same run,
// so that a piece's share of that rate holds whatever the host's clock is
// doing: one layer of the family's smallest vision shape (1,024 tokens,
// width 768, 12 heads of 64, MLP 3,072).
//
//   vision_pieces_bench [seconds per piece (0.5)] [piece]
//
// A piece name (qkv, o, fc1, fc2, attention, gelu) runs that piece alone
// (with the tile's row), to profile it on its own.
//
// Pin the process with taskset to choose the pool's cores (one core: the
// one-thread figures). VORN_BENCH_ISA=avx2|portable runs that form. Rows:
//   tile (L1)   24 x 32 x 256 products over packed panels, repeated
//   qkv, o, fc1, fc2   x W^T + b with W of halves stored N x K, through
//                the graph layer's product (cpu_product), GFLOP/s
//   attention   softmax(q k^T / 8) v over 12 heads, through the graph
//   gelu        the tanh form over fc1's output (ms)
// Each row prints the best time, the rate and, for products, the share of
// the tile's rate.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "platform/blas.h"
#include "platform/compute_device.h"
#include "platform/float_tanh.h"
#include "platform/graph_layer.h"
#include "platform/panel_gemm.h"
#include "platform/parallel.h"

namespace {

using namespace vorn;

constexpr int64_t kTokens = 1024, kWidth = 768, kMlp = 3072, kHeads = 12, kHeadDim = 64;

double best_seconds(double budget, const std::function<void()>& once) {
  once();  // warm caches and threads
  double best = 1e30;
  const auto start = std::chrono::steady_clock::now();
  do {
    const auto t0 = std::chrono::steady_clock::now();
    once();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  } while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < budget);
  return best;
}

// Values in [-1, 1), the same on every run.
float value(size_t i) { return float(int64_t(i * 2654435761u % 2001) - 1000) / 1000.0f; }

// The tile's rate on operands that stay in the first-level cache.
double tile_rate(double budget) {
  constexpr int64_t m = 24, n = 32, k = 256, reps = 200;
  std::vector<float> a(m * k), b(k * n), bp(size_t(panel_floats(k, n))), c(m * n);
  for (size_t i = 0; i < a.size(); ++i) a[i] = value(i);
  for (size_t i = 0; i < b.size(); ++i) b[i] = value(i + 7);
  gather_panels(MatrixProduct{false, false, 0, n, k, 1.0f, nullptr, 0, b.data(), n, 0.0f, nullptr, 0}, bp.data());
  const double s = best_seconds(budget, [&] {
    for (int64_t r = 0; r < reps; ++r)
      panel_gemm(a.data(), k, gathered_panels(bp.data(), k), k, n, c.data(), n, 0, m, 0, panel_count(n));
  });
  return 2.0 * m * n * k * reps / s / 1e9;
}

double product_rate(double budget, int64_t n, int64_t k) {
  std::vector<float> a(size_t(kTokens * k)), c(size_t(kTokens * n)), bias(static_cast<size_t>(n));
  std::vector<uint16_t> w(size_t(n * k));
  for (size_t i = 0; i < a.size(); ++i) a[i] = value(i);
  for (size_t i = 0; i < w.size(); ++i) w[i] = uint16_t(0x2c00 + i * 40503u % 0x1000);  // halves in [2^-4, 2^-3)
  for (size_t i = 0; i < bias.size(); ++i) bias[i] = value(i + 3);
  MatrixProduct g{false, true, kTokens, n, k, 1.0f, a.data(), k, nullptr, k, 0.0f, c.data(), n};
  g.b_half = w.data();
  g.bias = bias.data();
  const double s = best_seconds(budget, [&] { cpu_product(SgemmThreading::kPoolSplit, 0, g); });
  return 2.0 * kTokens * n * k / s / 1e9;
}

double attention_seconds(double budget) {
  mtl::DeviceRef device = mtl::create_system_default_device();
  mtl::CommandQueueRef queue = device->new_command_queue();
  const int64_t count = kHeads * kTokens * kHeadDim;
  const mpsg::Shape shape{1, kHeads, kTokens, kHeadDim};
  auto buffer = [&](size_t salt) {
    mtl::BufferRef b = device->new_buffer(uint64_t(count) * 4, mtl::kResourceStorageModeShared);
    float* p = static_cast<float*>(b->contents());
    for (int64_t i = 0; i < count; ++i) p[i] = 2.0f * value(size_t(i) + salt);
    return b;
  };
  mpsg::Graph g;
  const mpsg::Tensor q = g.placeholder(shape, DataType::kFloat32);
  const mpsg::Tensor k = g.placeholder(shape, DataType::kFloat32);
  const mpsg::Tensor v = g.placeholder(shape, DataType::kFloat32);
  const mpsg::Tensor o = g.scaledDotProductAttention(q, k, v, mpsg::Tensor{}, 0.125f);
  const auto exe = g.compile({q, k, v}, {o});
  const std::vector<mpsg::TensorData> in{{buffer(0), 0, shape, DataType::kFloat32},
                                         {buffer(1), 0, shape, DataType::kFloat32},
                                         {buffer(2), 0, shape, DataType::kFloat32}};
  return best_seconds(budget, [&] { exe.run(queue, in); });
}

}  // namespace

int main(int argc, char** argv) {
  const auto isa = bench_ort::bench_isa();
  const double budget = argc > 1 ? std::max(0.05, std::atof(argv[1])) : 0.5;
  const std::string only = argc > 2 ? argv[2] : "";
  auto wanted = [&](const char* piece) { return only.empty() || only == piece; };
  std::printf("threads %zu\n", parallel_thread_count());
  const double tile = tile_rate(budget);
  std::printf("%-10s %8.1f GFLOP/s\n", "tile (L1)", tile);
  struct Shape {
    const char* name;
    int64_t n, k;
  };
  for (const Shape s : {Shape{"qkv", 3 * kWidth, kWidth}, Shape{"o", kWidth, kWidth}, Shape{"fc1", kMlp, kWidth},
                        Shape{"fc2", kWidth, kMlp}}) {
    if (!wanted(s.name)) continue;
    const double rate = product_rate(budget, s.n, s.k);
    std::printf("%-10s %8.1f GFLOP/s  %.2f of the tile's\n", s.name, rate,
                rate / (tile * double(parallel_thread_count())));
  }
  if (wanted("attention")) {
    const double att = attention_seconds(budget);
    std::printf("%-10s %8.2f ms  %.1f GFLOP/s\n", "attention", att * 1e3,
                4.0 * kHeads * kTokens * kTokens * kHeadDim / att / 1e9);
  }
  if (!wanted("gelu")) return 0;
  std::vector<float> x(size_t(kTokens * kMlp)), y(x.size());
  for (size_t i = 0; i < x.size(); ++i) x[i] = 4.0f * value(i);
  const double gelu = best_seconds(budget, [&] {
    constexpr size_t kBlock = 16384;
    parallel_for((x.size() + kBlock - 1) / kBlock, [&](size_t i) {
      gelu_tanh_float_n(x.data() + i * kBlock, y.data() + i * kBlock, std::min(kBlock, x.size() - i * kBlock));
    });
  });
  std::printf("%-10s %8.2f ms\n", "gelu", gelu * 1e3);
  return 0;
}
