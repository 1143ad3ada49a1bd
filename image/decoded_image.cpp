// DecodedImage: allocation within the size limits, EXIF orientation, and
// construction from caller pixels.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/decode_internal.h"
#include "image/orient.h"
#include "image/pixels.h"

namespace vorn {

namespace {

constexpr const char* kBoundsMessage = "Image dimensions exceed supported bounds";
constexpr const char* kAllocMessage = "Image allocation failed";

}  // namespace

void image_set_error(char* error, const char* msg) {
  if (error == nullptr) return;
  std::snprintf(error, kImageErrorSize, "%s", msg != nullptr ? msg : "");
}

void image_set_error_named(char* error, const char* word, const char* prefix, const char* msg) {
  if (error == nullptr) return;
  if (msg == nullptr) msg = "";
  if (std::strstr(msg, word) != nullptr) {
    image_set_error(error, msg);
  } else {
    std::snprintf(error, kImageErrorSize, "%s%s", prefix, msg);
  }
}

bool image_dims_within(uint32_t width, uint32_t height, uint64_t max_area) {
  if (width < 1 || height < 1 || width > kImageMaxSide || height > kImageMaxSide) return false;
  return static_cast<uint64_t>(width) * height <= max_area;
}

bool image_dims_valid(uint32_t width, uint32_t height) {
  return image_dims_within(width, height, kImageMaxArea);
}

bool decoded_image_alloc_limited(DecodedImage* image, uint32_t width, uint32_t height,
                                 uint64_t max_area, char* error) {
  if (max_area > kImageMaxArea) max_area = kImageMaxArea;
  if (!image_dims_within(width, height, max_area)) {
    image_set_error(error, kBoundsMessage);
    return false;
  }
  // Sides are at most 2^15 each, so the byte count cannot wrap.
  auto* pixels = static_cast<uint8_t*>(std::malloc(static_cast<uint64_t>(width) * height * 3));
  if (pixels == nullptr) {
    image_set_error(error, kAllocMessage);
    return false;
  }
  *image = DecodedImage{width, height, 1, 0, pixels};
  return true;
}

bool decoded_image_alloc(DecodedImage* image, uint32_t width, uint32_t height, char* error) {
  return decoded_image_alloc_limited(image, width, height, kImageMaxArea, error);
}

void decoded_image_free(DecodedImage* image) {
  if (image == nullptr) return;
  std::free(image->pixels);
  *image = DecodedImage{};
}

bool decoded_image_orient(DecodedImage* image, uint32_t orientation, char* error) {
  if (orientation < 1 || orientation > 8) orientation = 1;
  if (orientation == 1) {
    image->orientation = 1;
    return true;
  }
  const uint32_t w = image->width;
  const uint32_t h = image->height;
  const bool swap = orientation >= 5;
  const uint32_t dst_w = swap ? h : w;
  const uint32_t dst_h = swap ? w : h;
  if (image->pixels == nullptr) {
    image_set_error(error, kBoundsMessage);
    return false;
  }
  DecodedImage turned{};
  if (!decoded_image_alloc(&turned, dst_w, dst_h, error)) return false;
  orient_to_rgb(image->pixels, w, h, uint64_t{w} * 3, kPixelRgb, orientation, turned.pixels);
  std::free(image->pixels);
  image->pixels = turned.pixels;
  image->width = dst_w;
  image->height = dst_h;
  image->orientation = orientation;
  return true;
}

bool decoded_image_from_pixels(const uint8_t* pixels, uint64_t length, uint32_t width,
                               uint32_t height, uint64_t stride, uint32_t layout,
                               uint32_t orientation, DecodedImage* image, char* error) {
  if (image == nullptr) {
    image_set_error(error, "Missing image output");
    return false;
  }
  *image = DecodedImage{};
  const uint64_t bpp = layout == kPixelLayoutRgb ? 3 : 4;
  const uint64_t row_bytes = bpp * width;
  bool ok = width >= 1 && height >= 1 && width <= kImageMaxSide && height <= kImageMaxSide &&
            pixels != nullptr && layout >= 1 && layout <= 3 && orientation >= 1 &&
            orientation <= 8 && stride >= row_bytes;
  if (ok) {
    // stride * (height - 1) + row_bytes must neither wrap nor pass the end.
    const uint64_t rows_before_last = height - 1;
    ok = rows_before_last == 0 || stride <= (UINT64_MAX - row_bytes) / rows_before_last;
    ok = ok && length >= stride * rows_before_last + row_bytes;
  }
  if (!ok) {
    image_set_error(error, "Invalid image pixels, stride, length or orientation");
    return false;
  }
  if (!decoded_image_alloc(image, width, height, error)) {
    *image = DecodedImage{};
    return false;
  }
  // The fourth byte of RGBX and BGRX is dropped as alpha is.
  const uint32_t format = layout == kPixelLayoutRgb    ? kPixelRgb
                          : layout == kPixelLayoutRgbx ? kPixelRgba
                                                       : kPixelBgra;
  for (uint32_t y = 0; y < height; ++y) {
    pixel_row_to_rgb8(pixels + stride * y, format, width,
                      image->pixels + static_cast<uint64_t>(y) * width * 3);
  }
  if (!decoded_image_orient(image, orientation, error)) {
    decoded_image_free(image);
    return false;
  }
  return true;
}

}  // namespace vorn
