// Simulated quantisation through whole engines: weights rounded at
// creation, operands of products rounded at run time, activations rounded
// after their node; each against the reference rounding of the same values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/quant_hooks.h"
#include "kernels/quant_operands.h"
#include "kernels/quant_round.h"
#include "quant_test_util.h"
#include "reference/quant_reference.h"
#include "reference/random_data.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::QuantEngine;
using test::QuantEnv;
using test::random_values;

// Rounds each of `rows` rows (row stride rs, element stride es, n values)
// in blocks with the reference rule of the symmetric types.
std::vector<float> ref_blocks(std::vector<float> w, uint64_t rows, uint64_t n, uint64_t rs, uint64_t es,
                              float q, uint64_t block) {
  if (block == 0 || block > n) block = n;
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t j = 0; j < n; j += block) {
      std::vector<float> set;
      for (uint64_t i = j; i < std::min(n, j + block); ++i) set.push_back(w[r * rs + i * es]);
      set = ref::symmetric(set, q);
      for (uint64_t i = j; i < std::min(n, j + block); ++i) w[r * rs + i * es] = set[i - j];
    }
  return w;
}

struct ConvGraph {
  GraphBuilder b;
  uint64_t w1 = 0, w2 = 0, w3 = 0;
};

// in [1,8,5,5] -> Conv 3x3 (w1 [6,8,3,3], pad 1) -> Relu -> Conv 1x1 (w2
// [6,6,1,1]) -> Conv 3x3 (w3 [4,6,3,3], pad 1) -> out [1,4,5,5]
ConvGraph conv_graph() {
  ConvGraph g;
  GraphBuilder& b = g.b;
  const uint64_t in = b.input({1, 8, 5, 5});
  g.w1 = b.weight({6, 8, 3, 3}, random_values(432, 1));
  g.w2 = b.weight({6, 6, 1, 1}, random_values(36, 2));
  g.w3 = b.weight({4, 6, 3, 3}, random_values(216, 3));
  const uint64_t a = b.act({1, 6, 5, 5}), r = b.act({1, 6, 5, 5}), c = b.act({1, 6, 5, 5});
  const uint64_t out = b.output({1, 4, 5, 5});
  b.node(op::Conv, {in, g.w1}, {a}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                     {attr::Conv::kPadLeft, 1}});
  b.node(op::Relu, {a}, {r});
  b.node(op::Conv, {r, g.w2}, {c}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  b.node(op::Conv, {c, g.w3}, {out}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                      {attr::Conv::kPadLeft, 1}});
  return g;
}

TEST(QuantWeights, ConvRowsOneScalePerOutputChannel) {
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "i8"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.weight(g.w1), ref_blocks(random_values(432, 1), 6, 72, 72, 1, 127, 0));
  EXPECT_EQ(e.weight(g.w2), ref_blocks(random_values(36, 2), 6, 6, 6, 1, 127, 0));
  EXPECT_EQ(e.weight(g.w3), ref_blocks(random_values(216, 3), 4, 54, 54, 1, 127, 0));

  // The engine runs on the rounded weights exactly as an engine handed them.
  ConvGraph plain = conv_graph();
  const std::vector<float> rounded = e.weight(g.w1);
  std::copy(rounded.begin(), rounded.end(), plain.b.storage.begin() + plain.b.values[g.w1].data_offset() / 4);
  for (uint64_t id : {g.w2, g.w3}) {
    const std::vector<float> w = e.weight(id);
    std::copy(w.begin(), w.end(), plain.b.storage.begin() + plain.b.values[id].data_offset() / 4);
  }
  QuantEnv none;
  QuantEngine p(plain.b);
  ASSERT_TRUE(p.ok());
  const std::vector<float> x = random_values(200, 9);
  EXPECT_EQ(e.run(x), p.run(x));
}

TEST(QuantWeights, BlocksOf64AlongEachRow) {
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_QWG", "64"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  // Rows of 72: a block of 64 and one of 8, each with its own scale.
  EXPECT_EQ(e.weight(g.w1), ref_blocks(random_values(432, 1), 6, 72, 72, 1, 127, 64));
  EXPECT_EQ(e.weight(g.w3), ref_blocks(random_values(216, 3), 4, 54, 54, 1, 127, 64));
}

