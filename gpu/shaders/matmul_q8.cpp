// "matmul_q8": y = x W^T (+ bias) for float rows x [M, K] and Q8 weights W
// [N, K] (rows of row_bytes: 68-byte blocks of 64 signed bytes and a float
// scale), M the grid's height. The bits are those the F16 copy of W that
// "dequant_q8" makes gets from the graph layer's product: each weight
// rounded to half and widened again, summed as platform/panel_gemm.h sums,
// the bias added to the finished sums. W goes from its blocks straight
// into float panels: each rectangle of the product (rows by panels) widens
// its own panels, a group at a time, into scratch that stays in the
// second-level cache while its rows pass. No half or float copy of the
// whole of W is written and read again, and the product is one stage of
// the pool, not a widening stage and a product stage with a wait between
// them; the cut into rectangles counts what widening a panel again for
// another block of rows costs. Up to three products of the same x (a
// layer's query, key and value projections) run as one dispatch: their
// panels are cut as one range, so a small part does not leave workers idle
// behind a wait of its own, and each output is the sum it is alone.
//
// The product may also take the pointwise nodes after it into the step
// that finishes each chunk of rows while it is still in the first-level
// cache, instead of passes of their own over the whole output: a residual
// add (buffer 5 the residual), or a gated block's SiLU and multiply (part
// 0 the gate, part 1 the up projection, whose output is the block's; the
// gate's sums go to scratch). The same float operations in the same order
// as the separate kernels, so the same bits.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gpu/shaders/attention_common.h"
#include "gpu/shaders/kernel_params.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/float_exp.h"
#include "platform/panel_gemm.h"

#if defined(__x86_64__)
#include <immintrin.h>

#include "platform/transpose_avx2.h"
#include "platform/transpose_avx512.h"
#endif

