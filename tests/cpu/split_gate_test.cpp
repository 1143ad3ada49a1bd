// The engine's minimum work for a split: small nodes stay on the calling
// thread, large ones may spread over the pool, and either way every node
// gives the same bits.
#include <gtest/gtest.h>

#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/split_gate.h"
#include "graph_builder.h"
#include "reference/node_harness.h"
#include "reference/random_data.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::random_values;

// in [1,16,48,48] -> Conv 3x3 (bias, Relu) -> depthwise 3x3 -> MaxPool 3x3
// s2 -> Tanh -> Sigmoid -> Add (of itself) -> Conv 1x1 -> Softmax over
// channels -> MatMul [.., 24] x [24, 40]; and a tiny Add that stays serial.
GraphBuilder model(uint64_t* out_count) {
  using C = attr::Conv;
  GraphBuilder b;
  const uint64_t in = b.input({1, 16, 48, 48});
  const uint64_t w1 = b.weight({32, 16, 3, 3}, random_values(32 * 16 * 9, 1)), b1 = b.weight({32}, random_values(32, 2));
  const uint64_t w2 = b.weight({32, 1, 3, 3}, random_values(32 * 9, 3));
  const uint64_t w3 = b.weight({24, 32, 1, 1}, random_values(24 * 32, 4));
  const uint64_t w4 = b.weight({24, 40}, random_values(24 * 40, 5));
  const uint64_t c1 = b.act({1, 32, 48, 48}), r1 = b.act({1, 32, 48, 48}), d = b.act({1, 32, 48, 48});
  const uint64_t p = b.act({1, 32, 24, 24}), t = b.act({1, 32, 24, 24}), s = b.act({1, 32, 24, 24});
  const uint64_t a = b.act({1, 32, 24, 24}), c3 = b.act({1, 24, 24, 24}), sm = b.act({1, 24, 24, 24});
  const uint64_t mm = b.act({1, 24, 24, 40}), out = b.output({1, 24, 24, 40});
  b.node(op::Conv, {in, w1, b1}, {c1}, {{C::kKernelH, 3}, {C::kKernelW, 3}, {C::kPadTop, 1}, {C::kPadLeft, 1}});
  b.node(op::Relu, {c1}, {r1});
  b.node(op::Conv, {r1, w2}, {d},
         {{C::kKernelH, 3}, {C::kKernelW, 3}, {C::kPadTop, 1}, {C::kPadLeft, 1}, {C::kGroups, 32}});
  b.node(op::MaxPool, {d}, {p},
         {{attr::MaxPool::kKernelH, 3}, {attr::MaxPool::kKernelW, 3}, {attr::MaxPool::kStrideH, 2},
          {attr::MaxPool::kStrideW, 2}, {attr::MaxPool::kPadTop, 1}, {attr::MaxPool::kPadLeft, 1}});
  b.node(op::Tanh, {p}, {t});
  b.node(op::Sigmoid, {t}, {s});
  b.node(op::Add, {s, t}, {a});
  b.node(op::Conv, {a, w3}, {c3}, {{C::kKernelH, 1}, {C::kKernelW, 1}});
  b.node(op::Softmax, {c3}, {sm}, {{attr::kAxis, GraphBuilder::i64_word(1)}});
  b.node(op::MatMul, {sm, w4}, {mm});
  b.node(op::Add, {mm, mm}, {out});
  *out_count = 24 * 24 * 40;
  return b;
}

TEST(SplitGate, SmallNodesStayOnTheCallingThread) {
  GraphBuilder b;
  const uint64_t x = b.input({1, 1 << 20}), w = b.weight({1, 1000}, random_values(1000, 3));
  const uint64_t small_sum = b.output({1, 1000}), big_sum = b.output({1, 1 << 20});
  b.node(op::Add, {w, w}, {small_sum});
  b.node(op::Add, {x, x}, {big_sum});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  // 1000 elements are far below the minimum, 2^20 far above it.
  EXPECT_TRUE(e.state->plans[0].serial);
  EXPECT_FALSE(e.state->plans[1].serial);
  EXPECT_LT(cpu_node_work(*e.state, e.state->nodes[0]), kMinSplitWork);
  EXPECT_GT(cpu_node_work(*e.state, e.state->nodes[1]), kMinSplitWork);
}

