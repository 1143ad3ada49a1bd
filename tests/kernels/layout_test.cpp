// Data-movement kernels against the reference loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/parallel_chunks.h"
#include "elem_test_util.h"
#include "reference/layout_reference.h"

namespace vorn::test {
namespace {

using ref::Dims;

std::vector<float> iota_values(uint64_t n) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), 0.0f);
  return v;
}

NodeRecord transpose_node(uint64_t x, uint64_t y, const Dims& perm) {
  NodeRecord n = NodeHarness::node(op::Transpose, {x}, {y}, {{attr::Transpose::kPermLength, perm.size()}});
  for (size_t k = 0; k < perm.size(); ++k) n.set_attr(attr::Transpose::kPerm + k, perm[k]);
  return n;
}

TEST(TransposeKernel, EveryRankAndPermutationShape) {
  struct Case {
    Dims dx, perm;
  } cases[] = {
      {{5}, {0}},
      {{3, 4}, {1, 0}},
      {{3, 4}, {0, 1}},  // identity copies
      {{2, 3, 4}, {2, 0, 1}},
      {{2, 3, 4}, {1, 2, 0}},
      {{2, 3, 4, 5}, {0, 2, 3, 1}},
      {{2, 3, 4, 5}, {0, 3, 1, 2}},
      {{2, 1, 4, 1}, {3, 2, 1, 0}},
      {{2, 3, 2, 3, 2}, {4, 2, 0, 3, 1}},
      {{2, 3, 1, 2, 3, 2}, {5, 0, 4, 1, 3, 2}},
      {{1, 64, 40, 40}, {0, 2, 3, 1}},  // above the parallel split
      {{1, 3, 200, 109}, {0, 3, 1, 2}},
      {{255, 255}, {1, 0}},             // just below it
      {{1, 1, 257, 8}, {0, 1, 3, 2}},   // 8 x 8 blocks with a column left over
      {{19, 45}, {1, 0}},               // blocks with rows and columns left over
      {{3, 24, 17}, {0, 2, 1}},
      {{2, 16, 40, 9}, {0, 3, 1, 2}},
      {{2, 0, 3}, {2, 1, 0}},
  };
  // This processor's form (8 x 8 blocks in registers) and the portable one.
  for (const Case& c : cases)
    for (KernelIsa isa : {kernel_isa_of_this_cpu(), KernelIsa::kPortable}) {
      SCOPED_TRACE(dims_text(c.dx) + " perm " + dims_text(c.perm) + " form " + std::to_string(int(isa)));
      NodeHarness h;
      h.state().isa = isa;
      const auto x = awkward(ref::count_of(c.dx), 3);
      Dims dy(c.dx.size());
      for (size_t k = 0; k < dy.size(); ++k) dy[k] = c.dx[c.perm[k]];
      const uint64_t ix = h.value(c.dx, x), iy = h.value(dy);
      ASSERT_TRUE(h.run(transpose_node(ix, iy, c.perm))) << h.last_message();
      EXPECT_TRUE(same_floats(h.read(iy), ref::transpose(x, c.dx, c.perm)));
    }
}

TEST(TransposeKernel, RankTwoFollowsItsPermutation) {
  NodeHarness h;
  const uint64_t x = h.value({2, 3}, {0, 1, 2, 3, 4, 5}), same = h.value({2, 3}), swapped = h.value({3, 2});
  ASSERT_TRUE(h.run(transpose_node(x, same, {0, 1})));
  EXPECT_TRUE(same_floats(h.read(same), {0, 1, 2, 3, 4, 5}));
  ASSERT_TRUE(h.run(transpose_node(x, swapped, {1, 0})));
  EXPECT_TRUE(same_floats(h.read(swapped), {0, 3, 1, 4, 2, 5}));
}

TEST(TransposeKernel, CheckRefusesBadPermutations) {
  NodeHarness h;
  const uint64_t x = h.value({2, 3, 4}), y = h.value({4, 2, 3}), y2 = h.value({2, 3, 4});
  EXPECT_FALSE(h.run(transpose_node(x, y, {2, 2, 1})));
  EXPECT_FALSE(h.run(transpose_node(x, y, {3, 0, 1})));
  EXPECT_FALSE(h.run(transpose_node(x, y2, {2, 0, 1})));  // output dims do not follow the permutation
  EXPECT_TRUE(h.run(transpose_node(x, y, {2, 0, 1})));
}

