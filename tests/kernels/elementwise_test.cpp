// Binary, unary, Cast, PRelu and Identity kernels against the reference loops.
#include <gtest/gtest.h>

#include <bit>

#include <set>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/broadcast.h"
#include "kernels/ops/parallel_chunks.h"
#include "elem_test_util.h"
#include "reference/elementwise_reference.h"

namespace vorn::test {
namespace {

using ref::Dims;

struct BinaryCode {
  uint64_t code;
  uint64_t mode;  // attribute word 12 (Greater's or-equal forms), word 13 for Mod (fmod flag)
  const char* name;
};

const BinaryCode kBinary[] = {
    {op::Sub, 0, "Sub"},   {op::Div, 0, "Div"},     {op::Add, 0, "Add"},          {op::Mul, 0, "Mul"},
    {op::Equal, 0, "Equal"}, {op::Less, 0, "Less"},  {op::Max, 0, "Max"},         {op::Min, 0, "Min"},
    {op::Mod, 1, "Mod"},  {op::Mod, 0, "FloorMod"}, {op::Greater, 0, "Greater"}, {op::Greater, 1, "GreaterEqual"}, {op::Greater, 2, "LessEqual"},
    {op::Greater, 7, "Greater7"}, {op::And, 0, "And"}, {op::Or, 0, "Or"},
};

// Shape pairs of every rank from 0 to 6, broadcasting on leading, trailing
// and interleaved axes, one-element inputs on either side, and empty shapes.
const std::pair<Dims, Dims> kShapes[] = {
    {{}, {}},
    {{}, {5}},
    {{7}, {}},
    {{6}, {6}},
    {{4}, {1}},
    {{2, 1}, {1, 3}},
    {{3, 5}, {5}},
    {{1, 3, 4, 4}, {1, 3, 1, 1}},
    {{2, 3, 4}, {3, 1}},
    {{2, 1, 4}, {1, 3, 1}},
    {{5, 1, 3, 1, 2}, {4, 3, 1, 2}},
    {{2, 1, 3, 1, 2, 3}, {1, 2, 1, 4, 1, 3}},
    {{2, 3, 1, 2, 1, 2}, {2, 3, 4, 2, 3, 2}},
    {{1, 1, 1, 1, 1, 1}, {3}},
    {{0, 3}, {1, 3}},
    {{2, 0, 4}, {4}},
};

std::vector<float> run_binary(const BinaryCode& op, const Dims& da, const std::vector<float>& a,
                              const Dims& db, const std::vector<float>& b, bool* ok) {
  NodeHarness h;
  const uint64_t ia = h.value(da, a), ib = h.value(db, b);
  const uint64_t iy = h.value(ref::broadcast_dims(da, db));
  const uint64_t word = op.code == op::Mod ? attr::Mod::kFmod : attr::Greater::kForm;
  *ok = h.run(NodeHarness::node(op.code, {ia, ib}, {iy}, {{word, op.mode}}));
  EXPECT_TRUE(*ok) << h.last_message();
  return h.read(iy);
}

TEST(BinaryKernels, MatchReferenceOnBroadcastShapesWithSpecialValues) {
  uint32_t seed = 1;
  for (const BinaryCode& op : kBinary) {
    for (const auto& [da, db] : kShapes) {
      SCOPED_TRACE(std::string(op.name) + " " + dims_text(da) + " " + dims_text(db));
      const auto a = awkward(ref::count_of(da), seed++);
      const auto b = awkward(ref::count_of(db), seed++);
      bool ok;
      const auto got = run_binary(op, da, a, db, b, &ok);
      if (!ok) continue;
      EXPECT_TRUE(same_floats(got, ref::broadcast_binary(a, da, b, db, ref::binary_op(op.code, op.mode))));
    }
  }
}

TEST(BinaryKernels, DocumentedCases) {
  bool ok;
  // Sub of [2,1] and [1,3]: out[i][j] = a[i] - b[j].
  EXPECT_TRUE(same_floats(run_binary(kBinary[0], {2, 1}, {10, 20}, {1, 3}, {1, 2, 3}, &ok),
                          {9, 8, 7, 19, 18, 17}));
  // Greater: word 12 = 2 is <=, 1 is >=, anything else >.
  const std::vector<float> a = {1, 2, 3}, b = {2, 2, 2};
  EXPECT_TRUE(same_floats(run_binary(kBinary[12], {3}, a, {3}, b, &ok), {1, 1, 0}));
  EXPECT_TRUE(same_floats(run_binary(kBinary[11], {3}, a, {3}, b, &ok), {0, 1, 1}));
  EXPECT_TRUE(same_floats(run_binary(kBinary[13], {3}, a, {3}, b, &ok), {0, 0, 1}));
  // Division by a one-element zero follows IEEE.
  const auto d = run_binary(kBinary[1], {3}, {1, -1, 0}, {1}, {0}, &ok);
  EXPECT_EQ(d[0], kInf);
  EXPECT_EQ(d[1], -kInf);
  EXPECT_TRUE(std::isnan(d[2]));
  // Comparisons with NaN are 0; Max and Min give b; And and Or count NaN as true.
  EXPECT_TRUE(same_floats(run_binary(kBinary[4], {1}, {kNaN}, {1}, {kNaN}, &ok), {0}));
  EXPECT_TRUE(same_floats(run_binary(kBinary[6], {2}, {kNaN, 1}, {2}, {5, kNaN}, &ok), {5, kNaN}));
  EXPECT_TRUE(same_floats(run_binary(kBinary[14], {2}, {kNaN, 0}, {2}, {1, kNaN}, &ok), {1, 0}));
  // fmod keeps the sign of a; floor modulo takes the sign of b.
  EXPECT_TRUE(same_floats(run_binary(kBinary[8], {2}, {-7, 7}, {1}, {3}, &ok), {-1, 1}));
  EXPECT_TRUE(same_floats(run_binary(kBinary[9], {4}, {-7, 7, 6, -6}, {4}, {3, -3, 3, -3}, &ok),
                          {2, -2, 0, -0.0f}));
}

// Sizes just below and above the parallel split, and far above it, in the
// flat, scalar and broadcast forms: the results must equal the serial
// reference bit for bit on both sides.
TEST(BinaryKernels, EqualResultsOnBothSidesOfTheParallelThreshold) {
  const uint64_t t = kParallelElements;
  const std::pair<Dims, Dims> shapes[] = {
      {{t - 1}, {t - 1}}, {{t + 1}, {t + 1}}, {{t + 7}, {1}}, {{1}, {3 * t + 5}},
      {{3, 1, t / 2 + 3}, {1, 5, 1}}, {{1, 300001}, {1, 1}}, {{t / 64 + 1, 1}, {1, 129}},
      // Short repeating runs (anchor-grid form), split mid-pattern.
      {{2, 3, 200, 200, 2}, {3, 1, 1, 2}}, {{1, 3, 100, 70, 3}, {1, 1, 3}}, {{1, 7}, {5, 1001, 7}},
  };
  for (uint64_t code : {op::Sub, op::Div, op::Add, op::Mul, op::Max, op::Mod, op::Greater}) {
    for (const auto& [da, db] : shapes) {
      SCOPED_TRACE(std::to_string(code) + " " + dims_text(da) + " " + dims_text(db));
      const auto a = awkward(ref::count_of(da), 3), b = uniform(ref::count_of(db), 4, 0.5f, 3.0f);
      bool ok;
      const auto got = run_binary(BinaryCode{code, 0, ""}, da, a, db, b, &ok);
      EXPECT_TRUE(same_floats(got, ref::broadcast_binary(a, da, b, db, ref::binary_op(code))));
    }
  }
}

// One operand per channel (or per group of leading axes) against a full
// tensor, as in squeeze-excitation scaling, with the full tensor on either
// side of the operator: small, at and around the parallel split, with a
// repeat over the batch, planes that chunks cut in the middle, and shapes
// that only look like the form. NaN and infinities on both sides.
TEST(BinaryKernels, PerChannelOperandOnEitherSideMatchesReference) {
  const uint64_t t = kParallelElements;
  const std::pair<Dims, Dims> shapes[] = {
      {{1, 3, 4, 4}, {1, 3, 1, 1}},         {{2, 5, 7, 7}, {2, 5, 1, 1}},
      {{2, 5, 7, 7}, {1, 5, 1, 1}},         {{2, 5, 7, 7}, {5, 1, 1}},
      {{1, t / 4096 - 1, 64, 64}, {1, t / 4096 - 1, 1, 1}},
      {{1, t / 4096, 64, 64}, {1, t / 4096, 1, 1}},
      {{1, t / 4096 + 1, 64, 64}, {1, t / 4096 + 1, 1, 1}},
      {{1, 96, 56, 56}, {1, 96, 1, 1}},     {{3, 4, 100, 100}, {1, 4, 1, 1}},
      {{1, 2, 300, 300}, {1, 2, 1, 1}},     {{2, 3, 5}, {3, 1}},
      {{4, 6}, {4, 1}},                     {{2, 3, 4, 5}, {3, 4, 1}},
      {{5, 1, 6, 1}, {5, 1, 1, 1}},         {{2, 3, 4, 5}, {2, 1, 4, 1}},
      {{1, 3, 1, 1}, {1, 3, 1, 1}},
  };
  for (uint64_t code : {op::Sub, op::Div, op::Add, op::Mul, op::Max, op::Mod, op::Greater}) {
    for (const auto& [dx, ds] : shapes) {
      const auto x = awkward(ref::count_of(dx), 11), sv = awkward(ref::count_of(ds), 12);
      for (bool x_first : {true, false}) {
        SCOPED_TRACE(std::to_string(code) + " " + dims_text(dx) + " " + dims_text(ds) +
                     (x_first ? " x op s" : " s op x"));
        const BinaryCode op{code, code == op::Mod ? 1u : 0u, ""};
        bool ok;
        const auto got = x_first ? run_binary(op, dx, x, ds, sv, &ok) : run_binary(op, ds, sv, dx, x, &ok);
        ASSERT_TRUE(ok);
        const auto want = x_first ? ref::broadcast_binary(x, dx, sv, ds, ref::binary_op(code, op.mode))
                                  : ref::broadcast_binary(sv, ds, x, dx, ref::binary_op(code, op.mode));
        EXPECT_TRUE(same_floats(got, want));
      }
    }
  }
}

TEST(BinaryKernels, ScaledAddIsATimesScalePlusB) {
  for (uint64_t n : {uint64_t{5}, uint64_t{300000}}) {
    NodeHarness h;
    const auto a = awkward(n, 8), b = uniform(n, 9);
    const uint64_t ia = h.value({n}, a), ib = h.value({n}, b), iy = h.value({n});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Add, {ia, ib}, {iy}, {{attr::Add::kMode, 1}, {attr::Add::kParam, wf(0.5f)}})));
    std::vector<float> want(n);
    for (uint64_t i = 0; i < n; ++i) want[i] = a[i] * 0.5f + b[i];
    EXPECT_TRUE(same_floats(h.read(iy), want));
  }
}