// One Add of n elements alone in its pass: below its own minimum it stays
// serial; above it but too small to pay for a split alone, every node stays
// serial and the pass leaves the pool asleep; larger, the node spreads and
// the pass holds the workers awake.
TEST(SplitGate, APassSpreadsOnlyEnoughWork) {
  const struct {
    uint64_t n;
    bool own_minimum, spreads;
  } cases[] = {{1 << 12, false, false}, {1 << 18, true, false}, {1 << 19, true, true}, {1 << 22, true, true}};
  for (const auto& c : cases) {
    GraphBuilder b;
    const uint64_t x = b.input({1, c.n}), y = b.output({1, c.n});
    b.node(op::Add, {x, x}, {y});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    EXPECT_EQ(!cpu_node_stays_serial(*e.state, e.state->nodes[0]), c.own_minimum) << c.n;
    EXPECT_EQ(cpu_pass_spreads(*e.state), c.spreads) << c.n;
    EXPECT_EQ(e.state->plans[0].serial, !c.spreads) << c.n;
    EXPECT_EQ(e.state->hold_pool != 0, c.spreads) << c.n;
  }
}

// A Softmax costs per row as well as per element: many short rows reach
// the minimum where the same elements in long rows do not.
TEST(SplitGate, SoftmaxCountsItsRows) {
  const struct {
    uint64_t rows, d;
    bool above;
  } cases[] = {{4420, 2, true}, {2, 4420, false}};
  for (const auto& c : cases) {
    GraphBuilder b;
    const uint64_t x = b.input({c.rows, c.d}), y = b.output({c.rows, c.d});
    b.node(op::Softmax, {x}, {y}, {{attr::kAxis, GraphBuilder::i64_word(1)}});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    EXPECT_EQ(cpu_node_work(*e.state, e.state->nodes[0]) >= kMinSplitWork, c.above) << c.rows;
  }
}

// Layers between their class's minimum and the one at which they spread
// alone follow the producer of their input: behind a pass input or a layer
// that spreads they spread, behind a node on the calling thread they stay
// there; a layer above the second minimum spreads behind anything.
TEST(SplitGate, SmallLayersFollowTheirProducer) {
  using C = attr::Conv;
  GraphBuilder b;
  const uint64_t x = b.input({1, 24, 28, 28});
  const uint64_t w1 = b.weight({24, 24, 1, 1}, random_values(24 * 24, 1));
  const uint64_t w3 = b.weight({24, 24, 3, 3}, random_values(24 * 24 * 9, 2));
  const uint64_t a = b.act({1, 24, 28, 28}), c = b.act({1, 24, 28, 28}), s = b.act({1, 24, 28, 28});
  const uint64_t d = b.act({1, 24, 28, 28});
  const uint64_t f = b.output({1, 24, 28, 28}), e3 = b.output({1, 24, 28, 28});
  b.node(op::Conv, {x, w1}, {a}, {{C::kKernelH, 1}, {C::kKernelW, 1}});  // behind the pass's input
  b.node(op::Conv, {a, w1}, {c}, {{C::kKernelH, 1}, {C::kKernelW, 1}});  // behind a layer that spreads
  b.node(op::Softmax, {c}, {s}, {{attr::kAxis, GraphBuilder::i64_word(1)}});  // on the calling thread
  b.node(op::Conv, {s, w1}, {d}, {{C::kKernelH, 1}, {C::kKernelW, 1}});  // behind it
  b.node(op::Conv, {d, w1}, {f}, {{C::kKernelH, 1}, {C::kKernelW, 1}});  // behind a layer that stays
  b.node(op::Conv, {s, w3}, {e3}, {{C::kKernelH, 3}, {C::kKernelW, 3}, {C::kPadTop, 1}, {C::kPadLeft, 1}});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  CpuState& st = *e.state;
  st.isa = KernelIsa::kAvx2;  // the estimates below are the AVX2 form's
  const uint64_t small = cpu_node_work(st, st.nodes[0]);
  ASSERT_GE(small, kMinPointwiseSplitWork);
  ASSERT_LT(small, kMinPointwiseAloneWork);
  ASSERT_EQ(st.node_count, 6u);
  ASSERT_LT(cpu_node_work(st, st.nodes[2]), kMinSplitWork);
  ASSERT_GE(cpu_node_work(st, st.nodes[5]), kMinSplitWork);
  const bool serial[] = {false, false, true, true, true, false};
  for (uint64_t i = 0; i < 6; ++i) EXPECT_EQ(cpu_node_stays_serial(st, st.nodes[i]), serial[i]) << i;
}

