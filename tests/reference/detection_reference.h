// Reference implementations of the detection operators, written straight
// from their definitions: NonMaxSuppression as repeated "best remaining box"
// rounds, YoloNms with a library stable sort, DetrTopK by sorting.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace vorn::ref {

// IoU of two boxes given as x and y extents.
inline float extent_iou(float ax0, float ax1, float ay0, float ay1, float bx0, float bx1, float by0, float by1) {
  const float ox = std::min(ax1, bx1) - std::max(ax0, bx0);
  const float oy = std::min(ay1, by1) - std::max(ay0, by0);
  if (!(ox > 0) || !(oy > 0)) return 0.0f;
  const float inter = ox * oy;
  const float area_a = (ax1 - ax0) * (ay1 - ay0), area_b = (bx1 - bx0) * (by1 - by0);
  if (!(area_a > 0) || !(area_b > 0)) return 0.0f;
  const float uni = area_a + area_b - inter;
  if (!(uni > 0)) return 0.0f;
  return inter / uni;
}

// Corner boxes (a1, b1, a2, b2) with the smaller corner first.
inline float corner_iou(const float* a, const float* b) {
  return extent_iou(a[0], a[2], a[1], a[3], b[0], b[2], b[1], b[3]);
}

// Rows of (batch, class, index), at most `capacity`, zero-padded.
inline std::vector<float> nms(const std::vector<float>& boxes, const std::vector<float>& scores, uint64_t batches,
                              uint64_t n, uint64_t classes, uint64_t max_boxes, float iou, float score_thr,
                              uint64_t capacity) {
  std::vector<float> y(capacity * 3, 0.0f);
  uint64_t rows = 0;
  for (uint64_t b = 0; b < batches; ++b) {
    for (uint64_t c = 0; c < classes; ++c) {
      std::vector<uint64_t> chosen;
      std::vector<bool> taken(n, false);
      while (rows < capacity && chosen.size() < max_boxes) {
        int64_t best = -1;
        for (uint64_t i = 0; i < n; ++i) {
          const float s = scores[(b * classes + c) * n + i];
          if (taken[i] || !(s > score_thr)) continue;
          if (best >= 0 && !(s > scores[(b * classes + c) * n + best])) continue;
          bool clear = true;
          for (uint64_t j : chosen)
            if (corner_iou(&boxes[(b * n + i) * 4], &boxes[(b * n + j) * 4]) > iou) clear = false;
          if (clear) best = static_cast<int64_t>(i);
        }
        if (best < 0) break;
        taken[best] = true;
        chosen.push_back(best);
        y[rows * 3 + 0] = static_cast<float>(b);
        y[rows * 3 + 1] = static_cast<float>(c);
        y[rows * 3 + 2] = static_cast<float>(best);
        ++rows;
      }
    }
  }
  return y;
}

struct YoloRef {
  uint64_t extras = 0, max_det = 0;
  float score_thr = 0, iou_thr = 0, divisor = 1, scale = 1, offset = 0;
  bool centre = false;
};

inline std::vector<float> yolo_nms(const std::vector<float>& in, uint64_t rows, uint64_t count, const YoloRef& p) {
  const uint64_t width = p.extras + 6;
  std::vector<float> out(p.max_det * width, 0.0f);
  struct Cand {
    uint64_t i;
    float score;
    uint64_t cls;
    float box[4];
  };
  std::vector<Cand> cands;
  const uint64_t classes = rows - p.extras - 4;
  for (uint64_t i = 0; i < count; ++i) {
    Cand c{i, in[4 * count + i], 0, {}};
    for (uint64_t k = 1; k < classes; ++k) {
      const float v = in[(4 + k) * count + i];
      if (v > c.score) {
        c.score = v;
        c.cls = k;
      }
    }
    if (!(c.score > p.score_thr)) continue;
    for (int a = 0; a < 4; ++a)
      c.box[a] = std::fma(in[a * count + i] / p.divisor, p.scale, p.offset * static_cast<float>(c.cls));
    cands.push_back(c);
  }
  std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.score > b.score; });
  auto extents = [&](const float* b, float e[4]) {
    if (p.centre) {
      e[0] = b[0] - b[2] * 0.5f, e[1] = b[0] + b[2] * 0.5f, e[2] = b[1] - b[3] * 0.5f, e[3] = b[1] + b[3] * 0.5f;
    } else {
      e[0] = std::min(b[0], b[2]), e[1] = std::max(b[0], b[2]), e[2] = std::min(b[1], b[3]), e[3] = std::max(b[1], b[3]);
    }
  };
  std::vector<const Cand*> kept;
  for (const Cand& c : cands) {
    if (kept.size() >= p.max_det) break;
    bool keep = true;
    float ec[4];
    extents(c.box, ec);
    for (const Cand* k : kept) {
      float ek[4];
      extents(k->box, ek);
      if (extent_iou(ec[0], ec[1], ec[2], ec[3], ek[0], ek[1], ek[2], ek[3]) > p.iou_thr) {
        keep = false;
        break;
      }
    }
    if (keep) kept.push_back(&c);
  }
  for (size_t j = 0; j < kept.size(); ++j) {
    float* row = &out[j * width];
    for (int a = 0; a < 4; ++a) row[a] = in[a * count + kept[j]->i];
    row[4] = kept[j]->score;
    row[5] = static_cast<float>(kept[j]->cls);
    for (uint64_t e = 0; e < p.extras; ++e) row[6 + e] = in[(rows - p.extras + e) * count + kept[j]->i];
  }
  return out;
}

// Queries ranked by best logit; the first 300 with a score above -1e30 (in
// query order among equals), the rest query 0. Returns the query per row.
inline std::vector<uint64_t> detr_rows(const std::vector<float>& logits, uint64_t queries, uint64_t classes) {
  std::vector<float> score(queries);
  for (uint64_t q = 0; q < queries; ++q) {
    float s = logits[q * classes];
    for (uint64_t c = 1; c < classes; ++c) s = logits[q * classes + c] > s ? logits[q * classes + c] : s;
    score[q] = s;
  }
  std::vector<uint64_t> order;
  for (uint64_t q = 0; q < queries; ++q)
    if (score[q] > -1e30f) order.push_back(q);
  std::stable_sort(order.begin(), order.end(), [&](uint64_t a, uint64_t b) { return score[a] > score[b]; });
  order.resize(300, 0);
  return order;
}

}  // namespace vorn::ref