TEST(BroadcastShapes, RightAlignsAndTakesTheLargerDim) {
  const uint64_t a[] = {2, 1, 4}, b[] = {3, 1};
  uint64_t pa[6], pb[6], po[6];
  ASSERT_EQ(broadcast_shapes(3, a, 2, b, pa, pb, po), 3u);
  EXPECT_EQ(std::vector<uint64_t>(pa, pa + 3), (std::vector<uint64_t>{2, 1, 4}));
  EXPECT_EQ(std::vector<uint64_t>(pb, pb + 3), (std::vector<uint64_t>{1, 3, 1}));
  EXPECT_EQ(std::vector<uint64_t>(po, po + 6), (std::vector<uint64_t>{2, 3, 4, 1, 1, 1}));
  EXPECT_EQ(broadcast_shapes(0, nullptr, 0, nullptr, pa, pb, po), 0u);
}

TEST(BinaryKernels, CheckRefusesShapesThatDoNotBroadcast) {
  NodeHarness h;
  const uint64_t a = h.value({2, 3}), b = h.value({4}), c = h.value({3, 1});
  const uint64_t y23 = h.value({2, 3}), y33 = h.value({3, 3});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Add, {a, b}, {y23})));
  EXPECT_NE(h.last_message().find("broadcast"), std::string::npos);
  // Compatible inputs, but the output record is not their broadcast.
  EXPECT_FALSE(h.run(NodeHarness::node(op::Mul, {a, c}, {y23})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Mul, {a, a}, {y33})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Mul, {a}, {y23})));
  // Scaled Add needs equal counts.
  EXPECT_FALSE(h.run(NodeHarness::node(op::Add, {a, c}, {y23}, {{attr::Add::kMode, 1}})));
}

