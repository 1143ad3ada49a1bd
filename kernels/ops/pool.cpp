// MaxPool, AveragePool and GlobalAveragePool over NCHW planes.
#include <algorithm>

#include "container/attr_words.h"
#include "kernels/ops/pool.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace {

using kern::fail;
using kern::Nchw;
using kern::PoolParams;
using kern::kPoolLowest;

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
  // Zero dilations read as 1, as the converter writes them for a window
  // without any.
  q.dh = std::max(1, kern::attr_int(n, A::kDilationH)), q.dw = std::max(1, kern::attr_int(n, A::kDilationW));
  if (q.padt < 0 || q.padl < 0) return fail(msg, cap, "negative padding");
  if (q.kh > 65535 || q.kw > 65535 || q.dh > 65535 || q.dw > 65535)
    return fail(msg, cap, "window %lld x %lld too large", (long long)q.kh, (long long)q.kw);
  *p = q;
  return true;
}

// The portable form: each output folds its window's taps inside the input
// in row-major order.
template <bool kMax>
void pool_planes_portable(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  const int64_t h = p.x.h, w = p.x.w;
  const float area = static_cast<float>(p.kh * p.kw);
  for (int64_t k = first; k < end; ++k) {
    const float* xp = x + k * p.x.plane();
    float* yp = y + k * p.y.plane();
    for (int64_t oy = 0; oy < p.y.h; ++oy) {
      const int64_t top = oy * p.sh - p.padt;
      const int64_t i0 = top >= 0 ? 0 : (-top + p.dh - 1) / p.dh;
      const int64_t i1 = top >= h ? 0 : std::min(p.kh, (h - 1 - top) / p.dh + 1);
      for (int64_t ox = 0; ox < p.y.w; ++ox) {
        const int64_t left = ox * p.sw - p.padl;
        const int64_t j0 = left >= 0 ? 0 : (-left + p.dw - 1) / p.dw;
        const int64_t j1 = left >= w ? 0 : std::min(p.kw, (w - 1 - left) / p.dw + 1);
        float acc = kMax ? kPoolLowest : 0.0f;
        for (int64_t i = i0; i < i1; ++i) {
          const float* r = xp + (top + i * p.dh) * w;
          for (int64_t j = j0; j < j1; ++j) {
            const float v = r[left + j * p.dw];
            if constexpr (kMax)
              acc = v > acc ? v : acc;
            else
              acc += v;
          }
        }
        // The divisor is the whole window: padding counts as zeros.
        if constexpr (!kMax) acc = p.empty() ? 0.0f : acc / area;
        yp[oy * p.y.w + ox] = acc;
      }
    }
  }
}

using kern::PoolPlan;

bool pool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, bool max, char* msg, size_t cap) {
  PoolPlan q{};
  if (!pool_params(s, n, &q.p, msg, cap)) return false;
  q.planes = kern::pool_planes_for(q.p, max, s.isa);
  q.unit = 1;
#if defined(__x86_64__)
  if (q.planes == &kern::max_planes_lanes_avx2 || q.planes == &kern::avg_planes_lanes_avx2) q.unit = 8;
#endif
  q.parallel = q.p.planes() >= 8 && q.p.planes() * q.p.y.plane() > 4095;
  plan.set(q);
  return true;
}

bool pool_run(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const PoolPlan& q = plan.get<PoolPlan>();
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const int64_t planes = q.p.planes();
  kern::run_split(q.parallel, static_cast<size_t>((planes + q.unit - 1) / q.unit), [&](size_t u) {
    const int64_t k = static_cast<int64_t>(u) * q.unit;
    q.planes(q.p, x, y, k, std::min(planes, k + q.unit));
  });
  return true;
}

}  // namespace

