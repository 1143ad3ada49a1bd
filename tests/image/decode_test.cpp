// Decoded pixels against Pillow's decode of the same committed fixtures:
// every PNG colour type and depth up to 8, tRNS, interlacing, baseline and
// progressive JPEG, PPM, and EXIF orientations 1..8.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "image/decode.h"
#include "image_test_util.h"

namespace vorn {
namespace {

using testing::ends_with;
using testing::Fixture;
using testing::image_path;
using testing::read_image;
using testing::read_manifest;

class FixtureTest : public ::testing::TestWithParam<Fixture> {};

std::string fixture_name(const ::testing::TestParamInfo<Fixture>& info) {
  std::string n = info.param.file;
  for (char& c : n) {
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return n;
}

TEST_P(FixtureTest, DecodesLikePillow) {
  const Fixture& fx = GetParam();
  const std::vector<uint8_t> expected = read_image(fx.expected);
  ASSERT_EQ(expected.size(), uint64_t{fx.width} * fx.height * 3);
  const std::vector<uint8_t> encoded = read_image(fx.file);
  ASSERT_FALSE(encoded.empty());

  if (!ends_with(fx.file, ".ppm")) {
    char error[kImageErrorSize] = "untouched";
    DecodedImage image{};
    ASSERT_TRUE(image_decode_file(image_path(fx.file).c_str(), &image, error)) << error;
    EXPECT_STREQ(error, "");
    EXPECT_EQ(image.width, fx.width);
    EXPECT_EQ(image.height, fx.height);
    EXPECT_EQ(image.orientation, fx.orientation);
    EXPECT_EQ(image.reserved, 0u);
    ASSERT_EQ(0, std::memcmp(image.pixels, expected.data(), expected.size()))
        << "pixels differ from Pillow's";
    decoded_image_free(&image);
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(image.width, 0u);

    ASSERT_TRUE(image_decode_bytes(encoded.data(), encoded.size(), &image, error)) << error;
    EXPECT_EQ(0, std::memcmp(image.pixels, expected.data(), expected.size()));
    decoded_image_free(&image);
  }

  // The frame loaders: same pixels; the orientation they hand back is what is
  // left to apply, 1 whenever the decoder applied one.
  uint32_t w = 0, h = 0, o = 99;
  uint8_t* px = nullptr;
  ASSERT_TRUE(image_load_file_rgb8(image_path(fx.file).c_str(), &w, &h, &o, &px));
  EXPECT_EQ(w, fx.width);
  EXPECT_EQ(h, fx.height);
  EXPECT_EQ(o, fx.file == "jpeg_exif_6_long.jpg" ? 6u : 1u);
  EXPECT_EQ(0, std::memcmp(px, expected.data(), expected.size()));
  std::free(px);
  px = nullptr;
  ASSERT_TRUE(image_load_bytes_rgb8(encoded.data(), encoded.size(), &w, &h, nullptr, &px));
  EXPECT_EQ(w, fx.width);
  EXPECT_EQ(0, std::memcmp(px, expected.data(), expected.size()));
  std::free(px);

  RgbImageResult r = image_bytes_rgb(encoded.data(), encoded.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value.width, fx.width);
  EXPECT_EQ(r.value.height, fx.height);
  EXPECT_EQ(0, std::memcmp(r.value.pixels, expected.data(), expected.size()));
  std::free(r.value.pixels);
  const std::string path = image_path(fx.file);
  r = image_file_rgb(path.data(), path.size());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(0, std::memcmp(r.value.pixels, expected.data(), expected.size()));
  std::free(r.value.pixels);
}

INSTANTIATE_TEST_SUITE_P(Images, FixtureTest, ::testing::ValuesIn(read_manifest()), fixture_name);

TEST(FixtureManifest, CoversEveryKind) {
  const auto all = read_manifest();
  std::string names;
  for (const auto& f : all) names += f.file + " ";
  for (const char* need :
       {"png_gray1.png", "png_gray2.png", "png_gray4.png", "png_gray8.png", "png_palette1.png",
        "png_palette8_trns.png", "png_gray_alpha8.png", "png_rgba8.png", "png_rgb8_interlaced.png",
        "jpeg_baseline_420.jpg", "jpeg_progressive_420.jpg", "ppm_comments.ppm", "jpeg_exif_1.jpg",
        "jpeg_exif_2.jpg", "jpeg_exif_3.jpg", "jpeg_exif_4.jpg", "jpeg_exif_5.jpg",
        "jpeg_exif_6.jpg", "jpeg_exif_7.jpg", "jpeg_exif_8.jpg"}) {
    EXPECT_NE(names.find(need), std::string::npos) << need;
  }
}

}  // namespace
}  // namespace vorn
