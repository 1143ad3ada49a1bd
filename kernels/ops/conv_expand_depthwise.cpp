// An expansion and its depthwise layer in bands of output rows
// (conv_expand_depthwise.h).
#include "kernels/ops/conv_expand_depthwise.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/kernel.h"
#include "kernels/ops/conv_paths.h"

namespace vorn {

namespace kern {

namespace {

// Panels gathered on the stack per product call.
constexpr int64_t kBandPanels = 32;
// The band's expanded rows stay within this many values, a part of the
// second-level cache that leaves room for the input and output rows.
constexpr int64_t kBandFloats = 128 * 1024;

// Input rows [lo, hi) of the depthwise layer that its output rows [oy0,
// oy1) read.
void rows_read(const ConvParams& p, int64_t oy0, int64_t oy1, int64_t* lo, int64_t* hi) {
  *lo = std::clamp<int64_t>(oy0 * p.sh - p.padt, 0, p.x.h);
  *hi = std::clamp<int64_t>((oy1 - 1) * p.sh - p.padt + (p.kh - 1) * p.dh + 1, *lo, p.x.h);
}

// The most input rows a band of `rows` output rows reads.
int64_t band_input_rows(const ConvParams& p, int64_t rows) {
  return std::min(p.x.h, (rows - 1) * p.sh + (p.kh - 1) * p.dh + 1);
}

// Expansion rows [a, b) of its output (positions a x w to b x w) into
// out, channel planes ld values apart, finished by the layer's epilogue.
void expand_rows(const ConvPlan& e, const float* xn, const float* w, const float* bias, int64_t a, int64_t b,
                 float* out, int64_t ld) {
  const ConvParams& p = e.p;
  const int64_t hw = p.x.plane(), k = p.x.c, m = p.y.c, j0 = a * p.x.w, n = (b - a) * p.x.w;
  const ConvRun run{e, p, w, bias, nullptr, nullptr};
  TileFinish finish;
  const TileFinish* fin = tile_finish_of(run, &finish) ? &finish : nullptr;
  alignas(64) float panels[kBandPanels * kExpandDepthMost * kPanelWidth];
  const int64_t count_all = panel_count(n);
  for (int64_t c0 = 0; c0 < count_all; c0 += kBandPanels) {
    const int64_t count = std::min(kBandPanels, count_all - c0), q0 = c0 * kPanelWidth;
    for (int64_t q = 0; q < count; ++q) {
      const int64_t j = q0 + q * kPanelWidth, cols = std::min(kPanelWidth, n - j);
      float* dst = panels + q * k * kPanelWidth;
      for (int64_t c = 0; c < k; ++c, dst += kPanelWidth) {
        const float* src = xn + c * hw + j0 + j;
        if (cols == kPanelWidth)
          std::copy(src, src + kPanelWidth, dst);
        else
          for (int64_t t = 0; t < kPanelWidth; ++t) dst[t] = t < cols ? src[t] : 0.0f;
      }
    }
    const bool finished = conv_product_panels(e.form, w, k, panels, k, n - q0, out + q0, ld, 0, m, 0, count, fin);
    if (e.epilogue && !finished)
      conv_epilogue_rows(p.epilogue_span, out + q0, ld, m, std::min(n, q0 + count * kPanelWidth) - q0, 0, bias, p.y.c,
                         p.act, p.slope, p.hi, nullptr);
  }
}

}  // namespace

bool expand_depthwise_applies(const ConvPlan& e, const ConvPlan& d) {
  const ConvParams &pe = e.p, &pd = d.p;
  return e.path == ConvPath::kPointwisePanels && !e.subsampled && !e.panels.parallel && pe.x.c <= kExpandDepthMost &&
         !conv_act_adds(pe.act) && d.path == ConvPath::kGrouped && conv_is_depthwise(pd) && !d.grouped.parallel &&
         !d.grouped.lanes && !conv_act_adds(pd.act) && pd.x.n == pe.y.n && pd.x.c == pe.y.c && pd.x.h == pe.y.h &&
         pd.x.w == pe.y.w && pe.y.c * pe.y.plane() * 4 >= kExpandFuseBytes;
}

int64_t expand_depthwise_floats(const ConvPlan& e, const ConvPlan& d, int64_t band_rows) {
  return e.p.y.c * band_input_rows(d.p, band_rows) * d.p.x.w;
}

int64_t expand_depthwise_band_rows(const ConvPlan& e, const ConvPlan& d, int64_t ws_floats) {
  const int64_t room = std::min(ws_floats, kBandFloats);
  // Whole tiles of eight output rows where they fit, else as many rows as
  // do.
  int64_t rows = std::min<int64_t>(d.p.y.h, 64);
  while (rows > 8 && expand_depthwise_floats(e, d, rows) > room) rows -= 8;
  while (rows > 0 && expand_depthwise_floats(e, d, rows) > room) --rows;
  return rows;
}

void run_expand_depthwise(const ConvPlan& e, const ConvPlan& d, int64_t band_rows, const float* xn, const float* ew,
                          const float* eb, const float* dw, const float* db, float* ws, float* yn) {
  const ConvParams& pd = d.p;
  const int64_t cs = pd.x.c, wi = pd.x.w;
  // The band's input rows [have_lo, have_hi) lie in ws, channel planes
  // (have_hi - have_lo) x wi values apart, the depthwise layer's plan
  // shifted to read them as its input plane.
  int64_t have_lo = 0, have_hi = 0;
  ConvPlan band = d;
  for (int64_t oy0 = 0; oy0 < pd.y.h; oy0 += band_rows) {
    const int64_t oy1 = std::min(pd.y.h, oy0 + band_rows);
    int64_t lo, hi;
    rows_read(pd, oy0, oy1, &lo, &hi);
    // Rows already expanded move to the front of their channel's new
    // plane: towards lower addresses channel by channel upwards, towards
    // higher ones downwards, so no row is overwritten before it moves.
    const int64_t keep = std::max<int64_t>(0, std::min(have_hi, hi) - std::max(have_lo, lo));
    const int64_t old_plane = (have_hi - have_lo) * wi, new_plane = (hi - lo) * wi;
    if (keep > 0 && lo >= have_lo) {
      const int64_t from = (lo - have_lo) * wi;
      if (new_plane <= old_plane)
        for (int64_t c = 0; c < cs; ++c)
          std::memmove(ws + c * new_plane, ws + c * old_plane + from, static_cast<size_t>(keep * wi) * 4);
      else
        for (int64_t c = cs; c-- > 0;)
          std::memmove(ws + c * new_plane, ws + c * old_plane + from, static_cast<size_t>(keep * wi) * 4);
    }
    const int64_t first_new = keep > 0 && lo >= have_lo ? lo + keep : lo;
    if (first_new < hi) expand_rows(e, xn, ew, eb, first_new, hi, ws + (first_new - lo) * wi, new_plane);
    have_lo = lo;
    have_hi = hi;
    band.p.x.h = hi - lo;
    band.p.padt = pd.padt + lo;
    conv_grouped_rows(band, ws, dw, db, yn, 0, pd.g, oy0, oy1);
  }
}

}  // namespace kern

namespace {

// Band rows of a pair, 0 where it runs apart: its plans do not allow it,
// the workspace holds no band, or the depthwise layer's output shares
// memory with the expansion's input (the arena may give it that input's
// place once the expansion has read it; together, the two are live at
// once).
int64_t pair_band_rows(const CpuState& s, const NodeRecord& e, const NodePlan& pe, const NodeRecord& d,
                       const NodePlan& pd) {
  using namespace kern;
  const ConvPlan &ce = pe.get<ConvPlan>(), &cd = pd.get<ConvPlan>();
  if (!expand_depthwise_applies(ce, cd)) return 0;
  const auto x0 = reinterpret_cast<uintptr_t>(node_in(s, e, 0)), y0 = reinterpret_cast<uintptr_t>(node_out(s, d, 0));
  const auto x1 = x0 + static_cast<uintptr_t>(ce.p.x.count()) * 4, y1 = y0 + static_cast<uintptr_t>(cd.p.y.count()) * 4;
  if (x0 < y1 && y0 < x1) return 0;
  const int64_t ws_floats = s.im2col != nullptr ? static_cast<int64_t>(s.im2col_size / 4) : 0;
  return expand_depthwise_band_rows(ce, cd, ws_floats);
}

}  // namespace

bool conv_expand_depthwise_runs(const CpuState& s, const NodeRecord& e, const NodePlan& pe, const NodeRecord& d,
                                const NodePlan& pd) {
  return pair_band_rows(s, e, pe, d, pd) > 0;
}

bool conv_expand_depthwise_kernel(CpuState& s, const NodeRecord& e, const NodePlan& pe, const NodeRecord& d,
                                  const NodePlan& pd) {
  using namespace kern;
  const ConvPlan &ce = pe.get<ConvPlan>(), &cd = pd.get<ConvPlan>();
  const int64_t rows = pair_band_rows(s, e, pe, d, pd);
  if (rows == 0) return false;
  const float* x = node_in(s, e, 0);
  float* y = node_out(s, d, 0);
  const float* eb = ce.p.has_bias ? node_in(s, e, 2) : nullptr;
  const float* db = cd.p.has_bias ? node_in(s, d, 2) : nullptr;
  const int64_t xstride = ce.p.x.c * ce.p.x.plane(), ystride = cd.p.y.c * cd.p.y.plane();
  for (int64_t b = 0; b < ce.p.x.n; ++b)
    run_expand_depthwise(ce, cd, rows, x + b * xstride, node_in(s, e, 1), eb, node_in(s, d, 1), db, s.im2col,
                         y + b * ystride);
  return true;
}

}  // namespace vorn
