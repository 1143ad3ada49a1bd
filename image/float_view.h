// Caller float tensor views (planar or interleaved, possibly strided):
// validation and copying to packed planar storage.
#pragma once
#include <cstdint>

#include "base/result.h"

namespace vorn {

inline constexpr uint32_t kFloatLayoutChw = 1;
inline constexpr uint32_t kFloatLayoutHwc = 2;

struct FloatView {
  const float* data;  // 4-byte aligned
  uint64_t length;    // bytes
  uint32_t width;
  uint32_t height;
  uint32_t channels;      // 1..4
  uint32_t layout;        // kFloatLayoutChw or kFloatLayoutHwc
  uint64_t row_stride;    // bytes, 0 = packed
  uint64_t plane_stride;  // bytes, 0 = packed; planar views only
};

// A validated view with its strides in elements.
struct FloatViewStrides {
  FloatView view;
  uint64_t row;    // elements from one row to the next
  uint64_t plane;  // elements from one plane to the next (CHW), 0 for HWC
};
using FloatViewResult = Result<FloatViewStrides, const char*>;

// Sides 1..32768 with area at most 100,000,000, channels 1..4, layout 1 or
// 2, strides multiples of 4 bytes and at least the packed size, length
// covering the last element, data aligned. Error: "invalid float tensor
// dimensions, strides, length or alignment".
FloatViewResult float_view_validate(const FloatView& view);
bool float_view_is_valid(const FloatView& view);

// Refuses anything but packed CHW storage.
using FloatCheckResult = Result<uint32_t, const char*>;
FloatCheckResult float_view_require_packed(const FloatView& view);

// A new packed planar copy (malloc heap, freed by the caller with free()).
struct FloatBuffer {
  float* data;
  uint64_t count;
};
using FloatBufferResult = Result<FloatBuffer, const char*>;
FloatBufferResult float_view_copy_chw(const FloatView& view);

}  // namespace vorn
