// Direct path for ungrouped layers of column stride 1 or 2: the input is
// copied once into a zero-padded buffer, band of output rows by band, in
// which every kernel tap of every output position lies in bounds and a run
// of 16 output columns reads 16 consecutive values (with column stride 2
// each padded row is stored as its even columns, then its odd columns).
// The product then reads its right operand straight from that buffer
// through a table of one offset per (channel, kernel row, kernel column):
// no column matrix at all. A band the pool cuts mostly by positions is
// not copied as a whole: each rectangle pads the rows its panels read into its
// thread's own buffer just before its product, so the copy runs in
// parallel with no pass of its own and stays in that core's caches, and
// the thread that takes the same positions every pass reads rows it
// mostly wrote itself as the layer before's output.
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "kernels/ops/conv_paths.h"
#include "kernels/ops/conv_product.h"
#include "platform/parallel.h"
#include "platform/thread_kept.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

constexpr int64_t kPlan = static_cast<int64_t>(kPlanThreads);

// The offset table of channels 1 to channels - 1 from channel 0's taps
// entries: each channel's taps lie `plane` values after the last's. In
// locals, so the stores cannot be taken to change the shape they are made
// from (a deep layer of tiny planes spent more on this table than on its
// product).
void channel_offsets(int64_t* offsets, int64_t taps, int64_t channels, int64_t plane) {
  for (int64_t c = 1; c < channels; ++c) {
    int64_t* o = offsets + c * taps;
    const int64_t shift = c * plane;
    for (int64_t t = 0; t < taps; ++t) o[t] = offsets[t] + shift;
  }
}

// Channel xc's zero-padded plane, as its sh x sw stride phases of hq rows
// of wq values each into dc: phase (a, b) holds padded rows a, a + sh, ...
// by padded columns b, b + sw, ..., padded row rr being input row rr -
// padt and padded column u input column u - padl. Rows are a few values
// (a 2 x 2 plane's padded rows are 4): plain loops.
VORN_NO_MEMCPY_CALLS void pad_phases_across(const ConvParams& p, const float* xc, float* dc, int64_t hq,
                                            int64_t wq) {
  for (int64_t a = 0; a < p.sh; ++a)
    for (int64_t b = 0; b < p.sw; ++b) {
      float* phase = dc + (a * p.sw + b) * hq * wq;
      // Columns [s0, s1) of the phase lie inside the input's rows.
      const int64_t first = p.padl - b, last = p.x.w - 1 + p.padl - b;
      const int64_t s0 = std::clamp<int64_t>(first <= 0 ? 0 : (first + p.sw - 1) / p.sw, 0, wq);
      const int64_t s1 = last < 0 ? s0 : std::clamp<int64_t>(last / p.sw + 1, s0, wq);
      for (int64_t t = 0; t < hq; ++t) {
        const int64_t iy = t * p.sh + a - p.padt;
        float* dst = phase + t * wq;
        const int64_t lo = iy < 0 || iy >= p.x.h ? wq : s0, hi = lo == wq ? wq : s1;
        const float* row = xc + (lo == wq ? 0 : iy * p.x.w);
        for (int64_t s = 0; s < lo; ++s) dst[s] = 0.0f;
        for (int64_t s = lo; s < hi; ++s) dst[s] = row[s * p.sw - first];
        for (int64_t s = hi; s < wq; ++s) dst[s] = 0.0f;
      }
    }
}

// `rows` rows of wo values from src (rows ld apart) to dst, one after
// another.
VORN_NO_MEMCPY_CALLS void copy_rows(const float* src, int64_t ld, float* dst, int64_t wo, int64_t rows) {
  for (int64_t oy = 0; oy < rows; ++oy)
    for (int64_t ox = 0; ox < wo; ++ox) dst[oy * wo + ox] = src[oy * ld + ox];
}

