// Pointwise layers (1 x 1, unit strides, no padding): the input planes are
// the right operand of the product as they stand, so nothing is gathered
// except a partial last panel.
#include "kernels/ops/conv_paths.h"
#include "kernels/quant_operands.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

// Panels of positions one product pass covers before its epilogue, at
// most kFinishFloats values of C: a whole rectangle's output (5 MB for
// mobilenet_v2's widest layers at one thread) has left the second-level
// cache by the time a pass after it reads it back. Whole groups of 16
// panels, the packing product's unit. The bits of C do not depend on how
// the rectangle is cut.
constexpr int64_t kFinishFloats = 65536;

int64_t finish_panels(int64_t rows) {
  return std::max<int64_t>(16, kFinishFloats / (rows * kPanelWidth) / 16 * 16);
}

// product(m0, m1, q0, q1) over panels [p0, p1) in passes of finish_panels,
// each followed by the layer's epilogue on what it wrote (rows of hw
// positions from yn on, n positions in all) unless the product answered
// that it finished those values itself.
template <class F>
void product_then_finish(const ConvRun& r, float* yn, int64_t n, int64_t m0, int64_t m1, int64_t p0, int64_t p1,
                         F&& product) {
  if (!r.plan.epilogue) {
    product(m0, m1, p0, p1);
    return;
  }
  const int64_t hw = r.p.y.plane(), step = finish_panels(m1 - m0);
  for (int64_t q0 = p0; q0 < p1; q0 += step) {
    const int64_t q1 = std::min(p1, q0 + step), j0 = q0 * kPanelWidth;
    if (!product(m0, m1, q0, q1))
      epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, j0, std::min(n, q1 * kPanelWidth) - j0);
  }
}

// Panels the in-place product of the AVX-512 form is handed at once (its
// own chunk of panels: fewer would pack the weights more often).
constexpr int64_t kInPlacePanels = 32;

// Whole panels [q0, q1) of a pointwise layer read in place through the
// table of plane offsets, in the AVX-512 form of the convolution product
// (8 rows by three panels, each depth block of weights packed once for
// all its panels); the same sums as panel_gemm's. True when it finished
// what it wrote.
bool pointwise_in_place(const ConvRun& r, const float* xn, float* yn, const int64_t* offsets, int64_t m0,
                        int64_t m1, int64_t q0, int64_t q1, const TileFinish* fin) {
  const int64_t hw = r.p.y.plane(), k = r.p.x.c;
  ConvPanel list[kInPlacePanels];
  bool finished = fin != nullptr;
  for (int64_t c0 = q0; c0 < q1; c0 += kInPlacePanels) {
    const int64_t count = std::min(kInPlacePanels, q1 - c0);
    for (int64_t q = 0; q < count; ++q)
      list[q] = ConvPanel{xn + (c0 + q) * kPanelWidth, yn + (c0 + q) * kPanelWidth, kPanelWidth};
    finished = conv_product_offsets(r.plan.form, r.w, k, offsets, k, list, count, hw, m0, m1, fin) && finished;
  }
  return finished;
}

// Shallow layers whose planes thrash the cache when read in place (rows a
// multiple of 4 KiB apart, as mobilenet_v2's 112 x 112 and 56 x 56
// expansions of 16 and 24 channels) gather kGatherPanels panels at a time
// on the stack and run the AVX-512 form of the convolution product over
// them, which finishes what it stores; the general product would leave
// the epilogue to a separate pass over values that have left the first
// cache. The same sums as panel_gemm's.
constexpr int64_t kGatherDepthMost = 32, kGatherPanels = 32;

bool gathers_own_panels(const ConvRun& r) {
  return r.plan.form == KernelIsa::kAvx512 && r.plan.epilogue && tile_finish_applies(r.p.act) &&
         r.p.x.c <= kGatherDepthMost;
}

