// Fusion and folding: a graph of Conv + BatchNormalization + Relu chains,
// LeakyRelu, a scaled addition and nested channel Concats gives the same
// outputs fused and with VORN_CPU_NOFUSE, and both match plain loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <cstdlib>
#include <random>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "kernels/kernel.h"
#include "generation/pinned_child.h"
#include "reference/scoped_env.h"
#include "tests/cpu/graph_builder.h"
#include "tests/cpu/reference_ops.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::Tensor;

std::vector<float> random_values(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

using test::ScopedEnv;

void expect_near_all(const std::vector<float>& got, const std::vector<float>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_NEAR(got[i], want[i], 1e-4f + 1e-4f * std::fabs(want[i])) << what << " at " << i;
}

struct ChainGraph {
  GraphBuilder b;
  Tensor expected;
  std::vector<float> x;
  uint64_t nodes;

  explicit ChainGraph(uint32_t seed) {
    std::mt19937 rng(seed);
    const uint64_t h = 8;
    x = random_values(rng, 3 * h * h, -1, 1);
    auto w1 = random_values(rng, 4 * 3 * 9, -0.5f, 0.5f), b1 = random_values(rng, 4, -0.2f, 0.2f);
    auto s1 = random_values(rng, 4, -1.5f, 1.5f), h1 = random_values(rng, 4, -0.3f, 0.3f);
    auto w2 = random_values(rng, 4 * 4 * 9, -0.5f, 0.5f);
    auto s2 = random_values(rng, 4, -1.5f, 1.5f), h2 = random_values(rng, 4, -0.3f, 0.3f);
    auto w3 = random_values(rng, 16, -0.5f, 0.5f), b3 = random_values(rng, 4, -0.2f, 0.2f);
    const float k = 0.75f;

    const std::vector<uint64_t> shape{1, 4, h, h};
    uint64_t in = b.input({1, 3, h, h});
    uint64_t W1 = b.weight({4, 3, 3, 3}, w1), B1 = b.weight({4}, b1);
    uint64_t S1 = b.weight({4}, s1), H1 = b.weight({4}, h1);
    uint64_t W2 = b.weight({4, 4, 3, 3}, w2);
    uint64_t S2 = b.weight({4}, s2), H2 = b.weight({4}, h2);
    uint64_t W3 = b.weight({4, 4, 1, 1}, w3), B3 = b.weight({4}, b3);
    uint64_t K = b.weight({1}, {k});
    uint64_t t1 = b.act(shape), t2 = b.act(shape), t3 = b.act(shape), t4 = b.act(shape);
    uint64_t t5 = b.act(shape), t6 = b.act(shape), t7 = b.act(shape), t8 = b.act(shape);
    uint64_t t9 = b.act(shape), t10 = b.act(shape);
    uint64_t t11 = b.act({1, 8, h, h}), t12 = b.act({1, 12, h, h});
    uint64_t out = b.output({1, 12, h, h});
    const std::initializer_list<std::pair<int, uint64_t>> k3 = {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                                {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}};
    // The converter's default bits of 1.0f in word 15 are not a fusion mode.
    b.node(op::Conv, {in, W1, B1}, {t1}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                          {attr::Conv::kPadTop, 1},
                                          {attr::Conv::kPadLeft, 1},
                                          {attr::Conv::kParam, GraphBuilder::f32_word(1.0f)}});
    b.node(op::BatchNormalization, {t1, S1, H1}, {t2});
    b.node(op::Relu, {t2}, {t3});
    b.node(op::Conv, {t3, W2}, {t4}, k3);
    b.node(op::Relu, {t4}, {t5});
    b.node(op::BatchNormalization, {t5, S2, H2}, {t6});
    b.node(op::Conv, {t6, W3, B3}, {t7}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
    b.node(op::LeakyRelu, {t7}, {t8}, {{attr::LeakyRelu::kAlpha, GraphBuilder::f32_word(0.1f)}});
    b.node(op::Mul, {t8, K}, {t9});
    b.node(op::Add, {t9, t6}, {t10}, {{attr::Add::kMode, GraphBuilder::f32_word(1.0f)}});
    b.node(op::Concat, {t10, t3}, {t11}, {{attr::Concat::kAxis, 1}});
    b.node(op::Concat, {t11, t6}, {t12}, {{attr::Concat::kAxis, GraphBuilder::i64_word(-3)}});
    b.node(op::Relu, {t12}, {out});
    nodes = b.nodes.size();

    Tensor X{{1, 3, h, h}, x};
    Tensor r3 = test::ref_leaky(test::ref_bn(test::ref_conv(X, w1, b1, 4, 3, 1), s1, h1), 0.0f);
    Tensor r6 = test::ref_bn(test::ref_leaky(test::ref_conv(r3, w2, {}, 4, 3, 1), 0.0f), s2, h2);
    Tensor r8 = test::ref_leaky(test::ref_conv(r6, w3, b3, 4, 1, 0), 0.1f);
    Tensor r10 = test::ref_add(test::ref_scale(r8, k), r6);
    Tensor r12 = test::ref_concat({&r10, &r3, &r6});
    expected = test::ref_leaky(r12, 0.0f);
  }
};

TEST(Fusion, ChainsGiveTheSameOutputsFusedAndUnfused) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    ChainGraph g(seed);
    std::vector<float> fused(g.expected.v.size()), plain(g.expected.v.size());
    {
      test::Engine e(g.b);
      ASSERT_TRUE(e.ok()) << e.error.message;
      // Conv+BN+Relu, Conv+Relu+BN, Conv+LeakyRelu, Mul+Add: 13 nodes become 7.
      EXPECT_EQ(e.state->node_count, 7u);
      EXPECT_EQ(e.state->nodes[0].attr(attr::Fusion::kMode), attr::Conv::kRelu);
      EXPECT_EQ(e.state->nodes[1].attr(attr::Fusion::kMode), attr::Conv::kReluScaleShift);
      EXPECT_EQ(e.state->nodes[2].attr(attr::Fusion::kMode), attr::Conv::kLeakyRelu);
      EXPECT_EQ(e.state->nodes[3].op(), op::Add);
      EXPECT_EQ(e.state->nodes[3].attr(attr::Fusion::kMode), attr::Add::kScaledAdd);
      EXPECT_EQ(e.state->nodes[5].input_count(), 3u);  // the Concats were spliced
      ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), fused.data()));
    }
    {
      ScopedEnv off("VORN_CPU_NOFUSE", "1");
      test::Engine e(g.b);
      ASSERT_TRUE(e.ok()) << e.error.message;
      EXPECT_EQ(e.state->node_count, g.nodes);
      ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), plain.data()));
    }
    expect_near_all(fused, plain, "fused against unfused");
    expect_near_all(fused, g.expected.v, "fused against the reference");
  }
}