std::vector<float> run_unary(uint64_t code, const std::vector<float>& x, Attrs attrs,
                             KernelIsa widest = KernelIsa::kAvx512) {
  const IsaCap isa(widest);
  NodeHarness h;
  const uint64_t ix = h.value({x.size()}, x), iy = h.value({x.size()});
  EXPECT_TRUE(h.run(NodeHarness::node(code, {ix}, {iy}, attrs))) << h.last_message();
  return h.read(iy);
}

TEST(UnaryKernels, MatchReferenceWithSpecialValuesOnBothSidesOfTheThreshold) {
  for (const ref::UnaryRef& op : ref::unary_ops()) {
    for (uint64_t n : {uint64_t{0}, uint64_t{1}, uint64_t{37}, kParallelHeavyElements - 1,
                       kParallelHeavyElements + 1, kParallelElements + 3}) {
      SCOPED_TRACE(std::string(op.name) + " n=" + std::to_string(n));
      const auto x = awkward(n, static_cast<uint32_t>(op.code * 100 + n % 97));
      std::vector<float> want(n);
      for (uint64_t i = 0; i < n; ++i) want[i] = op.f(x[i]);
      const auto got = run_unary(op.code, x, {{14, wf(op.p14)}, {15, wf(op.p15)}});
      if (op.libm)
        EXPECT_TRUE(close_floats(got, want, 4e-7));
      else
        EXPECT_TRUE(same_floats(got, want));
    }
  }
}