TEST(QuantWeights, EndsTakeTheirOwnTypeWithWholeRows) {
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "i4"}, {"VORN_CPU_QWG", "16"}, {"VORN_CPU_QENDS", "i8"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.weight(g.w1), ref_blocks(random_values(432, 1), 6, 72, 72, 1, 127, 0));
  EXPECT_EQ(e.weight(g.w2), ref_blocks(random_values(36, 2), 6, 6, 6, 1, 7, 16));
  EXPECT_EQ(e.weight(g.w3), ref_blocks(random_values(216, 3), 4, 54, 54, 1, 127, 0));
}

TEST(QuantWeights, EndsWithTheSameTypeKeepTheBlockLength) {
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_QWG", "16"}, {"VORN_CPU_QENDS", "i8"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e.weight(g.w1), ref_blocks(random_values(432, 1), 6, 72, 72, 1, 127, 16));
}

// "u8" weights round as "i4" does: 7 levels each side, one scale a row.
TEST(QuantWeights, UnsignedWeightsTakeTheI4Grid) {
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "u8"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e.weight(g.w1), ref_blocks(random_values(432, 1), 6, 72, 72, 1, 7, 0));
}

TEST(QuantWeights, GemmRowsOrColumnsAlongK) {
  for (uint64_t trans_b : {0, 1}) {
    GraphBuilder b;
    const uint64_t in = b.input({3, 10});
    // K = 10, N = 4: [K, N] without transB, [N, K] with it.
    const uint64_t w = trans_b ? b.weight({4, 10}, random_values(40, 5)) : b.weight({10, 4}, random_values(40, 5));
    const uint64_t out = b.output({3, 4});
    b.node(op::Gemm, {in, w}, {out}, {{attr::Gemm::kTransB, trans_b},
                                      {attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)}});
    QuantEnv env({{"VORN_CPU_QW", "i4"}, {"VORN_CPU_QWG", "4"}});
    QuantEngine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    const std::vector<float> want = trans_b ? ref_blocks(random_values(40, 5), 4, 10, 10, 1, 7, 4)
                                            : ref_blocks(random_values(40, 5), 4, 10, 1, 4, 7, 4);
    EXPECT_EQ(e.weight(w), want) << "transB " << trans_b;
  }
}

TEST(QuantWeights, MatMulColumnsOfEveryMatrix) {
  GraphBuilder b;
  const uint64_t in = b.input({2, 3, 6});
  const uint64_t w = b.weight({2, 6, 5}, random_values(60, 6));
  const uint64_t out = b.output({2, 3, 5});
  b.node(op::MatMul, {in, w}, {out});
  QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_QENDS", "i4"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  // The ends rule leaves MatMul alone: per column of each 6 x 5 matrix.
  std::vector<float> want = random_values(60, 6);
  for (int m = 0; m < 2; ++m) {
    std::vector<float> mat(want.begin() + m * 30, want.begin() + m * 30 + 30);
    mat = ref_blocks(mat, 5, 6, 1, 5, 127, 0);
    std::copy(mat.begin(), mat.end(), want.begin() + m * 30);
  }
  EXPECT_EQ(e.weight(w), want);
}