// A stem: a 3 x 3 stride-2 Conv with Relu into 64 channels of 65 x 65 (over
// 1 MiB) and the 3 x 3 stride-2 MaxPool behind it.
struct StemGraph {
  GraphBuilder b;
  std::vector<float> x;
  explicit StemGraph(uint32_t seed) {
    std::mt19937 rng(seed);
    x = random_values(rng, 3 * 131 * 131, -1, 1);
    const uint64_t in = b.input({1, 3, 131, 131});
    const uint64_t w = b.weight({64, 3, 3, 3}, random_values(rng, 64 * 27, -0.5f, 0.5f));
    const uint64_t bias = b.weight({64}, random_values(rng, 64, -0.2f, 0.2f));
    const uint64_t conv = b.act({1, 64, 65, 65}), relu = b.act({1, 64, 65, 65}), out = b.output({1, 64, 32, 32});
    b.node(op::Conv, {in, w, bias}, {conv},
           {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kStrideH, 2}, {attr::Conv::kStrideW, 2}});
    b.node(op::Relu, {conv}, {relu});
    b.node(op::MaxPool, {relu}, {out},
           {{attr::MaxPool::kKernelH, 3}, {attr::MaxPool::kKernelW, 3}, {attr::MaxPool::kStrideH, 2},
            {attr::MaxPool::kStrideW, 2}});
  }
};

