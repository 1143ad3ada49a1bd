// Conv: pointwise products straight on the input, depthwise direct planes,
// ungrouped layers of column stride 1 straight from a zero-padded copy of
// the input (no column matrix), and im2col + sgemm in bands of output rows
// for everything else, with bias and the fused activation applied while
// each band is still in cache. Small planes, and planes whose positions
// are too few to feed the threads, gather their columns into panels and
// split the product by output channels and positions together
// (panel_gemm.h).
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/kernels/conv.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cpu/kernels/panel_gemm.h"
#include "cpu/quant_operands.h"
#include "platform/blas.h"

VORN_VECTORIZE_FILE

namespace vorn {
namespace kern {

namespace {


// Above this many output positions the column matrix is cut into bands of
// at most kBandValues values, so one band stays in the outer caches.
constexpr int64_t kBandOutputs = 65536;
constexpr int64_t kBandValues = 4194304;

bool mul_ok(int64_t a, int64_t b, int64_t* out) {
  return !__builtin_mul_overflow(a, b, out) && *out <= kMaxElements * 8;
}

}  // namespace

// A 1x1 layer that reads every input position once, in place: its input
// planes are the column matrix.
bool is_pointwise(const ConvParams& p) {
  return p.g == 1 && p.kh == 1 && p.kw == 1 && p.padt == 0 && p.padl == 0 && p.sh == 1 && p.sw == 1 &&
         p.y.h == p.x.h && p.y.w == p.x.w;
}

bool conv_params(const CpuState& s, const NodeRecord& n, ConvParams* p, char* msg, size_t cap) {
  if (!has_io(s, n) || !has_input(s, n, 1)) return fail(msg, cap, "needs input, weight and output");
  ConvParams q;
  if (!value_nchw(node_in_value(s, n, 0), &q.x) || !value_nchw(node_out_value(s, n, 0), &q.y))
    return fail(msg, cap, "input and output must be NCHW tensors of rank 1 to 4");
  using A = attr::Conv;
  q.kh = attr_int(n, A::kKernelH);
  q.kw = attr_int(n, A::kKernelW);
  q.sh = attr_int(n, A::kStrideH);
  q.sw = attr_int(n, A::kStrideW);
  q.padt = attr_int(n, A::kPadTop);
  q.padl = attr_int(n, A::kPadLeft);
  q.dh = attr_int(n, A::kDilationH);
  q.dw = attr_int(n, A::kDilationW);
  q.g = attr_int(n, A::kGroups);
  if (q.g < 2) q.g = 1;
  if (q.sh == 0) q.sh = 1;
  if (q.sw == 0) q.sw = 1;
  if (q.dh == 0) q.dh = 1;
  if (q.dw == 0) q.dw = 1;
  q.depthwise_allowed = n.attr(A::kNoDepthwise) == 0;
  q.act = static_cast<int>(n.attr(A::kMode) & 0xffffffffu);
  q.slope = n.attr_f32(A::kParam);
  {
    const uint32_t bits = static_cast<uint32_t>(n.attr(A::kParam) >> 32);
    std::memcpy(&q.hi, &bits, 4);
  }
  if (q.kh < 1 || q.kw < 1 || q.kh > 4096 || q.kw > 4096)
    return fail(msg, cap, "kernel extent %lld x %lld out of range", (long long)q.kh, (long long)q.kw);
  if (q.sh < 0 || q.sw < 0 || q.dh < 0 || q.dw < 0 || q.padt < 0 || q.padl < 0)
    return fail(msg, cap, "negative stride, dilation or padding");
  // Bounded so that every extent the kernels derive from them fits 64 bits.
  constexpr int64_t kMaxStep = int64_t{1} << 20;
  if (q.sh > kMaxStep || q.sw > kMaxStep || q.dh > kMaxStep || q.dw > kMaxStep || q.padt > kMaxStep ||
      q.padl > kMaxStep)
    return fail(msg, cap, "stride, dilation or padding above %lld", (long long)kMaxStep);
  if (q.x.c % q.g != 0 || q.y.c % q.g != 0)
    return fail(msg, cap, "channels %lld -> %lld not divisible by %lld groups", (long long)q.x.c,
                (long long)q.y.c, (long long)q.g);
  if (q.x.n != q.y.n) return fail(msg, cap, "input and output batch differ");
  if (q.y.count() > 0 && q.x.c == 0) return fail(msg, cap, "input has no channels");
  int64_t per_out = 0, wcount = 0;
  if (!mul_ok(q.kh * q.kw, q.cin_g(), &per_out) || !mul_ok(per_out, q.y.c, &wcount) ||
      value_count(node_in_value(s, n, 1)) != wcount)
    return fail(msg, cap, "weight has %llu values, expected Cout x Cin/g x kh x kw",
                (unsigned long long)node_in_value(s, n, 1).count());
  if (q.act < kActNone || q.act > kActHardSwish) return fail(msg, cap, "unknown fused activation %d", q.act);
  q.has_bias = has_input(s, n, 2);
  if (q.has_bias) {
    int64_t need = q.act == kActReluAffine ? 3 * q.y.c : q.y.c;
    if (value_count(node_in_value(s, n, 2)) < need)
      return fail(msg, cap, "bias has %llu values, expected %lld",
                  (unsigned long long)node_in_value(s, n, 2).count(), (long long)need);
  } else if (q.act == kActReluAffine) {
    return fail(msg, cap, "fused affine activation without its parameters");
  }
  int64_t row = 0;
  if (!mul_ok(q.k_rows(), q.y.w, &row)) return fail(msg, cap, "column matrix too large");
  *p = q;
  return true;
}

void conv_epilogue_span(float* v, int64_t len, int64_t c, const float* params, int64_t cout,
                        int act, float slope, float hi) {
  const float b = params != nullptr ? params[c] : 0.0f;
  switch (act) {
    case kActReluAffine: {
      const float m = params[cout + c], a = params[2 * cout + c];
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        t = t >= 0.0f ? t : 0.0f;
        v[i] = t * m + a;
      }
      break;
    }
    case kActRelu:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t >= 0.0f ? t : 0.0f;
      }
      break;
    case kActLeaky:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t >= 0.0f ? t : t * slope;
      }
      break;
    // Clip and HardSwish take the same tests and operations, in the same
    // order, as their own kernels, so fusing them changes no bit (NaN
    // passes through both).
    case kActClip:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        v[i] = t < slope ? slope : (t > hi ? hi : t);
      }
      break;
    case kActHardSwish:
      for (int64_t i = 0; i < len; ++i) {
        float t = v[i] + b;
        float g = t * 0.16666667f;
        g = g + 0.5f;
        g = g < 0.0f ? 0.0f : (g > 1.0f ? 1.0f : g);
        v[i] = t * g;
      }
      break;
    default:
      if (params != nullptr)
        for (int64_t i = 0; i < len; ++i) v[i] += b;
      break;
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

