// The demo's model-independent steps against values worked out by hand from
// their definitions: region boxes on painted probability maps, the crop
// resampling on images whose resized values are known, and greedy CTC
// decoding on hand-made step tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tools/ocr_pipeline.h"

namespace {

struct Map {
  uint32_t width, height;
  std::vector<float> p;
  Map(uint32_t w, uint32_t h) : width(w), height(h), p(size_t(w) * h, 0.0f) {}
  void paint(uint32_t x, uint32_t y, uint32_t w, uint32_t h, float v) {
    for (uint32_t r = y; r < y + h; ++r)
      for (uint32_t c = x; c < x + w; ++c) p[size_t(r) * width + c] = v;
  }
};

// The growth of a w x h region: area x 1.5 / perimeter on every side.
float grow(float w, float h) { return w * h * 1.5f / (2.0f * (w + h)); }

std::vector<OcrBox> find(const Map& m, OcrFindSettings s = ocr_find_defaults()) {
  std::vector<OcrBox> boxes(16);
  int32_t n = ocr_find_boxes(m.p.data(), m.width, m.height, &s, boxes.data(), 16);
  EXPECT_GE(n, 0);
  boxes.resize(n < 0 ? 0 : size_t(n));
  return boxes;
}

TEST(OcrFindBoxes, RegionsAreGrownKeptOrDroppedByScoreAndSize) {
  Map m(100, 60);
  m.paint(10, 10, 40, 6, 0.9f);  // a line
  m.paint(60, 40, 20, 4, 0.8f);  // a second line
  m.paint(70, 20, 10, 10, 0.4f);  // above the threshold, below the box score
  m.paint(5, 50, 2, 2, 0.95f);   // thinner than three pixels
  std::vector<OcrBox> b = find(m);
  ASSERT_EQ(b.size(), 2u);
  const float d0 = grow(40, 6), d1 = grow(20, 4);
  EXPECT_FLOAT_EQ(b[0].x0, 10 - d0);
  EXPECT_FLOAT_EQ(b[0].y0, 10 - d0);
  EXPECT_FLOAT_EQ(b[0].x1, 50 + d0);
  EXPECT_FLOAT_EQ(b[0].y1, 16 + d0);
  EXPECT_NEAR(b[0].score, 0.9f, 1e-6);
  EXPECT_FLOAT_EQ(b[1].x0, 60 - d1);
  EXPECT_FLOAT_EQ(b[1].y1, 44 + d1);
  EXPECT_NEAR(b[1].score, 0.8f, 1e-6);
}

TEST(OcrFindBoxes, DiagonalNeighboursJoinAndBoxesStayInsideTheMap) {
  Map m(20, 10);
  // Two blocks touching only at a corner form one region.
  m.paint(0, 0, 5, 5, 0.9f);
  m.paint(5, 5, 5, 5, 0.7f);
  std::vector<OcrBox> b = find(m);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_FLOAT_EQ(b[0].x0, 0.0f);
  EXPECT_FLOAT_EQ(b[0].y0, 0.0f);
  EXPECT_FLOAT_EQ(b[0].x1, 10 + grow(10, 10));
  EXPECT_FLOAT_EQ(b[0].y1, 10.0f);
  EXPECT_NEAR(b[0].score, 0.8f, 1e-6);
}

TEST(OcrFindBoxes, CountsRegionsBeyondCapacityAndRefusesOversizedMaps) {
  Map m(40, 8);
  for (uint32_t i = 0; i < 5; ++i) m.paint(i * 8, 2, 4, 4, 0.9f);
  OcrFindSettings s = ocr_find_defaults();
  OcrBox boxes[2];
  EXPECT_EQ(ocr_find_boxes(m.p.data(), 40, 8, &s, boxes, 2), 5);
  EXPECT_LT(boxes[0].x0, boxes[1].x0);
  // Sizes whose product does not fit are refused before anything is read.
  float one = 0.0f;
  EXPECT_EQ(ocr_find_boxes(&one, 0x10000, 0x10000, &s, boxes, 2), -1);
  EXPECT_EQ(ocr_find_boxes(m.p.data(), 0, 8, &s, boxes, 2), 0);
}

TEST(OcrBoxes, MapBackToTheImageAndSortInReadingOrder) {
  OcrBox b[1] = {{10, 21, 50, 41, 1}};
  ocr_boxes_to_image(b, 1, 2.0f, 2.0f, 0.0f, 1.0f, 100, 15);
  EXPECT_FLOAT_EQ(b[0].x0, 5.0f);
  EXPECT_FLOAT_EQ(b[0].y0, 10.0f);
  EXPECT_FLOAT_EQ(b[0].x1, 25.0f);
  EXPECT_FLOAT_EQ(b[0].y1, 15.0f);  // clamped to the image

  // Two lines; the second line's right word sits slightly higher than its
  // left word, the first line's words are given right to left.
  OcrBox page[4] = {{50, 31, 90, 41, 1}, {60, 2, 90, 12, 1}, {5, 33, 45, 43, 1}, {5, 3, 55, 13, 1}};
  ocr_sort_reading_order(page, 4);
  const float want_x[4] = {5, 60, 5, 50};
  const float want_y[4] = {3, 2, 33, 31};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(page[i].x0, want_x[i]) << i;
    EXPECT_EQ(page[i].y0, want_y[i]) << i;
  }
}

float norm(float v) { return (v / 255.0f - 0.5f) / 0.5f; }

