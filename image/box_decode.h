// Detection boxes from the raw output tensors of common detector families:
// the layout is recognised from the tensor count, ranks and dims and the
// model's "decode" and "task" texts; candidates pass a score threshold into a
// fixed pool, are ranked, thinned by class-aware non-maximum suppression and
// mapped back onto the source image through the preprocessing scale and pad.
#pragma once
#include <cstdint>
#include <string_view>

#include "image/postprocess.h"

namespace vorn {

constexpr uint32_t kBoxPoolSize = 512;
constexpr uint32_t kBoxLandmarksMax = 17;

// A box in source-image pixels.
struct DetectionBox {
  float x1, y1, x2, y2;
  float score;
  int32_t class_id;
  uint32_t landmark_count;  // 0, 5 or 17
  float landmark_x[kBoxLandmarksMax];
  float landmark_y[kBoxLandmarksMax];
};

struct BoxDecodeSetup {
  const TensorView* tensors;
  uint32_t tensor_count;
  uint32_t input_width, input_height;    // model input the image was fitted to
  uint32_t source_width, source_height;  // 0 when no image was given
  float scale_x, scale_y, pad_x, pad_y;  // tensor = source x scale + pad
  bool corner_boxes;                     // the model's boxes are corners
  std::string_view decode, task;         // model metadata texts
  uint32_t label_count;
};

enum class BoxLayout : uint32_t {
  none,
  face_strides,      // 9 tensors: scores, distances, landmarks at strides 8, 16, 32
  boxes_and_scores,  // [1, 4, N] boxes and [1, C, N] scores
  queries,           // [1, N, C] logits and [1, N, 4] normalised boxes
  attributes,        // [1, 4 + C, N] attribute-major anchors
  pose,              // [1, 56, N]: box, score and 17 keypoints
  finished,          // [1, N, 6]: x1, y1, x2, y2, score, class
};

// The layout the tensors match, judged on shapes only.
BoxLayout box_layout_of(const BoxDecodeSetup& setup);

struct BoxDecodeResult {
  int32_t count;        // boxes written, or -1 when refused
  const char* message;  // why it was refused (status 12), else null
};

// Decodes into boxes (room for max_boxes, at most 256 are written). A layout
// that is not recognised, or whose tensors hold fewer values than it reads,
// is refused.
BoxDecodeResult decode_boxes(const BoxDecodeSetup& setup, uint32_t max_boxes,
                             float score_threshold, float iou_threshold, DetectionBox* boxes);

extern const char kBoxLayoutUnsupported[];
extern const char kBoxTensorsTooSmall[];

}  // namespace vorn
