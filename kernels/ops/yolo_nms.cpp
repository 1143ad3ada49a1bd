// YoloNms: best class per candidate, score threshold, stable sort by score and
// greedy class-aware suppression.
#include "kernels/ops/yolo_nms.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"

namespace vorn {

YoloNmsParams yolo_nms_params_from_node(const NodeRecord& node) {
  YoloNmsParams p;
  using A = attr::YoloNms;
  p.extras = node.attr(A::kExtras);
  p.max_detections = node.attr(A::kMaxDetections);
  p.score_threshold = node.attr_f32(A::kScoreThreshold);
  p.iou_threshold = node.attr_f32(A::kIouThreshold);
  p.box_divisor = node.attr_f32(A::kBoxDivisor);
  p.box_scale = node.attr_f32(A::kBoxScale);
  p.class_offset = node.attr_f32(A::kClassOffset);
  p.centre_form = node.attr(A::kCentreForm) != 0 ? 1 : 0;
  return p;
}

namespace {

void* heap_allocate(size_t bytes) { return std::malloc(bytes); }

struct Extent {
  float x0, x1, y0, y1;
};

Extent box_extent(const float* b, bool centre) {
  if (centre) {
    return Extent{b[0] - b[2] * 0.5f, b[0] + b[2] * 0.5f, b[1] - b[3] * 0.5f, b[1] + b[3] * 0.5f};
  }
  return Extent{std::fmin(b[0], b[2]), std::fmax(b[0], b[2]), std::fmin(b[1], b[3]),
                std::fmax(b[1], b[3])};
}

// Intersection over union; every degenerate case (no overlap, an empty box,
// NaN coordinates) counts as no overlap.
float box_iou(const float* a, const float* b, bool centre) {
  const Extent ea = box_extent(a, centre), eb = box_extent(b, centre);
  const float ox = std::fmin(ea.x1, eb.x1) - std::fmax(ea.x0, eb.x0);
  const float oy = std::fmin(ea.y1, eb.y1) - std::fmax(ea.y0, eb.y0);
  if (!(oy > 0.0f) || !(ox > 0.0f)) return 0.0f;
  const float inter = ox * oy;
  const float area_a = (ea.x1 - ea.x0) * (ea.y1 - ea.y0);
  const float area_b = (eb.x1 - eb.x0) * (eb.y1 - eb.y0);
  if (!(inter > 0.0f) || !(area_a > 0.0f) || !(area_b > 0.0f)) return 0.0f;
  const float uni = area_a + area_b - inter;
  if (!(uni > 0.0f)) return 0.0f;
  return inter / uni;
}

// Carves aligned arrays out of one scratch block.
struct Carver {
  size_t used = 0;
  bool ok = true;
  size_t take(uint64_t n, size_t elem) {
    size_t bytes;
    size_t at = (used + 15) & ~size_t{15};
    if (__builtin_mul_overflow(n, elem, &bytes) || __builtin_add_overflow(at, bytes, &used)) ok = false;
    return at;
  }
};

}  // namespace

uint32_t yolo_nms_using(const float* in, uint64_t rows, uint64_t count, const YoloNmsParams* params,
                        float* out, YoloNmsAllocate allocate) {
  const YoloNmsParams& p = *params;
  uint64_t width, out_len;
  if (__builtin_add_overflow(p.extras, uint64_t{6}, &width) ||
      __builtin_mul_overflow(p.max_detections, width, &out_len))
    return 0;
  if (out_len > 0) std::memset(out, 0, out_len * sizeof(float));
  if (count == 0 || rows < 5 || rows - 5 < p.extras) return 0;
  const uint64_t classes = rows - p.extras - 4;

  Carver c;
  const size_t at_index = c.take(count, sizeof(uint64_t));
  const size_t at_score = c.take(count, sizeof(float));
  const size_t at_class = c.take(count, sizeof(uint32_t));
  const size_t at_box = c.take(count, 4 * sizeof(float));
  const size_t at_order = c.take(count, sizeof(uint64_t));
  const size_t at_merge = c.take(count, sizeof(uint64_t));
  const size_t at_accepted = c.take(p.max_detections + 1, sizeof(uint64_t));
  if (!c.ok) return 0;
  char* block = static_cast<char*>(allocate(c.used == 0 ? 1 : c.used));
  if (block == nullptr) return 0;
  auto* index = reinterpret_cast<uint64_t*>(block + at_index);
  auto* score = reinterpret_cast<float*>(block + at_score);
  auto* klass = reinterpret_cast<uint32_t*>(block + at_class);
  auto* box = reinterpret_cast<float*>(block + at_box);
  auto* order = reinterpret_cast<uint64_t*>(block + at_order);
  auto* merge = reinterpret_cast<uint64_t*>(block + at_merge);
  auto* accepted = reinterpret_cast<uint64_t*>(block + at_accepted);

  // Best class per candidate, class-major so every pass reads one contiguous
  // attribute row: only a strictly greater score moves the choice, so the
  // lowest class wins a tie. `score` and `klass` are indexed by candidate
  // here and compacted below.
  const float* first = in + 4 * count;
  for (uint64_t i = 0; i < count; ++i) {
    score[i] = first[i];
    klass[i] = 0;
  }
  for (uint64_t k = 1; k < classes; ++k) {
    const float* row = in + (4 + k) * count;
    for (uint64_t i = 0; i < count; ++i) {
      if (row[i] > score[i]) {
        score[i] = row[i];
        klass[i] = static_cast<uint32_t>(k);
      }
    }
  }
  uint64_t passing = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (!(score[i] > p.score_threshold)) continue;
    const float shift = p.class_offset * static_cast<float>(klass[i]);
    for (uint64_t a = 0; a < 4; ++a)
      box[passing * 4 + a] = std::fma(in[a * count + i] / p.box_divisor, p.box_scale, shift);
    index[passing] = i;
    score[passing] = score[i];
    klass[passing] = klass[i];
    ++passing;
  }

