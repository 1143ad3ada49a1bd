// The image views of a generation request: every image part of the
// conversation is decoded, optionally cropped, fitted to the requested
// longest edge and cut into 512 x 512 views for the vision encoder (one view
// in "single" detail; in "tiled" detail a grid of tiles plus one downscaled
// global view), and stands in the prompt as a placeholder text made of the
// tokenizer's image tokens. The geometry is f64 arithmetic fixed to the
// last bit (truncations and roundings included), so a view grid, and so the
// prompt's token count, never differs between machines.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "generation/lanczos.h"
#include "generation/records.h"

namespace vorn {

inline constexpr uint32_t kViewSide = 512;
// Largest side of a fitted image or a tile grid.
inline constexpr uint32_t kViewMaxFitted = 2048;

// What a request's settings say about its images.
struct ImageViewSettings {
  bool tiled = false;               // "tiled" detail, else "single"
  uint32_t longest_edge = 512;      // E: 512 in single detail, 512..2048 tiled
  std::vector<double> crop;         // empty, or x0, y0, x1, y1 in 0..1
  std::vector<ImageSource> images;  // the payloads "image_index" refers to
  uint32_t max_new_tokens = 64;
  uint32_t context_length = 2048;
  bool count_only = false;  // count views without keeping them; no budget check
};

// The tokenizer configuration's image tokens.
struct ImageTokens {
  std::string fake;    // "fake_image_token"
  std::string global;  // "global_image_token"
  std::string image;   // "image_token"
  uint32_t seq_len = 64;  // image tokens per view
};

// What the image parts of one request have produced so far.
struct ImageViewsState {
  std::vector<gen::RgbImage> views;    // 512 x 512 each, in prompt order
  std::vector<uint32_t> orientations;  // EXIF orientation applied to each decoded image
  uint32_t counted_views = 0;          // views counted (and dropped) under count_only
  uint32_t rows = 0;                   // tile grid of the last image part, 0 without one
  uint32_t cols = 0;
};

struct ViewSize {
  uint32_t width;
  uint32_t height;
};

// Rows top..bottom-1 and columns left..right-1 of an image.
struct CropRect {
  uint32_t left, top, right, bottom;
};

// The tile grid of a fitted image in tiled detail: the tile size rounded up
// to whole views, and the grid image size (at least one view each way).
struct TileGrid {
  uint32_t tile_width, tile_height;
  uint32_t width, height;
  bool one_view() const { return tile_width <= kViewSide && tile_height <= kViewSide; }
};

// The crop rectangle of a W x H image; throws "Crop coordinates", "Crop
// bounds", "Crop smaller than one pixel", "Image crop bounds" or "Image
// dimensions".
CropRect crop_rect(uint32_t width, uint32_t height, const std::vector<double>& crop);
// Fitted to longest edge E (throws "Resize dimensions").
ViewSize fit_longest_edge(uint32_t width, uint32_t height, uint32_t edge);
// The grid of a fitted image (throws "Resize dimensions").
TileGrid tile_grid(uint32_t width, uint32_t height);
// The placeholder of one image part: with a grid (rows > 0) one entry per
// tile, row breaks, then the global entry; without, the global entry only.
std::string image_placeholder(const ImageTokens& tokens, uint32_t rows, uint32_t cols);

// Turns one image part ({"type": "image"} with "path", or "image_index"
// into settings.images) into views appended to state and its placeholder
// appended to prompt. Throws ImageError with the decoder's message when the
// image cannot be read, std::runtime_error with the messages above (and
// "Invalid image index", "Invalid image kind", "Images exceed context
// budget"), or the JSON library's error for a missing or mistyped key.
void append_image_part(const nlohmann::json& part, const ImageViewSettings& settings,
                       const ImageTokens& tokens, ImageViewsState& state, std::string& prompt);

}  // namespace vorn
