// The general Conv path: for each partition, column matrices of kh x kw x
// Cin/g rows by output positions, built in bands of output rows (im2col),
// multiplied by the partition's weights with sgemm. Large layers cut each
// band into tiles of positions spread over the pool, each tile gathering,
// multiplying and finishing its own slice; grouped layers too small to tile
// run several partitions side by side; the rest gather one band and split
// its product over output channels.
#include "kernels/ops/conv_paths.h"
#include "kernels/quant_operands.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

// Copies input plane xc into the hp x wp zero-padded plane pad.
VORN_NO_MEMCPY_CALLS void pad_plane(const ConvParams& p, const float* xc, float* pad, int64_t hp, int64_t wp) {
  for (int64_t r = 0; r < hp; ++r) {
    const int64_t iy = r - p.padt;
    float* dst = pad + r * wp;
    if (iy < 0 || iy >= p.x.h) {
      for (int64_t u = 0; u < wp; ++u) dst[u] = 0.0f;
      continue;
    }
    // Columns [a, b) of the padded row come from the input row.
    const float* src = xc + iy * p.x.w;
    const int64_t a = std::min(p.padl, wp), b = std::clamp(p.padl + p.x.w, a, wp);
    for (int64_t u = 0; u < a; ++u) dst[u] = 0.0f;
    for (int64_t u = a; u < b; ++u) dst[u] = src[u - p.padl];
    for (int64_t u = b; u < wp; ++u) dst[u] = 0.0f;
  }
}

namespace {

// Writes column-matrix row (c, i, j) for len consecutive output positions
// starting at flattened position q0 of the output plane: each value is input
// channel plane xc sampled at kernel tap (i, j), 0 in the padding.
void im2col_span(const ConvParams& p, const float* xc, float* dst, int64_t q0, int64_t len, int64_t i,
                 int64_t j) {
  const int64_t W = p.x.w, H = p.x.h, wo = p.y.w, sw = p.sw;
  const int64_t off = j * p.dw - p.padl;  // input column of output column 0
  int64_t xlo = off >= 0 ? 0 : (-off + sw - 1) / sw;
  int64_t xhi = W - 1 - off < 0 ? 0 : (W - 1 - off) / sw + 1;
  xlo = std::min(xlo, wo);
  xhi = std::clamp(xhi, xlo, wo);
  int64_t y = q0 / wo, xa = q0 % wo;
  while (len > 0) {
    const int64_t xb = std::min(wo, xa + len), n = xb - xa;
    const int64_t iy = y * p.sh - p.padt + i * p.dh;
    if (iy < 0 || iy >= H) {
      std::memset(dst, 0, static_cast<size_t>(n) * 4);
    } else {
      // Output column x reads input column x * sw + off of row iy and is
      // stored at dst[x - xa].
      const float* xr = xc + iy * W;
      const int64_t a = std::clamp(xlo, xa, xb), b = std::clamp(xhi, a, xb);
      if (a > xa) std::memset(dst, 0, static_cast<size_t>(a - xa) * 4);
      if (b <= a) {
        // Nothing of this row lies inside the input.
      } else if (sw == 1) {
        std::memcpy(dst + (a - xa), xr + (a + off), static_cast<size_t>(b - a) * 4);
      } else if (sw == 2) {
        for (int64_t x = a; x < b; ++x) dst[x - xa] = xr[2 * x + off];
      } else {
        for (int64_t x = a; x < b; ++x) dst[x - xa] = xr[x * sw + off];
      }
      if (b < xb) std::memset(dst + (b - xa), 0, static_cast<size_t>(xb - b) * 4);
    }
    dst += n;
    len -= n;
    xa = 0;
    ++y;
  }
}

VORN_NO_MEMCPY_CALLS void im2col_padded(const ConvParams& p, const float* xg, float* col, int64_t hp, int64_t wp, int64_t c_first,
                   int64_t c_end) {
  float pad[kPaddedPlane];
  const int64_t taps = p.kh * p.kw, ho = p.y.h, wo = p.y.w, len = ho * wo;
  for (int64_t c = c_first; c < c_end; ++c) {
    pad_plane(p, xg + c * p.x.plane(), pad, hp, wp);
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j) {
        float* d = col + (c * taps + i * p.kw + j) * len;
        const float* base = pad + i * p.dh * wp + j * p.dw;
        for (int64_t y = 0; y < ho; ++y) {
          const float* sr = base + y * p.sh * wp;
          float* dr = d + y * wo;
          if (p.sw == 1)
            for (int64_t x = 0; x < wo; ++x) dr[x] = sr[x];
          else
            for (int64_t x = 0; x < wo; ++x) dr[x] = sr[x * p.sw];
        }
      }
  }
}

// Fills the column matrix of kr rows by len positions for partition input
// xg, one row per (input channel, kernel tap).
void im2col_block(const ConvParams& p, const float* xg, float* col, int64_t q0, int64_t len, int64_t c_first,
                  int64_t c_end, int64_t i_first, int64_t i_end) {
  const int64_t taps = p.kh * p.kw;
  int64_t hp, wp;
  if (taps > 1 && q0 == 0 && len == p.y.plane() && i_first == 0 && i_end == p.kh && padded_extent(p, &hp, &wp)) {
    im2col_padded(p, xg, col, hp, wp, c_first, c_end);
    return;
  }
  for (int64_t c = c_first; c < c_end; ++c) {
    const float* xc = xg + c * p.x.plane();
    for (int64_t i = i_first; i < i_end; ++i)
      for (int64_t j = 0; j < p.kw; ++j) im2col_span(p, xc, col + (c * taps + i * p.kw + j) * len, q0, len, i, j);
  }
}

