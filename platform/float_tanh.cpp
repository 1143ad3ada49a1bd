#include "platform/float_tanh.h"

#include <bit>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/cpu_features.h"

namespace vorn {

namespace {

// exp(z) = 2^k exp(t), z = k ln2 + t, |t| <= ln2 / 2, with exp(t) its
// Taylor polynomial of degree 11 (relative error below 7e-15). That much is
// needed where 1 - E cancels in tanh (|x| down to 2^-12: the error grows by
// up to 2^12 there and stays below 1e-4 ulp of the float answer).
constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // k ln2_hi is exact for |k| < 2^20
constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
// Adding 1.5 * 2^52 rounds to an integer held in the low bits of the sum.
constexpr double kShift = 0x1.8p52;
constexpr double kTaylor[12] = {1.0,
                                1.0,
                                1.0 / 2,
                                1.0 / 6,
                                1.0 / 24,
                                1.0 / 120,
                                1.0 / 720,
                                1.0 / 5040,
                                1.0 / 40320,
                                1.0 / 362880,
                                1.0 / 3628800,
                                1.0 / 39916800};
// Arguments are kept within +-kLimit, where 2^k p(t) is a normal double.
constexpr double kLimit = 700.0;
// Below this tanh(x) rounds to x itself.
constexpr double kTanhSmall = 0x1p-12;
constexpr double kGeluC = 0.7978845608028654, kGeluK = 0.044715;

// |z| <= kLimit.
inline double exp_core(double z) {
  const double kd = std::fma(z, kLog2e, kShift);
  const uint64_t ki = std::bit_cast<uint64_t>(kd);
  const double k = kd - kShift;
  double t = std::fma(k, -kLn2Hi, z);
  t = std::fma(k, -kLn2Lo, t);
  double p = kTaylor[11];
  for (int i = 10; i >= 0; --i) p = std::fma(p, t, kTaylor[i]);
  return std::bit_cast<double>(std::bit_cast<uint64_t>(p) + (ki << 52));
}

#if defined(__x86_64__)

#define VORN_AVX2_FMA __attribute__((target("avx2,fma")))

VORN_AVX2_FMA inline __m256d exp4_core(__m256d z) {
  const __m256d shift = _mm256_set1_pd(kShift);
  const __m256d kd = _mm256_fmadd_pd(z, _mm256_set1_pd(kLog2e), shift);
  const __m256i ki = _mm256_castpd_si256(kd);
  const __m256d k = _mm256_sub_pd(kd, shift);
  __m256d t = _mm256_fmadd_pd(k, _mm256_set1_pd(-kLn2Hi), z);
  t = _mm256_fmadd_pd(k, _mm256_set1_pd(-kLn2Lo), t);
  __m256d p = _mm256_set1_pd(kTaylor[11]);
  for (int i = 10; i >= 0; --i) p = _mm256_fmadd_pd(p, t, _mm256_set1_pd(kTaylor[i]));
  return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(p), _mm256_slli_epi64(ki, 52)));
}

VORN_AVX2_FMA inline __m128 tanh4(__m128 x) {
  const __m256d d = _mm256_cvtps_pd(x);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d a = _mm256_andnot_pd(sign, d);
  const __m256d z = _mm256_max_pd(_mm256_mul_pd(_mm256_set1_pd(-2.0), a), _mm256_set1_pd(-kLimit));
  const __m256d e = exp4_core(z);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d t = _mm256_div_pd(_mm256_sub_pd(one, e), _mm256_add_pd(one, e));
  const __m128 y = _mm256_cvtpd_ps(_mm256_or_pd(t, _mm256_and_pd(sign, d)));
  // x itself where |x| < 2^-12, and for NaN.
  const __m128 ax = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
  return _mm_blendv_ps(y, x, _mm_cmp_ps(ax, _mm_set1_ps(float(kTanhSmall)), _CMP_NGE_UQ));
}