// Padded planes up to this many values are gathered from a zero-padded
// copy on the stack: small planes (7 x 7, 14 x 14) then cost a few
// branch-free loops per tap instead of a few library calls per output row.
constexpr int64_t kPaddedPlane = 4096;

// The extent of the zero-padded input plane that the whole output plane
// reads; false when it does not fit kPaddedPlane.
bool padded_extent(const ConvParams& p, int64_t* hp, int64_t* wp) {
  *hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1;
  *wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  // Each side first, so the product cannot wrap.
  return *hp <= kPaddedPlane && *wp <= kPaddedPlane && *hp * *wp <= kPaddedPlane;
}

// Short rows: plain loops beat the library calls GCC would turn them into.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_NO_MEMCPY_CALLS [[gnu::optimize("no-tree-loop-distribute-patterns")]]
#else
#define VORN_NO_MEMCPY_CALLS
#endif

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

struct ConvRun {
  const ConvParams& p;
  const float* x;
  const float* w;
  const float* bias;
  float* y;
  float* col;
  int64_t col_cap;  // floats
  CpuState* state;
};

bool epilogue_needed(const ConvParams& p) { return p.act != kActNone || p.has_bias; }

bool epilogue_parallel(const ConvParams& p) { return p.y.c > 7 && p.y.c * p.y.plane() >= 65536; }

// The fused path cuts the output positions into tiles; each tile gathers
// its columns, multiplies them on one thread and finishes its slice of every
// output plane while it is still in cache. A tile's column block is kept to
// about the size of a core's L2 cache, and the tile count is a multiple of
// the thread count so the pool stays balanced.
constexpr int64_t kTileValues = int64_t{1} << 18;
// Below this many positions per tile the product is too thin for one
// thread; the layer then runs as one product split over output channels.
constexpr int64_t kMinTileColumns = 64;
// Multiply-adds above which a layer always spreads over the pool.
constexpr int64_t kParallelWork = int64_t{1} << 18;

struct Tiling {
  int64_t tiles = 0, cols = 0;
};

