// Operations taken into the node before them: a PRelu and a residual Add
// (with its Relu) into the Conv's epilogue, a Relu into a
// BatchNormalization. Each fused graph gives the unfused graph's bits on
// every Conv path, NaN and -0 included.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::bit_equal;

std::vector<float> values(uint32_t seed, size_t n, float lo, float hi, bool specials = false) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), -0.0f, 0.0f};
  if (specials)
    for (size_t i = 0; i < n; i += 7) v[i] = odd[(i / 7) % std::size(odd)];
  return v;
}

// Conv layers reaching each path of the Conv kernel (depthwise strips,
// 1 x 1 tiles and channel blocks, direct, panels, im2col bands, groups).
struct ConvShape {
  const char* name;
  uint64_t cin, cout, k, stride, pad, groups, h;
};

constexpr ConvShape kShapes[] = {
    {"depthwise 3x3", 16, 16, 3, 1, 1, 16, 20},
    {"depthwise 3x3 stride 2", 24, 24, 3, 2, 1, 24, 21},
    {"pointwise", 8, 16, 1, 1, 0, 1, 9},
    {"pointwise, many channels", 128, 128, 1, 1, 0, 1, 4},
    {"general 3x3", 4, 8, 3, 1, 1, 1, 10},
    {"general 3x3, large", 16, 32, 3, 1, 1, 1, 32},
    {"general 3x3 stride 2", 8, 16, 3, 2, 1, 1, 17},
    {"grouped 3x3", 8, 8, 3, 1, 1, 2, 9},
};

uint64_t out_side(const ConvShape& c) { return (c.h + 2 * c.pad - c.k) / c.stride + 1; }

// Input -> Conv (bias or not) -> t; returns t.
uint64_t add_conv(GraphBuilder& b, const ConvShape& c, bool bias, uint64_t* in, std::vector<float>* x) {
  const uint64_t ho = out_side(c);
  *in = b.input({1, c.cin, c.h, c.h});
  *x = values(11, c.cin * c.h * c.h, -3, 3);
  const uint64_t W = b.weight({c.cout, c.cin / c.groups, c.k, c.k},
                              values(12, c.cout * (c.cin / c.groups) * c.k * c.k, -1, 1));
  const uint64_t t = b.act({1, c.cout, ho, ho});
  const std::initializer_list<std::pair<int, uint64_t>> words = {
      {attr::Conv::kKernelH, c.k},  {attr::Conv::kKernelW, c.k},  {attr::Conv::kStrideH, c.stride},
      {attr::Conv::kStrideW, c.stride}, {attr::Conv::kPadTop, c.pad}, {attr::Conv::kPadLeft, c.pad},
      {attr::Conv::kPadBottom, c.pad}, {attr::Conv::kPadRight, c.pad}, {attr::Conv::kGroups, c.groups}};
  if (bias)
    b.node(op::Conv, {*in, W, b.weight({c.cout}, values(13, c.cout, -1, 1))}, {t}, words);
  else
    b.node(op::Conv, {*in, W}, {t}, words);
  return t;
}

TEST(FusionEpilogue, PReluBecomesTheConvEpilogueBitExactly) {
  for (const ConvShape& c : kShapes)
    for (const bool bias : {true, false})
      for (const uint64_t slopes : {c.cout, uint64_t{1}}) {
        SCOPED_TRACE(std::string(c.name) + (bias ? ", bias" : ", no bias") + ", " + std::to_string(slopes) +
                     " slopes");
        GraphBuilder b;
        uint64_t in;
        std::vector<float> x;
        const uint64_t t = add_conv(b, c, bias, &in, &x);
        const uint64_t ho = out_side(c);
        const uint64_t S = slopes == 1 ? b.weight({1}, {0.25f})
                                       : b.weight({c.cout, 1, 1}, values(14, c.cout, -0.5f, 0.5f));
        const uint64_t out = b.output({1, c.cout, ho, ho});
        b.node(op::PRelu, {t, S}, {out});
        const test::FusionRun fused = run_fused(b, x, c.cout * ho * ho, true);
        const test::FusionRun plain = run_fused(b, x, c.cout * ho * ho, false);
        ASSERT_EQ(fused.nodes(), 1u);
        EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Conv::kPRelu);
        EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
      }
}

// A slope that another node also reads, or one of another length, stays
// with its PRelu.
TEST(FusionEpilogue, PReluWithASharedOrOddSlopeIsLeftAlone) {
  const ConvShape& c = kShapes[4];
  for (const bool shared : {true, false}) {
    GraphBuilder b;
    uint64_t in;
    std::vector<float> x;
    const uint64_t t = add_conv(b, c, true, &in, &x);
    const uint64_t ho = out_side(c);
    const uint64_t S = b.weight({shared ? c.cout : 2}, values(15, shared ? c.cout : 2, -0.5f, 0.5f));
    const uint64_t p = b.act({1, c.cout, ho, ho}), out = b.output({1, c.cout, ho, ho});
    b.node(op::PRelu, {t, S}, {p});
    if (shared)
      b.node(op::PRelu, {p, S}, {out});
    else
      b.node(op::Relu, {p}, {out});
    const test::FusionRun fused = run_fused(b, x, c.cout * ho * ho, true);
    const test::FusionRun plain = run_fused(b, x, c.cout * ho * ho, false);
    ASSERT_EQ(fused.nodes(), 3u);
    EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Conv::kNone);
    EXPECT_TRUE(bit_equal(fused.y, plain.y));
  }
}