namespace vorn::shaders {

namespace {

using attention_common::stage_memory;
using attention_common::thread_memory;

// Rows of x one call of the tiles takes (whole tiles of 6 or 8 rows), and
// the floats of the group of W's panels the chunks of rows pass in turn
// (1 MiB at most, which stays in the second-level cache: with a deep K,
// such as the 1536 of a feed-forward's down projection, half that held
// five panels, and x streamed in from memory once per five).
constexpr int64_t kChunkRows = 24;
constexpr int64_t kGroupFloats = int64_t(1) << 18;

struct Problem {
  uint64_t m, n, k, row_bytes;
  bool bias;
};

Problem problem_of(const mtl::KernelArgs& a) {
  const MatvecParams& p = params<Kernel::matmul_q8>(a);
  return Problem{a.groups.height, p.rows, p.k, p.row_bytes, p.has_bias != 0};
}

// Row n of W as floats: each value times its block's scale, rounded to half
// and widened, as "dequant_q8" and then the product's widening make it.
void widen_row(const uint8_t* w, uint64_t row_bytes, uint64_t k, uint64_t n, float* out, uint16_t* halves) {
  const uint8_t* row = w + n * row_bytes;
  with_vector_forms([&] {
    for (uint64_t k0 = 0; k0 < k; k0 += kQ8BlockValues) {
      const uint8_t* block = row + k0 / kQ8BlockValues * kQ8BlockBytes;
      float scale;
      std::memcpy(&scale, block + kQ8BlockValues, sizeof scale);
      const uint64_t count = std::min<uint64_t>(kQ8BlockValues, k - k0);
      for (uint64_t j = 0; j < count; ++j) out[k0 + j] = float(int8_t(block[j])) * scale;
    }
  });
  float_to_half_n(out, halves, k);
  half_to_float_n(halves, out, k);
}

#if defined(__x86_64__)
[[gnu::target("avx512f")]] void transpose_rows_avx512(const float* rows, uint64_t k, float* panel, uint64_t k_end) {
  for (uint64_t k0 = 0; k0 < k_end; k0 += kPanelWidth) {
    __m512 r[16];
    for (uint64_t i = 0; i < 16; ++i) r[i] = _mm512_loadu_ps(rows + i * k + k0);
    transpose16(r);
    for (uint64_t i = 0; i < 16; ++i) _mm512_storeu_ps(panel + (k0 + i) * kPanelWidth, r[i]);
  }
}

[[gnu::target("avx2")]] void transpose_rows_avx2(const float* rows, uint64_t k, float* panel, uint64_t k_end) {
  for (uint64_t k0 = 0; k0 < k_end; k0 += 8)
    for (uint64_t h = 0; h < kPanelWidth; h += 8) {
      __m256 r[8];
      for (uint64_t i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(rows + (h + i) * k + k0);
      transpose8(r);
      for (uint64_t i = 0; i < 8; ++i) _mm256_storeu_ps(panel + (k0 + i) * kPanelWidth + h, r[i]);
    }
}
#endif

#if defined(__x86_64__)
// The panel of rows n0.. straight from the blocks, sixteen values of a row
// (one block's scale) at a time, transposed in registers. k a multiple of 16.
// Returns whether every scale it met is finite: then each product of a value
// and its scale is finite, and the F16C conversions round it to half and
// back exactly as the platform's conversions do (they differ only in the
// payloads of NaN); otherwise the panel is to be widened again row by row.
[[gnu::target("avx512f,avx2,f16c")]] bool pack_panel_avx512(const uint8_t* w, uint64_t row_bytes, uint64_t k,
                                                            uint64_t n0, float* panel) {
  bool finite = true;
  for (uint64_t k0 = 0; k0 < k; k0 += 16) {
    __m512 r[16];
    for (uint64_t i = 0; i < 16; ++i) {
      const uint8_t* block = w + (n0 + i) * row_bytes + k0 / kQ8BlockValues * kQ8BlockBytes;
      float scale;
      std::memcpy(&scale, block + kQ8BlockValues, sizeof scale);
      finite &= std::fabs(scale) <= 3.402823466e38f;
      const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + k0 % kQ8BlockValues));
      // (Zeroing masks of all ones: GCC 12's plain forms start from an
      // undefined register and warn of it.)
      const __m512 v = _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepi8_epi32(0xFFFF, q)),
                                     _mm512_set1_ps(scale));
      r[i] = _mm512_maskz_cvtph_ps(0xFFFF, _mm512_maskz_cvtps_ph(0xFFFF, v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }
    transpose16(r);
    for (uint64_t i = 0; i < 16; ++i) _mm512_storeu_ps(panel + (k0 + i) * kPanelWidth, r[i]);
  }
  return finite;
}

// The same eight values and eight rows at a time. k a multiple of 16.
[[gnu::target("avx2,f16c")]] bool pack_panel_avx2(const uint8_t* w, uint64_t row_bytes, uint64_t k, uint64_t n0,
                                                  float* panel) {
  bool finite = true;
  for (uint64_t k0 = 0; k0 < k; k0 += 8)
    for (uint64_t h = 0; h < uint64_t(kPanelWidth); h += 8) {
      __m256 r[8];
      for (uint64_t i = 0; i < 8; ++i) {
        const uint8_t* block = w + (n0 + h + i) * row_bytes + k0 / kQ8BlockValues * kQ8BlockBytes;
        float scale;
        std::memcpy(&scale, block + kQ8BlockValues, sizeof scale);
        finite &= std::fabs(scale) <= 3.402823466e38f;
        const __m128i q = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(block + k0 % kQ8BlockValues));
        const __m256 v = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(q)), _mm256_set1_ps(scale));
        r[i] = _mm256_cvtph_ps(_mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
      }
      transpose8(r);
      for (uint64_t i = 0; i < 8; ++i) _mm256_storeu_ps(panel + (k0 + i) * kPanelWidth + h, r[i]);
    }
  return finite;
}
#endif

// rows [kPanelWidth][k] into one panel [k][kPanelWidth]. Values move only.
void transpose_rows(const float* rows, uint64_t k, float* panel) {
  uint64_t done = 0;
#if defined(__x86_64__)
  const VectorForm form = vector_form();
  if (form == VectorForm::kAvx512) {
    done = k / 16 * 16;
    transpose_rows_avx512(rows, k, panel, done);
  } else if (form == VectorForm::kAvx2) {
    done = k / 8 * 8;
    transpose_rows_avx2(rows, k, panel, done);
  }
#endif
  for (uint64_t kk = done; kk < k; ++kk)
    for (uint64_t i = 0; i < uint64_t(kPanelWidth); ++i) panel[kk * kPanelWidth + i] = rows[i * k + kk];
}