// The partitions of a band in slots side by side, each slot with its own
// column matrix in the workspace.
void run_band_slots(const ConvRun& r, const Im2colBand& b, const float* xn, float* yn, int64_t q0) {
  const ConvParams& p = r.p;
  const int64_t nb = b.positions, kr = p.k_rows(), hw = p.y.plane(), cin_g = p.cin_g(), cout_g = p.cout_g();
  run_split(true, static_cast<size_t>(b.slots), [&](size_t slot) {
    float* col = r.col + static_cast<int64_t>(slot) * kr * nb;
    for (int64_t gi = static_cast<int64_t>(slot); gi < p.g; gi += b.slots) {
      float* yg = yn + gi * cout_g * hw;
      im2col_block(p, xn + gi * cin_g * p.x.plane(), col, q0, nb, 0, cin_g, 0, p.kh);
      tile_gemm(cout_g, nb, kr, r.w + gi * cout_g * kr, kr, col, nb, yg + q0, hw);
      if (r.plan.epilogue) epilogue_tile(r, yg, gi * cout_g, cout_g, q0, nb);
    }
  });
}

// One column matrix for the band per partition, gathered per (channel,
// kernel row), then one product split over output channels.
void run_band_whole(const ConvRun& r, const Im2colBand& b, const float* xn, float* yn, int64_t q0) {
  const ConvParams& p = r.p;
  const int64_t nb = b.positions, kr = p.k_rows(), hw = p.y.plane(), cin_g = p.cin_g(), cout_g = p.cout_g();
  for (int64_t gi = 0; gi < p.g; ++gi) {
    const float* xg = xn + gi * cin_g * p.x.plane();
    const float* wg = r.w + gi * cout_g * kr;
    float* yg = yn + gi * cout_g * hw;
    run_split(b.gather_parallel, static_cast<size_t>(cin_g * p.kh), [&](size_t u) {
      const int64_t c = static_cast<int64_t>(u) / p.kh, i = static_cast<int64_t>(u) % p.kh;
      im2col_block(p, xg, r.col, q0, nb, c, c + 1, i, i + 1);
    });
    if (b.by_channels.blocks > 0) {
      product_by_channels(r, b.by_channels, gi * cout_g, cout_g, nb, kr, wg, r.col, yg + q0, hw);
      continue;
    }
    cpu_gemm(*r.state, false, false, cout_g, nb, kr, 1.0f, wg, kr, r.col, nb, 0.0f, yg + q0, hw);
    if (r.plan.epilogue)
      run_split(r.plan.epilogue_parallel, static_cast<size_t>(cout_g), [&](size_t c) {
        epilogue_span(r, yg + c * hw + q0, nb, gi * cout_g + static_cast<int64_t>(c));
      });
  }
}

// Tiles of output positions spread over the pool; inside a tile the
// partitions run in turn, reusing the tile's part of the workspace.
void run_band_tiles(const ConvRun& r, const Im2colBand& b, const float* xn, float* yn, int64_t q0) {
  const ConvParams& p = r.p;
  const int64_t kr = p.k_rows(), hw = p.y.plane(), cin_g = p.cin_g(), cout_g = p.cout_g();
  const Tiling t = b.tiles;
  run_split(b.tiles_parallel, static_cast<size_t>(t.tiles), [&](size_t tile) {
    const int64_t a = t.begin(static_cast<int64_t>(tile)), len = t.begin(static_cast<int64_t>(tile) + 1) - a;
    float* col = r.col + a * kr;
    for (int64_t gi = 0; gi < p.g; ++gi) {
      float* yg = yn + gi * cout_g * hw;
      im2col_block(p, xn + gi * cin_g * p.x.plane(), col, q0 + a, len, 0, cin_g, 0, p.kh);
      tile_gemm(cout_g, len, kr, r.w + gi * cout_g * kr, kr, col, len, yg + q0 + a, hw);
      if (r.plan.epilogue) epilogue_tile(r, yg, gi * cout_g, cout_g, q0 + a, len);
    }
  });
}

}  // namespace

void run_im2col(const ConvRun& r, const float* xn, float* yn) {
  const ConvPlan& c = r.plan;
  const int64_t ho = r.p.y.h, wo = r.p.y.w;
  for (int64_t y0 = 0; y0 < ho; y0 += c.band_rows) {
    const Im2colBand& b = y0 + c.band_rows >= ho ? c.last : c.full;
    const int64_t q0 = y0 * wo;
    if (b.tiles.tiles > 0)
      run_band_tiles(r, b, xn, yn, q0);
    else if (b.slots > 1)
      run_band_slots(r, b, xn, yn, q0);
    else
      run_band_whole(r, b, xn, yn, q0);
  }
}

}  // namespace vorn::kern
