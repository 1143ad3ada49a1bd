// Frames from image files and encoded bytes (fixtures made by
// tests/api/make_fixtures.py): pixels, upright orientation, ownership, and
// the failures recorded on the frame.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "session/frame.h"
#include "vorn.h"

namespace {

std::string data_path(const char* name) { return std::string(VORN_API_TEST_DATA) + "/" + name; }

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The pattern the fixture script draws.
void pattern_rgb(uint32_t x, uint32_t y, uint8_t out[3]) {
  out[0] = uint8_t(x * 40 + y);
  out[1] = uint8_t(y * 60 + x);
  out[2] = uint8_t(x * y * 7 + 3);
}

struct FrameDeleter {
  void operator()(VornFrame* f) const { vorn_frame_free(f); }
};
using FramePtr = std::unique_ptr<VornFrame, FrameDeleter>;

std::string message(const VornFrame* f) {
  return std::string(vorn_frame_error_message_ptr(f), vorn_frame_error_message_len(f));
}

void expect_pattern(const VornFrame* f, uint32_t w, uint32_t h) {
  ASSERT_EQ(vorn_frame_width(f), w);
  ASSERT_EQ(vorn_frame_height(f), h);
  ASSERT_EQ(vorn_frame_format(f), VORN_PIXEL_RGB);
  ASSERT_EQ(vorn_frame_stride(f), uint64_t(w) * 3);
  EXPECT_EQ(vorn_frame_error_code(f), 0u);
  EXPECT_NE(f->owner, nullptr);
  const uint8_t* p = vorn_frame_data_ptr(f);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t want[3];
      pattern_rgb(x, y, want);
      for (int c = 0; c < 3; ++c) ASSERT_EQ(p[(y * w + x) * 3 + c], want[c]) << x << "," << y << "," << c;
    }
  }
}

// Frames loaded by path and from the same file's bytes must agree.
enum class From { kFile, kBytes };

bool load(VornFrame* f, const char* name, From from) {
  std::string path = data_path(name);
  if (from == From::kFile) return vorn_frame_load_file(f, path.data(), path.size());
  std::vector<uint8_t> bytes = read_file(path);
  EXPECT_FALSE(bytes.empty()) << path;
  bool ok = vorn_frame_load_encoded(f, bytes.data(), bytes.size());
  bytes.assign(bytes.size(), 0);  // the frame holds its own decoded pixels
  return ok;
}

class FrameLoadTest : public ::testing::TestWithParam<From> {};

TEST_P(FrameLoadTest, PngAndPpmDecodeToPackedRgb) {
  FramePtr f(vorn_frame_new());
  ASSERT_TRUE(load(f.get(), "pattern_5x3.png", GetParam())) << message(f.get());
  expect_pattern(f.get(), 5, 3);
  ASSERT_TRUE(load(f.get(), "pattern_3x2.ppm", GetParam())) << message(f.get());
  expect_pattern(f.get(), 3, 2);
}

TEST_P(FrameLoadTest, GrayPngComesOutAsRgb) {
  FramePtr f(vorn_frame_new());
  ASSERT_TRUE(load(f.get(), "gray_4x2.png", GetParam())) << message(f.get());
  ASSERT_EQ(vorn_frame_width(f.get()), 4u);
  const uint8_t* p = vorn_frame_data_ptr(f.get());
  for (uint32_t y = 0; y < 2; ++y)
    for (uint32_t x = 0; x < 4; ++x)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(p[(y * 4 + x) * 3 + c], x * 50 + y * 7);
}

// Stored 16x8 with the left half red; shown a quarter turn clockwise, the
// picture is 8x16 with the red half on top.
void expect_upright_halves(const VornFrame* f) {
  ASSERT_EQ(vorn_frame_width(f), 8u);
  ASSERT_EQ(vorn_frame_height(f), 16u);
  const uint8_t* p = vorn_frame_data_ptr(f);
  auto near = [](int a, int b) { return std::abs(a - b) <= 12; };
  for (uint32_t y : {0u, 3u, 6u, 9u, 12u, 15u}) {
    for (uint32_t x : {0u, 4u, 7u}) {
      const uint8_t* px = p + (y * 8 + x) * 3;
      bool red = y < 8;
      EXPECT_TRUE(near(px[0], red ? 255 : 0) && near(px[1], 0) && near(px[2], red ? 0 : 255))
          << x << "," << y << ": " << int(px[0]) << " " << int(px[1]) << " " << int(px[2]);
    }
  }
}

TEST_P(FrameLoadTest, JpegIsTurnedUprightByItsExifOrientation) {
  FramePtr f(vorn_frame_new());
  ASSERT_TRUE(load(f.get(), "halves_16x8_orient6.jpg", GetParam())) << message(f.get());
  expect_upright_halves(f.get());
}

