// Frame to tensor against the per-pixel reference: every mode, pixel layout,
// channel order and odd size must give the same bits, and the same figures.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "session/frame_to_tensor.h"
#include "tests/reference/frame_tensor_reference.h"
#include "vorn.h"

namespace vorn {
namespace {

struct Case {
  uint32_t sw, sh;    // source
  uint32_t w, h;      // tensor
  uint32_t format;
  uint32_t mode;
  bool bgr;
  uint32_t row_pad;   // extra bytes a row
};

struct Image {
  std::vector<uint8_t> bytes;
  VornFrame* frame = nullptr;
  Image(const Case& c, uint32_t seed) {
    const uint32_t bpp = c.format == 1 || c.format == 2 ? 3 : c.format == 3 || c.format == 4 ? 4 : 1;
    const uint64_t stride = uint64_t(c.sw) * bpp + c.row_pad;
    bytes.resize(stride * c.sh);
    std::mt19937 rng(seed);
    for (auto& b : bytes) b = uint8_t(rng());
    frame = vorn_frame_new();
    EXPECT_TRUE(vorn_frame_set_pixels(frame, bytes.data(), bytes.size(), c.sw, c.sh, stride, c.format, 1, 0))
        << vorn_frame_error_message_ptr(frame);
  }
  ~Image() { vorn_frame_free(frame); }
  reference::RefImage ref() const {
    return {frame->data, frame->width, frame->height, frame->stride, frame->format};
  }
};

void check(const Case& c, const Normalization& norm, uint8_t pad) {
  Image im(c, c.sw * 7919u + c.sh * 31u + c.w + c.mode);
  FrameTensorSettings st{c.mode, pad, uint8_t(c.bgr ? 1 : 0), norm};
  std::vector<float> got(size_t(3) * c.w * c.h, -12345.0f);
  FrameMapping m = frame_to_tensor(st, *im.frame, c.w, c.h, got.data());
  reference::RefSettings rs{c.mode, pad, c.bgr, norm.scale,
                            {norm.mean[0], norm.mean[1], norm.mean[2]},
                            {norm.std[0], norm.std[1], norm.std[2]}};
  reference::RefFigures fig{};
  std::vector<float> want = reference::ref_frame_to_tensor(im.ref(), rs, c.w, c.h, &fig);
  SCOPED_TRACE(testing::Message() << c.sw << "x" << c.sh << " -> " << c.w << "x" << c.h << " format "
                                  << c.format << " mode " << c.mode << " bgr " << c.bgr);
  ASSERT_EQ(got.size(), want.size());
  size_t bad = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], 4) != 0 && bad++ < 5)
      ADD_FAILURE() << "value " << i << ": " << got[i] << " vs " << want[i];
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(m.scale_x, fig.scale_x);
  EXPECT_EQ(m.scale_y, fig.scale_y);
  EXPECT_EQ(m.pad_x, fig.pad_x);
  EXPECT_EQ(m.pad_y, fig.pad_y);
}

const Normalization kImagenet{1.0f / 255.0f, {0.485f, 0.456f, 0.406f}, {0.229f, 0.224f, 0.225f}};
const Normalization kRaw{1.0f, {0.0f, 0.0f, 0.0f}, {1.0f, 1.0f, 1.0f}};

TEST(FrameToTensor, MatchesReferenceOnOddSizes) {
  const uint32_t sizes[][4] = {
      {17, 13, 9, 7}, {13, 17, 9, 7},  {31, 7, 11, 11}, {5, 29, 15, 9}, {1, 9, 5, 5},
      {9, 1, 5, 3},   {3, 3, 33, 21},  {101, 67, 25, 19}, {64, 48, 64, 64}, {7, 11, 7, 11},
  };
  for (const auto& sz : sizes)
    for (uint32_t mode = 0; mode < 3; ++mode)
      for (uint32_t format = 1; format <= 5; ++format)
        for (int bgr = 0; bgr < 2; ++bgr)
          check(Case{sz[0], sz[1], sz[2], sz[3], format, mode, bgr != 0, format == 1 ? 5u : 0u},
                format % 2 ? kImagenet : kRaw, uint8_t(100 + format));
}

// Above the size where rows are spread over the pool.
TEST(FrameToTensor, MatchesReferenceWhenSplitAcrossThreads) {
  for (uint32_t mode = 0; mode < 3; ++mode)
    check(Case{401, 299, 321, 257, VORN_PIXEL_RGB, mode, false, 3}, kImagenet, 114);
}

TEST(FrameToTensor, UnknownModeStretches) {
  Case c{23, 19, 11, 9, VORN_PIXEL_BGRA, 7, true, 0};
  Image im(c, 5);
  FrameTensorSettings odd{7, 114, 1, kImagenet};
  FrameTensorSettings stretch{0, 114, 1, kImagenet};
  std::vector<float> a(3 * 11 * 9), b(3 * 11 * 9);
  frame_to_tensor(odd, *im.frame, 11, 9, a.data());
  frame_to_tensor(stretch, *im.frame, 11, 9, b.data());
  EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * 4));
}

