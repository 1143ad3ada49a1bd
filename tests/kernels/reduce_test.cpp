// Reductions, Softmax, ArgMax, CumSum and TopK against the reference loops.
#include <gtest/gtest.h>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/parallel_chunks.h"
#include "elem_test_util.h"
#include "reference/reduce_reference.h"

namespace vorn::test {
namespace {

using ref::Dims;

Dims reduced(Dims d, uint64_t axis) {
  d[axis] = 1;
  return d;
}

const Dims kShapes[] = {{7}, {3, 5}, {2, 3, 4}, {2, 1, 3, 4}, {2, 3, 1, 2, 3}, {2, 2, 3, 1, 2, 3}, {4, 0, 3}};

TEST(ReduceKernels, EveryOperatorOnEveryAxisOfEveryRank) {
  uint32_t seed = 1;
  for (uint64_t code : {op::ArgMax, op::ReduceMean, op::ReduceSum, op::ReduceMax, op::ReduceMin, op::ReduceProd}) {
    for (const Dims& d : kShapes) {
      for (int64_t axis = -static_cast<int64_t>(d.size()); axis < static_cast<int64_t>(d.size()); ++axis) {
        const uint64_t a = axis < 0 ? axis + d.size() : axis;
        SCOPED_TRACE(std::to_string(code) + " " + dims_text(d) + " axis " + std::to_string(axis));
        NodeHarness h;
        const auto x = awkward(ref::count_of(d), seed++);
        const uint64_t ix = h.value(d, x), iy = h.value(reduced(d, a));
        ASSERT_TRUE(h.run(NodeHarness::node(code, {ix}, {iy}, {{attr::Reduce::kAxis, wi(axis)}}))) << h.last_message();
        EXPECT_TRUE(same_floats(h.read(iy), ref::reduce(x, d, a, code)));
      }
    }
  }
}

TEST(ReduceKernels, DocumentedValuesAndEmptyAxes) {
  NodeHarness h;
  const uint64_t x = h.value({4}, {3, 7, 7, 1}), y = h.value({1});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ArgMax, {x}, {y})));
  EXPECT_EQ(h.read(y)[0], 1.0f);  // the first maximum
  ASSERT_TRUE(h.run(NodeHarness::node(op::ReduceMean, {x}, {y})));
  EXPECT_EQ(h.read(y)[0], 18.0f / 4.0f);
  const uint64_t nan_first = h.value({3}, {kNaN, 5, 9});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ReduceMax, {nan_first}, {y})));
  EXPECT_TRUE(std::isnan(h.read(y)[0]));  // a NaN at d = 0 stays
  ASSERT_TRUE(h.run(NodeHarness::node(op::ArgMax, {nan_first}, {y})));
  EXPECT_EQ(h.read(y)[0], 0.0f);
  const uint64_t nan_later = h.value({3}, {1, kNaN, 0});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ReduceMax, {nan_later}, {y})));
  EXPECT_EQ(h.read(y)[0], 1.0f);  // NaN never replaces
  const uint64_t empty = h.value({2, 0}), y2 = h.value({2, 1});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ReduceProd, {empty}, {y2}, {{attr::Reduce::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(y2), {1, 1}));
  ASSERT_TRUE(h.run(NodeHarness::node(op::ReduceSum, {empty}, {y2}, {{attr::Reduce::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(y2), {0, 0}));
  EXPECT_FALSE(h.run(NodeHarness::node(op::ReduceSum, {x}, {y2})));          // wrong output size
  EXPECT_FALSE(h.run(NodeHarness::node(op::ReduceSum, {x}, {y}, {{attr::Reduce::kAxis, 1}})));  // axis outside the rank
}

TEST(ReduceKernels, EqualResultsOnBothSidesOfTheParallelThreshold) {
  const uint64_t t = kParallelElements;
  const std::pair<Dims, uint64_t> cases[] = {
      {{t - 1}, 0}, {{4, t / 4 + 1}, 1}, {{3, t / 3}, 0}, {{1, 7, 40000}, 1}, {{40000, 3}, 1}, {{2, 9, 70000}, 2}};
  for (const auto& [d, axis] : cases) {
    for (uint64_t code : {op::ArgMax, op::ReduceSum, op::ReduceMax}) {
      SCOPED_TRACE(std::to_string(code) + " " + dims_text(d));
      NodeHarness h;
      const auto x = awkward(ref::count_of(d), 21);
      const uint64_t ix = h.value(d, x), iy = h.value(reduced(d, axis));
      ASSERT_TRUE(h.run(NodeHarness::node(code, {ix}, {iy}, {{attr::Reduce::kAxis, axis}})));
      EXPECT_TRUE(same_floats(h.read(iy), ref::reduce(x, d, axis, code)));
    }
  }
}

TEST(SoftmaxKernel, MatchesReferenceOnAxesAndSizes) {
  const std::pair<Dims, int64_t> cases[] = {
      {{5}, 0},        {{3, 7}, -1},       {{3, 7}, 0},          {{2, 3, 4, 5}, 1},
      {{1, 21, 300}, 1}, {{1, 4, 20000}, 1}, {{4000, 3}, 1},       {{2, 2, 1, 3, 2, 3}, 3},
      {{1, 2, 100, 41}, 1}, {{3, 0}, 1}, {{1, 4421, 2}, 2}};
  for (const auto& [d, axis] : cases) {
    SCOPED_TRACE(dims_text(d) + " axis " + std::to_string(axis));
    NodeHarness h;
    const auto x = uniform(ref::count_of(d), 22, -20.0f, 20.0f);
    const uint64_t ix = h.value(d, x), iy = h.value(d);
    ASSERT_TRUE(h.run(NodeHarness::node(op::Softmax, {ix}, {iy}, {{attr::Softmax::kAxis, wi(axis)}}))) << h.last_message();
    EXPECT_TRUE(ulp_close(h.read(iy), ref::softmax(x, d, axis < 0 ? axis + d.size() : axis), 8));
  }
}

TEST(SoftmaxKernel, EqualRowsInfinityAndInPlace) {
  NodeHarness h;
  const uint64_t x = h.value({2, 4}, {3, 3, 3, 3, 1, kInf, 2, 0}), y = h.value({2, 4});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Softmax, {x}, {y}, {{attr::Softmax::kAxis, 1}})));
  const auto r = h.read(y);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r[i], 0.25f);
  for (int i = 4; i < 8; ++i) EXPECT_TRUE(std::isnan(r[i]));  // inf - inf
  // One buffer for X and Y gives the same result.
  const auto v = uniform(600, 23, -5.0f, 5.0f);
  const uint64_t z = h.value({2, 300}, v);
  ASSERT_TRUE(h.run(NodeHarness::node(op::Softmax, {z}, {z}, {{attr::Softmax::kAxis, 0}})));
  EXPECT_TRUE(ulp_close(h.read(z), ref::softmax(v, {2, 300}, 0), 8));
}

