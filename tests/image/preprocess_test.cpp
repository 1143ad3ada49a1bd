// Standalone pre-processing: resampling against properties that follow from
// the definition (identity, exact 2:1 averages, constant images), the known
// letterbox geometry, the normalisation formulas, and pixel and float views.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/decode.h"
#include "image/float_view.h"
#include "image/preprocess.h"
#include "image_test_util.h"

namespace vorn {
namespace {

std::vector<uint8_t> random_rgb(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(size_t{w} * h * 3);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Writes a binary PPM into the test's temp folder and returns its path.
std::string write_ppm(const std::string& name, uint32_t w, uint32_t h, const std::vector<uint8_t>& rgb) {
  const std::string path = ::testing::TempDir() + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fprintf(f, "P6\n%u %u\n255\n", w, h);
  std::fwrite(rgb.data(), 1, rgb.size(), f);
  std::fclose(f);
  return path;
}

PixelView view_of(const std::vector<uint8_t>& rgb, uint32_t w, uint32_t h) {
  return PixelView{rgb.data(), rgb.size(), w, h, uint64_t{w} * 3, kPixelRgb};
}

Normalization preset(const char* name) {
  Normalization n{};
  EXPECT_TRUE(normalization_preset(name, &n)) << name;
  return n;
}

// Each preset at the darkest and the brightest byte: (v * scale - mean) / std.
TEST(Preprocess, Presets) {
  const struct {
    const char* name;
    float black[3], white[3];
  } cases[] = {
      {"scale255", {0, 0, 0}, {1, 1, 1}},
      {"raw255", {0, 0, 0}, {255, 255, 255}},
      {"neg_one_to_one", {-1, -1, -1}, {1, 1, 1}},
      {"imagenet", {-2.1179f, -2.03571f, -1.80444f}, {2.24891f, 2.42857f, 2.64f}},
      {"clip", {-1.79226f, -1.7521f, -1.48022f}, {1.93034f, 2.07488f, 2.1459f}},
  };
  for (const auto& c : cases) {
    const Normalization n = preset(c.name);
    for (int k = 0; k < 3; ++k) {
      EXPECT_NEAR(-n.mean[k] / n.std[k], c.black[k], 1e-5) << c.name << " " << k;
      EXPECT_NEAR((255 * n.scale - n.mean[k]) / n.std[k], c.white[k], 1e-5) << c.name << " " << k;
    }
  }
  Normalization n;
  EXPECT_FALSE(normalization_preset("bogus", &n));
}

TEST(Preprocess, ResizeIdentityKeepsPixels) {
  const uint32_t w = 37, h = 23;
  const auto rgb = random_rgb(w, h, 1);
  const PixelView v = view_of(rgb, w, h);
  const Normalization n = preset("imagenet");
  ImageTensorResult r = image_resize_chw(&v, w, h, n);
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_EQ(r.value.count, uint64_t{w} * h * 3);
  for (uint32_t c = 0; c < 3; ++c) {
    for (uint32_t i = 0; i < w * h; ++i) {
      const float want = std::fma(static_cast<float>(rgb[i * 3 + c]), n.scale, -n.mean[c]) / n.std[c];
      ASSERT_EQ(r.value.data[c * w * h + i], want) << c << " " << i;
    }
  }
  std::free(r.value.data);
}

TEST(Preprocess, HalvingAveragesTwoByTwoBlocks) {
  // 2:1 puts every sample half way between two pixels on both axes: the
  // result is the rounded mean of the 2 x 2 block.
  const uint32_t w = 64, h = 40;
  const auto rgb = random_rgb(w, h, 2);
  const PixelView v = view_of(rgb, w, h);
  ImageTensorResult r = image_resize_chw(&v, w / 2, h / 2, preset("raw255"));
  ASSERT_TRUE(r.ok());
  const uint32_t ow = w / 2, oh = h / 2;
  for (uint32_t c = 0; c < 3; ++c) {
    for (uint32_t y = 0; y < oh; ++y) {
      for (uint32_t x = 0; x < ow; ++x) {
        auto p = [&](uint32_t xx, uint32_t yy) { return rgb[(size_t{yy} * w + xx) * 3 + c]; };
        const int sum = p(2 * x, 2 * y) + p(2 * x + 1, 2 * y) + p(2 * x, 2 * y + 1) + p(2 * x + 1, 2 * y + 1);
        ASSERT_EQ(r.value.data[(c * oh + y) * ow + x], static_cast<float>((sum + 2) / 4))
            << c << " " << x << "," << y;
      }
    }
  }
  std::free(r.value.data);
}

// One output value written straight from the definition: source position
// in f64, lower neighbour weight (i0 - s + 1) * 2048 rounded half away from
// zero (2048 outside the inner range), two 4-bit-dropping horizontal passes
// and one rounding vertical pass.
int reference_sample(const std::vector<uint8_t>& rgb, uint32_t w, uint32_t h, uint32_t ow,
                     uint32_t oh, uint32_t q, uint32_t r, int c) {
  auto taps = [](uint32_t i, uint32_t n, uint32_t out, uint32_t* a, uint32_t* b, int* wa) {
    const double s = (i + 0.5) * (static_cast<double>(n) / out) - 0.5;
    const double f = std::min(std::max(std::floor(s), 0.0), static_cast<double>(n - 1));
    *a = static_cast<uint32_t>(f);
    *b = std::min(*a + 1, n - 1);
    const double weight = (f - s + 1.0) * 2048.0;
    *wa = (s < 0 || s >= n - 1) ? 2048 : static_cast<int>(std::floor(weight + 0.5));
  };
  uint32_t x0, x1, y0, y1;
  int wx0, wy0;
  taps(q, w, ow, &x0, &x1, &wx0);
  taps(r, h, oh, &y0, &y1, &wy0);
  auto p = [&](uint32_t x, uint32_t y) { return int{rgb[(size_t{y} * w + x) * 3 + c]}; };
  const int top = (wx0 * p(x0, y0) + (2048 - wx0) * p(x1, y0)) >> 4;
  const int bottom = (wx0 * p(x0, y1) + (2048 - wx0) * p(x1, y1)) >> 4;
  return std::clamp((bottom * (2048 - wy0) + top * wy0 + 131072) >> 18, 0, 255);
}

TEST(Preprocess, ResizeMatchesDefinitionAtOddRatios) {
  const uint32_t w = 37, h = 23;
  const auto rgb = random_rgb(w, h, 9);
  const PixelView v = view_of(rgb, w, h);
  for (auto [ow, oh] : {std::pair<uint32_t, uint32_t>{50, 17}, {11, 30}, {1, 1}, {37, 5},
                        {300, 257}}) {
    ImageTensorResult t = image_resize_chw(&v, ow, oh, preset("raw255"));
    ASSERT_TRUE(t.ok());
    for (int c = 0; c < 3; ++c) {
      for (uint32_t r = 0; r < oh; ++r) {
        for (uint32_t q = 0; q < ow; ++q) {
          ASSERT_EQ(t.value.data[(c * oh + r) * uint64_t{ow} + q],
                    static_cast<float>(reference_sample(rgb, w, h, ow, oh, q, r, c)))
              << ow << "x" << oh << " at " << q << "," << r << " channel " << c;
        }
      }
    }
    std::free(t.value.data);
  }
}

TEST(Preprocess, ResizeFormatsAndConstantImages) {
  // A constant BGRA image resampled to any size stays that colour.
  const uint32_t w = 13, h = 7;
  std::vector<uint8_t> bgra(size_t{w} * h * 4);
  for (size_t i = 0; i < bgra.size(); i += 4) {
    bgra[i] = 30, bgra[i + 1] = 120, bgra[i + 2] = 250, bgra[i + 3] = 7;
  }
  const PixelView v{bgra.data(), bgra.size(), w, h, uint64_t{w} * 4, kPixelBgra};
  for (auto [ow, oh] : {std::pair<uint32_t, uint32_t>{1, 1}, {5, 3}, {40, 29}, {300, 2}}) {
    ImageTensorResult r = image_resize_chw(&v, ow, oh, preset("raw255"));
    ASSERT_TRUE(r.ok());
    const uint64_t plane = uint64_t{ow} * oh;
    for (uint64_t i = 0; i < plane; ++i) {
      ASSERT_EQ(r.value.data[i], 250.0f);
      ASSERT_EQ(r.value.data[plane + i], 120.0f);
      ASSERT_EQ(r.value.data[2 * plane + i], 30.0f);
    }
    std::free(r.value.data);
  }
}

TEST(Preprocess, ResizeRefusals) {
  const auto rgb = random_rgb(4, 4, 3);
  PixelView v = view_of(rgb, 4, 4);
  Normalization n = preset("scale255");
  const char* kText = "invalid pixels, output dimensions or normalization";
  EXPECT_STREQ(image_resize_chw(&v, 0, 4, n).error, kText);
  EXPECT_STREQ(image_resize_chw(&v, 10001, 10000, n).error, kText);
  Normalization bad = n;
  bad.std[1] = 0;
  EXPECT_STREQ(image_resize_chw(&v, 4, 4, bad).error, kText);
  bad = n;
  bad.mean[2] = NAN;
  EXPECT_STREQ(image_resize_chw(&v, 4, 4, bad).error, kText);
  v.length -= 1;
  EXPECT_STREQ(image_resize_chw(&v, 4, 4, n).error, kText);
}

TEST(Preprocess, FileVariantsAndNormalisations) {
  const uint32_t w = 9, h = 6;
  const auto rgb = random_rgb(w, h, 4);
  const std::string path = write_ppm("vorn_pre_file.ppm", w, h, rgb);
  const uint64_t plane = uint64_t{w} * h;
  ImageTensorResult base = image_file_chw(path.data(), path.size(), w, h);
  ASSERT_TRUE(base.ok()) << base.error;
  EXPECT_EQ(base.value.source_width, w);
  EXPECT_EQ(base.value.source_height, h);
  for (uint64_t i = 0; i < plane * 3; ++i) {
    const uint64_t c = i / plane, p = i % plane;
    ASSERT_EQ(base.value.data[i], rgb[p * 3 + c] * (1.0f / 255.0f));
  }
  struct Variant {
    ImageTensorResult (*fn)(const char*, uint64_t, uint32_t, uint32_t);
    float mean[3];
    float mul[3];
    float add;
  };
  // Each variant is an affine map of the 0..1 tensor: (v - mean) * mul + add.
  const Variant variants[] = {
      {image_file_chw_signed, {0.5f, 0.5f, 0.5f}, {2, 2, 2}, 0},
      {image_file_chw_255, {0, 0, 0}, {255, 255, 255}, 0},
      {image_file_chw_imagenet, {0.485f, 0.456f, 0.406f}, {1 / 0.229f, 1 / 0.224f, 1 / 0.225f}, 0},
      {image_file_chw_clip, {0.48145467f, 0.4578275f, 0.40821072f},
       {1 / 0.26862955f, 1 / 0.26130259f, 1 / 0.2757771f}, 0},
  };
  for (const Variant& var : variants) {
    ImageTensorResult r = var.fn(path.data(), path.size(), w, h);
    ASSERT_TRUE(r.ok());
    for (uint64_t i = 0; i < plane * 3; ++i) {
      const uint64_t c = i / plane;
      const double want = (double{base.value.data[i]} - var.mean[c]) * var.mul[c] + var.add;
      ASSERT_NEAR(r.value.data[i], want, 2e-6 * (1 + std::fabs(want)));
    }
    std::free(r.value.data);
  }
  std::free(base.value.data);
  const std::string with_nul("a\0b", 3);
  EXPECT_STREQ(image_file_chw(with_nul.data(), 3, 4, 4).error, "image path contains NUL");
  const std::string missing = ::testing::TempDir() + "vorn-no-such.png";
  EXPECT_STREQ(image_file_chw_clip(missing.data(), missing.size(), 4, 4).error,
               "failed to decode image");
  std::remove(path.c_str());
}

TEST(Preprocess, FileAppliesExifOrientation) {
  // Orientation 6 stored as LONG: the loader reports it and it is applied.
  const std::string path = testing::image_path("jpeg_exif_6_long.jpg");
  ImageTensorResult r = image_file_chw(path.data(), path.size(), 4, 4);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.source_width, 5u);
  EXPECT_EQ(r.value.source_height, 12u);
  std::free(r.value.data);
}

TEST(Preprocess, LabLightness) {
  for (uint8_t v : {uint8_t{255}, uint8_t{0}, uint8_t{128}}) {
    const std::vector<uint8_t> rgb(size_t{6} * 4 * 3, v);
    const std::string path = write_ppm("vorn_lab.ppm", 6, 4, rgb);
    ImageTensorResult r = image_file_lab_lightness(path.data(), path.size(), 3, 2);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value.count, 6u);
    // L* of sRGB grey: 100 for white, 0 for black, 53.585 for 128.
    const double want = v == 255 ? 100.0 : (v == 0 ? 0.0 : 53.585);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(r.value.data[i], want, 2e-3) << int{v};
    std::free(r.value.data);
    std::remove(path.c_str());
  }
}

TEST(Preprocess, LetterboxGeometry) {
  const std::vector<uint8_t> rgb(size_t{200} * 100 * 3, 200);
  const std::string path = write_ppm("vorn_letterbox.ppm", 200, 100, rgb);
  LetterboxResult r = image_letterbox_chw(path.data(), path.size(), 640, true, 114, 0);
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_FLOAT_EQ(r.value.scale, 3.2f);
  EXPECT_EQ(r.value.pad_x, 0);
  EXPECT_EQ(r.value.pad_y, 160);
  EXPECT_EQ(r.value.tensor.source_width, 200u);
  EXPECT_EQ(r.value.tensor.source_height, 100u);
  const float* t = r.value.tensor.data;
  const uint64_t plane = 640 * 640;
  for (int c = 0; c < 3; ++c) {
    for (uint32_t y = 0; y < 640; y += 7) {
      const float want = (y >= 160 && y < 480) ? 200 * 0.003921569f : 114 / 255.0f;
      for (uint32_t x = 0; x < 640; x += 13) ASSERT_EQ(t[c * plane + y * 640 + x], want) << y;
    }
  }
  std::free(r.value.tensor.data);
  // Not centred, signed values.
  r = image_letterbox_chw(path.data(), path.size(), 100, false, 0, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.pad_y, 0);
  EXPECT_EQ(r.value.tensor.data[0], (200 - 127.5f) * 0.0078125f);
  EXPECT_EQ(r.value.tensor.data[99 * 100], (0 - 127.5f) * 0.0078125f);  // row 50.. is padding
  std::free(r.value.tensor.data);
  std::remove(path.c_str());
}

TEST(Preprocess, CropResize) {
  // A 40 x 20 image, left half red-ish, right half blue-ish.
  const uint32_t w = 40, h = 20;
  std::vector<uint8_t> rgb(size_t{w} * h * 3);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(size_t{y} * w + x) * 3];
      p[0] = x < 20 ? 255 : 0, p[1] = 10, p[2] = x < 20 ? 0 : 255;
    }
  }
  // Crop the right half (20 x 20) into 8 rows by 16 columns: width used 8.
  std::vector<float> dst(3 * 16 * 8);
  EXPECT_EQ(image_crop_resize_chw(rgb.data(), w, h, 20, 0, 20, 20, 8, 16, false, dst.data()), 8u);
  for (uint32_t y = 0; y < 8; ++y) {
    for (uint32_t x = 0; x < 16; ++x) {
      const float r = dst[y * 16 + x], b = dst[2 * 128 + y * 16 + x];
      if (x < 8) {
        EXPECT_EQ(r, -1.0f);
        EXPECT_EQ(b, 2.0f * std::fma(255.0f, 1.0f / 255, -0.5f));
      } else {
        EXPECT_EQ(r, -1.0f);
        EXPECT_EQ(b, -1.0f);
      }
    }
  }
  // ImageNet: padding is the normalised zero; a crop outside the image is
  // clamped to its last pixel.
  std::vector<float> one(3 * 4 * 2);
  EXPECT_EQ(image_crop_resize_chw(rgb.data(), w, h, 100, 100, 50, 50, 2, 4, true, one.data()), 2u);
  EXPECT_FLOAT_EQ(one[3], (0 - 0.485f) / 0.229f);
  EXPECT_FLOAT_EQ(one[2 * 8], std::fma(255.0f, 1.0f / 255, -0.406f) / 0.225f);
  EXPECT_EQ(image_crop_resize_chw(rgb.data(), w, h, 0, 0, 5, 5, 0, 4, true, one.data()), 0u);
  // Wider crops than the output use every column.
  std::vector<float> wide(3 * 4 * 2);
  EXPECT_EQ(image_crop_resize_chw(rgb.data(), w, h, 0, 0, 40, 2, 2, 4, false, wide.data()), 4u);
}

