// Runs the conformance cases and a few products whose work is cut for the
// pool, and prints one line per output: its name and a digest of its bytes.
// core_count_test runs this under taskset at several core counts; the lines
// must not change.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "conformance/conformance_run.h"
#include "conformance/fixture_manifest.h"
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "platform/blas.h"
#include "tests/cpu/graph_builder.h"

namespace {

using vorn::test::GraphBuilder;

uint64_t digest(const void* data, size_t bytes) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

std::vector<float> values(size_t n, uint32_t seed) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
  }
  return v;
}

// One node on fresh values through engine creation, as a model would run it.
void run_graph(const char* name, GraphBuilder& b, uint64_t in, uint64_t out) {
  vorn::CpuCreateResult r = vorn::cpu_engine_create_graph(b.graph(), 1, vorn::CpuPrecisionRequest{});
  if (!r.ok()) {
    std::printf("%s refused: %s\n", name, r.error.message);
    return;
  }
  vorn::CpuState* s = r.value;
  const std::vector<float> x = values(b.values[in].count(), 7);
  std::vector<float> y(b.values[out].count());
  const bool ok = vorn::cpu_engine_execute(&s, x.data(), y.data());
  std::printf("%s %s %016" PRIx64 "\n", name, ok ? "ran" : "failed", digest(y.data(), y.size() * 4));
  vorn::cpu_engine_free(&s);
}