// The processor's form and the portable one, bit for bit: rows in groups
// of eight and alone, rows shorter and longer than a vector, an inner axis
// with positions past a vector's end, NaN and infinities among the values,
// and in place.
TEST(SoftmaxKernel, EveryFormGivesTheSameBits) {
  const std::pair<Dims, int64_t> cases[] = {{{19, 1}, 1},  {{19, 2}, 1},       {{17, 7}, 1},  {{16, 8}, 1},
                                            {{9, 9}, 1},   {{3, 12, 197}, -1}, {{1, 3, 33}, 1}, {{2, 5, 300}, 1},
                                            {{4, 70}, 0},  {{4, 2}, 1},        {{1, 4423, 2}, -1}};
  for (const auto& [d, axis] : cases) {
    for (bool in_place : {false, true}) {
      SCOPED_TRACE(dims_text(d) + " axis " + std::to_string(axis) + (in_place ? " in place" : ""));
      const auto x = awkward(ref::count_of(d), 25);
      std::vector<float> out[3];
      for (int f = 0; f < 3; ++f) {
        const IsaCap isa(f == 0 ? KernelIsa::kAvx512 : f == 1 ? KernelIsa::kPortable : KernelIsa::kAvx2);
        NodeHarness h;
        const uint64_t ix = h.value(d, x), iy = in_place ? ix : h.value(d);
        ASSERT_TRUE(h.run(NodeHarness::node(op::Softmax, {ix}, {iy}, {{attr::Softmax::kAxis, wi(axis)}})));
        out[f] = h.read(iy);
      }
      EXPECT_TRUE(same_floats(out[0], out[1]));
      EXPECT_TRUE(same_floats(out[2], out[1]));
    }
  }
}