// Every unary operator over a tensor far above the parallel split gives the
// same bits as the same elements run in small pieces below it.
TEST(UnaryKernels, EqualResultsOnBothSidesOfTheParallelThreshold) {
  const uint64_t n = 3 * kParallelElements + 17;
  const auto x = awkward(n, 77);
  for (const ref::UnaryRef& op : ref::unary_ops()) {
    SCOPED_TRACE(op.name);
    const Attrs attrs = {{14, wf(op.p14)}, {15, wf(op.p15)}};
    const auto all = run_unary(op.code, x, attrs);
    for (uint64_t start : {uint64_t{0}, uint64_t{1001}, n - 300}) {
      const std::vector<float> piece(x.begin() + start, x.begin() + start + 300);
      const std::vector<float> want(all.begin() + start, all.begin() + start + 300);
      EXPECT_TRUE(same_floats(run_unary(op.code, piece, attrs), want));
    }
  }
}

// The exponential family in every form: the same bits (odd lengths, so the
// vector forms end in a partial block).
TEST(UnaryKernels, ExpFamilyFormsGiveTheSameBits) {
  const auto x = awkward(kParallelHeavyElements + 5, 31);
  std::vector<float> wide = uniform(1001, 32, -100.0f, 100.0f);
  for (uint64_t code : {op::Exp, op::Sigmoid, op::Elu, op::Selu, op::Tanh})
    for (const auto& v : {x, wide}) {
      SCOPED_TRACE(code);
      EXPECT_TRUE(same_floats(run_unary(code, v, {}), run_unary(code, v, {}, KernelIsa::kPortable)));
      // Sigmoid in SiLU mode: x times its sigmoid.
      if (code == op::Sigmoid) {
        EXPECT_TRUE(same_floats(run_unary(code, v, {{attr::Sigmoid::kMode, attr::Sigmoid::kSiLU}}),
                                run_unary(code, v, {{attr::Sigmoid::kMode, attr::Sigmoid::kSiLU}},
                                          KernelIsa::kPortable)));
      }
    }
}