void products() {
  namespace op = vorn::op;
  namespace attr = vorn::attr;
  {
    GraphBuilder b;
    const uint64_t a = b.input({1, 1024}), w = b.weight({1024, 4096}, values(1024 * 4096, 1));
    const uint64_t y = b.output({1, 4096});
    b.node(op::MatMul, {a, w}, {y});
    run_graph("matmul_1x1024x4096", b, a, y);
  }
  for (bool bias : {false, true}) {
    GraphBuilder b;
    const uint64_t a = b.input({64, 700}), w = b.weight({700, 900}, values(700 * 900, 2));
    const uint64_t z = b.weight({900}, values(900, 3)), y = b.output({64, 900});
    if (bias)
      b.node(op::Gemm, {a, w, z}, {y}, {{attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)},
                                         {attr::Gemm::kBeta, GraphBuilder::f32_word(1.0f)}});
    else
      b.node(op::Gemm, {a, w}, {y}, {{attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)}});
    run_graph(bias ? "gemm_64x700x900_bias" : "gemm_64x700x900", b, a, y);
  }
  {
    using A = attr::Conv;
    GraphBuilder b;
    const uint64_t x = b.input({1, 48, 40, 40}), w = b.weight({48, 12, 3, 3}, values(48 * 12 * 9, 4));
    const uint64_t y = b.output({1, 48, 40, 40});
    b.node(op::Conv, {x, w}, {y},
           {{A::kKernelH, 3}, {A::kKernelW, 3}, {A::kStrideH, 1}, {A::kStrideW, 1}, {A::kPadTop, 1},
            {A::kPadLeft, 1}, {A::kDilationH, 1}, {A::kDilationW, 1}, {A::kGroups, 4}});
    run_graph("conv_1x48x40x40_g4", b, x, y);
  }
  {
    // A depthwise layer of stride 2 (its units of groups and rows follow
    // the pool) and a pointwise one whose tiles are sized for the pool.
    using A = attr::Conv;
    struct Layer {
      const char* name;
      uint64_t c, h, cout, k, stride, groups;
    };
    for (const Layer& l : {Layer{"conv_dw_1x96x56x56_s2", 96, 56, 96, 3, 2, 96},
                           Layer{"conv_pw_1x64x56x56_to32", 64, 56, 32, 1, 1, 1}}) {
      GraphBuilder b;
      const uint64_t ho = (l.h + l.k / 2 * 2 - l.k) / l.stride + 1;
      const uint64_t x = b.input({1, l.c, l.h, l.h}), y = b.output({1, l.cout, ho, ho});
      const uint64_t w = b.weight({l.cout, l.c / l.groups, l.k, l.k}, values(l.cout * l.c / l.groups * l.k * l.k, 11));
      const uint64_t pad = l.k / 2;
      b.node(op::Conv, {x, w}, {y},
             {{A::kKernelH, l.k}, {A::kKernelW, l.k}, {A::kStrideH, l.stride}, {A::kStrideW, l.stride},
              {A::kPadTop, pad}, {A::kPadLeft, pad}, {A::kPadBottom, pad}, {A::kPadRight, pad},
              {A::kGroups, l.groups}});
      run_graph(l.name, b, x, y);
    }
  }
  {
    // A residual block whose PRelu and residual join become Conv epilogues.
    using A = attr::Conv;
    GraphBuilder b;
    const uint64_t x = b.input({1, 32, 40, 40}), y = b.output({1, 32, 40, 40});
    const uint64_t w1 = b.weight({32, 32, 3, 3}, values(32 * 32 * 9, 8));
    const uint64_t w2 = b.weight({32, 32, 3, 3}, values(32 * 32 * 9, 9)), a = b.weight({32, 1, 1}, values(32, 10));
    const uint64_t t1 = b.act({1, 32, 40, 40}), t2 = b.act({1, 32, 40, 40}), t3 = b.act({1, 32, 40, 40});
    const uint64_t t4 = b.act({1, 32, 40, 40});
    const std::initializer_list<std::pair<int, uint64_t>> k3 = {
        {A::kKernelH, 3}, {A::kKernelW, 3}, {A::kPadTop, 1}, {A::kPadLeft, 1}, {A::kPadBottom, 1}, {A::kPadRight, 1}};
    b.node(op::Conv, {x, w1}, {t1}, k3);
    b.node(op::PRelu, {t1, a}, {t2});
    b.node(op::Conv, {t2, w2}, {t3}, k3);
    b.node(op::Add, {t3, x}, {t4});
    b.node(op::Relu, {t4}, {y});
    run_graph("conv_residual_block_1x32x40x40", b, x, y);
  }
  {
    // Attention heads too few for the pool, whose rows are cut as well, and
    // a transformer's layer normalisation over rows.
    GraphBuilder b;
    const uint64_t q = b.input({3, 197, 64}), k = b.weight({3, 64, 197}, values(3 * 64 * 197, 12));
    const uint64_t y = b.output({3, 197, 197});
    b.node(op::MatMul, {q, k}, {y});
    run_graph("matmul_heads_3x197x64x197", b, q, y);
  }
  {
    GraphBuilder b;
    const uint64_t x = b.input({1, 197, 192}), g = b.weight({192}, values(192, 13));
    const uint64_t z = b.weight({192}, values(192, 14)), y = b.output({1, 197, 192});
    b.node(op::LayerNormalization, {x, g, z}, {y}, {{attr::Norm::kEpsilon, GraphBuilder::f32_word(1e-5f)}});
    run_graph("layernorm_197x192", b, x, y);
  }
  {
    // Chunks of an odd length end inside a vector of the erf loop.
    GraphBuilder b;
    const uint64_t x = b.input({1, 100003}), y = b.output({1, 100003});
    b.node(op::Erf, {x}, {y});
    run_graph("erf_100003", b, x, y);
  }
  // Products of the graph layers and the kernels, straight through the
  // matrix product: transposes, scaling, a single row, and row counts the
  // pool cuts into blocks that end in a row or two.
  struct Product {
    int64_t m, n, k;
    bool ta, tb;
    float alpha, beta;
  };
  const Product kProducts[] = {{7, 300, 600, false, true, 1.0f, 0.0f},   {97, 130, 257, true, false, 0.5f, 1.0f},
                               {1, 1000, 1280, false, true, 1.0f, 0.0f}, {50, 49, 4608, false, false, 1.0f, 0.0f},
                               {257, 64, 1024, false, true, 0.125f, 0.0f}};
  for (const Product& p : kProducts) {
    const std::vector<float> a = values(size_t(p.m * p.k), 5), b = values(size_t(p.n * p.k), 6);
    std::vector<float> c = values(size_t(p.m * p.n), 7);
    vorn::cpu_sgemm(p.ta, p.tb, p.m, p.n, p.k, p.alpha, a.data(), p.ta ? p.m : p.k, b.data(), p.tb ? p.k : p.n,
                    p.beta, c.data(), p.n);
    std::printf("sgemm_%lldx%lldx%lld%s%s ran %016" PRIx64 "\n", (long long)p.m, (long long)p.n, (long long)p.k,
                p.ta ? "_ta" : "", p.tb ? "_tb" : "", digest(c.data(), c.size() * 4));
  }
}

void conformance_cases() {
  using namespace vorn::conformance;
  Manifest m;
  std::string error;
  if (!read_manifest(fixture_dir() + "/manifest.json", &m, &error)) {
    std::printf("manifest unreadable: %s\n", error.c_str());
    return;
  }
  for (const Case& c : m.cases) {
    std::vector<TensorData> inputs(c.inputs.size());
    bool read = true;
    for (size_t i = 0; i < c.inputs.size(); ++i) read &= read_tensor(fixture_dir(), c.inputs[i], &inputs[i], &error);
    if (!read) {
      std::printf("%s unreadable\n", c.name.c_str());
      continue;
    }
    const RunOutcome r = convert_and_run_on_cpu(fixture_dir(), c, inputs);
    if (r.status != RunOutcome::Status::kRan) {
      std::printf("%s status %d\n", c.name.c_str(), static_cast<int>(r.status));
      continue;
    }
    for (const TensorData& t : r.outputs) {
      const uint64_t d = t.dtype == DType::kF32 ? digest(t.f32.data(), t.f32.size() * 4)
                                                : digest(t.i64.data(), t.i64.size() * 8);
      std::printf("%s/%s %016" PRIx64 "\n", c.name.c_str(), t.name.c_str(), d);
    }
  }
}

}  // namespace

int main() {
  products();
  conformance_cases();
  return 0;
}
