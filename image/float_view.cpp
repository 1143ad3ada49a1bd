// Float tensor view checks and the copy to packed planar storage.
#include "image/float_view.h"

#include <cstdlib>
#include <cstring>

#include "image/decode.h"

namespace vorn {

namespace {

constexpr const char* kInvalidView = "invalid float tensor dimensions, strides, length or alignment";

}  // namespace

FloatViewResult float_view_validate(const FloatView& v) {
  const auto bad = FloatViewResult::failure(kInvalidView);
  if (v.data == nullptr || (reinterpret_cast<uintptr_t>(v.data) & 3) != 0) return bad;
  if (!image_dims_valid(v.width, v.height) || v.channels < 1 || v.channels > 4) return bad;
  if (v.layout != kFloatLayoutChw && v.layout != kFloatLayoutHwc) return bad;
  const bool planar = v.layout == kFloatLayoutChw;
  // Sides are at most 2^15 and channels 4, so packed sizes cannot wrap.
  const uint64_t packed_row = uint64_t{v.width} * (planar ? 1 : v.channels) * 4;
  const uint64_t row = v.row_stride == 0 ? packed_row : v.row_stride;
  if (row % 4 != 0 || row < packed_row) return bad;
  uint64_t packed_plane = 0;
  if (__builtin_mul_overflow(row, v.height, &packed_plane)) return bad;
  uint64_t plane = 0;
  if (planar) {
    plane = v.plane_stride == 0 ? packed_plane : v.plane_stride;
    if (plane % 4 != 0 || plane < packed_plane) return bad;
  }
  // Byte just past the last element.
  uint64_t end = 0, rows_part = 0, planes_part = 0;
  if (__builtin_mul_overflow(row, v.height - 1, &rows_part) ||
      __builtin_add_overflow(rows_part, packed_row, &end))
    return bad;
  if (planar && (__builtin_mul_overflow(plane, v.channels - 1, &planes_part) ||
                 __builtin_add_overflow(end, planes_part, &end)))
    return bad;
  if (v.length < end) return bad;
  return FloatViewResult::success(FloatViewStrides{v, row / 4, plane / 4});
}

bool float_view_is_valid(const FloatView& view) { return float_view_validate(view).ok(); }

FloatCheckResult float_view_require_packed(const FloatView& view) {
  FloatViewResult r = float_view_validate(view);
  if (!r.ok()) return FloatCheckResult::failure(r.error);
  if (view.layout != kFloatLayoutChw || r.value.row != view.width ||
      r.value.plane != uint64_t{view.width} * view.height) {
    return FloatCheckResult::failure(
        "inference requires packed CHW storage; use copy_tensor for strided or HWC input");
  }
  return FloatCheckResult::success(0);
}

FloatBufferResult float_view_copy_chw(const FloatView& view) {
  FloatViewResult r = float_view_validate(view);
  if (!r.ok()) return FloatBufferResult::failure(r.error);
  const uint64_t w = view.width, h = view.height, ch = view.channels;
  const uint64_t count = w * h * ch;
  auto* out = static_cast<float*>(std::malloc(count * sizeof(float)));
  if (out == nullptr) return FloatBufferResult::failure("out of memory copying CHW tensor");
  const float* src = view.data;
  if (view.layout == kFloatLayoutChw) {
    for (uint64_t c = 0; c < ch; ++c) {
      for (uint64_t y = 0; y < h; ++y) {
        std::memcpy(out + (c * h + y) * w, src + c * r.value.plane + y * r.value.row, w * 4);
      }
    }
  } else {
    // Interleaved to planar, a row at a time so reads stay sequential.
    for (uint64_t y = 0; y < h; ++y) {
      const float* row = src + y * r.value.row;
      for (uint64_t c = 0; c < ch; ++c) {
        float* dst = out + (c * h + y) * w;
        for (uint64_t x = 0; x < w; ++x) dst[x] = row[x * ch + c];
      }
    }
  }
  return FloatBufferResult::success(FloatBuffer{out, count});
}

}  // namespace vorn
