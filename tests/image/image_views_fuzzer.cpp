// Fuzzes the checks of caller pixel and float views: the first 32 bytes pick
// sides, strides, format and lengths (sometimes wild), the rest is the
// buffer. A view that passes must be readable to its last byte, which the
// conversions below do under the sanitizers.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/float_view.h"
#include "image/pixels.h"
#include "image/preprocess.h"

namespace {

uint64_t word(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 32) return 0;
  const uint8_t* body = data + 32;
  const uint64_t body_size = size - 32;
  const bool wild = (data[0] & 1) != 0;
  const uint32_t width = static_cast<uint32_t>(wild ? word(data + 8) : data[1] % 64);
  const uint32_t height = static_cast<uint32_t>(wild ? word(data + 8) >> 32 : data[2] % 64);
  const uint64_t stride = wild ? word(data + 16) : data[3] % 256;
  const uint64_t length = wild ? word(data + 24) % (body_size + 1) : body_size;

  vorn::PixelView pv{body, length, width, height, stride, static_cast<uint32_t>(data[4] % 7)};
  if (vorn::pixels_validate(&pv)) {
    vorn::Rgb8Result rgb = vorn::pixels_to_rgb8(&pv);
    if (rgb.ok()) std::free(rgb.value.pixels);
    vorn::Normalization norm{};
    vorn::normalization_preset("imagenet", &norm);
    vorn::ImageTensorResult t = vorn::image_resize_chw(&pv, 1 + data[5] % 16, 1 + data[6] % 16, norm);
    if (t.ok()) std::free(t.value.data);
  }

  // Float views need 4-byte aligned data: copy the body into floats.
  const uint64_t floats = body_size / 4;
  auto* fdata = static_cast<float*>(std::malloc((floats + 1) * sizeof(float)));
  if (fdata == nullptr) return 0;
  std::memcpy(fdata, body, floats * 4);
  vorn::FloatView fv{fdata, wild ? length / 4 * 4 : floats * 4, width, height,
                     static_cast<uint32_t>(data[5] % 6), static_cast<uint32_t>(data[6] % 4),
                     wild ? stride : (data[7] % 16) * 4, wild ? word(data + 16) >> 3 : (data[4] % 64) * 4};
  vorn::FloatBufferResult copy = vorn::float_view_copy_chw(fv);
  if (copy.ok()) std::free(copy.value.data);
  (void)vorn::float_view_require_packed(fv);
  std::free(fdata);
  return 0;
}
