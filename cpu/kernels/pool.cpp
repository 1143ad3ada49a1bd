// MaxPool, AveragePool and GlobalAveragePool over NCHW planes.
#include <algorithm>

#include "container/attr_words.h"
#include "cpu/kernels/spatial_common.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;

constexpr float kLowest = -3.4028235e38f;

struct PoolParams {
  Nchw x, y;
  int64_t kh, kw, sh, sw, padt, padl;
  int64_t planes() const { return x.n * x.c; }
};

bool pool_params(const CpuState& s, const NodeRecord& n, PoolParams* p, char* msg, size_t cap) {
  if (!kern::has_io(s, n)) return fail(msg, cap, "needs input and output");
  PoolParams q{};
  if (!kern::value_nchw(node_in_value(s, n, 0), &q.x) || !kern::value_nchw(node_out_value(s, n, 0), &q.y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  if (q.x.n * q.x.c != q.y.n * q.y.c) return fail(msg, cap, "input and output planes differ");
  using A = attr::Window;
  q.kh = kern::attr_int(n, A::kKernelH), q.kw = kern::attr_int(n, A::kKernelW);
  q.sh = std::max(1, kern::attr_int(n, A::kStrideH)), q.sw = std::max(1, kern::attr_int(n, A::kStrideW));
  q.padt = kern::attr_int(n, A::kPadTop), q.padl = kern::attr_int(n, A::kPadLeft);
  if (q.padt < 0 || q.padl < 0) return fail(msg, cap, "negative padding");
  if (q.kh > 65535 || q.kw > 65535) return fail(msg, cap, "window %lld x %lld too large", (long long)q.kh, (long long)q.kw);
  *p = q;
  return true;
}

// One output row at a time, by passes over the window taps: each pass
// folds the tap's input samples into the whole row, so the column loop
// vectorises. Every output still combines its taps in row-major order.
template <bool kMax>
void pool_plane(const PoolParams& p, const float* x, float* y) {
  const int64_t h = p.x.h, w = p.x.w, ho = p.y.h, wo = p.y.w, sw = p.sw;
  const bool empty = p.kh < 1 || p.kw < 1;
  for (int64_t oy = 0; oy < ho; ++oy) {
    const int64_t top = oy * p.sh - p.padt;
    const int64_t i0 = std::max<int64_t>(top, 0), i1 = std::min(top + p.kh, h);
    float* yr = y + oy * wo;
    std::fill(yr, yr + wo, kMax ? kLowest : 0.0f);
    for (int64_t i = i0; i < i1; ++i) {
      const float* r = x + i * w;
      // Only taps that land inside the row for some output column.
      const int64_t j0 = std::max<int64_t>(0, p.padl - (wo - 1) * sw), j1 = std::min(p.kw, w + p.padl);
      for (int64_t j = j0; j < j1; ++j) {
        const int64_t off = j - p.padl;  // input column of output column 0
        int64_t lo = off >= 0 ? 0 : (-off + sw - 1) / sw;
        int64_t hi = w - 1 - off < 0 ? 0 : (w - 1 - off) / sw + 1;
        lo = std::min(lo, wo);
        hi = std::clamp(hi, lo, wo);
        if (kMax) {
          if (sw == 1) {
            for (int64_t c = lo; c < hi; ++c) yr[c] = r[c + off] > yr[c] ? r[c + off] : yr[c];
          } else {
            for (int64_t c = lo; c < hi; ++c) yr[c] = r[c * sw + off] > yr[c] ? r[c * sw + off] : yr[c];
          }
        } else {
          if (sw == 1) {
            for (int64_t c = lo; c < hi; ++c) yr[c] += r[c + off];
          } else {
            for (int64_t c = lo; c < hi; ++c) yr[c] += r[c * sw + off];
          }
        }
      }
    }
    // The divisor is the whole window: padding counts as zeros.
    if (!kMax) {
      if (empty) {
        std::fill(yr, yr + wo, 0.0f);
      } else {
        const float area = static_cast<float>(p.kh * p.kw);
        for (int64_t c = 0; c < wo; ++c) yr[c] = yr[c] / area;
      }
    }
  }
}

template <bool kMax>
bool pool_run(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const PoolParams& p = plan.get<PoolParams>();
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const int64_t planes = p.planes(), hw = p.x.plane(), hwo = p.y.plane();
  kern::run_split(planes >= 8 && planes * hwo > 4095, static_cast<size_t>(planes),
                  [&](size_t k) { pool_plane<kMax>(p, x + k * hw, y + k * hwo); });
  return true;
}

}  // namespace

bool maxpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  PoolParams p{};
  if (!pool_params(s, n, &p, msg, cap)) return false;
  plan.set(p);
  return true;
}
bool maxpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) { return pool_run<true>(s, n, plan); }
bool avgpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  return maxpool_prepare(s, n, plan, msg, cap);
}
bool avgpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) { return pool_run<false>(s, n, plan); }

namespace {

struct GlobalPoolPlan {
  int64_t planes, size;
};

}  // namespace

bool global_avgpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  if (!kern::has_io(s, n)) return fail(msg, cap, "needs input and output");
  Nchw x;
  if (!kern::value_nchw(node_in_value(s, n, 0), &x)) return fail(msg, cap, "input must be NCHW");
  if (kern::value_count(node_out_value(s, n, 0)) != x.n * x.c)
    return fail(msg, cap, "output must hold one value per plane");
  plan.set(GlobalPoolPlan{x.n * x.c, x.plane()});
  return true;
}

bool global_avgpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const float* in = node_in(s, n, 0);
  float* out = node_out(s, n, 0);
  const int64_t planes = plan.get<GlobalPoolPlan>().planes, hw = plan.get<GlobalPoolPlan>().size;
  // Double accumulation keeps large planes exact to f32. Eight running sums
  // (element i goes to sum i mod 8) instead of one chain of dependent adds:
  // the adds overlap and vectorise, about five times faster on the large
  // planes of squeeze-excitation blocks.
  kern::run_split(planes >= 8 && planes * hw >= 65536, static_cast<size_t>(planes), [&](size_t k) {
    const float* p = in + k * hw;
    double part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int64_t i = 0;
    for (; i + 8 <= hw; i += 8)
      for (int j = 0; j < 8; ++j) part[j] += p[i + j];
    for (; i < hw; ++i) part[i % 8] += p[i];
    const double sum = ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    out[k] = hw > 0 ? static_cast<float>(sum / static_cast<double>(hw)) : 0.0f;
  });
  return true;
}

}  // namespace vorn