// Tanh against tanh in double over the whole float range (every 509th bit
// pattern, and dense runs where the two methods meet, near 0 and where the
// result reaches 1), both forms alike.
TEST(UnaryKernels, TanhWithinTwoUlpOverTheWholeRange) {
  std::vector<float> x;
  for (uint64_t u = 0; u < (uint64_t{1} << 32); u += 509) {
    const float f = std::bit_cast<float>(static_cast<uint32_t>(u));
    if (!std::isnan(f)) x.push_back(f);
  }
  for (float f = 0.5f; f < 0.6f; f += 1e-6f) x.push_back(f), x.push_back(-f);
  for (float f = 1e-6f; f < 1e-3f; f *= 1.0001f) x.push_back(f);
  for (float f = 8.5f; f < 9.5f; f += 1e-5f) x.push_back(f);
  for (float f : {0.0f, -0.0f, kInf, -kInf, 0.55f, std::nextafter(0.55f, 0.0f), 1e-45f, -1e-45f}) x.push_back(f);
  std::vector<float> want(x.size());
  for (size_t i = 0; i < x.size(); ++i) want[i] = static_cast<float>(std::tanh(static_cast<double>(x[i])));
  const auto got = run_unary(op::Tanh, x, {});
  EXPECT_TRUE(ulp_close(got, want, 2));
  EXPECT_TRUE(same_floats(got, run_unary(op::Tanh, x, {}, KernelIsa::kPortable)));
  const auto special = run_unary(op::Tanh, {kNaN, kInf, -kInf, 0.0f, -0.0f}, {});
  EXPECT_TRUE(std::isnan(special[0]));
  EXPECT_TRUE(same_floats({special.begin() + 1, special.end()}, {1.0f, -1.0f, 0.0f, -0.0f}));
}

TEST(UnaryKernels, RoundTakesHalvesToEven) {
  EXPECT_TRUE(same_floats(run_unary(op::Round, {0.5f, 1.5f, 2.5f, -0.5f, -1.5f, -2.5f, 2.4999998f, 3.5000002f, 8388607.5f, -kInf, 1e30f}, {}),
                          {0.0f, 2.0f, 2.0f, -0.0f, -2.0f, -2.0f, 2.0f, 4.0f, 8388608.0f, -kInf, 1e30f}));
}

TEST(UnaryKernels, DefaultsOfEluAndSelu) {
  const std::vector<float> x = {-1.0f, 2.0f};
  auto elu = run_unary(op::Elu, x, {});
  EXPECT_FLOAT_EQ(elu[0], std::exp(-1.0f) - 1.0f);
  EXPECT_EQ(elu[1], 2.0f);
  auto selu = run_unary(op::Selu, x, {});
  EXPECT_FLOAT_EQ(selu[0], 1.0507010f * (1.6732632f * (std::exp(-1.0f) - 1.0f)));
  EXPECT_FLOAT_EQ(selu[1], 1.0507010f * 2.0f);
}

