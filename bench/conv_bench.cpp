// Times the CPU Conv kernel on the convolution shapes of ResNet-18 and
// MobileNetV2 (224 x 224 input), a U-Net's large planes and SqueezeNet's
// (batch 1, bias and Relu fused) and prints the
// achieved GFLOP/s next to the machine's single-core sgemm GFLOP/s.
//
//   conv_bench [threads] [seconds per case] [filter] [avx2|portable]
// threads 1 pins the process (and so the worker pool) to one core before
// any work starts; 0 or absent uses every core. A filter keeps the layers
// whose network or name contains it ("" keeps all); avx2 or portable runs
// the kernels in that instruction-set form.
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/files.h"
#include "container/op_codes.h"
#include "kernels/ops/conv.h"
#include "platform/blas.h"
#include "platform/cpu_features.h"
#include "platform/parallel.h"
#include "reference/node_harness.h"

namespace {

struct Shape {
  const char* net;
  const char* what;
  int64_t cin, h, cout, k, stride, groups;
};

const Shape kShapes[] = {
    {"resnet18", "conv1 7x7 s2", 3, 224, 64, 7, 2, 1},
    {"resnet18", "layer1 3x3", 64, 56, 64, 3, 1, 1},
    {"resnet18", "layer2 3x3 s2", 64, 56, 128, 3, 2, 1},
    {"resnet18", "layer2 3x3", 128, 28, 128, 3, 1, 1},
    {"resnet18", "layer2 down 1x1 s2", 64, 56, 128, 1, 2, 1},
    {"resnet18", "layer3 3x3 s2", 128, 28, 256, 3, 2, 1},
    {"resnet18", "layer3 3x3", 256, 14, 256, 3, 1, 1},
    {"resnet18", "layer4 3x3 s2", 256, 14, 512, 3, 2, 1},
    {"resnet18", "layer4 3x3", 512, 7, 512, 3, 1, 1},
    {"mobilenetv2", "stem 3x3 s2", 3, 224, 32, 3, 2, 1},
    {"mobilenetv2", "dw 3x3 32ch 112", 32, 112, 32, 3, 1, 32},
    {"mobilenetv2", "pw 32->16 112", 32, 112, 16, 1, 1, 1},
    {"mobilenetv2", "pw 16->96 112", 16, 112, 96, 1, 1, 1},
    {"mobilenetv2", "dw 3x3 s2 96ch 112", 96, 112, 96, 3, 2, 96},
    {"mobilenetv2", "pw 96->24 56", 96, 56, 24, 1, 1, 1},
    {"mobilenetv2", "pw 24->144 56", 24, 56, 144, 1, 1, 1},
    {"mobilenetv2", "dw 3x3 144ch 56", 144, 56, 144, 3, 1, 144},
    {"mobilenetv2", "pw 144->24 56", 144, 56, 24, 1, 1, 1},
    {"mobilenetv2", "dw 3x3 s2 144ch 56", 144, 56, 144, 3, 2, 144},
    {"mobilenetv2", "dw 3x3 384ch 14", 384, 14, 384, 3, 1, 384},
    {"mobilenetv2", "pw 64->384 14", 64, 14, 384, 1, 1, 1},
    {"mobilenetv2", "dw 3x3 960ch 7", 960, 7, 960, 3, 1, 960},
    {"mobilenetv2", "pw 320->1280 7", 320, 7, 1280, 1, 1, 1},
    {"mobilenetv2", "pw 960->320 7", 960, 7, 320, 1, 1, 1},
    {"mobilenetv2", "pw 160->960 7", 160, 7, 960, 1, 1, 1},
    {"mobilenetv2", "pw 960->160 7", 960, 7, 160, 1, 1, 1},
    {"mobilenetv2", "pw 96->576 14", 96, 14, 576, 1, 1, 1},
    {"mobilenetv2", "pw 576->96 14", 576, 14, 96, 1, 1, 1},
    {"mobilenetv2", "pw 384->64 14", 384, 14, 64, 1, 1, 1},
    {"mobilenetv2", "pw 32->192 28", 32, 28, 192, 1, 1, 1},
    {"mobilenetv2", "dw 3x3 s2 576ch 14", 576, 14, 576, 3, 2, 576},
    {"mobilenetv2", "dw 3x3 192ch 28", 192, 28, 192, 3, 1, 192},
    {"unet", "3x3 32ch 256", 32, 256, 32, 3, 1, 1},
    {"unet", "3x3 64->32 256", 64, 256, 32, 3, 1, 1},
    {"squeezenet", "squeeze 64->16 55", 64, 55, 16, 1, 1, 1},
    {"squeezenet", "expand 16->64 55", 16, 55, 64, 1, 1, 1},
    {"squeezenet", "squeeze 128->32 27", 128, 27, 32, 1, 1, 1},
    {"squeezenet", "expand 32->128 27", 32, 27, 128, 1, 1, 1},
    {"squeezenet", "stem 3x3 s2", 3, 224, 64, 3, 2, 1},
    {"squeezenet", "expand 3x3 16->64 55", 16, 55, 64, 3, 1, 1},
    {"squeezenet", "expand 3x3 32->128 27", 32, 27, 128, 3, 1, 1},
    {"squeezenet", "expand 3x3 64->256 13", 64, 13, 256, 3, 1, 1},
    {"squeezenet", "classifier 512->1000 13", 512, 13, 1000, 1, 1, 1},
    {"fr_detect", "stem 3x3 s2 3->16 240", 3, 240, 16, 3, 2, 1},
};

template <class F>
double best_seconds(F&& once, double seconds) {
  once();
  double start = vorn::monotonic_seconds(), now = start, best = 1e30;
  int reps = 0;
  while (now - start < seconds || reps < 3) {
    double t0 = vorn::monotonic_seconds();
    once();
    now = vorn::monotonic_seconds();
    best = std::min(best, now - t0);
    ++reps;
  }
  return best;
}

// sgemm on a conv-shaped product: one BLAS thread, or cpu_sgemm as the
// kernels call it (split over the pool).
double sgemm_gflops(bool single_core, double seconds) {
  const int64_t m = 256, n = 3136, k = 1152;
  std::vector<float> a(size_t(m * k), 0.01f), b(size_t(k * n), 0.02f), c(size_t(m * n));
  double t = best_seconds([&] {
    if (single_core)
      vorn::cpu_sgemm_threading(vorn::SgemmThreading::kSerial, 1, false, false, m, n, k, 1.0f, a.data(), k,
                                b.data(), n, 0.0f, c.data(), n);
    else
      vorn::cpu_sgemm(false, false, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, c.data(), n);
  }, seconds);
  return 2.0 * double(m * n * k) / t * 1e-9;
}

double conv_gflops(const Shape& s, double seconds) {
  vorn::test::NodeHarness h;
  const int64_t pad = s.k / 2, ho = (s.h + 2 * pad - s.k) / s.stride + 1;
  std::vector<float> x(size_t(s.cin * s.h * s.h)), w(size_t(s.cout * (s.cin / s.groups) * s.k * s.k)),
      b(size_t(s.cout));
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 17) * 0.05f - 0.4f;
  for (size_t i = 0; i < w.size(); ++i) w[i] = float(i % 11) * 0.01f - 0.05f;
  const uint64_t xi = h.value({1, uint64_t(s.cin), uint64_t(s.h), uint64_t(s.h)}, x);
  const uint64_t wi = h.value({uint64_t(s.cout), uint64_t(s.cin / s.groups), uint64_t(s.k), uint64_t(s.k)}, w,
                              vorn::kValueWeight);
  const uint64_t bi = h.value({uint64_t(s.cout)}, b, vorn::kValueWeight);
  const uint64_t yi = h.value({1, uint64_t(s.cout), uint64_t(ho), uint64_t(ho)});
  vorn::NodeRecord n = vorn::test::NodeHarness::node(
      vorn::op::Conv, {xi, wi, bi}, {yi},
      {{0, s.k}, {1, s.k}, {2, s.stride}, {3, s.stride}, {4, pad}, {5, pad}, {6, pad}, {7, pad}, {8, 1}, {9, 1},
       {10, s.groups}, {14, 1}});
  h.set_workspace(h.workspace_wanted(n));
  vorn::NodePlan plan;
  if (!h.prepare(n, &plan)) {
    std::fprintf(stderr, "%s: %s\n", s.what, h.last_message().c_str());
    return 0;
  }
  const vorn::CpuOpEntry* e = vorn::cpu_op_entry(vorn::op::Conv);
  double t = best_seconds([&] { e->kernel(h.state(), n, plan); }, seconds);
  const double flops = 2.0 * double(s.cout) * double(ho * ho) * double(s.cin / s.groups * s.k * s.k);
  return flops / t * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 0;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 0.3;
  const char* filter = argc > 3 ? argv[3] : "";
  std::unique_ptr<vorn::IsaCap> cap;
  if (argc > 4 && std::strcmp(argv[4], "avx2") == 0) cap = std::make_unique<vorn::IsaCap>(vorn::KernelIsa::kAvx2);
  if (argc > 4 && std::strcmp(argv[4], "portable") == 0)
    cap = std::make_unique<vorn::IsaCap>(vorn::KernelIsa::kPortable);
  if (threads == 1) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    sched_setaffinity(0, sizeof set, &set);
  }
  const double ref = sgemm_gflops(true, seconds);
  std::printf("single-core sgemm (256 x 3136 x 1152): %.1f GFLOP/s; running on %s\n", ref,
              threads == 1 ? "1 core" : "all cores");
  if (threads != 1) {
    const double pool = sgemm_gflops(false, seconds);
    std::printf("cpu_sgemm over the pool, same shape: %.1f GFLOP/s (%.2f x single-core)\n", pool, pool / ref);
  }
  std::printf("%-12s %-22s %10s %8s\n", "network", "layer", "GFLOP/s", "x sgemm");
  double total_flops = 0, total_time = 0;
  for (const Shape& s : kShapes) {
    if (std::strstr(s.net, filter) == nullptr && std::strstr(s.what, filter) == nullptr) continue;
    const double g = conv_gflops(s, seconds);
    std::printf("%-12s %-22s %10.1f %8.2f\n", s.net, s.what, g, g / ref);
    const int64_t ho = (s.h + 2 * (s.k / 2) - s.k) / s.stride + 1;
    const double f = 2.0 * double(s.cout) * double(ho * ho) * double(s.cin / s.groups * s.k * s.k);
    total_flops += f;
    total_time += f / (g * 1e9);
  }
  std::printf("all layers: %.1f GFLOP/s (%.2f x single-core sgemm)\n", total_flops / total_time * 1e-9,
              total_flops / total_time * 1e-9 / ref);
  return 0;
}
