// Image decoding: JPEG, PNG (8 bits a channel at most) and binary PPM into
// packed 8-bit RGB, with the EXIF orientation applied so pixels come out
// upright. Frames use the Result-returning loaders at the bottom; generation
// uses the DecodedImage producers.
//
// Error buffers are optional caller-owned blocks of kImageErrorSize bytes;
// producers write a NUL-terminated message there (cut to 255 bytes) and a
// null buffer means "no message". Messages about broken JPEG or PNG data
// always name the format ("JPEG", "PNG"), which callers use to tell a decode
// failure from an unsupported format.
#pragma once
#include <cstdint>
#include <string_view>

#include "base/result.h"

namespace vorn {

inline constexpr uint32_t kImageMaxSide = 32768;
inline constexpr uint64_t kImageMaxArea = 100000000;
inline constexpr uint64_t kImageErrorSize = 256;
// Largest encoded file image_decode_file reads into memory (512 MiB).
inline constexpr uint64_t kImageMaxFileBytes = 536870912;

// Packed RGB, 3 bytes a pixel, stride 3 * width. Owned by whoever holds the
// record; release with decoded_image_free. Every producer keeps each side in
// 1..kImageMaxSide and the area at most kImageMaxArea.
struct DecodedImage {
  uint32_t width;
  uint32_t height;
  uint32_t orientation;  // EXIF orientation that was applied, 1..8
  uint32_t reserved;     // 0
  uint8_t* pixels;       // malloc heap
};

// Layout of caller pixels given to decoded_image_from_pixels.
inline constexpr uint32_t kPixelLayoutRgb = 1;   // 3 bytes a pixel
inline constexpr uint32_t kPixelLayoutRgbx = 2;  // 4 bytes, fourth ignored
inline constexpr uint32_t kPixelLayoutBgrx = 3;  // 4 bytes, fourth ignored

// True when both sides are in 1..kImageMaxSide and the area at most
// kImageMaxArea.
bool image_dims_valid(uint32_t width, uint32_t height);

// Sets width and height, orientation 1, and allocates (uninitialised)
// pixels. Bounds are checked before anything is allocated. Any pixels the
// record held are not freed: pass a zeroed or released record.
bool decoded_image_alloc(DecodedImage* image, uint32_t width, uint32_t height, char* error);
// Frees the pixels and zeroes the record; null is fine.
void decoded_image_free(DecodedImage* image);
// Applies EXIF orientation 1..8 to the pixels (sides swap for 5..8) and
// records it. On failure the image is left as it was.
bool decoded_image_orient(DecodedImage* image, uint32_t orientation, char* error);
// Copies caller pixels (any stride, layout 1..3) into a new packed RGB
// image and applies the orientation. The image is zeroed on failure.
bool decoded_image_from_pixels(const uint8_t* pixels, uint64_t length, uint32_t width,
                               uint32_t height, uint64_t stride, uint32_t layout,
                               uint32_t orientation, DecodedImage* image, char* error);

// Decodes JPEG or PNG bytes (orientation applied). The image is zeroed on
// failure.
bool image_decode_bytes(const uint8_t* data, uint64_t length, DecodedImage* image, char* error);
// Reads a whole file (8 bytes .. kImageMaxFileBytes) and decodes it as
// image_decode_bytes does.
bool image_decode_file(const char* path, DecodedImage* image, char* error);

// The VornStatus code of a producer's error message: VORN_STATUS_IMAGE_FORMAT
// when it says the image is of a kind the decoders do not take (an unknown
// format, a CMYK JPEG, more than 8 bits a channel, an unsupported JPEG
// process), VORN_STATUS_IMAGE_DECODE for every other failure.
uint32_t image_error_status(std::string_view message);

// EXIF readers: each answers an orientation 1..8, 1 when nothing usable is
// found. exif_orientation reads a TIFF block strictly (SHORT, count 1),
// exif_tiff_orientation leniently (any type and count), and jpeg_find_exif
// walks a JPEG's segments to its Exif block.
uint32_t exif_orientation(const uint8_t* block, uint64_t length);
uint32_t exif_tiff_orientation(const uint8_t* block, uint64_t length);
uint32_t jpeg_find_exif(const uint8_t* data, uint64_t length);

// Loaders that also read PPM "P6" (maximum value 255). On success *pixels is
// a malloc block of width * height * 3 bytes that the caller frees with
// free(); *orientation (when asked) is the orientation still to apply: 1
// when the decoder applied one itself.
bool image_load_file_rgb8(const char* path, uint32_t* width, uint32_t* height,
                          uint32_t* orientation, uint8_t** pixels);
bool image_load_bytes_rgb8(const uint8_t* data, uint64_t length, uint32_t* width,
                           uint32_t* height, uint32_t* orientation, uint8_t** pixels);

// Decoded RGB pixels for frames; pixels is a malloc block the caller frees
// with free().
struct RgbImage {
  uint32_t width;
  uint32_t height;
  uint32_t orientation;
  uint8_t* pixels;
};
// Error texts are static: "image path contains NUL", "failed to decode
// image", "failed to decode encoded image bytes".
using RgbImageResult = Result<RgbImage, const char*>;
// The path is (text, length), need not be NUL-terminated and must hold no NUL.
RgbImageResult image_file_rgb(const char* path, uint64_t length);
RgbImageResult image_bytes_rgb(const uint8_t* data, uint64_t length);

}  // namespace vorn
