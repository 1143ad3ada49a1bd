// DeformUnfold: samples each input position's k x k kernel taps at learned
// offsets, weighted by a mask, and lays them out as a (H k) x (W k) plane so
// that a following k-strided convolution applies the deformable filter.
#include <algorithm>
#include <cstring>

#include "container/attr_words.h"
#include "kernels/ops/spatial_common.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;

struct DeformShape {
  Nchw x, y;
  int64_t k;
};

bool deform_shape(const CpuState& s, const NodeRecord& n, DeformShape* d, char* msg, size_t cap) {
  if (!kern::has_io(s, n) || !kern::has_input(s, n, 1) || !kern::has_input(s, n, 2))
    return fail(msg, cap, "needs input, offsets, mask and output");
  DeformShape q{};
  if (!kern::value_nchw(node_in_value(s, n, 0), &q.x) || !kern::value_nchw(node_out_value(s, n, 0), &q.y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  q.k = kern::attr_int(n, attr::DeformUnfold::kKernel);
  if (q.k < 1 || q.k > 64) return fail(msg, cap, "kernel size %lld out of range", (long long)q.k);
  const int64_t kk = q.k * q.k, hw = q.x.plane();
  if (q.y.n != q.x.n || q.y.c != q.x.c || q.y.h != q.x.h * q.k || q.y.w != q.x.w * q.k)
    return fail(msg, cap, "output must be [N, C, H k, W k]");
  if (kern::value_count(node_in_value(s, n, 1)) < 2 * kk * hw || kern::value_count(node_in_value(s, n, 2)) < kk * hw)
    return fail(msg, cap, "offsets or mask too small for the kernel");
  *d = q;
  return true;
}

inline float clamp_pos(float v, int64_t hi) {
  if (!(v >= 0.0f)) return 0.0f;  // NaN included
  return std::min(v, static_cast<float>(hi));
}

}  // namespace

bool deform_unfold_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  DeformShape d{};
  if (!deform_shape(s, n, &d, msg, cap)) return false;
  plan.set(d);
  return true;
}

bool deform_unfold_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const DeformShape& d = plan.get<DeformShape>();
  const float* x = node_in(s, n, 0);
  const float* off = node_in(s, n, 1);
  const float* mask = node_in(s, n, 2);
  float* y = node_out(s, n, 0);
  const int64_t k = d.k, h = d.x.h, w = d.x.w, hw = h * w, ch = d.x.c, wo = w * k, hwo = hw * k * k;
  const int64_t p = k <= 3 ? 1 : 3, hp = h + 2 * p, wp = w + 2 * p, shift = k == 1 ? 1 : 0;
  // Only the first image is computed; later images (never formed at batch
  // 1) are cleared rather than left holding stale arena data.
  if (d.y.n > 1 && ch * hwo > 0) std::memset(y + ch * hwo, 0, static_cast<size_t>((d.y.n - 1) * ch * hwo) * 4);
  // One iteration per input row: it writes output rows r k .. r k + k - 1
  // of every channel.
  kern::run_split(h >= 8 && ch * hwo >= 65536, static_cast<size_t>(h), [&](size_t it) {
    const int64_t r = static_cast<int64_t>(it);
    for (int64_t c0 = 0; c0 < w; ++c0) {
      for (int64_t i = 0; i < k; ++i)
        for (int64_t j = 0; j < k; ++j) {
          const int64_t t = i * k + j, pos = r * w + c0;
          const float sy = clamp_pos(off[(2 * t) * hw + pos] + static_cast<float>(r + i + shift), hp - 1);
          const float sx = clamp_pos(off[(2 * t + 1) * hw + pos] + static_cast<float>(c0 + j + shift), wp - 1);
          const int64_t y0 = static_cast<int64_t>(sy), x0 = static_cast<int64_t>(sx);
          const int64_t y1 = std::min(y0 + 1, hp - 1), x1 = std::min(x0 + 1, wp - 1);
          const float fy = sy - static_cast<float>(y0), fx = sx - static_cast<float>(x0);
          const float m = mask[t * hw + pos];
          const int64_t ty[4] = {y0 - p, y0 - p, y1 - p, y1 - p}, tx[4] = {x0 - p, x1 - p, x0 - p, x1 - p};
          const float tw[4] = {(1 - fy) * (1 - fx), (1 - fy) * fx, fy * (1 - fx), fy * fx};
          int64_t idx[4];
          float wt[4];
          int taps = 0;
          for (int q = 0; q < 4; ++q)
            if (ty[q] >= 0 && ty[q] < h && tx[q] >= 0 && tx[q] < w) {
              idx[taps] = ty[q] * w + tx[q];
              wt[taps++] = m * tw[q];
            }
          const int64_t o = (r * k + i) * wo + c0 * k + j;
          for (int64_t c = 0; c < ch; ++c) {
            const float* xc = x + c * hw;
            float acc = 0.0f;
            for (int q = 0; q < taps; ++q) acc += xc[idx[q]] * wt[q];
            y[c * hwo + o] = acc;
          }
        }
    }
  });
  return true;
}

}  // namespace vorn
