// Standalone pre-processing: image files or caller pixels to model-ready
// planar (CHW) f32 tensors with the usual normalisation presets. Nothing here
// touches a session or a frame; every routine answers a Result whose error
// is a static text.
#pragma once
#include <cstdint>
#include <string_view>

#include "base/result.h"
#include "image/pixels.h"

namespace vorn {

// Per-channel normalisation: value = fma(v, scale, -mean[c]) / std[c].
struct Normalization {
  float scale;
  float mean[3];
  float std[3];
};

// The presets by the names model metadata uses: "scale255", "raw255",
// "neg_one_to_one", "imagenet", "clip". False for any other name.
bool normalization_preset(std::string_view name, Normalization* out);

// A planar tensor of 3 planes (malloc heap, the caller frees data with
// free()), its element count, and the size of the decoded source image
// (0 when the input was not a file).
struct ImageTensor {
  float* data;
  uint64_t count;
  uint32_t source_width;
  uint32_t source_height;
};
using ImageTensorResult = Result<ImageTensor, const char*>;

// Resamples a pixel view to 3 x width x height and normalises it.
ImageTensorResult image_resize_chw(const PixelView* view, uint32_t width, uint32_t height,
                                   const Normalization& norm);

// Decode a file (EXIF orientation applied) and resize it to width x height.
// The path is (text, length) and must hold no NUL byte.
ImageTensorResult image_file_chw(const char* path, uint64_t path_length, uint32_t width,
                                 uint32_t height);                   // 0..1
ImageTensorResult image_file_chw_signed(const char* path, uint64_t path_length, uint32_t width,
                                        uint32_t height);            // -1..1
ImageTensorResult image_file_chw_255(const char* path, uint64_t path_length, uint32_t width,
                                     uint32_t height);               // 0..255
ImageTensorResult image_file_chw_imagenet(const char* path, uint64_t path_length, uint32_t width,
                                          uint32_t height);
ImageTensorResult image_file_chw_clip(const char* path, uint64_t path_length, uint32_t width,
                                      uint32_t height);
// CIE L* (0..100) over plane 0; count is width * height.
ImageTensorResult image_file_lab_lightness(const char* path, uint64_t path_length, uint32_t width,
                                           uint32_t height);

// Letterbox into side x side: scaled to fit, padded, optionally centred.
// Value mode 1 maps bytes to (v - 127.5) / 128, any other mode to v / 255.
struct LetterboxTensor {
  ImageTensor tensor;
  float scale;
  int32_t pad_x;
  int32_t pad_y;
};
using LetterboxResult = Result<LetterboxTensor, const char*>;
LetterboxResult image_letterbox_chw(const char* path, uint64_t path_length, uint32_t side,
                                    bool centred, uint8_t pad, uint32_t value_mode);

// Crops (clamped into the image), resizes to out_height rows keeping the
// aspect ratio (at most out_width columns, the rest padded) and normalises
// into caller memory of 3 x out_width x out_height floats. ImageNet
// normalisation, or -1..1 without it. Returns the width used; 0 (nothing
// written) for an empty image or output.
uint32_t image_crop_resize_chw(const uint8_t* rgb, uint32_t image_width, uint32_t image_height,
                               int64_t crop_x, int64_t crop_y, int64_t crop_width,
                               int64_t crop_height, uint32_t out_height, uint32_t out_width,
                               bool imagenet, float* destination);

// The 1024 x 1024 input of segment-anything encoders: the top-left corner of
// the image without resampling, normalised, zero elsewhere.
ImageTensorResult image_sam_1024(const char* path, uint64_t path_length);

}  // namespace vorn
