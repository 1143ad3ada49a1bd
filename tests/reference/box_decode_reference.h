// Reference box decoding, written from the definition of each detector layout
// with plain loops: every tensor read is bounds-checked (a read past the end
// refuses the whole decode), every candidate is offered to a literal
// 512-entry pool, the pool is ranked by the exchange rule on whole boxes and
// thinned by per-class suppression. Slow and obvious on purpose.
#pragma once
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vorn::ref {

struct RefTensor {
  std::vector<uint64_t> dims;
  std::vector<float> data;
};

struct RefMeta {
  uint32_t input_w = 0, input_h = 0, source_w = 0, source_h = 0;
  float scale_x = 1, scale_y = 1, pad_x = 0, pad_y = 0;
  bool corner = false;
  std::string decode, task;
  uint32_t labels = 0;
};

struct RefBox {
  float x1, y1, x2, y2, score;
  int32_t cls;
  std::vector<float> lx, ly;
};

class BoxDecodeReference {
 public:
  BoxDecodeReference(const std::vector<RefTensor>& t, const RefMeta& m) : t_(t), m_(m) {}

  // Box count, or -1 when the layout is unknown or a tensor is too short.
  int decode(int max_boxes, float score_thr, float iou_thr, std::vector<RefBox>* out) {
    out->clear();
    if (max_boxes < 1 || t_.empty()) return 0;
    pool_.clear();
    thr_ = score_thr;
    short_ = false;
    const int layout = layout_of();
    if (layout == 0) return -1;
    if (layout == 1) face();
    if (layout == 2) boxes_scores();
    if (layout == 3) queries();
    if (layout == 4) attributes();
    if (layout == 5) finished();
    if (short_) return -1;
    // Rank: exchange an earlier entry with a later one when the later scores
    // strictly higher.
    for (size_t i = 0; i < pool_.size(); ++i)
      for (size_t j = i + 1; j < pool_.size(); ++j)
        if (pool_[j].score > pool_[i].score) std::swap(pool_[i], pool_[j]);
    const size_t limit = std::min<size_t>(size_t(max_boxes), 256);
    std::vector<bool> gone(pool_.size(), false);
    for (size_t i = 0; i < pool_.size(); ++i) {
      if (gone[i]) continue;
      if (out->size() == limit) break;
      out->push_back(pool_[i]);
      for (size_t j = i + 1; j < pool_.size(); ++j)
        if (!gone[j] && pool_[j].cls == pool_[i].cls && iou(pool_[i], pool_[j]) > iou_thr)
          gone[j] = true;
    }
    return int(out->size());
  }

  static float iou(const RefBox& a, const RefBox& b) {
    float w = std::min(a.x2, b.x2) - std::max(a.x1, b.x1);
    float h = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
    float inter = 0;
    if (w > 0 && h > 0) inter = w * h;
    float u = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
    if (u > 0) return inter / u;
    return 0;
  }

 private:
  float at(size_t tensor, uint64_t index) {
    const RefTensor& t = t_[tensor];
    if (index >= t.data.size()) {
      short_ = true;
      return 0;
    }
    return t.data[index];
  }
  uint64_t dim(size_t tensor, size_t axis) const { return t_[tensor].dims[axis]; }
  bool rank3(size_t tensor) const { return t_.size() > tensor && t_[tensor].dims.size() == 3; }
  uint32_t fw() const { return m_.input_w ? m_.input_w : 640; }
  uint32_t fh() const { return m_.input_h ? m_.input_h : fw(); }
  bool pose(uint64_t a) const {
    return m_.decode == "yolov8_pose" || m_.task == "pose" || (a == 56 && m_.labels < 2);
  }

  int layout_of() const {
    if (t_.size() == 9 && (m_.decode.empty() || m_.decode == "scrfd") &&
        t_[0].data.size() == uint64_t(fw() / 8) * (fh() / 8) * 2)
      return 1;
    if (t_.size() >= 2 && rank3(0) && rank3(1) && dim(0, 1) == 4 && dim(0, 2) == dim(1, 2)) return 2;
    if (t_.size() >= 2 && rank3(0) && rank3(1) && dim(1, 2) == 4 && dim(0, 1) == dim(1, 1)) return 3;
    if (rank3(0) && dim(0, 2) != 6 && dim(0, 1) >= 5 && dim(0, 2) >= 16) return 4;
    if (rank3(0) && dim(0, 2) == 6) return 5;
    return 0;
  }

  float mx(float x) const {
    float s = m_.scale_x > 0 ? m_.scale_x : 1;
    float v = (x - m_.pad_x) / s;
    if (m_.source_w != 0) v = std::min(std::max(v, 0.0f), float(m_.source_w));
    return v;
  }
  float my(float y) const {
    float s = m_.scale_y > 0 ? m_.scale_y : 1;
    float v = (y - m_.pad_y) / s;
    if (m_.source_h != 0) v = std::min(std::max(v, 0.0f), float(m_.source_h));
    return v;
  }

  void offer(float x1, float y1, float x2, float y2, float score, int32_t cls,
             std::vector<float> lx = {}, std::vector<float> ly = {}) {
    if (!(score >= thr_)) return;
    RefBox b{mx(x1), my(y1), mx(x2), my(y2), score, cls, {}, {}};
    for (float v : lx) b.lx.push_back(mx(v));
    for (float v : ly) b.ly.push_back(my(v));
    if (pool_.size() < 512) {
      pool_.push_back(b);
      return;
    }
    size_t low = 0;
    for (size_t i = 0; i < pool_.size(); ++i)
      if (pool_[i].score < pool_[low].score) low = i;
    if (score > pool_[low].score) pool_[low] = b;
  }

  void face() {
    const int strides[3] = {8, 16, 32};
    for (int i = 0; i < 3; ++i) {
      int s = strides[i];
      uint64_t cols = fw() / s, rows = fh() / s;
      for (uint64_t row = 0; row < rows; ++row)
        for (uint64_t col = 0; col < cols; ++col)
          for (uint64_t a = 0; a < 2; ++a) {
            uint64_t k = (row * cols + col) * 2 + a;
            float cx = float(col * s), cy = float(row * s);
            float score = at(i, k);
            float d[4];
            for (int j = 0; j < 4; ++j) d[j] = at(i + 3, k * 4 + j);
            std::vector<float> lx, ly;
            for (int p = 0; p < 5; ++p) {
              lx.push_back(cx + at(i + 6, k * 10 + 2 * p) * s);
              ly.push_back(cy + at(i + 6, k * 10 + 2 * p + 1) * s);
            }
            offer(cx - d[0] * s, cy - d[1] * s, cx + d[2] * s, cy + d[3] * s, score, 0, lx, ly);
          }
    }
  }

  void boxes_scores() {
    uint64_t n = dim(0, 2), c = dim(1, 1);
    bool corner = m_.corner || m_.decode == "xyxy" || m_.decode == "yolov8_xyxy";
    for (uint64_t i = 0; i < n; ++i) {
      float score;
      int32_t cls = 0;
      if (c < 2) {
        score = at(1, i);
      } else {
        score = at(1, i);
        for (uint64_t k = 1; k < c; ++k)
          if (at(1, k * n + i) > score) {
            score = at(1, k * n + i);
            cls = int32_t(k);
          }
      }
      float b0 = at(0, i), b1 = at(0, n + i), b2 = at(0, 2 * n + i), b3 = at(0, 3 * n + i);
      if (corner)
        offer(b0, b1, b2, b3, score, cls);
      else
        offer(b0 - 0.5f * b2, b1 - 0.5f * b3, b0 + 0.5f * b2, b1 + 0.5f * b3, score, cls);
    }
  }

  void queries() {
    uint64_t n = dim(0, 1), c = dim(0, 2);
    uint64_t used = (c == 92 || c == 81) ? c - 1 : c;
    float wb = m_.input_w ? m_.input_w : m_.source_w ? m_.source_w : 640;
    float hb = m_.input_h ? m_.input_h : m_.source_h ? m_.source_h : 640;
    for (uint64_t i = 0; i < n; ++i) {
      float q[4];
      for (int j = 0; j < 4; ++j) q[j] = at(1, i * 4 + j);
      if (c == 0) continue;
      float score = at(0, i * c);
      int32_t cls = 0;
      for (uint64_t k = 1; k < used; ++k)
        if (at(0, i * c + k) > score) {
          score = at(0, i * c + k);
          cls = int32_t(k);
        }
      if (score < 0 || score > 1) score = 1.0f / (1.0f + std::exp(-score));
      offer(wb * q[0] - 0.5f * wb * q[2], hb * q[1] - 0.5f * hb * q[3], wb * q[0] + 0.5f * wb * q[2],
            hb * q[1] + 0.5f * hb * q[3], score, cls);
    }
  }

  void attributes() {
    uint64_t a = dim(0, 1), n = dim(0, 2);
    auto v = [&](uint64_t attr, uint64_t i) { return at(0, attr * n + i); };
    bool p = pose(a);
    for (uint64_t i = 0; i < n; ++i) {
      float score = v(4, i);
      int32_t cls = 0;
      std::vector<float> lx, ly;
      if (p) {
        for (uint64_t k = 0; k < 17; ++k) {
          lx.push_back(v(5 + 3 * k, i));
          ly.push_back(v(6 + 3 * k, i));
        }
      } else if (a - 4 >= 2) {
        for (uint64_t c = 1; c < a - 4; ++c)
          if (v(4 + c, i) > score) {
            score = v(4 + c, i);
            cls = int32_t(c);
          }
      }
      float cx = v(0, i), cy = v(1, i), w = v(2, i), h = v(3, i);
      offer(cx - 0.5f * w, cy - 0.5f * h, cx + 0.5f * w, cy + 0.5f * h, score, cls, lx, ly);
    }
  }

  void finished() {
    for (uint64_t i = 0; i < dim(0, 1); ++i) {
      float r[6];
      for (int j = 0; j < 6; ++j) r[j] = at(0, i * 6 + j);
      int32_t cls = std::isnan(r[5]) ? 0 : int32_t(std::max(-2e9f, std::min(2e9f, r[5])));
      offer(r[0], r[1], r[2], r[3], r[4], cls);
    }
  }

  const std::vector<RefTensor>& t_;
  RefMeta m_;
  std::vector<RefBox> pool_;
  float thr_ = 0;
  bool short_ = false;
};

}  // namespace vorn::ref
