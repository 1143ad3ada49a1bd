// The AVX2 forms of the pools: eight output columns in a register, every
// tap of their windows folded in (row-major, as the portable form), the
// result stored once. Column stride 2 reads each pair of input vectors once
// and splits it into even and odd columns within 128-bit halves; the
// accumulator stays in that lane order until one permute before the store.
// Column blocks whose taps reach past either edge of the input read the
// outside as the fold's neutral value through masked loads (pool.h says
// why that changes no bit); a last block of fewer than eight outputs is
// stored through a mask.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/ops/lanes_avx2.h"
#include "kernels/ops/pool.h"

namespace vorn::kern {
namespace {

#define VORN_AVX2 [[gnu::target("avx2,fma"), gnu::always_inline]] inline

// Lanes k of row[start + k] that lie in [0, w); the others hold fill. Lanes
// outside are never read.
VORN_AVX2 __m256 load_fill(const float* row, int64_t start, int64_t w, __m256 fill) {
  if (start >= 0 && start + 8 <= w) return _mm256_loadu_ps(row + start);
  if (start + 8 <= 0 || start >= w) return fill;
  const __m256i lane = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(start)),
                                        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(-1)),
                                          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(w)), lane));
  // The address of lane 0 may lie before the row; only lanes inside load.
  const float* base = reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(row) +
                                                     static_cast<uintptr_t>(start) * sizeof(float));
  return _mm256_blendv_ps(fill, _mm256_maskload_ps(base, inside), _mm256_castsi256_ps(inside));
}

template <bool kEdge>
VORN_AVX2 __m256 load_at(const float* row, int64_t at, int64_t w, __m256 fill) {
  if constexpr (kEdge) return load_fill(row, at, w, fill);
  return _mm256_loadu_ps(row + at);
}

VORN_AVX2 __m256i first_lanes(int64_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// One tap into the accumulator: the strictly greater value (NaN never
// wins), or the sum.
template <bool kMax>
VORN_AVX2 __m256 fold(__m256 acc, __m256 v) {
  if constexpr (kMax) return _mm256_max_ps(v, acc);
  return _mm256_add_ps(acc, v);
}

// The window sizes of one node, in the form the loops read.
struct Window {
  int64_t h, w, kw, dw, sh, dh, padt, kh;
  float area;
};

// N column blocks of one output row, side by side so their fold chains
// overlap. Block b's tap 0 reads input column s0 + 8 S b. kEdge: the loads
// may leave the row (masked). The last block stores only `valid` lanes.
template <bool kMax, int S, int N, bool kEdge>
[[gnu::target("avx2,fma")]] void row_blocks(const Window& wd, const float* x, int64_t oy, int64_t s0, float* out,
                                             int64_t valid) {
  const __m256 neutral = kMax ? _mm256_set1_ps(kPoolLowest) : _mm256_setzero_ps();
  __m256 acc[N];
  for (int b = 0; b < N; ++b) acc[b] = neutral;
  // Window rows inside the input: top + i dh in [0, h).
  const int64_t top = oy * wd.sh - wd.padt;
  const int64_t i0 = top >= 0 ? 0 : (-top + wd.dh - 1) / wd.dh;
  const int64_t i1 = top >= wd.h ? 0 : std::min(wd.kh, (wd.h - 1 - top) / wd.dh + 1);
  for (int64_t i = i0; i < i1; ++i) {
    const float* row = x + (top + i * wd.dh) * wd.w;
    if constexpr (S == 1) {
      for (int64_t j = 0; j < wd.kw; ++j) {
        const int64_t t = s0 + j * wd.dw;
        for (int b = 0; b < N; ++b) acc[b] = fold<kMax>(acc[b], load_at<kEdge>(row, t + 8 * b, wd.w, neutral));
      }
    } else {
      // Taps of one even offset and the odd one after it share a pair.
      __m256 lo[N], hi[N];
      for (int b = 0; b < N; ++b) lo[b] = hi[b] = neutral;
      int64_t loaded = -1;
      for (int64_t j = 0; j < wd.kw; ++j) {
        const int64_t t = j * wd.dw, pair = t & ~int64_t{1};
        if (pair != loaded) {
          for (int b = 0; b < N; ++b) {
            lo[b] = load_at<kEdge>(row, s0 + pair + 16 * b, wd.w, neutral);
            hi[b] = load_at<kEdge>(row, s0 + pair + 16 * b + 8, wd.w, neutral);
          }
          loaded = pair;
        }
        for (int b = 0; b < N; ++b) {
          const __m256 v = (t & 1) != 0 ? _mm256_shuffle_ps(lo[b], hi[b], _MM_SHUFFLE(3, 1, 3, 1))
                                        : _mm256_shuffle_ps(lo[b], hi[b], _MM_SHUFFLE(2, 0, 2, 0));
          acc[b] = fold<kMax>(acc[b], v);
        }
      }
    }
  }
  for (int b = 0; b < N; ++b) {
    __m256 v = acc[b];
    if constexpr (S == 2) v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xd8));
    if constexpr (!kMax) v = _mm256_div_ps(v, _mm256_set1_ps(wd.area));
    if (b == N - 1 && valid < 8)
      _mm256_maskstore_ps(out + 8 * b, first_lanes(valid), v);
    else
      _mm256_storeu_ps(out + 8 * b, v);
  }
}

