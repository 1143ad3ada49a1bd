// YoloNms post-processing against an independent naive implementation.
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/yolo_nms.h"

#include <gtest/gtest.h>

#include "elem_test_util.h"
#include "reference/detection_reference.h"

namespace vorn::test {
namespace {

YoloNmsParams params_of(const ref::YoloRef& r) {
  YoloNmsParams p{};
  p.extras = r.extras;
  p.max_detections = r.max_det;
  p.score_threshold = r.score_thr;
  p.iou_threshold = r.iou_thr;
  p.box_divisor = r.divisor;
  p.box_scale = r.scale;
  p.class_offset = r.offset;
  p.centre_form = r.centre ? 1 : 0;
  return p;
}

// Candidates attribute-major: boxes clustered on a small grid so that many
// overlap, scores in [0, 1) with ties, extras arbitrary.
std::vector<float> candidates(uint64_t rows, uint64_t count, bool centre, uint32_t seed) {
  std::vector<float> in = uniform(rows * count, seed, 0.0f, 1.0f);
  const auto u = uniform(count * 4, seed + 1, 0.0f, 1.0f);
  for (uint64_t i = 0; i < count; ++i) {
    const float cx = std::floor(u[i * 4] * 5) * 40 + u[i * 4 + 1] * 20, cy = 50 + u[i * 4 + 2] * 30;
    const float w = 20 + u[i * 4 + 3] * 30, h = 25;
    if (centre) {
      in[0 * count + i] = cx, in[1 * count + i] = cy, in[2 * count + i] = w, in[3 * count + i] = h;
    } else {  // corners in either order
      const bool flip = (i % 3) == 0;
      in[0 * count + i] = flip ? cx + w / 2 : cx - w / 2, in[2 * count + i] = flip ? cx - w / 2 : cx + w / 2;
      in[1 * count + i] = cy - h / 2, in[3 * count + i] = cy + h / 2;
    }
  }
  for (uint64_t i = 0; i < count; i += 11) in[4 * count + i] = 0.96875f;  // tied best scores
  return in;
}

TEST(YoloNmsKernel, MatchesNaiveReferenceOnRandomCandidates) {
  struct Case {
    uint64_t classes, count;
    ref::YoloRef p;
  } cases[] = {
      {3, 200, {0, 20, 0.3f, 0.45f, 1, 1, 0, false}},
      {3, 200, {0, 300, 0.3f, 0.45f, 1, 1, 0, true}},
      {80, 500, {0, 100, 0.5f, 0.5f, 1, 1, 0, true}},
      {5, 400, {2, 50, 0.2f, 0.3f, 2, 0.5f, 1000, false}},   // class-aware offset
      {1, 300, {32, 30, 0.1f, 0.6f, 640, 1, 0, true}},        // one class, mask coefficients
      {4, 1000, {0, 5, 0.9f, 0.45f, 1, 1, 0, false}},         // more survivors than rows
      {2, 64, {0, 10, 1.5f, 0.5f, 1, 1, 0, true}},            // nothing passes
  };
  uint32_t seed = 70;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.classes) + " classes, " + std::to_string(c.count));
    const uint64_t rows = 4 + c.classes + c.p.extras;
    auto in = candidates(rows, c.count, c.p.centre, seed += 2);
    in[4 * c.count + 1] = kNaN;  // a NaN score never passes
    const auto want = ref::yolo_nms(in, rows, c.count, c.p);
    std::vector<float> got(want.size() + 4, 9.0f);
    const YoloNmsParams p = params_of(c.p);
    ASSERT_EQ(yolo_nms(in.data(), rows, c.count, &p, got.data()), 1u);
    EXPECT_EQ(got[want.size()], 9.0f);  // nothing past the rows
    got.resize(want.size());
    EXPECT_TRUE(same_floats(got, want));
  }
}

TEST(YoloNmsKernel, EdgeCases) {
  ref::YoloRef r;
  r.max_det = 3, r.iou_thr = 0.5f;
  const YoloNmsParams p = params_of(r);
  std::vector<float> out(18, 9.0f);
  // No candidates, or too few values per candidate: 0 and a zero output.
  EXPECT_EQ(yolo_nms(nullptr, 5, 0, &p, out.data()), 0u);
  EXPECT_TRUE(same_floats(out, std::vector<float>(18, 0.0f)));
  const std::vector<float> four(8, 1.0f);
  EXPECT_EQ(yolo_nms(four.data(), 4, 2, &p, out.data()), 0u);
  // One class: its score is attribute 4. Two candidates with equal scores:
  // the lower index first. Two classes tied on a candidate: the lower class.
  const std::vector<float> in = {
      0, 100, 200,     // x0
      0, 0, 0,         // y0
      10, 110, 210,    // x1
      10, 10, 10,      // y1
      0.7f, 0.9f, 0.9f,  // class 0
      0.7f, 0.2f, 0.1f,  // class 1
  };
  ASSERT_EQ(yolo_nms(in.data(), 6, 3, &p, out.data()), 1u);
  EXPECT_TRUE(same_floats(out, {100, 0, 110, 10, 0.9f, 0, 200, 0, 210, 10, 0.9f, 0, 0, 0, 10, 10, 0.7f, 0}));
  // Score equal to the threshold is dropped.
  ref::YoloRef r2 = r;
  r2.score_thr = 0.7f;
  const YoloNmsParams p2 = params_of(r2);
  ASSERT_EQ(yolo_nms(in.data(), 6, 3, &p2, out.data()), 1u);
  EXPECT_EQ(out[12 + 4], 0.0f);
  // max detections 0: nothing, and success.
  ref::YoloRef r0 = r;
  r0.max_det = 0;
  const YoloNmsParams p0 = params_of(r0);
  EXPECT_EQ(yolo_nms(in.data(), 6, 3, &p0, out.data()), 1u);
  // An overlap exactly at the IoU threshold does not suppress (IoU 0.5).
  const std::vector<float> pair = {0, 1, 0, 0, 3, 4, 1, 1, 0.9f, 0.8f};
  ASSERT_EQ(yolo_nms(pair.data(), 5, 2, &p, out.data()), 1u);
  EXPECT_EQ(out[6 + 4], 0.8f);
  // Boxes are reported raw even with divisor, scale and offset.
  ref::YoloRef rs = r;
  rs.divisor = 4, rs.scale = 3, rs.offset = 100;
  const YoloNmsParams ps = params_of(rs);
  ASSERT_EQ(yolo_nms(pair.data(), 5, 2, &ps, out.data()), 1u);
  EXPECT_TRUE(same_floats({out[0], out[1], out[2], out[3]}, {0, 0, 3, 1}));
}

