// An 8 x 8 block of floats transposed in AVX2 registers: r[i] holds row i
// on entry and column i on return. It moves values only, so no result
// changes with it.
#pragma once
#if defined(__x86_64__)
#include <immintrin.h>

namespace vorn {

[[gnu::target("avx2"), gnu::always_inline]] inline void transpose8(__m256 (&r)[8]) {
  __m256 t[8], u[8];
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 2
  for (int g = 0; g < 2; ++g) {
    u[4 * g] = _mm256_shuffle_ps(t[4 * g], t[4 * g + 2], 0x44);
    u[4 * g + 1] = _mm256_shuffle_ps(t[4 * g], t[4 * g + 2], 0xEE);
    u[4 * g + 2] = _mm256_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0x44);
    u[4 * g + 3] = _mm256_shuffle_ps(t[4 * g + 1], t[4 * g + 3], 0xEE);
  }
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    r[c] = _mm256_permute2f128_ps(u[c], u[4 + c], 0x20);
    r[c + 4] = _mm256_permute2f128_ps(u[c], u[4 + c], 0x31);
  }
}

}  // namespace vorn
#endif