// Blocks [b, b1) of one output row read as interior blocks (block 0's tap
// 0 at input column col0), four at a time; the last may be partial.
template <bool kMax, int S>
[[gnu::target("avx2,fma")]] void interior_blocks(const Window& wd, const float* x, int64_t oy, int64_t col0,
                                                  float* yr, int64_t b, int64_t b1, int64_t wo) {
  constexpr int64_t step = 8 * S;
  auto valid = [wo](int64_t last) { return std::min<int64_t>(8, wo - 8 * last); };
  for (; b + 4 <= b1; b += 4)
    row_blocks<kMax, S, 4, false>(wd, x, oy, col0 + b * step, yr + 8 * b, valid(b + 3));
  switch (b1 - b) {
    case 3: row_blocks<kMax, S, 3, false>(wd, x, oy, col0 + b * step, yr + 8 * b, valid(b + 2)); break;
    case 2: row_blocks<kMax, S, 2, false>(wd, x, oy, col0 + b * step, yr + 8 * b, valid(b + 1)); break;
    case 1: row_blocks<kMax, S, 1, false>(wd, x, oy, col0 + b * step, yr + 8 * b, valid(b)); break;
    default: break;
  }
}

// A plane whose windows read at most this many padded values is first
// copied with its padding into a buffer on the stack, the padding holding
// the fold's neutral value, so that every block reads it as an interior
// one: small planes are mostly edge blocks otherwise.
constexpr int64_t kPaddedPlane = 4096;

// Max over a kh x kw window of column stride 1 on a padded plane, in two
// passes: each padded row's maxima over kw columns (blocks of eight
// outputs), then the maxima of kh of those rows. The maximum of a window
// does not depend on how its taps are grouped (NaN never wins; of equal
// values, +0 and -0 included, the first in row-major order stays in both
// orders: the topmost row holding one, and its leftmost), so this gives the
// row-major fold's bits with kh + kw taps an output instead of kh kw.
[[gnu::target("avx2,fma")]] void max_plane_separable(const Window& wd, const float* pad, int64_t wp, int64_t hp,
                                                     int64_t ho, int64_t wo, float* row_max, float* yp) {
  const int64_t blocks = (wo + 7) / 8, stride = blocks * 8;
  const __m256 neutral = _mm256_set1_ps(kPoolLowest);
  for (int64_t v = 0; v < hp; ++v) {
    const float* row = pad + v * wp;
    for (int64_t b = 0; b < blocks; ++b) {
      __m256 acc = neutral;
      for (int64_t j = 0; j < wd.kw; ++j) acc = fold<true>(acc, _mm256_loadu_ps(row + 8 * b + j * wd.dw));
      _mm256_storeu_ps(row_max + v * stride + 8 * b, acc);
    }
  }
  for (int64_t oy = 0; oy < ho; ++oy) {
    const float* top = row_max + oy * wd.sh * stride;
    for (int64_t b = 0; b < blocks; ++b) {
      __m256 acc = neutral;
      for (int64_t i = 0; i < wd.kh; ++i) acc = fold<true>(acc, _mm256_loadu_ps(top + i * wd.dh * stride + 8 * b));
      const int64_t valid = std::min<int64_t>(8, wo - 8 * b);
      if (valid < 8)
        _mm256_maskstore_ps(yp + oy * wo + 8 * b, first_lanes(valid), acc);
      else
        _mm256_storeu_ps(yp + oy * wo + 8 * b, acc);
    }
  }
}

