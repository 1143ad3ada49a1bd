// Fuzzes the three EXIF readers and the decoder's segment and chunk walk.
#include <cstdint>

#include "image/decode_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint32_t results[] = {
      vorn::exif_orientation(data, size),
      vorn::exif_tiff_orientation(data, size),
      vorn::jpeg_find_exif(data, size),
      vorn::image_scan_orientation(data, size),
  };
  for (uint32_t r : results) {
    if (r < 1 || r > 8) __builtin_trap();
  }
  return 0;
}
