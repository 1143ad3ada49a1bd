#include "platform/float_exp.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/cpu_features.h"

namespace vorn {

namespace {

// exp(x) = 2^(k/32) 2^(r/32) with x 32/ln2 = k + r, |r| <= 1/2: 2^(k/32) is
// a table entry with k / 32 added to its exponent, and 2^(r/32) a cubic in r
// (relative error about 2^-30, far below the rounding to float). Every
// operation is one IEEE double operation, the fused ones fused in every
// form, so the scalar and vector forms agree bit for bit.
//
// kTable[i] = bits of 2^(i/32) (correctly rounded) minus i << 47, so that
// adding k << 47 gives 2^(k/32) for any integer k.
constexpr uint64_t kTable[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};
constexpr double kScale = 0x1.71547652b82fep+5;  // 32 / ln 2
// Adding 1.5 * 2^52 rounds to an integer held in the low bits of the sum.
constexpr double kShift = 0x1.8p+52;
constexpr double kC0 = 0x1.c6af84b912394p-20, kC1 = 0x1.ebfce50fac4f3p-13, kC2 = 0x1.62e42ff0c52d6p-6;
// Above this exp overflows float; below the other it rounds to +0.
constexpr float kOverflow = 0x1.62e42ep6f;
constexpr float kUnderflow = -0x1.9fe368p6f;

// The formula for |x| below the bounds (and for the values between 88 and
// the bounds, where it is still right).
inline float exp_core(float x) {
  const double xd = x;
  double kd = std::fma(kScale, xd, kShift);
  const uint64_t ki = std::bit_cast<uint64_t>(kd);
  kd -= kShift;
  const double r = std::fma(kScale, xd, -kd);
  const double s = std::bit_cast<double>(kTable[ki % 32] + (ki << 47));
  const double z = std::fma(kC0, r, kC1);
  const double r2 = r * r;
  double y = std::fma(kC2, r, 1.0);
  y = std::fma(z, r2, y);
  return float(y * s);
}

#if defined(__x86_64__)

#define VORN_AVX2_FMA __attribute__((target("avx2,fma")))

// Whether every lane's magnitude lies below 88 (none NaN): there the core
// formula is the answer, as exp_float takes it, and the fix-ups of the lanes
// out of range (three compares and three blends, on the same two ports as
// the formula's wide operations) are skipped. Softmax and SiLU inputs are
// nearly always in range.
VORN_AVX2_FMA inline bool in_core_range(__m256 x) {
  const __m256 magnitude = _mm256_and_ps(x, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
  return _mm256_movemask_ps(_mm256_cmp_ps(magnitude, _mm256_set1_ps(88.0f), _CMP_NLT_UQ)) == 0;
}

// The answers of the lanes out of range in place of what the formula gave
// them.
VORN_AVX2_FMA inline __m256 fix_range(__m256 x, __m256 y) {
  y = _mm256_blendv_ps(y, _mm256_set1_ps(INFINITY), _mm256_cmp_ps(x, _mm256_set1_ps(kOverflow), _CMP_GT_OQ));
  y = _mm256_andnot_ps(_mm256_cmp_ps(x, _mm256_set1_ps(kUnderflow), _CMP_LT_OQ), y);
  return _mm256_blendv_ps(y, _mm256_add_ps(x, x), _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
}

// The lanes below count (1 to 7) as a mask of masked loads and stores: the
// last values of a row go through the vector form too (the absent lanes
// read as zeros, in range, and are never stored).
VORN_AVX2_FMA inline __m256i tail_lanes(size_t count) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(int(count)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// Four values in double.
VORN_AVX2_FMA inline __m128 exp4_core(__m128 x) {
  const __m256d xd = _mm256_cvtps_pd(x);
  const __m256d scale = _mm256_set1_pd(kScale), shift = _mm256_set1_pd(kShift);
  __m256d kd = _mm256_fmadd_pd(scale, xd, shift);
  const __m256i ki = _mm256_castpd_si256(kd);
  kd = _mm256_sub_pd(kd, shift);
  const __m256d r = _mm256_fmsub_pd(scale, xd, kd);
  const __m256i index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
  const __m256i t = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kTable), index, 8);
  const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(t, _mm256_slli_epi64(ki, 47)));
  const __m256d z = _mm256_fmadd_pd(_mm256_set1_pd(kC0), r, _mm256_set1_pd(kC1));
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d y = _mm256_fmadd_pd(_mm256_set1_pd(kC2), r, _mm256_set1_pd(1.0));
  y = _mm256_fmadd_pd(z, r2, y);
  return _mm256_cvtpd_ps(_mm256_mul_pd(y, s));
}

VORN_AVX2_FMA inline __m256 exp8_avx2(__m256 x) {
  const __m256 y = _mm256_set_m128(exp4_core(_mm256_extractf128_ps(x, 1)), exp4_core(_mm256_castps256_ps128(x)));
  return in_core_range(x) ? y : fix_range(x, y);
}

VORN_AVX2_FMA void exp_avx2(const float* in, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, exp8_avx2(_mm256_loadu_ps(in + i)));
  if (i < n) {
    const __m256i lanes = tail_lanes(n - i);
    _mm256_maskstore_ps(out + i, lanes, exp8_avx2(_mm256_maskload_ps(in + i, lanes)));
  }
}

#define VORN_AVX512 __attribute__((target("avx512f,avx2,fma")))

// Eight values in double, the table read by two two-register permutes (its
// entries 0-15 and 16-31) where the AVX2 form gathers: the same operations.
VORN_AVX512 inline __m256 exp8_core(__m256 x, __m512i t0, __m512i t1, __m512i t2, __m512i t3) {
  const __m512d xd = _mm512_maskz_cvtps_pd(0xff, x);
  const __m512d scale = _mm512_set1_pd(kScale), shift = _mm512_set1_pd(kShift);
  __m512d kd = _mm512_fmadd_pd(scale, xd, shift);
  const __m512i ki = _mm512_castpd_si512(kd);
  kd = _mm512_sub_pd(kd, shift);
  const __m512d r = _mm512_fmsub_pd(scale, xd, kd);
  const __m512i low = _mm512_permutex2var_epi64(t0, ki, t1), high = _mm512_permutex2var_epi64(t2, ki, t3);
  const __m512i t = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(ki, _mm512_set1_epi64(16)), low, high);
  const __m512d s = _mm512_castsi512_pd(_mm512_add_epi64(t, _mm512_maskz_slli_epi64(0xff, ki, 47)));
  const __m512d z = _mm512_fmadd_pd(_mm512_set1_pd(kC0), r, _mm512_set1_pd(kC1));
  const __m512d r2 = _mm512_mul_pd(r, r);
  __m512d y = _mm512_fmadd_pd(_mm512_set1_pd(kC2), r, _mm512_set1_pd(1.0));
  y = _mm512_fmadd_pd(z, r2, y);
  return _mm512_maskz_cvtpd_ps(0xff, _mm512_mul_pd(y, s));
}

