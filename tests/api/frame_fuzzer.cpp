// Frames from caller-described pixels and encoded bytes: the description
// (sides, stride, format, orientation, crop rectangle) comes from the fuzzer,
// and every pixel the resulting frames claim to hold is read back, so a
// check that lets a frame reach past its buffer shows up under ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vorn.h"
#include "reference/fuzz_reader.h"

namespace {

uint32_t bytes_per_pixel(uint32_t format) {
  switch (format) {
    case VORN_PIXEL_RGB:
    case VORN_PIXEL_BGR: return 3;
    case VORN_PIXEL_RGBA:
    case VORN_PIXEL_BGRA: return 4;
    case VORN_PIXEL_GRAY: return 1;
    default: return 0;
  }
}

uint32_t touch_all(const VornFrame* f) {
  const uint8_t* p = vorn_frame_data_ptr(f);
  if (p == nullptr) return 0;
  uint32_t bpp = bytes_per_pixel(vorn_frame_format(f));
  uint64_t stride = vorn_frame_stride(f);
  uint32_t sum = 0;
  for (uint32_t y = 0; y < vorn_frame_height(f); ++y) {
    const uint8_t* row = p + y * stride;
    for (uint64_t i = 0; i < uint64_t(vorn_frame_width(f)) * bpp; ++i) sum += row[i];
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vorn::test::FuzzReader in{data, size};
  uint8_t selector = in.take<uint8_t>();
  uint32_t width = in.take<uint16_t>();
  uint32_t height = in.take<uint16_t>();
  uint64_t stride = (selector & 0x80) ? in.take<uint64_t>() : in.take<uint8_t>();
  uint32_t format = in.take<uint8_t>() % 7;
  uint32_t orientation = in.take<uint8_t>() % 10;
  int32_t cx = in.take<int32_t>();
  int32_t cy = in.take<int32_t>();
  uint32_t cw = in.take<uint32_t>();
  uint32_t ch = in.take<uint32_t>();
  if (selector & 0x40) width |= uint32_t(selector & 3) << 14;  // around the 16384 limit
  data = in.p;  // the rest of the input is the pixels
  size = in.n;

  VornFrame* frame = vorn_frame_new();
  VornFrame* view = vorn_frame_new();
  // The pixels live in their own exact-size allocation so ASan sees the end.
  uint8_t* pixels = new uint8_t[size + 1];
  std::memcpy(pixels, data, size);
  bool copy = (selector & 1) != 0;
  if (vorn_frame_set_pixels(frame, size ? pixels : nullptr, size, width, height, stride, format,
                            orientation, copy ? 1 : 0)) {
    touch_all(frame);
    if (vorn_frame_crop_into(frame, view, cx, cy, cw, ch)) touch_all(view);
    if (vorn_frame_crop_into(view, view, cy, cx, ch, cw)) touch_all(view);
  }
  if (selector & 2) {
    if (copy || orientation > 1) delete[] pixels, pixels = nullptr;
    vorn_frame_free(frame);  // views of an owned buffer must stay readable
    frame = nullptr;
    touch_all(view);
  }
  if ((selector & 4) && vorn_frame_load_encoded(view, data, size)) touch_all(view);
  vorn_frame_free(frame);
  vorn_frame_free(view);
  delete[] pixels;
  return 0;
}
