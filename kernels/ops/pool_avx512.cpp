// The AVX-512 form of the max pool of column stride 2 and at most three
// columns (squeezenet's and many detectors' 3 x 3 stride-2 pools): as the
// AVX2 form's two passes, each input row's maxima over its columns' taps,
// then per output row the maxima of kh of those rows, with sixteen output
// columns a vector. A pair of input vectors (32 columns) gives its 16 even
// picks in column order through one two-source permute, so the second
// pass stores without reordering lanes. Per output every tap is folded in
// the same order as the other forms (the strictly greater value wins,
// from the lowest float; rows top to bottom), so the bits are theirs.
// Planes of narrow rows have a form of their own, a whole padded row a
// pair of vectors (pool.h).
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "kernels/ops/pool.h"

namespace vorn::kern {
namespace {

#define VORN_AVX512 [[gnu::target("avx512f"), gnu::always_inline]] inline

// Floats of the row maxima one band holds (as the AVX2 form's).
constexpr int64_t kRowMaxFloats = 8192;

// Lanes k of row[start + k] that lie in [0, w); the others hold fill and
// are never read (a masked load does not touch them).
VORN_AVX512 __m512 load_fill(const float* row, int64_t start, int64_t w, __m512 fill) {
  if (start >= 0 && start + 16 <= w) return _mm512_loadu_ps(row + start);
  if (start + 16 <= 0 || start >= w) return fill;
  const int64_t lo = std::max<int64_t>(0, -start), hi = std::min<int64_t>(16, w - start);
  const auto inside = static_cast<__mmask16>(((1u << hi) - 1u) & ~((1u << lo) - 1u));
  // The address of lane 0 may lie before the row; only lanes inside load.
  const float* base = reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(row) +
                                                     static_cast<uintptr_t>(start) * sizeof(float));
  return _mm512_mask_loadu_ps(fill, inside, base);
}

// a > b ? a : b per lane (the strictly greater tap wins; NaN never does),
// through the zero-masking form, whose plain twin GCC 12 warns about.
VORN_AVX512 __m512 max_of(__m512 a, __m512 b) { return _mm512_maskz_max_ps(static_cast<__mmask16>(0xffff), a, b); }

// The maxima of input row iy (a row outside the input holds the lowest
// float) over each even padded column's taps into dst, 16 outputs a block.
template <int KW>
[[gnu::target("avx512f")]] void fold_row(const PoolParams& p, const float* xp, int64_t iy, float* dst) {
  const int64_t blocks = (p.y.w + 15) / 16, dw = p.dw, reach = 32 + (KW - 1) * dw;
  const __m512 neutral = _mm512_set1_ps(kPoolLowest);
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  if (iy < 0 || iy >= p.x.h) {
    for (int64_t b = 0; b < blocks; ++b) _mm512_storeu_ps(dst + 16 * b, neutral);
    return;
  }
  const float* in = xp + iy * p.x.w;
  for (int64_t b = 0; b < blocks; ++b) {
    const int64_t s0 = 32 * b - p.padl;
    __m512 lo = neutral, hi = neutral;
    if (s0 >= 0 && s0 + reach <= p.x.w) {
#pragma GCC unroll 3
      for (int j = 0; j < KW; ++j) {
        lo = max_of(_mm512_loadu_ps(in + s0 + j * dw), lo);
        hi = max_of(_mm512_loadu_ps(in + s0 + j * dw + 16), hi);
      }
    } else {
#pragma GCC unroll 3
      for (int j = 0; j < KW; ++j) {
        lo = max_of(load_fill(in, s0 + j * dw, p.x.w, neutral), lo);
        hi = max_of(load_fill(in, s0 + j * dw + 16, p.x.w, neutral), hi);
      }
    }
    _mm512_storeu_ps(dst + 16 * b, _mm512_permutex2var_ps(lo, even, hi));
  }
}

// Input rows asked for ahead of the row fold when the input passes
// kAheadBytes, as in the AVX2 form (large inputs come from the outer
// caches or memory).
constexpr int64_t kRowsAhead = 3;
constexpr int64_t kAheadBytes = int64_t{2} << 20;

// Padded input rows of a narrow plane one call holds the maxima of.
constexpr int64_t kNarrowRows = 256;

}  // namespace

