// Gated products: HardSigmoid(a) or Sigmoid(a) multiplied by a again
// becomes one HardSwish (then a Conv epilogue when a is a Conv output) or a
// Sigmoid in SiLU mode. The fused graph must give the unfused graph's bits,
// NaN, infinities and signed zeros included, and the look-alikes that are
// not that product must stay as they are.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "kernels/kernel.h"
#include "reference/random_data.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::bit_equal;
using test::random_values;

// Random values with the awkward ones sprinkled in: NaN, both infinities,
// both zeros, the HardSigmoid corners -3 and 3, and values large enough
// for exp to overflow.
std::vector<float> awkward_values(uint32_t seed, size_t n) {
  std::vector<float> v = random_values(n, seed, -8, 8);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            0.0f, -0.0f, 3.0f, -3.0f, 100.0f, -100.0f, 1e-30f};
  for (size_t i = 0; i < n; i += 7) v[i] = specials[(i / 7) % std::size(specials)];
  return v;
}




uint64_t f32(float v) { return GraphBuilder::f32_word(v); }

// The words the converter writes for a HardSigmoid with ONNX's defaults
// (alpha 0.2) and for PyTorch's export of HardSwish (alpha 1/6).
constexpr float kSixth = 0.16666667f;

enum class Gate { kHardSwish, kSilu };

struct GateCase {
  const char* name;
  Gate gate;
  bool gate_first;  // Mul(g, a) rather than Mul(a, g)
};

constexpr GateCase kGateCases[] = {
    {"HardSigmoid, Mul(a, g)", Gate::kHardSwish, false},
    {"HardSigmoid, Mul(g, a)", Gate::kHardSwish, true},
    {"Sigmoid, Mul(a, g)", Gate::kSilu, false},
    {"Sigmoid, Mul(g, a)", Gate::kSilu, true},
};

// Appends the gate of `a` and the product to the graph.
void add_gate(GraphBuilder& b, Gate gate, bool gate_first, uint64_t a, uint64_t g, uint64_t out,
              float alpha = kSixth, float beta = 0.5f) {
  if (gate == Gate::kHardSwish)
    b.node(op::HardSigmoid, {a}, {g}, {{attr::HardSigmoid::kAlpha, f32(alpha)}, {attr::HardSigmoid::kBeta, f32(beta)}});
  else
    b.node(op::Sigmoid, {a}, {g}, {{attr::Sigmoid::kMode, f32(1.0f)}, {attr::Sigmoid::kParam, f32(1.0f)}});
  if (gate_first)
    b.node(op::Mul, {g, a}, {out});
  else
    b.node(op::Mul, {a, g}, {out});
}

float gate_ref(Gate gate, float a) {
  if (gate == Gate::kHardSwish) return a * std::min(1.0f, std::max(0.0f, a / 6.0f + 0.5f));
  return a / (1.0f + std::exp(-a));
}

// Gate straight on a graph input, at a size below and above the point where
// elementwise work is split across threads.
TEST(FusionGate, GateOfAnInputBecomesOneNode) {
  for (const GateCase& c : kGateCases)
    for (uint64_t n : {uint64_t{37}, uint64_t{70000}}) {
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(n) + " elements");
      GraphBuilder b;
      uint64_t in = b.input({1, n});
      uint64_t g = b.act({1, n});
      uint64_t out = b.output({1, n});
      add_gate(b, c.gate, c.gate_first, in, g, out);
      const std::vector<float> x = awkward_values(3, n);
      test::FusionRun fused = run_fused(b, x, n, true);
      test::FusionRun plain = run_fused(b, x, n, false);
      ASSERT_EQ(fused.nodes(), 1u);
      ASSERT_EQ(plain.nodes(), 2u);
      const NodeRecord& f = fused.records[0];
      EXPECT_EQ(f.op(), c.gate == Gate::kHardSwish ? op::HardSwish : op::Sigmoid);
      if (c.gate == Gate::kSilu) {
        EXPECT_EQ(f.attr(attr::Fusion::kMode), attr::Sigmoid::kSiLU);
      }
      EXPECT_EQ(f.input(0), in);
      EXPECT_EQ(f.output(0), out);
      EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
      for (uint64_t i = 0; i < n; ++i) {
        const float want = gate_ref(c.gate, x[i]);
        if (std::isnan(want) || std::isinf(want)) {
          // inf * 0 of the Sigmoid's far tail: both graphs give NaN there.
          EXPECT_TRUE(std::isnan(fused.y[i]) || fused.y[i] == want) << "at " << i;
          continue;
        }
        ASSERT_NEAR(fused.y[i], want, 1e-5f + 1e-5f * std::fabs(want)) << "at " << i << ", x " << x[i];
      }
    }
}

