// PNG decoding through libpng, reading from memory; every colour type of at
// most 8 bits a channel comes out as packed RGB (alpha is dropped).
#include <cstdlib>
#include <cstring>

#include <png.h>

#include "image/decode_internal.h"

namespace vorn {

namespace {

struct PngSource {
  const uint8_t* data;
  uint64_t length;
  uint64_t position;
};

void png_error_to_buffer(png_structp png, png_const_charp msg) {
  image_set_error_named(static_cast<char*>(png_get_error_ptr(png)), "PNG", "PNG decoding failed: ",
                        msg);
  png_longjmp(png, 1);
}

void png_warning_ignore(png_structp, png_const_charp) {}

void png_read_from_memory(png_structp png, png_bytep out, size_t count) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (count > src->length - src->position) png_error(png, "Truncated PNG");
  std::memcpy(out, src->data + src->position, count);
  src->position += count;
}

}  // namespace

bool png_decode_rgb(const uint8_t* data, uint64_t length, uint64_t max_area, DecodedImage* image,
                    char* error) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, png_error_to_buffer,
                                           png_warning_ignore);
  if (png == nullptr) {
    image_set_error(error, "PNG allocation failed");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    image_set_error(error, "PNG allocation failed");
    return false;
  }
  PngSource source{data, length, 0};
  // png and info are not changed after this point, so they survive the jump.
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, &info, nullptr);
    decoded_image_free(image);
    return false;
  }
  png_set_read_fn(png, &source, png_read_from_memory);
  // Metadata chunks change nothing in the pixels we produce (orientation is
  // read from eXIf separately): skipping them saves libpng buffering and
  // inflating up to megabytes of text or colour profile per chunk.
  static constexpr png_byte kSkipped[] =
      "bKGD\0cHRM\0eXIf\0gAMA\0hIST\0iCCP\0iTXt\0oFFs\0pCAL\0pHYs\0sBIT\0sCAL\0sPLT\0"
      "sRGB\0sTER\0tEXt\0tIME\0zTXt";
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kSkipped, 18);
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_read_info(png, info);
  const uint32_t width = png_get_image_width(png, info);
  const uint32_t height = png_get_image_height(png, info);
  const int color_type = png_get_color_type(png, info);
  const int bit_depth = png_get_bit_depth(png, info);
  if (bit_depth > 8) png_error(png, "PNG supports at most 8-bit channels");
  if (!decoded_image_alloc_limited(image, width, height, max_area, error)) {
    png_destroy_read_struct(&png, &info, nullptr);
    decoded_image_free(image);
    return false;
  }
  // Palette images are read as one index byte a pixel and expanded here:
  // libpng's own expansion turns an index past the palette into black, and
  // a file that holds one is damaged, not dark. (Transparency goes either
  // way: the output has no alpha.)
  const bool palette = color_type == PNG_COLOR_TYPE_PALETTE;
  png_colorp colours = nullptr;
  int colour_count = 0;
  if (palette && png_get_PLTE(png, info, &colours, &colour_count) == 0) png_error(png, "PNG palette is missing");
  if (palette && bit_depth < 8) png_set_packing(png);
  if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA) {
    png_set_gray_to_rgb(png);
  }
  if ((color_type & PNG_COLOR_MASK_ALPHA) != 0) png_set_strip_alpha(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const uint64_t row_bytes = static_cast<uint64_t>(width) * 3;
  if (png_get_rowbytes(png, info) != (palette ? width : row_bytes)) png_error(png, "Unexpected PNG pixel layout");
  // Index rows sit at the start of their RGB rows until every pass is in.
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < height; ++y) png_read_row(png, image->pixels + row_bytes * y, nullptr);
  }
  png_read_end(png, nullptr);
  if (palette) {
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t* row = image->pixels + row_bytes * y;
      // Right to left: pixel x is written at 3x, past every index still unread.
      for (uint32_t x = width; x-- > 0;) {
        const uint8_t index = row[x];
        if (index >= colour_count) png_error(png, "PNG palette index out of range");
        row[3 * uint64_t(x)] = colours[index].red;
        row[3 * uint64_t(x) + 1] = colours[index].green;
        row[3 * uint64_t(x) + 2] = colours[index].blue;
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

}  // namespace vorn
