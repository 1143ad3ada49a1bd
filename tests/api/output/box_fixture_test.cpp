// Box decoding against the fixtures of make_box_fixtures.py: detector outputs
// of every layout and the boxes a numpy decoder written from the layout
// definitions expects from them.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

nlohmann::json load_fixtures() {
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/api/output/data/box_fixtures.json");
  return nlohmann::json::parse(in);
}

// Scores and coordinates agree to float rounding (numpy's exp may differ
// from the C library's by an ulp); counts, classes and order exactly.
void expect_near(float got, double want) {
  EXPECT_NEAR(got, want, 1e-5 * std::max(1.0, std::fabs(want)));
}

TEST(BoxFixtures, EveryLayoutMatchesNumpy) {
  const nlohmann::json fixtures = load_fixtures();
  ASSERT_GE(fixtures["cases"].size(), 9u);
  size_t boxes_seen = 0;
  for (const auto& c : fixtures["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    ref::RefMeta m;
    const auto& j = c["meta"];
    m.input_w = j["input_w"];
    m.input_h = j["input_h"];
    m.source_w = j["source_w"];
    m.source_h = j["source_h"];
    m.scale_x = j["scale_x"];
    m.scale_y = j["scale_y"];
    m.pad_x = j["pad_x"];
    m.pad_y = j["pad_y"];
    m.corner = j["corner"];
    m.decode = j["decode"];
    m.task = j["task"];
    m.labels = j["labels"];
    std::vector<ref::RefTensor> tensors;
    for (const auto& t : c["tensors"])
      tensors.push_back({t["dims"].get<std::vector<uint64_t>>(), t["data"].get<std::vector<float>>()});
    OutputPtr o = make_output(tensors, m);
    for (const auto& run : c["runs"]) {
      SCOPED_TRACE("max " + run["max_boxes"].dump() + " score " + run["score"].dump() + " iou " +
                   run["iou"].dump());
      const auto& want = run["boxes"];
      ASSERT_EQ(vorn_output_decode_boxes(o.get(), run["max_boxes"], run["score"], run["iou"]),
                int32_t(want.size()));
      for (int32_t i = 0; i < int32_t(want.size()); ++i) {
        SCOPED_TRACE(i);
        const auto& b = want[size_t(i)];
        expect_near(vorn_output_box_x1(o.get(), i), b[0]);
        expect_near(vorn_output_box_y1(o.get(), i), b[1]);
        expect_near(vorn_output_box_x2(o.get(), i), b[2]);
        expect_near(vorn_output_box_y2(o.get(), i), b[3]);
        expect_near(vorn_output_box_score(o.get(), i), b[4]);
        EXPECT_EQ(vorn_output_box_class_id(o.get(), i), uint32_t(b[5].get<int32_t>()));
        ASSERT_EQ(vorn_output_box_landmark_count(o.get(), i), b[6].size());
        for (int32_t k = 0; k < int32_t(b[6].size()); ++k) {
          expect_near(vorn_output_box_landmark_x(o.get(), i, k), b[6][size_t(k)]);
          expect_near(vorn_output_box_landmark_y(o.get(), i, k), b[7][size_t(k)]);
        }
      }
      boxes_seen += want.size();
    }
  }
  EXPECT_GT(boxes_seen, 500u);
}

}  // namespace
}  // namespace vorn::test
