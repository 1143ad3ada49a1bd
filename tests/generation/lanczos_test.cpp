// The Lanczos resampler against Pillow's LANCZOS resize on crops of real
// photographs (table and crops made by make_lanczos_refs.py), its own edge
// cases, and the same bytes at 1, 2, 3 and 8 cores.
#include "generation/lanczos.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "generation/pinned_child.h"
#include "image/decode.h"

namespace vorn::gen {
namespace {

const std::string kDir = std::string(VORN_TEST_DATA) + "/generation/lanczos/";

RgbImage load_png(const std::string& path) {
  DecodedImage d{};
  char error[kImageErrorSize] = {};
  EXPECT_TRUE(image_decode_file(path.c_str(), &d, error)) << path << ": " << error;
  RgbImage image = rgb_image_new(d.width, d.height);
  std::copy(d.pixels, d.pixels + image.pixels.size(), image.pixels.begin());
  decoded_image_free(&d);
  return image;
}

uint32_t crc(const RgbImage& image) {
  return static_cast<uint32_t>(crc32(0, image.pixels.data(), static_cast<uInt>(image.pixels.size())));
}

RgbImage resize_both(const RgbImage& src, uint32_t width, uint32_t height) {
  return resize_image(resize_image(src, width, true), height, false);
}

TEST(Lanczos, EqualsPillowOnPhotographs) {
  std::ifstream table(kDir + "pillow_lanczos.txt");
  ASSERT_TRUE(table) << "missing reference table";
  std::map<std::string, RgbImage> sources;
  std::string line;
  int cases = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string name, hex;
    uint32_t w = 0, h = 0;
    in >> name >> w >> h >> hex;
    if (!sources.count(name)) sources[name] = load_png(kDir + name);
    const RgbImage out = resize_both(sources[name], w, h);
    ASSERT_EQ(out.width, w);
    ASSERT_EQ(out.height, h);
    char got[16];
    std::snprintf(got, sizeof got, "%08x", crc(out));
    EXPECT_EQ(hex, got) << name << " -> " << w << "x" << h;
    ++cases;
  }
  EXPECT_GT(cases, 100);
}

TEST(Lanczos, SameLengthIsACopy) {
  RgbImage src = load_png(kDir + "hubble_97x120.png");
  src.orientation = 6;  // carried over by the copy, like every other field
  for (bool horizontal : {true, false}) {
    const RgbImage out = resize_image(src, horizontal ? 97 : 120, horizontal);
    EXPECT_EQ(out.width, 97u);
    EXPECT_EQ(out.height, 120u);
    EXPECT_EQ(out.orientation, 6u);
    EXPECT_TRUE(out.pixels == src.pixels);
  }
}

TEST(Lanczos, UniformStaysUniform) {
  struct Case {
    uint32_t w, h, tw, th;
  } cases[] = {{1, 1, 600, 3}, {5, 9, 1, 1}, {300, 200, 73, 41}, {40, 30, 513, 257}, {2048, 3, 512, 512}};
  for (const Case& c : cases) {
    RgbImage src = rgb_image_new(c.w, c.h);
    for (uint64_t i = 0; i < src.pixels.size(); i += 3) {
      src.pixels[i] = 0;
      src.pixels[i + 1] = 131;
      src.pixels[i + 2] = 255;
    }
    const RgbImage out = resize_both(src, c.tw, c.th);
    for (uint64_t i = 0; i < out.pixels.size(); i += 3) {
      ASSERT_EQ(out.pixels[i], 0) << c.w << "x" << c.h << " -> " << c.tw << "x" << c.th;
      ASSERT_EQ(out.pixels[i + 1], 131);
      ASSERT_EQ(out.pixels[i + 2], 255);
    }
  }
}

TEST(Lanczos, FilterWidth) {
  EXPECT_EQ(lanczos_weights(100, 250).taps, 7u);   // upscaling: support 3
  EXPECT_EQ(lanczos_weights(400, 100).taps, 25u);  // a quarter: support 12
  const LanczosWeights f = lanczos_weights(400, 100);
  for (uint32_t i = 0; i < 100; ++i) {
    int64_t sum = 0;
    for (uint32_t k = 0; k < f.count[i]; ++k) sum += f.weights[i * f.taps + k];
    EXPECT_NEAR(sum, 1 << 22, 16) << i;
  }
}

TEST(Lanczos, Dimensions) {
  const uint32_t bad[][2] = {{0, 1}, {1, 0}, {32769, 1}, {1, 32769}, {10001, 10000}};
  for (const auto& d : bad) {
    try {
      rgb_image_new(d[0], d[1]);
      ADD_FAILURE() << d[0] << "x" << d[1];
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Image dimensions");
    }
  }
  const RgbImage one = rgb_image_new(4, 4);
  EXPECT_THROW(resize_image(one, 0, true), std::runtime_error);
  EXPECT_THROW(resize_image(one, 32769, false), std::runtime_error);
  RgbImage lying = one;  // pixels shorter than the sides say: refused, not read
  lying.pixels.resize(10);
  EXPECT_THROW(resize_image(lying, 8, true), std::runtime_error);
}

// The child half: prints the CRC of a chain of resizes of a 1000 x 700 image.
TEST(LanczosCores, Child) {
  if (!vorn::test::in_pinned_child()) GTEST_SKIP() << "runs in the pinned children only";
  RgbImage src = rgb_image_new(1000, 700);
  uint32_t s = 12345;
  for (uint8_t& b : src.pixels) b = static_cast<uint8_t>((s = s * 1103515245u + 12345u) >> 24);
  const RgbImage down = resize_both(src, 517, 333);
  const RgbImage up = resize_both(down, 1031, 9);
  std::printf("ANSWER %08x %08x\n", crc(down), crc(up));
}

TEST(LanczosCores, SameBytesWhateverTheCores) {
  const std::vector<int> counts = vorn::test::pinned_core_counts();
  const std::string first = vorn::test::run_pinned(counts[0], "LanczosCores.Child");
  ASSERT_NE(first, "");
  for (size_t i = 1; i < counts.size(); ++i)
    EXPECT_EQ(vorn::test::run_pinned(counts[i], "LanczosCores.Child"), first) << counts[i] << " cores";
}

}  // namespace
}  // namespace vorn::gen