TEST(FusionCores, StemAndPoolChild) {
  if (!test::in_pinned_child()) GTEST_SKIP() << "runs in the pinned children only";
  StemGraph g(5);
  std::vector<float> together(64 * 32 * 32), apart(together.size());
  {
    test::Engine e(g.b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    ASSERT_EQ(e.state->node_count, 2u);
    // Marked on one thread, the pool listing the Conv's input.
    const bool marked = e.state->nodes[0].attr(attr::Conv::kFeedsNext) == attr::Conv::kNextMaxPool &&
                        e.state->nodes[1].input_count() == 2 &&
                        e.state->nodes[1].input(1) == e.state->nodes[0].input(0);
    ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), together.data()));
    std::printf("ANSWER marked %d\n", int(marked));
  }
  {
    ScopedEnv off("VORN_CPU_NOFUSE", "1");
    test::Engine e(g.b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), apart.data()));
  }
  std::printf("ANSWER same %d\n", int(test::bit_equal(together, apart)));
}

TEST(Fusion, StemConvAndPoolRunTogetherOnOneCoreWithTheUnfusedBits) {
  // On one core the pair is marked and runs in bands; on more it runs
  // apart. Either way the output is the unfused graph's, bit for bit.
  const std::vector<int> counts = test::pinned_core_counts();
  EXPECT_EQ(test::run_pinned(1, "FusionCores.StemAndPoolChild"), "ANSWER marked 1\nANSWER same 1\n");
  for (int n : counts) {
    if (n == 1) continue;
    EXPECT_EQ(test::run_pinned(n, "FusionCores.StemAndPoolChild"), "ANSWER marked 0\nANSWER same 1\n") << n;
  }
}

TEST(Fusion, EmptyNoFuseValueAlsoTurnsFusionOff) {
  ChainGraph g(7);
  ScopedEnv off("VORN_CPU_NOFUSE", "");
  test::Engine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.state->node_count, g.nodes);
}

// Two Convs -> BatchNormalization each, sharing one parameter: folding must
// leave the shared data alone, so neither pair is folded and the result
// stays right.
TEST(Fusion, SharedWeightOrBiasIsNotFolded) {
  for (bool share_bias : {false, true}) {
    std::mt19937 rng(11);
    GraphBuilder b;
    auto w = random_values(rng, 2 * 2 * 9, -1, 1), w2 = random_values(rng, 2 * 2 * 9, -1, 1);
    auto bias = random_values(rng, 2, -1, 1), s = random_values(rng, 2, 0.5f, 2), t = random_values(rng, 2, -1, 1);
    auto x = random_values(rng, 2 * 16, -1, 1);
    uint64_t in = b.input({1, 2, 4, 4});
    uint64_t W = b.weight({2, 2, 3, 3}, w);
    uint64_t W2 = share_bias ? b.weight({2, 2, 3, 3}, w2) : W;
    uint64_t B = b.weight({2}, bias), S = b.weight({2}, s), T = b.weight({2}, t);
    uint64_t a1 = b.act({1, 2, 4, 4}), a2 = b.act({1, 2, 4, 4}), a3 = b.act({1, 2, 4, 4});
    uint64_t a4 = b.act({1, 2, 4, 4});
    uint64_t out = b.output({1, 2, 4, 4});
    const std::initializer_list<std::pair<int, uint64_t>> k3 = {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                                                {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}};
    b.node(op::Conv, {in, W, B}, {a1}, k3);
    b.node(op::BatchNormalization, {a1, S, T}, {a2});
    b.node(op::Conv, {in, W2, B}, {a3}, k3);
    b.node(op::BatchNormalization, {a3, S, T}, {a4});
    b.node(op::Add, {a2, a4}, {out});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    EXPECT_EQ(e.state->node_count, 5u) << (share_bias ? "shared bias" : "shared weight");
    EXPECT_EQ(e.state->data[W], static_cast<void*>(b.storage.data() + b.values[W].data_offset() / 4));
    std::vector<float> y(32);
    ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), y.data()));
    Tensor X{{1, 2, 4, 4}, x};
    Tensor r = test::ref_add(test::ref_bn(test::ref_conv(X, w, bias, 2, 3, 1), s, t),
                             test::ref_bn(test::ref_conv(X, share_bias ? w2 : w, bias, 2, 3, 1), s, t));
    expect_near_all(y, r.v, share_bias ? "shared bias" : "shared weight");
  }
}