TEST(QuantWeights, WeightSharedByTwoProductsInF16) {
  GraphBuilder b;
  const uint64_t in = b.input({2, 6});
  const uint64_t w = b.weight({6, 6}, random_values(36, 7, -3, 3));
  const uint64_t a = b.act({2, 6}), out = b.output({2, 6});
  const uint64_t one = GraphBuilder::f32_word(1.0f);
  b.node(op::Gemm, {in, w}, {a}, {{attr::Gemm::kAlpha, one}});
  b.node(op::Gemm, {a, w}, {out}, {{attr::Gemm::kAlpha, one}});
  QuantEnv env({{"VORN_CPU_QW", "f16"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok());
  std::vector<float> want = random_values(36, 7, -3, 3);
  for (float& x : want) x = ref::f16_nearest(x);
  EXPECT_EQ(e.weight(w), want);
}

// in [1, 6] -> Relu -> out: the activation hook sees the input and the Relu.
GraphBuilder relu_graph(uint64_t n = 6) {
  GraphBuilder b;
  const uint64_t in = b.input({1, n});
  const uint64_t out = b.output({1, n});
  b.node(op::Relu, {in}, {out});
  return b;
}

TEST(QuantActivations, F16RoundsTheInputAndEveryProducedValue) {
  QuantEnv env({{"VORN_CPU_QT", "f16"}});
  QuantEngine e(relu_graph(1000));
  ASSERT_TRUE(e.ok());
  const std::vector<float> x = random_values(1000, 8, -70000, 70000);
  const std::vector<float> y = e.run(x);
  ASSERT_EQ(y.size(), x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float want = ref::f16_nearest(std::max(ref::f16_nearest(x[i]), 0.0f));
    EXPECT_EQ(y[i], want) << x[i];
  }
}

TEST(QuantActivations, Int8WithoutRangesChangesNothing) {
  ConvGraph g = conv_graph();
  const std::vector<float> x = random_values(200, 10);
  std::vector<float> plain;
  {
    QuantEnv none;
    QuantEngine p(g.b);
    plain = p.run(x);
  }
  QuantEnv env({{"VORN_CPU_QT", "i8"}});
  QuantEngine e(g.b);
  ASSERT_TRUE(e.ok());
  EXPECT_TRUE(cpu_quant_active(*e.state));
  EXPECT_EQ(e.run(x), plain);
}

TEST(QuantActivations, IndicesOfArgMaxAndTopKAreNeverRounded) {
  QuantEnv env({{"VORN_CPU_QT", "f16"}});
  QuantEngine e(relu_graph());
  ASSERT_TRUE(e.ok());
  std::vector<float> v = {70001.0f, 1.0001f, 3.14159f};
  const std::vector<float> before = v;
  for (uint64_t op : {op::ArgMax, op::TopK}) {
    cpu_activation_hook(*e.state, 1, v.data(), v.size(), op);
    EXPECT_EQ(v, before);
  }
  cpu_activation_hook(*e.state, 1, v.data(), v.size(), op::Relu);
  EXPECT_EQ(v[0], INFINITY);
  // Ids outside the graph are left alone.
  v = before;
  cpu_activation_hook(*e.state, 2, v.data(), v.size(), op::Relu);
  EXPECT_EQ(v, before);
}

TEST(QuantActivations, OnlyOneValueWhenAsked) {
  QuantEnv env({{"VORN_CPU_QT", "f16"}, {"VORN_CPU_QT_ONLY", "1"}});
  QuantEngine e(relu_graph());
  ASSERT_TRUE(e.ok());
  std::vector<float> v = {1.0001f, 2.0001f};
  cpu_activation_hook(*e.state, 0, v.data(), v.size(), 0);
  EXPECT_EQ(v[0], 1.0001f);
  cpu_activation_hook(*e.state, 1, v.data(), v.size(), op::Relu);
  EXPECT_EQ(v[0], 1.0f);
}

// A product of two activations: MatMul(Relu(x), x) with x [1, 5, 7] as
// A [5, 7] and B [7, 5] is not possible from one input, so the graph feeds
// x [1, 6, 6] as both operands.
GraphBuilder square_matmul_graph() {
  GraphBuilder b;
  const uint64_t in = b.input({1, 6, 6});
  const uint64_t out = b.output({1, 6, 6});
  b.node(op::MatMul, {in, in}, {out});
  return b;
}

std::vector<double> product(const std::vector<float>& a, const std::vector<float>& b, int m, int k, int n) {
  std::vector<double> y(static_cast<size_t>(m) * n, 0.0);
  for (int i = 0; i < m; ++i)
    for (int j = 0; j < n; ++j)
      for (int t = 0; t < k; ++t) y[i * n + j] += static_cast<double>(a[i * k + t]) * b[t * n + j];
  return y;
}

TEST(QuantOperands, RowsOfAAndColumnsOfBBlockedAlongK) {
  const std::vector<float> x = random_values(36, 11, -2, 2);
  struct Case {
    const char* type;
    const char* block;
    float q;
    uint64_t blk;
  } cases[] = {{"i8", "0", 127, 0}, {"i4", "4", 7, 4}, {"i8", "4", 127, 4}};
  for (const Case& c : cases) {
    QuantEnv env({{"VORN_CPU_QA", c.type}, {"VORN_CPU_QAG", c.block}});
    QuantEngine e(square_matmul_graph());
    ASSERT_TRUE(e.ok()) << e.error.message;
    const std::vector<float> y = e.run(x);
    const std::vector<float> a = ref_blocks(x, 6, 6, 6, 1, c.q, c.blk);  // rows
    const std::vector<float> b = ref_blocks(x, 6, 6, 1, 6, c.q, c.blk);  // columns
    const std::vector<double> want = product(a, b, 6, 6, 6);
    ASSERT_EQ(y.size(), want.size());
    for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-5) << c.type << " " << c.block;
    EXPECT_EQ(e.state->quant->operand_misses, 0u);
  }
}

TEST(QuantOperands, NegativeBlockLengthIsOneScaleForTheWholeOperand) {
  std::vector<float> x = random_values(36, 12, -1, 1);
  x[7] = 8.0f;  // one large value sets the scale of everything
  QuantEnv env({{"VORN_CPU_QA", "i8"}, {"VORN_CPU_QAG", "-1"}});
  QuantEngine e(square_matmul_graph());
  ASSERT_TRUE(e.ok());
  const std::vector<float> y = e.run(x);
  const std::vector<float> q = ref::symmetric(x, 127);
  const std::vector<double> want = product(q, q, 6, 6, 6);
  for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-4);
}

