// One image frame to the planar f32 tensor of a model's image input:
// stretch, letterbox or centre crop with 11-bit fixed-point bilinear
// sampling, RGB or BGR channel order and per-channel normalisation, plus the
// source-to-tensor mapping that box decoding inverts.
#pragma once
#include <cstdint>

#include "image/preprocess.h"
#include "session/frame.h"

namespace vorn {

struct FrameTensorSettings {
  uint32_t resize_mode;  // VornResizeMode; other values stretch
  uint8_t letterbox_pad;
  uint8_t bgr;  // bit 0: channels B, G, R
  Normalization norm;  // a std of exactly 0 divides by 1
};

// tensor = source x scale + pad, per axis. ok is false when the sampling
// tables could not be allocated (nothing was written then).
struct FrameMapping {
  float scale_x;
  float scale_y;
  float pad_x;
  float pad_y;
  bool ok;
};

// Channel values 0..255 at the fractional source position (x, y), clamped
// into the frame; c[0..2] = R, G, B, or B, G, R with bgr set.
void bilinear_sample(const Frame& frame, bool bgr, float x, float y, float c[3]);

// Fills dst (3 planes of width x height floats) from a frame with pixels.
// A width or height of 0 writes nothing; the mapping is still answered.
// Never throws.
FrameMapping frame_to_tensor(const FrameTensorSettings& settings, const Frame& frame,
                             uint32_t width, uint32_t height, float* dst);

}  // namespace vorn