TEST(OcrCrop, KeepsTheAspectRatioAndPadsWithZero) {
  // 6 x 3 grey pixels to height 48: 96 columns used out of 128.
  std::vector<uint8_t> px(18, 200);
  std::vector<float> t(3 * 48 * 128, 7.0f);
  EXPECT_EQ(ocr_crop_to_tensor(px.data(), 6, 3, 6, 1, 48, 128, t.data()), 96u);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < 48; ++y) {
      EXPECT_FLOAT_EQ(t[(c * 48 + y) * 128 + 0], norm(200)) << c << " " << y;
      EXPECT_FLOAT_EQ(t[(c * 48 + y) * 128 + 95], norm(200));
      EXPECT_EQ(t[(c * 48 + y) * 128 + 96], 0.0f);
      EXPECT_EQ(t[(c * 48 + y) * 128 + 127], 0.0f);
    }
  // A crop wider than the tensor allows is squeezed into all of it.
  std::vector<uint8_t> wide(100 * 2, 10);
  std::vector<float> t2(3 * 4 * 16);
  EXPECT_EQ(ocr_crop_to_tensor(wide.data(), 100, 2, 100, 1, 4, 16, t2.data()), 16u);
  EXPECT_EQ(ocr_crop_to_tensor(wide.data(), 0, 2, 100, 1, 4, 16, t2.data()), 0u);
}

TEST(OcrCrop, ResamplesWithPixelCentresAlignedInBlueGreenRedOrder) {
  // 4 x 2 RGB pixels (row stride with 2 spare bytes) halved to 2 x 1: each
  // output pixel is the mean of a 2 x 2 block, exactly between the centres.
  const uint32_t stride = 4 * 3 + 2;
  std::vector<uint8_t> px(stride * 2, 0);
  auto set = [&](uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = &px[y * stride + x * 3];
    p[0] = r, p[1] = g, p[2] = b;
  };
  set(0, 0, 0, 100, 8), set(1, 0, 40, 100, 8), set(0, 1, 80, 100, 8), set(1, 1, 120, 100, 8);
  set(2, 0, 200, 0, 250), set(3, 0, 200, 20, 250), set(2, 1, 200, 40, 250), set(3, 1, 200, 60, 250);
  std::vector<float> t(3 * 1 * 2);
  ASSERT_EQ(ocr_crop_to_tensor(px.data(), 4, 2, stride, 3, 1, 2, t.data()), 2u);
  // Planes B, G, R.
  EXPECT_FLOAT_EQ(t[0], norm(8));
  EXPECT_FLOAT_EQ(t[1], norm(250));
  EXPECT_FLOAT_EQ(t[2], norm(100));
  EXPECT_FLOAT_EQ(t[3], norm(30));
  EXPECT_FLOAT_EQ(t[4], norm(60));
  EXPECT_FLOAT_EQ(t[5], norm(200));
}

struct Keys {
  OcrKeys k{};
  explicit Keys(const std::string& text) { EXPECT_EQ(ocr_keys_parse(text.data(), text.size(), &k), 0); }
  ~Keys() { ocr_keys_free(&k); }
  std::string at(uint32_t i) const { return k.text + k.start[i]; }
};

TEST(OcrKeys, OneKeyPerLineWhateverTheLineEnds) {
  Keys a("a\nb\r\n\xc3\xa9");
  ASSERT_EQ(a.k.count, 3u);
  EXPECT_EQ(a.at(0), "a");
  EXPECT_EQ(a.at(1), "b");
  EXPECT_EQ(a.at(2), "\xc3\xa9");
  EXPECT_EQ(ocr_keys_classes(&a.k), 5u);
  Keys b("x\n\ny\n");  // an empty line is a key; the last end adds none
  ASSERT_EQ(b.k.count, 3u);
  EXPECT_EQ(b.at(1), "");
  EXPECT_EQ(b.at(2), "y");
  Keys c("");
  EXPECT_EQ(c.k.count, 0u);
}

// A step table from the best class of each step (probability p, the rest
// spread evenly).
std::vector<float> steps(const std::vector<uint32_t>& best, uint32_t classes, float p) {
  std::vector<float> t(best.size() * classes, (1.0f - p) / float(classes - 1));
  for (size_t i = 0; i < best.size(); ++i) t[i * classes + best[i]] = p;
  return t;
}

TEST(OcrCtc, CollapsesRepeatsDropsBlanksAndAppendsTheSpace) {
  Keys keys("a\nb\nc");
  // classes: 0 blank, 1 a, 2 b, 3 c, 4 space
  std::vector<float> t = steps({0, 1, 1, 0, 1, 2, 4, 2, 2, 0}, 5, 0.9f);
  t[5 * 5 + 2] = 0.6f;  // the second a-run's b scores lower
  t[5 * 5 + 0] = 0.1f;
  char text[32];
  const float conf = ocr_ctc_decode(t.data(), 10, 5, &keys.k, text, sizeof text);
  EXPECT_STREQ(text, "aab b");
  EXPECT_NEAR(conf, (0.9f * 4 + 0.6f) / 5, 1e-6);

  char none[4];
  EXPECT_EQ(ocr_ctc_decode(t.data(), 1, 5, &keys.k, none, sizeof none), 0.0f);  // one blank
  EXPECT_STREQ(none, "");
}

TEST(OcrCtc, CutsAtAWholeKeyAndSkipsClassesBeyondTheKeys) {
  Keys keys("\xc3\xa9\nz");
  std::vector<float> t = steps({1, 0, 1, 0, 1}, 4, 0.9f);
  char text[4];  // room for one two-byte key and the NUL
  ocr_ctc_decode(t.data(), 5, 4, &keys.k, text, sizeof text);
  EXPECT_STREQ(text, "\xc3\xa9");
  // A model with more classes than keys: the unknown class spells nothing.
  std::vector<float> u = steps({2, 6, 2}, 7, 0.9f);
  char out[8];
  ocr_ctc_decode(u.data(), 3, 7, &keys.k, out, sizeof out);
  EXPECT_STREQ(out, "zz");
}

}  // namespace
