// DecodedImage allocation limits, orientation against a loop written from
// the EXIF definition, and construction from caller pixels.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "image/decode.h"

namespace vorn {
namespace {

constexpr const char* kBounds = "Image dimensions exceed supported bounds";
constexpr const char* kInvalid = "Invalid image pixels, stride, length or orientation";

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Where source pixel (x, y) of a w x h image lands for each orientation: the
// EXIF meaning of the tag (2 mirror, 3 rotate 180, 4 flip, 5 transpose,
// 6 rotate 90 clockwise, 7 transverse, 8 rotate 90 anticlockwise).
void reference_destination(uint32_t o, uint32_t x, uint32_t y, uint32_t w, uint32_t h,
                           uint32_t* col, uint32_t* row) {
  switch (o) {
    case 1: *col = x, *row = y; break;
    case 2: *col = w - 1 - x, *row = y; break;
    case 3: *col = w - 1 - x, *row = h - 1 - y; break;
    case 4: *col = x, *row = h - 1 - y; break;
    case 5: *col = y, *row = x; break;
    case 6: *col = h - 1 - y, *row = x; break;
    case 7: *col = h - 1 - y, *row = w - 1 - x; break;
    default: *col = y, *row = w - 1 - x; break;
  }
}

void check_orientation(uint32_t w, uint32_t h) {
  const std::vector<uint8_t> src = random_bytes(size_t{w} * h * 3, w * 31 + h);
  for (uint32_t o = 1; o <= 8; ++o) {
    DecodedImage image{};
    char error[kImageErrorSize];
    ASSERT_TRUE(decoded_image_alloc(&image, w, h, error));
    std::memcpy(image.pixels, src.data(), src.size());
    ASSERT_TRUE(decoded_image_orient(&image, o, error)) << error;
    const uint32_t dw = o >= 5 ? h : w;
    ASSERT_EQ(image.width, dw);
    ASSERT_EQ(image.height, o >= 5 ? w : h);
    ASSERT_EQ(image.orientation, o);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) {
        uint32_t c, r;
        reference_destination(o, x, y, w, h, &c, &r);
        const uint8_t* s = &src[(size_t{y} * w + x) * 3];
        const uint8_t* d = &image.pixels[(size_t{r} * dw + c) * 3];
        ASSERT_TRUE(s[0] == d[0] && s[1] == d[1] && s[2] == d[2])
            << "orientation " << o << " source " << x << "," << y;
      }
    }
    decoded_image_free(&image);
  }
}

TEST(DecodedImage, OrientationMatchesDefinition) {
  check_orientation(1, 1);
  check_orientation(5, 3);
  check_orientation(33, 70);
  // Large enough to take the parallel path, with sides off the tile size.
  check_orientation(1031, 1019);
}

TEST(DecodedImage, AllocLimits) {
  DecodedImage image{};
  char error[kImageErrorSize];
  EXPECT_FALSE(decoded_image_alloc(&image, 32768, 3052, error));  // 100,007,936 pixels
  EXPECT_STREQ(error, kBounds);
  EXPECT_FALSE(decoded_image_alloc(&image, 0, 1, error));
  EXPECT_FALSE(decoded_image_alloc(&image, 32769, 1, error));
  EXPECT_EQ(image.pixels, nullptr);
  ASSERT_TRUE(decoded_image_alloc(&image, 10000, 10000, error));
  EXPECT_EQ(image.orientation, 1u);
  EXPECT_NE(image.pixels, nullptr);
  decoded_image_free(&image);
  ASSERT_TRUE(decoded_image_alloc(&image, 32768, 1, error));
  // Turning a 32768 x 1 image sideways keeps it within bounds.
  ASSERT_TRUE(decoded_image_orient(&image, 6, error));
  EXPECT_EQ(image.width, 1u);
  EXPECT_EQ(image.height, 32768u);
  decoded_image_free(&image);
  decoded_image_free(nullptr);
  EXPECT_TRUE(image_dims_valid(10000, 10000));
  EXPECT_FALSE(image_dims_valid(10001, 10000));
  EXPECT_FALSE(image_dims_valid(1, 0));
}