// A BatchNormalization whose scale and bias hold more values than the
// Conv has output channels (its kernel reads the first ones) is not folded,
// behind the Conv or behind Conv and Relu; the answer is the unfolded one.
TEST(Fusion, BatchNormWithOtherChannelCountIsNotFolded) {
  std::mt19937 rng(5);
  auto w = random_values(rng, 4 * 4, -1, 1), s = random_values(rng, 8, 0.5f, 2), t = random_values(rng, 8, -1, 1);
  auto x = random_values(rng, 4 * 16, -1, 1);
  for (bool relu : {false, true}) {
    SCOPED_TRACE(relu ? "Conv, Relu, BatchNormalization" : "Conv, BatchNormalization");
    GraphBuilder b;
    uint64_t in = b.input({1, 4, 4, 4});
    uint64_t W = b.weight({4, 4, 1, 1}, w), S = b.weight({8}, s), T = b.weight({8}, t);
    uint64_t a = b.act({1, 4, 4, 4}), r = relu ? b.act({1, 4, 4, 4}) : a;
    uint64_t out = b.output({1, 4, 4, 4});
    b.node(op::Conv, {in, W}, {a}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
    if (relu) b.node(op::Relu, {a}, {r});
    b.node(op::BatchNormalization, {r, S, T}, {out});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    // The Relu still joins the Conv; the BatchNormalization stays a node.
    EXPECT_EQ(e.state->node_count, 2u);
    EXPECT_EQ(e.state->nodes[e.state->node_count - 1].op(), op::BatchNormalization);
    std::vector<float> y(64);
    ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), y.data()));
    Tensor c = test::ref_conv(Tensor{{1, 4, 4, 4}, x}, w, {}, 4, 1, 0);
    if (relu) c = test::ref_leaky(c, 0.0f);
    for (uint64_t ch = 0; ch < 4; ++ch)
      for (uint64_t i = 0; i < 16; ++i) c.v[ch * 16 + i] = c.v[ch * 16 + i] * s[ch] + t[ch];
    expect_near_all(y, c.v, "BatchNormalization of 8 values behind 4 channels");
  }
}

// ConvTranspose + Relu becomes one ConvTranspose with the Relu epilogue; a
// value the file left in attribute word 14 is not taken for a mode.
TEST(Fusion, ConvTransposeTakesTheRelu) {
  std::mt19937 rng(21);
  GraphBuilder b;
  auto w = random_values(rng, 2 * 3 * 4, -1, 1), bias = random_values(rng, 3, -1, 1);
  auto x = random_values(rng, 2 * 9, -1, 1);
  uint64_t in = b.input({1, 2, 3, 3});
  uint64_t W = b.weight({2, 3, 2, 2}, w), B = b.weight({3}, bias);
  uint64_t t = b.act({1, 3, 4, 4});
  uint64_t out = b.output({1, 3, 4, 4});
  b.node(op::ConvTranspose, {in, W, B}, {t}, {{attr::ConvTranspose::kKernelH, 2}, {attr::ConvTranspose::kKernelW, 2},
                                              {attr::ConvTranspose::kMode, GraphBuilder::f32_word(1.0f)}});
  b.node(op::Relu, {t}, {out});
  std::vector<float> fused(48), plain(48);
  {
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    ASSERT_EQ(e.state->node_count, 1u);
    EXPECT_EQ(e.state->nodes[0].attr(attr::Fusion::kMode), attr::Conv::kRelu);
    ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), fused.data()));
  }
  {
    ScopedEnv off("VORN_CPU_NOFUSE", "1");
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    EXPECT_EQ(e.state->nodes[0].attr(attr::Fusion::kMode), attr::Fusion::kNone);
    ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), plain.data()));
  }
  expect_near_all(fused, plain, "ConvTranspose fused against unfused");
  for (float v : plain) EXPECT_GE(v, 0.0f);
}

