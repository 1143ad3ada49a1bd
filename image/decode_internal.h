// Pieces shared by the decoders inside image/: error-buffer writing, the
// bounds check with a caller-chosen area limit, and the format decoders.
#pragma once
#include <cstdint>

#include "image/decode.h"

namespace vorn {

// Writes msg into a kImageErrorSize-byte buffer (cut to 255 bytes, NUL
// terminated). A null buffer is ignored.
void image_set_error(char* error, const char* msg);
// Writes prefix + msg, unless msg already names the format word `word`, in
// which case msg alone.
void image_set_error_named(char* error, const char* word, const char* prefix, const char* msg);

bool image_dims_within(uint32_t width, uint32_t height, uint64_t max_area);
// decoded_image_alloc with a lower area limit (the fuzz targets use one so
// that every run stays small); max_area above kImageMaxArea is clamped.
bool decoded_image_alloc_limited(DecodedImage* image, uint32_t width, uint32_t height,
                                 uint64_t max_area, char* error);

// Format decoders: on failure the image is freed and zeroed and the message
// is in the buffer. They apply no orientation.
bool jpeg_decode_rgb(const uint8_t* data, uint64_t length, uint64_t max_area, DecodedImage* image,
                     char* error);
bool png_decode_rgb(const uint8_t* data, uint64_t length, uint64_t max_area, DecodedImage* image,
                    char* error);

// The encoded format told from the first bytes: the JPEG start-of-image
// marker or the 8-byte PNG signature. Callers have checked length >= 8.
enum class EncodedFormat { unknown, jpeg, png };
EncodedFormat image_encoded_format(const uint8_t* data);

// The orientation that image_decode_bytes applies: the first JPEG Exif APP1
// segment or PNG eXIf chunk, read with exif_orientation; 1 when none.
uint32_t image_scan_orientation(const uint8_t* data, uint64_t length);

// image_decode_bytes with a lower area limit.
bool image_decode_bytes_limited(const uint8_t* data, uint64_t length, uint64_t max_area,
                                DecodedImage* image, char* error);

// A binary PPM header found in the first bytes of an input.
struct PpmHeader {
  uint32_t width;
  uint32_t height;
  uint64_t data_offset;  // first pixel byte
  uint64_t data_bytes;   // width * height * 3
};
// Parses a "P6" header with maximum value 255 in window[0..length) (callers
// pass at most the first 256 bytes). False when any rule is broken.
bool ppm_parse_header(const uint8_t* window, uint64_t length, PpmHeader* header);

}  // namespace vorn
