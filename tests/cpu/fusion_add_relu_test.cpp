// Add followed by Relu: one Add in Relu mode, giving the unfused graph's
// bits (NaN to 0, -0 kept), and left alone where the sum is needed as well
// or the Add broadcasts.
#include <gtest/gtest.h>

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
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::bit_equal;

std::vector<float> values(uint32_t seed, size_t n) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-4, 4);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), -0.0f, 0.0f};
  for (size_t i = 0; i < n; i += 5) v[i] = specials[(i / 5 + seed) % std::size(specials)];
  return v;
}




// The sum rounded to f32, then Relu as the kernels define it.
float add_relu_ref(float a, float b) {
  volatile float t = a + b;
  return t >= 0.0f ? t : 0.0f;
}

TEST(FusionAddRelu, SumThenReluBecomesOneAdd) {
  for (uint64_t n : {uint64_t{45}, uint64_t{70001}}) {
    SCOPED_TRACE(std::to_string(n) + " elements");
    GraphBuilder b;
    uint64_t x = b.input({1, n}), y = b.input({1, n});
    uint64_t t = b.act({1, n});
    uint64_t out = b.output({1, n});
    b.node(op::Add, {x, y}, {t});
    b.node(op::Relu, {t}, {out});
    const std::vector<float> xv = values(1, n), yv = values(2, n);
    test::FusionRun fused = run_fused(b, xv, n, true, y, yv);
    test::FusionRun plain = run_fused(b, xv, n, false, y, yv);
    ASSERT_EQ(fused.records.size(), 1u);
    ASSERT_EQ(plain.records.size(), 2u);
    EXPECT_EQ(fused.records[0].op(), op::Add);
    EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Add::kAddRelu);
    EXPECT_EQ(fused.records[0].output(0), out);
    EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
    for (uint64_t i = 0; i < n; ++i) {
      const float want = add_relu_ref(xv[i], yv[i]);
      ASSERT_EQ(std::memcmp(&fused.y[i], &want, 4), 0) << "at " << i << ": " << xv[i] << " + " << yv[i];
    }
  }
}

// A residual block: Conv, Add of the block's input, Relu whose output feeds
// both the next Conv and the next Add.
TEST(FusionAddRelu, ResidualJoinsFuse) {
  GraphBuilder b;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(-1, 1);
  std::vector<float> w1(8 * 8 * 9), w2(8 * 8 * 9), xv(8 * 36);
  for (float& v : w1) v = d(rng);
  for (float& v : w2) v = d(rng);
  for (float& v : xv) v = d(rng);
  const std::vector<uint64_t> shape{1, 8, 6, 6};
  uint64_t in = b.input(shape);
  uint64_t W1 = b.weight({8, 8, 3, 3}, w1), W2 = b.weight({8, 8, 3, 3}, w2);
  uint64_t c1 = b.act(shape), s1 = b.act(shape), r1 = b.act(shape), c2 = b.act(shape), s2 = b.act(shape);
  uint64_t out = b.output(shape);
  const std::initializer_list<std::pair<int, uint64_t>> k3 = {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}, {attr::Conv::kPadBottom, 1}, {attr::Conv::kPadRight, 1}};
  b.node(op::Conv, {in, W1}, {c1}, k3);
  b.node(op::Add, {c1, in}, {s1});
  b.node(op::Relu, {s1}, {r1});
  b.node(op::Conv, {r1, W2}, {c2}, k3);
  b.node(op::Add, {r1, c2}, {s2});
  b.node(op::Relu, {s2}, {out});
  test::FusionRun fused = run_fused(b, xv, xv.size(), true);
  test::FusionRun plain = run_fused(b, xv, xv.size(), false);
  // Each Add takes its Relu, then each Conv takes the Add.
  ASSERT_EQ(fused.records.size(), 2u);
  EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Conv::kAddRelu);
  EXPECT_EQ(fused.records[1].attr(attr::Fusion::kMode), attr::Conv::kAddRelu);
  EXPECT_TRUE(bit_equal(fused.y, plain.y));
}

enum class Near { kSumReadTwice, kBroadcast, kScaledAdd };

struct NearCase {
  const char* name;
  Near kind;
  uint64_t nodes;  // left after fusion
};

constexpr NearCase kNearCases[] = {
    {"sum also read by another node", Near::kSumReadTwice, 3},
    {"per-channel broadcast Add", Near::kBroadcast, 2},
    {"Add already holding a scaled Mul", Near::kScaledAdd, 2},
};

TEST(FusionAddRelu, LookAlikesAreNotFused) {
  for (const NearCase& c : kNearCases) {
    SCOPED_TRACE(c.name);
    GraphBuilder b;
    const std::vector<uint64_t> shape{1, 4, 3, 3};
    uint64_t x = b.input(shape);
    uint64_t out = b.output(shape);
    uint64_t other = 0;
    std::vector<float> ov;
    if (c.kind == Near::kSumReadTwice) {
      other = b.input(shape);
      ov = values(5, 36);
      uint64_t t = b.act(shape), r = b.act(shape);
      b.node(op::Add, {x, other}, {t});
      b.node(op::Relu, {t}, {r});
      b.node(op::Mul, {r, t}, {out});
    } else if (c.kind == Near::kBroadcast) {
      other = b.input({1, 4, 1, 1});
      ov = values(6, 4);
      uint64_t t = b.act(shape);
      b.node(op::Add, {x, other}, {t});
      b.node(op::Relu, {t}, {out});
    } else {
      other = b.input(shape);
      ov = values(7, 36);
      uint64_t k = b.weight({1}, {0.5f});
      uint64_t m = b.act(shape), t = b.act(shape);
      b.node(op::Mul, {x, k}, {m});
      b.node(op::Add, {m, other}, {t});
      b.node(op::Relu, {t}, {out});
    }
    const std::vector<float> xv = values(8, 36);
    test::FusionRun fused = run_fused(b, xv, 36, true, other, ov);
    test::FusionRun plain = run_fused(b, xv, 36, false, other, ov);
    EXPECT_EQ(fused.records.size(), c.nodes);
    for (const NodeRecord& r : fused.records) {
      if (r.op() == op::Add) {
        EXPECT_NE(r.attr(attr::Fusion::kMode), attr::Add::kAddRelu);
      }
    }
    EXPECT_TRUE(bit_equal(fused.y, plain.y));
  }
}

}  // namespace
}  // namespace vorn
