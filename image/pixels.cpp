// Pixel view checks and conversion to packed RGB8.
#include "image/pixels.h"

#include <cstdlib>
#include <cstring>

#include "image/decode.h"

namespace vorn {

uint64_t pixel_format_bytes(uint32_t format) {
  switch (format) {
    case kPixelRgb:
    case kPixelBgr: return 3;
    case kPixelRgba:
    case kPixelBgra: return 4;
    case kPixelGray: return 1;
    default: return 0;
  }
}

bool pixels_validate(const PixelView* view) {
  if (view == nullptr || view->data == nullptr) return false;
  const uint64_t bpp = pixel_format_bytes(view->format);
  if (bpp == 0 || !image_dims_valid(view->width, view->height)) return false;
  const uint64_t row_bytes = bpp * view->width;  // at most 4 * 32768
  if (view->stride < row_bytes) return false;
  const uint64_t rows_before_last = view->height - 1;
  if (rows_before_last != 0 && view->stride > (UINT64_MAX - row_bytes) / rows_before_last) {
    return false;
  }
  return view->length >= view->stride * rows_before_last + row_bytes;
}

void pixel_row_to_rgb8(const uint8_t* s, uint32_t format, uint32_t width, uint8_t* d) {
  switch (format) {
    case kPixelRgb:
      std::memcpy(d, s, uint64_t{width} * 3);
      break;
    case kPixelBgr:
      for (uint32_t x = 0; x < width; ++x, s += 3, d += 3) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
      }
      break;
    case kPixelRgba:
      for (uint32_t x = 0; x < width; ++x, s += 4, d += 3) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
      break;
    case kPixelBgra:
      for (uint32_t x = 0; x < width; ++x, s += 4, d += 3) {
        d[0] = s[2];
        d[1] = s[1];
        d[2] = s[0];
      }
      break;
    default:
      for (uint32_t x = 0; x < width; ++x, ++s, d += 3) d[0] = d[1] = d[2] = *s;
      break;
  }
}

Rgb8Result pixels_to_rgb8(const PixelView* view) {
  if (!pixels_validate(view)) {
    return Rgb8Result::failure("invalid pixel dimensions, format, stride or length");
  }
  const uint64_t row_out = uint64_t{view->width} * 3;
  const uint64_t length = row_out * view->height;
  auto* out = static_cast<uint8_t*>(std::malloc(length));
  if (out == nullptr) return Rgb8Result::failure("out of memory allocating RGB pixels");
  for (uint32_t y = 0; y < view->height; ++y) {
    pixel_row_to_rgb8(view->data + view->stride * y, view->format, view->width, out + row_out * y);
  }
  return Rgb8Result::success(Rgb8Buffer{out, length});
}

}  // namespace vorn