// Panel q of W (zeros past N) at dst: straight from the blocks where the
// form and the shape allow, else row by row through rows, a scratch of
// kPanelWidth * k + k / 2 + 1 floats leased on first need.
void widen_panel(const mtl::KernelArgs& a, const Problem& p, const uint8_t* w, VectorForm form, uint64_t q,
                 float* dst, ScratchLease& rows) {
  const uint64_t n0 = q * kPanelWidth;
#if defined(__x86_64__)
  // (A panel with a scale that is not finite is widened again row by row.)
  if (form != VectorForm::kPortable && p.k % 16 == 0 && n0 + kPanelWidth <= p.n &&
      (form == VectorForm::kAvx512 ? pack_panel_avx512(w, p.row_bytes, p.k, n0, dst)
                                   : pack_panel_avx2(w, p.row_bytes, p.k, n0, dst)))
    return;
#else
  (void)form;
#endif
  if (rows.data() == nullptr) rows = stage_memory(a, size_t(kPanelWidth * p.k + p.k / 2 + 1));
  float* r = rows.data();
  if (r == nullptr) return std::fill(dst, dst + kPanelWidth * p.k, 0.0f);  // the fault is reported
  uint16_t* halves = reinterpret_cast<uint16_t*>(r + kPanelWidth * p.k);
  for (uint64_t i = 0; i < uint64_t(kPanelWidth); ++i) {
    if (n0 + i < p.n)
      widen_row(w, p.row_bytes, p.k, n0 + i, r + i * p.k, halves);
    else
      std::fill(r + i * p.k, r + (i + 1) * p.k, 0.0f);
  }
  transpose_rows(r, p.k, dst);
}

// Widening one value of W costs about as much as this many of the
// multiply-adds that use it (each value feeds one multiply-add per row).
constexpr double kWidenCost = 8.0;

// The cut of the product over `threads` workers: rb blocks of rows (whole
// register tiles) by `groups` groups of panels, at least one rectangle per
// worker where the product has that many. A panel is widened once per
// block of rows that needs it, so more blocks widen more; the cut whose
// rectangles, widening included, finish their waves first wins. (On
// eight workers the 1,024 rows of a prompt by 96 panels go as 8 groups of
// 12 panels, each widened once; by 36 panels as 4 blocks by 2 groups.)
PanelSplit widening_split(int64_t m, int64_t panels, int64_t threads) {
  // (One worker takes the whole product as one rectangle.)
  PanelSplit best{1, 1, plan_panel_split(m, panels, 1).tile};
  if (threads <= 1) return best;
  const int64_t tile = best.tile;
  const int64_t units = std::max<int64_t>(1, (m + tile - 1) / tile);
  // The pair tiles of the widest form take two panels at once; an odd
  // panel left over takes a tile of its own, about half as fast.
  const bool pairs = vector_form() == VectorForm::kAvx512;
  double best_time = -1.0;
  for (int64_t groups = 1; groups <= std::min(panels, 4 * threads); ++groups) {
    const int64_t width = (panels + groups - 1) / groups;
    for (int64_t rb = 1; rb <= std::min(units, 4 * threads); ++rb) {
      if (rb * groups < threads && (rb < units || groups < panels)) continue;
      const int64_t rows = std::min(m, (units + rb - 1) / rb * tile);
      const int64_t waves = (rb * groups + threads - 1) / threads;
      const double lone = pairs && width % 2 == 1 ? 0.5 : 0.0;
      const double time = double(waves) * (double(rows) * (double(width) + lone) + kWidenCost * double(width));
      if (best_time < 0 || time < best_time) {
        best_time = time;
        best.rb = rb;
        best.groups = groups;
      }
    }
  }
  return best;
}

}  // namespace

// The products of one dispatch: x times each part's weight, into that
// part's output. The parts' panels are cut over the pool as one range.
constexpr int kMostParts = 3;

struct Part {
  Problem p;
  const uint8_t* w;
  float* y;
  const half* bias;
  int64_t first_panel;  // in the joined range
};