// The same graph with each node on the side of the minimum its shape puts
// it, every node kept on the calling thread, and every node allowed to
// split: the same bits.
TEST(SplitGate, EitherSideOfTheMinimumGivesTheSameBits) {
  uint64_t n = 0;
  GraphBuilder b = model(&n);
  const std::vector<float> x = random_values(16 * 48 * 48, 9, -2.0f, 2.0f);
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  bool some_serial = false, some_split = false;
  for (uint64_t i = 0; i < e.state->node_count; ++i) (e.state->plans[i].serial ? some_serial : some_split) = true;
  EXPECT_TRUE(some_serial && some_split);
  std::vector<float> as_planned(n), serial(n), split(n);
  ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), as_planned.data()));
  for (bool on : {true, false}) {
    for (uint64_t i = 0; i < e.state->node_count; ++i) e.state->plans[i].serial = on;
    ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), (on ? serial : split).data()));
  }
  EXPECT_TRUE(test::bit_equal(as_planned, serial));
  EXPECT_TRUE(test::bit_equal(as_planned, split));
}

// A BatchNormalization spreads from a far smaller size than other
// elementwise nodes; on the calling thread and cut into runs of channels
// over the pool (fewer channels than threads, odd planes, two images) it
// gives the bits of a plain loop.
TEST(SplitGate, BatchNormSpreadsByChannelsWithTheSameBits) {
  const struct {
    uint64_t n, c, hw;
    bool spreads;
  } cases[] = {{1, 832, 196, true}, {1, 3, 4096, true}, {2, 37, 98, true}, {1, 8, 49, false}};
  for (const auto& c : cases) {
    const uint64_t count = c.n * c.c * c.hw;
    GraphBuilder b;
    const uint64_t x = b.input({c.n, c.c, c.hw, 1});
    const uint64_t m = b.weight({c.c}, random_values(c.c, 21)), t = b.weight({c.c}, random_values(c.c, 22));
    const uint64_t y = b.output({c.n, c.c, c.hw, 1});
    b.node(op::BatchNormalization, {x, m, t}, {y});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    EXPECT_EQ(!cpu_node_stays_serial(*e.state, e.state->nodes[0]), c.spreads) << c.c;
    const std::vector<float> xv = random_values(count, 23, -2.0f, 2.0f), mv = random_values(c.c, 21),
                             tv = random_values(c.c, 22);
    std::vector<float> want(count), got[2] = {std::vector<float>(count), std::vector<float>(count)};
    for (uint64_t i = 0; i < count; ++i) {
      const float v = xv[i] * mv[i / c.hw % c.c];
      want[i] = v + tv[i / c.hw % c.c];
    }
    for (int serial = 0; serial < 2; ++serial) {
      e.state->plans[0].serial = serial != 0;
      ASSERT_TRUE(cpu_engine_execute(&e.state, xv.data(), got[serial].data()));
      EXPECT_TRUE(test::bit_equal(got[serial], want)) << c.c << " serial " << serial;
    }
  }
}