VORN_AVX2_FMA inline __m128 gelu4(__m128 x) {
  const __m256d d = _mm256_cvtps_pd(x);
  const __m256d q = _mm256_fmadd_pd(_mm256_mul_pd(_mm256_set1_pd(kGeluK), d), d, _mm256_set1_pd(1.0));
  const __m256d z = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-2.0 * kGeluC), d), q);
  const __m256d limit = _mm256_set1_pd(kLimit);
  __m256d e = exp4_core(_mm256_max_pd(_mm256_min_pd(z, limit), _mm256_set1_pd(-kLimit)));
  e = _mm256_blendv_pd(e, _mm256_set1_pd(INFINITY), _mm256_cmp_pd(z, limit, _CMP_GT_OQ));
  return _mm256_cvtpd_ps(_mm256_div_pd(d, _mm256_add_pd(_mm256_set1_pd(1.0), e)));
}

template <__m128 (*F)(__m128), float (*Scalar)(float)>
VORN_AVX2_FMA void map_avx2(const float* in, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(in + i);
    _mm256_storeu_ps(out + i, _mm256_set_m128(F(_mm256_extractf128_ps(x, 1)), F(_mm256_castps256_ps128(x))));
  }
  for (; i < n; ++i) out[i] = Scalar(in[i]);
}

// GELU eight doubles at a time: the same operations as gelu4. Conversions,
// min, max and shifts are written in their zero-masked form with every lane
// set (the same instructions): g++ 12 warns on the plain forms' undefined
// operand.
#define VORN_AVX512 __attribute__((target("avx512f,avx2,fma")))

constexpr __mmask8 kAll8 = 0xFF;

VORN_AVX512 inline __m512d exp8_core(__m512d z) {
  const __m512d shift = _mm512_set1_pd(kShift);
  const __m512d kd = _mm512_fmadd_pd(z, _mm512_set1_pd(kLog2e), shift);
  const __m512i ki = _mm512_castpd_si512(kd);
  const __m512d k = _mm512_sub_pd(kd, shift);
  __m512d t = _mm512_fmadd_pd(k, _mm512_set1_pd(-kLn2Hi), z);
  t = _mm512_fmadd_pd(k, _mm512_set1_pd(-kLn2Lo), t);
  __m512d p = _mm512_set1_pd(kTaylor[11]);
  for (int i = 10; i >= 0; --i) p = _mm512_fmadd_pd(p, t, _mm512_set1_pd(kTaylor[i]));
  return _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(p), _mm512_maskz_slli_epi64(kAll8, ki, 52)));
}

VORN_AVX512 void gelu_avx512(const float* in, float* out, size_t n) {
  const __m512d one = _mm512_set1_pd(1.0), limit = _mm512_set1_pd(kLimit);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d d = _mm512_maskz_cvtps_pd(kAll8, _mm256_loadu_ps(in + i));
    const __m512d q = _mm512_fmadd_pd(_mm512_mul_pd(_mm512_set1_pd(kGeluK), d), d, one);
    const __m512d z = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(-2.0 * kGeluC), d), q);
    __m512d e = exp8_core(_mm512_maskz_max_pd(kAll8, _mm512_maskz_min_pd(kAll8, z, limit), _mm512_set1_pd(-kLimit)));
    e = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(z, limit, _CMP_GT_OQ), e, _mm512_set1_pd(INFINITY));
    _mm256_storeu_ps(out + i, _mm512_maskz_cvtpd_ps(kAll8, _mm512_div_pd(d, _mm512_add_pd(one, e))));
  }
  for (; i < n; ++i) out[i] = gelu_tanh_float(in[i]);
}

#endif

}  // namespace

float tanh_float(float x) {
  const double d = x;
  const double a = std::fabs(d);
  if (!(a >= kTanhSmall)) return x;
  const double e = exp_core(std::fmax(-2.0 * a, -kLimit));
  return float(std::copysign((1.0 - e) / (1.0 + e), d));
}

float gelu_tanh_float(float x) {
  const double d = x;
  const double q = std::fma(kGeluK * d, d, 1.0);
  const double z = (-2.0 * kGeluC * d) * q;
  const double e = z > kLimit ? INFINITY : exp_core(std::fmax(std::fmin(z, kLimit), -kLimit));
  return float(d / (1.0 + e));
}

void tanh_float_n(const float* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx2_fma()) return map_avx2<tanh4, tanh_float>(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = tanh_float(in[i]);
}

void gelu_tanh_float_n(const float* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx512f() && cpu_has_avx2_fma()) return gelu_avx512(in, out, n);
  if (cpu_has_avx2_fma()) return map_avx2<gelu4, gelu_tanh_float>(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = gelu_tanh_float(in[i]);
}

}  // namespace vorn