TEST(ConcatSplitKernels, MatchReferenceOnEveryAxis) {
  const std::vector<Dims> base = {{2, 3, 4}, {3, 1, 2, 5}, {1, 2, 1, 3, 2, 2}};
  for (const Dims& d : base) {
    for (int64_t axis = -static_cast<int64_t>(d.size()); axis < static_cast<int64_t>(d.size()); ++axis) {
      const uint64_t a = axis < 0 ? axis + d.size() : axis;
      SCOPED_TRACE(dims_text(d) + " axis " + std::to_string(axis));
      std::vector<Dims> ds = {d, d, d};
      ds[1][a] += 2;
      ds[2][a] = 1;
      std::vector<std::vector<float>> xs;
      NodeHarness h;
      std::vector<uint64_t> ids;
      for (size_t k = 0; k < 3; ++k) {
        xs.push_back(awkward(ref::count_of(ds[k]), 10 + k));
        ids.push_back(h.value(ds[k], xs[k]));
      }
      const Dims dy = ref::concat_dims(ds, a);
      const uint64_t y = h.value(dy);
      ASSERT_TRUE(h.run(NodeHarness::node(op::Concat, {ids[0], ids[1], ids[2]}, {y},
                                                                                      {{attr::Concat::kAxis, wi(axis)}})))
          << h.last_message();
      const auto want = ref::concat(xs, ds, a);
      EXPECT_TRUE(same_floats(h.read(y), want));
      // Split undoes it.
      std::vector<uint64_t> outs;
      for (size_t k = 0; k < 3; ++k) outs.push_back(h.value(ds[k]));
      ASSERT_TRUE(h.run(NodeHarness::node(op::Split, {y}, {outs[0], outs[1], outs[2]},
                                                                                        {{attr::Split::kAxis, wi(axis)}})))
          << h.last_message();
      for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(same_floats(h.read(outs[k]), xs[k]));
    }
  }
}

TEST(ConcatSplitKernels, LargeTensorsAboveTheParallelSplit) {
  const std::vector<Dims> ds = {{2, 96, 40, 40}, {2, 64, 40, 40}};
  std::vector<std::vector<float>> xs = {uniform(ref::count_of(ds[0]), 17), uniform(ref::count_of(ds[1]), 18)};
  NodeHarness h;
  const uint64_t a = h.value(ds[0], xs[0]), b = h.value(ds[1], xs[1]), y = h.value({2, 160, 40, 40});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Concat, {a, b}, {y}, {{attr::Concat::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(y), ref::concat(xs, ds, 1)));
  const uint64_t sa = h.value(ds[0]), sb = h.value(ds[1]);
  ASSERT_TRUE(h.run(NodeHarness::node(op::Split, {y}, {sa, sb}, {{attr::Split::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(sa), xs[0]));
  EXPECT_TRUE(same_floats(h.read(sb), xs[1]));
  // Short blocks along the last axis (a detector's box columns), above
  // the split: every block width a short move handles, and one past it.
  for (uint64_t w : {1u, 2u, 3u, 8u, 9u}) {
    SCOPED_TRACE("columns " + std::to_string(w));
    const std::vector<Dims> dc = {{1, 70001, w}, {1, 70001, 2}};
    std::vector<std::vector<float>> xc = {awkward(ref::count_of(dc[0]), 30), awkward(ref::count_of(dc[1]), 31)};
    const uint64_t ca = h.value(dc[0], xc[0]), cb = h.value(dc[1], xc[1]), cy = h.value({1, 70001, w + 2});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Concat, {ca, cb}, {cy}, {{attr::Concat::kAxis, 2}})));
    EXPECT_TRUE(same_floats(h.read(cy), ref::concat(xc, dc, 2)));
  }
  const Dims dx = {2, 64, 70, 40}, dp = {2, 70, 75, 40};
  const uint64_t px = h.value(dx, uniform(ref::count_of(dx), 19)), py = h.value(dp);
  ASSERT_TRUE(h.run(NodeHarness::node(op::Pad, {px}, {py})));
  EXPECT_TRUE(same_floats(h.read(py), ref::pad_end(h.read(px), dx, dp)));
}

