// Caller pixel views: validation and conversion to packed RGB8. Generation
// uses these for raw-pixel images; the standalone pre-processing routines
// take their input through them.
#pragma once
#include <cstdint>

#include "base/result.h"

namespace vorn {

// VornPixelFormat values.
inline constexpr uint32_t kPixelRgb = 1;
inline constexpr uint32_t kPixelBgr = 2;
inline constexpr uint32_t kPixelRgba = 3;
inline constexpr uint32_t kPixelBgra = 4;
inline constexpr uint32_t kPixelGray = 5;

struct PixelView {
  const uint8_t* data;
  uint64_t length;  // bytes
  uint32_t width;
  uint32_t height;
  uint64_t stride;  // bytes from one row to the next
  uint32_t format;  // VornPixelFormat
};

// Bytes a pixel: 3, 3, 4, 4, 1 for formats 1..5, 0 for anything else.
uint64_t pixel_format_bytes(uint32_t format);

// Data present, format 1..5, sides 1..32768, area at most 100,000,000,
// stride at least a row, and length at least stride * (height - 1) + one
// row, all computed without overflow.
bool pixels_validate(const PixelView* view);

// A packed RGB8 buffer (malloc heap, freed by the caller with free()).
struct Rgb8Buffer {
  uint8_t* pixels;
  uint64_t length;
};
using Rgb8Result = Result<Rgb8Buffer, const char*>;

// BGR and BGRA swapped, alpha dropped, GRAY repeated. Errors: "invalid pixel
// dimensions, format, stride or length", "out of memory allocating RGB
// pixels".
Rgb8Result pixels_to_rgb8(const PixelView* view);

// Writes one row of width pixels of the given format as packed RGB.
void pixel_row_to_rgb8(const uint8_t* src, uint32_t format, uint32_t width, uint8_t* dst);

}  // namespace vorn
