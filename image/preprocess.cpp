// Standalone pre-processing routines: resize to planar f32, the file
// variants with their normalisations, letterbox, crop-resize and the SAM
// input.
#include "image/preprocess.h"

#include <cmath>
#include <cstdlib>

#include "image/decode.h"
#include "image/resample.h"

namespace vorn {

namespace {

constexpr const char* kInvalidResize = "invalid pixels, output dimensions or normalization";
constexpr float kInv255 = 1.0f / 255.0f;
constexpr float kImagenetMean[3] = {0.485f, 0.456f, 0.406f};
constexpr float kImagenetStd[3] = {0.229f, 0.224f, 0.225f};
constexpr float kClipMean[3] = {0.48145467f, 0.4578275f, 0.40821072f};
constexpr float kClipStd[3] = {0.26862955f, 0.26130259f, 0.2757771f};

// Decoded, upright RGB8 pixels of a file.
struct UprightImage {
  DecodedImage image;
  const char* error;
};

UprightImage decode_upright(const char* path, uint64_t path_length) {
  UprightImage out{};
  RgbImageResult r = image_file_rgb(path, path_length);
  if (!r.ok()) {
    out.error = r.error;
    return out;
  }
  out.image = DecodedImage{r.value.width, r.value.height, 1, 0, r.value.pixels};
  // The loader reports an orientation it left for the caller to apply.
  if (r.value.orientation >= 2 && r.value.orientation <= 8 &&
      !decoded_image_orient(&out.image, r.value.orientation, nullptr)) {
    decoded_image_free(&out.image);
    out.error = "failed to decode image";
  }
  return out;
}

PixelView rgb_view(const DecodedImage& image) {
  const uint64_t stride = uint64_t{image.width} * 3;
  return PixelView{image.pixels, stride * image.height, image.width, image.height, stride,
                   kPixelRgb};
}

bool normalization_valid(const Normalization& n) {
  if (!std::isfinite(n.scale)) return false;
  for (int c = 0; c < 3; ++c) {
    if (!std::isfinite(n.mean[c]) || !std::isfinite(n.std[c]) || !(n.std[c] > 0)) return false;
  }
  return true;
}

float* alloc_floats(uint64_t count) { return static_cast<float*>(std::malloc(count * sizeof(float))); }

// image_file_chw followed by a per-plane map of every value.
template <class F>
ImageTensorResult file_chw_mapped(const char* path, uint64_t path_length, uint32_t width,
                                  uint32_t height, F map) {
  ImageTensorResult r = image_file_chw(path, path_length, width, height);
  if (!r.ok()) return r;
  const uint64_t plane = uint64_t{width} * height;
  for (int c = 0; c < 3; ++c) {
    float* p = r.value.data + plane * c;
    for (uint64_t i = 0; i < plane; ++i) p[i] = map(c, p[i]);
  }
  return r;
}

}  // namespace

bool normalization_preset(std::string_view name, Normalization* out) {
  if (name == "scale255") {
    *out = Normalization{kInv255, {0, 0, 0}, {1, 1, 1}};
  } else if (name == "raw255") {
    *out = Normalization{1.0f, {0, 0, 0}, {1, 1, 1}};
  } else if (name == "neg_one_to_one") {
    *out = Normalization{kInv255, {0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}};
  } else if (name == "imagenet") {
    *out = Normalization{kInv255,
                         {kImagenetMean[0], kImagenetMean[1], kImagenetMean[2]},
                         {kImagenetStd[0], kImagenetStd[1], kImagenetStd[2]}};
  } else if (name == "clip") {
    *out = Normalization{kInv255,
                         {kClipMean[0], kClipMean[1], kClipMean[2]},
                         {kClipStd[0], kClipStd[1], kClipStd[2]}};
  } else {
    return false;
  }
  return true;
}

ImageTensorResult image_resize_chw(const PixelView* view, uint32_t width, uint32_t height,
                                   const Normalization& norm) {
  if (!pixels_validate(view) || !image_dims_valid(width, height) || !normalization_valid(norm)) {
    return ImageTensorResult::failure(kInvalidResize);
  }
  const uint64_t count = uint64_t{width} * height * 3;
  float* out = alloc_floats(count);
  if (out == nullptr) return ImageTensorResult::failure("out of memory allocating CHW tensor");
  RgbRegion region{view->data, view->stride, view->width, view->height};
  uint8_t* converted = nullptr;
  if (view->format != kPixelRgb) {
    Rgb8Result rgb = pixels_to_rgb8(view);
    if (!rgb.ok()) {
      std::free(out);
      return ImageTensorResult::failure("out of memory allocating CHW tensor");
    }
    converted = rgb.value.pixels;
    region = RgbRegion{converted, uint64_t{view->width} * 3, view->width, view->height};
  }
  ValueTable table;
  for (int c = 0; c < 3; ++c) {
    for (int v = 0; v < 256; ++v) {
      table.v[c][v] = std::fma(static_cast<float>(v), norm.scale, -norm.mean[c]) / norm.std[c];
    }
  }
  resample_rgb_to_planes(region, PlaneTarget{out, width, height, 0, 0, width, height}, table);
  std::free(converted);
  return ImageTensorResult::success(ImageTensor{out, count, 0, 0});
}

ImageTensorResult image_file_chw(const char* path, uint64_t path_length, uint32_t width,
                                 uint32_t height) {
  UprightImage img = decode_upright(path, path_length);
  if (img.error != nullptr) return ImageTensorResult::failure(img.error);
  Normalization norm{};
  normalization_preset("scale255", &norm);
  const PixelView view = rgb_view(img.image);
  ImageTensorResult r = image_resize_chw(&view, width, height, norm);
  if (r.ok()) {
    r.value.source_width = img.image.width;
    r.value.source_height = img.image.height;
  }
  decoded_image_free(&img.image);
  return r;
}

ImageTensorResult image_file_chw_signed(const char* path, uint64_t path_length, uint32_t width,
                                        uint32_t height) {
  return file_chw_mapped(path, path_length, width, height,
                         [](int, float v) { return std::fma(v, 2.0f, -1.0f); });
}

ImageTensorResult image_file_chw_255(const char* path, uint64_t path_length, uint32_t width,
                                     uint32_t height) {
  return file_chw_mapped(path, path_length, width, height, [](int, float v) { return v * 255.0f; });
}

ImageTensorResult image_file_chw_imagenet(const char* path, uint64_t path_length, uint32_t width,
                                          uint32_t height) {
  static constexpr float kMul[3] = {4.366812f, 4.4642854f, 4.4444447f};
  return file_chw_mapped(path, path_length, width, height,
                         [](int c, float v) { return (v - kImagenetMean[c]) * kMul[c]; });
}

ImageTensorResult image_file_chw_clip(const char* path, uint64_t path_length, uint32_t width,
                                      uint32_t height) {
  static constexpr float kMul[3] = {3.7225986f, 3.8269808f, 3.6261168f};
  return file_chw_mapped(path, path_length, width, height,
                         [](int c, float v) { return (v - kClipMean[c]) * kMul[c]; });
}

ImageTensorResult image_file_lab_lightness(const char* path, uint64_t path_length, uint32_t width,
                                           uint32_t height) {
  ImageTensorResult r = image_file_chw(path, path_length, width, height);
  if (!r.ok()) return r;
  const uint64_t plane = uint64_t{width} * height;
  float* p = r.value.data;
  auto linear = [](float v) {
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
  };
  for (uint64_t i = 0; i < plane; ++i) {
    const float y = 0.212671f * linear(p[i]) + 0.71516f * linear(p[i + plane]) +
                    0.072169f * linear(p[i + 2 * plane]);
    p[i] = y > 0.008856f ? 116.0f * std::cbrt(y) - 16.0f : 903.3f * y;
  }
  r.value.count = plane;
  return r;
}

LetterboxResult image_letterbox_chw(const char* path, uint64_t path_length, uint32_t side,
                                    bool centred, uint8_t pad, uint32_t value_mode) {
  UprightImage img = decode_upright(path, path_length);
  if (img.error != nullptr) return LetterboxResult::failure(img.error);
  if (!image_dims_valid(side, side)) {
    decoded_image_free(&img.image);
    return LetterboxResult::failure(kInvalidResize);
  }
  const uint32_t w = img.image.width;
  const uint32_t h = img.image.height;
  const double s = std::fmin(static_cast<double>(side) / w, static_cast<double>(side) / h);
  auto fit = [side](double v) {
    const long n = std::lround(v);
    return static_cast<uint32_t>(n < 0 ? 0 : (n > static_cast<long>(side) ? side : n));
  };
  const uint32_t nw = fit(w * s);
  const uint32_t nh = fit(h * s);
  const int32_t px = centred ? static_cast<int32_t>((side - nw) / 2) : 0;
  const int32_t py = centred ? static_cast<int32_t>((side - nh) / 2) : 0;
  const uint64_t plane = uint64_t{side} * side;
  float* out = alloc_floats(plane * 3);
  if (out == nullptr) {
    decoded_image_free(&img.image);
    return LetterboxResult::failure("out of memory allocating letterbox CHW tensor");
  }
  const bool signed_mode = value_mode == 1;
  const float fill_value = signed_mode ? (pad - 127.5f) * 0.0078125f : pad / 255.0f;
  const float fill[3] = {fill_value, fill_value, fill_value};
  fill_planes(out, plane, fill);
  ValueTable table;
  for (int v = 0; v < 256; ++v) {
    const float x = signed_mode ? (v - 127.5f) * 0.0078125f : v * 0.003921569f;
    table.v[0][v] = table.v[1][v] = table.v[2][v] = x;
  }
  const RgbRegion region{img.image.pixels, uint64_t{w} * 3, w, h};
  resample_rgb_to_planes(region,
                         PlaneTarget{out, side, side, static_cast<uint32_t>(px),
                                     static_cast<uint32_t>(py), nw, nh},
                         table);
  decoded_image_free(&img.image);
  LetterboxTensor result{ImageTensor{out, plane * 3, w, h}, static_cast<float>(s), px, py};
  return LetterboxResult::success(result);
}

uint32_t image_crop_resize_chw(const uint8_t* rgb, uint32_t image_width, uint32_t image_height,
                               int64_t crop_x, int64_t crop_y, int64_t crop_width,
                               int64_t crop_height, uint32_t out_height, uint32_t out_width,
                               bool imagenet, float* destination) {
  if (rgb == nullptr || destination == nullptr || image_width == 0 || image_height == 0 ||
      out_width == 0 || out_height == 0) {
    return 0;
  }
  auto clamp = [](int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); };
  const int64_t x = clamp(crop_x, 0, int64_t{image_width} - 1);
  const int64_t y = clamp(crop_y, 0, int64_t{image_height} - 1);
  const int64_t w = clamp(crop_width, 1, int64_t{image_width} - x);
  const int64_t h = clamp(crop_height, 1, int64_t{image_height} - y);

