// DetrTopK, MaskToBoxLogit and NonMaxSuppression.
#include "kernels/ops/detection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

// DetrTopK: rank queries by their best logit, keep the first 300 (equal
// scores in query order) and copy each kept query's row of input 1.
bool cpu_detr_topk_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const uint64_t queries = vx.dim(1), classes = vx.dim(2);
  const uint64_t width = node_out_value(s, node, 0).dim(2);
  const float* logits = node_in(s, node, 0);
  const float* rows = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  float score[kDetrKeep];
  uint64_t query[kDetrKeep];
  for (uint64_t k = 0; k < kDetrKeep; ++k) {
    score[k] = -1e30f;
    query[k] = 0;
  }
  for (uint64_t q = 0; q < queries; ++q) {
    const float* l = logits + q * classes;
    float best = l[0];
    for (uint64_t c = 1; c < classes; ++c)
      if (l[c] > best) best = l[c];
    if (!(best > score[kDetrKeep - 1])) continue;
    uint64_t at = kDetrKeep - 1;
    while (at > 0 && score[at - 1] < best) {
      score[at] = score[at - 1];
      query[at] = query[at - 1];
      --at;
    }
    score[at] = best;
    query[at] = q;
  }
  for (uint64_t k = 0; k < kDetrKeep; ++k)
    std::memcpy(y + k * width, rows + query[k] * width, width * sizeof(float));
  return true;
}

bool cpu_detr_topk_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 2, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vr = node_in_value(s, node, 1);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.rank() != 3 || vy.rank() != 3) return check_fail(msg, cap, "logits and output must be rank 3");
  if (vx.dim(0) == 0 || vx.dim(1) == 0 || vx.dim(2) == 0)
    return check_fail(msg, cap, "no queries or no classes");
  if (vy.dim(1) != kDetrKeep || vy.count() != kDetrKeep * vy.dim(2))
    return check_fail(msg, cap, "output must be [1, 300, W]");
  uint64_t need;
  if (__builtin_mul_overflow(vx.dim(1), vy.dim(2), &need) || vr.count() < need)
    return check_fail(msg, cap, "input 1 holds fewer than one row of %llu per query",
                      static_cast<unsigned long long>(vy.dim(2)));
  return true;
}

namespace {

float box_logit(float v) {
  v = v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v);
  return std::log(std::fmax(v, 1e-5f) / std::fmax(1.0f - v, 1e-5f));
}

}  // namespace

// MaskToBoxLogit: the bounding box of each mask's positive pixels as
// (cx, cy, w, h) in [0, 1], written as logits.
bool cpu_mask_to_box_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const float* masks = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  constexpr uint64_t plane = kMaskSide * kMaskSide;
  for_chunks(kMaskCount, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t m = begin; m < end; ++m) {
      const float* mask = masks + m * plane;
      uint64_t r0 = kMaskSide, r1 = 0, c0 = kMaskSide, c1 = 0;
      for (uint64_t r = 0; r < kMaskSide; ++r) {
        const float* row = mask + r * kMaskSide;
        for (uint64_t c = 0; c < kMaskSide; ++c) {
          if (row[c] > 0.0f) {
            r0 = std::min(r0, r);
            r1 = r;
            c0 = std::min(c0, c);
            c1 = std::max(c1, c);
          }
        }
      }
      float b[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      if (r0 < kMaskSide) {
        const float step = 0.005f;
        const float x0 = static_cast<float>(c0) * step, x1 = static_cast<float>(c1 + 1) * step;
        const float y0 = static_cast<float>(r0) * step, y1 = static_cast<float>(r1 + 1) * step;
        b[0] = (x0 + x1) * 0.5f;
        b[1] = (y0 + y1) * 0.5f;
        b[2] = x1 - x0;
        b[3] = y1 - y0;
      }
      for (uint64_t k = 0; k < 4; ++k) y[m * 4 + k] = box_logit(b[k]);
    }
  }, plane);
  return true;
}

bool cpu_mask_to_box_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  // Lowering adds a pixel-coordinate weight as input 1; the kernel derives
  // the coordinates itself and does not read it.
  if (!check_node_values(s, node, 1, 2, 1, 1, msg, cap)) return false;
  if (node_in_value(s, node, 0).count() != kMaskCount * kMaskSide * kMaskSide)
    return check_fail(msg, cap, "input must hold 300 masks of 200 x 200");
  if (node_out_value(s, node, 0).count() != kMaskCount * 4)
    return check_fail(msg, cap, "output must hold 300 boxes of 4 values");
  return true;
}