Tiling plan_tiles(int64_t positions, int64_t k_rows) {
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  int64_t tiles = std::max<int64_t>(1, (positions * k_rows + kTileValues - 1) / kTileValues);
  tiles = (tiles + threads - 1) / threads * threads;
  const int64_t cols = (positions + tiles - 1) / tiles;
  Tiling t;
  if (threads > 1 && cols < kMinTileColumns) return t;
  t.cols = std::max<int64_t>(cols, 1);
  t.tiles = (positions + t.cols - 1) / t.cols;
  return t;
}

// Layers whose positions are too few to keep the pool's threads busy with
// tiles of their own, or small enough planes that gathering them into
// panels beats a library product: both run as rectangles of output
// channels by panels (run_panels, run_pointwise_panels).
bool few_positions(const ConvParams& p) {
  const int64_t hw = p.y.plane();
  return hw <= 256 || (plan_tiles(hw, p.k_rows()).tiles == 0 && parallel_thread_count() > 1);
}

// Partitions of a grouped layer run side by side when the layer is too
// small to tile over positions: at most one per thread, each needing its
// own column matrix of k_rows x positions values, and no more than keep
// the workspace at about kBandValues values.
int64_t group_slots_wanted(const ConvParams& p, int64_t positions) {
  if (p.g < 2) return 1;
  if (p.y.c * positions * p.k_rows() < kParallelWork) return 1;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  const int64_t per = std::max<int64_t>(1, p.k_rows() * positions);
  return std::max<int64_t>(1, std::min({p.g, threads, kBandValues / per}));
}

int64_t group_slots(const ConvParams& p, int64_t positions, int64_t col_cap) {
  const int64_t per = std::max<int64_t>(1, p.k_rows() * positions);
  return std::max<int64_t>(1, std::min(group_slots_wanted(p, positions), col_cap / per));
}

// One tile's product on the calling thread.
void tile_gemm(int64_t m, int64_t n, int64_t k, const float* a, int64_t lda, const float* b, int64_t ldb,
               float* c, int64_t ldc) {
  cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, m, n, k, 1.0f, a, lda, b, ldb, 0.0f, c, ldc);
}

void epilogue_tile(const ConvRun& r, float* yg, int64_t first_channel, int64_t channels, int64_t q0,
                   int64_t len) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane();
  for (int64_t c = 0; c < channels; ++c)
    conv_epilogue_span(yg + c * hw + q0, len, first_channel + c, r.bias, p.y.c, p.act, p.slope, p.hi);
}

// Few positions, many output channels: blocks of output channels spread
// over the pool, each block's product followed at once by its epilogue
// while its rows are still in cache. False (nothing done) when the product
// is too small to spread.
bool product_by_channels(const ConvRun& r, int64_t first_channel, int64_t m, int64_t n, int64_t k, const float* w,
                         const float* col, float* y, int64_t ldy) {
  const ConvParams& p = r.p;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  if (threads < 2 || m * n * k < kParallelWork || m < 16) return false;
  // One block per thread, in whole register tiles of rows.
  const int64_t align = m >= 16 * threads ? 16 : 8;
  int64_t rows = (m + threads - 1) / threads;
  rows = (rows + align - 1) / align * align;
  const int64_t blocks = (m + rows - 1) / rows;
  const bool epi = epilogue_needed(p);
  run_split(true, static_cast<size_t>(blocks), [&](size_t blk) {
    const int64_t m0 = static_cast<int64_t>(blk) * rows, mb = std::min(rows, m - m0);
    cpu_sgemm_threading(SgemmThreading::kSerial, 1, false, false, mb, n, k, 1.0f, w + m0 * k, k, col, n, 0.0f,
                        y + m0 * ldy, ldy);
    if (epi)
      for (int64_t c = m0; c < m0 + mb; ++c)
        conv_epilogue_span(y + c * ldy, n, first_channel + c, r.bias, p.y.c, p.act, p.slope, p.hi);
  });
  return true;
}

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
            put(rowk, pos + (a - xa), b - a, xc + iy * W + off + a * sw);
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

// Positions per band of the panel path, a whole number of panels, or 0
// when the workspace cannot hold one panel.
int64_t panel_band(const ConvParams& p, int64_t col_cap) {
  const int64_t per_panel = p.k_rows() * kPanelWidth;
  int64_t panels = col_cap / per_panel;
  if (p.y.plane() >= kBandOutputs) panels = std::min(panels, std::max<int64_t>(1, kBandValues / per_panel));
  return std::min(panels * kPanelWidth, panel_count(p.y.plane()) * kPanelWidth);
}