// The whole plane as one band whose panels run across the padded rows
// (rows narrower than a panel; with stride 2 across the rows of each
// stride phase): the products land in a block of d.sums values per output
// channel, position oy wp + ox for output (oy, ox), and each output row is
// copied from there before the epilogue.
void run_across(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const DirectBands& d = r.plan.direct;
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), wo = p.y.w, wp = d.wp, plane = d.plane;
  const int64_t hq = p.y.h + (p.kh - 1) * p.dh / p.sh;
  float* pad = r.col;
  const int64_t body = (p.x.c * plane + 15) / 16 * 16;
  float* slack = pad + body;
  int64_t* offsets = reinterpret_cast<int64_t*>(slack + d.sums);
  float* sums = slack + d.sums + 2 * kr + 16;
  for (int64_t t = 0; t < d.sums; ++t) slack[t] = 0.0f;
  // Tap (i, j) reads phase ((i dh) mod sh, (j dw) mod sw), shifted by
  // (i dh / sh) rows and (j dw / sw) columns.
  for (int64_t i = 0; i < p.kh; ++i)
    for (int64_t j = 0; j < p.kw; ++j) {
      const int64_t phase = (i * p.dh) % p.sh * p.sw + (j * p.dw) % p.sw;
      offsets[i * p.kw + j] = (phase * hq + i * p.dh / p.sh) * wp + j * p.dw / p.sw;
    }
  channel_offsets(offsets, p.kh * p.kw, p.x.c, plane);
  // The copies before and after the product go over the pool with it:
  // on one thread they took a tenth of a deep 7 x 7 layer at eight.
  const bool parallel = r.plan.panels.parallel;
  run_split(parallel && p.x.c * plane >= 16384, static_cast<size_t>(p.x.c), [&](size_t cu) {
    const int64_t c = static_cast<int64_t>(cu);
    pad_phases_across(p, xn + c * p.x.plane(), pad + c * plane, hq, wp);
  });
  const int64_t panels = d.sums / kPanelWidth;
  if (conv_product_deep_applies(r.plan.form, m, panels, kr)) {
    conv_product_deep(r.plan.form, r.w, kr, offsets, kr, pad, sums, kPanelWidth, d.sums, 0, m);
  } else {
    for_rectangles(r.plan.panels.parallel, r.plan.panels.split, m, panels,
                   [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
                     OffsetPanel list[16];
                     int64_t count = 0;
                     for (int64_t q = p0; q < p1; ++q)
                       list[count++] = {pad + q * kPanelWidth, sums + q * kPanelWidth, kPanelWidth};
                     panel_gemm_offsets(r.w, kr, offsets, kr, list, count, d.sums, m0, m1);
                   });
  }
  run_split(parallel && m * hw >= 16384, static_cast<size_t>(m), [&](size_t ku) {
    const int64_t k = static_cast<int64_t>(ku);
    copy_rows(sums + k * d.sums, wp, yn + k * hw, wo, p.y.h);
    if (r.plan.epilogue) epilogue_span(r, yn + k * hw, hw, k);
  });
}

// even[t] = row[2 t] and odd[t] = row[2 t + 1] for t in [0, n): returns
// how many it split (the caller copies the rest).
using SplitColumns = int64_t (*)(const float* row, float* even, float* odd, int64_t n);

int64_t split_columns_portable(const float* row, float* even, float* odd, int64_t n) {
  for (int64_t t = 0; t < n; ++t) {
    even[t] = row[2 * t];
    odd[t] = row[2 * t + 1];
  }
  return n;
}

#if defined(__x86_64__)
// Eight pairs a step: two loads, the even and odd lanes picked within
// 128-bit halves, then put in order.
[[gnu::target("avx2,fma")]] int64_t split_columns_avx2(const float* row, float* even, float* odd, int64_t n) {
  int64_t t = 0;
  for (; t + 8 <= n; t += 8) {
    const __m256 a = _mm256_loadu_ps(row + 2 * t), b = _mm256_loadu_ps(row + 2 * t + 8);
    const __m256 e = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), o = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    _mm256_storeu_ps(even + t, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), 0xd8)));
    _mm256_storeu_ps(odd + t, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), 0xd8)));
  }
  return t;
}
#endif

SplitColumns split_columns_for(KernelIsa isa) {
#if defined(__x86_64__)
  if (isa_has_avx2(isa)) return &split_columns_avx2;
#else
  (void)isa;
#endif
  return &split_columns_portable;
}

