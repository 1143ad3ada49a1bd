// Gemm and MatMul against the reference loops: transposes, every addend
// broadcast, numpy batch broadcasting, rank-1 operands and the axis-2 layout.
#include <gtest/gtest.h>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "reference/conv_reference.h"
#include "test_util.h"

namespace vorn::test {
namespace {

std::vector<uint64_t> u(std::initializer_list<int64_t> d) { return std::vector<uint64_t>(d.begin(), d.end()); }

struct GemmCase {
  int64_t m, n, k;
  bool ta, tb;
  std::vector<uint64_t> zdims;  // empty: no addend
  float alpha, beta;
};

TEST(GemmKernel, MatchesReferenceForTransposesAndAddendShapes) {
  const GemmCase cases[] = {
      {5, 7, 3, false, false, {}, 1.0f, 0.0f},
      {5, 7, 3, true, false, {7}, 1.0f, 1.0f},
      {5, 7, 3, false, true, {1}, 0.5f, 2.0f},
      {5, 7, 3, true, true, u({5, 1}), 1.0f, 1.0f},
      {5, 7, 3, false, false, u({5, 7}), 1.5f, -1.0f},
      {5, 7, 3, false, true, u({1, 7}), 1.0f, 1.0f},
      {64, 130, 96, false, true, {130}, 1.0f, 1.0f},
      {1, 1000, 512, false, true, u({1, 1000}), 1.0f, 1.0f},
  };
  for (const GemmCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.m << "x" << c.n << "x" << c.k << " ta " << c.ta << " tb " << c.tb
                                      << " z " << c.zdims.size());
    NodeHarness h;
    const auto a = random_values(c.m * c.k, 1), b = random_values(c.k * c.n, 2);
    const uint64_t ai = h.value(c.ta ? u({c.k, c.m}) : u({c.m, c.k}), a);
    const uint64_t bi = h.value(c.tb ? u({c.n, c.k}) : u({c.k, c.n}), b, kValueWeight);
    const uint64_t yi = h.value(u({c.m, c.n}));
    std::vector<float> z;
    int64_t zrow = 0, zcol = 0;
    NodeRecord n;
    if (!c.zdims.empty()) {
      uint64_t cnt = 1;
      for (uint64_t d : c.zdims) cnt *= d;
      z = random_values(cnt, 3);
      const uint64_t zi = h.value(c.zdims, z, kValueWeight);
      n = NodeHarness::node(op::Gemm, {ai, bi, zi}, {yi});
      const int64_t zn = static_cast<int64_t>(c.zdims.back());
      const int64_t zm = c.zdims.size() == 2 ? static_cast<int64_t>(c.zdims[0]) : 1;
      zcol = zn == 1 ? 0 : 1;
      zrow = zm == 1 ? 0 : zn;
    } else {
      n = NodeHarness::node(op::Gemm, {ai, bi}, {yi});
    }
    n.set_attr(attr::Gemm::kTransA, c.ta), n.set_attr(attr::Gemm::kTransB, c.tb);
    n.set_attr(attr::Gemm::kAlpha, w_f(c.alpha)), n.set_attr(attr::Gemm::kBeta, w_f(c.beta));
    ASSERT_TRUE(h.run(n)) << h.last_message();
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::gemm(c.m, c.n, c.k, c.ta, c.tb, c.alpha, a, b,
                                                          c.zdims.empty() ? 0.0 : c.beta, z, zrow, zcol)));
  }
}

TEST(GemmCheck, RefusesAddendThatDoesNotBroadcast) {
  NodeHarness h;
  const uint64_t a = h.value({4, 3}), b = h.value({3, 5}), y = h.value({4, 5});
  const uint64_t z = h.value({3}), z2 = h.value({4, 2});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Gemm, {a, b, z}, {y})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Gemm, {a, b, z2}, {y})));
  const uint64_t bbad = h.value({4, 5});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Gemm, {a, bbad}, {y})));
}

struct MatMulCase {
  std::vector<uint64_t> a, b, y;
};