int parts_of(const mtl::KernelArgs& a, Part* parts) {
  const MatvecParams& mp = params<Kernel::matmul_q8>(a);
  const Problem first = problem_of(a);
  const int count = 1 + int(std::min<uint32_t>(mp.extra_parts, kMostParts - 1));
  int64_t panels = 0;
  for (int i = 0; i < count; ++i) {
    Part& part = parts[i];
    part.p = first;
    if (i == 0) {
      part.w = a.buffer<const uint8_t>(1);
      part.y = a.buffer<float>(2);
      part.bias = a.buffer<const half>(4);
    } else {
      part.p.n = mp.part_rows[i - 1];
      part.p.bias = (mp.part_has_bias >> (i - 1) & 1) != 0;
      part.w = a.buffer<const uint8_t>(uint32_t(2 + 3 * i));
      part.y = a.buffer<float>(uint32_t(3 + 3 * i));
      part.bias = a.buffer<const half>(uint32_t(4 + 3 * i));
    }
    // A gated block's parts cover the same columns: both take each panel.
    part.first_panel = mp.output == kMatvecSwiglu ? 0 : panels;
    panels = part.first_panel + panel_count(int64_t(part.p.n));
  }
  return count;
}

#if defined(__x86_64__)
template <class F>
__attribute__((target("avx512f,avx2,f16c"), flatten)) void run_avx512(const F& body) {
  body();
}
#endif

// body in the widest form the record allows (its loops vectorise 16 wide
// under AVX-512, 8 under AVX2); the same bits in every form.
template <class F>
void with_row_forms(const F& body) {
#if defined(__x86_64__)
  if (vector_form() == VectorForm::kAvx512) return run_avx512(body);
#endif
  with_vector_forms(body);
}

// The finished sums of rows [0, rows) and columns [j0, j1) of a chunk, y
// rows ldy apart, become the output step's values: the bias added, then
// the residual added to it (residual rows ldy apart, the chunk's first at
// residual), as "linear_bias"'s and "pointwise" add's steps would.
void finish_residual(float* y, uint64_t ldy, const float* residual, const half* bias, bool has_bias, uint64_t rows,
                     uint64_t j0, uint64_t j1) {
  with_row_forms([&] {
    for (uint64_t r = 0; r < rows; ++r) {
      float* yr = y + r * ldy;
      const float* rr = residual + r * ldy;
      if (has_bias)
        for (uint64_t j = j0; j < j1; ++j) yr[j] = yr[j] + to_float(bias[j]);
      for (uint64_t j = j0; j < j1; ++j) yr[j] = rr[j] + yr[j];
    }
  });
}

// The gated block's output step: g (the gate's sums, rows ldg apart,
// columns from j0) and y (the up projection's, rows ldy apart) each with
// its bias, then silu(g) * y as the SiLU and multiply kernels compute it,
// into y. e: scratch of j1 - j0 floats.
void finish_swiglu(float* y, uint64_t ldy, float* g, uint64_t ldg, const half* gate_bias, bool has_gate_bias,
                   const half* up_bias, bool has_up_bias, uint64_t rows, uint64_t j0, uint64_t j1, float* e) {
  const uint64_t n = j1 - j0;
  for (uint64_t r = 0; r < rows; ++r) {
    float* yr = y + r * ldy + j0;
    float* gr = g + r * ldg;
    with_row_forms([&] {
      if (has_gate_bias)
        for (uint64_t j = 0; j < n; ++j) gr[j] = gr[j] + to_float(gate_bias[j0 + j]);
      if (has_up_bias)
        for (uint64_t j = 0; j < n; ++j) yr[j] = yr[j] + to_float(up_bias[j0 + j]);
      for (uint64_t j = 0; j < n; ++j) e[j] = -gr[j];
    });
    exp_float_n(e, e, n);
    with_row_forms([&] {
      for (uint64_t j = 0; j < n; ++j) yr[j] = gr[j] / (1.0f + e[j]) * yr[j];
    });
  }
}