// A large Softmax is split across the pool; each of its lines run alone (far
// below the split) must give the same bits, along the last axis and along an
// inner one.
TEST(SoftmaxKernel, EqualResultsOnBothSidesOfTheParallelThreshold) {
  for (uint64_t axis : {0u, 1u}) {
    const Dims d = axis == 1 ? Dims{9000, 7} : Dims{7, 9000};
    const uint64_t lines = 9000;
    const auto x = uniform(ref::count_of(d), 24, -30.0f, 30.0f);
    NodeHarness h;
    const uint64_t ix = h.value(d, x), iy = h.value(d);
    ASSERT_TRUE(h.run(NodeHarness::node(op::Softmax, {ix}, {iy}, {{attr::Softmax::kAxis, axis == 1 ? 1u : 0u}})));
    const auto all = h.read(iy);
    for (uint64_t line = 0; line < lines; line += 997) {
      std::vector<float> one(7), want(7);
      for (uint64_t k = 0; k < 7; ++k) {
        const uint64_t at = axis == 1 ? line * 7 + k : k * lines + line;
        one[k] = x[at];
        want[k] = all[at];
      }
      NodeHarness g;
      const uint64_t a = g.value({7}, one), b = g.value({7});
      ASSERT_TRUE(g.run(NodeHarness::node(op::Softmax, {a}, {b})));
      EXPECT_TRUE(same_floats(g.read(b), want));
    }
  }
}

TEST(CumSumKernel, DirectionsAndAxes) {
  struct Mode {
    uint64_t exclusive, reverse;
    std::vector<float> want;
  } modes[] = {{0, 0, {1, 3, 6}}, {1, 0, {0, 1, 3}}, {0, 1, {6, 5, 3}}, {1, 1, {5, 3, 0}}};
  for (const Mode& m : modes) {
    NodeHarness h;
    const uint64_t x = h.value({3}, {1, 2, 3}), y = h.value({3});
    ASSERT_TRUE(h.run(NodeHarness::node(op::CumSum, {x}, {y}, {{attr::CumSum::kExclusive, m.exclusive}, {attr::CumSum::kReverse, m.reverse}})));
    EXPECT_TRUE(same_floats(h.read(y), m.want));
  }
  uint32_t seed = 30;
  for (const Dims& d : {Dims{4, 5}, Dims{2, 3, 4}, Dims{2, 1, 3, 2, 2, 3}, Dims{3, 30000}}) {
    for (uint64_t axis = 0; axis < d.size(); ++axis) {
      for (const Mode& m : modes) {
        SCOPED_TRACE(dims_text(d) + " axis " + std::to_string(axis));
        NodeHarness h;
        const auto x = awkward(ref::count_of(d), seed++);
        const uint64_t ix = h.value(d, x), iy = h.value(d);
        ASSERT_TRUE(h.run(NodeHarness::node(op::CumSum, {ix}, {iy}, {{attr::CumSum::kAxis, axis}, {attr::CumSum::kExclusive, m.exclusive}, {attr::CumSum::kReverse, m.reverse}})));
        EXPECT_TRUE(same_floats(h.read(iy), ref::cumsum(x, d, axis, m.exclusive, m.reverse)));
      }
    }
  }
}

