// Binary PPM ("P6", maximum value 255) header parsing. The header must sit
// in the first 256 bytes; the pixels are plain RGB bytes right after it.
#include "image/decode_internal.h"

namespace vorn {

namespace {

bool is_ppm_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Skips whitespace and '#' comments, then reads one or more digits. A number
// of more than 9 digits is refused: no valid field needs that many, and it
// keeps the value from wrapping.
bool ppm_number(const uint8_t* w, uint64_t n, uint64_t* pos, uint32_t* value) {
  uint64_t p = *pos;
  while (p < n) {
    if (is_ppm_space(w[p])) {
      ++p;
    } else if (w[p] == '#') {
      while (p < n && w[p] != '\n') ++p;
      if (p == n) return false;  // comment runs past the window
      ++p;
    } else {
      break;
    }
  }
  uint32_t v = 0;
  uint64_t digits = 0;
  while (p < n && w[p] >= '0' && w[p] <= '9') {
    if (++digits > 9) return false;
    v = v * 10 + static_cast<uint32_t>(w[p] - '0');
    ++p;
  }
  if (digits == 0) return false;
  *pos = p;
  *value = v;
  return true;
}

}  // namespace

bool ppm_parse_header(const uint8_t* window, uint64_t length, PpmHeader* header) {
  if (window == nullptr || length < 11) return false;
  if (length > 256) length = 256;
  if (window[0] != 'P' || window[1] != '6' || !is_ppm_space(window[2])) return false;
  uint64_t pos = 3;
  uint32_t width = 0, height = 0, maxval = 0;
  if (!ppm_number(window, length, &pos, &width) || !ppm_number(window, length, &pos, &height) ||
      !ppm_number(window, length, &pos, &maxval)) {
    return false;
  }
  if (!image_dims_valid(width, height) || maxval != 255) return false;
  if (pos >= length || !is_ppm_space(window[pos])) return false;
  header->width = width;
  header->height = height;
  header->data_offset = pos + 1;
  header->data_bytes = static_cast<uint64_t>(width) * height * 3;
  return true;
}

}  // namespace vorn