TEST(MatMulKernel, BroadcastsLikeNumpy) {
  const MatMulCase cases[] = {
      {u({2, 3, 4, 5}), u({5, 6}), u({2, 3, 4, 6})},        // flattened into one product
      {u({4, 3, 5}), u({4, 5, 2}), u({4, 3, 2})},           // one B per A
      {u({2, 1, 3, 4}), u({5, 4, 6}), u({2, 5, 3, 6})},     // both broadcast
      {u({1, 3, 4}), u({3, 4, 2}), u({3, 3, 2})},           // A shared
      {u({3, 1, 4, 5}), u({1, 2, 5, 3}), u({3, 2, 4, 3})},
      {u({6}), u({2, 6, 3}), u({2, 3})},                    // rank-1 A
      {u({4, 6}), u({6}), u({4})},                          // rank-1 B
      {u({6}), u({6}), u({1})},                             // dot product
      {u({2, 12, 197, 64}), u({2, 12, 64, 197}), u({2, 12, 197, 197})},  // one thread per product
      {u({1, 64, 64}), u({16, 64, 64}), u({16, 64, 64})},                 // same, A shared
  };
  for (const MatMulCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.a.size() << "d x " << c.b.size() << "d, A0 " << c.a[0]);
    NodeHarness h;
    uint64_t na = 1, nb = 1;
    for (auto d : c.a) na *= d;
    for (auto d : c.b) nb *= d;
    const auto a = random_values(na, 4), b = random_values(nb, 5);
    const uint64_t ai = h.value(c.a, a), bi = h.value(c.b, b), yi = h.value(c.y);
    ASSERT_TRUE(h.run(NodeHarness::node(op::MatMul, {ai, bi}, {yi}))) << h.last_message();
    std::vector<int64_t> ad(c.a.begin(), c.a.end()), bd(c.b.begin(), c.b.end());
    EXPECT_TRUE(close_to_reference(h.read(yi), ref::matmul(ad, a, bd, b)));
  }
}

TEST(MatMulKernel, AxisTwoBatchedLayout) {
  // A [d0, d1, d2, d3] times B [1, d2, d3, N]: product over axis 2 as batch.
  const int64_t d0 = 2, d1 = 5, d2 = 3, d3 = 4, n = 6;
  NodeHarness h;
  const auto a = random_values(d0 * d1 * d2 * d3, 6), b = random_values(d2 * d3 * n, 7);
  const uint64_t ai = h.value(u({d0, d1, d2, d3}), a), bi = h.value(u({1, d2, d3, n}), b, kValueWeight);
  const uint64_t yi = h.value(u({d0, d1, d2, n}));
  ASSERT_TRUE(h.run(NodeHarness::node(op::MatMul, {ai, bi}, {yi},
                                                                   {{attr::MatMul::kAxis2Batch, 1}}))) << h.last_message();
  std::vector<float> want(d0 * d1 * d2 * n);
  for (int64_t i = 0; i < d0; ++i)
    for (int64_t r = 0; r < d1; ++r)
      for (int64_t j = 0; j < d2; ++j)
        for (int64_t c = 0; c < n; ++c) {
          double acc = 0;
          for (int64_t q = 0; q < d3; ++q) acc += (double)a[((i * d1 + r) * d2 + j) * d3 + q] * b[(j * d3 + q) * n + c];
          want[((i * d1 + r) * d2 + j) * n + c] = static_cast<float>(acc);
        }
  EXPECT_TRUE(close_to_reference(h.read(yi), want));
}

TEST(MatMulCheck, RefusesShapesThatDoNotBroadcast) {
  NodeHarness h;
  const uint64_t a = h.value({4, 2, 3}), b = h.value({2, 3, 5}), y = h.value({4, 2, 5});
  EXPECT_FALSE(h.run(NodeHarness::node(op::MatMul, {a, b}, {y})));
  const uint64_t b2 = h.value({4, 5});
  EXPECT_FALSE(h.run(NodeHarness::node(op::MatMul, {a, b2}, {y})));
  const uint64_t b3 = h.value({3, 5}), ybad = h.value({4, 2, 6});
  EXPECT_FALSE(h.run(NodeHarness::node(op::MatMul, {a, b3}, {ybad})));
  EXPECT_TRUE(h.run(NodeHarness::node(op::MatMul, {a, b3}, {y}))) << h.last_message();
}

}  // namespace
}  // namespace vorn::test