TEST(DecodedImage, FromPixelsLayouts) {
  DecodedImage image{};
  char error[kImageErrorSize];
  const uint8_t bgrx[16] = {1, 2, 3, 9, 4, 5, 6, 9, 7, 8, 9, 9, 10, 11, 12, 9};
  ASSERT_TRUE(decoded_image_from_pixels(bgrx, 16, 4, 1, 16, kPixelLayoutBgrx, 1, &image, error));
  const uint8_t want_bgrx[12] = {3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10};
  EXPECT_EQ(0, std::memcmp(image.pixels, want_bgrx, 12));
  decoded_image_free(&image);
  ASSERT_TRUE(decoded_image_from_pixels(bgrx, 16, 4, 1, 16, kPixelLayoutRgbx, 1, &image, error));
  const uint8_t want_rgbx[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(0, std::memcmp(image.pixels, want_rgbx, 12));
  decoded_image_free(&image);

  // RGB rows with padding, the last row without it, then rotated.
  const uint8_t rgb[] = {1, 2, 3, 4, 5, 6, 0xEE, 7, 8, 9, 10, 11, 12};
  ASSERT_TRUE(decoded_image_from_pixels(rgb, sizeof rgb, 2, 2, 7, kPixelLayoutRgb, 6, &image,
                                        error));
  EXPECT_EQ(image.orientation, 6u);
  // Rotating [[a b] [c d]] clockwise gives [[c a] [d b]].
  const uint8_t want_rot[12] = {7, 8, 9, 1, 2, 3, 10, 11, 12, 4, 5, 6};
  EXPECT_EQ(0, std::memcmp(image.pixels, want_rot, 12));
  decoded_image_free(&image);
}

TEST(DecodedImage, FromPixelsRefusals) {
  const std::vector<uint8_t> buf(64 * 1024);
  const uint8_t* p = buf.data();
  struct Case {
    const uint8_t* pixels;
    uint64_t length;
    uint32_t w, h;
    uint64_t stride;
    uint32_t layout, orientation;
    const char* message;
  };
  const Case cases[] = {
      {p, 64, 0, 1, 3, 1, 1, kInvalid},
      {p, 64, 1, 0, 3, 1, 1, kInvalid},
      {p, UINT64_MAX, 32769, 1, 32769 * 3, 1, 1, kInvalid},
      {nullptr, 64, 1, 1, 3, 1, 1, kInvalid},
      {p, 64, 1, 1, 4, 0, 1, kInvalid},
      {p, 64, 1, 1, 4, 4, 1, kInvalid},
      {p, 64, 1, 1, 3, 1, 0, kInvalid},
      {p, 64, 1, 1, 3, 1, 9, kInvalid},
      {p, 64, 2, 1, 5, 1, 1, kInvalid},  // stride below 3 * width
      {p, 64, 2, 1, 7, 2, 1, kInvalid},  // stride below 4 * width
      // 3 * 4 + 12 * (3 - 1) = 36 bytes needed; one short.
      {p, 35, 4, 3, 12, 1, 1, kInvalid},
      // stride * (h - 1) wraps: it must not pass as a small length.
      {p, 64, 1, 3, UINT64_MAX / 2 + 1, 1, 1, kInvalid},
      // stride * (h - 1) + row bytes wraps.
      {p, 64, 1, 2, UINT64_MAX - 1, 1, 1, kInvalid},
      {p, UINT64_MAX, 32768, 3052, 32768 * 3, 1, 1, kBounds},
  };
  for (const Case& c : cases) {
    DecodedImage image{1, 1, 1, 0, nullptr};
    char error[kImageErrorSize];
    EXPECT_FALSE(decoded_image_from_pixels(c.pixels, c.length, c.w, c.h, c.stride, c.layout,
                                           c.orientation, &image, error))
        << c.w << "x" << c.h << " stride " << c.stride;
    EXPECT_STREQ(error, c.message) << c.w << "x" << c.h << " stride " << c.stride;
    EXPECT_EQ(image.width, 0u);
    EXPECT_EQ(image.pixels, nullptr);
  }
  DecodedImage image{};
  char error[kImageErrorSize];
  EXPECT_TRUE(decoded_image_from_pixels(p, 36, 4, 3, 12, 1, 1, &image, error));
  decoded_image_free(&image);
  EXPECT_FALSE(decoded_image_from_pixels(p, 36, 4, 3, 12, 1, 1, nullptr, error));
  EXPECT_STREQ(error, "Missing image output");
}

}  // namespace
}  // namespace vorn