// Padded rows [r0, r1) of a band from output row y0 of channel xc into
// its plane dc, whose first row is padded row `top`: rows of a few values
// in small layers, so plain loops.
VORN_NO_MEMCPY_CALLS void pad_band_rows(const ConvParams& p, const DirectBands& d, SplitColumns split, const float* xc,
                                        float* dc, int64_t y0, int64_t r0, int64_t r1, int64_t top = 0) {
  const int64_t wp = d.wp;
  for (int64_t rr = r0; rr < r1; ++rr) {
    const int64_t iy = y0 * p.sh - p.padt + rr;
    float* dst = dc + (rr - top) * wp;
    if (iy < 0 || iy >= p.x.h) {
      for (int64_t u = 0; u < wp; ++u) dst[u] = 0.0f;
      continue;
    }
    const float* src = xc + iy * p.x.w;
    if (p.sw == 1) {
      const int64_t a = std::min(p.padl, wp), b = std::clamp(p.padl + p.x.w, a, wp);
      for (int64_t u = 0; u < a; ++u) dst[u] = 0.0f;
      for (int64_t u = a; u < b; ++u) dst[u] = src[u - p.padl];
      for (int64_t u = b; u < wp; ++u) dst[u] = 0.0f;
      continue;
    }
    // Padded column u = 2 t + phase goes to dst[phase x half + t]: input
    // column 2 t + phase - padl, inside the row for t in [lo, hi). Where
    // both phases are inside, [v0, v1) is split by vectors first.
    int64_t lo[2], hi[2];
    for (int64_t phase = 0; phase < 2; ++phase) {
      const int64_t first = p.padl - phase, last = p.x.w - 1 + p.padl - phase;
      lo[phase] = std::clamp<int64_t>(first <= 0 ? 0 : (first + 1) / 2, 0, d.half);
      hi[phase] = last < 0 ? lo[phase] : std::clamp<int64_t>(last / 2 + 1, lo[phase], d.half);
    }
    const int64_t v0 = std::max(lo[0], lo[1]);
    const int64_t pairs = std::max<int64_t>(0, std::min(hi[0], hi[1]) - v0);
    const int64_t v1 = v0 + (pairs > 0 ? split(src + 2 * v0 - p.padl, dst + v0, dst + d.half + v0, pairs) : 0);
    for (int64_t phase = 0; phase < 2; ++phase) {
      float* dp = dst + phase * d.half;
      const int64_t first = p.padl - phase;
      for (int64_t t = 0; t < lo[phase]; ++t) dp[t] = 0.0f;
      for (int64_t t = lo[phase]; t < std::min(hi[phase], v0); ++t) dp[t] = src[2 * t - first];
      for (int64_t t = std::max(lo[phase], v1); t < hi[phase]; ++t) dp[t] = src[2 * t - first];
      for (int64_t t = hi[phase]; t < d.half; ++t) dp[t] = 0.0f;
    }
  }
}

// A thread's own padded rows: grown to the largest rectangle it has run
// and kept for the next passes, so that after the first pass the rows a
// rectangle pads stay in its own core's caches from the copy to the
// product.
struct OwnRows {
  float* data = nullptr;
  int64_t floats = 0;
  // The band and padded rows the buffer holds (token 0: none).
  uint64_t token = 0;
  int64_t top = 0, bottom = 0;
  OwnRows() = default;
  OwnRows(const OwnRows&) = delete;
  OwnRows& operator=(const OwnRows&) = delete;
  ~OwnRows() { std::free(data); }
};

// The calling thread's buffer of at least `floats` values (64-byte
// aligned); null when memory is short.
OwnRows* own_rows(int64_t floats) {
  OwnRows* kept = ThreadKept<OwnRows>::get();
  if (kept == nullptr) return nullptr;
  if (kept->floats < floats) {
    std::free(kept->data);
    kept->floats = 0;
    kept->token = 0;
    const size_t bytes = (static_cast<size_t>(floats) * sizeof(float) + 63) / 64 * 64;
    kept->data = static_cast<float*>(std::aligned_alloc(64, bytes));
    if (kept->data == nullptr) return nullptr;
    kept->floats = floats;
  }
  return kept;
}

// A number of its own for each band whose rectangles pad their own rows:
// a thread whose next rectangle reads the same rows of the same band (the
// pool deals a thread consecutive rectangles, mostly blocks of output
// channels of one group of panels) finds them already padded.
std::atomic<uint64_t> next_band_token{1};

// Rectangles that find no buffer of their own pad into the shared band
// one at a time instead (their rows overlap).
std::mutex shared_band_rows;

// Whether each rectangle of a band pads the rows its panels read itself,
// into its own buffer, rather than the pool padding the whole band first:
// where the band is cut into at most kOwnRowBlocks blocks of output
// channels, each of which pads the same rows again. At eight threads
// resnet18 ran 5.74 -> 5.58 ms this way (5.68 with position cuts alone:
// its 28 x 28 layers, cut into 4 blocks, gained too); its 14 x 14 layers,
// cut into 8 blocks, ran slower padding their rows eight times over.
constexpr int64_t kOwnRowBlocks = 4;
bool pads_own_rows(const PanelBand& band) { return band.parallel && band.split.rb <= kOwnRowBlocks; }

}  // namespace