// Ungrouped layers on several threads: the product runs as rectangles of
// (output channel rows x panels of positions) spread over the pool, each
// reading the weights in place and finished by its epilogue at once. With
// one block of rows each rectangle gathers its own panels; otherwise the
// whole pool gathers the band first, so no panel is gathered twice.
void run_panels(const ConvRun& r, const float* xn, float* yn, int64_t band) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), taps = p.kh * p.kw;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  const bool epi = epilogue_needed(p);
  for (int64_t q0 = 0; q0 < hw; q0 += band) {
    const int64_t nb = std::min(band, hw - q0), panels = panel_count(nb);
    const bool par = threads > 1 && m * nb * kr >= kParallelWork;
    const PanelSplit sp = plan_panel_split(m, panels, par ? threads : 1);
    if (sp.rb > 1) {
      // Units of a run of panels by a run of channels, a few thousand
      // values each; a small plane is gathered whole, channels apart.
      int64_t hp, wp;
      const bool whole = q0 == 0 && nb == hw && padded_extent(p, &hp, &wp);
      const int64_t span = whole ? panels : 1;
      const int64_t chans =
          std::clamp<int64_t>(4096 / (taps * kPanelWidth * span), 1, std::max<int64_t>(1, p.x.c / (2 * threads)));
      const int64_t chunks = (p.x.c + chans - 1) / chans, runs = panels / span;
      run_split(par, static_cast<size_t>(runs * chunks), [&](size_t u) {
        const int64_t pi = static_cast<int64_t>(u) / chunks * span, c0 = (static_cast<int64_t>(u) % chunks) * chans;
        gather_panels(p, xn, r.col, q0, nb, pi, pi + span, c0, std::min(p.x.c, c0 + chans));
      });
    }
    for_rectangles(par, sp, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      if (sp.rb == 1) gather_panels(p, xn, r.col, q0, nb, p0, p1, 0, p.x.c);
      panel_gemm(r.w, kr, gathered_panels(r.col, kr), kr, nb, yn + q0, hw, m0, m1, p0, p1);
      const int64_t j0 = p0 * kPanelWidth;
      if (epi) epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, q0 + j0, std::min(nb, p1 * kPanelWidth) - j0);
    });
  }
}

// A pointwise layer's input planes are already its right operand in
// panels (rows of hw positions), all but a partial last panel, which is
// copied into the workspace with its padding zeroed. Nothing else is
// gathered.
void run_pointwise_panels(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, k = p.x.c;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  const int64_t full = hw / kPanelWidth, tail = hw - full * kPanelWidth, panels = panel_count(hw);
  for (int64_t c = 0; tail > 0 && c < k; ++c) {
    const float* src = xn + c * hw + full * kPanelWidth;
    float* d = r.col + c * kPanelWidth;
    for (int64_t t = 0; t < kPanelWidth; ++t) d[t] = t < tail ? src[t] : 0.0f;
  }
  const bool epi = epilogue_needed(p), par = threads > 1 && m * hw * k >= kParallelWork;
  const PanelSplit sp = plan_panel_split(m, panels, par ? threads : 1);
  for_rectangles(par, sp, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
    const int64_t whole_end = std::min(p1, full);
    if (p0 < whole_end)
      panel_gemm(r.w, k, PanelOperand{xn, hw, kPanelWidth}, k, hw, yn, hw, m0, m1, p0, whole_end);
    if (p1 > full)
      panel_gemm(r.w, k, gathered_panels(r.col, k), k, tail, yn + full * kPanelWidth, hw, m0, m1, 0, 1);
    const int64_t j0 = p0 * kPanelWidth;
    if (epi) epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, j0, std::min(hw, p1 * kPanelWidth) - j0);
  });
}

