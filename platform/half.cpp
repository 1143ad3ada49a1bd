#include "platform/half.h"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace vorn {

namespace {

#if defined(__x86_64__)
// F16C rounds to nearest even and keeps NaN payloads as the scalar code does
// (a half NaN widens with its payload; a float NaN narrows to a quiet one).
__attribute__((target("avx,f16c"))) void half_to_float_f16c(const uint16_t* in, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    _mm256_storeu_ps(out + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) out[i] = half_to_float(in[i]);
}

__attribute__((target("avx,f16c"))) void float_to_half_f16c(const float* in, uint16_t* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), h);
  }
  for (; i < n; ++i) out[i] = float_to_half(in[i]);
}

// CPUID leaf 1: AVX (ecx bit 28), F16C (bit 29), and OSXSAVE (bit 27) with
// the OS saving the YMM state (XCR0 bits 1 and 2).
bool detect_f16c() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const unsigned need = (1u << 27) | (1u << 28) | (1u << 29);
  if ((c & need) != need) return false;
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 6u) == 6u;
}

bool has_f16c() {
  static const bool yes = detect_f16c();
  return yes;
}
#endif

}  // namespace

void half_to_float_n(const uint16_t* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (has_f16c()) return half_to_float_f16c(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = half_to_float(in[i]);
}

void float_to_half_n(const float* in, uint16_t* out, size_t n) {
#if defined(__x86_64__)
  if (has_f16c()) return float_to_half_f16c(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = float_to_half(in[i]);
}

}  // namespace vorn