namespace {

// What every band of a direct layer reads: the offset table (in the
// workspace after the padded band), how far past its base a panel's first
// lane reads, and the column splitter of the layer's form.
struct DirectSetup {
  float* pad;
  int64_t* offsets;
  int64_t taps, reach;
  SplitColumns split;
};

DirectSetup direct_setup(const ConvRun& r) {
  const ConvParams& p = r.p;
  const DirectBands& d = r.plan.direct;
  DirectSetup u;
  u.pad = r.col;
  const int64_t body = (p.x.c * d.plane + 15) / 16 * 16;
  float* slack = u.pad + body;
  u.offsets = reinterpret_cast<int64_t*>(slack + kPanelWidth);
  for (int64_t t = 0; t < kPanelWidth; ++t) slack[t] = 0.0f;
  for (int64_t i = 0; i < p.kh; ++i)
    for (int64_t j = 0; j < p.kw; ++j)
      u.offsets[i * p.kw + j] = i * p.dh * d.wp + (j * p.dw) % p.sw * d.half + j * p.dw / p.sw;
  u.taps = p.kh * p.kw;
  channel_offsets(u.offsets, u.taps, p.x.c, d.plane);
  u.reach = *std::max_element(u.offsets, u.offsets + u.taps);
  u.split = split_columns_for(r.plan.form);
  return u;
}

// Output rows [y0, y0 + rows) of a band (rows at most the plan's band
// rows), cut for the pool as `band` says: row y0 + y of output channel k
// lands at yb + k ldc + y wo.
void direct_band(const ConvRun& r, const DirectSetup& u, const float* xn, float* yb, int64_t ldc, int64_t y0,
                 int64_t rows, const PanelBand& band) {
  const ConvParams& p = r.p;
  const DirectBands& d = r.plan.direct;
  const int64_t m = p.y.c, kr = p.k_rows(), wo = p.y.w, wp = d.wp, per_row = panel_count(wo);
  const int64_t hp = (rows - 1) * p.sh + (p.kh - 1) * p.dh + 1, panels = direct_panels(d, rows, wo);
  float* pad = u.pad;
  const int64_t* offsets = u.offsets;
  const int64_t taps = u.taps, reach = u.reach;
  const SplitColumns split = u.split;
  const bool epi = r.plan.epilogue;
  TileFinish finish;
  const TileFinish* fin = tile_finish_of(r, &finish) ? &finish : nullptr;
  // Padded rows r of the band hold input row y0 sh - padt + r, shifted
  // right by padl; a band of fewer rows leaves its plane's tail unused.
  // A channel's rows in parts where the channels are fewer than the
  // pool's threads (a stem's three would keep five of eight waiting).
  const bool own = pads_own_rows(band);
  const uint64_t token = own ? next_band_token.fetch_add(1, std::memory_order_relaxed) : 0;
  const bool copy_parallel = band.parallel && p.x.c * hp * wp >= 16384;
  const int64_t parts =
      copy_parallel ? std::clamp<int64_t>((2 * kPlan + p.x.c - 1) / p.x.c, 1, std::max<int64_t>(1, hp / 4)) : 1;
  if (!own)
    run_split(copy_parallel, static_cast<size_t>(p.x.c * parts), [&](size_t cu) {
      const int64_t c = static_cast<int64_t>(cu) / parts, part = static_cast<int64_t>(cu) % parts;
      pad_band_rows(p, d, split, xn + c * p.x.plane(), pad + c * d.plane, y0, part * hp / parts,
                    (part + 1) * hp / parts);
    });
  // Spanning panels: position v of the band's padded rows (row v / wp,
  // column v % wp) is output position (v / wp, v % wp) of the band when
  // its column is below wo.
  const int64_t vlen = (rows - 1) * wp + wo;
  auto output_of = [&](int64_t v) { return (v / wp) * wo + std::min(v % wp, wo); };
  for_rectangles(band.parallel, band.split, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
    ConvPanel list[16];
    int64_t count = 0, first, end;
    if (d.span) {
      for (int64_t q = p0; q < p1; ++q) {
        const int64_t v0 = q * kPanelWidth, y = v0 / wp, x0 = v0 % wp, from = wp - x0;
        ConvPanel& pn = list[count++];
        pn = {pad + v0, yb + y * wo + std::min(x0, wo), std::clamp<int64_t>(wo - x0, 0, kPanelWidth)};
        if (from < kPanelWidth && y + 1 < rows) {
          pn.next = yb + (y + 1) * wo;
          pn.from = from;
          pn.more = std::min(kPanelWidth - from, wo);
        }
      }
      // (A position past its row's output columns maps to the row's end.)
      const int64_t last = std::min(p1 * kPanelWidth, vlen) - 1;
      first = output_of(p0 * kPanelWidth);
      end = output_of(last) + (last % wp < wo ? 1 : 0);
    } else {
      for (int64_t q = p0; q < p1; ++q) {
        const int64_t y = q / per_row, x0 = (q % per_row) * kPanelWidth;
        list[count++] = {pad + y * p.sh * wp + x0, yb + y * wo + x0, std::min(kPanelWidth, wo - x0)};
      }
      // The group's positions are consecutive in the band's rows.
      first = list[0].c - yb;
      end = list[count - 1].c + list[count - 1].cols - yb;
    }
    bool finished;
    if (own) {
      // Padded rows [top, bottom) of every channel hold what these
      // panels read, from the first one's first value to the last one's
      // last value at the farthest tap.
      const int64_t top = (list[0].base - pad) / wp;
      const int64_t bottom = (list[count - 1].base - pad + kPanelWidth - 1 + reach) / wp + 1;
      const int64_t plane = (bottom - top) * wp, body = (p.x.c * plane + 15) / 16 * 16;
      if (OwnRows* kept = own_rows(body + 2 * kr + 16)) {
        float* mine = kept->data;
        int64_t* own_offsets = reinterpret_cast<int64_t*>(mine + body);
        if (kept->token != token || kept->top != top || kept->bottom != bottom) {
          for (int64_t t = 0; t < taps; ++t) own_offsets[t] = offsets[t];
          channel_offsets(own_offsets, taps, p.x.c, plane);
          for (int64_t c = 0; c < p.x.c; ++c)
            pad_band_rows(p, d, split, xn + c * p.x.plane(), mine + c * plane, y0, top, bottom, top);
          kept->token = token;
          kept->top = top;
          kept->bottom = bottom;
        }
        for (int64_t i = 0; i < count; ++i) list[i].base = mine + ((list[i].base - pad) - top * wp);
        finished = conv_product_offsets(r.plan.form, r.w, kr, own_offsets, kr, list, count, ldc, m0, m1, fin);
      } else {
        // Rows past the band's are read only by lanes no output keeps.
        const std::lock_guard<std::mutex> hold(shared_band_rows);
        for (int64_t c = 0; c < p.x.c; ++c)
          pad_band_rows(p, d, split, xn + c * p.x.plane(), pad + c * d.plane, y0, top, std::min(bottom, hp));
        finished = conv_product_offsets(r.plan.form, r.w, kr, offsets, kr, list, count, ldc, m0, m1, fin);
      }
    } else {
      finished = conv_product_offsets(r.plan.form, r.w, kr, offsets, kr, list, count, ldc, m0, m1, fin);
    }
    if (epi && !finished) {
      const ConvParams& q = r.p;
      float* v = yb + m0 * ldc + first;
      conv_epilogue_rows(q.epilogue_span, v, ldc, m1 - m0, end - first, m0, r.bias, q.y.c, q.act, q.slope, q.hi,
                         r.residual_of(v));
    }
  });
}

}  // namespace

