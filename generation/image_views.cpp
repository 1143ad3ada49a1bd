#include "generation/image_views.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "generation/errors.h"
#include "image/decode.h"

namespace vorn {

namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

bool dims_valid(uint64_t width, uint64_t height) {
  return width >= 1 && width <= gen::kRgbMaxSide && height >= 1 && height <= gen::kRgbMaxSide &&
         width * height <= gen::kRgbMaxArea;
}

uint32_t up_to_even(uint64_t v) { return static_cast<uint32_t>(v + (v & 1)); }
uint64_t up_to_view(uint64_t v) { return (v + kViewSide - 1) / kViewSide * kViewSide; }

// A double truncated towards zero; callers pass finite values of at most a
// few thousand.
uint64_t trunc_u64(double v) { return v <= 0.0 ? 0 : static_cast<uint64_t>(v); }

bool fitted_side_valid(uint64_t v) { return v >= 1 && v <= kViewMaxFitted; }

// Owns a decoded image until its pixels are copied out.
struct DecodedHolder {
  DecodedImage image{};
  ~DecodedHolder() { decoded_image_free(&image); }
};

// The decoder's message about the file at path, with the file named: the
// status is the message's own, whatever the name holds.
[[noreturn]] void fail_file(const char* message, const std::string& path) {
  throw ImageError(std::string(message) + " (" + path + ")", image_error_status(message));
}

void decode_part(const json& part, const ImageViewSettings& settings, DecodedImage* out) {
  char error[kImageErrorSize] = {};
  bool ok;
  if (part.contains("path")) {
    const std::string& path = part.at("path").get_ref<const std::string&>();
    // A NUL inside the text would open another file than the one named.
    if (path.find('\0') != std::string::npos) fail_file("Cannot read image", path.substr(0, path.find('\0')));
    if (!image_decode_file(path.c_str(), out, error)) fail_file(error[0] ? error : "Cannot read image", path);
    return;
  } else {
    const json& index = part.at("image_index");
    // Only whole numbers select an image: anything else raises the JSON
    // library's type error, as a string would; a negative one selects none.
    if (!index.is_number_integer()) (void)index.get_ref<const json::number_unsigned_t&>();
    const int64_t i = index.is_number_unsigned() || index.get<int64_t>() >= 0 ? index.get<int64_t>() : -1;
    if (i < 0 || static_cast<uint64_t>(i) >= settings.images.size()) fail("Invalid image index");
    const ImageSource& source = settings.images[static_cast<size_t>(i)];
    const auto* bytes = static_cast<const uint8_t*>(source.data);
    if (source.kind == kImageSourceEncoded) {
      ok = image_decode_bytes(bytes, source.length, out, error);
    } else if (source.kind == kImageSourcePixels) {
      ok = decoded_image_from_pixels(bytes, source.length, source.width, source.height, source.stride,
                                     source.format, source.orientation, out, error);
    } else {
      fail("Invalid image kind");
    }
  }
  if (!ok) throw ImageError(error[0] ? error : "Cannot read image");
}

// The rows top..bottom-1 and columns left..right-1 of packed RGB pixels.
gen::RgbImage copy_rect(const uint8_t* src, uint32_t width, uint32_t height, const CropRect& r) {
  if (r.right > width || r.bottom > height || r.left >= r.right || r.top >= r.bottom) fail("Image crop bounds");
  gen::RgbImage out = gen::rgb_image_uninit(r.right - r.left, r.bottom - r.top);
  const uint64_t in_stride = uint64_t{width} * 3;
  const uint64_t out_stride = uint64_t{out.width} * 3;
  for (uint32_t y = 0; y < out.height; ++y) {
    std::memcpy(out.pixels.data() + y * out_stride, src + (r.top + y) * in_stride + uint64_t{r.left} * 3,
                out_stride);
  }
  return out;
}

gen::RgbImage cut(const gen::RgbImage& src, const CropRect& r) {
  return copy_rect(src.pixels.data(), src.width, src.height, r);
}

// Width first, then height; an axis already at its length is left alone.
gen::RgbImage resample(gen::RgbImage image, uint32_t width, uint32_t height) {
  if (image.width != width) image = gen::resize_image(image, width, true);
  if (image.height != height) image = gen::resize_image(image, height, false);
  return image;
}

}  // namespace

CropRect crop_rect(uint32_t width, uint32_t height, const std::vector<double>& crop) {
  if (crop.size() != 4) fail("Crop coordinates");
  const double x0 = crop[0], y0 = crop[1], x1 = crop[2], y1 = crop[3];
  for (double v : crop)
    if (!std::isfinite(v)) fail("Crop bounds");
  if (!(0.0 <= x0 && x0 < x1 && x1 <= 1.0 && 0.0 <= y0 && y0 < y1 && y1 <= 1.0)) fail("Crop bounds");
  // Nearest, ties to even (the default rounding mode).
  const double left = std::nearbyint(x0 * width), right = std::nearbyint(x1 * width);
  const double top = std::nearbyint(y0 * height), bottom = std::nearbyint(y1 * height);
  if (right <= left || bottom <= top) fail("Crop smaller than one pixel");
  if (left < 0 || top < 0 || right > width || bottom > height) fail("Image crop bounds");
  CropRect r{static_cast<uint32_t>(left), static_cast<uint32_t>(top), static_cast<uint32_t>(right),
             static_cast<uint32_t>(bottom)};
  if (!dims_valid(r.right - r.left, r.bottom - r.top)) fail("Image dimensions");
  return r;
}

