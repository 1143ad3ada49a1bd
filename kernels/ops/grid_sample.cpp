// GridSample: bilinear sampling at grid positions in [-1, 1], zero outside
// the input, corners not aligned.
#include <algorithm>
#include <cmath>

#include "kernels/ops/spatial_common.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;

bool grid_shape(const CpuState& s, const NodeRecord& n, Nchw* x, Nchw* y, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1)) return fail(msg, cap, "needs input, grid and output");
  if (!kern::value_nchw(node_in_value(s, n, 0), x) || !kern::value_nchw(node_out_value(s, n, 0), y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  if (x->n != y->n || x->c != y->c) return fail(msg, cap, "input and output differ in batch or channels");
  if (kern::value_count(node_in_value(s, n, 1)) != y->n * y->plane() * 2)
    return fail(msg, cap, "grid must hold N x Hout x Wout pairs");
  return true;
}

// Unnormalised position shifted by one so that trunc() floors it; NaN and
// far-away positions land where every tap lies outside.
inline float grid_pos(float g, int64_t size) {
  float p = static_cast<float>(size) * 0.5f * (g + 1.0f) + 0.5f;
  if (!(p >= 0.0f)) p = 0.0f;
  return std::min(p, static_cast<float>(size + 1));
}

}  // namespace

namespace {

struct GridPlan {
  Nchw x, y;
};

}  // namespace

bool grid_sample_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  GridPlan q;
  if (!grid_shape(s, n, &q.x, &q.y, msg, cap)) return false;
  plan.set(q);
  return true;
}

bool grid_sample_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const Nchw xs = plan.get<GridPlan>().x, ys = plan.get<GridPlan>().y;
  const float* x = node_in(s, n, 0);
  const float* grid = node_in(s, n, 1);
  float* y = node_out(s, n, 0);
  const int64_t h = xs.h, w = xs.w, hw = h * w, hwo = ys.plane(), ch = xs.c;
  const int64_t rows = ys.n * ys.h;
  // One iteration per (image, output row); each writes that row of every
  // channel.
  kern::run_split(rows >= 8 && rows * ys.w * ch >= 65536, static_cast<size_t>(rows), [&](size_t it) {
    const int64_t b = static_cast<int64_t>(it) / ys.h, r = static_cast<int64_t>(it) % ys.h;
    const float* xb = x + b * ch * hw;
    float* yb = y + b * ch * hwo;
    for (int64_t c0 = 0; c0 < ys.w; ++c0) {
      const float* g = grid + ((b * ys.h + r) * ys.w + c0) * 2;
      const float px = grid_pos(g[0], w), py = grid_pos(g[1], h);
      const int64_t x0 = static_cast<int64_t>(px), y0 = static_cast<int64_t>(py);
      const float fx = px - static_cast<float>(x0), fy = py - static_cast<float>(y0);
      const int64_t ys_[2] = {y0 - 1, y0}, xs_[2] = {x0 - 1, x0};
      const float wy[2] = {1.0f - fy, fy}, wx[2] = {1.0f - fx, fx};
      int64_t idx[4];
      float wt[4];
      int taps = 0;
      for (int a = 0; a < 2; ++a)
        for (int bb = 0; bb < 2; ++bb)
          if (ys_[a] >= 0 && ys_[a] < h && xs_[bb] >= 0 && xs_[bb] < w) {
            idx[taps] = ys_[a] * w + xs_[bb];
            wt[taps++] = wy[a] * wx[bb];
          }
      const int64_t o = r * ys.w + c0;
      for (int64_t c = 0; c < ch; ++c) {
        const float* xc = xb + c * hw;
        float acc = 0.0f;
        for (int t = 0; t < taps; ++t) acc += xc[idx[t]] * wt[t];
        yb[c * hwo + o] = acc;
      }
    }
  });
  return true;
}

}  // namespace vorn