TEST(FrameToTensor, LetterboxPadsTopAndBottom) {
  Case c{640, 480, 640, 640, VORN_PIXEL_RGB, 1, false, 0};
  Image im(c, 9);
  FrameTensorSettings st{1, 114, 0, Normalization{1.0f / 255.0f, {0, 0, 0}, {1, 1, 1}}};
  std::vector<float> t(3 * 640 * 640);
  FrameMapping m = frame_to_tensor(st, *im.frame, 640, 640, t.data());
  EXPECT_EQ(m.scale_x, 1.0f);
  EXPECT_EQ(m.pad_x, 0.0f);
  EXPECT_EQ(m.pad_y, 80.0f);
  const float pad = std::fma(114.0f, 1.0f / 255.0f, -0.0f);
  for (uint32_t c3 = 0; c3 < 3; ++c3)
    for (uint32_t r : {0u, 79u, 560u, 639u})
      for (uint32_t q : {0u, 320u, 639u}) EXPECT_EQ(t[c3 * 640 * 640 + r * 640 + q], pad);
  // The first image row lands on tensor row 80 unchanged (scale 1).
  EXPECT_EQ(t[80 * 640 + 0], std::fma(float(im.bytes[0]), 1.0f / 255.0f, -0.0f));
}

TEST(FrameToTensor, LetterboxOddRemainderGoesRight) {
  // 10 x 10 into 7 x 4: s = 0.4, nw = 4, px = (7 - 4) / 2 = 1: one pad
  // column on the left, two on the right.
  Case c{10, 10, 7, 4, VORN_PIXEL_GRAY, 1, false, 0};
  Image im(c, 3);
  FrameTensorSettings st{1, 0, 0, Normalization{1.0f, {-1, -1, -1}, {1, 1, 1}}};
  std::vector<float> t(3 * 7 * 4, -7.0f);
  FrameMapping m = frame_to_tensor(st, *im.frame, 7, 4, t.data());
  EXPECT_EQ(m.pad_x, 1.0f);
  EXPECT_EQ(m.pad_y, 0.0f);
  for (uint32_t r = 0; r < 4; ++r) {
    EXPECT_EQ(t[r * 7 + 0], 1.0f);
    EXPECT_EQ(t[r * 7 + 5], 1.0f);
    EXPECT_EQ(t[r * 7 + 6], 1.0f);
    EXPECT_GE(t[r * 7 + 1], 1.0f);
  }
}

TEST(FrameToTensor, GreyIntoBgrGivesEqualPlanes) {
  Case c{13, 11, 7, 5, VORN_PIXEL_GRAY, 0, true, 0};
  Image im(c, 1);
  FrameTensorSettings st{0, 114, 1, kRaw};
  std::vector<float> t(3 * 7 * 5);
  frame_to_tensor(st, *im.frame, 7, 5, t.data());
  EXPECT_EQ(0, std::memcmp(t.data(), t.data() + 35, 35 * 4));
  EXPECT_EQ(0, std::memcmp(t.data(), t.data() + 70, 35 * 4));
}

TEST(FrameToTensor, ZeroStdDividesByOne) {
  Case c{5, 5, 5, 5, VORN_PIXEL_RGB, 0, false, 0};
  Image im(c, 2);
  FrameTensorSettings st{0, 114, 0, Normalization{1.0f, {1, 2, 3}, {0, 0, 0}}};
  std::vector<float> t(75);
  frame_to_tensor(st, *im.frame, 5, 5, t.data());
  // Same size stretch samples each pixel exactly.
  EXPECT_EQ(t[0], float(im.bytes[0]) - 1.0f);
  EXPECT_EQ(t[25], float(im.bytes[1]) - 2.0f);
}

TEST(FrameToTensor, ZeroSideWritesNothingButSetsFigures) {
  Case c{8, 4, 1, 1, VORN_PIXEL_RGB, 0, false, 0};
  Image im(c, 4);
  FrameTensorSettings st{0, 114, 0, kRaw};
  float sentinel = 42.0f;
  FrameMapping m = frame_to_tensor(st, *im.frame, 0, 4, &sentinel);
  EXPECT_EQ(sentinel, 42.0f);
  EXPECT_EQ(m.scale_x, 0.0f);
  EXPECT_EQ(m.scale_y, 1.0f);
}

TEST(FrameToTensor, SingleSampleMatchesReference) {
  Case c{9, 7, 1, 1, VORN_PIXEL_BGRA, 0, false, 2};
  Image im(c, 8);
  for (float x : {-3.0f, 0.0f, 0.25f, 3.5f, 7.999f, 8.0f, 20.0f})
    for (float y : {-1.0f, 0.5f, 2.75f, 6.0f, 9.0f}) {
      float v[3];
      bilinear_sample(*im.frame, true, x, y, v);
      for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(v[ch], reference::ref_bilinear(im.ref(), x, y, 2 - ch));
    }
}

}  // namespace
}  // namespace vorn
