// Pixels turned upright by their EXIF orientation while converted to packed
// RGB: one walk for caller frames of any pixel format and for decoded images.
#pragma once
#include <cstdint>

namespace vorn {

// Writes the upright packed RGB image of width x height source pixels
// (format kPixel*, rows stride bytes apart) seen through an EXIF orientation
// 1..8 into out, which holds 3 x width x height bytes; sides are swapped for
// 5..8. The caller has validated the source extent. Large images are spread
// over the pool in bands of rows.
void orient_to_rgb(const uint8_t* data, uint32_t width, uint32_t height, uint64_t stride,
                   uint32_t format, uint32_t orientation, uint8_t* out);

}  // namespace vorn
