// Resize: copy, broadcast of 1x1 planes, bilinear (half-pixel centres or
// aligned corners) and nearest neighbour from the real input and output
// sizes.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/ops/spatial_common.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;

// Column coefficients are tabulated on the stack up to this width; wider
// outputs compute them per element.
constexpr int64_t kTable = 4096;

struct Tap {
  int32_t i0, i1;
  float w;
};

// Source positions of output index o along an axis of in -> out values.
inline Tap bilinear_tap(int64_t o, float scale, bool align, int64_t in) {
  const float s = align ? static_cast<float>(o) * scale : std::fma(static_cast<float>(o) + 0.5f, scale, -0.5f);
  Tap t{0, 0, 0.0f};
  if (s > 0.0f) {
    t.i0 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(s), in - 1));
    t.i1 = static_cast<int32_t>(std::min<int64_t>(t.i0 + 1, in - 1));
    t.w = s - static_cast<float>(t.i0);
  }
  return t;
}

inline float axis_scale(int64_t in, int64_t out, bool align) {
  const bool a = align && out > 1;
  return static_cast<float>(in - (a ? 1 : 0)) / static_cast<float>(out - (a ? 1 : 0));
}

inline int64_t nearest_src(int64_t o, int64_t in, int64_t out) { return std::min(o * in / out, in - 1); }

bool resize_shape(const CpuState& s, const NodeRecord& n, Nchw* x, Nchw* y, char* msg, size_t cap) {
  if (!kern::has_io(s, n)) return fail(msg, cap, "needs input and output");
  if (!kern::value_nchw(node_in_value(s, n, 0), x) || !kern::value_nchw(node_out_value(s, n, 0), y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  if (x->n * x->c != y->n * y->c) return fail(msg, cap, "input and output planes differ");
  if (y->count() > 0 && x->plane() == 0) return fail(msg, cap, "empty input plane");
  return true;
}

}  // namespace

namespace {

struct ResizePlan {
  Nchw x, y;
};

}  // namespace

bool resize_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  ResizePlan q;
  if (!resize_shape(s, n, &q.x, &q.y, msg, cap)) return false;
  plan.set(q);
  return true;
}

bool resize_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const Nchw xs = plan.get<ResizePlan>().x, ys = plan.get<ResizePlan>().y;
  if (ys.count() == 0) return true;
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const int64_t planes = ys.n * ys.c, h = xs.h, w = xs.w, ho = ys.h, wo = ys.w;
  const int64_t hw = h * w, hwo = ho * wo;
  if (ho == h && wo == w) {
    std::memcpy(y, x, static_cast<size_t>(planes * hw) * 4);
    return true;
  }
  const bool par = planes >= 8 && planes * hwo >= 16384;
  if (h == 1 && w == 1) {
    kern::run_split(par, static_cast<size_t>(planes), [&](size_t p) { std::fill(y + p * hwo, y + (p + 1) * hwo, x[p]); });
    return true;
  }
  if (n.attr(attr::Resize::kLinear) == 1) {
    const bool align = n.attr(attr::Resize::kAlignCorners) == 1;
    const float sy = axis_scale(h, ho, align), sx = axis_scale(w, wo, align);
    if (wo <= kTable) {
      Tap cols[kTable];
      for (int64_t c = 0; c < wo; ++c) cols[c] = bilinear_tap(c, sx, align, w);
      // Each source row is interpolated across once into one of two
      // row buffers; consecutive output rows mostly share their source rows,
      // and the blend between the two rows then vectorises.
      kern::run_split(par, static_cast<size_t>(planes), [&](size_t p) {
        const float* xp = x + p * hw;
        float* yp = y + p * hwo;
        float buf[2][kTable];
        int64_t key[2] = {-1, -1};
        auto across = [&](int64_t row, int64_t keep) -> const float* {
          for (int k = 0; k < 2; ++k)
            if (key[k] == row) return buf[k];
          const int slot = key[0] == keep ? 1 : 0;
          const float* src = xp + row * w;
          float* dst = buf[slot];
          for (int64_t c = 0; c < wo; ++c) {
            const Tap u = cols[c];
            dst[c] = u.w * (src[u.i1] - src[u.i0]) + src[u.i0];
          }
          key[slot] = row;
          return dst;
        };
        for (int64_t r = 0; r < ho; ++r) {
          const Tap t = bilinear_tap(r, sy, align, h);
          const float* top = across(t.i0, t.i1);
          const float* bottom = across(t.i1, t.i0);
          float* out = yp + r * wo;
          for (int64_t c = 0; c < wo; ++c) out[c] = t.w * (bottom[c] - top[c]) + top[c];
        }
      });
      return true;
    }
    kern::run_split(par, static_cast<size_t>(planes), [&](size_t p) {
      const float* xp = x + p * hw;
      float* yp = y + p * hwo;
      for (int64_t r = 0; r < ho; ++r) {
        const Tap t = bilinear_tap(r, sy, align, h);
        const float* r0 = xp + t.i0 * w;
        const float* r1 = xp + t.i1 * w;
        float* out = yp + r * wo;
        for (int64_t c = 0; c < wo; ++c) {
          const Tap u = bilinear_tap(c, sx, align, w);
          const float top = u.w * (r0[u.i1] - r0[u.i0]) + r0[u.i0];
          const float bottom = u.w * (r1[u.i1] - r1[u.i0]) + r1[u.i0];
          out[c] = t.w * (bottom - top) + top;
        }
      }
    });
    return true;
  }
  int32_t src_cols[kTable];
  const bool tabled = wo <= kTable;
  if (tabled)
    for (int64_t c = 0; c < wo; ++c) src_cols[c] = static_cast<int32_t>(nearest_src(c, w, wo));
  // Integer width factors (the usual 2x upsample) repeat each input value;
  // output rows that read the same input row as the one before are copies.
  const int64_t fw = wo % w == 0 ? wo / w : 0;
  kern::run_split(par, static_cast<size_t>(planes), [&](size_t p) {
    const float* xp = x + p * hw;
    float* yp = y + p * hwo;
    for (int64_t r = 0; r < ho; ++r) {
      const int64_t sr = nearest_src(r, h, ho);
      const float* src = xp + sr * w;
      float* out = yp + r * wo;
      if (r > 0 && nearest_src(r - 1, h, ho) == sr) {
        std::memcpy(out, out - wo, static_cast<size_t>(wo) * 4);
      } else if (fw == 2) {
        for (int64_t c = 0; c < w; ++c) out[2 * c] = out[2 * c + 1] = src[c];
      } else if (fw == 1) {
        std::memcpy(out, src, static_cast<size_t>(wo) * 4);
      } else if (fw > 2) {
        for (int64_t c = 0; c < w; ++c) std::fill(out + c * fw, out + (c + 1) * fw, src[c]);
      } else if (tabled) {
        for (int64_t c = 0; c < wo; ++c) out[c] = src[src_cols[c]];
      } else {
        for (int64_t c = 0; c < wo; ++c) out[c] = src[nearest_src(c, w, wo)];
      }
    }
  });
  return true;
}

}  // namespace vorn