// Max over a window of column stride 2 and at most three columns, in two
// passes as max_plane_separable: each padded input row's maxima over its
// columns' taps (all columns, the taps folded from the lowest float in
// order, then the even ones picked), then per output row the maxima of kh
// of those rows. A row of taps is folded once for every output row that
// reads it, and the loads are runs of consecutive values.
constexpr int64_t kRowMaxFloats = 8192;

bool max_rows_s2_apply(const PoolParams& p) {
  if (p.sw != 2 || p.kw < 1 || p.kw > 3 || p.dw > 2 || p.kh < 1 || p.y.w < 1) return false;
  const int64_t blocks = (p.y.w + 7) / 8;
  return blocks * 8 * ((p.kh - 1) * p.dh + 1) <= kRowMaxFloats;
}

// The maxima of input row iy (a row outside the input holds the lowest
// float) over each padded column's taps into dst, in the lane order of the
// even picks. Blocks whose taps stay inside the row read it in place; the
// others read the outside as the lowest float through masked loads.
template <int KW>
[[gnu::target("avx2,fma")]] void fold_row_s2(const PoolParams& p, const float* xp, int64_t iy, float* dst) {
  const int64_t blocks = (p.y.w + 7) / 8, dw = p.dw, reach = 16 + (KW - 1) * dw;
  const __m256 neutral = _mm256_set1_ps(kPoolLowest);
  if (iy < 0 || iy >= p.x.h) {
    for (int64_t b = 0; b < blocks; ++b) _mm256_storeu_ps(dst + 8 * b, neutral);
    return;
  }
  const float* in = xp + iy * p.x.w;
  for (int64_t b = 0; b < blocks; ++b) {
    const int64_t s0 = 16 * b - p.padl;
    __m256 lo = neutral, hi = neutral;
    if (s0 >= 0 && s0 + reach <= p.x.w) {
#pragma GCC unroll 3
      for (int j = 0; j < KW; ++j) {
        lo = _mm256_max_ps(_mm256_loadu_ps(in + s0 + j * dw), lo);
        hi = _mm256_max_ps(_mm256_loadu_ps(in + s0 + j * dw + 8), hi);
      }
    } else {
#pragma GCC unroll 3
      for (int j = 0; j < KW; ++j) {
        lo = _mm256_max_ps(load_fill(in, s0 + j * dw, p.x.w, neutral), lo);
        hi = _mm256_max_ps(load_fill(in, s0 + j * dw + 8, p.x.w, neutral), hi);
      }
    }
    _mm256_storeu_ps(dst + 8 * b, _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0)));
  }
}

// Input rows asked for ahead of the fold when the pool's input passes
// kAheadBytes: such planes come from the third-level cache or memory (the
// layer before wrote megabytes), and the loads of each row otherwise wait
// for them (squeezenet's first pool, 3.1 MB, 13% faster); inputs that stay
// in the second-level cache ran slower with it.
constexpr int64_t kRowsAhead = 3;
constexpr int64_t kAheadBytes = int64_t{2} << 20;

