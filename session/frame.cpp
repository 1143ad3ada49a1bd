#include "session/frame.h"

#include <cstdlib>
#include <cstring>

#include "base/atomics.h"
#include "image/orient.h"
#include "image/pixels.h"

namespace vorn {

// Frames and pixel views share one table of pixel sizes.
static_assert(VORN_PIXEL_RGB == kPixelRgb && VORN_PIXEL_BGR == kPixelBgr &&
              VORN_PIXEL_RGBA == kPixelRgba && VORN_PIXEL_BGRA == kPixelBgra &&
              VORN_PIXEL_GRAY == kPixelGray);

FramePixelBuffer* frame_buffer_new(uint8_t* pixels, uint64_t size) {
  auto* buffer = static_cast<FramePixelBuffer*>(std::malloc(sizeof(FramePixelBuffer)));
  if (buffer == nullptr) return nullptr;
  buffer->refs = 1;
  buffer->pixels = pixels;
  buffer->size = size;
  return buffer;
}

void frame_buffer_retain(FramePixelBuffer* buffer) {
  if (buffer != nullptr) atomic_fetch_add_u32(&buffer->refs, 1, 0);
}

void frame_buffer_release(FramePixelBuffer* buffer) {
  if (buffer == nullptr) return;
  // Acquire-release so the last holder sees every write made through the
  // other views before it frees the pixels.
  if (atomic_fetch_sub_u32(&buffer->refs, 1, 3) <= 1) {
    std::free(buffer->pixels);
    std::free(buffer);
  }
}

namespace {

// Whether [data, data + need) lies inside the frame's own buffer: the caller
// is re-binding pixels the frame already owns.
bool inside_owner(const Frame* frame, const uint8_t* data, uint64_t need) {
  const FramePixelBuffer* owner = frame->owner;
  if (owner == nullptr || data < owner->pixels) return false;
  uint64_t offset = uint64_t(data - owner->pixels);
  return offset <= owner->size && need <= owner->size - offset;
}

void frame_bind(Frame* frame, FramePixelBuffer* owner, const uint8_t* data, uint32_t width,
                uint32_t height, uint64_t stride, uint32_t format) {
  frame->owner = owner;
  frame->data = data;
  frame->width = width;
  frame->height = height;
  frame->stride = stride;
  frame->format = format;
  frame->orientation = 1;
  error_clear(&frame->error);
}

}  // namespace

bool frame_adopt_rgb(Frame* frame, uint8_t* pixels, uint32_t width, uint32_t height) {
  uint64_t size = uint64_t(width) * height;
  if (__builtin_mul_overflow(size, uint64_t(3), &size)) {
    std::free(pixels);
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid pixel pointer, dimensions, or format");
    return false;
  }
  FramePixelBuffer* buffer = frame_buffer_new(pixels, size);
  if (buffer == nullptr) {
    std::free(pixels);
    error_set(&frame->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating FramePixelBuffer");
    return false;
  }
  frame_buffer_release(frame->owner);
  frame_bind(frame, buffer, pixels, width, height, uint64_t(width) * 3, VORN_PIXEL_RGB);
  return true;
}

bool frame_set_pixels(Frame* frame, const void* data, uint64_t length, uint32_t width,
                      uint32_t height, uint64_t stride, uint32_t format, uint32_t orientation,
                      bool copy) {
  const uint64_t bpp = pixel_format_bytes(format);
  if (width == 0 || height == 0 || width > VORN_MAX_FRAME_SIDE || height > VORN_MAX_FRAME_SIDE ||
      data == nullptr || bpp == 0) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid pixel pointer, dimensions, or format");
    return false;
  }
  uint64_t row_bytes = bpp * width;
  if (stride == 0) stride = row_bytes;
  if (stride < row_bytes) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT,
              "Row stride is smaller than width * bytes_per_pixel");
    return false;
  }
  // A stride large enough to wrap the product would otherwise pass the length
  // check and let every later row read wild memory.
  uint64_t need = 0;
  if (__builtin_mul_overflow(stride, uint64_t(height - 1), &need) ||
      __builtin_add_overflow(need, row_bytes, &need) || length < need) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT,
              "Pixel buffer length is smaller than required stride * height");
    return false;
  }
  if (orientation == 0) orientation = 1;
  if (orientation > 8) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "EXIF orientation must be in 1..8");
    return false;
  }
  const auto* src = static_cast<const uint8_t*>(data);
  if (orientation != 1) {
    auto* upright = static_cast<uint8_t*>(std::malloc(uint64_t(width) * height * 3));
    if (upright == nullptr) {
      error_set(&frame->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory rotating pixel buffer");
      return false;
    }
    orient_to_rgb(src, width, height, stride, format, orientation, upright);
    bool swap = orientation >= 5;
    return frame_adopt_rgb(frame, upright, swap ? height : width, swap ? width : height);
  }
  if (!copy) {
    // Borrowing from the frame's own buffer keeps the reference, or the
    // pixels would be freed under the new view.
    FramePixelBuffer* keep = inside_owner(frame, src, need) ? frame->owner : nullptr;
    if (keep == nullptr) frame_buffer_release(frame->owner);
    frame_bind(frame, keep, src, width, height, stride, format);
    return true;
  }
  auto* pixels = static_cast<uint8_t*>(std::malloc(row_bytes * height));
  if (pixels == nullptr) {
    error_set(&frame->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory copying Frame pixels");
    return false;
  }
  if (stride == row_bytes) {
    std::memcpy(pixels, src, row_bytes * height);
  } else {
    for (uint32_t y = 0; y < height; ++y) std::memcpy(pixels + y * row_bytes, src + y * stride, row_bytes);
  }
  FramePixelBuffer* buffer = frame_buffer_new(pixels, row_bytes * height);
  if (buffer == nullptr) {
    std::free(pixels);
    error_set(&frame->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating FramePixelBuffer");
    return false;
  }
  frame_buffer_release(frame->owner);
  frame_bind(frame, buffer, pixels, width, height, row_bytes, format);
  return true;
}

bool frame_crop_into(const Frame* source, Frame* destination, int32_t x, int32_t y,
                     uint32_t width, uint32_t height) {
  if (source == nullptr || source->data == nullptr || source->width == 0 || source->height == 0) {
    error_set(&destination->error, VORN_STATUS_INVALID_ARGUMENT, "Source frame is empty or null");
    return false;
  }
  // 64-bit sums: x + width can pass 2^31 for any caller-chosen rectangle.
  int64_t sw = source->width, sh = source->height;
  int64_t left = x < 0 ? 0 : (x > sw ? sw : x);
  int64_t top = y < 0 ? 0 : (y > sh ? sh : y);
  int64_t right = int64_t(x) + width < sw ? int64_t(x) + width : sw;
  int64_t bottom = int64_t(y) + height < sh ? int64_t(y) + height : sh;
  int64_t crop_w = right > left ? right - left : 0;
  int64_t crop_h = bottom > top ? bottom - top : 0;
  if (crop_w < 1 || crop_h < 1) {
    error_set(&destination->error, VORN_STATUS_INVALID_ARGUMENT,
              "Crop rectangle has zero or negative area after clamping");
    return false;
  }
  const uint64_t bpp = pixel_format_bytes(source->format);
  if (bpp == 0) {
    error_set(&destination->error, VORN_STATUS_INVALID_ARGUMENT, "Source frame has invalid pixel format");
    return false;
  }
  // Read everything from the source before touching the destination: they
  // may be the same frame.
  FramePixelBuffer* owner = source->owner;
  const uint8_t* data = source->data + uint64_t(top) * source->stride + uint64_t(left) * bpp;
  uint64_t stride = source->stride;
  uint32_t format = source->format;
  frame_buffer_retain(owner);
  frame_buffer_release(destination->owner);
  frame_bind(destination, owner, data, uint32_t(crop_w), uint32_t(crop_h), stride, format);
  return true;
}

}  // namespace vorn
