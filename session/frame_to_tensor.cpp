#include "session/frame_to_tensor.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/parallel.h"

namespace vorn {

namespace {

constexpr float kInv2Pow22 = 2.3841858e-7f;  // one over 2048 x 2048
constexpr uint32_t kRowsPerTask = 8;
constexpr uint64_t kParallelPixels = 1u << 16;

// Where R, G and B sit in a pixel of each layout; unknown layouts read as
// one grey byte.
struct Layout {
  uint32_t bytes;
  uint32_t r, g, b;
};

Layout layout_of(uint32_t format) {
  switch (format) {
    case VORN_PIXEL_RGB: return {3, 0, 1, 2};
    case VORN_PIXEL_BGR: return {3, 2, 1, 0};
    case VORN_PIXEL_RGBA: return {4, 0, 1, 2};
    case VORN_PIXEL_BGRA: return {4, 2, 1, 0};
    default: return {1, 0, 0, 0};
  }
}

// One axis of a sample: the two neighbours and the 11-bit weight of the
// upper one.
struct Tap {
  uint32_t i0;
  uint32_t i1;
  int32_t f;
};

Tap tap_at(float pos, uint32_t size) {
  const float hi = float(size - 1);
  if (pos < 0.0f) pos = 0.0f;
  if (pos > hi) pos = hi;
  const float lo = std::floor(pos);
  Tap t;
  t.i0 = uint32_t(lo);
  t.i1 = t.i0 + 1 < size ? t.i0 + 1 : t.i0;
  t.f = int32_t(std::fma(pos - lo, 2048.0f, 0.5f));
  return t;
}

// Channel values of the pixel pairs (x taps) on rows r0 and r1, in tensor
// order; ch holds the byte offsets of the three tensor channels.
inline void sample(const uint8_t* r0, const uint8_t* r1, const Tap& tx, const Tap& ty,
                   uint32_t bytes, const uint32_t ch[3], float out[3]) {
  const int32_t fx = tx.f, wx = 2048 - tx.f, fy = ty.f, wy = 2048 - ty.f;
  const uint8_t* p00 = r0 + uint64_t(tx.i0) * bytes;
  const uint8_t* p10 = r0 + uint64_t(tx.i1) * bytes;
  const uint8_t* p01 = r1 + uint64_t(tx.i0) * bytes;
  const uint8_t* p11 = r1 + uint64_t(tx.i1) * bytes;
  for (int c = 0; c < 3; ++c) {
    const uint32_t o = ch[c];
    const int32_t v = (wx * p00[o] + fx * p10[o]) * wy + (wx * p01[o] + fx * p11[o]) * fy;
    out[c] = float(v) * kInv2Pow22;
  }
}

struct Plan {
  const Frame* frame;
  Layout layout;
  uint32_t ch[3];
  float scale;
  float neg_mean[3];
  float std[3];
  float fill[3];
  uint32_t width, height;
  // Destination block [x0, x1) x [y0, y1) that is sampled; the rest is fill.
  uint32_t bx0, bx1, by0, by1;
  std::vector<Tap> columns;  // one per column of the block
  std::vector<Tap> rows;     // one per row of the block
  float* dst;
};

void write_rows(const Plan& p, uint32_t first, uint32_t last) {
  const uint64_t plane = uint64_t(p.width) * p.height;
  for (uint32_t r = first; r < last; ++r) {
    float* d0 = p.dst + uint64_t(r) * p.width;
    float* d1 = d0 + plane;
    float* d2 = d1 + plane;
    const bool inside = r >= p.by0 && r < p.by1;
    if (!inside) {
      std::fill(d0, d0 + p.width, p.fill[0]);
      std::fill(d1, d1 + p.width, p.fill[1]);
      std::fill(d2, d2 + p.width, p.fill[2]);
      continue;
    }
    std::fill(d0, d0 + p.bx0, p.fill[0]);
    std::fill(d1, d1 + p.bx0, p.fill[1]);
    std::fill(d2, d2 + p.bx0, p.fill[2]);
    std::fill(d0 + p.bx1, d0 + p.width, p.fill[0]);
    std::fill(d1 + p.bx1, d1 + p.width, p.fill[1]);
    std::fill(d2 + p.bx1, d2 + p.width, p.fill[2]);
    const Tap& ty = p.rows[r - p.by0];
    const uint8_t* row0 = p.frame->data + uint64_t(ty.i0) * p.frame->stride;
    const uint8_t* row1 = p.frame->data + uint64_t(ty.i1) * p.frame->stride;
    for (uint32_t q = p.bx0; q < p.bx1; ++q) {
      float v[3];
      sample(row0, row1, p.columns[q - p.bx0], ty, p.layout.bytes, p.ch, v);
      d0[q] = std::fma(v[0], p.scale, p.neg_mean[0]) / p.std[0];
      d1[q] = std::fma(v[1], p.scale, p.neg_mean[1]) / p.std[1];
      d2[q] = std::fma(v[2], p.scale, p.neg_mean[2]) / p.std[2];
    }
  }
}

}  // namespace

void bilinear_sample(const Frame& frame, bool bgr, float x, float y, float c[3]) {
  const Layout l = layout_of(frame.format);
  const uint32_t ch[3] = {bgr ? l.b : l.r, l.g, bgr ? l.r : l.b};
  const Tap tx = tap_at(x, frame.width);
  const Tap ty = tap_at(y, frame.height);
  sample(frame.data + uint64_t(ty.i0) * frame.stride, frame.data + uint64_t(ty.i1) * frame.stride,
         tx, ty, l.bytes, ch, c);
}

FrameMapping frame_to_tensor(const FrameTensorSettings& st, const Frame& frame, uint32_t width,
                             uint32_t height, float* dst) {
  const uint32_t sw = frame.width, sh = frame.height;
  const float fw = float(width), fh = float(height), fsw = float(sw), fsh = float(sh);
  Plan p;
  p.frame = &frame;
  p.layout = layout_of(frame.format);
  const bool bgr = (st.bgr & 1) != 0;
  p.ch[0] = bgr ? p.layout.b : p.layout.r;
  p.ch[1] = p.layout.g;
  p.ch[2] = bgr ? p.layout.r : p.layout.b;
  p.scale = st.norm.scale;
  for (int c = 0; c < 3; ++c) {
    p.neg_mean[c] = -st.norm.mean[c];
    p.std[c] = st.norm.std[c] == 0.0f ? 1.0f : st.norm.std[c];
    p.fill[c] = std::fma(float(st.letterbox_pad), p.scale, p.neg_mean[c]) / p.std[c];
  }
  p.width = width;
  p.height = height;
  p.dst = dst;
  p.bx0 = 0;
  p.bx1 = width;
  p.by0 = 0;
  p.by1 = height;

  FrameMapping m{};
  if (st.resize_mode == VORN_RESIZE_LETTERBOX) {
    const float s = std::min(fw / fsw, fh / fsh);
    const int64_t nw = int64_t(std::fma(fsw, s, 0.5f));
    const int64_t nh = int64_t(std::fma(fsh, s, 0.5f));
    const int64_t px = (int64_t(width) - nw) / 2;
    const int64_t py = (int64_t(height) - nh) / 2;
    m = {s, s, float(px), float(py)};
    p.bx0 = uint32_t(std::clamp<int64_t>(px, 0, width));
    p.bx1 = uint32_t(std::clamp<int64_t>(px + nw, 0, width));
    p.by0 = uint32_t(std::clamp<int64_t>(py, 0, height));
    p.by1 = uint32_t(std::clamp<int64_t>(py + nh, 0, height));
    const float rx = fsw / float(std::max<int64_t>(nw, 1));
    const float ry = fsh / float(std::max<int64_t>(nh, 1));
    for (uint32_t q = p.bx0; q < p.bx1; ++q)
      p.columns.push_back(tap_at(std::fma(float(int64_t(q) - px) + 0.5f, rx, -0.5f), sw));
    for (uint32_t r = p.by0; r < p.by1; ++r)
      p.rows.push_back(tap_at(std::fma(float(int64_t(r) - py) + 0.5f, ry, -0.5f), sh));
  } else if (st.resize_mode == VORN_RESIZE_CENTER_CROP) {
    const float s = std::max(fw / fsw, fh / fsh);
    const float ox = (fsw - fw / s) * 0.5f;
    const float oy = (fsh - fh / s) * 0.5f;
    m = {s, s, -(ox * s), -(oy * s)};
    for (uint32_t q = 0; q < width; ++q) {
      const float a = (float(q) + 0.5f) / s;
      const float b = ox + a;
      p.columns.push_back(tap_at(b - 0.5f, sw));
    }
    for (uint32_t r = 0; r < height; ++r) {
      const float a = (float(r) + 0.5f) / s;
      const float b = oy + a;
      p.rows.push_back(tap_at(b - 0.5f, sh));
    }
  } else {
    m = {fw / fsw, fh / fsh, 0.0f, 0.0f};
    const float rx = fsw / fw, ry = fsh / fh;
    for (uint32_t q = 0; q < width; ++q) p.columns.push_back(tap_at(std::fma(float(q) + 0.5f, rx, -0.5f), sw));
    for (uint32_t r = 0; r < height; ++r) p.rows.push_back(tap_at(std::fma(float(r) + 0.5f, ry, -0.5f), sh));
  }
  if (width == 0 || height == 0 || dst == nullptr || frame.data == nullptr || sw == 0 || sh == 0)
    return m;

  if (uint64_t(width) * height < kParallelPixels) {
    write_rows(p, 0, height);
  } else {
    const uint32_t tasks = (height + kRowsPerTask - 1) / kRowsPerTask;
    parallel_for(tasks, [&p](size_t t) {
      const uint32_t first = uint32_t(t) * kRowsPerTask;
      write_rows(p, first, std::min(first + kRowsPerTask, p.height));
    });
  }
  return m;
}

}  // namespace vorn
