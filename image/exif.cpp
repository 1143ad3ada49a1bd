// EXIF orientation readers. Every read is checked against the block length
// first: these run on untrusted bytes.
#include <cstring>

#include "image/decode_internal.h"

namespace vorn {

namespace {

constexpr uint16_t kOrientationTag = 274;
constexpr uint16_t kTypeShort = 3;

struct TiffOrder {
  bool big;
  uint16_t u16(const uint8_t* p) const {
    return big ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
  }
  uint32_t u32(const uint8_t* p) const {
    return big ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
               : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
  }
};

// Byte order mark and magic 42; the block is at least 8 bytes long.
bool tiff_order(const uint8_t* block, TiffOrder* order) {
  if (block[0] == 'M' && block[1] == 'M') {
    order->big = true;
  } else if (block[0] == 'I' && block[1] == 'I') {
    order->big = false;
  } else {
    return false;
  }
  return order->u16(block + 2) == 42;
}

uint32_t be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint32_t valid_or_one(uint32_t v) { return v >= 1 && v <= 8 ? v : 1; }

bool is_exif_header(const uint8_t* p) { return std::memcmp(p, "Exif\0\0", 6) == 0; }

uint32_t jpeg_segment_orientation(const uint8_t* data, uint64_t length) {
  uint64_t pos = 2;
  while (pos < length) {
    if (data[pos] != 0xFF) return 1;
    while (pos < length && data[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= length) return 1;
    const uint8_t marker = data[pos++];
    if (marker == 0xD9 || marker == 0xDA) return 1;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (length - pos < 2) return 1;
    const uint32_t seg = be16(data + pos);
    if (seg < 2 || seg > length - pos) return 1;
    if (marker == 0xE1 && seg >= 8 && is_exif_header(data + pos + 2)) {
      return exif_orientation(data + pos + 8, seg - 8);
    }
    pos += seg;
  }
  return 1;
}

uint32_t png_chunk_orientation(const uint8_t* data, uint64_t length) {
  uint64_t pos = 8;
  while (length - pos > 11) {
    const uint64_t chunk = be32(data + pos);
    if (chunk > length - pos - 12) return 1;
    if (std::memcmp(data + pos + 4, "eXIf", 4) == 0) {
      return exif_orientation(data + pos + 8, chunk);
    }
    pos += chunk + 12;
  }
  return 1;
}

}  // namespace

uint32_t exif_orientation(const uint8_t* block, uint64_t length) {
  TiffOrder order{};
  if (block == nullptr || length < 8 || !tiff_order(block, &order)) return 1;
  const uint64_t ifd = order.u32(block + 4);
  if (ifd > length - 2) return 1;
  const uint64_t count = order.u16(block + ifd);
  if (count < 1 || count > (length - (ifd + 2)) / 12) return 1;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* e = block + ifd + 2 + 12 * i;
    if (order.u16(e) == kOrientationTag && order.u16(e + 2) == kTypeShort &&
        order.u32(e + 4) == 1) {
      return valid_or_one(order.u16(e + 8));
    }
  }
  return 1;
}

uint32_t exif_tiff_orientation(const uint8_t* block, uint64_t length) {
  TiffOrder order{};
  if (block == nullptr || length < 22 || !tiff_order(block, &order)) return 1;
  const uint64_t ifd = order.u32(block + 4);
  if (ifd > length - 2) return 1;
  const uint64_t count = order.u16(block + ifd);
  if (count == 0) return 1;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t e = ifd + 2 + 12 * i;
    if (e > length - 12) break;
    if (order.u16(block + e) == kOrientationTag) return valid_or_one(order.u16(block + e + 8));
  }
  return 1;
}

uint32_t jpeg_find_exif(const uint8_t* data, uint64_t length) {
  if (data == nullptr || length < 12 || data[0] != 0xFF || data[1] != 0xD8) return 1;
  uint64_t pos = 2;
  while (length - pos >= 4) {
    if (data[pos] != 0xFF) return 1;
    const uint8_t marker = data[pos + 1];
    if (marker == 0xD9 || marker == 0xDA) return 1;
    const uint32_t seg = be16(data + pos + 2);
    if (seg < 2 || seg > length - pos - 2) return 1;
    if (marker == 0xE1 && seg >= 9 && is_exif_header(data + pos + 4)) {
      const uint32_t o = exif_tiff_orientation(data + pos + 10, seg - 8);
      if (o >= 2 && o <= 8) return o;
    }
    pos += 2 + seg;
  }
  return 1;
}

uint32_t image_scan_orientation(const uint8_t* data, uint64_t length) {
  if (data == nullptr || length < 8) return 1;
  switch (image_encoded_format(data)) {
    case EncodedFormat::jpeg: return jpeg_segment_orientation(data, length);
    case EncodedFormat::png: return png_chunk_orientation(data, length);
    case EncodedFormat::unknown: break;
  }
  return 1;
}

}  // namespace vorn