VORN_AVX512 inline __m256 exp8_avx512(__m256 x, __m512i t0, __m512i t1, __m512i t2, __m512i t3) {
  const __m256 y = exp8_core(x, t0, t1, t2, t3);
  return in_core_range(x) ? y : fix_range(x, y);
}

VORN_AVX512 void exp_avx512(const float* in, float* out, size_t n) {
  const __m512i t0 = _mm512_loadu_si512(kTable), t1 = _mm512_loadu_si512(kTable + 8),
                t2 = _mm512_loadu_si512(kTable + 16), t3 = _mm512_loadu_si512(kTable + 24);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, exp8_avx512(_mm256_loadu_ps(in + i), t0, t1, t2, t3));
  if (i < n) {
    const __m256i lanes = tail_lanes(n - i);
    _mm256_maskstore_ps(out + i, lanes, exp8_avx512(_mm256_maskload_ps(in + i, lanes), t0, t1, t2, t3));
  }
}

#endif

}  // namespace

float exp_float(float x) {
  if (!(std::fabs(x) < 88.0f)) {
    if (x != x) return x + x;
    if (x > kOverflow) return INFINITY;
    if (x < kUnderflow) return 0.0f;
  }
  return exp_core(x);
}

void exp_float_n(const float* in, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx512f()) return exp_avx512(in, out, n);
  if (cpu_has_avx2_fma()) return exp_avx2(in, out, n);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = exp_float(in[i]);
}

}  // namespace vorn