TEST_P(FrameLoadTest, OrientationLeftToTheFrameIsAppliedToo) {
  // An Orientation entry of type LONG is skipped by the decoder's strict
  // reader and found by the lenient one; the frame turns the pixels itself.
  FramePtr f(vorn_frame_new());
  ASSERT_TRUE(load(f.get(), "halves_16x8_long6.jpg", GetParam())) << message(f.get());
  expect_upright_halves(f.get());
  EXPECT_EQ(f->owner->refs, 1u);
}

TEST_P(FrameLoadTest, TurningPastTheFrameLimitIsRefused) {
  FramePtr f(vorn_frame_new());
  uint8_t keep[3] = {1, 2, 3};
  ASSERT_TRUE(vorn_frame_set_pixels(f.get(), keep, 3, 1, 1, 0, VORN_PIXEL_RGB, 1, 0));
  EXPECT_FALSE(load(f.get(), "wide_16385x8_long6.jpg", GetParam()));
  EXPECT_EQ(vorn_frame_error_code(f.get()), 1u);
  EXPECT_EQ(message(f.get()), "Invalid pixel pointer, dimensions, or format");
  EXPECT_EQ(vorn_frame_data_ptr(f.get()), keep);
}

TEST_P(FrameLoadTest, LoadedFramesShareTheirBufferWithCrops) {
  FramePtr f(vorn_frame_new());
  FramePtr view(vorn_frame_new());
  ASSERT_TRUE(load(f.get(), "pattern_5x3.png", GetParam()));
  ASSERT_TRUE(vorn_frame_crop_into(f.get(), view.get(), 1, 1, 3, 2));
  // Rebinding the source drops its reference only; the view keeps the pixels.
  ASSERT_TRUE(load(f.get(), "pattern_3x2.ppm", GetParam()));
  f.reset();
  const uint8_t* p = vorn_frame_data_ptr(view.get());
  uint8_t want[3];
  pattern_rgb(3, 2, want);
  const uint8_t* px = p + 1 * vorn_frame_stride(view.get()) + 2 * 3;
  EXPECT_EQ(px[0], want[0]);
  EXPECT_EQ(px[1], want[1]);
  EXPECT_EQ(px[2], want[2]);
}

INSTANTIATE_TEST_SUITE_P(FromFileAndBytes, FrameLoadTest, ::testing::Values(From::kFile, From::kBytes));

TEST(FrameLoadErrorsTest, FailuresAreRecordedAndKeepThePixels) {
  FramePtr f(vorn_frame_new());
  uint8_t keep[3] = {9, 9, 9};
  ASSERT_TRUE(vorn_frame_set_pixels(f.get(), keep, 3, 1, 1, 0, VORN_PIXEL_RGB, 1, 0));
  struct Call {
    const char* what;
    bool (*run)(VornFrame*);
    uint32_t code;
    const char* text;
  };
  const Call calls[] = {
      {"empty path", [](VornFrame* g) { return vorn_frame_load_file(g, "", 0); }, 1, "Empty image file path"},
      {"null path", [](VornFrame* g) { return vorn_frame_load_file(g, nullptr, 4); }, 1, "Empty image file path"},
      {"missing file", [](VornFrame* g) { return vorn_frame_load_file(g, "/nonexistent/x.png", 18); }, 4,
       "failed to decode image"},
      {"path with a NUL", [](VornFrame* g) { return vorn_frame_load_file(g, "a\0b.png", 7); }, 4,
       "image path contains NUL"},
      {"7 bytes", [](VornFrame* g) { return vorn_frame_load_encoded(g, "\x89PNG\r\n\x1a", 7); }, 1,
       "Invalid encoded image buffer or length"},
      {"null bytes", [](VornFrame* g) { return vorn_frame_load_encoded(g, nullptr, 100); }, 1,
       "Invalid encoded image buffer or length"},
      {"8 bytes of garbage", [](VornFrame* g) { return vorn_frame_load_encoded(g, "garbage!", 8); }, 4,
       "failed to decode encoded image bytes"},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(c.run(f.get()));
    EXPECT_EQ(vorn_frame_error_code(f.get()), c.code);
    EXPECT_EQ(message(f.get()), c.text);
    EXPECT_EQ(vorn_frame_data_ptr(f.get()), keep);
  }
}

TEST(FrameLoadErrorsTest, AFifoIsRefusedWithoutWaitingForAWriter) {
  char dir[] = "/tmp/vorn-frame-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/photo.png";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FramePtr f(vorn_frame_new());
  alarm(60);  // a wait ends the test with a failure
  EXPECT_FALSE(vorn_frame_load_file(f.get(), fifo.data(), fifo.size()));
  alarm(0);
  EXPECT_EQ(vorn_frame_error_code(f.get()), 4u);
  unlink(fifo.c_str());
  rmdir(dir);
}

}  // namespace