  const uint64_t plane = uint64_t{out_width} * out_height;
  float fill[3];
  ValueTable table;
  for (int c = 0; c < 3; ++c) {
    fill[c] = imagenet ? (0.0f - kImagenetMean[c]) / kImagenetStd[c] : -1.0f;
    for (int v = 0; v < 256; ++v) {
      const float f = static_cast<float>(v);
      table.v[c][v] = imagenet ? std::fma(f, kInv255, -kImagenetMean[c]) / kImagenetStd[c]
                               : 2.0f * std::fma(f, kInv255, -0.5f);
    }
  }
  fill_planes(destination, plane, fill);

  const float aspect = static_cast<float>(w) / static_cast<float>(h);
  const float scaled = aspect * static_cast<float>(out_height);
  const float rounded = imagenet ? std::round(scaled) : std::ceil(scaled);
  uint32_t used = out_width;
  if (rounded < static_cast<float>(out_width)) used = rounded < 1.0f ? 1 : static_cast<uint32_t>(rounded);

  const uint64_t stride = uint64_t{image_width} * 3;
  const RgbRegion region{rgb + stride * static_cast<uint64_t>(y) + static_cast<uint64_t>(x) * 3,
                         stride, static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
  resample_rgb_to_planes(region, PlaneTarget{destination, out_width, out_height, 0, 0, used, out_height},
                         table);
  return used;
}

ImageTensorResult image_sam_1024(const char* path, uint64_t path_length) {
  UprightImage img = decode_upright(path, path_length);
  if (img.error != nullptr) return ImageTensorResult::failure(img.error);
  constexpr uint32_t kSide = 1024;
  constexpr uint64_t kPlane = uint64_t{kSide} * kSide;
  auto* out = static_cast<float*>(std::calloc(kPlane * 3, sizeof(float)));
  if (out == nullptr) {
    decoded_image_free(&img.image);
    return ImageTensorResult::failure("out of memory allocating SAM 1024 tensor");
  }
  static constexpr float kMean[3] = {123.675f, 116.28f, 103.53f};
  static constexpr float kMul[3] = {0.017124753f, 0.017507004f, 0.017429193f};
  const uint32_t w = img.image.width;
  const uint32_t h = img.image.height;
  const uint32_t cw = w < kSide ? w : kSide;
  const uint32_t ch = h < kSide ? h : kSide;
  for (uint32_t y = 0; y < ch; ++y) {
    const uint8_t* row = img.image.pixels + uint64_t{y} * w * 3;
    for (int c = 0; c < 3; ++c) {
      float* dst = out + kPlane * c + uint64_t{y} * kSide;
      for (uint32_t x = 0; x < cw; ++x) dst[x] = (static_cast<float>(row[x * 3 + c]) - kMean[c]) * kMul[c];
    }
  }
  decoded_image_free(&img.image);
  return ImageTensorResult::success(ImageTensor{out, kPlane * 3, w, h});
}

}  // namespace vorn
