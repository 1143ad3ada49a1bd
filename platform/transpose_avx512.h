// A 16 x 16 block of floats transposed in AVX-512 registers: r[i] holds
// row i on entry and column i on return. It moves values only, so no result
// changes with it.
#pragma once
#if defined(__x86_64__)
#include <immintrin.h>

namespace vorn {

// (The unpacks take an all-ones zeroing mask: GCC 12's plain forms start
// from an undefined register and warn of it.)
[[gnu::target("avx512f")]] inline void transpose16(__m512 (&r)[16]) {
  constexpr __mmask16 all = 0xFFFF;
  constexpr __mmask8 all8 = 0xFF;
  __m512 t[16];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_maskz_unpacklo_ps(all, r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_maskz_unpackhi_ps(all, r[2 * i], r[2 * i + 1]);
  }
  // u[4g + c]: in lane l, column c + 4l of rows 4g .. 4g + 3.
  __m512 u[16];
#pragma GCC unroll 4
  for (int g = 0; g < 4; ++g) {
    const __m512d a = _mm512_castps_pd(t[4 * g]), b = _mm512_castps_pd(t[4 * g + 1]);
    const __m512d c = _mm512_castps_pd(t[4 * g + 2]), d = _mm512_castps_pd(t[4 * g + 3]);
    u[4 * g] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(all8, a, c));
    u[4 * g + 1] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(all8, a, c));
    u[4 * g + 2] = _mm512_castpd_ps(_mm512_maskz_unpacklo_pd(all8, b, d));
    u[4 * g + 3] = _mm512_castpd_ps(_mm512_maskz_unpackhi_pd(all8, b, d));
  }
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    const __m512 x_lo = _mm512_maskz_shuffle_f32x4(all, u[c], u[4 + c], 0x44);
    const __m512 x_hi = _mm512_maskz_shuffle_f32x4(all, u[c], u[4 + c], 0xEE);
    const __m512 y_lo = _mm512_maskz_shuffle_f32x4(all, u[8 + c], u[12 + c], 0x44);
    const __m512 y_hi = _mm512_maskz_shuffle_f32x4(all, u[8 + c], u[12 + c], 0xEE);
    r[c] = _mm512_maskz_shuffle_f32x4(all, x_lo, y_lo, 0x88);
    r[c + 4] = _mm512_maskz_shuffle_f32x4(all, x_lo, y_lo, 0xDD);
    r[c + 8] = _mm512_maskz_shuffle_f32x4(all, x_hi, y_hi, 0x88);
    r[c + 12] = _mm512_maskz_shuffle_f32x4(all, x_hi, y_hi, 0xDD);
  }
}

}  // namespace vorn
#endif