template <class A>
void matmul_q8(const mtl::KernelArgs& a) {
  if constexpr (sizeof(A) != sizeof(float)) {
    (void)a;  // refused by the check
  } else {
    Part parts[kMostParts];
    const int count = parts_of(a, parts);
    const Part& last = parts[count - 1];
    const int64_t panels = last.first_panel + panel_count(int64_t(last.p.n));
    const uint64_t m = parts[0].p.m;
    const float* x = a.buffer<const float>(0);
    if (m == 0 || panels == 0) return;
    const int64_t k = int64_t(parts[0].p.k);
    const VectorForm form = vector_form();
    const int64_t group = std::clamp<int64_t>(kGroupFloats / (k * kPanelWidth), 1, 16);
    auto add_bias = [&](const Part& part, int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      const Problem& p = part.p;
      if (!p.bias) return;
      const uint64_t j0 = uint64_t(p0) * kPanelWidth, j1 = std::min(p.n, uint64_t(p1) * kPanelWidth);
      for (int64_t r = m0; r < m1; ++r)
        for (uint64_t j = j0; j < j1; ++j)
          part.y[uint64_t(r) * p.n + j] = part.y[uint64_t(r) * p.n + j] + to_float(part.bias[j]);
    };
    // Panels q0 .. q1 (at panels_of) for rows m0 .. m1, in chunks of rows:
    // a chunk's rows of x stay in the first-level cache while the panels
    // pass, and the panels in the second while the chunks pass.
    auto products = [&](const Part& part, const float* panels_of, int64_t q0, int64_t q1, int64_t m0, int64_t m1) {
      const int64_t c0 = q0 * kPanelWidth, n = int64_t(part.p.n);
      for (int64_t i0 = m0; i0 < m1; i0 += kChunkRows)
        panel_product(x, k, gathered_panels(panels_of, k), k, n - c0, part.y + c0, n, i0,
                      std::min(m1, i0 + kChunkRows), 0, q1 - q0);
    };
    // Each rectangle widens a group of its panels at a time into scratch of
    // the group's size, which stays in the second-level cache while every
    // row of the rectangle passes (the worker's own, which its caches hold
    // from its last rectangle). A rectangle across parts takes each part's
    // panels in turn: every output column is the same sum whatever the cut.
    const int64_t threads = int64_t(parallel_thread_count());
    const PanelSplit split = widening_split(int64_t(m), panels, threads);
    const uint32_t output = params<Kernel::matmul_q8>(a).output;
    if (output == kMatvecResidual) {
      // Each chunk of rows finished with its bias and residual while it is
      // in the cache.
      const Part& part = parts[0];
      const float* residual = a.buffer<const float>(5);
      const int64_t n = int64_t(part.p.n);
      for_rectangles(threads > 1, split, int64_t(m), panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
        ScratchLease spare;
        float* own = thread_memory(a, size_t(std::min(group, p1 - p0) * k * kPanelWidth), spare);
        if (own == nullptr) return;
        ScratchLease rows;
        for (int64_t q0 = p0; q0 < p1; q0 += group) {
          const int64_t q1 = std::min(p1, q0 + group);
          for (int64_t q = q0; q < q1; ++q)
            widen_panel(a, part.p, part.w, form, uint64_t(q), panel_at(own, k, q - q0), rows);
          const int64_t c0 = q0 * kPanelWidth, c1 = std::min(n, q1 * kPanelWidth);
          for (int64_t i0 = m0; i0 < m1; i0 += kChunkRows) {
            const int64_t i1 = std::min(m1, i0 + kChunkRows);
            panel_product(x, k, gathered_panels(own, k), k, n - c0, part.y + c0, n, i0, i1, 0, q1 - q0);
            finish_residual(part.y + i0 * n, uint64_t(n), residual + i0 * n, part.bias, part.p.bias,
                            uint64_t(i1 - i0), uint64_t(c0), uint64_t(c1));
          }
        }
      });
      return;
    }
    if (output == kMatvecSwiglu) {
      // The gate's and the up projection's panels of the same columns
      // widened side by side (half a group each); each chunk of rows takes
      // the gate's sums into scratch, then the up projection's into the
      // output, and finishes both while they are in the cache.
      const Part &gate = parts[0], &up = parts[1];
      const int64_t n = int64_t(up.p.n), half_group = std::max<int64_t>(1, group / 2);
      const int64_t width = half_group * kPanelWidth;
      for_rectangles(threads > 1, split, int64_t(m), panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
        const int64_t own_panels = std::min(half_group, p1 - p0);
        ScratchLease spare;
        float* own = thread_memory(a, size_t(2 * own_panels * k * kPanelWidth + (kChunkRows + 1) * width), spare);
        if (own == nullptr) return;
        float* gate_sums = own + 2 * own_panels * k * kPanelWidth;
        float* e = gate_sums + kChunkRows * width;
        float* up_panels = panel_at(own, k, own_panels);
        ScratchLease rows;
        for (int64_t q0 = p0; q0 < p1; q0 += half_group) {
          const int64_t q1 = std::min(p1, q0 + half_group);
          for (int64_t q = q0; q < q1; ++q) {
            widen_panel(a, gate.p, gate.w, form, uint64_t(q), panel_at(own, k, q - q0), rows);
            widen_panel(a, up.p, up.w, form, uint64_t(q), panel_at(up_panels, k, q - q0), rows);
          }
          const int64_t c0 = q0 * kPanelWidth, c1 = std::min(n, q1 * kPanelWidth);
          for (int64_t i0 = m0; i0 < m1; i0 += kChunkRows) {
            const int64_t i1 = std::min(m1, i0 + kChunkRows);
            panel_product(x + i0 * k, k, gathered_panels(own, k), k, n - c0, gate_sums, width, 0, i1 - i0, 0,
                          q1 - q0);
            panel_product(x, k, gathered_panels(up_panels, k), k, n - c0, up.y + c0, n, i0, i1, 0, q1 - q0);
            finish_swiglu(up.y + i0 * n, uint64_t(n), gate_sums, uint64_t(width), gate.bias, gate.p.bias,
                          up.bias, up.p.bias, uint64_t(i1 - i0), uint64_t(c0), uint64_t(c1), e);
          }
        }
      });
      return;
    }
    for_rectangles(threads > 1, split, int64_t(m), panels, [&](int64_t m0, int64_t m1, int64_t r0, int64_t r1) {
      ScratchLease spare;
      float* own = thread_memory(a, size_t(std::min(group, r1 - r0) * k * kPanelWidth), spare);
      if (own == nullptr) return;
      ScratchLease rows;
      for (int i = 0; i < count; ++i) {
        const Part& part = parts[i];
        const int64_t p0 = std::max<int64_t>(r0 - part.first_panel, 0);
        const int64_t p1 = std::min<int64_t>(r1 - part.first_panel, panel_count(int64_t(part.p.n)));
        if (p0 >= p1) continue;
        for (int64_t q0 = p0; q0 < p1; q0 += group) {
          const int64_t q1 = std::min(p1, q0 + group);
          for (int64_t q = q0; q < q1; ++q)
            widen_panel(a, part.p, part.w, form, uint64_t(q), panel_at(own, k, q - q0), rows);
          products(part, own, q0, q1, m0, m1);
        }
        add_bias(part, m0, m1, p0, p1);
      }
    });
  }
}

