// Bilinear resampling of packed RGB8 into planar f32 with 11-bit fixed-point
// weights: the arithmetic every standalone pre-processing routine shares.
#pragma once
#include <cstdint>

namespace vorn {

// A region of packed RGB8 rows.
struct RgbRegion {
  const uint8_t* data;  // first pixel of the region
  uint64_t stride;      // bytes between rows
  uint32_t width;
  uint32_t height;
};

// Where the resampled block goes: three planes of plane_width x plane_height
// floats; the block of out_width x out_height values lands at (x, y).
struct PlaneTarget {
  float* planes;
  uint32_t plane_width;
  uint32_t plane_height;
  uint32_t x;
  uint32_t y;
  uint32_t out_width;
  uint32_t out_height;
};

// Per channel, the float written for each resampled byte value 0..255.
struct ValueTable {
  float v[3][256];
};

// Resamples the whole region to out_width x out_height: destination (q, r)
// reads source y = (r + 0.5) * (h / out_height) - 0.5 and likewise x, in
// f64; the weight of the lower neighbour is (i0 - s + 1) * 2048 rounded half
// away from zero, 2048 outside the inner range. The block must lie inside the
// planes; a region or block with a zero side writes nothing.
void resample_rgb_to_planes(const RgbRegion& src, const PlaneTarget& dst, const ValueTable& table);

// Fills every value of plane c with fill[c].
void fill_planes(float* planes, uint64_t plane_size, const float fill[3]);

}  // namespace vorn
