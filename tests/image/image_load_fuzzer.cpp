// Fuzzes the PPM reader of the frame loaders and the checks of
// decoded_image_from_pixels: the first bytes choose sides, stride, layout and
// orientation, the rest is the pixel buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/decode_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The PPM path; other formats go to the decoder, fuzzed on its own.
  if (size >= 2 && data[0] == 'P' && data[1] == '6') {
    vorn::PpmHeader header{};
    if (vorn::ppm_parse_header(data, size, &header) &&
        (header.data_offset > 256 || header.data_bytes != uint64_t{header.width} * header.height * 3)) {
      __builtin_trap();
    }
    uint32_t w = 0, h = 0, o = 0;
    uint8_t* px = nullptr;
    if (vorn::image_load_bytes_rgb8(data, size, &w, &h, &o, &px)) {
      volatile uint8_t sink = px[uint64_t{w} * h * 3 - 1];
      (void)sink;
      std::free(px);
    }
    return 0;
  }
  if (size < 12) return 0;
  const uint32_t width = (uint32_t{data[0]} | uint32_t{data[1]} << 8) % 300;
  const uint32_t height = (uint32_t{data[2]} | uint32_t{data[3]} << 8) % 300;
  uint64_t stride = 0;
  std::memcpy(&stride, data + 4, 8);
  // Mostly plausible strides, sometimes wild ones that must not wrap.
  if ((data[0] & 0x80) == 0) stride %= 2048;
  const uint32_t layout = data[1] >> 5;
  const uint32_t orientation = data[3] >> 4;
  vorn::DecodedImage image{};
  char error[vorn::kImageErrorSize];
  if (vorn::decoded_image_from_pixels(data + 12, size - 12, width, height, stride, layout,
                                      orientation, &image, error)) {
    volatile uint8_t sink = image.pixels[uint64_t{image.width} * image.height * 3 - 1];
    (void)sink;
    vorn::decoded_image_free(&image);
  }
  return 0;
}