void run_pointwise(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, k = p.x.c;
  const bool epi = epilogue_needed(p);
  // Quantised operands live in the engine's one scratch: one product.
  const Tiling t = cpu_gemm_quantising(*r.state) || few_positions(p) ? Tiling{} : plan_tiles(hw, k);
  if (t.tiles == 0) {
    if (!cpu_gemm_quantising(*r.state) && few_positions(p) && r.col != nullptr && r.col_cap >= k * kPanelWidth) {
      run_pointwise_panels(r, xn, yn);
      return;
    }
    if (!cpu_gemm_quantising(*r.state) && product_by_channels(r, 0, m, hw, k, r.w, xn, yn, hw)) return;
    cpu_gemm(*r.state, false, false, m, hw, k, 1.0f, r.w, k, xn, hw, 0.0f, yn, hw);
    if (epi)
      run_split(epilogue_parallel(p), static_cast<size_t>(m), [&](size_t c) {
        conv_epilogue_span(yn + c * hw, hw, c, r.bias, m, p.act, p.slope, p.hi);
      });
    return;
  }
  const bool par = m * hw * k >= kParallelWork || (epi && epilogue_parallel(p));
  run_split(par, static_cast<size_t>(t.tiles), [&](size_t tile) {
    const int64_t q0 = static_cast<int64_t>(tile) * t.cols, len = std::min(t.cols, hw - q0);
    tile_gemm(m, len, k, r.w, k, xn + q0, hw, yn + q0, hw);
    if (epi) epilogue_tile(r, yn, 0, m, q0, len);
  });
}

void run_depthwise(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t c = p.x.c, hw = p.y.plane();
  const bool epi = epilogue_needed(p);
  // Blocks of whole planes, each finished epilogue included; a block
  // carries a few thousand outputs at least, and a layer that spreads over
  // the pool gets a multiple of the thread count of blocks so no thread
  // waits on a last round run by a few.
  // Spread only when the layer takes more than a few microseconds on one
  // core (about 2^17 multiply-adds); below that waking the pool costs
  // more than it saves.
  const bool par = c > 7 && c * hw > 4095 && c * hw * p.kh * p.kw >= (int64_t{1} << 17);
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  int64_t blocks = std::max<int64_t>(1, c * hw / 4096);
  if (par) blocks = std::min(c, (blocks + threads - 1) / threads * threads);
  const int64_t per = (c + blocks - 1) / blocks;
  blocks = (c + per - 1) / per;
  run_split(par, static_cast<size_t>(blocks), [&](size_t blk) {
    const int64_t c0 = static_cast<int64_t>(blk) * per, c1 = std::min(c, c0 + per);
    conv_depthwise_planes(p, xn, r.w, yn, c0, c1, r.bias, epi);
  });
}

// Direct path for ungrouped layers of column stride 1 or 2: the input is
// copied once into a zero-padded buffer, band of output rows by band, in
// which every kernel tap of every output position lies in bounds and a run
// of 16 output columns reads 16 consecutive values (with column stride 2
// each padded row is stored as its even columns, then its odd columns).
// The product then reads its right operand straight from that buffer
// through a table of one offset per (channel, kernel row, kernel column):
// no column matrix at all.
struct DirectPlan {
  int64_t half = 0;   // values of one column phase of a padded row
  int64_t wp = 0;     // padded row length: column stride x half
  int64_t rows = 0;   // output rows per band
  int64_t plane = 0;  // padded values per channel for a band
  int64_t floats = 0; // workspace: padded band, read slack, offset table
};

// Rows narrower than half a panel leave most of each register tile idle;
// such planes are small and gather faster into panels spanning rows.
// With column stride 2 only stems (few input channels, where the column
// matrix is large against the product) gain over gathering.
bool direct_applies(const ConvParams& p) {
  return p.g == 1 && (p.sw == 1 || (p.sw == 2 && p.x.c <= 16)) && p.kh * p.kw > 1 && p.y.w >= kPanelWidth / 2;
}

// The bands as large as cap floats allow (at most kBandValues); rows 0
// when not even one output row fits.
DirectPlan plan_direct(const ConvParams& p, int64_t cap) {
  DirectPlan d;
  // Output column x at kernel column j reads phase (j dw) mod sw at
  // x + (j dw) / sw.
  d.half = p.y.w + (p.kw - 1) * p.dw / p.sw;
  d.wp = p.sw * d.half;
  const int64_t table = 2 * p.k_rows() + 16;  // int64 offsets, kept 64-byte aligned
  // Floats a band of `rows` output rows takes, in double so that absurd
  // shapes compare as too large instead of wrapping.
  auto need = [&](int64_t rows) {
    const double hp = double(rows - 1) * double(p.sh) + double(p.kh - 1) * double(p.dh) + 1.0;
    return std::ceil(double(p.x.c) * hp * double(d.wp) / 16.0) * 16.0 + double(kPanelWidth + table);
  };
  const double limit = std::min(double(cap), std::max(double(kBandValues), need(1)));
  int64_t lo = 0, hi = p.y.h;
  while (lo < hi) {  // the most rows whose band fits
    const int64_t mid = (lo + hi + 1) / 2;
    if (need(mid) <= limit) lo = mid; else hi = mid - 1;
  }
  d.rows = lo;
  if (lo > 0) {
    d.plane = ((lo - 1) * p.sh + (p.kh - 1) * p.dh + 1) * d.wp;
    d.floats = static_cast<int64_t>(need(lo));
  }
  return d;
}

