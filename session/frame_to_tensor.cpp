#include "session/frame_to_tensor.h"

#include <immintrin.h>

#include <algorithm>
#include <new>
#include <cmath>
#include <vector>

#include "platform/cpu_features.h"
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

// A column tap as byte offsets into a source row.
struct ColumnTap {
  uint64_t left;
  uint64_t right;
  int32_t f;
};

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
  std::vector<ColumnTap> column_taps;  // one per column of the block
  std::vector<Tap> rows;               // one per row of the block
  float* dst;
};

// One source row blended across: per tensor channel c and block column q,
// wx * left + fx * right (at most 2048 x 255, so the vertical blend below
// stays inside 32 bits exactly as the four-tap formula does).
void blend_row(const Plan& p, uint32_t y, int32_t* h) {
  const uint8_t* row = p.frame->data + uint64_t(y) * p.frame->stride;
  const uint32_t n = p.bx1 - p.bx0;
  // Locals: the stores below could otherwise alias the plan's words.
  const uint32_t c0 = p.ch[0], c1 = p.ch[1], c2 = p.ch[2];
  const ColumnTap* taps = p.column_taps.data();
  int32_t* h0 = h;
  int32_t* h1 = h + n;
  int32_t* h2 = h + 2 * uint64_t(n);
  for (uint32_t q = 0; q < n; ++q) {
    const ColumnTap t = taps[q];
    const uint8_t* a = row + t.left;
    const uint8_t* b = row + t.right;
    const int32_t wx = 2048 - t.f, fx = t.f;
    h0[q] = wx * a[c0] + fx * b[c0];
    h1[q] = wx * a[c1] + fx * b[c1];
    h2[q] = wx * a[c2] + fx * b[c2];
  }
}

// Blends two blended rows and normalises: contiguous, so it vectorises.
template <bool kFma>
inline float blend_one(int32_t top, int32_t bottom, int32_t wy, int32_t fy, float scale, float neg_mean,
                       float sd) {
  const float v = float(top * wy + bottom * fy) * kInv2Pow22;
  return (kFma ? __builtin_fmaf(v, scale, neg_mean) : std::fma(v, scale, neg_mean)) / sd;
}

template <bool kFma>
inline void blend_column(const int32_t* top, const int32_t* bottom, int32_t wy, int32_t fy, uint32_t n,
                         float scale, float neg_mean, float sd, float* out) {
  for (uint32_t q = 0; q < n; ++q) out[q] = blend_one<kFma>(top[q], bottom[q], wy, fy, scale, neg_mean, sd);
}

using BlendFn = void (*)(const int32_t*, const int32_t*, int32_t, int32_t, uint32_t, float, float, float,
                         float*);

[[gnu::target("avx2,fma")]] void blend_column_fma(const int32_t* top, const int32_t* bottom, int32_t wy,
                                                  int32_t fy, uint32_t n, float scale, float neg_mean,
                                                  float sd, float* out) {
  // The same integer blend, exact conversion, exact power-of-two scaling,
  // fused multiply-add and division as the scalar form, eight at a time.
  const __m256i vwy = _mm256_set1_epi32(wy), vfy = _mm256_set1_epi32(fy);
  const __m256 k = _mm256_set1_ps(kInv2Pow22), vs = _mm256_set1_ps(scale);
  const __m256 vm = _mm256_set1_ps(neg_mean), vd = _mm256_set1_ps(sd);
  uint32_t q = 0;
  for (; q + 8 <= n; q += 8) {
    const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + q));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + q));
    const __m256i v = _mm256_add_epi32(_mm256_mullo_epi32(t, vwy), _mm256_mullo_epi32(b, vfy));
    const __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(v), k);
    _mm256_storeu_ps(out + q, _mm256_div_ps(_mm256_fmadd_ps(f, vs, vm), vd));
  }
  for (; q < n; ++q) out[q] = blend_one<true>(top[q], bottom[q], wy, fy, scale, neg_mean, sd);
}

void blend_column_plain(const int32_t* top, const int32_t* bottom, int32_t wy, int32_t fy, uint32_t n,
                        float scale, float neg_mean, float sd, float* out) {
  blend_column<false>(top, bottom, wy, fy, n, scale, neg_mean, sd, out);
}

// The fused multiply-add is exact either way, the hardware one is an
// instruction instead of a library call per value.
BlendFn blend_fn() { return cpu_has_avx2_fma() ? blend_column_fma : blend_column_plain; }

void fill_row(const Plan& p, float* d0, uint64_t plane, uint32_t from, uint32_t to) {
  for (int c = 0; c < 3; ++c) std::fill(d0 + c * plane + from, d0 + c * plane + to, p.fill[c]);
}