  // Bottom-up merge sort of positions by score, highest first; the left run
  // wins unless its score is lower, so equal scores keep candidate order.
  for (uint64_t i = 0; i < passing; ++i) order[i] = i;
  uint64_t* src = order;
  uint64_t* dst = merge;
  for (uint64_t run = 1; run < passing; run *= 2) {
    for (uint64_t lo = 0; lo < passing; lo += 2 * run) {
      const uint64_t mid = lo + run < passing ? lo + run : passing;
      const uint64_t hi = lo + 2 * run < passing ? lo + 2 * run : passing;
      uint64_t l = lo, r = mid, o = lo;
      while (l < mid && r < hi) dst[o++] = score[src[l]] < score[src[r]] ? src[r++] : src[l++];
      while (l < mid) dst[o++] = src[l++];
      while (r < hi) dst[o++] = src[r++];
    }
    uint64_t* t = src;
    src = dst;
    dst = t;
  }

  // Greedy suppression in score order against the boxes accepted so far.
  const bool centre = p.centre_form != 0;
  uint64_t taken = 0;
  for (uint64_t k = 0; k < passing && taken < p.max_detections; ++k) {
    const uint64_t cand = src[k];
    bool keep = true;
    for (uint64_t a = 0; a < taken; ++a) {
      if (box_iou(box + cand * 4, box + accepted[a] * 4, centre) > p.iou_threshold) {
        keep = false;
        break;
      }
    }
    if (keep) accepted[taken++] = cand;
  }

  for (uint64_t j = 0; j < taken; ++j) {
    const uint64_t pos = accepted[j];
    const uint64_t i = index[pos];
    float* row = out + j * width;
    for (uint64_t a = 0; a < 4; ++a) row[a] = in[a * count + i];
    row[4] = score[pos];
    row[5] = static_cast<float>(klass[pos]);
    for (uint64_t e = 0; e < p.extras; ++e) row[6 + e] = in[(rows - p.extras + e) * count + i];
  }
  std::free(block);
  return 1;
}

uint32_t yolo_nms(const float* in, uint64_t rows, uint64_t count, const YoloNmsParams* params,
                  float* out) {
  return yolo_nms_using(in, rows, count, params, out, &heap_allocate);
}

bool cpu_yolo_nms_run(CpuState& s, const NodeRecord& node, YoloNmsAllocate allocate) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const YoloNmsParams p = yolo_nms_params_from_node(node);
  const uint64_t count = vx.dim(2);
  float* y = node_out(s, node, 0);
  if (count == 0) {
    // No candidates: no detections, which is a result, not a failure.
    std::memset(y, 0, node_out_value(s, node, 0).count() * sizeof(float));
    return true;
  }
  return yolo_nms_using(node_in(s, node, 0), vx.dim(1), count, &p, y, allocate) == 1;
}

bool cpu_yolo_nms_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  return cpu_yolo_nms_run(s, node, &heap_allocate);
}

bool cpu_yolo_nms_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 1, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  if (vx.rank() != 3 || vx.dim(0) == 0)
    return check_fail(msg, cap, "candidates must be rank 3 [1, rows, count]");
  const YoloNmsParams p = yolo_nms_params_from_node(node);
  if (vx.dim(1) < 5 || vx.dim(1) - 5 < p.extras)
    return check_fail(msg, cap, "%llu values per candidate leave no class score beside %llu extras",
                      static_cast<unsigned long long>(vx.dim(1)),
                      static_cast<unsigned long long>(p.extras));
  uint64_t want;
  if (__builtin_mul_overflow(p.max_detections, p.extras + 6, &want) ||
      node_out_value(s, node, 0).count() != want)
    return check_fail(msg, cap, "output must hold %llu rows of %llu values",
                      static_cast<unsigned long long>(p.max_detections),
                      static_cast<unsigned long long>(p.extras + 6));
  return true;
}

}  // namespace vorn
