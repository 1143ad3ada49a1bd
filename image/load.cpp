// The loaders behind frames: PPM read directly, everything else through the
// JPEG/PNG decoder, with the EXIF orientation reported back.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "image/decode_internal.h"

namespace vorn {

namespace {

constexpr uint64_t kPpmWindow = 256;
constexpr uint64_t kExifWindow = 65536;

// Reads up to length bytes at offset; the count read (0 on error).
uint64_t pread_some(int fd, uint8_t* buffer, uint64_t length, uint64_t offset) {
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) break;
    done += static_cast<uint64_t>(n);
  }
  return done;
}

// Reads the PPM pixels of an open file; null when the file does not hold a
// whole PPM image.
uint8_t* ppm_file_pixels(int fd, uint32_t* width, uint32_t* height) {
  uint8_t window[kPpmWindow];
  const uint64_t got = pread_some(fd, window, kPpmWindow, 0);
  PpmHeader header{};
  if (!ppm_parse_header(window, got, &header)) return nullptr;
  auto* pixels = static_cast<uint8_t*>(std::malloc(header.data_bytes));
  if (pixels == nullptr) return nullptr;
  if (pread_some(fd, pixels, header.data_bytes, header.data_offset) != header.data_bytes) {
    std::free(pixels);
    return nullptr;
  }
  *width = header.width;
  *height = header.height;
  return pixels;
}

void hand_over(DecodedImage* image, uint32_t exif, uint32_t* width, uint32_t* height,
               uint32_t* orientation, uint8_t** pixels) {
  *width = image->width;
  *height = image->height;
  *pixels = image->pixels;
  if (orientation != nullptr) {
    *orientation = image->orientation >= 2 && image->orientation <= 8 ? 1 : exif;
  }
  *image = DecodedImage{};
}

}  // namespace

bool image_load_file_rgb8(const char* path, uint32_t* width, uint32_t* height,
                          uint32_t* orientation, uint8_t** pixels) {
  if (orientation != nullptr) *orientation = 1;
  if (path == nullptr || width == nullptr || height == nullptr || pixels == nullptr) return false;
  uint32_t exif = 1;
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd == kNotRegularFile) return false;
  if (fd >= 0) {
    uint8_t* ppm = ppm_file_pixels(fd, width, height);
    if (ppm != nullptr) {
      ::close(fd);
      *pixels = ppm;
      return true;
    }
    if (orientation != nullptr) {
      auto* head = static_cast<uint8_t*>(std::malloc(kExifWindow));
      if (head != nullptr) {
        const uint64_t got = pread_some(fd, head, kExifWindow, 0);
        if (got >= 13) exif = jpeg_find_exif(head, got);
        std::free(head);
      }
    }
    ::close(fd);
  }
  DecodedImage image{};
  if (!image_decode_file(path, &image, nullptr)) return false;
  hand_over(&image, exif, width, height, orientation, pixels);
  return true;
}

bool image_load_bytes_rgb8(const uint8_t* data, uint64_t length, uint32_t* width,
                           uint32_t* height, uint32_t* orientation, uint8_t** pixels) {
  if (orientation != nullptr) *orientation = 1;
  if (data == nullptr || length == 0 || width == nullptr || height == nullptr ||
      pixels == nullptr) {
    return false;
  }
  PpmHeader header{};
  if (ppm_parse_header(data, length, &header) && header.data_offset <= length &&
      header.data_bytes <= length - header.data_offset) {
    auto* copy = static_cast<uint8_t*>(std::malloc(header.data_bytes));
    if (copy == nullptr) return false;
    std::memcpy(copy, data + header.data_offset, header.data_bytes);
    *width = header.width;
    *height = header.height;
    *pixels = copy;
    return true;
  }
  const uint32_t exif = orientation != nullptr ? jpeg_find_exif(data, length) : 1;
  DecodedImage image{};
  if (!image_decode_bytes(data, length, &image, nullptr)) return false;
  hand_over(&image, exif, width, height, orientation, pixels);
  return true;
}

RgbImageResult image_file_rgb(const char* path, uint64_t length) {
  if (path == nullptr) return RgbImageResult::failure("failed to decode image");
  if (length == UINT64_MAX) return RgbImageResult::failure("failed to decode image");
  if (length > 0 && std::memchr(path, 0, length) != nullptr) {
    return RgbImageResult::failure("image path contains NUL");
  }
  auto* text = static_cast<char*>(std::malloc(length + 1));
  if (text == nullptr) return RgbImageResult::failure("failed to decode image");
  std::memcpy(text, path, length);
  text[length] = '\0';
  RgbImage out{};
  const bool ok = image_load_file_rgb8(text, &out.width, &out.height, &out.orientation, &out.pixels);
  std::free(text);
  if (!ok) return RgbImageResult::failure("failed to decode image");
  return RgbImageResult::success(out);
}

RgbImageResult image_bytes_rgb(const uint8_t* data, uint64_t length) {
  RgbImage out{};
  if (!image_load_bytes_rgb8(data, length, &out.width, &out.height, &out.orientation,
                             &out.pixels)) {
    return RgbImageResult::failure("failed to decode encoded image bytes");
  }
  return RgbImageResult::success(out);
}

}  // namespace vorn
