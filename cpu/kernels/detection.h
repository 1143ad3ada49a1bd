// Detection operators: DetrTopK, MaskToBoxLogit and NonMaxSuppression (the
// YoloNms post-processing is in yolo_nms.h).
//
// NonMaxSuppression node encoding, written by the converter and read by the
// kernel (this is the one place it is defined):
//   attribute word 0   largest number of boxes selected per batch and class,
//                      a u64; 0 means 200; values above 256 select 256
//   attribute word 14  IoU threshold, f32 bits in the low 32 bits: a box is
//                      suppressed when its IoU with a selected box is greater
//   attribute word 15  score threshold, f32 bits in the low 32 bits: a box is
//                      a candidate only when its score is greater; a model
//                      without a score threshold is stored as -infinity
//                      (0xFF800000), since 0 bits mean a threshold of 0.0
//   input 0 boxes [B, N, 4], input 1 scores [B, Cl, N]; output [rows, 3]
//   holding (batch, class, box index) rows, unused rows zero.
// A node that still names inputs 2, 3 or 4 (max boxes, IoU threshold, score
// threshold as one-element weights) takes those values instead of the words.
#pragma once
#include <cstdint>

namespace vorn {

constexpr uint64_t kNmsMaxBoxesWord = 0;
constexpr uint64_t kNmsIouThresholdWord = 14;
constexpr uint64_t kNmsScoreThresholdWord = 15;
constexpr uint64_t kNmsDefaultMaxBoxes = 200;
constexpr uint64_t kNmsMaxBoxesLimit = 256;

// DetrTopK keeps the best 300 queries; MaskToBoxLogit reads 300 masks of
// 200 x 200.
constexpr uint64_t kDetrKeep = 300;
constexpr uint64_t kMaskCount = 300;
constexpr uint64_t kMaskSide = 200;

}  // namespace vorn
