// Times the CPU Conv kernel on each layer of a make_layers.py table, called
// directly on a hand-built node (bias and Relu fused as the engine fuses
// them), the counterpart of ort_layers.js.
//
//   layer_compare_runner LAYERS.txt SECONDS_PER_LAYER
//
// Prints one line per layer: "name median_ms min_ms". The worker pool sizes
// itself from the process's affinity mask, so run under taskset -c 0 for one
// thread.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/op_codes.h"
#include "kernels/ops/conv.h"
#include "reference/node_harness.h"

namespace {

struct Layer {
  std::string name;
  int64_t cin, h, w, cout, k, stride, pad, groups, relu;
};

void time_layer(const Layer& s, double seconds) {
  vorn::test::NodeHarness hn;
  const int64_t ho = (s.h + 2 * s.pad - s.k) / s.stride + 1, wo = (s.w + 2 * s.pad - s.k) / s.stride + 1;
  std::vector<float> x(size_t(s.cin * s.h * s.w)), w(size_t(s.cout * (s.cin / s.groups) * s.k * s.k)),
      b(size_t(s.cout));
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 17) * 0.05f - 0.4f;
  for (size_t i = 0; i < w.size(); ++i) w[i] = float(i % 11) * 0.01f - 0.05f;
  for (size_t i = 0; i < b.size(); ++i) b[i] = float(i % 5) * 0.1f - 0.2f;
  const uint64_t xi = hn.value({1, uint64_t(s.cin), uint64_t(s.h), uint64_t(s.w)}, x);
  const uint64_t wi = hn.value({uint64_t(s.cout), uint64_t(s.cin / s.groups), uint64_t(s.k), uint64_t(s.k)}, w,
                               vorn::kValueWeight);
  const uint64_t bi = hn.value({uint64_t(s.cout)}, b, vorn::kValueWeight);
  const uint64_t yi = hn.value({1, uint64_t(s.cout), uint64_t(ho), uint64_t(wo)});
  const uint64_t u = static_cast<uint64_t>(s.pad);
  vorn::NodeRecord n = vorn::test::NodeHarness::node(
      vorn::op::Conv, {xi, wi, bi}, {yi},
      {{0, uint64_t(s.k)}, {1, uint64_t(s.k)}, {2, uint64_t(s.stride)}, {3, uint64_t(s.stride)}, {4, u}, {5, u},
       {6, u}, {7, u}, {8, 1}, {9, 1}, {10, uint64_t(s.groups)}, {14, uint64_t(s.relu)}});
  hn.set_workspace(hn.workspace_wanted(n));
  vorn::NodePlan plan;
  if (!hn.prepare(n, &plan)) {
    std::fprintf(stderr, "%s: %s\n", s.name.c_str(), hn.last_message().c_str());
    return;
  }
  const vorn::CpuOpEntry* e = vorn::cpu_op_entry(vorn::op::Conv);
  for (int i = 0; i < 3; ++i) e->kernel(hn.state(), n, plan);
  std::vector<double> times;
  const double start = vorn::monotonic_seconds();
  while (times.size() < 2000 && (times.size() < 20 || vorn::monotonic_seconds() - start < seconds)) {
    const double t0 = vorn::monotonic_seconds();
    e->kernel(hn.state(), n, plan);
    times.push_back(vorn::monotonic_seconds() - t0);
  }
  std::sort(times.begin(), times.end());
  const size_t m = times.size();
  const double med = m % 2 ? times[m / 2] : 0.5 * (times[m / 2 - 1] + times[m / 2]);
  std::printf("%s %.4f %.4f\n", s.name.c_str(), med * 1e3, times[0] * 1e3);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: layer_compare_runner LAYERS.txt [SECONDS_PER_LAYER]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 0.5;
  std::ifstream in(argv[1]);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    Layer l;
    if (ss >> l.name >> l.cin >> l.h >> l.w >> l.cout >> l.k >> l.stride >> l.pad >> l.groups >> l.relu)
      time_layer(l, seconds);
  }
  return 0;
}
