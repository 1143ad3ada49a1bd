// Layers whose planes are small, or whose positions are too few to feed
// the threads with tiles of their own: the column matrix is gathered
// straight into panels (panel_gemm.h) and the product runs as rectangles of
// (output channel rows x panels of positions) spread over the pool, each
// reading the weights in place and finished by its epilogue at once. With
// one block of rows each rectangle gathers its own panels; otherwise the
// whole pool gathers the band first, so no panel is gathered twice.
#include "kernels/ops/conv_paths.h"
#include "kernels/ops/conv_product.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

// gather_panels for a small plane gathered whole (the band is the whole
// output plane and its padded input fits kPaddedPlane): each channel is
// padded once, each kernel tap's row of positions is built contiguously
// with branch-free loops, then dealt out to the panels a panel width at a
// time.
VORN_NO_MEMCPY_CALLS void gather_panels_padded(const ConvParams& p, const float* xg, float* col, int64_t p0,
                                               int64_t p1, int64_t c0, int64_t c1, int64_t hp, int64_t wp) {
  float pad[kPaddedPlane];
  alignas(64) float row[kPaddedPlane + kPanelWidth];
  const int64_t wo = p.y.w, hw = p.y.plane(), stride = p.k_rows() * kPanelWidth;
  const int64_t begin = p0 * kPanelWidth, end = std::min(hw, p1 * kPanelWidth), pad_end = p1 * kPanelWidth;
  for (int64_t q = end; q < pad_end; ++q) row[q] = 0.0f;
  for (int64_t c = c0; c < c1; ++c) {
    pad_plane(p, xg + c * p.x.plane(), pad, hp, wp);
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j) {
        const float* base = pad + i * p.dh * wp + j * p.dw;
        for (int64_t q = begin; q < end;) {
          const int64_t y = q / wo, x = q - y * wo, n = std::min(wo - x, end - q);
          const float* sr = base + y * p.sh * wp + x * p.sw;
          float* dr = row + q;
          if (p.sw == 1)
            for (int64_t t = 0; t < n; ++t) dr[t] = sr[t];
          else
            for (int64_t t = 0; t < n; ++t) dr[t] = sr[t * p.sw];
          q += n;
        }
        float* d = col + ((c * p.kh + i) * p.kw + j) * kPanelWidth;
        for (int64_t pi = p0; pi < p1; ++pi) {
          const float* src = row + pi * kPanelWidth;
          float* dst = d + pi * stride;
          for (int64_t t = 0; t < kPanelWidth; ++t) dst[t] = src[t];
        }
      }
  }
}