struct ConvShape {
  const char* name;
  uint64_t cin, cout, k, stride, pad, groups, h;
};

constexpr ConvShape kConvShapes[] = {
    {"depthwise 3x3", 16, 16, 3, 1, 1, 16, 20},
    {"depthwise 5x5 stride 2", 24, 24, 5, 2, 2, 24, 17},
    {"pointwise", 8, 16, 1, 1, 0, 1, 9},
    {"general 3x3", 4, 8, 3, 1, 1, 1, 10},
};

// Conv -> gate -> Mul(conv output, gate). The HardSigmoid form ends as one
// Conv with the HardSwish epilogue, the Sigmoid form as one with SiLU.
TEST(FusionGate, GateOfAConvOutputFusesOnEveryConvPath) {
  for (const ConvShape& s : kConvShapes)
    for (const GateCase& c : kGateCases) {
      SCOPED_TRACE(std::string(s.name) + ", " + c.name);
      const uint64_t ho = (s.h + 2 * s.pad - s.k) / s.stride + 1;
      GraphBuilder b;
      uint64_t in = b.input({1, s.cin, s.h, s.h});
      uint64_t W = b.weight({s.cout, s.cin / s.groups, s.k, s.k},
                            random_values(s.cout * (s.cin / s.groups) * s.k * s.k, 5, -1, 1));
      uint64_t B = b.weight({s.cout}, random_values(s.cout, 6, -1, 1));
      uint64_t t = b.act({1, s.cout, ho, ho}), g = b.act({1, s.cout, ho, ho});
      uint64_t out = b.output({1, s.cout, ho, ho});
      b.node(op::Conv, {in, W, B}, {t},
             {{attr::Conv::kKernelH, s.k}, {attr::Conv::kKernelW, s.k}, {attr::Conv::kStrideH, s.stride},
              {attr::Conv::kStrideW, s.stride}, {attr::Conv::kPadTop, s.pad}, {attr::Conv::kPadLeft, s.pad},
              {attr::Conv::kPadBottom, s.pad},
              {attr::Conv::kPadRight, s.pad}, {attr::Conv::kGroups, s.groups}, {attr::Conv::kParam, f32(1.0f)}});
      add_gate(b, c.gate, c.gate_first, t, g, out);
      const std::vector<float> x = random_values(s.cin * s.h * s.h, 7, -4, 4);
      const size_t n = s.cout * ho * ho;
      test::FusionRun fused = run_fused(b, x, n, true);
      test::FusionRun plain = run_fused(b, x, n, false);
      ASSERT_EQ(plain.nodes(), 3u);
      // The gated product, then the Conv's epilogue takes it.
      ASSERT_EQ(fused.nodes(), 1u);
      EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode),
                c.gate == Gate::kHardSwish ? attr::Conv::kHardSwish : attr::Conv::kSiLU);
      EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
    }
}