TEST(ConcatSplitKernels, InputAlreadyInPlaceIsNotCopiedAndBadShapesAreRefused) {
  NodeHarness h;
  const uint64_t a = h.value({1, 2, 2}, {1, 2, 3, 4}), b = h.value({1, 1, 2}, {5, 6}), y = h.value({1, 3, 2});
  // Put b inside y where it belongs, as the planner does for channel Concats.
  float* yd = static_cast<float*>(h.state().data[y]);
  yd[4] = 5;
  yd[5] = 6;
  h.state().data[b] = yd + 4;
  ASSERT_TRUE(h.run(NodeHarness::node(op::Concat, {a, b}, {y}, {{attr::Concat::kAxis, wi(-2)}})));
  EXPECT_TRUE(same_floats(h.read(y), {1, 2, 3, 4, 5, 6}));
  const uint64_t wrong = h.value({1, 4, 2});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Concat, {a, b}, {wrong}, {{attr::Concat::kAxis, 1}})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Concat, {a, b}, {y}, {{attr::Concat::kAxis, 3}})));
  const uint64_t c = h.value({1, 2, 3});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Concat, {a, c}, {y}, {{attr::Concat::kAxis, 1}})));
}

TEST(GatherKernel, NegativeIndexCountsFromTheEndThenClamps) {
  NodeHarness h;
  const uint64_t x = h.value({4, 2}, {0, 1, 10, 11, 20, 21, 30, 31});
  const uint64_t idx = h.value({6}, {-1, 1e9f, -1e9f, 2.9f, -2.5f, kNaN});
  const uint64_t y = h.value({6, 2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Gather, {x, idx}, {y})));
  EXPECT_TRUE(same_floats(h.read(y), {30, 31, 30, 31, 0, 1, 20, 21, 20, 21, 0, 1}));
}

TEST(GatherKernel, MatchesReferenceOnAxesAndRanks) {
  struct Case {
    Dims dx;
    int64_t axis;
    Dims di;
  } cases[] = {{{5}, 0, {3}},       {{6, 4}, 0, {2, 2}},      {{6, 4}, 1, {5}},
               {{3, 4, 5}, 0, {7}}, {{3, 4, 5}, -2, {2, 3}},  {{2, 3, 4, 5}, 3, {1}},
               {{3, 4}, 0, {0}},    {{70000, 2}, 0, {40000}}, {{2, 3, 2, 2, 2, 3}, 4, {3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(dims_text(c.dx) + " axis " + std::to_string(c.axis));
    const uint64_t axis = c.axis < 0 ? c.axis + c.dx.size() : c.axis;
    NodeHarness h;
    const auto x = awkward(ref::count_of(c.dx), 4);
    auto idx = uniform(ref::count_of(c.di), 5, -2.0f * c.dx[axis], 2.0f * c.dx[axis]);
    const auto want = ref::gather(x, c.dx, axis, idx);
    const uint64_t ix = h.value(c.dx, x), ii = h.value(c.di, idx), iy = h.value({want.size()});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Gather, {ix, ii}, {iy},
                                                                     {{attr::Gather::kAxis, wi(c.axis)}}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iy), want));
  }
  NodeHarness h;
  const uint64_t x = h.value({3, 4, 5}), idx = h.value({2}), y = h.value({2, 4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Gather, {x, idx}, {y})));  // rows are 4 x 5, not 4
}

TEST(GatherNDKernel, TuplesAddressLeadingAxes) {
  NodeHarness h;
  const uint64_t x = h.value({5}, {0, 1, 2, 3, 4}), idx = h.value({2, 1}, {-1, -7}), y = h.value({2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::GatherND, {x, idx}, {y})));
  EXPECT_TRUE(same_floats(h.read(y), {4, 0}));
  struct Case {
    Dims dx, di;
  } cases[] = {{{4, 3, 2}, {5, 2}}, {{4, 3, 2}, {2, 3, 3}}, {{4, 3, 2}, {6, 1}}, {{3, 3}, {2}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(dims_text(c.dx) + " " + dims_text(c.di));
    NodeHarness g;
    const uint64_t k = c.di.back() <= 1 ? 1 : c.di.back();
    const auto xv = awkward(ref::count_of(c.dx), 6);
    const auto iv = uniform(ref::count_of(c.di), 7, -6.0f, 6.0f);
    const auto want = ref::gather_nd(xv, c.dx, iv, k);
    const uint64_t ix = g.value(c.dx, xv), ii = g.value(c.di, iv), iy = g.value({want.size()});
    ASSERT_TRUE(g.run(NodeHarness::node(op::GatherND, {ix, ii}, {iy}))) << g.last_message();
    EXPECT_TRUE(same_floats(g.read(iy), want));
  }
  const uint64_t bad = h.value({2, 3}, {}), y3 = h.value({2});
  EXPECT_FALSE(h.run(NodeHarness::node(op::GatherND, {x, bad}, {y3})));  // tuples of 3 into a rank-1 input
  EXPECT_FALSE(h.run(NodeHarness::node(op::GatherND, {x, idx}, {y}, {{attr::GatherND::kBatchDims, 1}})));  // batch_dims
}