TEST(Preprocess, Sam1024) {
  const uint32_t w = 2000, h = 500;
  std::vector<uint8_t> rgb(size_t{w} * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 7);
  const std::string path = write_ppm("vorn_sam.ppm", w, h, rgb);
  ImageTensorResult r = image_sam_1024(path.data(), path.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.source_width, w);
  EXPECT_EQ(r.value.source_height, h);
  const uint64_t plane = 1024 * 1024;
  const float mean[3] = {123.675f, 116.28f, 103.53f};
  const float std_[3] = {58.395f, 57.12f, 57.375f};
  for (int c = 0; c < 3; ++c) {
    for (uint32_t y : {0u, 250u, 499u}) {
      for (uint32_t x : {0u, 511u, 1023u}) {
        const float v = rgb[(size_t{y} * w + x) * 3 + c];
        EXPECT_NEAR(r.value.data[c * plane + y * 1024 + x], (v - mean[c]) / std_[c], 1e-5);
      }
    }
    for (uint32_t y : {500u, 800u, 1023u}) EXPECT_EQ(r.value.data[c * plane + y * 1024 + 3], 0.0f);
  }
  std::free(r.value.data);
  std::remove(path.c_str());
}

TEST(PixelViews, ValidateEdgeCases) {
  const std::vector<uint8_t> buf(1 << 16);
  PixelView v{buf.data(), 1, 1, 1, 1, kPixelGray};
  EXPECT_TRUE(pixels_validate(&v));
  v = PixelView{buf.data(), UINT64_MAX, 32769, 1, 32769 * 3, kPixelRgb};
  EXPECT_FALSE(pixels_validate(&v));
  v = PixelView{buf.data(), UINT64_MAX, 10001, 10001, 10001 * 3, kPixelRgb};
  EXPECT_FALSE(pixels_validate(&v));
  // Length exactly stride * (height - 1) + row bytes, then one short.
  v = PixelView{buf.data(), 40 * 4 + 10 * 4, 10, 5, 40, kPixelRgba};
  EXPECT_TRUE(pixels_validate(&v));
  v.length -= 1;
  EXPECT_FALSE(pixels_validate(&v));
  // A stride that wraps the size computation.
  v = PixelView{buf.data(), 1000, 1, 3, UINT64_MAX / 2 + 1, kPixelGray};
  EXPECT_FALSE(pixels_validate(&v));
  v = PixelView{buf.data(), 1000, 4, 1, 4, kPixelGray};
  EXPECT_TRUE(pixels_validate(&v));
  v.stride = 11;  // one byte short of an RGB row
  v.format = kPixelRgb;
  EXPECT_FALSE(pixels_validate(&v));
  v.format = 0;
  EXPECT_FALSE(pixels_validate(&v));
  v.format = 6;
  EXPECT_FALSE(pixels_validate(&v));
  EXPECT_FALSE(pixels_validate(nullptr));
  EXPECT_EQ(pixel_format_bytes(4), 4u);
  EXPECT_EQ(pixel_format_bytes(9), 0u);
}

