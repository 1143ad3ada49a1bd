#include "image/box_decode.h"

#include <cmath>

#include "image/box_select.h"

namespace vorn {

const char kBoxLayoutUnsupported[] = "Output tensor layout is not supported by decode_boxes";
const char kBoxTensorsTooSmall[] = "Output tensors are too small for their decode_boxes layout";

namespace {

bool is_rank3(const TensorView& t) { return t.rank == 3 && t.dims != nullptr; }

// True when t has values for at least a x b elements.
bool holds(const TensorView& t, uint64_t a, uint64_t b) {
  uint64_t need;
  if (__builtin_mul_overflow(a, b, &need)) return false;
  return t.data != nullptr && t.count >= need;
}

uint32_t face_width(const BoxDecodeSetup& s) { return s.input_width != 0 ? s.input_width : 640; }
uint32_t face_height(const BoxDecodeSetup& s) {
  return s.input_height != 0 ? s.input_height : face_width(s);
}

bool is_pose(const BoxDecodeSetup& s, uint64_t attributes) {
  return s.decode == "yolov8_pose" || s.task == "pose" || (attributes == 56 && s.label_count < 2);
}

// Maps tensor coordinates back to the source image and clamps them to it.
struct SourceMap {
  float pad_x, pad_y, scale_x, scale_y;
  float width, height;  // 0: no clamp on that axis

  explicit SourceMap(const BoxDecodeSetup& s)
      : pad_x(s.pad_x),
        pad_y(s.pad_y),
        scale_x(s.scale_x > 0.0f ? s.scale_x : 1.0f),
        scale_y(s.scale_y > 0.0f ? s.scale_y : 1.0f),
        width(float(s.source_width)),
        height(float(s.source_height)) {}

  static float clamp(float v, float side) {
    if (side == 0.0f) return v;
    if (!(v > 0.0f)) return 0.0f;
    return v < side ? v : side;
  }
  float x(float v) const { return clamp((v - pad_x) / scale_x, width); }
  float y(float v) const { return clamp((v - pad_y) / scale_y, height); }
};

// Collects the candidates that pass the threshold, mapped to the source.
struct Collector {
  const SourceMap map;
  float threshold;
  BoxPool* pool;

  bool passes(float score) const { return score >= threshold; }