void run_direct(const ConvRun& r, const float* xn, float* yn, const DirectPlan& d) {
  const ConvParams& p = r.p;
  const int64_t hw = p.y.plane(), m = p.y.c, kr = p.k_rows(), wo = p.y.w, wp = d.wp;
  const int64_t threads = static_cast<int64_t>(parallel_thread_count());
  const int64_t per_row = panel_count(wo);
  float* pad = r.col;
  const int64_t body = (p.x.c * d.plane + 15) / 16 * 16;
  float* slack = pad + body;
  int64_t* offsets = reinterpret_cast<int64_t*>(slack + kPanelWidth);
  for (int64_t t = 0; t < kPanelWidth; ++t) slack[t] = 0.0f;
  for (int64_t c = 0; c < p.x.c; ++c)
    for (int64_t i = 0; i < p.kh; ++i)
      for (int64_t j = 0; j < p.kw; ++j)
        offsets[(c * p.kh + i) * p.kw + j] =
            c * d.plane + i * p.dh * wp + (j * p.dw) % p.sw * d.half + j * p.dw / p.sw;
  const bool epi = epilogue_needed(p);
  for (int64_t y0 = 0; y0 < p.y.h; y0 += d.rows) {
    const int64_t rows = std::min(d.rows, p.y.h - y0), hp = (rows - 1) * p.sh + (p.kh - 1) * p.dh + 1;
    const int64_t panels = rows * per_row;
    const bool par = threads > 1 && m * rows * wo * kr >= kParallelWork;
    // Padded rows r of the band hold input row y0 sh - padt + r, shifted
    // right by padl; a band of fewer rows leaves its plane's tail unused.
    run_split(par && p.x.c * hp * wp >= 16384, static_cast<size_t>(p.x.c), [&](size_t cu) {
      const int64_t c = static_cast<int64_t>(cu);
      const float* xc = xn + c * p.x.plane();
      float* dc = pad + c * d.plane;
      for (int64_t rr = 0; rr < hp; ++rr) {
        const int64_t iy = y0 * p.sh - p.padt + rr;
        float* dst = dc + rr * wp;
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
        // Padded column u = 2 t + phase goes to dst[phase x half + t].
        for (int64_t phase = 0; phase < 2; ++phase) {
          float* dp = dst + phase * d.half;
          for (int64_t t = 0; t < d.half; ++t) {
            const int64_t ix = 2 * t + phase - p.padl;
            dp[t] = ix >= 0 && ix < p.x.w ? src[ix] : 0.0f;
          }
        }
      }
    });
    const PanelSplit sp = plan_panel_split(m, panels, par ? threads : 1);
    for_rectangles(par, sp, m, panels, [&](int64_t m0, int64_t m1, int64_t p0, int64_t p1) {
      OffsetPanel list[16];
      int64_t count = 0;
      for (int64_t q = p0; q < p1; ++q) {
        const int64_t y = q / per_row, x0 = (q % per_row) * kPanelWidth;
        list[count++] = {pad + y * p.sh * wp + x0, yn + (y0 + y) * wo + x0, std::min(kPanelWidth, wo - x0)};
      }
      panel_gemm_offsets(r.w, kr, offsets, kr, list, count, hw, m0, m1);
      // The group's positions are consecutive in the output plane.
      const int64_t first = list[0].c - yn, len = list[count - 1].c + list[count - 1].cols - yn - first;
      if (epi) epilogue_tile(r, yn + m0 * hw, m0, m1 - m0, first, len);
    });
  }
}

