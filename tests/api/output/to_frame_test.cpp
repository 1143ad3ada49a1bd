// Image-shaped tensors to frames: rounding and clamping of every special
// value, plane order, shapes, and the errors recorded on the frame.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/api/output/output_fixture.h"
#include "vorn.h"

namespace vorn::test {
namespace {

struct FrameDeleter {
  void operator()(VornFrame* f) const { vorn_frame_free(f); }
};
using FramePtr = std::unique_ptr<VornFrame, FrameDeleter>;

// Byte of one value, by the definition: 0 below 0 and for NaN, 255 above 255,
// else the integer part of x + 0.5 (computed in f32 after a fused x*s+o).
uint8_t expected_byte(float v, float scale, float offset) {
  float x = std::fma(v, scale, offset);
  if (std::isnan(x) || x < 0) return 0;
  if (x > 255) return 255;
  return uint8_t(std::min(255.0f, std::floor(x + 0.5f)));
}

std::string frame_error(const VornFrame* f) {
  return std::string(vorn_frame_error_message_ptr(f), vorn_frame_error_message_len(f));
}

TEST(ToFrame, RoundsAndClampsEverySpecialValue) {
  const std::vector<float> v = {0.5f,   1.2f,     0.0f,     1.0f,      -0.001f,   NAN,
                                INFINITY, -INFINITY, 0.49f / 255, 254.5f / 255, 0.99999f, -NAN};
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {1, 1, 1, v.size()}, v);
  FramePtr f(vorn_frame_new());
  ASSERT_TRUE(vorn_output_to_frame(o.get(), 0, f.get(), 255.0f, 0.0f));
  ASSERT_EQ(vorn_frame_width(f.get()), v.size());
  ASSERT_EQ(vorn_frame_height(f.get()), 1u);
  EXPECT_EQ(vorn_frame_format(f.get()), VORN_PIXEL_RGB);
  const uint8_t* px = vorn_frame_data_ptr(f.get());
  const uint8_t want[] = {128, 255, 0, 255, 0, 0, 255, 0, 0, 255, 255, 0};
  for (size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(px[3 * i], want[i]);
    EXPECT_EQ(px[3 * i], expected_byte(v[i], 255.0f, 0.0f));
    EXPECT_EQ(px[3 * i + 1], px[3 * i]);  // grey: one plane for all three
    EXPECT_EQ(px[3 * i + 2], px[3 * i]);
  }
  // Offsets and large scales: 254.5 + 0.5 rounds to 255, NaN offset gives 0.
  for (float offset : {0.5f, -0.5f, 254.4f, 300.0f, NAN}) {
    ASSERT_TRUE(vorn_output_to_frame(o.get(), 0, f.get(), 1.0f, offset));
    px = vorn_frame_data_ptr(f.get());
    for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(px[3 * i], expected_byte(v[i], 1.0f, offset));
  }
}

TEST(ToFrame, PlanesBecomeRgb) {
  // (3, 2, 2) planar: R plane 0..3, G 10.., B 20..
  std::vector<float> v;
  for (int c = 0; c < 3; ++c)
    for (int p = 0; p < 4; ++p) v.push_back(float(c * 10 + p));
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {3, 2, 2}, v);
  put_tensor(o.get(), 1, {1, 3, 2, 2}, v);
  for (int32_t slot : {0, 1}) {
    FramePtr f(vorn_frame_new());
    ASSERT_TRUE(vorn_output_to_frame(o.get(), slot, f.get(), 1.0f, 0.0f));
    ASSERT_EQ(vorn_frame_width(f.get()), 2u);
    ASSERT_EQ(vorn_frame_height(f.get()), 2u);
    ASSERT_EQ(vorn_frame_stride(f.get()), 6u);
    const uint8_t* px = vorn_frame_data_ptr(f.get());
    for (int p = 0; p < 4; ++p) {
      EXPECT_EQ(px[3 * p], p);
      EXPECT_EQ(px[3 * p + 1], 10 + p);
      EXPECT_EQ(px[3 * p + 2], 20 + p);
    }
  }
}

TEST(ToFrame, RefusalsAreRecordedOnTheFrame) {
  OutputPtr o(output_new());
  put_tensor(o.get(), 0, {3, 4}, std::vector<float>(12, 0.5f));      // rank 2
  put_tensor(o.get(), 1, {2, 2, 2}, std::vector<float>(8, 0.5f));    // 2 channels
  put_tensor(o.get(), 2, {3, 0, 2}, {});                             // empty side
  put_tensor(o.get(), 3, {3, 4, 4}, std::vector<float>(47, 0.5f));   // one value short
  put_tensor(o.get(), 4, {1, 1, 20000}, std::vector<float>(4, 0.5f));  // wider than a frame
  put_tensor(o.get(), 5, {1, 1, (1ull << 32) + 2}, std::vector<float>(2, 0.5f));
  const struct {
    int32_t slot;
    const char* text;
  } cases[] = {
      {0, "Output tensor is not an image tensor"},
      {1, "Output tensor channels must be 1 or 3"},
      {2, "Output tensor channels must be 1 or 3"},
      {3, "Output tensor is not an image tensor"},
      {4, "Output tensor image is larger than a Frame allows"},
      {5, "Output tensor image is larger than a Frame allows"},
      {6, "Invalid Output handle or tensor_idx"},
      {-1, "Invalid Output handle or tensor_idx"},
  };
  FramePtr f(vorn_frame_new());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.slot);
    EXPECT_FALSE(vorn_output_to_frame(o.get(), c.slot, f.get(), 1.0f, 0.0f));
    EXPECT_EQ(vorn_frame_error_code(f.get()), VORN_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(frame_error(f.get()), c.text);
    EXPECT_EQ(vorn_frame_width(f.get()), 0u);
  }
  EXPECT_FALSE(vorn_output_to_frame(nullptr, 0, f.get(), 1.0f, 0.0f));
  EXPECT_EQ(frame_error(f.get()), "Invalid Output handle or tensor_idx");
  EXPECT_FALSE(vorn_output_to_frame(o.get(), 0, nullptr, 1.0f, 0.0f));
}

}  // namespace
}  // namespace vorn::test