TEST(PixelViews, ToRgb8) {
  const uint8_t src[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  struct Case {
    uint32_t format;
    uint64_t stride;
    std::vector<uint8_t> want;
  };
  // Two pixels wide, two rows, rows 8 bytes apart.
  const Case cases[] = {
      {kPixelRgb, 8, {1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13, 14}},
      {kPixelBgr, 8, {3, 2, 1, 6, 5, 4, 11, 10, 9, 14, 13, 12}},
      {kPixelRgba, 8, {1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15}},
      {kPixelBgra, 8, {3, 2, 1, 7, 6, 5, 11, 10, 9, 15, 14, 13}},
      {kPixelGray, 8, {1, 1, 1, 2, 2, 2, 9, 9, 9, 10, 10, 10}},
  };
  for (const Case& c : cases) {
    const PixelView v{src, sizeof src, 2, 2, c.stride, c.format};
    Rgb8Result r = pixels_to_rgb8(&v);
    ASSERT_TRUE(r.ok()) << c.format;
    ASSERT_EQ(r.value.length, 12u);
    EXPECT_EQ(std::vector<uint8_t>(r.value.pixels, r.value.pixels + 12), c.want) << c.format;
    std::free(r.value.pixels);
  }
  const PixelView bad{src, 10, 2, 2, 8, kPixelRgba};
  EXPECT_STREQ(pixels_to_rgb8(&bad).error, "invalid pixel dimensions, format, stride or length");
}

TEST(FloatViews, ValidateAndCopy) {
  // A 3 x 2 image of 2 channels, interleaved, rows padded to 8 floats.
  std::vector<float> hwc(8 * 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      for (int c = 0; c < 2; ++c) hwc[y * 8 + x * 2 + c] = 100.0f * c + 10.0f * y + x;
    }
  }
  FloatView v{hwc.data(), (8 + 6) * 4, 3, 2, 2, kFloatLayoutHwc, 32, 0};
  ASSERT_TRUE(float_view_is_valid(v));
  EXPECT_STREQ(float_view_require_packed(v).error,
               "inference requires packed CHW storage; use copy_tensor for strided or HWC input");
  FloatBufferResult r = float_view_copy_chw(v);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value.count, 12u);
  const std::vector<float> want = {0, 1, 2, 10, 11, 12, 100, 101, 102, 110, 111, 112};
  EXPECT_EQ(std::vector<float>(r.value.data, r.value.data + 12), want);
  std::free(r.value.data);
  v.length -= 1;
  EXPECT_FALSE(float_view_is_valid(v));

  // Strided planar: planes 10 floats apart, rows 4 apart.
  std::vector<float> chw(20, -1);
  for (int c = 0; c < 2; ++c) {
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 3; ++x) chw[c * 10 + y * 4 + x] = 100.0f * c + 10.0f * y + x;
    }
  }
  v = FloatView{chw.data(), 80, 3, 2, 2, kFloatLayoutChw, 16, 40};
  r = float_view_copy_chw(v);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::vector<float>(r.value.data, r.value.data + 12), want);
  std::free(r.value.data);
  // The last element ends at byte 4 * (10 + 4 + 2 + 1) = 68.
  v.length = 68;
  EXPECT_TRUE(float_view_is_valid(v));
  v.length = 67;
  EXPECT_FALSE(float_view_is_valid(v));
  v = FloatView{chw.data(), 80, 3, 2, 2, kFloatLayoutChw, 0, 0};
  EXPECT_TRUE(float_view_require_packed(v).ok());

  struct Bad {
    FloatView view;
  };
  const float* misaligned = reinterpret_cast<const float*>(reinterpret_cast<const char*>(chw.data()) + 2);
  for (const FloatView& b : {
           FloatView{nullptr, 80, 3, 2, 2, 1, 0, 0},
           FloatView{misaligned, 78, 1, 1, 1, 1, 0, 0},
           FloatView{chw.data(), 80, 0, 2, 2, 1, 0, 0},
           FloatView{chw.data(), 80, 3, 2, 5, 1, 0, 0},
           FloatView{chw.data(), 80, 3, 2, 2, 3, 0, 0},
           FloatView{chw.data(), 80, 3, 2, 2, 1, 10, 0},   // stride below a row
           FloatView{chw.data(), 80, 3, 2, 2, 1, 14, 0},   // not a multiple of 4
           FloatView{chw.data(), 80, 3, 2, 2, 1, 12, 20},  // plane below rows * height
           FloatView{chw.data(), UINT64_MAX, 3, 2, 2, 1, UINT64_MAX - 3, 0},
           FloatView{chw.data(), UINT64_MAX, 3, 2, 2, 1, 12, UINT64_MAX - 3},
       }) {
    EXPECT_STREQ(float_view_validate(b).error,
                 "invalid float tensor dimensions, strides, length or alignment");
  }
}

}  // namespace
}  // namespace vorn
