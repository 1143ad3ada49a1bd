// Encoded bytes and files to upright RGB: format detection, EXIF orientation
// and the whole-file read.
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/files.h"
#include "image/decode_internal.h"
#include "vorn.h"

namespace vorn {

EncodedFormat image_encoded_format(const uint8_t* data) {
  static constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (data[0] == 0xFF && data[1] == 0xD8) return EncodedFormat::jpeg;
  if (std::memcmp(data, kPngSignature, 8) == 0) return EncodedFormat::png;
  return EncodedFormat::unknown;
}

bool image_decode_bytes_limited(const uint8_t* data, uint64_t length, uint64_t max_area,
                                DecodedImage* image, char* error) {
  if (image == nullptr) {
    image_set_error(error, "Missing image output");
    return false;
  }
  *image = DecodedImage{};
  image_set_error(error, "");
  if (data == nullptr || length < 8) {
    image_set_error(error, "Cannot read image");
    return false;
  }
  const uint32_t orientation = image_scan_orientation(data, length);
  const EncodedFormat format = image_encoded_format(data);
  bool ok;
  if (format == EncodedFormat::jpeg) {
    ok = jpeg_decode_rgb(data, length, max_area, image, error);
  } else if (format == EncodedFormat::png) {
    ok = png_decode_rgb(data, length, max_area, image, error);
  } else {
    image_set_error(error, "Supported image formats are RGB/grayscale JPEG and PNG");
    return false;
  }
  if (!ok) return false;
  if (!decoded_image_orient(image, orientation, error)) {
    decoded_image_free(image);
    return false;
  }
  return true;
}

bool image_decode_bytes(const uint8_t* data, uint64_t length, DecodedImage* image, char* error) {
  return image_decode_bytes_limited(data, length, kImageMaxArea, image, error);
}

uint32_t image_error_status(std::string_view message) {
  std::string lower(message);
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  const bool format = lower.find("unsupported") != std::string::npos ||
                      message.find("Supported image formats") != std::string_view::npos ||
                      message.find("8-bit") != std::string_view::npos;
  return format ? VORN_STATUS_IMAGE_FORMAT : VORN_STATUS_IMAGE_DECODE;
}

bool image_decode_file(const char* path, DecodedImage* image, char* error) {
  if (image != nullptr) *image = DecodedImage{};
  if (path == nullptr) {
    image_set_error(error, "Missing image path");
    return false;
  }
  // A FIFO or a device is refused unopened: it could block the call or
  // never end.
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) {
    image_set_error(error, "Cannot read image");
    return false;
  }
  if (size < 8 || static_cast<uint64_t>(size) > kImageMaxFileBytes) {
    ::close(fd);
    image_set_error(error, "Invalid encoded image size");
    return false;
  }
  auto* bytes = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
  if (bytes == nullptr) {
    ::close(fd);
    image_set_error(error, "Image allocation failed");
    return false;
  }
  const bool read = pread_all(fd, bytes, static_cast<uint64_t>(size), 0);
  ::close(fd);
  if (!read) {
    std::free(bytes);
    image_set_error(error, "Cannot read image");
    return false;
  }
  const bool ok = image_decode_bytes(bytes, static_cast<uint64_t>(size), image, error);
  std::free(bytes);
  return ok;
}

}  // namespace vorn