[[gnu::target("avx2,fma")]] void max_planes_rows_s2(const PoolParams& p, const float* x, float* y, int64_t first,
                                                     int64_t end) {
  const int64_t wo = p.y.w, ho = p.y.h, blocks = (wo + 7) / 8, stride = blocks * 8;
  alignas(32) float row_max[kRowMaxFloats];
  const auto fold_row = p.kw == 1 ? &fold_row_s2<1> : p.kw == 2 ? &fold_row_s2<2> : &fold_row_s2<3>;
  // Output rows per band: the padded input rows they read fit row_max.
  const int64_t span = (p.kh - 1) * p.dh + 1;
  const int64_t band = std::max<int64_t>(1, std::min(ho, (kRowMaxFloats / stride - span) / p.sh + 1));
  const bool ask_ahead = p.planes() * p.x.plane() * int64_t{sizeof(float)} >= kAheadBytes;
  for (int64_t k = first; k < end; ++k) {
    const float* xp = x + k * p.x.plane();
    float* yp = y + k * p.y.plane();
    for (int64_t oy0 = 0; oy0 < ho; oy0 += band) {
      const int64_t oy1 = std::min(ho, oy0 + band), v0 = oy0 * p.sh;
      const int64_t v1 = (oy1 - 1) * p.sh + span;
      for (int64_t v = v0; v < v1; ++v) {
        // Planes lie one after another, so rows past this plane's last
        // are the next plane's first.
        const int64_t ahead = v - p.padt + kRowsAhead;
        if (ask_ahead && ahead >= 0 && (ahead < p.x.h || k + 1 < end))
          for (int64_t c = 0; c < p.x.w; c += 16)
            _mm_prefetch(reinterpret_cast<const char*>(xp + ahead * p.x.w + c), _MM_HINT_T0);
        fold_row(p, xp, v - p.padt, row_max + (v - v0) * stride);
      }
      for (int64_t oy = oy0; oy < oy1; ++oy) {
        const float* top = row_max + (oy * p.sh - v0) * stride;
        for (int64_t b = 0; b < blocks; ++b) {
          __m256 acc = _mm256_loadu_ps(top + 8 * b);
          for (int64_t i = 1; i < p.kh; ++i) acc = _mm256_max_ps(_mm256_loadu_ps(top + i * p.dh * stride + 8 * b), acc);
          acc = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(acc), 0xd8));
          const int64_t valid = std::min<int64_t>(8, wo - 8 * b);
          if (valid < 8)
            _mm256_maskstore_ps(yp + oy * wo + 8 * b, first_lanes(valid), acc);
          else
            _mm256_storeu_ps(yp + oy * wo + 8 * b, acc);
        }
      }
    }
  }
}