// A Sigmoid whose attribute words hold a stray 1 (as a file might write)
// is an ordinary Sigmoid: the mode comes from fusion alone.
TEST(FusionGate, SigmoidModeWordFromTheFileIsIgnored) {
  GraphBuilder b;
  uint64_t in = b.input({8});
  uint64_t out = b.output({8});
  b.node(op::Sigmoid, {in}, {out}, {{attr::Sigmoid::kMode, attr::Sigmoid::kSiLU},
                                    {attr::Sigmoid::kParam, attr::Sigmoid::kSiLU}});
  const std::vector<float> x = {-2, -1, 0, 1, 2, 3, 4, 5};
  test::FusionRun r = run_fused(b, x, 8, true);
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(r.y[i], 1.0f / (1.0f + std::exp(-x[i])), 1e-6f);
}

// Sigmoid hands a NaN on unchanged (sign and payload), in the vector body
// and the scalar tail alike: that is what makes x * Sigmoid(x) independent
// of which operand the multiply propagates.
TEST(FusionGate, SigmoidPassesNaNThrough) {
  const uint32_t nans[] = {0x7fc00000u, 0xffc00000u, 0x7fc12345u, 0xffd00001u};
  for (uint64_t n : {uint64_t{3}, uint64_t{13}, uint64_t{9000}}) {
    GraphBuilder b;
    uint64_t in = b.input({n});
    uint64_t out = b.output({n});
    b.node(op::Sigmoid, {in}, {out});
    std::vector<float> x = random_values(n, 12, -6, 6);
    for (uint64_t i = 0; i < n; i += 2) std::memcpy(&x[i], &nans[(i / 2) % 4], 4);
    test::FusionRun r = run_fused(b, x, n, true);
    for (uint64_t i = 0; i < n; ++i) {
      if (i % 2 == 0) {
        ASSERT_EQ(std::memcmp(&r.y[i], &x[i], 4), 0) << "NaN at " << i << " of " << n;
      } else {
        ASSERT_NEAR(r.y[i], 1.0f / (1.0f + std::exp(-x[i])), 1e-6f) << "at " << i;
      }
    }
  }
}

// Look-alikes that must stay separate nodes.
enum class Near {
  kOtherAlpha,      // HardSigmoid with ONNX's default alpha 0.2
  kOtherBeta,       // HardSigmoid with alpha 1/6 but beta 0.4
  kGateReadTwice,   // the gate also feeds an Add
  kBroadcastMul,    // the gate of a per-channel value scales a full tensor
  kOtherOperand,    // Mul(b, gate(a)) with b another value of the same count
};

struct NearCase {
  const char* name;
  Gate gate;
  Near kind;
};

constexpr NearCase kNearCases[] = {
    {"HardSigmoid alpha 0.2", Gate::kHardSwish, Near::kOtherAlpha},
    {"HardSigmoid beta 0.4", Gate::kHardSwish, Near::kOtherBeta},
    {"HardSigmoid read twice", Gate::kHardSwish, Near::kGateReadTwice},
    {"Sigmoid read twice", Gate::kSilu, Near::kGateReadTwice},
    {"HardSigmoid, broadcast Mul", Gate::kHardSwish, Near::kBroadcastMul},
    {"Sigmoid, broadcast Mul", Gate::kSilu, Near::kBroadcastMul},
    {"HardSigmoid, other operand", Gate::kHardSwish, Near::kOtherOperand},
    {"Sigmoid, other operand", Gate::kSilu, Near::kOtherOperand},
};