// Conv, then Add of a residual (either input), then Relu or not: one Conv
// adding the residual after its bias, except on the depthwise path.
TEST(FusionEpilogue, ResidualAddBecomesTheConvEpilogueBitExactly) {
  for (const ConvShape& c : kShapes)
    for (const bool bias : {true, false})
      for (const bool relu : {true, false})
        for (const bool conv_first : {true, false}) {
          SCOPED_TRACE(std::string(c.name) + (bias ? ", bias" : ", no bias") + (relu ? ", Relu" : "") +
                       (conv_first ? ", Add(conv, r)" : ", Add(r, conv)"));
          GraphBuilder b;
          uint64_t in;
          std::vector<float> x;
          const uint64_t t = add_conv(b, c, bias, &in, &x);
          const uint64_t ho = out_side(c), n = c.cout * ho * ho;
          const uint64_t r = b.input({1, c.cout, ho, ho});
          const uint64_t out = b.output({1, c.cout, ho, ho});
          const uint64_t sum = relu ? b.act({1, c.cout, ho, ho}) : out;
          if (conv_first)
            b.node(op::Add, {t, r}, {sum});
          else
            b.node(op::Add, {r, t}, {sum});
          if (relu) b.node(op::Relu, {sum}, {out});
          const std::vector<float> rv = values(31, n, -4, 4, true);
          const test::FusionRun fused = run_fused(b, x, n, true, r, rv);
          const test::FusionRun plain = run_fused(b, x, n, false, r, rv);
          const bool depthwise = c.groups == c.cout;
          ASSERT_EQ(fused.nodes(), depthwise ? 2u : 1u);
          if (!depthwise) {
            EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), relu ? attr::Conv::kAddRelu : attr::Conv::kAdd);
          }
          EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
        }
}

// A downsampling block: the main Conv runs before the shortcut Conv, so
// the shortcut Conv takes the join (its residual is already written) and
// the main one cannot.
TEST(FusionEpilogue, ResidualMustBeWrittenBeforeTheConv) {
  const ConvShape& c = kShapes[6];
  GraphBuilder b;
  uint64_t in;
  std::vector<float> x;
  const uint64_t main = add_conv(b, c, true, &in, &x);
  const uint64_t ho = out_side(c);
  const uint64_t W = b.weight({c.cout, c.cin, 1, 1}, values(41, c.cout * c.cin, -1, 1));
  const uint64_t shortcut = b.act({1, c.cout, ho, ho}), out = b.output({1, c.cout, ho, ho});
  b.node(op::Conv, {in, W}, {shortcut}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1},
                                          {attr::Conv::kStrideH, 2}, {attr::Conv::kStrideW, 2}});
  b.node(op::Add, {main, shortcut}, {out});
  const test::FusionRun fused = run_fused(b, x, c.cout * ho * ho, true);
  const test::FusionRun plain = run_fused(b, x, c.cout * ho * ho, false);
  ASSERT_EQ(fused.nodes(), 2u);
  EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::Conv::kNone);
  EXPECT_EQ(fused.records[1].attr(attr::Fusion::kMode), attr::Conv::kAdd);
  EXPECT_EQ(fused.records[1].input(3), main);
  EXPECT_TRUE(bit_equal(fused.y, plain.y));
}

// BatchNormalization with no Conv before it (pre-activation blocks) takes
// the Relu behind it: x * a + b rounded twice, then the Relu kernel's test.
TEST(FusionEpilogue, ReluBehindABatchNormalizationIsFused) {
  for (const uint64_t side : {uint64_t{5}, uint64_t{64}}) {
    SCOPED_TRACE(std::to_string(side) + " x " + std::to_string(side) + " planes");
    const uint64_t ch = 24, n = ch * side * side;
    GraphBuilder b;
    const uint64_t in = b.input({1, ch, side, side});
    const std::vector<float> a = values(21, ch, -2, 2), sh = values(22, ch, -1, 1);
    const uint64_t A = b.weight({ch}, a), B = b.weight({ch}, sh);
    const uint64_t t = b.act({1, ch, side, side}), out = b.output({1, ch, side, side});
    b.node(op::BatchNormalization, {in, A, B}, {t});
    b.node(op::Relu, {t}, {out});
    const std::vector<float> x = values(23, n, -3, 3, true);
    const test::FusionRun fused = run_fused(b, x, n, true);
    const test::FusionRun plain = run_fused(b, x, n, false);
    ASSERT_EQ(fused.nodes(), 1u);
    EXPECT_EQ(fused.records[0].attr(attr::Fusion::kMode), attr::BatchNormalization::kRelu);
    EXPECT_TRUE(bit_equal(fused.y, plain.y)) << "fused output differs from the unfused graph";
    for (uint64_t i = 0; i < n; ++i) {
      const uint64_t c = i / (side * side);
      volatile float m = x[i] * a[c];
      const float v = m + sh[c];
      const float want = v >= 0.0f ? v : 0.0f;
      ASSERT_EQ(std::memcmp(&fused.y[i], &want, 4), 0) << "at " << i << ": x " << x[i];
    }
  }
}

}  // namespace
}  // namespace vorn
