// Frames from image files and encoded bytes: decoded to packed RGB and
// turned upright by their EXIF orientation.
#include <cstdlib>

#include "image/decode.h"
#include "session/frame.h"
#include "session/text.h"

namespace vorn {
namespace {

// Binds decoded pixels. An orientation the decoder left to apply goes
// through set_pixels, which turns the image and checks its sides; otherwise
// the decoded buffer itself becomes the frame's.
bool frame_take_decoded(Frame* frame, const RgbImage& image) {
  if (image.orientation >= 2 && image.orientation <= 8) {
    uint64_t length = uint64_t(image.width) * image.height * 3;
    bool ok = frame_set_pixels(frame, image.pixels, length, image.width, image.height,
                               uint64_t(image.width) * 3, VORN_PIXEL_RGB, image.orientation, true);
    std::free(image.pixels);
    return ok;
  }
  return frame_adopt_rgb(frame, image.pixels, image.width, image.height);
}

}  // namespace

bool frame_load_file(Frame* frame, const char* path, size_t len) {
  TextView text = text_view(path, len);
  if (text.len == 0) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Empty image file path");
    return false;
  }
  RgbImageResult decoded = image_file_rgb(text.ptr, text.len);
  if (!decoded.ok()) {
    error_set(&frame->error, VORN_STATUS_IMAGE_DECODE,
              decoded.error != nullptr ? decoded.error : "failed to decode image");
    return false;
  }
  return frame_take_decoded(frame, decoded.value);
}

bool frame_load_encoded(Frame* frame, const void* bytes, uint64_t length) {
  if (bytes == nullptr || length < 8) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid encoded image buffer or length");
    return false;
  }
  RgbImageResult decoded = image_bytes_rgb(static_cast<const uint8_t*>(bytes), length);
  if (!decoded.ok()) {
    error_set(&frame->error, VORN_STATUS_IMAGE_DECODE, "failed to decode encoded image bytes");
    return false;
  }
  return frame_take_decoded(frame, decoded.value);
}

}  // namespace vorn