TEST(ScatterNDKernel, TupleAndElementForms) {
  NodeHarness h;
  const auto xv = awkward(24, 8);
  const uint64_t x = h.value({4, 3, 2}, xv);
  // Tuple form with a repeated index: the later update wins.
  const std::vector<float> iv = {1, 0, -1, 2, 1, 0};
  const auto uv = uniform(6, 9);
  const uint64_t idx = h.value({3, 2}, iv), upd = h.value({3, 2}, uv), y = h.value({4, 3, 2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ScatterND, {x, idx, upd}, {y})));
  EXPECT_TRUE(same_floats(h.read(y), ref::scatter_nd(xv, {4, 3, 2}, iv, 2, uv)));
  EXPECT_EQ(h.read(y)[(1 * 3 + 0) * 2], uv[4]);
  // Element form along axis 1.
  const std::vector<float> ie = {2, 0, -1, 1, 0, 0};
  const uint64_t idx_e = h.value({1, 3, 2}, ie), upd_e = h.value({1, 3, 2}, uv), ye = h.value({4, 3, 2});
  ASSERT_TRUE(h.run(NodeHarness::node(op::ScatterND, {x, idx_e, upd_e}, {ye}, {{attr::ScatterND::kAxis, 1}})));
  EXPECT_TRUE(same_floats(h.read(ye), ref::scatter_elements(xv, {4, 3, 2}, ie, {1, 3, 2}, uv, 1)));
  const uint64_t short_upd = h.value({3, 1});
  EXPECT_FALSE(h.run(NodeHarness::node(op::ScatterND, {x, idx, short_upd}, {y})));
}

TEST(SliceKernel, StartLengthStep) {
  struct Case {
    Dims dx;
    int64_t axis, start, len, step;
  } cases[] = {{{10}, 0, 2, 5, 1},        {{10}, 0, 1, 3, 3},        {{4, 6}, 1, 1, 3, 0},
               {{4, 6}, -2, 3, 1, 1},     {{2, 3, 8, 2}, 2, 1, 4, 2}, {{3, 4}, 1, 0, 0, 1},
               {{1, 2, 3, 4, 5, 6}, 5, 5, 1, 1}, {{200, 700}, 1, 1, 349, 2}, {{1, 4420, 4}, 2, 2, 2, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(dims_text(c.dx));
    const uint64_t axis = c.axis < 0 ? c.axis + c.dx.size() : c.axis;
    NodeHarness h;
    const auto x = awkward(ref::count_of(c.dx), 11);
    const auto want = ref::slice(x, c.dx, axis, c.start, c.len, c.step <= 1 ? 1 : c.step);
    const uint64_t ix = h.value(c.dx, x), iy = h.value({want.size()});
    ASSERT_TRUE(h.run(NodeHarness::node(op::Slice, {ix}, {iy},
                                        {{attr::Slice::kAxis, wi(c.axis)}, {attr::Slice::kStart, wi(c.start)},
                                         {attr::Slice::kLength, wi(c.len)}, {attr::Slice::kStep, wi(c.step)}})))
        << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iy), want));
  }
  NodeHarness h;
  const uint64_t x = h.value({10}), y = h.value({4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Slice, {x}, {y}, {{attr::Slice::kStart, 7}, {attr::Slice::kLength, 4},
                                                             {attr::Slice::kStep, 1}})));  // past the end
  EXPECT_TRUE(h.run(NodeHarness::node(op::Slice, {x}, {y}, {{attr::Slice::kStart, 0}, {attr::Slice::kLength, 4},
                                                            {attr::Slice::kStep, 3}})));   // 0, 3, 6, 9
  EXPECT_FALSE(h.run(NodeHarness::node(op::Slice, {x}, {y}, {{attr::Slice::kStart, 1}, {attr::Slice::kLength, 4},
                                                             {attr::Slice::kStep, 3}})));  // 1, 4, 7, 10
  EXPECT_FALSE(h.run(NodeHarness::node(op::Slice, {x}, {y}, {{attr::Slice::kStart, wi(-1)},
                                                             {attr::Slice::kLength, 1}})));
}

