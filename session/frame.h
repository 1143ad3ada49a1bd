// The frame handle: 8-bit pixels in one of five layouts, either borrowed from
// the caller or owned through a reference-counted buffer that crops share.
#pragma once
#include <cstddef>
#include <cstdint>

#include "session/error_record.h"
#include "vorn.h"

namespace vorn {

// Owned pixels shared by every frame that views them. The count is changed
// atomically so views of one buffer may be freed on different threads.
struct FramePixelBuffer {
  uint32_t refs;
  uint8_t* pixels;  // malloc heap
  uint64_t size;
};

}  // namespace vorn

struct VornFrame {
  vorn::FramePixelBuffer* owner;  // null while the pixels are borrowed
  const uint8_t* data;            // first pixel of the first row
  uint32_t width;
  uint32_t height;
  uint64_t stride;  // bytes from one row to the next
  uint32_t format;  // VornPixelFormat; 0 without pixels
  uint32_t orientation;  // 1 once pixels are bound: orientations are applied, not stored
  vorn::ErrorRecord error;
};

namespace vorn {

using Frame = ::VornFrame;

// Wraps malloc'd pixels with a count of 1; null when memory runs out (the
// pixels are then still the caller's).
FramePixelBuffer* frame_buffer_new(uint8_t* pixels, uint64_t size);
void frame_buffer_retain(FramePixelBuffer* buffer);
// Drops one reference; the last one frees the pixels and the record. Null is
// accepted.
void frame_buffer_release(FramePixelBuffer* buffer);

// The bodies of the vorn_frame_* operations. Each records its result on the
// target frame, which must not be null.
bool frame_set_pixels(Frame* frame, const void* data, uint64_t length, uint32_t width,
                      uint32_t height, uint64_t stride, uint32_t format, uint32_t orientation,
                      bool copy);
// Makes malloc'd packed RGB pixels (3 x width x height bytes) the frame's own.
// On failure the pixels are freed and the frame keeps what it had.
bool frame_adopt_rgb(Frame* frame, uint8_t* pixels, uint32_t width, uint32_t height);
bool frame_crop_into(const Frame* source, Frame* destination, int32_t x, int32_t y,
                     uint32_t width, uint32_t height);
bool frame_load_file(Frame* frame, const char* path, size_t len);
bool frame_load_encoded(Frame* frame, const void* bytes, uint64_t length);

}  // namespace vorn