template <bool kMax, int S>
[[gnu::target("avx2,fma")]] void planes(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  const Window wd{p.x.h, p.x.w, p.kw, p.dw, p.sh, p.dh, p.padt, p.kh, static_cast<float>(p.kh * p.kw)};
  const int64_t wo = p.y.w, blocks = (wo + 7) / 8, step = 8 * S;
  // An output of no columns has nothing to fold (and would size a padded
  // plane of no columns but any number of rows).
  if (wo <= 0 || p.y.h <= 0) return;
  // Blocks whose loads all stay inside the row: tap 0 at b step - padl >=
  // 0, the last load ending at most at w, and eight outputs to store.
  const int64_t t_max = (p.kw - 1) * p.dw;
  const int64_t reach = S == 1 ? t_max + 8 : (t_max & ~int64_t{1}) + 16;
  // The padded plane every window reads: rows and columns from -padt and
  // -padl on, as far as the last window's loads go.
  const int64_t hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1, wp = (blocks - 1) * step + reach;
  if (hp * wp <= kPaddedPlane) {
    alignas(32) float pad[kPaddedPlane];
    const Window wdp{hp, wp, p.kw, p.dw, p.sh, p.dh, 0, p.kh, wd.area};
    // Windows of at least 3 x 3 taps fold rows first, then columns (the
    // row maxima of a plane take at most hp x wp values too).
    const bool separable = kMax && S == 1 && p.kh >= 3 && p.kw >= 3;
    alignas(32) float row_max[kMax && S == 1 ? kPaddedPlane : 1];
    const __m256 neutral = kMax ? _mm256_set1_ps(kPoolLowest) : _mm256_setzero_ps();
    // Input columns [c0, c1) land at padded columns from c0 + padl on.
    const int64_t c0 = std::max<int64_t>(0, -p.padl), c1 = std::min(p.x.w, wp - p.padl);
    for (int64_t k = first; k < end; ++k) {
      const float* xp = x + k * p.x.plane();
      for (int64_t v = 0; v < hp; ++v) {
        float* row = pad + v * wp;
        int64_t u = 0;
        for (; u + 8 <= wp; u += 8) _mm256_storeu_ps(row + u, neutral);
        for (; u < wp; ++u) row[u] = kMax ? kPoolLowest : 0.0f;
        const int64_t iy = v - p.padt;
        if (iy >= 0 && iy < p.x.h && c1 > c0)
          std::memcpy(row + c0 + p.padl, xp + iy * p.x.w + c0, static_cast<size_t>(c1 - c0) * sizeof(float));
      }
      float* yp = y + k * p.y.plane();
      if (separable) {
        max_plane_separable(wdp, pad, wp, hp, p.y.h, wo, row_max, yp);
        continue;
      }
      for (int64_t oy = 0; oy < p.y.h; ++oy) interior_blocks<kMax, S>(wdp, pad, oy, 0, yp + oy * wo, 0, blocks, wo);
    }
    return;
  }
  const int64_t b_lo = std::min(blocks, (p.padl + step - 1) / step);
  int64_t b_hi = p.x.w - reach + p.padl < 0 ? 0 : (p.x.w - reach + p.padl) / step + 1;
  b_hi = std::max(b_lo, std::min(b_hi, wo / 8));
  for (int64_t k = first; k < end; ++k) {
    const float* xp = x + k * p.x.plane();
    float* yp = y + k * p.y.plane();
    for (int64_t oy = 0; oy < p.y.h; ++oy) {
      float* yr = yp + oy * wo;
      for (int64_t b = 0; b < b_lo; ++b)
        row_blocks<kMax, S, 1, true>(wd, xp, oy, b * step - p.padl, yr + 8 * b, std::min<int64_t>(8, wo - 8 * b));
      interior_blocks<kMax, S>(wd, xp, oy, -p.padl, yr, b_lo, b_hi, wo);
      for (int64_t b = b_hi; b < blocks; ++b)
        row_blocks<kMax, S, 1, true>(wd, xp, oy, b * step - p.padl, yr + 8 * b, std::min<int64_t>(8, wo - 8 * b));
    }
  }
}