namespace kern {

PoolPlanes pool_planes_for(const PoolParams& p, bool max, KernelIsa isa) {
#if defined(__x86_64__)
  // Windows of more columns than kPoolVectorTaps and other strides are
  // rare enough for the portable loop.
  if (max && isa == KernelIsa::kAvx512 && !p.empty() && !pool_lanes_apply(p) && max_narrow_avx512_apply(p) &&
      p.x.w < (int64_t{1} << 30))
    return &max_planes_narrow_avx512;
  if (max && isa == KernelIsa::kAvx512 && !p.empty() && !pool_lanes_apply(p) && max_rows_s2_avx512_apply(p) &&
      p.y.w < (int64_t{1} << 30) && p.x.w < (int64_t{1} << 30))
    return &max_planes_rows_s2_avx512;
  if (isa_has_avx2(isa) && !p.empty() && (p.sw == 1 || p.sw == 2) && p.kw <= kPoolVectorTaps &&
      p.y.w < (int64_t{1} << 30) && p.x.w < (int64_t{1} << 30))
    return pool_lanes_apply(p) ? (max ? &max_planes_lanes_avx2 : &avg_planes_lanes_avx2)
                               : max ? &max_planes_avx2 : &avg_planes_avx2;
#else
  (void)isa;
#endif
  return max ? &pool_planes_portable<true> : &pool_planes_portable<false>;
}

}  // namespace kern

bool maxpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  return pool_prepare(s, n, plan, true, msg, cap);
}
bool maxpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) { return pool_run(s, n, plan); }
bool avgpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  return pool_prepare(s, n, plan, false, msg, cap);
}
bool avgpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) { return pool_run(s, n, plan); }

namespace {

struct GlobalPoolPlan {
  int64_t planes, size;
  kern::GlobalPoolPlanes run;
  bool parallel;
};

}  // namespace

namespace kern {

double global_pool_sum(const double (&part)[8]) {
  return ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
}

void global_avg_planes_portable(const float* x, float* y, int64_t first, int64_t end, int64_t hw) {
  for (int64_t k = first; k < end; ++k) {
    const float* p = x + k * hw;
    double part[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int64_t i = 0;
    for (; i + 8 <= hw; i += 8)
      for (int j = 0; j < 8; ++j) part[j] += p[i + j];
    for (; i < hw; ++i) part[i % 8] += p[i];
    y[k] = hw > 0 ? static_cast<float>(global_pool_sum(part) / static_cast<double>(hw)) : 0.0f;
  }
}

GlobalPoolPlanes global_pool_planes_for(KernelIsa isa) {
#if defined(__x86_64__)
  if (isa_has_avx2(isa)) return &global_avg_planes_avx2;
#else
  (void)isa;
#endif
  return &global_avg_planes_portable;
}

}  // namespace kern

bool global_avgpool_prepare(const CpuState& s, const NodeRecord& n, NodePlan& plan, char* msg, size_t cap) {
  if (!kern::has_io(s, n)) return fail(msg, cap, "needs input and output");
  Nchw x;
  if (!kern::value_nchw(node_in_value(s, n, 0), &x)) return fail(msg, cap, "input must be NCHW");
  if (kern::value_count(node_out_value(s, n, 0)) != x.n * x.c)
    return fail(msg, cap, "output must hold one value per plane");
  const int64_t planes = x.n * x.c;
  plan.set(GlobalPoolPlan{planes, x.plane(), kern::global_pool_planes_for(s.isa), planes >= 8 && planes * x.plane() >= 4096});
  return true;
}

bool global_avgpool_kernel(CpuState& s, const NodeRecord& n, const NodePlan& plan) {
  const GlobalPoolPlan& q = plan.get<GlobalPoolPlan>();
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  // Planes go to the pool in groups of kGlobalPoolGroup, which the vector
  // form sums side by side.
  const int64_t groups = (q.planes + kern::kGlobalPoolGroup - 1) / kern::kGlobalPoolGroup;
  kern::run_split(q.parallel, static_cast<size_t>(groups), [&](size_t g) {
    const int64_t first = static_cast<int64_t>(g) * kern::kGlobalPoolGroup;
    q.run(x, y, first, std::min(q.planes, first + kern::kGlobalPoolGroup), q.size);
  });
  return true;
}

}  // namespace vorn