TEST(UnaryKernels, NaNPassesThroughTheClampingActivations) {
  for (uint64_t code : {op::HardSigmoid, op::HardSwish, op::LeakyRelu, op::Clip}) {
    SCOPED_TRACE(code);
    EXPECT_TRUE(std::isnan(run_unary(code, {kNaN}, {{14, wf(0.2f)}, {15, wf(0.5f)}})[0]));
  }
  EXPECT_EQ(run_unary(op::Relu, {kNaN}, {})[0], 0.0f);  // Relu: NaN >= 0 is false
}

TEST(CastKernel, TruncatesOrTestsForNonZero) {
  const std::vector<float> x = {2.7f, -2.7f, -0.5f, 0.0f, -0.0f, kNaN, kInf, 1e-30f};
  std::vector<float> to_int, to_bool;
  for (float v : x) {
    to_int.push_back(ref::cast(v, 7));
    to_bool.push_back(ref::cast(v, 9));
  }
  const auto got_int = run_unary(op::Cast, x, {{0, 7}});
  EXPECT_TRUE(same_floats(got_int, to_int));
  EXPECT_EQ(bits_of(got_int[2]), 0u);  // -0.5 truncates to +0.0
  EXPECT_TRUE(same_floats(run_unary(op::Cast, x, {{0, 9}}), to_bool));
  EXPECT_TRUE(same_floats(run_unary(op::Cast, x, {{0, 9}}), {1, 1, 1, 0, 0, 1, 1, 1}));
}

TEST(PReluKernel, SlopePerChannelOrShared) {
  struct Case {
    Dims dx;
    uint64_t slopes;
  } cases[] = {{{2, 3, 4, 5}, 3}, {{2, 3, 4, 5}, 1}, {{1, 4, 300, 300}, 4}, {{7}, 1}, {{}, 1}, {{2, 0, 3}, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(dims_text(c.dx));
    NodeHarness h;
    const auto x = awkward(ref::count_of(c.dx), 5), sl = uniform(c.slopes, 6, 0.0f, 1.0f);
    const uint64_t ix = h.value(c.dx, x), is = h.value({c.slopes}, sl, kValueWeight), iy = h.value(c.dx);
    ASSERT_TRUE(h.run(NodeHarness::node(op::PRelu, {ix, is}, {iy}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iy), ref::prelu(x, c.dx, sl)));
  }
  NodeHarness h;
  const uint64_t ix = h.value({2, 3}), iy = h.value({2, 3}), empty = h.value({0}, {}, kValueWeight);
  EXPECT_FALSE(h.run(NodeHarness::node(op::PRelu, {ix, empty}, {iy})));
}

TEST(IdentityKernel, CopiesUnlessSharedOrPlaceholder) {
  NodeHarness h;
  const uint64_t x = h.value({3}, {1, 2, 3}), y = h.value({3}), r0 = h.value({}, {7});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Identity, {x}, {y})));
  EXPECT_TRUE(same_floats(h.read(y), {1, 2, 3}));
  // A rank-0 output is a placeholder: nothing is written.
  ASSERT_TRUE(h.run(NodeHarness::node(op::Identity, {x}, {r0})));
  EXPECT_EQ(h.read(r0)[0], 7.0f);
  // An output sharing the input's buffer is left alone.
  const uint64_t z = h.value({3});
  h.state().data[z] = h.state().data[x];
  ASSERT_TRUE(h.run(NodeHarness::node(op::Identity, {x}, {z})));
  EXPECT_TRUE(same_floats(h.read(x), {1, 2, 3}));
  // An output larger than the input is refused.
  const uint64_t big = h.value({4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Identity, {x}, {big})));
}

TEST(UnaryKernels, CheckRefusesMismatchedCounts) {
  NodeHarness h;
  const uint64_t x = h.value({3}), y = h.value({4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Relu, {x}, {y})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Cast, {x}, {y})));
  // A record whose count disagrees with its dims is refused.
  const uint64_t bad = h.value({2, 2});
  h.state().values[bad].w[9] = 5;
  EXPECT_FALSE(h.run(NodeHarness::node(op::Relu, {bad}, {bad})));
}

}  // namespace
}  // namespace vorn::test