TEST(Fusion, ConvWithoutBiasTakesTheBatchNormShift) {
  GraphBuilder b;
  uint64_t in = b.input({1, 2, 2, 2});
  uint64_t W = b.weight({2, 2, 1, 1}, {1, 0, 0, 1});
  uint64_t S = b.weight({2}, {2, 3}), T = b.weight({2}, {10, 20});
  uint64_t a = b.act({1, 2, 2, 2});
  uint64_t out = b.output({1, 2, 2, 2});
  b.node(op::Conv, {in, W}, {a}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  b.node(op::BatchNormalization, {a, S, T}, {out});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  ASSERT_EQ(e.state->node_count, 1u);
  const NodeRecord& conv = e.state->nodes[0];
  EXPECT_EQ(conv.input_count(), 3u);
  EXPECT_EQ(conv.input(2), T);
  EXPECT_EQ(conv.output(0), out);
  EXPECT_EQ(e.state->values[a].bytes(), 0u);
  // Only the folded weight went into the block; the shift is read in place.
  EXPECT_EQ(e.state->data[T], static_cast<void*>(b.storage.data() + b.values[T].data_offset() / 4));
  EXPECT_EQ(e.state->data[W], e.state->fused_weights);
  float x[8] = {1, 2, 3, 4, 5, 6, 7, 8}, y[8];
  ASSERT_TRUE(cpu_engine_execute(&e.state, x, y));
  for (int i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(y[i], x[i] * 2 + 10);
    EXPECT_FLOAT_EQ(y[4 + i], x[4 + i] * 3 + 20);
  }
}

TEST(Fusion, NestedConcatsAreSplicedUpToEightInputs) {
  for (uint64_t outer_inputs : {3u, 5u}) {
    // Concat of 4 Relu outputs, then a Concat of that with outer_inputs - 1
    // more: 3 + 4 - 1 = 6 inputs splice, 5 + 4 - 1 = 8 splice, and 9 would not.
    for (uint64_t inner_inputs : {4u, 5u}) {
      GraphBuilder b;
      uint64_t in = b.input({1, 1, 4, 4});
      std::vector<uint64_t> parts;
      for (uint64_t k = 0; k < inner_inputs + outer_inputs - 1; ++k) {
        parts.push_back(b.act({1, 1, 4, 4}));
        b.node(op::Relu, {in}, {parts.back()});
      }
      uint64_t inner = b.act({1, inner_inputs, 4, 4});
      NodeRecord n{};
      n.set_op(op::Concat);
      n.w[1] = inner_inputs;
      for (uint64_t k = 0; k < inner_inputs; ++k) n.w[2 + k] = parts[k];
      n.w[10] = 1;
      n.w[11] = inner;
      n.set_attr(attr::Concat::kAxis, 1);
      b.nodes.push_back(n);
      uint64_t out = b.output({1, inner_inputs + outer_inputs - 1, 4, 4});
      NodeRecord m{};
      m.set_op(op::Concat);
      m.w[1] = outer_inputs;
      m.w[2] = inner;
      for (uint64_t k = 1; k < outer_inputs; ++k) m.w[2 + k] = parts[inner_inputs + k - 1];
      m.w[10] = 1;
      m.w[11] = out;
      m.set_attr(attr::Concat::kAxis, 1);
      b.nodes.push_back(m);
      test::Engine e(b);
      ASSERT_TRUE(e.ok()) << e.error.message;
      const NodeRecord& last = e.state->nodes[e.state->node_count - 1];
      const uint64_t total = inner_inputs + outer_inputs - 1;
      EXPECT_EQ(last.input_count(), total <= 8 ? total : outer_inputs) << inner_inputs << "+" << outer_inputs;
      std::vector<float> x(16), y(16 * total);
      for (int i = 0; i < 16; ++i) x[i] = static_cast<float>(i) - 5;
      ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), y.data()));
      for (uint64_t c = 0; c < total; ++c)
        for (int i = 0; i < 16; ++i) ASSERT_EQ(y[c * 16 + i], std::max(0.0f, x[i]));
    }
  }
}