TEST(YoloNmsKernel, ParamsComeFromTheAttributeWords) {
  const NodeRecord n = NodeHarness::node(op::YoloNms, {1}, {2},
                                         {{attr::YoloNms::kMaxDetections, 300}, {attr::YoloNms::kExtras, 32}, {attr::YoloNms::kBoxDivisor, wf(640)}, {attr::YoloNms::kBoxScale, wf(2)}, {attr::YoloNms::kClassOffset, wf(4096)},
                                          {attr::YoloNms::kCentreForm, 5}, {attr::YoloNms::kScoreThreshold, wf(0.25f)}, {attr::YoloNms::kIouThreshold, wf(0.7f)}});
  const YoloNmsParams p = yolo_nms_params_from_node(n);
  EXPECT_EQ(p.max_detections, 300u);
  EXPECT_EQ(p.extras, 32u);
  EXPECT_EQ(p.box_divisor, 640.0f);
  EXPECT_EQ(p.box_scale, 2.0f);
  EXPECT_EQ(p.class_offset, 4096.0f);
  EXPECT_EQ(p.centre_form, 1);
  EXPECT_EQ(p.score_threshold, 0.25f);
  EXPECT_EQ(p.iou_threshold, 0.7f);
}

void* no_memory(size_t) { return nullptr; }

TEST(YoloNmsKernel, FailedScratchAllocationFailsThePass) {
  const uint64_t count = 50, rows = 7;
  const auto in = candidates(rows, count, true, 90);
  ref::YoloRef r;
  r.max_det = 10, r.iou_thr = 0.5f, r.centre = true;
  const YoloNmsParams p = params_of(r);
  std::vector<float> out(60, 9.0f);
  EXPECT_EQ(yolo_nms_using(in.data(), rows, count, &p, out.data(), &no_memory), 0u);
  EXPECT_TRUE(same_floats(out, std::vector<float>(60, 0.0f)));

  NodeHarness h;
  const uint64_t x = h.value({1, rows, count}, in), y = h.value({1, 10, 6});
  const NodeRecord n = NodeHarness::node(op::YoloNms, {x}, {y}, {{attr::YoloNms::kMaxDetections, 10}, {attr::YoloNms::kExtras, 0}, {attr::YoloNms::kBoxDivisor, wf(1)}, {attr::YoloNms::kBoxScale, wf(1)}, {attr::YoloNms::kClassOffset, wf(0)},
                                                        {attr::YoloNms::kCentreForm, 1}, {attr::YoloNms::kScoreThreshold, wf(0)}, {attr::YoloNms::kIouThreshold, wf(0.5f)}});
  ASSERT_TRUE(h.run(n)) << h.last_message();
  EXPECT_TRUE(same_floats(h.read(y), ref::yolo_nms(in, rows, count, r)));
  EXPECT_FALSE(cpu_yolo_nms_run(h.state(), n, &no_memory));
}

TEST(YoloNmsKernel, NodeWithoutSurvivorsSucceedsWithZeros) {
  NodeHarness h;
  const auto in = candidates(6, 20, false, 91);
  const uint64_t x = h.value({1, 6, 20}, in), y = h.value({1, 4, 6}, std::vector<float>(24, 5.0f));
  ASSERT_TRUE(h.run(NodeHarness::node(op::YoloNms, {x}, {y}, {{attr::YoloNms::kMaxDetections, 4}, {attr::YoloNms::kBoxDivisor, wf(1)}, {attr::YoloNms::kBoxScale, wf(1)}, {attr::YoloNms::kScoreThreshold, wf(2.0f)}})));
  EXPECT_TRUE(same_floats(h.read(y), std::vector<float>(24, 0.0f)));
  // No candidates at all: also zeros and success.
  const uint64_t none = h.value({1, 6, 0});
  ASSERT_TRUE(h.run(NodeHarness::node(op::YoloNms, {none}, {y}, {{attr::YoloNms::kMaxDetections, 4}})));
  // Shapes are checked at creation.
  const uint64_t wrong = h.value({1, 5, 6});
  EXPECT_FALSE(h.run(NodeHarness::node(op::YoloNms, {x}, {wrong}, {{attr::YoloNms::kMaxDetections, 4}})));
  EXPECT_FALSE(h.run(NodeHarness::node(op::YoloNms, {x}, {y}, {{attr::YoloNms::kMaxDetections, 4}, {attr::YoloNms::kExtras, 2}})));  // 6 rows, 2 extras: no class left
  const uint64_t no_batch = h.value({0, 6, 20});  // dims promise candidates the buffer lacks
  EXPECT_FALSE(h.run(NodeHarness::node(op::YoloNms, {no_batch}, {y}, {{attr::YoloNms::kMaxDetections, 4}})));
}

}  // namespace
}  // namespace vorn::test
