// Image views: the fit and grid geometry on a table of sizes whose expected
// values come from the same f64 formulas evaluated in Python (the rounding
// boundaries among them: sizes where f64 division lands just below a whole
// number), placeholders, crops, budgets and decode failures.
#include "generation/image_views.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "generation/errors.h"

namespace vorn {
namespace {

using gen::RgbImage;
using json = nlohmann::json;

struct GeometryCase {
  uint32_t w, h, edge;
  bool tiled;
  uint32_t fit_w, fit_h, grid_w, grid_h, rows, cols, views;
};

// Made by the f64 formulas in Python; (512, 93) and (2047, 1537) are the
// sizes where f64 gives one less than exact arithmetic would (92 not 94;
// 1536 not 1538, a grid of 3 rows, not 4).
const GeometryCase kGeometry[] = {
    {1024, 768, 1024, true, 1024, 768, 1024, 1024, 2, 2, 5},
    {300, 200, 512, false, 512, 342, 512, 512, 0, 0, 1},
    {300, 200, 512, true, 512, 342, 512, 512, 0, 0, 1},
    {512, 93, 512, false, 512, 92, 512, 512, 0, 0, 1},
    {512, 99, 1024, true, 1024, 198, 1024, 512, 1, 2, 3},
    {768, 767, 1536, true, 1536, 1534, 1536, 1536, 3, 3, 10},
    {4000, 3000, 2048, true, 2048, 1536, 2048, 1536, 3, 4, 13},
    {3000, 4000, 2048, true, 1536, 2048, 1536, 2048, 4, 3, 13},
    {2048, 2048, 2047, true, 2047, 2048, 2048, 2048, 4, 4, 17},
    {2048, 2048, 2048, true, 2048, 2048, 2048, 2048, 4, 4, 17},
    {1000, 1000, 1025, true, 1025, 1026, 1536, 1536, 3, 3, 10},
    {1, 1, 512, false, 512, 512, 512, 512, 0, 0, 1},
    {32768, 1, 512, false, 512, 1, 512, 512, 0, 0, 1},
    {1, 32768, 512, false, 1, 512, 512, 512, 0, 0, 1},
    {32768, 1, 2048, true, 2048, 1, 2048, 512, 1, 4, 5},
    {1, 32768, 2048, true, 1, 2048, 512, 2048, 4, 1, 5},
    {513, 512, 1024, true, 1024, 1022, 1024, 1024, 2, 2, 5},
    {512, 513, 1024, true, 1022, 1024, 1024, 1024, 2, 2, 5},
    {1537, 1024, 1536, true, 1536, 1024, 1536, 1024, 2, 3, 7},
    {1024, 1537, 1536, true, 1024, 1536, 1024, 1536, 3, 2, 7},
    {999, 2000, 512, false, 256, 512, 512, 512, 0, 0, 1},
    {10000, 10000, 2048, true, 2048, 2048, 2048, 2048, 4, 4, 17},
    {2049, 1023, 2048, true, 2048, 1022, 2048, 1024, 2, 4, 9},
    {640, 427, 1536, true, 1536, 1024, 1536, 1024, 2, 3, 7},
    {2047, 1537, 2047, true, 2047, 1536, 2048, 1536, 3, 4, 13},
    {4094, 3074, 2047, true, 2047, 1536, 2048, 1536, 3, 4, 13},
};

ImageTokens tokens() { return {"<fake>", "<global>", "<image>", 2}; }

// A raw-pixel source (layout RGB) over caller bytes.
ImageSource pixels_source(const std::vector<uint8_t>& bytes, uint32_t w, uint32_t h) {
  ImageSource s{};
  s.kind = kImageSourcePixels;
  s.data = bytes.data();
  s.length = bytes.size();
  s.width = w;
  s.height = h;
  s.stride = uint64_t{w} * 3;
  s.format = 1;
  s.orientation = 1;
  return s;
}

std::vector<uint8_t> ramp(uint32_t w, uint32_t h) {
  std::vector<uint8_t> b(uint64_t{w} * h * 3);
  for (uint64_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 3001);
  return b;
}

const json kFirstImage = {{"type", "image"}, {"image_index", 0}};

std::string error_of(const json& part, const ImageViewSettings& settings) {
  ImageViewsState state;
  std::string prompt;
  try {
    append_image_part(part, settings, tokens(), state, prompt);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(ImageViews, GeometryTable) {
  for (const GeometryCase& c : kGeometry) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " E=" << c.edge);
    const ViewSize fit = fit_longest_edge(c.w, c.h, c.edge);
    EXPECT_EQ(fit.width, c.fit_w);
    EXPECT_EQ(fit.height, c.fit_h);
    if (c.tiled) {
      const TileGrid grid = tile_grid(fit.width, fit.height);
      EXPECT_EQ(grid.width, c.grid_w);
      EXPECT_EQ(grid.height, c.grid_h);
      EXPECT_EQ(grid.one_view(), c.rows == 0);
    }
    // The same through an image part, counting only (no pixels resampled).
    if (uint64_t{c.w} * c.h > 4000000) continue;
    const std::vector<uint8_t> bytes(uint64_t{c.w} * c.h * 3, 9);
    ImageViewSettings s;
    s.tiled = c.tiled;
    s.longest_edge = c.edge;
    s.count_only = true;
    s.images = {pixels_source(bytes, c.w, c.h)};
    ImageViewsState state;
    std::string prompt;
    append_image_part(kFirstImage, s, tokens(), state, prompt);
    EXPECT_EQ(state.counted_views, c.views);
    EXPECT_EQ(state.rows, c.rows);
    EXPECT_EQ(state.cols, c.cols);
    EXPECT_TRUE(state.views.empty());
    EXPECT_EQ(prompt, image_placeholder(tokens(), c.rows, c.cols));
  }
}

TEST(ImageViews, Placeholders) {
  const std::string t = "<image><image>";
  EXPECT_EQ(image_placeholder(tokens(), 0, 0), "<fake><global>" + t + "<fake>");
  EXPECT_EQ(image_placeholder(tokens(), 2, 2),
            "<fake><row_1_col_1>" + t + "<fake><row_1_col_2>" + t + "\n" +
            "<fake><row_2_col_1>" + t + "<fake><row_2_col_2>" + t + "\n\n" +
            "<fake><global>" + t + "<fake>");
}

TEST(ImageViews, TilesAndGlobalView) {
  const std::vector<uint8_t> bytes = ramp(1024, 768);
  ImageViewSettings s;
  s.tiled = true;
  s.longest_edge = 1024;
  s.images = {pixels_source(bytes, 1024, 768)};
  ImageViewsState state;
  std::string prompt;
  append_image_part(kFirstImage, s, tokens(), state, prompt);
  ASSERT_EQ(state.views.size(), 5u);
  RgbImage src = gen::rgb_image_new(1024, 768);
  std::copy(bytes.begin(), bytes.end(), src.pixels.begin());
  const RgbImage grid = gen::resize_image(src, 1024, false);  // fitted 1024 x 768, grid 1024 x 1024
  for (uint32_t t = 0; t < 4; ++t) {
    const uint32_t r = t / 2, c = t % 2;
    for (uint32_t y = 0; y < 512; y += 37)
      ASSERT_EQ(0, std::memcmp(state.views[t].pixels.data() + y * 1536,
                               grid.pixels.data() + ((r * 512 + y) * 1024 + c * 512) * 3, 1536))
          << "tile " << t << " row " << y;
  }
  const RgbImage global = gen::resize_image(gen::resize_image(grid, 512, true), 512, false);
  EXPECT_TRUE(state.views[4].pixels == global.pixels);
}

TEST(ImageViews, Crops) {
  const std::vector<uint8_t> bytes = ramp(5, 4);
  EXPECT_EQ(crop_rect(5, 4, {0, 0, 1, 1}).right, 5u);
  // x0 * 5 = 0.5 and 1.5: ties go to even.
  const CropRect r = crop_rect(5, 4, {0.1, 0.125, 0.3, 0.875});
  EXPECT_EQ(r.left, 0u);
  EXPECT_EQ(r.right, 2u);
  EXPECT_EQ(r.top, 0u);   // 0.5 -> 0
  EXPECT_EQ(r.bottom, 4u);  // 3.5 -> 4
  const struct {
    std::vector<double> crop;
    const char* error;
  } bad[] = {
      {{0, 0, 1}, "Crop coordinates"},
      {{0.5, 0, 0.5, 1}, "Crop bounds"},
      {{0, 0, 1.5, 1}, "Crop bounds"},
      {{0, NAN, 1, 1}, "Crop bounds"},
      {{0.3, 0, 0.38, 1}, "Crop smaller than one pixel"},  // 1.5 and 1.9 both round to 2
  };
  for (const auto& b : bad) {
    ImageViewSettings s;
    s.crop = b.crop;
    s.images = {pixels_source(bytes, 5, 4)};
    EXPECT_EQ(error_of(kFirstImage, s), b.error);
  }
}

TEST(ImageViews, ContextBudget) {
  const std::vector<uint8_t> bytes = ramp(8, 6);
  for (uint32_t context : {64 + 2 + 1, 64 + 2}) {  // one view of 2 tokens, 64 new tokens
    ImageViewSettings s;
    s.max_new_tokens = 64;
    s.context_length = context;
    s.images = {pixels_source(bytes, 8, 6)};
    EXPECT_EQ(error_of(kFirstImage, s), context == 67 ? "" : "Images exceed context budget") << context;
  }
  // Counting checks no budget.
  ImageViewSettings s;
  s.count_only = true;
  s.context_length = 1;
  s.images = {pixels_source(bytes, 8, 6)};
  EXPECT_EQ(error_of(kFirstImage, s), "");
}

std::vector<uint8_t> file_bytes(const std::string& name) {
  std::ifstream f(std::string(VORN_TEST_DATA) + "/images/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TEST(ImageViews, SourcesAndFailures) {
  std::vector<uint8_t> jpeg = file_bytes("jpeg_exif_6.jpg");
  ImageSource encoded{};
  encoded.kind = kImageSourceEncoded;
  encoded.data = jpeg.data();
  encoded.length = jpeg.size();
  ImageViewSettings s;
  s.images = {encoded};
  ImageViewsState state;
  std::string prompt;
  append_image_part(kFirstImage, s, tokens(), state, prompt);
  append_image_part({{"type", "image"}, {"path", std::string(VORN_TEST_DATA) + "/images/png_rgb8.png"}}, s,
                    tokens(), state, prompt);
  EXPECT_EQ(state.orientations, (std::vector<uint32_t>{6, 1}));
  EXPECT_EQ(state.views.size(), 2u);

  // Broken and short data: see the refusals of the request tests. A NUL
  // inside a path would open the file named by the text before it.
  const std::string nul_path = std::string(VORN_TEST_DATA) + "/images/png_rgb8.png" + '\0' + ".txt";
  EXPECT_THROW(append_image_part({{"type", "image"}, {"path", nul_path}}, s, tokens(), state, prompt), ImageError);

  s.images[0].kind = kImageSourcePath;
  EXPECT_EQ(error_of(kFirstImage, s), "Invalid image kind");
  EXPECT_EQ(error_of({{"type", "image"}, {"image_index", 1}}, s), "Invalid image index");
  EXPECT_EQ(error_of({{"type", "image"}, {"image_index", -1}}, s), "Invalid image index");
  for (const json& part : {json{{"type", "image"}, {"image_index", "0"}}, json{{"type", "image"}, {"image_index", 0.5}},
                           json{{"type", "image"}}})
    EXPECT_THROW(append_image_part(part, s, tokens(), state, prompt), json::exception) << part;
}

}  // namespace
}  // namespace vorn