void run_direct(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const DirectBands& d = r.plan.direct;
  if (d.across()) return run_across(r, xn, yn);
  const DirectSetup u = direct_setup(r);
  for (int64_t y0 = 0; y0 < p.y.h; y0 += d.rows) {
    const int64_t rows = std::min(d.rows, p.y.h - y0);
    const PanelBand& band = rows == d.rows ? r.plan.panels : r.plan.last_panels;
    direct_band(r, u, xn, yn + y0 * p.y.w, p.y.plane(), y0, rows, band);
  }
}

void run_direct_rows(const ConvRun& r, const float* xn, float* out, int64_t ldc, int64_t oy0, int64_t oy1) {
  const ConvParams& p = r.p;
  const DirectBands& d = r.plan.direct;
  const DirectSetup u = direct_setup(r);
  const int64_t tile = r.plan.form == KernelIsa::kAvx512 ? kProductTilePanels : 1;
  for (int64_t y0 = oy0; y0 < oy1; y0 += d.rows) {
    const int64_t rows = std::min(d.rows, oy1 - y0);
    PanelBand band;
    band.split = plan_panel_split(p.y.c, direct_panels(d, rows, p.y.w), 1, tile);
    direct_band(r, u, xn, out + (y0 - oy0) * p.y.w, ldc, y0, rows, band);
  }
}

}  // namespace vorn::kern