TEST(Fusion, MulByTwoElementWeightIsLeftAlone) {
  GraphBuilder b;
  uint64_t in = b.input({2});
  uint64_t k = b.weight({2}, {2.0f, 3.0f});
  uint64_t m = b.act({2});
  uint64_t other = b.input({2});
  uint64_t out = b.output({2});
  b.node(op::Mul, {in, k}, {m});
  b.node(op::Add, {other, m}, {out});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.state->node_count, 2u);
  float two[2] = {10.0f, 20.0f};
  ASSERT_EQ(cpu_engine_set_input(&e.state, other, two, 8), 1u);
  float x[2] = {1.0f, 1.0f}, y[2];
  ASSERT_TRUE(cpu_engine_execute(&e.state, x, y));
  EXPECT_FLOAT_EQ(y[0], 12.0f);
  EXPECT_FLOAT_EQ(y[1], 23.0f);
}


// Conv followed by Clip or HardSwish: the activation becomes the Conv's
// epilogue on every Conv path (depthwise strips, 1 x 1, tiled im2col,
// grouped, channel-split) and the outputs equal the unfused graph bit for
// bit, since the epilogue does the activation's own float operations.
struct ConvShape {
  const char* name;
  uint64_t cin, cout, k, stride, pad, groups, h;
};

struct EpilogueAct {
  const char* name;
  uint64_t op;  // Clip or HardSwish
  float lo, hi;
  uint64_t mode;
};

constexpr ConvShape kConvShapes[] = {
    {"depthwise 3x3", 16, 16, 3, 1, 1, 16, 20},
    {"depthwise 3x3 stride 2", 24, 24, 3, 2, 1, 24, 21},
    {"depthwise 5x5", 8, 8, 5, 1, 2, 8, 13},
    {"pointwise", 8, 16, 1, 1, 0, 1, 9},
    {"pointwise, many channels", 128, 128, 1, 1, 0, 1, 4},
    {"general 3x3", 4, 8, 3, 1, 1, 1, 10},
    {"general 3x3, large", 16, 32, 3, 1, 1, 1, 32},
    {"grouped 3x3", 8, 8, 3, 1, 1, 2, 9},
};

constexpr EpilogueAct kEpilogueActs[] = {
    {"Clip(0, 6)", op::Clip, 0.0f, 6.0f, attr::Conv::kClip},
    {"Clip(-1, 1)", op::Clip, -1.0f, 1.0f, attr::Conv::kClip},
    {"HardSwish", op::HardSwish, 0.0f, 0.0f, attr::Conv::kHardSwish},
};

float act_ref(const EpilogueAct& a, float v) {
  if (a.op == op::Clip) return std::min(std::max(v, a.lo), a.hi);
  return v * std::min(1.0f, std::max(0.0f, v / 6.0f + 0.5f));
}

// Direct convolution from the definition, then the activation.
std::vector<float> conv_act_ref(const ConvShape& c, const EpilogueAct& a, const std::vector<float>& x,
                                const std::vector<float>& w, const std::vector<float>& bias, uint64_t ho) {
  const uint64_t cin_g = c.cin / c.groups, cout_g = c.cout / c.groups;
  std::vector<float> y(c.cout * ho * ho);
  for (uint64_t o = 0; o < c.cout; ++o)
    for (uint64_t oy = 0; oy < ho; ++oy)
      for (uint64_t ox = 0; ox < ho; ++ox) {
        double sum = bias[o];
        for (uint64_t i = 0; i < cin_g; ++i)
          for (uint64_t ky = 0; ky < c.k; ++ky)
            for (uint64_t kx = 0; kx < c.k; ++kx) {
              const int64_t iy = int64_t(oy * c.stride + ky) - int64_t(c.pad);
              const int64_t ix = int64_t(ox * c.stride + kx) - int64_t(c.pad);
              if (iy < 0 || ix < 0 || iy >= int64_t(c.h) || ix >= int64_t(c.h)) continue;
              const uint64_t ci = (o / cout_g) * cin_g + i;
              sum += double(x[(ci * c.h + iy) * c.h + ix]) * w[((o * cin_g + i) * c.k + ky) * c.k + kx];
            }
        y[(o * ho + oy) * ho + ox] = act_ref(a, float(sum));
      }
  return y;
}

