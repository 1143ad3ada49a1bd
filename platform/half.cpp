#include "platform/half.h"

#include <bit>
#include <cstring>

#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn {

namespace {

// Branch-free so the loop vectorises, with the results of half_to_float:
// normal halves rebias the exponent, infinities and NaNs keep their payload
// bits unchanged (no float arithmetic touches them, so a signalling NaN is
// not quietened), and subnormals are exact as man * 2^-24.
inline uint32_t half_bits_to_float_bits(uint16_t h) {
  const uint32_t x = h;
  const uint32_t sign = (x & 0x8000u) << 16;
  const uint32_t em = x & 0x7FFFu;
  const uint32_t normal = (em << 13) + (112u << 23);
  const uint32_t special = (em << 13) | 0x7F800000u;
  const uint32_t sub_bits = std::bit_cast<uint32_t>(float(em) * 0x1p-24f);
  // Masks instead of branches keep the loop free of control flow.
  const uint32_t is_special = 0u - uint32_t(em >= 0x7C00u);
  const uint32_t is_normal = (0u - uint32_t(em >= 0x0400u)) & ~is_special;
  const uint32_t is_sub = ~(is_special | is_normal);
  return sign | (special & is_special) | (normal & is_normal) | (sub_bits & is_sub);
}

// Fixed-size blocks through local buffers: no aliasing between source and
// destination and a known trip count, so the loop vectorises.
void half_to_float_portable(const uint16_t* in, float* out, size_t n) {
  constexpr size_t kBlock = 256;
  uint16_t h[kBlock];
  uint32_t f[kBlock];
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    std::memcpy(h, in + i, sizeof(h));
    for (size_t j = 0; j < kBlock; ++j) f[j] = half_bits_to_float_bits(h[j]);
    std::memcpy(out + i, f, sizeof(f));
  }
  for (; i < n; ++i) {
    const uint32_t bits = half_bits_to_float_bits(in[i]);
    std::memcpy(out + i, &bits, 4);
  }
}

#if defined(__x86_64__)
// F16C rounds to nearest even as the scalar code does, and a float NaN
// narrows to a quiet one. Widening a signalling half NaN it sets the quiet
// bit, which the scalar code leaves alone: a block holding one goes through
// the portable loop instead, so both give the same bits.
__attribute__((target("avx,f16c"))) void half_to_float_f16c(const uint16_t* in, float* out, size_t n) {
  const __m128i exponent_and_quiet = _mm_set1_epi16(0x7E00);
  const __m128i signalling = _mm_set1_epi16(0x7C00);
  const __m128i payload = _mm_set1_epi16(0x01FF);
  const __m128i zero = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i top = _mm_cmpeq_epi16(_mm_and_si128(h, exponent_and_quiet), signalling);
    __m128i empty = _mm_cmpeq_epi16(_mm_and_si128(h, payload), zero);
    if (_mm_movemask_epi8(_mm_andnot_si128(empty, top)) != 0) {
      half_to_float_portable(in + i, out + i, 8);
      continue;
    }
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
  }
  half_to_float_portable(in + i, out + i, n - i);
}

__attribute__((target("avx,f16c"))) void float_to_half_f16c(const float* in, uint16_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
  }
  for (; i < n; ++i) out[i] = float_to_half(in[i]);
}
#endif

}  // namespace

void half_to_float_n(const uint16_t* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_features().f16c) return half_to_float_f16c(in, out, n);
#endif
  half_to_float_portable(in, out, n);
}

void float_to_half_n(const float* in, uint16_t* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_features().f16c) return float_to_half_f16c(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = float_to_half(in[i]);
}

}  // namespace vorn
