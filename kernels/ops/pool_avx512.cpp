// The AVX-512 form of the max pool of column stride 2 and at most three
// columns (squeezenet's and many detectors' 3 x 3 stride-2 pools): as the
// AVX2 form's two passes, each input row's maxima over its columns' taps,
// then per output row the maxima of kh of those rows, with sixteen output
// columns a vector. A pair of input vectors (32 columns) gives its 16 even
// picks in column order through one two-source permute, so the second
// pass stores without reordering lanes. Per output every tap is folded in
// the same order as the other forms (the strictly greater value wins,
// from the lowest float; rows top to bottom), so the bits are theirs.
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

}  // namespace

// Output rows of fewer than 16 columns keep the AVX2 form, which ran them
// faster (squeezenet's last pool, 13 columns: a tenth).
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