struct ConvActGraph {
  GraphBuilder b;
  std::vector<float> x, expected;
  uint64_t W = 0, t = 0;

  ConvActGraph(const ConvShape& c, const EpilogueAct& a, uint32_t seed) {
    std::mt19937 rng(seed);
    const uint64_t ho = (c.h + 2 * c.pad - c.k) / c.stride + 1;
    x = random_values(rng, c.cin * c.h * c.h, -3, 3);
    auto w = random_values(rng, c.cout * (c.cin / c.groups) * c.k * c.k, -1, 1);
    auto bias = random_values(rng, c.cout, -1, 1);
    uint64_t in = b.input({1, c.cin, c.h, c.h});
    W = b.weight({c.cout, c.cin / c.groups, c.k, c.k}, w);
    uint64_t B = b.weight({c.cout}, bias);
    t = b.act({1, c.cout, ho, ho});
    uint64_t out = b.output({1, c.cout, ho, ho});
    b.node(op::Conv, {in, W, B}, {t},
           {{attr::Conv::kKernelH, c.k}, {attr::Conv::kKernelW, c.k}, {attr::Conv::kStrideH, c.stride},
            {attr::Conv::kStrideW, c.stride}, {attr::Conv::kPadTop, c.pad}, {attr::Conv::kPadLeft, c.pad},
            {attr::Conv::kPadBottom, c.pad}, {attr::Conv::kPadRight, c.pad},
            {attr::Conv::kGroups, c.groups}, {attr::Conv::kParam, GraphBuilder::f32_word(1.0f)}});
    if (a.op == op::Clip)
      b.node(op::Clip, {t}, {out}, {{attr::Clip::kMin, GraphBuilder::f32_word(a.lo)},
                                    {attr::Clip::kMax, GraphBuilder::f32_word(a.hi)}});
    else
      b.node(a.op, {t}, {out});
    expected = conv_act_ref(c, a, x, w, bias, ho);
  }
};

bool bit_equal(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

TEST(Fusion, ClipAndHardSwishBecomeTheConvEpilogueBitExactly) {
  for (const ConvShape& c : kConvShapes)
    for (const EpilogueAct& a : kEpilogueActs) {
      SCOPED_TRACE(std::string(c.name) + ", " + a.name);
      ConvActGraph g(c, a, 31);
      std::vector<float> fused(g.expected.size()), plain(g.expected.size());
      {
        test::Engine e(g.b);
        ASSERT_TRUE(e.ok()) << e.error.message;
        ASSERT_EQ(e.state->node_count, 1u);
        EXPECT_EQ(e.state->nodes[0].attr(attr::Fusion::kMode), a.mode);
        EXPECT_EQ(e.state->values[g.t].bytes(), 0u);
        ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), fused.data()));
      }
      {
        ScopedEnv off("VORN_CPU_NOFUSE", "1");
        test::Engine e(g.b);
        ASSERT_TRUE(e.ok()) << e.error.message;
        ASSERT_EQ(e.state->node_count, 2u);
        ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), plain.data()));
      }
      EXPECT_TRUE(bit_equal(fused, plain)) << "fused output differs from the unfused graph";
      expect_near_all(fused, g.expected, "fused against the reference");
      // The bounds were reached, so the clamp itself was exercised.
      if (a.op == op::Clip) {
        EXPECT_NE(std::count(fused.begin(), fused.end(), a.lo), 0);
        EXPECT_NE(std::count(fused.begin(), fused.end(), a.hi), 0);
      }
    }
}

