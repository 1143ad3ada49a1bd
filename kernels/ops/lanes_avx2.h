// Eight planes side by side in the vector lanes, for the layers of small
// planes (a few pixels wide) where row-wise vectors would leave most lanes
// idle: a padded plane of pixels whose eight lanes are the eight planes'
// values at that pixel, and the way back to planes. Both move values only.
#pragma once
#include <algorithm>
#include <cstdint>

namespace vorn::kern {

// At most this many floats in a block of eight planes' padded pixels (on
// the stack of the thread that computes it).
inline constexpr int64_t kLanesBlockFloats = 4096;

}  // namespace vorn::kern

#if defined(__x86_64__)
#include <immintrin.h>

#include "platform/transpose_avx2.h"

namespace vorn::kern {

// Lanes below n set.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i lanes_below(int64_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Pixels [from, to) of buf set to fill.
[[gnu::target("avx2"), gnu::always_inline]] inline void lanes_fill(float* buf, int64_t from, int64_t to,
                                                                   __m256 fill) {
  for (int64_t t = from; t < to; ++t) _mm256_storeu_ps(buf + t * 8, fill);
}

// Planes [0, n) of x (plane values apart, h x w each) into buf, an hp x wp
// plane of eight-lane pixels whose input pixel (0, 0) lands at (padt,
// padl); every other pixel and the lanes from n on hold fill. With
// FindBelow, whether any copied value other than zero is smaller in
// magnitude than its plane's lane of below (else false).
template <bool FindBelow = false>
[[gnu::target("avx2")]] inline bool lanes_pack(const float* x, int64_t plane, int64_t h, int64_t w, int n,
                                               int64_t padt, int64_t padl, int64_t hp, int64_t wp, __m256 fill,
                                               float* buf, __m256 below = _mm256_setzero_ps()) {
  const int64_t cols = std::max<int64_t>(0, std::min(w, wp - padl));
  // Input rows [first, rows) land inside the padded plane, at padded rows
  // [r0, r1): a padding above taller than the plane leaves none, and so
  // does a band that starts below the input (padt < 0, no rows to copy).
  const int64_t first = std::max<int64_t>(0, -padt);
  const int64_t rows = std::max<int64_t>(first, std::min(h, hp - padt));
  const int64_t r0 = std::clamp<int64_t>(padt + first, 0, hp), r1 = std::clamp<int64_t>(padt + rows, r0, hp);
  // The padding: rows above and below, columns left and right.
  lanes_fill(buf, 0, r0 * wp, fill);
  lanes_fill(buf, r1 * wp, hp * wp, fill);
  for (int64_t iy = first; iy < rows; ++iy) {
    const int64_t row = (iy + padt) * wp;
    lanes_fill(buf, row, row + std::min(padl, wp), fill);
    lanes_fill(buf, row + padl + cols, row + wp, fill);
  }
  // The magnitudes found below their lane's bound (zeros add nothing).
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 tiny = _mm256_setzero_ps();
  for (int64_t iy = first; iy < rows; ++iy) {
    float* dst = buf + ((iy + padt) * wp + padl) * 8;
    const float* src = x + iy * w;
    for (int64_t ix = 0; ix < cols; ix += 8) {
      const int64_t cnt = std::min<int64_t>(8, cols - ix);
      __m256 r[8];
      const __m256i mask = lanes_below(cnt);
#pragma GCC unroll 8
      for (int c = 0; c < 8; ++c)
        r[c] = c >= n ? fill : cnt == 8 ? _mm256_loadu_ps(src + c * plane + ix)
                                        : _mm256_maskload_ps(src + c * plane + ix, mask);
      transpose8(r);
      if constexpr (FindBelow) {
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
          const __m256 m = _mm256_and_ps(r[k], magnitude);
          tiny = _mm256_or_ps(tiny, _mm256_and_ps(m, _mm256_cmp_ps(m, below, _CMP_LT_OQ)));
        }
      }
      // Unrolled with a test per pixel: as a loop of cnt stores it is
      // compiled into a string copy of the registers' stack spill.
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k)
        if (k < cnt) _mm256_storeu_ps(dst + (ix + k) * 8, r[k]);
    }
  }
  const __m256i bits = _mm256_castps_si256(tiny);
  return !_mm256_testz_si256(bits, bits);
}

// Walks the output pixels of an ho x wo plane eight at a time in raster
// order: base[k] is the first tap of pixel q + k in a padded plane of wp
// pixels read with strides sh and sw (a last short run repeats its last
// pixel).
struct LanesWalk {
  int64_t oy = 0, ox = 0;
  template <class T>
  [[gnu::always_inline]] inline void next(const T* buf, int64_t q, int64_t hw, int64_t wo, int64_t wp, int64_t sh,
                                          int64_t sw, const T* (&base)[8]) {
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      base[k] = buf + (oy * sh * wp + ox * sw) * 8;
      if (q + k + 1 < hw && ++ox == wo) ox = 0, ++oy;
    }
  }
};

}  // namespace vorn::kern
#endif