// Rows [m0, m1) by panels [q0, q1) of a layer gathers_own_panels takes;
// true when the product finished what it wrote.
bool gathered_product(const ConvRun& r, const float* xn, float* yn, const TileFinish* fin, int64_t m0, int64_t m1,
                      int64_t q0, int64_t q1) {
  const int64_t hw = r.p.y.plane(), k = r.p.x.c;
  alignas(64) float panels[kGatherPanels * kGatherDepthMost * kPanelWidth];
  bool finished = true;
  for (int64_t c0 = q0; c0 < q1; c0 += kGatherPanels) {
    const int64_t count = std::min(kGatherPanels, q1 - c0), j0 = c0 * kPanelWidth;
    for (int64_t q = 0; q < count; ++q) {
      const int64_t j = j0 + q * kPanelWidth, cols = std::min(kPanelWidth, hw - j);
      float* d = panels + q * k * kPanelWidth;
      for (int64_t c = 0; c < k; ++c, d += kPanelWidth) {
        const float* src = xn + c * hw + j;
        if (cols == kPanelWidth)
          std::copy(src, src + kPanelWidth, d);
        else
          for (int64_t t = 0; t < kPanelWidth; ++t) d[t] = t < cols ? src[t] : 0.0f;
      }
    }
    finished = conv_product_panels(r.plan.form, r.w, k, panels, k, hw - j0, yn + j0, hw, m0, m1, 0, count, fin) &&
               finished;
  }
  return finished;
}

// A pointwise layer's input planes are already its right operand in
// panels (rows of hw positions), all but a partial last panel, which is
// copied into the workspace with its padding zeroed. Where reading them in
// place thrashes the cache, each rectangle's product copies its panels
// first, as the general product does.
void run_pointwise_panels(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, k = p.x.c;
  const int64_t full = hw / kPanelWidth, tail = hw - full * kPanelWidth, panels = panel_count(hw);
  const PanelBand& b = r.plan.panels;
  TileFinish finish;
  const TileFinish* fin = tile_finish_of(r, &finish) ? &finish : nullptr;
  if (r.plan.copy_panels && gathers_own_panels(r)) {
    for_rectangles(b.parallel, b.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      product_then_finish(r, yn, hw, m0, m1, p0, p1, [&](int64_t a0, int64_t a1, int64_t q0, int64_t q1) {
        return gathered_product(r, xn, yn, fin, a0, a1, q0, q1);
      });
    });
    return;
  }
  if (r.plan.copy_panels) {
    // The product finishes each block of rows as soon as it is summed,
    // while the block is in the cache (a deep layer's weights, streamed
    // meanwhile, would have pushed it out by the end of the rectangle).
    MatrixProduct g{false, false, m, hw, k, 1.0f, r.w, k, xn, hw, 0.0f, yn, hw};
    if (r.plan.epilogue) {
      g.finish = [](const void* ctx, float* c, int64_t ldc, int64_t i0, int64_t i1, int64_t j0, int64_t j1) {
        const ConvRun& run = *static_cast<const ConvRun*>(ctx);
        const ConvParams& q = run.p;
        float* v = c + i0 * ldc + j0;
        conv_epilogue_rows(q.epilogue_span, v, ldc, i1 - i0, j1 - j0, i0, run.bias, q.y.c, q.act, q.slope, q.hi,
                           run.residual_of(v));
      };
      g.finish_ctx = &r;
    }
    for_rectangles(b.parallel, b.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      matrix_product_rectangle(g, m0, m1, p0, p1);
    });
    return;
  }
  if (r.plan.in_place) {
    for (int64_t c = 0; tail > 0 && c < k; ++c) {
      const float* src = xn + c * hw + full * kPanelWidth;
      float* d = r.col + c * kPanelWidth;
      for (int64_t t = 0; t < kPanelWidth; ++t) d[t] = t < tail ? src[t] : 0.0f;
    }
    // The plane offsets of the input's rows follow the partial panel.
    int64_t* offsets = reinterpret_cast<int64_t*>(r.col + pointwise_table_at(k));
    for (int64_t c = 0; c < k; ++c) offsets[c] = c * hw;
    for_rectangles(b.parallel, b.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      product_then_finish(r, yn, hw, m0, m1, p0, p1, [&](int64_t a0, int64_t a1, int64_t q0, int64_t q1) {
        const int64_t whole_end = std::min(q1, full);
        bool finished = fin != nullptr;
        if (q0 < whole_end) finished = pointwise_in_place(r, xn, yn, offsets, a0, a1, q0, whole_end, fin);
        if (q1 > full)
          finished = conv_product_panels(r.plan.form, r.w, k, r.col, k, tail, yn + full * kPanelWidth, hw, a0, a1,
                                         0, 1, fin) &&
                     finished;
        return finished;
      });
    });
    return;
  }
  // Each rectangle holding the partial last panel copies it on its own
  // thread, a depth block at a time: the planes were written by every
  // thread of the layer before, and one thread fetching a line of each of
  // k planes kept the pool waiting (8-10 us on mobilenet_v2's 14 x 14
  // layers of 384 and 576 input channels at eight threads).
  const MatrixProduct g{false, false, m, hw, k, 1.0f, r.w, k, xn, hw, 0.0f, yn, hw};
  for_rectangles(b.parallel, b.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
    product_then_finish(r, yn, hw, m0, m1, p0, p1, [&](int64_t a0, int64_t a1, int64_t q0, int64_t q1) {
      const int64_t whole_end = std::min(q1, full);
      if (q0 < whole_end)
        panel_gemm(r.w, k, PanelOperand{xn, hw, kPanelWidth}, k, hw, yn, hw, a0, a1, q0, whole_end);
      if (q1 > full) matrix_product_rectangle(g, a0, a1, full, full + 1);
      return false;
    });
  });
}

}  // namespace

