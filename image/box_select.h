// Candidate selection for box decoding: the fixed pool of the best-scoring
// candidates, their ranking and class-aware non-maximum suppression.
#pragma once
#include <cstdint>

#include "image/box_decode.h"

namespace vorn {

// The kBoxPoolSize best candidates seen. While there is room a candidate is
// appended; once full, it replaces the lowest-scoring entry (the first such in
// pool order) when its score is strictly greater. A full pool keeps its
// entries in a min-heap ordered by (score, position), so the entry to replace
// is always at the root and a replacement costs a sift instead of a scan.
class BoxPool {
 public:
  void offer(const DetectionBox& box);
  uint32_t size() const { return size_; }
  const DetectionBox& operator[](uint32_t i) const { return items_[i]; }

  // Ranks the pool by score, highest first, then keeps boxes walking down the
  // ranking, each suppressing the later boxes of its class whose IoU with it
  // is above iou_threshold, until limit boxes are kept. Answers the count
  // written to out.
  uint32_t select(uint32_t limit, float iou_threshold, DetectionBox* out);

 private:
  bool lower(uint16_t a, uint16_t b) const {
    return items_[a].score < items_[b].score || (items_[a].score == items_[b].score && a < b);
  }
  void sift_down(uint32_t at);

  DetectionBox items_[kBoxPoolSize];
  uint16_t heap_[kBoxPoolSize];  // positions; valid once the pool is full
  uint32_t size_ = 0;
};

// Intersection over union of two corner boxes; 0 when the union is not
// positive.
float box_iou(const DetectionBox& a, const DetectionBox& b);

}  // namespace vorn
