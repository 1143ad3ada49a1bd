// The exported functions of the frame handle.
#include <cstdlib>
#include <cstring>

#include "session/frame.h"
#include "session/text.h"

using namespace vorn;

extern "C" {

VORN_API VornFrame* vorn_frame_new(void) {
  return static_cast<Frame*>(std::calloc(1, sizeof(Frame)));
}

VORN_API void vorn_frame_free(VornFrame* frame) {
  if (frame == nullptr) return;
  frame_buffer_release(frame->owner);
  std::free(frame);
}

VORN_API bool vorn_frame_set_pixels(VornFrame* frame, const void* data, uint64_t length,
                                    uint32_t width, uint32_t height, uint64_t stride,
                                    VornPixelFormat format, uint32_t orientation, int copy) {
  if (frame == nullptr) return false;
  return frame_set_pixels(frame, data, length, width, height, stride, format, orientation, copy != 0);
}

VORN_API bool vorn_frame_load_file(VornFrame* frame, const char* path, size_t len) {
  if (frame == nullptr) return false;
  return frame_load_file(frame, path, len);
}

VORN_API bool vorn_frame_load_encoded(VornFrame* frame, const void* bytes, uint64_t length) {
  if (frame == nullptr) return false;
  return frame_load_encoded(frame, bytes, length);
}

VORN_API bool vorn_frame_crop_into(const VornFrame* source, VornFrame* destination, int32_t x,
                                   int32_t y, uint32_t width, uint32_t height) {
  if (destination == nullptr) return false;
  return frame_crop_into(source, destination, x, y, width, height);
}

VORN_API uint32_t vorn_frame_width(const VornFrame* frame) { return frame ? frame->width : 0; }
VORN_API uint32_t vorn_frame_height(const VornFrame* frame) { return frame ? frame->height : 0; }
VORN_API VornPixelFormat vorn_frame_format(const VornFrame* frame) { return frame ? frame->format : 0; }
VORN_API uint64_t vorn_frame_stride(const VornFrame* frame) { return frame ? frame->stride : 0; }
VORN_API const uint8_t* vorn_frame_data_ptr(const VornFrame* frame) {
  return frame ? frame->data : nullptr;
}

VORN_API VornStatus vorn_frame_error_code(const VornFrame* frame) {
  return frame ? frame->error.code : VORN_STATUS_INVALID_ARGUMENT;
}
VORN_API const char* vorn_frame_error_message_ptr(const VornFrame* frame) {
  return frame ? frame->error.message : "Null Frame handle";
}
VORN_API size_t vorn_frame_error_message_len(const VornFrame* frame) {
  return frame ? size_t(frame->error.length) : 17;
}

}  // extern "C"