TEST(QuantOperands, WeightsAreNotRoundedAgainAtRunTime) {
  // Gemm(x, W): W is a registered weight (QW off), only A is rounded.
  GraphBuilder b;
  const uint64_t in = b.input({4, 8});
  const uint64_t w = b.weight({8, 3}, random_values(24, 13));
  const uint64_t out = b.output({4, 3});
  b.node(op::Gemm, {in, w}, {out}, {{attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)}});
  QuantEnv env({{"VORN_CPU_QA", "i4"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e.weight(w), random_values(24, 13));
  const std::vector<float> x = random_values(32, 14);
  const std::vector<float> y = e.run(x);
  const std::vector<double> want = product(ref_blocks(x, 4, 8, 8, 1, 7, 0), random_values(24, 13), 4, 8, 3);
  for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-5);
}

TEST(QuantOperands, ConvColumnsAlongChannelsAndTaps) {
  // A 3x3 conv: B is the column matrix, each column (one output position:
  // 8 channels x 9 taps) rounded as one set.
  GraphBuilder b;
  const uint64_t in = b.input({1, 8, 5, 5});
  const std::vector<float> wv = random_values(432, 1);
  const uint64_t w = b.weight({6, 8, 3, 3}, wv);
  const uint64_t out = b.output({1, 6, 5, 5});
  b.node(op::Conv, {in, w}, {out}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                    {attr::Conv::kPadLeft, 1}});
  QuantEnv env({{"VORN_CPU_QA", "i8"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  const std::vector<float> x = random_values(200, 15);
  const std::vector<float> y = e.run(x);
  ASSERT_EQ(y.size(), 150u);
  for (int oy = 0; oy < 5; ++oy)
    for (int ox = 0; ox < 5; ++ox) {
      std::vector<float> col;
      for (int c = 0; c < 8; ++c)
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) {
            const int iy = oy + i - 1, ix = ox + j - 1;
            col.push_back(iy < 0 || iy >= 5 || ix < 0 || ix >= 5 ? 0.0f : x[(c * 5 + iy) * 5 + ix]);
          }
      col = ref::symmetric(col, 127);
      for (int o = 0; o < 6; ++o) {
        double acc = 0;
        for (int t = 0; t < 72; ++t) acc += static_cast<double>(wv[o * 72 + t]) * col[t];
        EXPECT_NEAR(y[(o * 5 + oy) * 5 + ox], acc, 1e-5);
      }
    }
  EXPECT_EQ(e.state->quant->operand_misses, 0u);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST(QuantWeights, RefusedRangesFileLeavesTheWeightsAlone) {
  char name[] = "/tmp/vorn_qbad_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  const float nan = NAN;  // no calibration records a NaN range
  ASSERT_EQ(write(fd, &nan, 4), 4);
  close(fd);
  ConvGraph g = conv_graph();
  QuantEnv env({{"VORN_CPU_QW", "i4"}, {"VORN_CPU_QCAL", name}});
  QuantEngine e(g.b);
  unlink(name);
  EXPECT_FALSE(e.ok());
  EXPECT_EQ(e.weight(g.w1), random_values(432, 1));
}

// Every weight of a product is known as one, however many there are: an
// operand inside any of them is used in place.
TEST(QuantOperands, EveryWeightIsRegistered) {
  constexpr uint64_t kLayers = 8300;
  GraphBuilder b;
  uint64_t x = b.input({1, 2});
  std::vector<uint64_t> weights;
  for (uint64_t i = 0; i < kLayers; ++i) {
    weights.push_back(b.weight({2, 2}, {1.0f, 0.0f, 0.0f, 1.0f}));
    const uint64_t y = i + 1 == kLayers ? b.output({1, 2}) : b.act({1, 2});
    b.node(op::Gemm, {x, weights.back()}, {y}, {{attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)}});
    x = y;
  }
  QuantEnv env({{"VORN_CPU_QA", "i4"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  for (uint64_t id : {weights[0], weights[8191], weights[8192], weights.back()}) {
    const float* w = static_cast<const float*>(e.state->data[id]);
    EXPECT_EQ(gemm_quant_operand_b(*e.state, w, false, 2, 2, 2), w);
    EXPECT_EQ(gemm_quant_operand_b(*e.state, w + 2, false, 1, 2, 2), w + 2);
  }
  // An activation is copied and rounded.
  const float* act = static_cast<const float*>(e.state->data[e.state->first_output]);
  EXPECT_NE(gemm_quant_operand_a(*e.state, act, false, 1, 2, 2), act);
  // Identity weights: the pass rounds only the activations, each row on
  // its own 7-level grid.
  const std::vector<float> y = e.run({0.3f, -1.0f});
  ASSERT_EQ(y.size(), 2u);
  EXPECT_EQ(y, ref::symmetric({0.3f, -1.0f}, 7));
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST(QuantOperands, TransposedAIsGatheredThenRoundedByRowsOfOpA) {
  // Gemm with transA: A stored [K=8, M=4]; op(A) row i is stored column i.
  GraphBuilder b;
  const uint64_t in = b.input({8, 4});
  const std::vector<float> wv = random_values(24, 16);
  const uint64_t w = b.weight({8, 3}, wv);
  const uint64_t out = b.output({4, 3});
  b.node(op::Gemm, {in, w}, {out}, {{attr::Gemm::kTransA, 1}, {attr::Gemm::kAlpha, GraphBuilder::f32_word(1.0f)}});
  QuantEnv env({{"VORN_CPU_QA", "i4"}, {"VORN_CPU_QAG", "3"}});
  QuantEngine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  const std::vector<float> x = random_values(32, 17);
  std::vector<float> op_a(32);
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 8; ++k) op_a[i * 8 + k] = x[k * 4 + i];
  const std::vector<double> want = product(ref_blocks(op_a, 4, 8, 8, 1, 7, 3), wv, 4, 8, 3);
  const std::vector<float> y = e.run(x);
  ASSERT_EQ(y.size(), 12u);
  for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-5);
}

TEST(QuantOperands, ConvTransposeInputColumnsAlongChannels) {
  // ConvTranspose 2x2 stride 2, Cin 5 -> Cout 3: the product's B is the
  // input [Cin, H*W]; each position's 5 channels are one set.
  GraphBuilder b;
  const uint64_t in = b.input({1, 5, 3, 3});
  const std::vector<float> wv = random_values(60, 18);
  const uint64_t w = b.weight({5, 3, 2, 2}, wv);
  const uint64_t out = b.output({1, 3, 6, 6});
  b.node(op::ConvTranspose, {in, w}, {out}, {{attr::ConvTranspose::kKernelH, 2}, {attr::ConvTranspose::kKernelW, 2},
                                             {attr::ConvTranspose::kStrideH, 2}, {attr::ConvTranspose::kStrideW, 2}});
  const std::vector<float> x = random_values(45, 19);
  std::vector<float> y;
  {
    QuantEnv env({{"VORN_CPU_QA", "i8"}});
    QuantEngine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    y = e.run(x);
    EXPECT_EQ(e.state->quant->operand_misses, 0u);
  }
  // The same layer without rounding, on the input rounded by position.
  const std::vector<float> xq = ref_blocks(x, 9, 5, 1, 9, 127, 0);
  QuantEnv none;
  QuantEngine plain(b);
  const std::vector<float> want = plain.run(xq);
  ASSERT_EQ(y.size(), 108u);
  ASSERT_EQ(want.size(), 108u);
  for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], want[i], 1e-5);
  EXPECT_NE(plain.run(x), y);
}

}  // namespace
}  // namespace vorn