bool max_narrow_avx512_apply(const PoolParams& p) {
  if (p.kh < 1 || p.kw < 1 || p.y.w < 1 || p.y.w > 16 || p.y.h < 1) return false;
  const int64_t wp = (p.y.w - 1) * p.sw + (p.kw - 1) * p.dw + 1;
  const int64_t hp = (p.y.h - 1) * p.sh + (p.kh - 1) * p.dh + 1;
  return wp <= 32 && hp <= kNarrowRows;
}

namespace {

// The narrow form's plane loop; KW taps a row (0: p.kw, read at run time).
template <int KW>
[[gnu::target("avx512f")]] void narrow_planes(const PoolParams& p, const float* x, float* y, int64_t first,
                                              int64_t end) {
  const int64_t wo = p.y.w, ho = p.y.h, hp = (ho - 1) * p.sh + (p.kh - 1) * p.dh + 1;
  const int64_t kw = KW > 0 ? KW : p.kw;
  const __m512 neutral = _mm512_set1_ps(kPoolLowest);
  // Tap j of output column ox is padded column ox sw + j dw, lane of the
  // pair (lo, hi) that holds the row; lanes past wo pick anything.
  alignas(64) int32_t pick[32][16];
  for (int64_t j = 0; j < kw; ++j)
    for (int64_t ox = 0; ox < 16; ++ox) pick[j][ox] = static_cast<int32_t>((ox * p.sw + j * p.dw) & 31);
  __m512i tap[KW > 0 ? KW : 1];
  for (int j = 0; j < KW; ++j) tap[j] = _mm512_load_si512(pick[j]);
  // Padded columns [0, 32) are input columns -padl on: the lanes of each
  // vector inside the row, and the address of its lane 0 from a row's start
  // (it may lie before the row; only lanes inside load).
  __mmask16 inside[2];
  int64_t from[2];
  for (int h = 0; h < 2; ++h) {
    from[h] = 16 * h - p.padl;
    const int64_t lo = std::clamp<int64_t>(-from[h], 0, 16), hi = std::clamp<int64_t>(p.x.w - from[h], 0, 16);
    inside[h] = static_cast<__mmask16>(hi > lo ? ((1u << hi) - 1u) & ~((1u << lo) - 1u) : 0u);
  }
  alignas(64) float row_max[kNarrowRows * 16];
  const auto store = static_cast<__mmask16>((1u << wo) - 1u);
  for (int64_t k = first; k < end; ++k) {
    const float* xp = x + k * p.x.plane();
    float* yp = y + k * p.y.plane();
    for (int64_t v = 0; v < hp; ++v) {
      const int64_t iy = v - p.padt;
      __m512 acc = neutral;
      if (iy >= 0 && iy < p.x.h) {
        const auto row = reinterpret_cast<uintptr_t>(xp + iy * p.x.w);
        const auto at = [&](int h) {
          return reinterpret_cast<const float*>(row + static_cast<uintptr_t>(from[h]) * sizeof(float));
        };
        const __m512 lo = _mm512_mask_loadu_ps(neutral, inside[0], at(0));
        const __m512 hi = _mm512_mask_loadu_ps(neutral, inside[1], at(1));
        if constexpr (KW > 0) {
#pragma GCC unroll 3
          for (int j = 0; j < KW; ++j) acc = max_of(_mm512_permutex2var_ps(lo, tap[j], hi), acc);
        } else {
          for (int64_t j = 0; j < kw; ++j)
            acc = max_of(_mm512_permutex2var_ps(lo, _mm512_load_si512(pick[j]), hi), acc);
        }
      }
      _mm512_store_ps(row_max + 16 * v, acc);
    }
    for (int64_t oy = 0; oy < ho; ++oy) {
      const float* top = row_max + 16 * oy * p.sh;
      __m512 acc = _mm512_load_ps(top);
      for (int64_t i = 1; i < p.kh; ++i) acc = max_of(_mm512_load_ps(top + 16 * i * p.dh), acc);
      _mm512_mask_storeu_ps(yp + oy * wo, store, acc);
    }
  }
}

}  // namespace