template <class A>
bool matmul_q8_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  if (sizeof(A) != sizeof(float)) return mtl::kernel_refuse("float activations only", e);
  if (a.groups.width != 1 || a.groups.depth != 1) return mtl::kernel_refuse("grid is not one column of rows", e);
  if (params<Kernel::matmul_q8>(a).extra_parts >= kMostParts) return mtl::kernel_refuse("more than three parts", e);
  Part parts[kMostParts];
  const int count = parts_of(a, parts);
  const Problem& p = parts[0].p;
  if (p.k == 0) return mtl::kernel_refuse("no inner dimension", e);
  if (p.row_bytes / kQ8BlockBytes < (p.k + kQ8BlockValues - 1) / kQ8BlockValues)
    return mtl::kernel_refuse("Q8 rows shorter than their blocks", e);
  if (!require_elements(a, 0, mtl::sat_mul(p.m, p.k), 4, e)) return false;
  for (int i = 0; i < count; ++i) {
    const Problem& q = parts[i].p;
    const uint32_t w = i == 0 ? 1 : uint32_t(2 + 3 * i), y = i == 0 ? 2 : w + 1, b = i == 0 ? 4 : w + 2;
    if (!require_elements(a, w, q.n, q.row_bytes, e) || !require_elements(a, y, mtl::sat_mul(q.m, q.n), 4, e) ||
        (q.bias && !require_elements(a, b, q.n, 2, e)))
      return false;
  }
  switch (params<Kernel::matmul_q8>(a).output) {
    case kMatvecPlain:
      return true;
    case kMatvecResidual:
      if (count != 1) return mtl::kernel_refuse("a residual step takes one product", e);
      return require_elements(a, 5, mtl::sat_mul(p.m, p.n), 4, e);
    case kMatvecSwiglu:
      if (count != 2 || parts[1].p.n != p.n)
        return mtl::kernel_refuse("a gated step takes a gate and an up projection of the same width", e);
      return true;
    default:
      return mtl::kernel_refuse("unknown output step", e);
  }
}

VORN_INSTANTIATE_GRID_KERNEL(matmul_q8)

}  // namespace vorn::shaders
