// NonMaxSuppression, DetrTopK and MaskToBoxLogit against reference code.
#include <gtest/gtest.h>

#include "container/op_codes.h"
#include "kernels/ops/detection.h"
#include "elem_test_util.h"
#include "reference/detection_reference.h"

namespace vorn::test {
namespace {

// Corner boxes with the smaller corner first, clustered so that many overlap.
std::vector<float> random_boxes(uint64_t count, uint32_t seed) {
  const auto u = uniform(count * 4, seed, 0.0f, 1.0f);
  std::vector<float> b(count * 4);
  for (uint64_t i = 0; i < count; ++i) {
    const float cx = std::floor(u[i * 4] * 6) * 10 + u[i * 4 + 1] * 6, cy = u[i * 4 + 2] * 12;
    const float w = 4 + u[i * 4 + 3] * 8, h = 4 + u[(i * 4 + 5) % u.size()] * 8;
    b[i * 4 + 0] = cx - w / 2, b[i * 4 + 1] = cy - h / 2, b[i * 4 + 2] = cx + w / 2, b[i * 4 + 3] = cy + h / 2;
  }
  return b;
}

struct Nms {
  NodeHarness h;
  uint64_t boxes, scores, out;
  Nms(uint64_t batches, uint64_t n, uint64_t classes, uint64_t rows, const std::vector<float>& b,
      const std::vector<float>& s) {
    boxes = h.value({batches, n, 4}, b);
    scores = h.value({batches, classes, n}, s);
    out = h.value({rows, 3}, std::vector<float>(rows * 3, 7.0f));
  }
  std::vector<float> run(Attrs attrs, std::initializer_list<uint64_t> extra = {}) {
    std::vector<uint64_t> in = {boxes, scores};
    in.insert(in.end(), extra);
    NodeRecord n = NodeHarness::node(op::NonMaxSuppression, {}, {out}, attrs);
    n.w[1] = in.size();
    for (size_t k = 0; k < in.size(); ++k) n.w[2 + k] = in[k];
    EXPECT_TRUE(h.run(n)) << h.last_message();
    return h.read(out);
  }
};

TEST(NonMaxSuppressionKernel, ThresholdsAreStrictAndTakenFromTheAttributeWords) {
  // IoU of these two boxes is exactly 2 / 4 = 0.5.
  const std::vector<float> b = {0, 0, 3, 1, 1, 0, 4, 1};
  Nms t(1, 2, 1, 4, b, {0.9f, 0.8f});
  EXPECT_TRUE(same_floats(t.run({{14, wf(0.5f)}}), {0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  // Just below the overlap, the second box is suppressed.
  EXPECT_TRUE(same_floats(t.run({{14, wf(0.49f)}}), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // A score equal to the threshold is never selected.
  EXPECT_TRUE(same_floats(t.run({{14, wf(0.5f)}, {15, wf(0.8f)}}), std::vector<float>(12, 0.0f)));
  // Word 0 limits the boxes per class.
  const auto one = t.run({{0, 1}, {14, wf(0.5f)}});
  EXPECT_TRUE(same_floats(one, std::vector<float>(12, 0.0f)));
  // Inputs 2 to 4, when a node still has them, win over the words.
  const uint64_t max1 = t.h.value({1}, {1}, kValueWeight), iou = t.h.value({1}, {0.5f}, kValueWeight);
  const uint64_t thr = t.h.value({1}, {0.85f}, kValueWeight);
  EXPECT_TRUE(same_floats(t.run({{14, wf(0.0f)}}, {max1, iou}), std::vector<float>(12, 0.0f)));
  const uint64_t max0 = t.h.value({1}, {0}, kValueWeight);
  const auto both = t.run({{14, wf(0.0f)}}, {max0, iou});
  EXPECT_EQ(both[5], 1.0f);
  EXPECT_TRUE(same_floats(t.run({{14, wf(0.5f)}}, {max0, iou, thr}), std::vector<float>(12, 0.0f)));
}

TEST(NonMaxSuppressionKernel, BoxLimitDefaultsTo200AndCapsAt256) {
  const uint64_t n = 300;
  std::vector<float> b(n * 4), s(n);
  for (uint64_t i = 0; i < n; ++i) {
    b[i * 4] = 2.0f * i, b[i * 4 + 1] = 0, b[i * 4 + 2] = 2.0f * i + 1, b[i * 4 + 3] = 1;  // disjoint
    s[i] = 1.0f - 0.001f * i;
  }
  auto rows_written = [](const std::vector<float>& y) {
    uint64_t r = 0;
    for (size_t i = 0; i + 2 < y.size(); i += 3)
      if (y[i + 2] != 0 || i == 0) ++r;
    return r;
  };
  Nms t(1, n, 1, 400, b, s);
  EXPECT_EQ(rows_written(t.run({{14, wf(0.5f)}})), 200u);
  EXPECT_EQ(rows_written(t.run({{0, 1000}, {14, wf(0.5f)}})), 256u);
  const uint64_t zero = t.h.value({1}, {0}, kValueWeight), big = t.h.value({1}, {1000}, kValueWeight);
  EXPECT_EQ(rows_written(t.run({{0, 5}, {14, wf(0.5f)}}, {zero})), 200u);
  EXPECT_EQ(rows_written(t.run({{14, wf(0.5f)}}, {big})), 256u);
}

TEST(NonMaxSuppressionKernel, MatchesRoundReferenceOnRandomBoxes) {
  struct Case {
    uint64_t batches, n, classes, rows, max_boxes;
    float iou, thr;
  } cases[] = {{1, 50, 3, 200, 0, 0.5f, 0.2f}, {2, 120, 4, 1000, 20, 0.3f, 0.0f},
               {3, 40, 2, 25, 100, 0.6f, 0.5f}, {1, 1, 1, 5, 0, 0.5f, 0.0f}, {1, 0, 2, 4, 0, 0.5f, 0.0f}};
  uint32_t seed = 50;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    const auto b = random_boxes(c.batches * c.n, seed++);
    auto s = uniform(c.batches * c.classes * c.n, seed++, 0.0f, 1.0f);
    for (size_t i = 0; i < s.size(); i += 7) s[i] = 0.75f;  // ties
    if (!s.empty()) s[0] = kNaN;
    Nms t(c.batches, c.n, c.classes, c.rows, b, s);
    const uint64_t limit = c.max_boxes == 0 ? 200 : c.max_boxes;
    EXPECT_TRUE(same_floats(t.run({{0, c.max_boxes}, {14, wf(c.iou)}, {15, wf(c.thr)}}),
                            ref::nms(b, s, c.batches, c.n, c.classes, limit, c.iou, c.thr, c.rows)));
  }
}

TEST(NonMaxSuppressionKernel, CornersInEitherOrderAndShapeChecks) {
  const std::vector<float> ordered = {0, 0, 2, 2, 1, 1, 3, 3, 0.1f, 0, 2.1f, 2};
  const std::vector<float> flipped = {2, 2, 0, 0, 3, 1, 1, 3, 2.1f, 2, 0.1f, 0};
  const std::vector<float> s = {0.9f, 0.8f, 0.7f};
  Nms a(1, 3, 1, 3, ordered, s), b(1, 3, 1, 3, flipped, s);
  EXPECT_TRUE(same_floats(a.run({{14, wf(0.5f)}}), b.run({{14, wf(0.5f)}})));
  NodeHarness h;
  const uint64_t boxes = h.value({1, 4, 4}), scores = h.value({1, 2, 5}), y = h.value({8, 3}), y4 = h.value({8, 4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::NonMaxSuppression, {boxes, scores}, {y})));
  const uint64_t good = h.value({1, 2, 4});
  EXPECT_TRUE(h.run(NodeHarness::node(op::NonMaxSuppression, {boxes, good}, {y})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::NonMaxSuppression, {boxes, good}, {y4})));
}

TEST(DetrTopKKernel, KeepsBestQueriesInOrderAndRepeatsRowZero) {
  for (uint64_t queries : {100u, 900u}) {
    SCOPED_TRACE(queries);
    const uint64_t classes = 5, width = 4;
    auto logits = uniform(queries * classes, 60, -3.0f, 3.0f);
    for (uint64_t q = 0; q < queries; q += 5) logits[q * classes + 1] = 2.5f;  // equal scores
    logits[3 * classes] = kNaN;
    const auto rows = uniform(queries * width, 61);
    NodeHarness h;
    const uint64_t x = h.value({1, queries, classes}, logits), r = h.value({1, queries, width}, rows);
    const uint64_t y = h.value({1, 300, width});
    ASSERT_TRUE(h.run(NodeHarness::node(op::DetrTopK, {x, r}, {y}))) << h.last_message();
    const auto order = ref::detr_rows(logits, queries, classes);
    std::vector<float> want;
    for (uint64_t q : order)
      for (uint64_t k = 0; k < width; ++k) want.push_back(rows[q * width + k]);
    EXPECT_TRUE(same_floats(h.read(y), want));
  }
  NodeHarness h;
  const uint64_t x = h.value({1, 10, 3}), r = h.value({1, 9, 4}), y = h.value({1, 300, 4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::DetrTopK, {x, r}, {y})));  // a row short
  const uint64_t empty_batch = h.value({0, 10, 3}), r10 = h.value({1, 10, 4});
  EXPECT_FALSE(h.run(NodeHarness::node(op::DetrTopK, {empty_batch, r10}, {y})));
}

TEST(MaskToBoxLogitKernel, BoundingBoxesAsLogits) {
  NodeHarness h;
  std::vector<float> masks(kMaskCount * kMaskSide * kMaskSide, -1.0f);
  masks[10 * kMaskSide + 20] = 0.5f;  // mask 0: one pixel at row 10, column 20
  float* m1 = masks.data() + kMaskSide * kMaskSide;
  for (uint64_t r = 50; r <= 149; ++r)
    for (uint64_t c = 0; c < kMaskSide; ++c) m1[r * kMaskSide + c] = 1.0f;  // mask 1: rows 50..149, full width
  float* m2 = masks.data() + 2 * kMaskSide * kMaskSide;
  m2[0] = kNaN;  // mask 2: NaN is not positive, so the mask is empty
  std::vector<float> coords(kMaskSide);
  for (uint64_t i = 0; i < kMaskSide; ++i) coords[i] = static_cast<float>(i + 1);
  const uint64_t x = h.value({1, kMaskCount, kMaskSide, kMaskSide}, masks), y = h.value({1, kMaskCount, 4});
  const uint64_t c = h.value({1, 1, kMaskSide}, coords, kValueWeight);
  ASSERT_TRUE(h.run(NodeHarness::node(op::MaskToBoxLogit, {x, c}, {y})));
  const auto out = h.read(y);
  auto logit = [](float v) {
    v = std::fmin(1.0f, std::fmax(0.0f, v));
    return std::log(std::fmax(v, 1e-5f) / std::fmax(1.0f - v, 1e-5f));
  };
  const float s = 0.005f;
  const float x0 = 20 * s, x1 = 21 * s, y0 = 10 * s, y1 = 11 * s;
  EXPECT_TRUE(same_floats({out[0], out[1], out[2], out[3]},
                          {logit((x0 + x1) * 0.5f), logit((y0 + y1) * 0.5f), logit(x1 - x0), logit(y1 - y0)}));
  EXPECT_NEAR((x0 + x1) * 0.5f, 0.1025f, 1e-7);
  EXPECT_NEAR(out[4], logit(0.5f), 1e-6);          // cx of mask 1
  EXPECT_NEAR(out[7], logit(0.5f), 1e-6);          // h of mask 1
  EXPECT_GT(out[6], 10.0f);                        // w = 1 saturates at ln(1 / 1e-5)
  for (int k = 8; k < 12; ++k) EXPECT_NEAR(out[k], -11.512925f, 1e-5);
  EXPECT_NEAR(out[299 * 4], -11.512925f, 1e-5);
  const uint64_t small = h.value({1, 10, 200, 200});
  EXPECT_FALSE(h.run(NodeHarness::node(op::MaskToBoxLogit, {small}, {y})));
}

}  // namespace
}  // namespace vorn::test