TEST(CumSumKernel, AxisFromSecondInput) {
  NodeHarness h;
  const auto xv = uniform(6, 31);
  const uint64_t x = h.value({2, 3}, xv), y = h.value({2, 3});
  const uint64_t axis_w = h.value({1}, {-2}, kValueWeight);
  ASSERT_TRUE(h.run(NodeHarness::node(op::CumSum, {x, axis_w}, {y}, {{attr::CumSum::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(y), ref::cumsum(xv, {2, 3}, 0, false, false)));
  const uint64_t bad_w = h.value({1}, {2}, kValueWeight);
  EXPECT_FALSE(h.run(NodeHarness::node(op::CumSum, {x, bad_w}, {y})));
  // An axis computed at run time that turns out bad fails the pass.
  const uint64_t bad_act = h.value({1}, {kNaN});
  EXPECT_FALSE(h.run(NodeHarness::node(op::CumSum, {x, bad_act}, {y})));
}

TEST(TopKKernel, DocumentedCasesTiesAndNonFinite) {
  NodeHarness h;
  const uint64_t x = h.value({4}, {5, 9, 9, 1}), v = h.value({2}), i = h.value({2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::TopK, {x}, {v, i})));
  EXPECT_TRUE(same_floats(h.read(v), {9, 9}));
  EXPECT_TRUE(same_floats(h.read(i), {1, 2}));
  ASSERT_TRUE(h.run(NodeHarness::node(op::TopK, {x}, {v, i}, {{attr::TopK::kSmallest, 1}})));
  EXPECT_TRUE(same_floats(h.read(v), {1, 5}));
  EXPECT_TRUE(same_floats(h.read(i), {3, 0}));
  // -inf is a value like any other, and NaNs come after every number.
  const uint64_t y = h.value({5}, {kNaN, -kInf, 2, kNaN, -kInf}), v5 = h.value({5}), i5 = h.value({5});
  ASSERT_TRUE(h.run(NodeHarness::node(op::TopK, {y}, {v5, i5})));
  EXPECT_TRUE(same_floats(h.read(v5), {2, -kInf, -kInf, kNaN, kNaN}));
  EXPECT_TRUE(same_floats(h.read(i5), {2, 1, 4, 0, 3}));
  // K above D pads with the bound.
  const uint64_t v6 = h.value({6}), i6 = h.value({6});
  ASSERT_TRUE(h.run(NodeHarness::node(op::TopK, {x}, {v6, i6}, {{attr::TopK::kSmallest, 1}})));
  EXPECT_TRUE(same_floats(h.read(v6), {1, 5, 9, 9, 1e30f, 1e30f}));
  EXPECT_TRUE(same_floats(h.read(i6), {3, 0, 1, 2, 0, 0}));
}

TEST(TopKKernel, MatchesSortingReference) {
  struct Case {
    Dims d;
    uint64_t axis, k;
  } cases[] = {{{10}, 0, 3}, {{4, 9}, 1, 9}, {{4, 9}, 0, 2}, {{2, 3, 5, 2}, 2, 4}, {{1, 8400}, 1, 10},
               {{2, 1, 2, 3, 2, 5}, 5, 3}, {{3, 0}, 1, 0}};
  for (const Case& c : cases) {
    for (uint64_t largest : {0u, 1u}) {
      SCOPED_TRACE(dims_text(c.d) + " k " + std::to_string(c.k));
      NodeHarness h;
      auto x = awkward(ref::count_of(c.d), 40);
      for (size_t i = 0; i < x.size(); i += 3) x[i] = std::round(x[i]);  // plenty of ties
      Dims dy = c.d;
      dy[c.axis] = c.k;
      const uint64_t ix = h.value(c.d, x), iv = h.value(dy), ii = h.value(dy);
      ASSERT_TRUE(h.run(NodeHarness::node(op::TopK, {ix}, {iv, ii}, {{attr::TopK::kAxis, c.axis}, {attr::TopK::kSmallest, largest}})))
          << h.last_message();
      std::vector<float> wv, wi_;
      ref::topk(x, c.d, c.axis, c.k, largest == 0, &wv, &wi_);
      EXPECT_TRUE(same_floats(h.read(iv), wv));
      EXPECT_TRUE(same_floats(h.read(ii), wi_));
    }
  }
}

}  // namespace
}  // namespace vorn::test