TEST(DepthSpaceKernels, MatchFormulasAndRoundTrip) {
  for (uint64_t b : {0u, 2u, 3u}) {
    const uint64_t bs = b == 0 ? 2 : b;
    SCOPED_TRACE(b);
    NodeHarness h;
    const Dims dx = {2, 2 * bs * bs, 3, 4};
    const Dims dy = {2, 2, 3 * bs, 4 * bs};
    const auto x = awkward(ref::count_of(dx), 12);
    const uint64_t ix = h.value(dx, x), iy = h.value(dy), iback = h.value(dx);
    ASSERT_TRUE(h.run(NodeHarness::node(op::DepthToSpace, {ix}, {iy},
                                                                       {{attr::DepthSpace::kBlockSize, b}}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iy), ref::depth_to_space(x, dx, bs)));
    ASSERT_TRUE(h.run(NodeHarness::node(op::SpaceToDepth, {iy}, {iback},
                                                                          {{attr::DepthSpace::kBlockSize, b}}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iback), ref::space_to_depth(ref::depth_to_space(x, dx, bs), dy, bs)));
  }
  NodeHarness h;
  const uint64_t x = h.value({1, 6, 2, 2}), y = h.value({1, 1, 4, 4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::DepthToSpace, {x}, {y})));  // 6 channels do not split by 4
}

TEST(PadKernel, ZerosAfterTheDataOnAxesOneAndTwo) {
  NodeHarness h;
  const Dims dx = {1, 3, 4, 4}, dy = {1, 4, 6, 4};
  const auto x = uniform(48, 13, 1.0f, 2.0f);
  const uint64_t ix = h.value(dx, x), iy = h.value(dy, std::vector<float>(96, 9.0f));
  ASSERT_TRUE(h.run(NodeHarness::node(op::Pad, {ix}, {iy})));
  const auto y = h.read(iy);
  EXPECT_TRUE(same_floats(y, ref::pad_end(x, dx, dy)));
  for (uint64_t i = 72; i < 96; ++i) EXPECT_EQ(y[i], 0.0f);  // channel 3
  const uint64_t bad = h.value({1, 4, 6, 5});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Pad, {ix}, {bad})));
}

TEST(WhereExpandKernels, BroadcastLikeTheReference) {
  struct Case {
    Dims dc, da, db, dy;
  } cases[] = {
      {{}, {}, {}, {}},
      {{6}, {6}, {6}, {6}},
      {{}, {4}, {1}, {4}},
      {{3, 1, 2, 1, 5}, {1, 2, 4, 1}, {2, 1, 5}, {3, 1, 2, 4, 5}},
      {{2, 1, 4}, {3, 1}, {}, {2, 3, 4}},
      {{1}, {2, 3}, {2, 1}, {2, 3}},
      {{2, 1, 3, 1, 2, 1}, {1, 2, 1, 3, 1, 2}, {2}, {2, 2, 3, 3, 2, 2}},
      {{1, 1, 300, 300}, {1, 2, 1, 300}, {1, 2, 300, 300}, {1, 2, 300, 300}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(dims_text(c.dy));
    NodeHarness h;
    auto cond = awkward(ref::count_of(c.dc), 14);
    for (auto& v : cond) v = (v > 0.5f || std::isnan(v)) ? v : 0.0f;
    const auto a = awkward(ref::count_of(c.da), 15), b = awkward(ref::count_of(c.db), 16);
    const uint64_t ic = h.value(c.dc, cond), ia = h.value(c.da, a), ib = h.value(c.db, b), iy = h.value(c.dy);
    ASSERT_TRUE(h.run(NodeHarness::node(op::Where, {ic, ia, ib}, {iy}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(iy), ref::where(cond, c.dc, a, c.da, b, c.db, c.dy)));
    const uint64_t ie = h.value(c.dy);
    ASSERT_TRUE(h.run(NodeHarness::node(op::Expand, {ia}, {ie}))) << h.last_message();
    EXPECT_TRUE(same_floats(h.read(ie), ref::expand(a, c.da, c.dy)));
  }
  NodeHarness h;
  const uint64_t c = h.value({3}), a = h.value({2}), y = h.value({2, 3});
  EXPECT_FALSE(h.run(NodeHarness::node(op::Where, {c, a, c}, {y})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Expand, {a}, {y})));
}

TEST(FlattenKernel, CopiesAndChecksCounts) {
  NodeHarness h;
  const uint64_t x = h.value({2, 3, 2}, iota_values(12)), y = h.value({2, 6}), bad = h.value({2, 5});
  ASSERT_TRUE(h.run(NodeHarness::node(op::Flatten, {x}, {y})));
  EXPECT_TRUE(same_floats(h.read(y), iota_values(12)));
  EXPECT_FALSE(h.run(NodeHarness::node(op::Flatten, {x}, {bad})));
}

}  // namespace
}  // namespace vorn::test