// G planes summed side by side, each in its two vectors of four f64 sums
// (lane j of the pair is sum j).
template <int G>
[[gnu::target("avx2,fma")]] void global_group(const float* x, float* y, int64_t first, int64_t hw) {
  __m256d lo[G], hi[G];
  for (int g = 0; g < G; ++g) lo[g] = hi[g] = _mm256_setzero_pd();
  int64_t i = 0;
  for (; i + 8 <= hw; i += 8)
    for (int g = 0; g < G; ++g) {
      const __m256 v = _mm256_loadu_ps(x + (first + g) * hw + i);
      lo[g] = _mm256_add_pd(lo[g], _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
      hi[g] = _mm256_add_pd(hi[g], _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    }
  for (int g = 0; g < G; ++g) {
    double part[8];
    _mm256_storeu_pd(part, lo[g]);
    _mm256_storeu_pd(part + 4, hi[g]);
    const float* p = x + (first + g) * hw;
    for (int64_t t = i; t < hw; ++t) part[t % 8] += p[t];
    y[first + g] = hw > 0 ? static_cast<float>(global_pool_sum(part) / static_cast<double>(hw)) : 0.0f;
  }
}

// Small planes eight at a time, one plane per lane: each block of eight
// planes is copied into a padded plane of pixels (the padding holding the
// fold's neutral value), every output pixel folds its window's taps in
// row-major order, and eight consecutive output pixels are transposed
// back into the eight planes.
template <bool kMax>
[[gnu::target("avx2,fma")]] void planes_lanes(const PoolParams& p, const float* x, float* y, int64_t first,
                                               int64_t end) {
  const int64_t hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1, wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  const int64_t wo = p.y.w, hw = p.y.plane(), taps = p.kh * p.kw;
  const __m256 neutral = kMax ? _mm256_set1_ps(kPoolLowest) : _mm256_setzero_ps();
  const __m256 area = _mm256_set1_ps(static_cast<float>(taps));
  alignas(64) float buf[kLanesBlockFloats];
  for (int64_t k = first; k < end; k += 8) {
    const int n = static_cast<int>(std::min<int64_t>(8, end - k));
    lanes_pack(x + k * p.x.plane(), p.x.plane(), p.x.h, p.x.w, n, p.padt, p.padl, hp, wp, neutral, buf);
    LanesWalk walk;
    for (int64_t q = 0; q < hw; q += 8) {
      const float* base[8];
      walk.next(static_cast<const float*>(buf), q, hw, wo, wp, p.sh, p.sw, base);
      __m256 acc[8];
#pragma GCC unroll 8
      for (int b = 0; b < 8; ++b) acc[b] = neutral;
      for (int64_t i = 0; i < p.kh; ++i)
        for (int64_t j = 0; j < p.kw; ++j) {
          const int64_t o = (i * p.dh * wp + j * p.dw) * 8;
#pragma GCC unroll 8
          for (int b = 0; b < 8; ++b) acc[b] = fold<kMax>(acc[b], _mm256_loadu_ps(base[b] + o));
        }
      transpose8(acc);
      const int64_t cnt = std::min<int64_t>(8, hw - q);
      for (int c = 0; c < n; ++c) {
        __m256 v = acc[c];
        if constexpr (!kMax) v = _mm256_div_ps(v, area);
        float* dst = y + (k + c) * hw + q;
        if (cnt == 8)
          _mm256_storeu_ps(dst, v);
        else
          _mm256_maskstore_ps(dst, lanes_below(cnt), v);
      }
    }
  }
}

}  // namespace

bool pool_lanes_apply(const PoolParams& p) {
  if (p.empty() || p.y.w > kPoolLanesMaxWidth || p.y.h < 1 || p.y.w < 1) return false;
  const int64_t hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1, wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  return hp <= kLanesBlockFloats && wp <= kLanesBlockFloats && hp * wp * 8 <= kLanesBlockFloats;
}

void max_planes_lanes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  planes_lanes<true>(p, x, y, first, end);
}

void avg_planes_lanes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  planes_lanes<false>(p, x, y, first, end);
}

void global_avg_planes_avx2(const float* x, float* y, int64_t first, int64_t end, int64_t hw) {
  int64_t k = first;
  for (; k + kGlobalPoolGroup <= end; k += kGlobalPoolGroup) global_group<kGlobalPoolGroup>(x, y, k, hw);
  for (; k < end; ++k) global_group<1>(x, y, k, hw);
}

void max_planes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  if (max_rows_s2_apply(p)) return max_planes_rows_s2(p, x, y, first, end);
  if (p.sw == 1) return planes<true, 1>(p, x, y, first, end);
  planes<true, 2>(p, x, y, first, end);
}

void avg_planes_avx2(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  if (p.sw == 1) return planes<false, 1>(p, x, y, first, end);
  planes<false, 2>(p, x, y, first, end);
}

}  // namespace vorn::kern
#endif