void product_by_channels(const ConvRun& r, const ChannelBlocks& blocks, int64_t first_channel, int64_t m,
                         int64_t n, int64_t k, const float* w, const float* col, float* y, int64_t ldy) {
  const bool epi = r.plan.epilogue;
  run_split(true, static_cast<size_t>(blocks.blocks), [&](size_t blk) {
    const int64_t m0 = static_cast<int64_t>(blk) * blocks.rows, mb = std::min(blocks.rows, m - m0);
    cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, mb, n, k, 1.0f, w + m0 * k, k, col, n, 0.0f,
                        y + m0 * ldy, ldy);
    if (epi) {
      const ConvParams& p = r.p;
      float* v = y + m0 * ldy;
      conv_epilogue_rows(p.epilogue_span, v, ldy, mb, n, first_channel + m0, r.bias, p.y.c, p.act, p.slope, p.hi,
                         r.residual_of(v));
    }
  });
}

void run_pointwise(const ConvRun& r, const float* xn, float* yn) {
  const ConvPlan& c = r.plan;
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, k = p.x.c;
  switch (c.path) {
    case ConvPath::kPointwisePanels:
      run_pointwise_panels(r, xn, yn);
      return;
    case ConvPath::kPointwiseChannels:
      product_by_channels(r, c.by_channels, 0, m, hw, k, r.w, xn, yn, hw);
      return;
    case ConvPath::kPointwiseTiles:
      run_split(c.tiles_parallel, static_cast<size_t>(c.tiles.tiles), [&](size_t tile) {
        const int64_t q0 = c.tiles.begin(static_cast<int64_t>(tile)), len = c.tiles.begin(static_cast<int64_t>(tile) + 1) - q0;
        tile_gemm(m, len, k, r.w, k, xn + q0, hw, yn + q0, hw);
        if (c.epilogue) epilogue_tile(r, yn, 0, m, q0, len);
      });
      return;
    default:
      // Quantised operands live in the engine's one scratch: one product.
      cpu_gemm(*r.state, false, false, m, hw, k, 1.0f, r.w, k, xn, hw, 0.0f, yn, hw);
      if (c.epilogue)
        run_split(c.epilogue_parallel, static_cast<size_t>(m), [&](size_t ch) {
          epilogue_span(r, yn + ch * hw, hw, static_cast<int64_t>(ch));
        });
      return;
  }
}

void run_subsampled(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t wo = p.y.w, hw = p.y.plane();
  float* planes = r.col;
  // Over the pool with the product that follows: on the calling thread
  // alone the copy kept the others waiting.
  run_split(r.plan.panels.parallel, static_cast<size_t>(p.x.c), [&](size_t cu) {
    const int64_t c = static_cast<int64_t>(cu);
    for (int64_t oy = 0; oy < p.y.h; ++oy) {
      const float* src = xn + c * p.x.plane() + oy * p.sh * p.x.w;
      float* dst = planes + c * hw + oy * wo;
      for (int64_t ox = 0; ox < wo; ++ox) dst[ox] = src[ox * p.sw];
    }
  });
  const ConvParams q = subsampled_params(p);
  const ConvRun inner{r.plan, q, r.w, r.bias, planes + (p.x.c * hw + 15) / 16 * 16, r.state, r.res, r.y};
  run_pointwise(inner, planes, yn);
}

}  // namespace vorn::kern
