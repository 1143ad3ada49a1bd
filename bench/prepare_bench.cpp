// Preparing a tiled generation request from a large JPEG, stage by stage:
// decode, fit to the longest edge, the views (grid, tiles, global view),
// then the whole prepare: of a request (decode, views, prompt, tokens,
// tensors). Prints the median milliseconds of each stage as
// "stage <name> <ms>" lines for bench/prepare_compare, which runs Pillow
// on the same image beside it.
//
//   prepare_bench <image.jpg> <longest edge> <runs>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "generation/documents_fixture.h"
#include "generation/image_views.h"
#include "generation/lanczos.h"
#include "generation/vn_processor.h"
#include "image/decode.h"

using namespace vorn;

namespace {

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: prepare_bench <image.jpg> <longest edge> <runs>\n");
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  const std::vector<uint8_t> jpeg{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  const uint32_t edge = static_cast<uint32_t>(std::atoi(argv[2]));
  const int runs = std::max(1, std::atoi(argv[3]));
  std::map<std::string, std::vector<double>> ms;
  uint32_t views = 0;
  for (int r = 0; r < runs; ++r) {
    double t = now_ms();
    DecodedImage d{};
    char error[kImageErrorSize];
    if (!image_decode_bytes(jpeg.data(), jpeg.size(), &d, error)) {
      std::fprintf(stderr, "decode: %s\n", error);
      return 1;
    }
    gen::RgbImage image;
    image.width = d.width;
    image.height = d.height;
    image.pixels.assign(d.pixels, d.pixels + uint64_t{d.width} * d.height * 3);
    decoded_image_free(&d);
    ms["decode"].push_back(now_ms() - t);

    t = now_ms();
    const ViewSize fit = fit_longest_edge(image.width, image.height, edge);
    image = gen::resize_image(gen::resize_image(image, fit.width, true), fit.height, false);
    ms["fit"].push_back(now_ms() - t);

    t = now_ms();
    const TileGrid grid = tile_grid(fit.width, fit.height);
    if (image.width != grid.width) image = gen::resize_image(image, grid.width, true);
    if (image.height != grid.height) image = gen::resize_image(image, grid.height, false);
    std::vector<gen::RgbImage> tiles;
    for (uint32_t y = 0; y < grid.height; y += kViewSide)
      for (uint32_t x = 0; x < grid.width; x += kViewSide) {
        gen::RgbImage tile = gen::rgb_image_new(kViewSide, kViewSide);
        for (uint32_t row = 0; row < kViewSide; ++row)
          std::copy_n(image.pixels.data() + ((y + row) * uint64_t{grid.width} + x) * 3, kViewSide * 3,
                      tile.pixels.data() + row * uint64_t{kViewSide} * 3);
        tiles.push_back(std::move(tile));
      }
    tiles.push_back(gen::resize_image(gen::resize_image(image, kViewSide, true), kViewSide, false));
    views = static_cast<uint32_t>(tiles.size());
    ms["views"].push_back(now_ms() - t);
  }
  const VNProcessor processor(test::family_documents());
  const nlohmann::json request = {{"prompt", "Describe the picture."}, {"image_data", nlohmann::json::binary(jpeg)},
                                  {"image_detail", "tiled"}, {"image_longest_edge", edge},
                                  {"max_new_tokens", 64}, {"causal_mask", true}};
  for (int r = 0; r < runs; ++r) {
    const double t = now_ms();
    const nlohmann::json out = processor.prepare(request);
    ms["prepare_total"].push_back(now_ms() - t);
    for (const char* stage : {"image_decode_resize_ms", "prompt_tokenize_ms", "tensor_prepare_ms"})
      ms[std::string("prepare:") + stage].push_back(out["stages_ms"][stage].get<double>());
  }
  std::printf("views %u\n", views);
  for (const auto& [name, v] : ms) std::printf("stage %s %.3f\n", name.c_str(), median(v));
  return 0;
}