// Gathers the column matrix rows of input channels [c0, c1) into panels
// [p0, p1) of a band that starts at output position q0 and holds nb
// positions: row (c, i, j) of the column matrix sits at row
// (c kh + i) kw + j of every panel. Zeros go in the padding and in the last
// panel's unused columns. Positions are walked along output rows, so each
// input row is read in one run and only the writes hop between panels.
void gather_panels(const ConvParams& p, const float* xg, float* col, int64_t q0, int64_t nb, int64_t p0,
                   int64_t p1, int64_t c0, int64_t c1) {
  const int64_t W = p.x.w, H = p.x.h, wo = p.y.w, sw = p.sw, plane = p.x.plane(), kr = p.k_rows();
  const int64_t stride = kr * kPanelWidth;  // from one panel to the next
  const int64_t begin = p0 * kPanelWidth, end = std::min(nb, p1 * kPanelWidth);
  const int64_t pad_end = std::min(p1, panel_count(nb)) * kPanelWidth;
  // Writes n values of row k starting at band position pos: from src (step
  // sw) or zeros when src is null.
  auto put = [&](float* rowk, int64_t pos, int64_t n, const float* src) {
    while (n > 0) {
      const int64_t lane = pos % kPanelWidth, m = std::min(n, kPanelWidth - lane);
      float* d = rowk + (pos / kPanelWidth) * stride + lane;
      if (src == nullptr)
        for (int64_t t = 0; t < m; ++t) d[t] = 0.0f;
      else if (sw == 1)
        for (int64_t t = 0; t < m; ++t) d[t] = src[t];
      else
        for (int64_t t = 0; t < m; ++t) d[t] = src[t * sw];
      if (src != nullptr) src += m * sw;
      pos += m;
      n -= m;
    }
  };
  int64_t hp, wp;
  if (q0 == 0 && nb == p.y.plane() && padded_extent(p, &hp, &wp)) {
    gather_panels_padded(p, xg, col, p0, std::min(p1, panel_count(nb)), c0, c1, hp, wp);
    return;
  }
  const int64_t y_first = (q0 + begin) / wo, x_first = (q0 + begin) % wo;
  for (int64_t j = 0; j < p.kw; ++j) {
    // Output columns [xlo, xhi) read inside the input at kernel column j.
    const int64_t off = j * p.dw - p.padl;
    int64_t xlo = off >= 0 ? 0 : (-off + sw - 1) / sw;
    int64_t xhi = W - 1 - off < 0 ? 0 : (W - 1 - off) / sw + 1;
    xlo = std::min(xlo, wo);
    xhi = std::clamp(xhi, xlo, wo);
    for (int64_t c = c0; c < c1; ++c) {
      const float* xc = xg + c * plane;
      for (int64_t i = 0; i < p.kh; ++i) {
        float* rowk = col + ((c * p.kh + i) * p.kw + j) * kPanelWidth;
        int64_t pos = begin, y = y_first, xa = x_first;
        while (pos < end) {
          const int64_t xb = std::min(wo, xa + (end - pos));
          const int64_t iy = y * p.sh - p.padt + i * p.dh;
          if (iy < 0 || iy >= H) {
            put(rowk, pos, xb - xa, nullptr);
          } else {
            const int64_t a = std::clamp(xlo, xa, xb), b = std::clamp(xhi, a, xb);
            put(rowk, pos, a - xa, nullptr);
            if (b > a) put(rowk, pos + (a - xa), b - a, xc + iy * W + off + a * sw);
            put(rowk, pos + (b - xa), xb - b, nullptr);
          }
          pos += xb - xa;
          xa = 0;
          ++y;
        }
        put(rowk, end, pad_end - end, nullptr);
      }
    }
  }
}

}  // namespace

void run_panels(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const ConvPlan& c = r.plan;
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), panels = panel_count(hw);
  const PanelBand& b = c.panels;
  if (c.half_panel) {
    run_half_panel(r, xn, yn);
    return;
  }
  if (c.gather_units > 0) {
    const int64_t chunks = (p.x.c + c.gather_chans - 1) / c.gather_chans;
    run_split(b.parallel, static_cast<size_t>(c.gather_units), [&](size_t u) {
      const int64_t pi = static_cast<int64_t>(u) / chunks * c.gather_span;
      const int64_t c0 = (static_cast<int64_t>(u) % chunks) * c.gather_chans;
      gather_panels(p, xn, r.col, 0, hw, pi, pi + c.gather_span, c0, std::min(p.x.c, c0 + c.gather_chans));
    });
  }
  TileFinish finish;
  const TileFinish* fin = tile_finish_of(r, &finish) ? &finish : nullptr;
  for_rectangles(b.parallel, b.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
    if (c.gather_units == 0) gather_panels(p, xn, r.col, 0, hw, p0, p1, 0, p.x.c);
    const bool finished = conv_product_panels(c.form, r.w, kr, r.col, kr, hw, yn, hw, m0, m1, p0, p1, fin);
    const int64_t j0 = p0 * kPanelWidth;
    if (c.epilogue && !finished)
      epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, j0, std::min(hw, p1 * kPanelWidth) - j0);
  });
}

}  // namespace vorn::kern