// cache holds two blended source rows (6 x block width), reused while
// consecutive tensor rows read them.
void write_rows(const Plan& p, uint32_t first, uint32_t last, int32_t* cache) {
  const uint64_t plane = uint64_t(p.width) * p.height;
  const uint32_t n = p.bx1 - p.bx0;
  const BlendFn blend = blend_fn();
  int64_t cached[2] = {-1, -1};
  for (uint32_t r = first; r < last; ++r) {
    float* d0 = p.dst + uint64_t(r) * p.width;
    if (r < p.by0 || r >= p.by1 || n == 0) {
      fill_row(p, d0, plane, 0, p.width);
      continue;
    }
    fill_row(p, d0, plane, 0, p.bx0);
    fill_row(p, d0, plane, p.bx1, p.width);
    const Tap& ty = p.rows[r - p.by0];
    // Tap 0 may not evict the row tap 1 needs, nor tap 1 the row of tap 0.
    int slot0 = cached[0] == ty.i0 ? 0 : cached[1] == ty.i0 ? 1 : -1;
    if (slot0 < 0) {
      slot0 = cached[0] == ty.i1 ? 1 : 0;
      blend_row(p, ty.i0, cache + slot0 * 3 * uint64_t(n));
      cached[slot0] = ty.i0;
    }
    int slot1 = cached[0] == ty.i1 ? 0 : cached[1] == ty.i1 ? 1 : -1;
    if (slot1 < 0) {
      slot1 = 1 - slot0;
      blend_row(p, ty.i1, cache + slot1 * 3 * uint64_t(n));
      cached[slot1] = ty.i1;
    }
    const int32_t* rows[2] = {cache + slot0 * 3 * uint64_t(n), cache + slot1 * 3 * uint64_t(n)};
    for (int c = 0; c < 3; ++c)
      blend(rows[0] + c * uint64_t(n), rows[1] + c * uint64_t(n), 2048 - ty.f, ty.f, n, p.scale,
            p.neg_mean[c], p.std[c], d0 + c * plane + p.bx0);
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

  // Where tensor column q and row r read the source, per mode.
  FrameMapping m{};
  float rx = 0, ry = 0, ox = 0, oy = 0, crop_s = 1;
  int64_t px = 0, py = 0;
  const uint32_t mode = st.resize_mode;
  if (mode == VORN_RESIZE_LETTERBOX) {
    const float s = std::min(fw / fsw, fh / fsh);
    const int64_t nw = int64_t(std::fma(fsw, s, 0.5f));
    const int64_t nh = int64_t(std::fma(fsh, s, 0.5f));
    px = (int64_t(width) - nw) / 2;
    py = (int64_t(height) - nh) / 2;
    m = {s, s, float(px), float(py), true};
    p.bx0 = uint32_t(std::clamp<int64_t>(px, 0, width));
    p.bx1 = uint32_t(std::clamp<int64_t>(px + nw, 0, width));
    p.by0 = uint32_t(std::clamp<int64_t>(py, 0, height));
    p.by1 = uint32_t(std::clamp<int64_t>(py + nh, 0, height));
    rx = fsw / float(std::max<int64_t>(nw, 1));
    ry = fsh / float(std::max<int64_t>(nh, 1));
  } else if (mode == VORN_RESIZE_CENTER_CROP) {
    crop_s = std::max(fw / fsw, fh / fsh);
    ox = (fsw - fw / crop_s) * 0.5f;
    oy = (fsh - fh / crop_s) * 0.5f;
    m = {crop_s, crop_s, -(ox * crop_s), -(oy * crop_s), true};
  } else {
    m = {fw / fsw, fh / fsh, 0.0f, 0.0f, true};
    rx = fsw / fw;
    ry = fsh / fh;
  }
  if (width == 0 || height == 0 || dst == nullptr || frame.data == nullptr || sw == 0 || sh == 0)
    return m;
  auto source = [&](uint32_t i, bool column) {
    if (mode == VORN_RESIZE_LETTERBOX)
      return std::fma(float(int64_t(i) - (column ? px : py)) + 0.5f, column ? rx : ry, -0.5f);
    if (mode == VORN_RESIZE_CENTER_CROP) {
      const float a = (float(i) + 0.5f) / crop_s;
      const float b = (column ? ox : oy) + a;
      return b - 0.5f;
    }
    return std::fma(float(i) + 0.5f, column ? rx : ry, -0.5f);
  };

  const uint32_t n = p.bx1 - p.bx0;
  const bool parallel = uint64_t(width) * height >= kParallelPixels;
  // A few bands a thread: each band blends its first source rows afresh.
  const uint64_t bands = parallel ? std::min<uint64_t>(parallel_thread_count() * 2, height / kRowsPerTask + 1) : 1;
  std::vector<int32_t> caches;
  try {
    p.column_taps.resize(n);
    p.rows.resize(p.by1 - p.by0);
    caches.resize(bands * 6 * uint64_t(n));
  } catch (const std::bad_alloc&) {
    m.ok = false;
    return m;
  }
  for (uint32_t q = 0; q < n; ++q) {
    const Tap t = tap_at(source(p.bx0 + q, true), sw);
    p.column_taps[q] = {uint64_t(t.i0) * p.layout.bytes, uint64_t(t.i1) * p.layout.bytes, t.f};
  }
  for (uint32_t r = p.by0; r < p.by1; ++r) p.rows[r - p.by0] = tap_at(source(r, false), sh);

  if (!parallel) {
    write_rows(p, 0, height, caches.data());
  } else {
    const uint32_t rows = uint32_t((height + bands - 1) / bands);
    int32_t* cache = caches.data();
    parallel_for(bands, [&p, rows, cache, n](size_t t) {
      const uint32_t first = uint32_t(t) * rows;
      if (first < p.height) write_rows(p, first, std::min(first + rows, p.height), cache + t * 6 * uint64_t(n));
    });
  }
  return m;
}

}  // namespace vorn
