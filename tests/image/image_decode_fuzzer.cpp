// Fuzzes JPEG and PNG decoding. PNG inputs are also decoded with their chunk
// CRCs repaired, so mutations reach past the CRC check into libpng's and our
// handling of the image data. The area limit is lowered so that no run spends
// seconds on a huge (legal) image.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image/decode_internal.h"

namespace {

constexpr uint64_t kFuzzMaxArea = 1 << 16;

void repair_png_crcs(std::vector<uint8_t>& b) {
  size_t pos = 8;
  while (b.size() - pos >= 12) {
    const uint64_t len = uint64_t{b[pos]} << 24 | uint64_t{b[pos + 1]} << 16 |
                         uint64_t{b[pos + 2]} << 8 | b[pos + 3];
    if (len > b.size() - pos - 12) return;
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0, b.data() + pos + 4, static_cast<uInt>(len + 4)));
    uint8_t* c = b.data() + pos + 8 + len;
    c[0] = static_cast<uint8_t>(crc >> 24);
    c[1] = static_cast<uint8_t>(crc >> 16);
    c[2] = static_cast<uint8_t>(crc >> 8);
    c[3] = static_cast<uint8_t>(crc);
    pos += len + 12;
  }
}

void decode_once(const uint8_t* data, size_t size) {
  vorn::DecodedImage image{};
  char error[vorn::kImageErrorSize];
  if (vorn::image_decode_bytes_limited(data, size, kFuzzMaxArea, &image, error)) {
    if (image.pixels == nullptr || !vorn::image_dims_valid(image.width, image.height) ||
        image.orientation < 1 || image.orientation > 8) {
      __builtin_trap();
    }
    // Touch the first and last byte so the sanitizer checks the block size.
    const uint64_t n = uint64_t{image.width} * image.height * 3;
    volatile uint8_t sink = image.pixels[0] ^ image.pixels[n - 1];
    (void)sink;
    vorn::decoded_image_free(&image);
  } else if (image.pixels != nullptr || error[0] == '\0') {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode_once(data, size);
  if (size >= 8 && data[0] == 0x89 && data[1] == 'P') {
    std::vector<uint8_t> copy(data, data + size);
    repair_png_crcs(copy);
    decode_once(copy.data(), copy.size());
  }
  return 0;
}