  void corners(float x1, float y1, float x2, float y2, float score, int32_t cls,
               DetectionBox* box) const {
    box->x1 = map.x(x1);
    box->y1 = map.y(y1);
    box->x2 = map.x(x2);
    box->y2 = map.y(y2);
    box->score = score;
    box->class_id = cls;
    box->landmark_count = 0;
  }
  void add_corners(float x1, float y1, float x2, float y2, float score, int32_t cls) const {
    DetectionBox box{};
    corners(x1, y1, x2, y2, score, cls, &box);
    pool->offer(box);
  }
  void add_centre(float cx, float cy, float w, float h, float score, int32_t cls) const {
    add_corners(cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, score, cls);
  }
};

// Greatest of n values at base[c * stride] (strictly greater wins, so the
// lower class keeps a tie).
inline void best_class(const float* base, uint64_t n, uint64_t stride, float* score,
                       int32_t* cls) {
  float best = base[0];
  uint64_t at = 0;
  for (uint64_t c = 1; c < n; ++c) {
    float v = base[c * stride];
    if (v > best) {
      best = v;
      at = c;
    }
  }
  *score = best;
  *cls = at > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(at);
}

// For anchors i0 .. i0 + count - 1 of class-major scores (class c of anchor i
// at scores[c * n + i]): the best score and its class per anchor. Walking a
// block of anchors class by class keeps the reads contiguous, where a walk
// over the classes of one anchor would stride n floats between reads.
constexpr uint64_t kAnchorBlock = 256;

// The per-class step over a block; a compile-time count, unaliased pointers
// and a branch-free select let the compiler vectorise whole blocks. The
// select keeps best on NaN either way, like a strict greater-than.
template <uint64_t kCount>
inline void keep_better(const float* __restrict row, uint64_t count, int32_t id,
                        float* __restrict best, int32_t* __restrict cls) {
  const uint64_t n = kCount != 0 ? kCount : count;
  for (uint64_t j = 0; j < n; ++j) {
    float r = row[j], b = best[j];
    int32_t take = -int32_t(r > b);
    best[j] = b < r ? r : b;
    cls[j] = (cls[j] & ~take) | (id & take);
  }
}

inline void best_class_block(const float* scores, uint64_t n, uint64_t classes, uint64_t i0,
                             uint64_t count, float* best, int32_t* cls) {
  const float* row = scores + i0;
  for (uint64_t j = 0; j < count; ++j) {
    best[j] = row[j];
    cls[j] = 0;
  }
  for (uint64_t c = 1; c < classes; ++c) {
    row = scores + c * n + i0;
    const int32_t id = c > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(c);
    if (count == kAnchorBlock)
      keep_better<kAnchorBlock>(row, count, id, best, cls);
    else
      keep_better<0>(row, count, id, best, cls);
  }
}

// Three strides of a face detector: per stride, scores, box distances and
// five landmarks for two anchors a cell.
const char* collect_face(const BoxDecodeSetup& s, const Collector& out) {
  static constexpr uint32_t kStrides[3] = {8, 16, 32};
  const TensorView* t = s.tensors;
  uint64_t w = face_width(s), h = face_height(s);
  for (int pass = 0; pass < 2; ++pass) {  // check every stride, then decode
    for (uint32_t i = 0; i < 3; ++i) {
      const uint32_t st = kStrides[i];
      const TensorView &sc = t[i], &bx = t[i + 3], &lm = t[i + 6];
      if (sc.data == nullptr || bx.data == nullptr || lm.data == nullptr) continue;
      uint64_t cols = w / st, rows = h / st, cand = cols * rows * 2;
      if (pass == 0) {
        if (!holds(sc, cand, 1) || !holds(bx, cand, 4) || !holds(lm, cand, 10))
          return kBoxTensorsTooSmall;
        continue;
      }
      const float fs = float(st);
      for (uint64_t k = 0; k < cand; ++k) {
        float score = sc.data[k];
        if (!out.passes(score)) continue;
        uint64_t cell = k / 2;
        float cx = float(cell % cols) * fs, cy = float(cell / cols) * fs;
        const float* d = bx.data + 4 * k;
        const float* l = lm.data + 10 * k;
        DetectionBox box{};
        out.corners(cx - d[0] * fs, cy - d[1] * fs, cx + d[2] * fs, cy + d[3] * fs, score, 0, &box);
        box.landmark_count = 5;
        for (int p = 0; p < 5; ++p) {
          box.landmark_x[p] = out.map.x(cx + l[2 * p] * fs);
          box.landmark_y[p] = out.map.y(cy + l[2 * p + 1] * fs);
        }
        out.pool->offer(box);
      }
    }
  }
  return nullptr;
}

// [1, 4, N] boxes with [1, C, N] class scores, both anchor-minor.
const char* collect_boxes_and_scores(const BoxDecodeSetup& s, const Collector& out) {
  const TensorView &b = s.tensors[0], &sc = s.tensors[1];
  uint64_t n = b.dims[2], classes = sc.dims[1];
  if (!holds(b, 4, n) || !holds(sc, classes > 0 ? classes : 1, n)) return kBoxTensorsTooSmall;
  bool corners = s.corner_boxes || s.decode == "xyxy" || s.decode == "yolov8_xyxy";
  float best[kAnchorBlock];
  int32_t cls[kAnchorBlock];
  for (uint64_t i0 = 0; i0 < n; i0 += kAnchorBlock) {
    uint64_t count = n - i0 < kAnchorBlock ? n - i0 : kAnchorBlock;
    best_class_block(sc.data, n, classes < 2 ? 1 : classes, i0, count, best, cls);
    for (uint64_t j = 0; j < count; ++j) {
      if (!out.passes(best[j])) continue;
      uint64_t i = i0 + j;
      float v0 = b.data[i], v1 = b.data[n + i], v2 = b.data[2 * n + i], v3 = b.data[3 * n + i];
      if (corners)
        out.add_corners(v0, v1, v2, v3, best[j], cls[j]);
      else
        out.add_centre(v0, v1, v2, v3, best[j], cls[j]);
    }
  }
  return nullptr;
}

// [1, N, C] query logits with [1, N, 4] boxes as fractions of the input.
const char* collect_queries(const BoxDecodeSetup& s, const Collector& out) {
  const TensorView &lg = s.tensors[0], &b = s.tensors[1];
  uint64_t n = lg.dims[1], classes = lg.dims[2];
  if (!holds(lg, n, classes) || !holds(b, n, 4)) return kBoxTensorsTooSmall;
  if (classes == 0) return nullptr;
  // The last class of these two widths is the no-object class.
  uint64_t scored = classes == 92 || classes == 81 ? classes - 1 : classes;
  float wb = s.input_width ? float(s.input_width) : s.source_width ? float(s.source_width) : 640.0f;
  float hb = s.input_height ? float(s.input_height)
                            : s.source_height ? float(s.source_height) : 640.0f;
  for (uint64_t i = 0; i < n; ++i) {
    float score;
    int32_t cls;
    best_class(lg.data + i * classes, scored, 1, &score, &cls);
    if (score < 0.0f || score > 1.0f) score = 1.0f / (1.0f + std::exp(-score));
    if (!out.passes(score)) continue;
    const float* q = b.data + 4 * i;
    out.add_corners(wb * q[0] - 0.5f * wb * q[2], hb * q[1] - 0.5f * hb * q[3],
                    wb * q[0] + 0.5f * wb * q[2], hb * q[1] + 0.5f * hb * q[3], score, cls);
  }
  return nullptr;
}

// [1, A, N] attribute-major anchors: centre-size box, then class scores, or
// for pose one score and 17 (x, y, visibility) keypoints.
const char* collect_attributes(const BoxDecodeSetup& s, const Collector& out) {
  const TensorView& t = s.tensors[0];
  uint64_t attrs = t.dims[1], n = t.dims[2];
  if (!holds(t, attrs, n)) return kBoxTensorsTooSmall;
  const float* v = t.data;
  bool pose = is_pose(s, attrs);
  // The last keypoint's y sits at attribute 6 + 3 x 16.
  if (pose && attrs < 6 + 3 * 16 + 1) return kBoxTensorsTooSmall;
  uint64_t classes = pose || attrs - 4 < 2 ? 1 : attrs - 4;
  float best[kAnchorBlock];
  int32_t cls[kAnchorBlock];
  for (uint64_t i0 = 0; i0 < n; i0 += kAnchorBlock) {
    uint64_t count = n - i0 < kAnchorBlock ? n - i0 : kAnchorBlock;
    best_class_block(v + 4 * n, n, classes, i0, count, best, cls);
    for (uint64_t j = 0; j < count; ++j) {
      if (!out.passes(best[j])) continue;
      uint64_t i = i0 + j;
      DetectionBox box{};
      float cx = v[i], cy = v[n + i], w = v[2 * n + i], h = v[3 * n + i];
      out.corners(cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, best[j], cls[j],
                  &box);
      if (pose) {
        box.landmark_count = 17;
        for (uint64_t k = 0; k < 17; ++k) {
          box.landmark_x[k] = out.map.x(v[(5 + 3 * k) * n + i]);
          box.landmark_y[k] = out.map.y(v[(6 + 3 * k) * n + i]);
        }
      }
      out.pool->offer(box);
    }
  }
  return nullptr;
}

// [1, N, 6] finished detections: corners, score and class.
const char* collect_finished(const BoxDecodeSetup& s, const Collector& out) {
  const TensorView& t = s.tensors[0];
  uint64_t rows = t.dims[1];
  if (!holds(t, rows, 6)) return kBoxTensorsTooSmall;
  for (uint64_t i = 0; i < rows; ++i) {
    const float* r = t.data + 6 * i;
    if (!out.passes(r[4])) continue;
    out.add_corners(r[0], r[1], r[2], r[3], r[4], f32_to_i32_trunc(r[5]));
  }
  return nullptr;
}

}  // namespace

BoxLayout box_layout_of(const BoxDecodeSetup& s) {
  if (s.tensors == nullptr || s.tensor_count == 0) return BoxLayout::none;
  const TensorView& t0 = s.tensors[0];
  if (s.tensor_count == 9 && (s.decode.empty() || s.decode == "scrfd")) {
    uint64_t w = face_width(s), h = face_height(s);
    if (t0.count == (w / 8) * (h / 8) * 2) return BoxLayout::face_strides;
  }
  if (s.tensor_count >= 2 && is_rank3(t0) && is_rank3(s.tensors[1])) {
    const TensorView& t1 = s.tensors[1];
    if (t0.dims[1] == 4 && t0.dims[2] == t1.dims[2]) return BoxLayout::boxes_and_scores;
    if (t1.dims[2] == 4 && t0.dims[1] == t1.dims[1]) return BoxLayout::queries;
  }
  if (is_rank3(t0)) {
    uint64_t attrs = t0.dims[1], n = t0.dims[2];
    if (n != 6 && attrs >= 5 && n >= 16) return is_pose(s, attrs) ? BoxLayout::pose : BoxLayout::attributes;
    if (n == 6) return BoxLayout::finished;
  }
  return BoxLayout::none;
}

BoxDecodeResult decode_boxes(const BoxDecodeSetup& setup, uint32_t max_boxes,
                             float score_threshold, float iou_threshold, DetectionBox* boxes) {
  BoxLayout layout = box_layout_of(setup);
  if (layout == BoxLayout::none) return {-1, kBoxLayoutUnsupported};
  BoxPool pool;
  const Collector out{SourceMap(setup), score_threshold, &pool};
  const char* refused = nullptr;
  switch (layout) {
    case BoxLayout::face_strides: refused = collect_face(setup, out); break;
    case BoxLayout::boxes_and_scores: refused = collect_boxes_and_scores(setup, out); break;
    case BoxLayout::queries: refused = collect_queries(setup, out); break;
    case BoxLayout::attributes:
    case BoxLayout::pose: refused = collect_attributes(setup, out); break;
    case BoxLayout::finished: refused = collect_finished(setup, out); break;
    case BoxLayout::none: break;
  }
  if (refused != nullptr) return {-1, refused};
  uint32_t limit = max_boxes < 256 ? max_boxes : 256;
  return {int32_t(pool.select(limit, iou_threshold, boxes)), nullptr};
}

}  // namespace vorn