void run_general(const ConvRun& r, const float* xn, float* yn) {
  const ConvParams& p = r.p;
  const int64_t wo = p.y.w, ho = p.y.h, hw = p.y.plane();
  const int64_t cin_g = p.cin_g(), cout_g = p.cout_g(), kr = p.k_rows();
  const int64_t row_values = kr * wo;
  // Bands of whole output rows that fit the workspace (and, for large
  // outputs, about 16 MiB).
  int64_t rows = std::min(ho, r.col_cap / row_values);
  if (hw >= kBandOutputs) rows = std::min(rows, std::max<int64_t>(1, kBandValues / row_values));
  const bool epi = epilogue_needed(p), epi_par = epilogue_parallel(p);
  auto group_x = [&](int64_t gi) { return xn + gi * cin_g * p.x.plane(); };
  auto group_w = [&](int64_t gi) { return r.w + gi * cout_g * kr; };
  auto group_y = [&](int64_t gi) { return yn + gi * cout_g * hw; };
  // A small plane, or too few positions per thread for tiles of their own:
  // the product splits by rows and panels instead (see run_panels).
  if (direct_applies(p) && !cpu_gemm_quantising(*r.state)) {
    const DirectPlan d = plan_direct(p, r.col_cap);
    if (d.rows > 0) {
      run_direct(r, xn, yn, d);
      return;
    }
  }
  if (p.g == 1 && !cpu_gemm_quantising(*r.state) && few_positions(p)) {
    const int64_t band = panel_band(p, r.col_cap);
    if (band >= hw) {
      run_panels(r, xn, yn, band);
      return;
    }
  }
  for (int64_t y0 = 0; y0 < ho; y0 += rows) {
    const int64_t rb = std::min(rows, ho - y0), nb = rb * wo, q0 = y0 * wo;
    const bool quantising = cpu_gemm_quantising(*r.state);
    const Tiling t = quantising ? Tiling{} : plan_tiles(nb, kr);
    const int64_t slots = quantising ? 1 : group_slots(p, nb, r.col_cap);
    if (t.tiles == 0 && slots > 1) {
      // Few positions but several partitions: the partitions spread over
      // the pool, each slot with its own column matrix in the workspace.
      run_split(true, static_cast<size_t>(slots), [&](size_t slot) {
        float* col = r.col + static_cast<int64_t>(slot) * kr * nb;
        for (int64_t gi = static_cast<int64_t>(slot); gi < p.g; gi += slots) {
          float* yg = group_y(gi);
          im2col_block(p, group_x(gi), col, q0, nb, 0, cin_g, 0, p.kh);
          tile_gemm(cout_g, nb, kr, group_w(gi), kr, col, nb, yg + q0, hw);
          if (epi) epilogue_tile(r, yg, gi * cout_g, cout_g, q0, nb);
        }
      });
      continue;
    }
    if (t.tiles == 0) {
      for (int64_t gi = 0; gi < p.g; ++gi) {
        // One column matrix for the band, gathered per (channel, kernel
        // row), then one product split over output channels.
        const float* xg = group_x(gi);
        float* yg = group_y(gi);
        run_split(nb * cin_g >= 8192, static_cast<size_t>(cin_g * p.kh), [&](size_t u) {
          const int64_t c = static_cast<int64_t>(u) / p.kh, i = static_cast<int64_t>(u) % p.kh;
          im2col_block(p, xg, r.col, q0, nb, c, c + 1, i, i + 1);
        });
        if (!cpu_gemm_quantising(*r.state) &&
            product_by_channels(r, gi * cout_g, cout_g, nb, kr, group_w(gi), r.col, yg + q0, hw))
          continue;
        cpu_gemm(*r.state, false, false, cout_g, nb, kr, 1.0f, group_w(gi), kr, r.col, nb, 0.0f, yg + q0,
                 hw);
        if (epi)
          run_split(epi_par, static_cast<size_t>(cout_g), [&](size_t c) {
            conv_epilogue_span(yg + c * hw + q0, nb, gi * cout_g + static_cast<int64_t>(c), r.bias, p.y.c, p.act,
                               p.slope, p.hi);
          });
      }
      continue;
    }
    // Tiles of output positions spread over the pool; inside a tile the
    // partitions run in turn, reusing the tile's part of the workspace.
    const bool par = nb * cin_g >= 8192 || p.y.c * nb * kr >= kParallelWork || (epi && epi_par);
    run_split(par, static_cast<size_t>(t.tiles), [&](size_t tile) {
      const int64_t a = static_cast<int64_t>(tile) * t.cols, len = std::min(t.cols, nb - a);
      float* col = r.col + a * kr;
      for (int64_t gi = 0; gi < p.g; ++gi) {
        float* yg = group_y(gi);
        im2col_block(p, group_x(gi), col, q0 + a, len, 0, cin_g, 0, p.kh);
        tile_gemm(cout_g, len, kr, group_w(gi), kr, col, len, yg + q0 + a, hw);
        if (epi) epilogue_tile(r, yg, gi * cout_g, cout_g, q0 + a, len);
      }
    });
  }
}

}  // namespace
}  // namespace kern