namespace {

struct NmsSettings {
  uint64_t max_boxes;
  float iou_threshold;
  float score_threshold;
};

// Element 0 of input k when the node names it and its buffer exists.
bool scalar_input(const CpuState& s, const NodeRecord& node, uint64_t k, float* v) {
  if (node.input_count() <= k) return false;
  const uint64_t id = node.input(k);
  if (id >= s.value_count || s.data[id] == nullptr || s.values[id].count() == 0) return false;
  *v = static_cast<const float*>(s.data[id])[0];
  return true;
}

NmsSettings nms_settings(const CpuState& s, const NodeRecord& node) {
  NmsSettings t;
  uint64_t boxes = node.attr(attr::NonMaxSuppression::kMaxBoxes);
  float v;
  if (scalar_input(s, node, 2, &v)) boxes = v >= 1.0f ? (v < 1e9f ? static_cast<uint64_t>(v) : kNmsMaxBoxesLimit) : 0;
  if (boxes == 0) boxes = kNmsDefaultMaxBoxes;
  t.max_boxes = std::min(boxes, kNmsMaxBoxesLimit);
  t.iou_threshold = node.attr_f32(attr::NonMaxSuppression::kIouThreshold);
  if (scalar_input(s, node, 3, &v)) t.iou_threshold = v;
  t.score_threshold = node.attr_f32(attr::NonMaxSuppression::kScoreThreshold);
  if (scalar_input(s, node, 4, &v)) t.score_threshold = v;
  return t;
}

// IoU of two corner boxes; corners may come in either order. A union of 0
// or less (or NaN) counts as no overlap.
float corner_iou(const float* a, const float* b) {
  const float ax0 = std::fmin(a[0], a[2]), ax1 = std::fmax(a[0], a[2]);
  const float ay0 = std::fmin(a[1], a[3]), ay1 = std::fmax(a[1], a[3]);
  const float bx0 = std::fmin(b[0], b[2]), bx1 = std::fmax(b[0], b[2]);
  const float by0 = std::fmin(b[1], b[3]), by1 = std::fmax(b[1], b[3]);
  const float ox = std::fmax(std::fmin(ax1, bx1) - std::fmax(ax0, bx0), 0.0f);
  const float oy = std::fmax(std::fmin(ay1, by1) - std::fmax(ay0, by0), 0.0f);
  const float inter = ox * oy;
  const float uni = (ax1 - ax0) * (ay1 - ay0) + (bx1 - bx0) * (by1 - by0) - inter;
  if (!(uni > 0.0f)) return 0.0f;
  return inter / uni;
}

}  // namespace

// NonMaxSuppression. Each class of each batch takes, in score order (lowest
// index first among equal scores), every box above the score threshold whose
// IoU with each box already taken for that class is at most the IoU
// threshold, until the class has its limit or the output is full. Taking the
// boxes in sorted order selects exactly what repeated "best remaining box"
// rounds would, in N log N instead of N per pick.
bool cpu_nms_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vb = node_in_value(s, node, 0);
  const ValueRecord& vs = node_in_value(s, node, 1);
  const ValueRecord& vy = node_out_value(s, node, 0);
  const uint64_t batches = vb.dim(0), n = vb.dim(1), classes = vs.dim(1);
  const uint64_t capacity = vy.dim(0);
  const float* boxes = node_in(s, node, 0);
  const float* scores = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  std::memset(y, 0, vy.count() * sizeof(float));
  const NmsSettings t = nms_settings(s, node);
  if (n == 0 || capacity == 0) return true;
  auto* order = static_cast<uint64_t*>(std::malloc(n * sizeof(uint64_t)));
  if (order == nullptr) return false;
  uint64_t written = 0;
  for (uint64_t b = 0; b < batches && written < capacity; ++b) {
    const float* bx = boxes + b * n * 4;
    for (uint64_t c = 0; c < classes && written < capacity; ++c) {
      const float* sc = scores + (b * classes + c) * n;
      uint64_t m = 0;
      for (uint64_t i = 0; i < n; ++i)
        if (sc[i] > t.score_threshold) order[m++] = i;
      std::sort(order, order + m, [&](uint64_t i, uint64_t j) {
        return sc[i] > sc[j] || (sc[i] == sc[j] && i < j);
      });
      uint64_t chosen[kNmsMaxBoxesLimit];
      uint64_t taken = 0;
      for (uint64_t k = 0; k < m && taken < t.max_boxes && written < capacity; ++k) {
        const uint64_t i = order[k];
        bool keep = true;
        for (uint64_t a = 0; a < taken && keep; ++a)
          keep = !(corner_iou(bx + i * 4, bx + chosen[a] * 4) > t.iou_threshold);
        if (!keep) continue;
        chosen[taken++] = i;
        float* row = y + written * 3;
        row[0] = static_cast<float>(b);
        row[1] = static_cast<float>(c);
        row[2] = static_cast<float>(i);
        ++written;
      }
    }
  }
  std::free(order);
  return true;
}

bool cpu_nms_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 5, 1, 1, msg, cap)) return false;
  const ValueRecord& vb = node_in_value(s, node, 0);
  const ValueRecord& vs = node_in_value(s, node, 1);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vb.rank() != 3 || vb.dim(2) != 4) return check_fail(msg, cap, "boxes must be [B, N, 4]");
  if (vs.rank() != 3 || vs.dim(0) != vb.dim(0) || vs.dim(2) != vb.dim(1))
    return check_fail(msg, cap, "scores must be [B, classes, N] for boxes [B, N, 4]");
  if (vy.rank() != 2 || vy.dim(1) != 3) return check_fail(msg, cap, "output must be [rows, 3]");
  return true;
}

}  // namespace vorn
