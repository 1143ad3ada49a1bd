// Reference for frame-to-tensor: every destination pixel computed on its own
// from the definition (source position per resize mode, clamped bilinear
// sample with 11-bit weights, normalisation), no tables and no row reuse.
#pragma once
#include <cmath>
#include <cstdint>
#include <vector>

namespace vorn::reference {

struct RefImage {
  const uint8_t* data;
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;  // 1 RGB, 2 BGR, 3 RGBA, 4 BGRA, anything else grey
};

struct RefSettings {
  uint32_t mode;  // 0 stretch, 1 letterbox, 2 centre crop
  uint8_t pad;
  bool bgr;
  float scale;
  float mean[3];
  float std[3];
};

struct RefFigures {
  float scale_x, scale_y, pad_x, pad_y;
};

inline int ref_channel(const RefImage& im, uint32_t x, uint32_t y, int rgb) {
  const uint8_t* p = im.data + uint64_t(y) * im.stride;
  switch (im.format) {
    case 1: return p[x * 3 + rgb];
    case 2: return p[x * 3 + (2 - rgb)];
    case 3: return p[x * 4 + rgb];
    case 4: return p[x * 4 + (2 - rgb)];
    default: return p[x];
  }
}

// Value 0..255 of RGB channel rgb at (x, y).
inline float ref_bilinear(const RefImage& im, float x, float y, int rgb) {
  if (x < 0) x = 0;
  if (x > float(im.width - 1)) x = float(im.width - 1);
  if (y < 0) y = 0;
  if (y > float(im.height - 1)) y = float(im.height - 1);
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const int x1 = uint32_t(x0 + 1) < im.width ? x0 + 1 : x0;
  const int y1 = uint32_t(y0 + 1) < im.height ? y0 + 1 : y0;
  const int fx = int(std::fma(x - float(x0), 2048.0f, 0.5f));
  const int fy = int(std::fma(y - float(y0), 2048.0f, 0.5f));
  const int wx = 2048 - fx, wy = 2048 - fy;
  const int top = wx * ref_channel(im, x0, y0, rgb) + fx * ref_channel(im, x1, y0, rgb);
  const int bottom = wx * ref_channel(im, x0, y1, rgb) + fx * ref_channel(im, x1, y1, rgb);
  const int v = top * wy + bottom * fy;
  return float(v) * 2.3841858e-7f;
}

inline float ref_normalise(const RefSettings& st, int c, float value) {
  const float sd = st.std[c] == 0.0f ? 1.0f : st.std[c];
  return std::fma(value, st.scale, -st.mean[c]) / sd;
}

// Three planes of w x h floats.
inline std::vector<float> ref_frame_to_tensor(const RefImage& im, const RefSettings& st, uint32_t w,
                                              uint32_t h, RefFigures* fig) {
  std::vector<float> out(size_t(3) * w * h);
  const float sw = float(im.width), sh = float(im.height);
  for (uint32_t r = 0; r < h; ++r) {
    for (uint32_t q = 0; q < w; ++q) {
      float sx = 0, sy = 0;
      bool fill = false;
      if (st.mode == 1) {
        const float s = std::fmin(float(w) / sw, float(h) / sh);
        const int nw = int(std::fma(sw, s, 0.5f));
        const int nh = int(std::fma(sh, s, 0.5f));
        const int px = (int(w) - nw) / 2;
        const int py = (int(h) - nh) / 2;
        *fig = {s, s, float(px), float(py)};
        if (int(q) < px || int(q) >= px + nw || int(r) < py || int(r) >= py + nh) {
          fill = true;
        } else {
          sx = std::fma(float(int(q) - px) + 0.5f, sw / float(nw < 1 ? 1 : nw), -0.5f);
          sy = std::fma(float(int(r) - py) + 0.5f, sh / float(nh < 1 ? 1 : nh), -0.5f);
        }
      } else if (st.mode == 2) {
        const float s = std::fmax(float(w) / sw, float(h) / sh);
        const float ox = (sw - float(w) / s) * 0.5f;
        const float oy = (sh - float(h) / s) * 0.5f;
        *fig = {s, s, -(ox * s), -(oy * s)};
        sx = ox + (float(q) + 0.5f) / s - 0.5f;
        sy = oy + (float(r) + 0.5f) / s - 0.5f;
      } else {
        *fig = {float(w) / sw, float(h) / sh, 0.0f, 0.0f};
        sx = std::fma(float(q) + 0.5f, sw / float(w), -0.5f);
        sy = std::fma(float(r) + 0.5f, sh / float(h), -0.5f);
      }
      for (int c = 0; c < 3; ++c) {
        const int rgb = st.bgr ? 2 - c : c;
        const float v = fill ? float(st.pad) : ref_bilinear(im, sx, sy, rgb);
        out[size_t(c) * w * h + size_t(r) * w + q] = ref_normalise(st, c, v);
      }
    }
  }
  return out;
}

}  // namespace vorn::reference