// A Clip bound of NaN or an upper bound below the lower one behaves as the
// Clip kernel does (lower bound tested first) once fused.
TEST(Fusion, FusedClipKeepsTheKernelsOrderOfTests) {
  const EpilogueAct odd[] = {{"Clip(1, -1)", op::Clip, 1.0f, -1.0f, attr::Conv::kClip},
                             {"Clip(NaN, 0.5)", op::Clip, std::nanf(""), 0.5f, attr::Conv::kClip}};
  for (const ConvShape& c : {kConvShapes[0], kConvShapes[3]})
    for (const EpilogueAct& a : odd) {
      SCOPED_TRACE(std::string(c.name) + ", " + a.name);
      ConvActGraph g(c, a, 9);
      std::vector<float> fused(g.expected.size()), plain(g.expected.size());
      {
        test::Engine e(g.b);
        ASSERT_TRUE(e.ok()) << e.error.message;
        ASSERT_EQ(e.state->node_count, 1u);
        ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), fused.data()));
      }
      {
        ScopedEnv off("VORN_CPU_NOFUSE", "1");
        test::Engine e(g.b);
        ASSERT_TRUE(e.ok()) << e.error.message;
        ASSERT_TRUE(cpu_engine_execute(&e.state, g.x.data(), plain.data()));
      }
      EXPECT_TRUE(bit_equal(fused, plain));
    }
}

// The Conv output also feeds an Add, so the Clip cannot take it over.
TEST(Fusion, ClipOfAValueWithTwoConsumersIsNotFused) {
  for (uint64_t op : {op::Clip, op::HardSwish}) {
    std::mt19937 rng(4);
    GraphBuilder b;
    auto w = random_values(rng, 4 * 4 * 9, -1, 1), x = random_values(rng, 4 * 36, -3, 3);
    uint64_t in = b.input({1, 4, 6, 6});
    uint64_t W = b.weight({4, 4, 3, 3}, w);
    uint64_t t = b.act({1, 4, 6, 6}), c = b.act({1, 4, 6, 6});
    uint64_t out = b.output({1, 4, 6, 6});
    b.node(op::Conv, {in, W}, {t}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                    {attr::Conv::kPadLeft, 1}, {attr::Conv::kPadBottom, 1},
                                    {attr::Conv::kPadRight, 1}});
    b.node(op, {t}, {c}, {{attr::Clip::kMin, GraphBuilder::f32_word(0.0f)},
                          {attr::Clip::kMax, GraphBuilder::f32_word(6.0f)}});
    b.node(op::Add, {t, c}, {out});
    std::vector<float> fused(144), plain(144);
    {
      test::Engine e(b);
      ASSERT_TRUE(e.ok()) << e.error.message;
      ASSERT_EQ(e.state->node_count, 3u);
      EXPECT_EQ(e.state->nodes[0].attr(attr::Fusion::kMode), attr::Fusion::kNone);
      ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), fused.data()));
    }
    {
      ScopedEnv off("VORN_CPU_NOFUSE", "1");
      test::Engine e(b);
      ASSERT_TRUE(e.ok()) << e.error.message;
      ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), plain.data()));
    }
    EXPECT_TRUE(bit_equal(fused, plain));
    Tensor r = test::ref_conv(Tensor{{1, 4, 6, 6}, x}, w, {}, 4, 3, 1);
    EpilogueAct a{"", op, 0.0f, 6.0f, 0};
    for (float& v : r.v) v = v + act_ref(a, v);
    expect_near_all(fused, r.v, "Conv + activation of it");
  }
}

// A ConvTranspose keeps its Clip as a node of its own.
TEST(Fusion, ConvTransposeLeavesClipAlone) {
  GraphBuilder b;
  uint64_t in = b.input({1, 2, 3, 3});
  uint64_t W = b.weight({2, 3, 2, 2}, std::vector<float>(24, 0.5f));
  uint64_t t = b.act({1, 3, 4, 4});
  uint64_t out = b.output({1, 3, 4, 4});
  b.node(op::ConvTranspose, {in, W}, {t}, {{attr::ConvTranspose::kKernelH, 2}, {attr::ConvTranspose::kKernelW, 2}});
  b.node(op::Clip, {t}, {out}, {{attr::Clip::kMin, GraphBuilder::f32_word(0.0f)},
                                {attr::Clip::kMax, GraphBuilder::f32_word(1.0f)}});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.state->node_count, 2u);
}

}  // namespace
}  // namespace vorn