size_t conv_workspace_bytes(const CpuState& s, const NodeRecord& n) {
  using namespace kern;
  constexpr size_t kMin = 64;
  if (n.op() == op::Conv) {
    ConvParams p;
    if (!conv_params(s, n, &p, nullptr, 0)) return kMin;
    const bool pointwise = is_pointwise(p);
    // A pointwise layer with few positions reads its input as panels in
    // place; only a partial last panel is copied here.
    if (pointwise && few_positions(p))
      return std::max(kMin, static_cast<size_t>(p.k_rows() * kPanelWidth) * 4);
    if (pointwise || conv_is_depthwise(p)) return kMin;
    const int64_t row = p.k_rows() * p.y.w;
    int64_t rows = p.y.h;
    if (p.y.plane() >= kBandOutputs) rows = std::min(rows, std::max<int64_t>(1, kBandValues / row));
    // A grouped layer too small to tile runs several partitions at once,
    // each with its own column matrix.
    int64_t slots = 1;
    if (rows == p.y.h && plan_tiles(p.y.plane(), p.k_rows()).tiles == 0)
      slots = group_slots_wanted(p, p.y.plane());
    // A whole plane in one band may run in panels, which round its
    // positions up to a whole panel.
    const int64_t panel_pad = p.g == 1 && rows == p.y.h ? p.k_rows() * kPanelWidth : 0;
    // The direct path cuts its padded bands to fit the same space.
    return std::max(kMin, static_cast<size_t>(row * rows * slots + panel_pad) * 4);
  }
  if (n.op() == op::ConvTranspose) {
    if (!has_io(s, n)) return kMin;
    Nchw x, y;
    if (!value_nchw(node_in_value(s, n, 0), &x) || !value_nchw(node_out_value(s, n, 0), &y))
      return kMin;
    int64_t g = attr_int(n, attr::ConvTranspose::kGroups);
    if (g < 2) g = 1;
    const int64_t kh = attr_int(n, attr::ConvTranspose::kKernelH), kw = attr_int(n, attr::ConvTranspose::kKernelW);
    if (kh < 1 || kw < 1 || kh > 4096 || kw > 4096) return kMin;
    int64_t v = 0;
    if (__builtin_mul_overflow(kh * kw, (y.c / g), &v) || __builtin_mul_overflow(v, x.plane(), &v) ||
        v > (int64_t{1} << 40))
      return kMin;
    return std::max(kMin, static_cast<size_t>(v) * 4);
  }
  return kMin;
}

bool conv_check(const CpuState& s, const NodeRecord& n, char* msg, size_t cap) {
  kern::ConvParams p;
  if (!kern::conv_params(s, n, &p, msg, cap)) return false;
  // The general path needs room for at least one output row of the column
  // matrix; the engine may check before it has allocated the workspace.
  const size_t need = conv_workspace_bytes(s, n);
  if (s.im2col != nullptr && need > 64 && !kern::is_pointwise(p) &&
      s.im2col_size < static_cast<uint64_t>(p.k_rows() * p.y.w) * 4)
    return kern::fail(msg, cap, "im2col workspace of %llu bytes is below one row of %lld",
                      (unsigned long long)s.im2col_size, (long long)(p.k_rows() * p.y.w * 4));
  return true;
}

bool conv_kernel(CpuState& s, const NodeRecord& n) {
  using namespace kern;
  ConvParams p;
  if (!conv_params(s, n, &p, nullptr, 0)) return false;
  if (p.y.count() == 0) return true;
  ConvRun r{p,
            node_in(s, n, 0),
            node_in(s, n, 1),
            p.has_bias ? node_in(s, n, 2) : nullptr,
            node_out(s, n, 0),
            s.im2col,
            static_cast<int64_t>(s.im2col_size / 4),
            &s};
  const bool pointwise = is_pointwise(p);
  const bool depthwise = !pointwise && conv_is_depthwise(p);
  if (!pointwise && !depthwise && (r.col == nullptr || r.col_cap < p.k_rows() * p.y.w)) return false;
  const int64_t xstride = p.x.c * p.x.plane(), ystride = p.y.c * p.y.plane();
  for (int64_t b = 0; b < p.x.n; ++b) {
    const float* xn = r.x + b * xstride;
    float* yn = r.y + b * ystride;
    if (pointwise)
      run_pointwise(r, xn, yn);
    else if (depthwise)
      run_depthwise(r, xn, yn);
    else
      run_general(r, xn, yn);
  }
  return true;
}

}  // namespace vorn
