// Detection operators: DetrTopK, MaskToBoxLogit and NonMaxSuppression (the
// YoloNms post-processing is in yolo_nms.h).
//
// NonMaxSuppression reads its limits from its attribute words
// (attr::NonMaxSuppression): input 0 boxes [B, N, 4], input 1 scores
// [B, Cl, N]; output [rows, 3] holding (batch, class, box index) rows, unused
// rows zero. A node that still names inputs 2, 3 or 4 (max boxes, IoU
// threshold, score threshold as one-element weights) takes those values
// instead of the words.
#pragma once
#include <cstdint>

#include "container/detection_ops.h"

namespace vorn {

// Boxes selected per batch and class when the node says 0, and the most it
// may select.
constexpr uint64_t kNmsDefaultMaxBoxes = 200;
constexpr uint64_t kNmsMaxBoxesLimit = 256;

}  // namespace vorn
