// A convolution and its MaxPool in bands of the pool's output rows
// (conv_max_pool.h).
#include "kernels/ops/conv_max_pool.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "container/op_codes.h"
#include "kernels/kernel.h"

namespace vorn {

namespace kern {

namespace {

// The band's convolution rows stay within this many values, a part of the
// second-level cache that leaves room for the padded input rows and the
// pool's output rows.
constexpr int64_t kBandFloats = 128 * 1024;

// Convolution rows [lo, hi) that pool output rows [oy0, oy1) read.
void rows_read(const PoolParams& q, int64_t oy0, int64_t oy1, int64_t* lo, int64_t* hi) {
  *lo = std::clamp<int64_t>(oy0 * q.sh - q.padt, 0, q.x.h);
  *hi = std::clamp<int64_t>((oy1 - 1) * q.sh - q.padt + (q.kh - 1) * q.dh + 1, *lo, q.x.h);
}

// The most convolution rows a band of `rows` pool rows reads.
int64_t band_conv_rows(const PoolParams& q, int64_t rows) {
  return std::min(q.x.h, (rows - 1) * q.sh + (q.kh - 1) * q.dh + 1);
}

// The direct path's plan cut down to bands of at most `rows` output rows:
// its padded rows and offset table then take only what such a band reads.
// (The sums do not depend on the band; run_direct_rows computes any rows
// the same.)
ConvPlan cut_to_rows(const ConvPlan& c, int64_t rows) {
  ConvPlan u = c;
  const ConvParams& p = c.p;
  DirectBands& d = u.direct;
  d.rows = std::min(d.rows, rows);
  d.plane = ((d.rows - 1) * p.sh + (p.kh - 1) * p.dh + 1) * d.wp;
  d.floats = (p.x.c * d.plane + 15) / 16 * 16 + kPanelWidth + 2 * p.k_rows() + 16;
  return u;
}

// Workspace floats of a band of `rows` pool rows: the cut plan's padded
// rows and table, then the band's convolution rows (whole 64-byte lines).
int64_t band_floats(const ConvPlan& c, const PoolParams& q, int64_t rows) {
  const int64_t conv_rows = band_conv_rows(q, rows);
  return (cut_to_rows(c, conv_rows).direct.floats + 15) / 16 * 16 + (c.p.y.c * conv_rows * q.x.w + 15) / 16 * 16;
}

// Pool output rows [oy0, oy1) from convolution rows [lo, hi) held in band
// (each output channel's ldc values apart): one plane at a time, its rows
// [0, hi - lo), the pool's padding shifted to match.
void pool_band(const PoolParams& q, KernelIsa isa, const float* band, int64_t ldc, int64_t lo, int64_t hi,
               int64_t oy0, int64_t oy1, float* yn) {
  PoolParams one = q;
  one.x.n = one.x.c = one.y.n = one.y.c = 1;
  one.x.h = hi - lo;
  one.padt = q.padt + lo - oy0 * q.sh;
  one.y.h = oy1 - oy0;
  const PoolPlanes planes = pool_planes_for(one, true, isa);
  for (int64_t k = 0; k < q.x.c; ++k) planes(one, band + k * ldc, yn + k * q.y.plane() + oy0 * q.y.w, 0, 1);
}

}  // namespace

bool conv_max_pool_applies(const ConvPlan& c, const PoolParams& q) {
  const ConvParams& p = c.p;
  return c.path == ConvPath::kDirect && !c.direct.across() && c.direct.rows > 0 && !c.panels.parallel &&
         !c.last_panels.parallel && !conv_act_adds(p.act) &&
         !q.empty() && q.x.n == p.y.n && q.x.c == p.y.c && q.x.h == p.y.h && q.x.w == p.y.w &&
         q.y.n * q.y.c == q.x.n * q.x.c && q.y.h > 0 && q.y.w > 0 && p.y.c * p.y.plane() * 4 >= kPoolFuseBytes;
}

int64_t conv_max_pool_floats(const ConvPlan& c, const PoolParams& q, int64_t band_rows) {
  return band_floats(c, q, band_rows);
}

int64_t conv_max_pool_band_rows(const ConvPlan& c, const PoolParams& q, int64_t ws_floats) {
  // As many pool rows as keep the band's convolution rows within
  // kBandFloats, and at least one where the workspace holds it.
  int64_t rows = q.y.h;
  while (rows > 1 && (c.p.y.c * band_conv_rows(q, rows) * q.x.w > kBandFloats ||
                      conv_max_pool_floats(c, q, rows) > ws_floats))
    --rows;
  return conv_max_pool_floats(c, q, rows) <= ws_floats ? rows : 0;
}

void run_conv_max_pool(const ConvPlan& c, const PoolParams& q, KernelIsa isa, int64_t band_rows, const float* xn,
                       const float* w, const float* bias, float* ws, float* yn) {
  const ConvParams& p = c.p;
  const int64_t cw = p.y.w, cout = p.y.c, most = band_conv_rows(q, band_rows), ldc = most * cw;
  const ConvPlan cut = cut_to_rows(c, most);
  float* band = ws + (cut.direct.floats + 15) / 16 * 16;
  const ConvRun r{cut, p, w, bias, ws, nullptr};
  // The band's rows [have_lo, have_hi) are in the workspace.
  int64_t have_lo = 0, have_hi = 0;
  for (int64_t oy0 = 0; oy0 < q.y.h; oy0 += band_rows) {
    const int64_t oy1 = std::min(q.y.h, oy0 + band_rows);
    int64_t lo, hi;
    rows_read(q, oy0, oy1, &lo, &hi);
    // Rows the last band computed and this one reads move to the front of
    // their channel's plane (towards lower addresses, within the plane).
    const int64_t keep = std::max<int64_t>(0, std::min(hi, have_hi) - lo);
    if (keep > 0 && lo > have_lo)
      for (int64_t k = 0; k < cout; ++k)
        std::memmove(band + k * ldc, band + k * ldc + (lo - have_lo) * cw, static_cast<size_t>(keep * cw) * 4);
    const int64_t first_new = lo + keep;
    if (first_new < hi) run_direct_rows(r, xn, band + keep * cw, ldc, first_new, hi);
    have_lo = lo;
    have_hi = hi;
    pool_band(q, isa, band, ldc, lo, hi, oy0, oy1, yn);
  }
}

}  // namespace kern

namespace {

// Band rows of a pair, 0 where it runs apart: its plans do not allow it,
// the workspace holds no band, or the pool's output shares memory with the
// convolution's input (the arena may give it that input's place once the
// convolution has read it; together, the two are live at once).
int64_t pair_band_rows(const CpuState& s, const NodeRecord& c, const NodePlan& pc, const NodeRecord& q,
                       const NodePlan& pq) {
  using namespace kern;
  if (c.op() != op::Conv || q.op() != op::MaxPool) return 0;
  const ConvPlan& cc = pc.get<ConvPlan>();
  const PoolParams& qp = pq.get<PoolPlan>().p;
  if (!conv_max_pool_applies(cc, qp)) return 0;
  const auto x0 = reinterpret_cast<uintptr_t>(node_in(s, c, 0)), y0 = reinterpret_cast<uintptr_t>(node_out(s, q, 0));
  const auto x1 = x0 + static_cast<uintptr_t>(cc.p.x.count()) * 4, y1 = y0 + static_cast<uintptr_t>(qp.y.count()) * 4;
  if (x0 < y1 && y0 < x1) return 0;
  const int64_t ws_floats = s.im2col != nullptr ? static_cast<int64_t>(s.im2col_size / 4) : 0;
  return conv_max_pool_band_rows(cc, qp, ws_floats);
}

}  // namespace

bool conv_max_pool_runs(const CpuState& s, const NodeRecord& c, const NodePlan& pc, const NodeRecord& q,
                        const NodePlan& pq) {
  return pair_band_rows(s, c, pc, q, pq) > 0;
}

bool conv_max_pool_kernel(CpuState& s, const NodeRecord& c, const NodePlan& pc, const NodeRecord& q,
                          const NodePlan& pq) {
  using namespace kern;
  const int64_t rows = pair_band_rows(s, c, pc, q, pq);
  if (rows == 0) return false;
  const ConvPlan& cc = pc.get<ConvPlan>();
  const PoolParams& qp = pq.get<PoolPlan>().p;
  const float* x = node_in(s, c, 0);
  float* y = node_out(s, q, 0);
  const float* bias = cc.p.has_bias ? node_in(s, c, 2) : nullptr;
  const int64_t xstride = cc.p.x.c * cc.p.x.plane(), ystride = qp.y.c * qp.y.plane();
  for (int64_t b = 0; b < cc.p.x.n; ++b)
    run_conv_max_pool(cc, qp, s.isa, rows, x + b * xstride, node_in(s, c, 1), bias, s.im2col, y + b * ystride);
  return true;
}

}  // namespace vorn