TEST(FusionGate, LookAlikesAreNotFused) {
  for (const NearCase& c : kNearCases) {
    SCOPED_TRACE(c.name);
    GraphBuilder b;
    const uint64_t ch = 6, hw = 5;
    const uint64_t n = ch * hw * hw;
    uint64_t in = b.input({1, ch, hw, hw});
    uint64_t out = b.output({1, ch, hw, hw});
    uint64_t expect_nodes = 2;
    if (c.kind == Near::kOtherAlpha || c.kind == Near::kOtherBeta) {
      uint64_t g = b.act({1, ch, hw, hw});
      add_gate(b, c.gate, false, in, g, out, c.kind == Near::kOtherAlpha ? 0.2f : kSixth,
               c.kind == Near::kOtherBeta ? 0.4f : 0.5f);
    } else if (c.kind == Near::kGateReadTwice) {
      uint64_t g = b.act({1, ch, hw, hw}), m = b.act({1, ch, hw, hw});
      add_gate(b, c.gate, false, in, g, m);
      b.node(op::Add, {m, g}, {out});
      expect_nodes = 3;
    } else if (c.kind == Near::kBroadcastMul) {
      // Squeeze-excitation: the gate of a pooled value scales the tensor.
      uint64_t pooled = b.act({1, ch, 1, 1}), g = b.act({1, ch, 1, 1});
      b.node(op::GlobalAveragePool, {in}, {pooled});
      add_gate(b, c.gate, false, pooled, g, out);
      b.nodes.back().w[2] = in;  // Mul(in, gate(pooled))
      expect_nodes = 3;
    } else {
      uint64_t other = b.act({1, ch, hw, hw}), g = b.act({1, ch, hw, hw});
      b.node(op::Neg, {in}, {other});
      add_gate(b, c.gate, false, in, g, out);
      b.nodes.back().w[2] = other;  // Mul(other, gate(in))
      expect_nodes = 3;
    }
    const std::vector<float> x = awkward_values(9, n);
    test::FusionRun fused = run_fused(b, x, n, true);
    test::FusionRun plain = run_fused(b, x, n, false);
    EXPECT_EQ(fused.nodes(), expect_nodes);
    for (const NodeRecord& r : fused.records) {
      EXPECT_NE(r.op(), op::HardSwish);
      EXPECT_EQ(r.op() == op::Sigmoid ? r.attr(attr::Fusion::kMode) : 0u, attr::Fusion::kNone);
    }
    EXPECT_TRUE(bit_equal(fused.y, plain.y));
  }
}

// The Mul writes its product back into a (in place): fusing would write a
// in the gate's place, before the gate has read it, so nothing is fused.
TEST(FusionGate, ProductWrittenBackIntoItsInputIsNotFused) {
  for (Gate gate : {Gate::kHardSwish, Gate::kSilu}) {
    GraphBuilder b;
    uint64_t in = b.input({40});
    uint64_t g = b.act({40});
    uint64_t out = b.output({40});
    add_gate(b, gate, false, in, g, in);
    b.node(op::Neg, {in}, {out});
    const std::vector<float> x = awkward_values(13, 40);
    test::FusionRun fused = run_fused(b, x, 40, true);
    test::FusionRun plain = run_fused(b, x, 40, false);
    EXPECT_EQ(fused.nodes(), 3u);
    EXPECT_TRUE(bit_equal(fused.y, plain.y));
  }
}

// The Conv output a is also read by a third node: the gate and the Mul
// still become one HardSwish, but the Conv keeps its output and so no
// epilogue.
TEST(FusionGate, ConvOutputReadElsewhereKeepsTheHardSwishNode) {
  GraphBuilder b;
  uint64_t in = b.input({1, 4, 6, 6});
  uint64_t W = b.weight({4, 4, 1, 1}, random_values(16, 8, -1, 1));
  uint64_t t = b.act({1, 4, 6, 6}), g = b.act({1, 4, 6, 6}), h = b.act({1, 4, 6, 6});
  uint64_t out = b.output({1, 4, 6, 6});
  b.node(op::Conv, {in, W}, {t}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  add_gate(b, Gate::kHardSwish, false, t, g, h);
  b.node(op::Add, {h, t}, {out});
  const std::vector<float> x = random_values(144, 10, -5, 5);
  test::FusionRun fused = run_fused(b, x, 144, true);
  test::FusionRun plain = run_fused(b, x, 144, false);
  ASSERT_EQ(fused.nodes(), 3u);
  EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Fusion::kNone);
  EXPECT_EQ(fused.records[1].op(), op::HardSwish);
  EXPECT_TRUE(bit_equal(fused.y, plain.y));
}

}  // namespace
}  // namespace vorn