ViewSize fit_longest_edge(uint32_t width, uint32_t height, uint32_t edge) {
  const double a = static_cast<double>(width) / static_cast<double>(height);
  uint64_t w, h;
  if (width < height) {
    h = edge;
    w = up_to_even(trunc_u64(a * edge));
    if (w == 0) w = 1;
  } else {
    w = edge;
    h = up_to_even(trunc_u64(edge / a));
    if (h == 0) h = 1;
  }
  if (!fitted_side_valid(w) || !fitted_side_valid(h)) fail("Resize dimensions");
  return {static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

TileGrid tile_grid(uint32_t width, uint32_t height) {
  const double a = static_cast<double>(width) / static_cast<double>(height);
  uint64_t tw, th;
  if (width < height) {
    th = up_to_view(height);
    tw = up_to_view(trunc_u64(a * static_cast<double>(th)));
  } else {
    tw = up_to_view(width);
    th = up_to_view(trunc_u64(static_cast<double>(tw) / a));
  }
  const uint64_t gw = std::max<uint64_t>(tw, kViewSide), gh = std::max<uint64_t>(th, kViewSide);
  if (!fitted_side_valid(gw) || !fitted_side_valid(gh)) fail("Resize dimensions");
  return {static_cast<uint32_t>(tw), static_cast<uint32_t>(th), static_cast<uint32_t>(gw),
          static_cast<uint32_t>(gh)};
}

std::string image_placeholder(const ImageTokens& tokens, uint32_t rows, uint32_t cols) {
  std::string repeated;
  repeated.reserve(tokens.image.size() * tokens.seq_len);
  for (uint32_t i = 0; i < tokens.seq_len; ++i) repeated += tokens.image;
  std::string out;
  if (rows > 0) {
    for (uint32_t r = 1; r <= rows; ++r) {
      for (uint32_t c = 1; c <= cols; ++c) {
        out += tokens.fake;
        out += "<row_" + std::to_string(r) + "_col_" + std::to_string(c) + ">";
        out += repeated;
      }
      out += "\n";
    }
    out += "\n";
  }
  out += tokens.fake;
  out += tokens.global;
  out += repeated;
  out += tokens.fake;
  return out;
}

void append_image_part(const json& part, const ImageViewSettings& settings, const ImageTokens& tokens,
                       ImageViewsState& state, std::string& prompt) {
  state.rows = 0;
  state.cols = 0;

  // Counting needs the geometry only: the pixels of a count are never read.
  const bool keep = !settings.count_only;

  // Source: decoded, checked, and its (cropped) pixels copied into an image
  // of our own.
  gen::RgbImage image;
  uint32_t width, height;
  {
    DecodedHolder decoded;
    decode_part(part, settings, &decoded.image);
    const DecodedImage& d = decoded.image;
    if (!dims_valid(d.width, d.height) || d.pixels == nullptr) fail("Image dimensions");
    state.orientations.push_back(d.orientation);
    const CropRect r = settings.crop.empty() ? CropRect{0, 0, d.width, d.height}
                                             : crop_rect(d.width, d.height, settings.crop);
    width = r.right - r.left;
    height = r.bottom - r.top;
    if (keep) image = copy_rect(d.pixels, d.width, d.height, r);
  }

  const ViewSize fitted = fit_longest_edge(width, height, settings.longest_edge);
  if (keep) image = resample(std::move(image), fitted.width, fitted.height);

  std::vector<gen::RgbImage> views;
  uint32_t view_count = 1;
  if (!settings.tiled) {
    if (keep) views.push_back(resample(std::move(image), kViewSide, kViewSide));
  } else {
    const TileGrid grid = tile_grid(fitted.width, fitted.height);
    if (keep) image = resample(std::move(image), grid.width, grid.height);
    if (grid.one_view()) {
      if (keep) views.push_back(std::move(image));
    } else {
      state.rows = grid.height / kViewSide;
      state.cols = grid.width / kViewSide;
      view_count = state.rows * state.cols + 1;
      if (keep) {
        for (uint32_t r = 0; r < state.rows; ++r)
          for (uint32_t c = 0; c < state.cols; ++c)
            views.push_back(cut(image, {c * kViewSide, r * kViewSide, (c + 1) * kViewSide, (r + 1) * kViewSide}));
        views.push_back(resample(std::move(image), kViewSide, kViewSide));
      }
    }
  }

  prompt += image_placeholder(tokens, state.rows, state.cols);

  if (settings.count_only) {
    state.counted_views += view_count;
    return;
  }
  const uint64_t total = state.views.size() + views.size();
  if (uint64_t{settings.max_new_tokens} + total * tokens.seq_len >= settings.context_length)
    fail("Images exceed context budget");
  for (gen::RgbImage& v : views) state.views.push_back(std::move(v));
}

}  // namespace vorn