void max_planes_narrow_avx512(const PoolParams& p, const float* x, float* y, int64_t first, int64_t end) {
  switch (p.kw) {
    case 2: return narrow_planes<2>(p, x, y, first, end);
    case 3: return narrow_planes<3>(p, x, y, first, end);
    default: return narrow_planes<0>(p, x, y, first, end);
  }
}

// Output rows of fewer than 16 columns take the narrow form where it
// applies and the AVX2 form otherwise: through this one they ran a tenth
// slower than the AVX2 form (squeezenet's last pool, 13 columns).
bool max_rows_s2_avx512_apply(const PoolParams& p) {
  if (p.sw != 2 || p.kw < 1 || p.kw > 3 || p.dw > 2 || p.kh < 1 || p.y.w < 16) return false;
  const int64_t blocks = (p.y.w + 15) / 16;
  return blocks * 16 * ((p.kh - 1) * p.dh + 1) <= kRowMaxFloats;
}

[[gnu::target("avx512f")]] void max_planes_rows_s2_avx512(const PoolParams& p, const float* x, float* y,
                                                          int64_t first, int64_t end) {
  const int64_t wo = p.y.w, ho = p.y.h, blocks = (wo + 15) / 16, stride = blocks * 16;
  alignas(64) float row_max[kRowMaxFloats];
  const auto fold = p.kw == 1 ? &fold_row<1> : p.kw == 2 ? &fold_row<2> : &fold_row<3>;
  // Output rows per band: the padded input rows they read fit row_max.
  const int64_t span = (p.kh - 1) * p.dh + 1;
  const int64_t band = std::max<int64_t>(1, std::min(ho, (kRowMaxFloats / stride - span) / p.sh + 1));
  const bool ask_ahead = p.planes() * p.x.plane() * int64_t{sizeof(float)} >= kAheadBytes;
  const auto last = static_cast<__mmask16>((1u << (wo - 16 * (blocks - 1))) - 1u);
  for (int64_t k = first; k < end; ++k) {
    const float* xp = x + k * p.x.plane();
    float* yp = y + k * p.y.plane();
    for (int64_t oy0 = 0; oy0 < ho; oy0 += band) {
      const int64_t oy1 = std::min(ho, oy0 + band), v0 = oy0 * p.sh;
      const int64_t v1 = (oy1 - 1) * p.sh + span;
      for (int64_t v = v0; v < v1; ++v) {
        // Rows past this plane's last are the next plane's first.
        const int64_t ahead = v - p.padt + kRowsAhead;
        if (ask_ahead && ahead >= 0 && (ahead < p.x.h || k + 1 < end))
          for (int64_t c = 0; c < p.x.w; c += 16)
            _mm_prefetch(reinterpret_cast<const char*>(xp + ahead * p.x.w + c), _MM_HINT_T0);
        fold(p, xp, v - p.padt, row_max + (v - v0) * stride);
      }
      for (int64_t oy = oy0; oy < oy1; ++oy) {
        const float* top = row_max + (oy * p.sh - v0) * stride;
        float* out = yp + oy * wo;
        for (int64_t b = 0; b < blocks; ++b) {
          __m512 acc = _mm512_loadu_ps(top + 16 * b);
          for (int64_t i = 1; i < p.kh; ++i) acc = max_of(_mm512_loadu_ps(top + i * p.dh * stride + 16 * b), acc);
          _mm512_mask_storeu_ps(out + 16 * b, b + 1 < blocks ? static_cast<__mmask16>(0xffff) : last, acc);
        }
      }
    }
  }
}

}  // namespace vorn::kern
#endif