// A Conv prepared for one thread (a node kept serial) and for the pool.
TEST(SplitGate, ConvPlannedForOneThreadGivesTheSameBits) {
  using C = attr::Conv;
  std::vector<float> y[2];
  for (int serial = 0; serial < 2; ++serial) {
    test::NodeHarness h;
    const uint64_t xi = h.value({1, 64, 28, 28}, random_values(64 * 28 * 28, 11));
    const uint64_t wi = h.value({64, 64, 3, 3}, random_values(64 * 64 * 9, 12), kValueWeight);
    const uint64_t yi = h.value({1, 64, 28, 28});
    const NodeRecord node = test::NodeHarness::node(
        op::Conv, {xi, wi}, {yi}, {{C::kKernelH, 3}, {C::kKernelW, 3}, {C::kPadTop, 1}, {C::kPadLeft, 1}});
    NodePlan plan;
    plan.serial = serial != 0;
    char msg[256] = {0};
    const CpuOpEntry* e = cpu_op_entry(op::Conv);
    ASSERT_TRUE(e->prepare(h.state(), node, plan, msg, sizeof msg)) << msg;
    ASSERT_LE(plan.workspace_bytes, h.state().im2col_size);
    const CpuSerialNode gate(plan.serial);
    ASSERT_TRUE(e->kernel(h.state(), node, plan));
    y[serial] = h.read(yi);
  }
  EXPECT_TRUE(test::bit_equal(y[0], y[1]));
}

// A GlobalAveragePool behind a layer that spreads spreads from a far
// smaller size than other nodes (its input lies in the caches of that
// layer's threads); behind a node on the calling thread it stays there.
// Either way the bits are the same, each plane's average that of a plain
// loop.
TEST(SplitGate, GlobalAveragePoolFollowsASpreadProducer) {
  using C = attr::Conv;
  GraphBuilder b;
  const uint64_t x = b.input({1, 96, 14, 14});
  const uint64_t w = b.weight({640, 96, 1, 1}, random_values(640 * 96, 31));
  const uint64_t a = b.act({1, 640, 14, 14}), s = b.act({1, 96, 14, 14});
  const uint64_t g_spread = b.output({1, 640, 1, 1}), g_serial = b.output({1, 96, 1, 1});
  b.node(op::Conv, {x, w}, {a}, {{C::kKernelH, 1}, {C::kKernelW, 1}});
  b.node(op::GlobalAveragePool, {a}, {g_spread});
  b.node(op::Softmax, {x}, {s}, {{attr::kAxis, GraphBuilder::i64_word(1)}});
  b.node(op::GlobalAveragePool, {s}, {g_serial});
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  CpuState& st = *e.state;
  ASSERT_EQ(st.node_count, 4u);
  ASSERT_LT(cpu_node_work(st, st.nodes[1]), kMinSplitWork);
  ASSERT_LT(cpu_node_work(st, st.nodes[2]), kMinSplitWork);
  EXPECT_FALSE(cpu_node_stays_serial(st, st.nodes[1]));
  EXPECT_TRUE(cpu_node_stays_serial(st, st.nodes[3]));

  test::NodeHarness h;
  const std::vector<float> xv = random_values(1000 * 49, 32, -2.0f, 2.0f);
  const uint64_t xi = h.value({1, 1000, 7, 7}, xv), yi = h.value({1, 1000, 1, 1});
  const NodeRecord node = test::NodeHarness::node(op::GlobalAveragePool, {xi}, {yi});
  std::vector<float> y[2];
  for (int serial = 0; serial < 2; ++serial) {
    NodePlan plan;
    plan.serial = serial != 0;
    char msg[256] = {0};
    const CpuOpEntry* op_entry = cpu_op_entry(op::GlobalAveragePool);
    ASSERT_TRUE(op_entry->prepare(h.state(), node, plan, msg, sizeof msg)) << msg;
    const CpuSerialNode gate(plan.serial);
    ASSERT_TRUE(op_entry->kernel(h.state(), node, plan));
    y[serial] = h.read(yi);
  }
  EXPECT_TRUE(test::bit_equal(y[0], y[1]));
  for (int k = 0; k < 1000; ++k) {
    double sum = 0;
    for (int i = 0; i < 49; ++i) sum += xv[k * 49 + i];
    EXPECT_NEAR(y[0][k], sum / 49, 1e-6) << k;
  }
}

}  // namespace
}  // namespace vorn
