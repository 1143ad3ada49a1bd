#include "image/box_select.h"

#include <algorithm>

namespace vorn {

void BoxPool::sift_down(uint32_t at) {
  for (;;) {
    uint32_t low = at, left = 2 * at + 1, right = left + 1;
    if (left < kBoxPoolSize && lower(heap_[left], heap_[low])) low = left;
    if (right < kBoxPoolSize && lower(heap_[right], heap_[low])) low = right;
    if (low == at) return;
    std::swap(heap_[at], heap_[low]);
    at = low;
  }
}

void BoxPool::offer(const DetectionBox& box) {
  if (size_ < kBoxPoolSize) {
    items_[size_] = box;
    heap_[size_] = uint16_t(size_);
    ++size_;
    if (size_ == kBoxPoolSize)
      for (uint32_t i = kBoxPoolSize / 2; i-- > 0;) sift_down(i);
    return;
  }
  const uint16_t lowest = heap_[0];
  if (!(box.score > items_[lowest].score)) return;
  items_[lowest] = box;
  sift_down(0);
}

float box_iou(const DetectionBox& a, const DetectionBox& b) {
  float ow = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
  float oh = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
  float inter = ow > 0.0f && oh > 0.0f ? ow * oh : 0.0f;
  float area_a = (a.x2 - a.x1) * (a.y2 - a.y1);
  float area_b = (b.x2 - b.x1) * (b.y2 - b.y1);
  float uni = area_a + area_b - inter;
  return uni > 0.0f ? inter / uni : 0.0f;
}

uint32_t BoxPool::select(uint32_t limit, float iou_threshold, DetectionBox* out) {
  // The ranking exchanges an earlier entry with a later one whenever the later
  // score is strictly greater. That exchange order fixes where equal scores
  // land, which callers see, so it is kept rather than a library sort; it
  // runs over indices so the boxes themselves never move.
  uint16_t order[kBoxPoolSize];
  for (uint32_t i = 0; i < size_; ++i) order[i] = uint16_t(i);
  for (uint32_t i = 0; i < size_; ++i)
    for (uint32_t j = i + 1; j < size_; ++j)
      if (items_[order[j]].score > items_[order[i]].score) std::swap(order[i], order[j]);

  bool suppressed[kBoxPoolSize] = {};
  uint32_t kept = 0;
  for (uint32_t i = 0; i < size_ && kept < limit; ++i) {
    if (suppressed[i]) continue;
    const DetectionBox& keep = items_[order[i]];
    out[kept++] = keep;
    for (uint32_t j = i + 1; j < size_; ++j) {
      if (suppressed[j]) continue;
      const DetectionBox& other = items_[order[j]];
      if (other.class_id == keep.class_id && box_iou(keep, other) > iou_threshold)
        suppressed[j] = true;
    }
  }
  return kept;
}

}  // namespace vorn
