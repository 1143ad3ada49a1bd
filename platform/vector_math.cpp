#include "platform/vector_math.h"

#include "platform/cpu_features.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

namespace vorn {

namespace {

// Blocks of eight: every input of a block is read before any output is
// written, which makes in-place calls safe, and the fixed inner trip count
// lets the compiler turn each block into a few vector instructions without
// alias checks.
constexpr size_t kBlock = 8;

template <class F>
inline void map_unary(const float* a, float* out, size_t n, F f) {
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float t[kBlock];
    for (size_t k = 0; k < kBlock; ++k) t[k] = f(a[i + k]);
    std::memcpy(out + i, t, sizeof t);
  }
  for (; i < n; ++i) out[i] = f(a[i]);
}

template <class F>
inline void map_binary(const float* a, const float* b, float* out, size_t n, F f) {
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    float t[kBlock];
    for (size_t k = 0; k < kBlock; ++k) t[k] = f(a[i + k], b[i + k]);
    std::memcpy(out + i, t, sizeof t);
  }
  for (; i < n; ++i) out[i] = f(a[i], b[i]);
}

// Below -104 exp rounds to 0 and above 89 to +inf; clamping keeps n inside
// what the two scale factors below can hold.
inline float exp_clamp(float x) {
  float c = x > -104.0f ? x : -104.0f;
  return c < 89.0f ? c : 89.0f;
}

// exp(c) = 2^n * e^r with n = round(c / ln 2) and |r| <= ln2 / 2. ln 2 is
// split in two so that n * kLn2Hi is exact for every n that can occur here.
// The polynomial for e^r is the classic degree-7 minimax fit (about 1 ulp).
// 2^n is applied as two factors so that results down in the subnormal range
// and up to the overflow edge are rounded once, at the last multiply. NaN
// inputs are passed through by a bit select rather than a float compare,
// which keeps the whole body branch-free.
inline float exp_core(float x, float c) {
  constexpr float kLog2e = 1.44269504088896341f;
  constexpr float kLn2Hi = 0.693359375f;
  constexpr float kLn2Lo = -2.12194440e-4f;
  constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  float n = (c * kLog2e + kRound) - kRound;
  float r = c - n * kLn2Hi;
  r = r - n * kLn2Lo;
  float p = 1.9875691500e-4f;
  p = p * r + 1.3981999507e-3f;
  p = p * r + 8.3334519073e-3f;
  p = p * r + 4.1665795894e-2f;
  p = p * r + 1.6666665459e-1f;
  p = p * r + 5.0000001201e-1f;
  p = p * (r * r) + r + 1.0f;
  int32_t ni = static_cast<int32_t>(n);
  int32_t n1 = ni >> 1;
  int32_t n2 = ni - n1;
  float s1 = std::bit_cast<float>(static_cast<uint32_t>(n1 + 127) << 23);
  float s2 = std::bit_cast<float>(static_cast<uint32_t>(n2 + 127) << 23);
  float result = p * s1 * s2;
  uint32_t keep = 0u - uint32_t((std::bit_cast<uint32_t>(x) & 0x7FFFFFFFu) <= 0x7F800000u);
  return std::bit_cast<float>((std::bit_cast<uint32_t>(result) & keep) |
                              (std::bit_cast<uint32_t>(x) & ~keep));
}

}  // namespace

void vec_add(const float* a, const float* b, float* out, size_t n) {
  map_binary(a, b, out, n, [](float x, float y) { return x + y; });
}

void vec_scalar_add(const float* a, float s, float* out, size_t n) {
  map_unary(a, out, n, [s](float x) { return x + s; });
}

void vec_scalar_mul_add(const float* a, float s, float t, float* out, size_t n) {
  map_unary(a, out, n, [s, t](float x) { return x * s + t; });
}

void vec_threshold(const float* a, float threshold, float* out, size_t n) {
  // A bit mask rather than a select: the select form is not if-converted.
  map_unary(a, out, n, [threshold](float x) {
    uint32_t keep = 0u - uint32_t(x >= threshold);
    return std::bit_cast<float>(std::bit_cast<uint32_t>(x) & keep);
  });
}

namespace {

[[gnu::always_inline]] inline void exp_loop(const float* a, float* out, size_t n) {
  size_t i = 0;
  // Clamp and evaluate in two passes over the block: as one loop the
  // compiler gives up if-converting the clamp and stays scalar.
  for (; i + kBlock <= n; i += kBlock) {
    float c[kBlock], t[kBlock];
    for (size_t k = 0; k < kBlock; ++k) c[k] = exp_clamp(a[i + k]);
    for (size_t k = 0; k < kBlock; ++k) t[k] = exp_core(a[i + k], c[k]);
    std::memcpy(out + i, t, sizeof t);
  }
  for (; i < n; ++i) out[i] = exp_core(a[i], exp_clamp(a[i]));
}

void exp_portable(const float* a, float* out, size_t n) { exp_loop(a, out, n); }

// exp_core eight lanes at a time with AVX2 and FMA: the same steps, the
// multiply-adds fused. The baseline build targets plain x86-64 (4 wide, no
// vector integer conversions), where the portable loop is several times
// slower. Fused roundings differ a little (within one ulp of the baseline,
// both within 2 ulp of exp); one machine always takes the same form, so
// results do not depend on how work is split.
[[gnu::target("avx2,fma")]] void exp_avx2(const float* a, float* out, size_t n) {
  const __m256 lo = _mm256_set1_ps(-104.0f), hi = _mm256_set1_ps(89.0f);
  const __m256 log2e = _mm256_set1_ps(1.44269504088896341f);
  const __m256 ln2_hi = _mm256_set1_ps(0.693359375f), ln2_lo = _mm256_set1_ps(-2.12194440e-4f);
  const __m256 round = _mm256_set1_ps(12582912.0f), one = _mm256_set1_ps(1.0f);
  const __m256i bias = _mm256_set1_epi32(127);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(a + i);
    const __m256 c = _mm256_min_ps(_mm256_max_ps(x, lo), hi);
    const __m256 k = _mm256_sub_ps(_mm256_fmadd_ps(c, log2e, round), round);
    __m256 r = _mm256_fnmadd_ps(k, ln2_hi, c);
    r = _mm256_fnmadd_ps(k, ln2_lo, r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_add_ps(_mm256_fmadd_ps(p, _mm256_mul_ps(r, r), r), one);
    const __m256i ki = _mm256_cvttps_epi32(k);
    const __m256i k1 = _mm256_srai_epi32(ki, 1);
    const __m256i k2 = _mm256_sub_epi32(ki, k1);
    const __m256 s1 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k1, bias), 23));
    const __m256 s2 = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(k2, bias), 23));
    const __m256 result = _mm256_mul_ps(_mm256_mul_ps(p, s1), s2);
    // NaN lanes pass x through (max/min above turned them into a bound).
    const __m256 is_number = _mm256_cmp_ps(x, x, _CMP_ORD_Q);
    _mm256_storeu_ps(out + i, _mm256_blendv_ps(x, result, is_number));
  }
  for (; i < n; ++i) out[i] = exp_core(a[i], exp_clamp(a[i]));
}

// exp_avx2's steps sixteen lanes at a time, the same operations fused the
// same way, so every value has the AVX2 form's bits; what is left after the
// blocks of sixteen goes through exp_avx2 itself (its blocks of eight, then
// its scalar tail), so each position takes the same form as there. The
// zero-masked forms with every lane set are the plain instructions: g++ 12
// warns on the plain forms' undefined operand.
[[gnu::target("avx512f,avx2,fma")]] void exp_avx512(const float* a, float* out, size_t n) {
  constexpr __mmask16 all = 0xFFFF;
  const __m512 lo = _mm512_set1_ps(-104.0f), hi = _mm512_set1_ps(89.0f);
  const __m512 log2e = _mm512_set1_ps(1.44269504088896341f);
  const __m512 ln2_hi = _mm512_set1_ps(0.693359375f), ln2_lo = _mm512_set1_ps(-2.12194440e-4f);
  const __m512 round = _mm512_set1_ps(12582912.0f), one = _mm512_set1_ps(1.0f);
  const __m512i bias = _mm512_set1_epi32(127);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 x = _mm512_loadu_ps(a + i);
    const __m512 c = _mm512_maskz_min_ps(all, _mm512_maskz_max_ps(all, x, lo), hi);
    const __m512 k = _mm512_sub_ps(_mm512_fmadd_ps(c, log2e, round), round);
    __m512 r = _mm512_fnmadd_ps(k, ln2_hi, c);
    r = _mm512_fnmadd_ps(k, ln2_lo, r);
    __m512 p = _mm512_set1_ps(1.9875691500e-4f);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.3981999507e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(8.3334519073e-3f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(4.1665795894e-2f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(1.6666665459e-1f));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(5.0000001201e-1f));
    p = _mm512_add_ps(_mm512_fmadd_ps(p, _mm512_mul_ps(r, r), r), one);
    const __m512i ki = _mm512_maskz_cvttps_epi32(all, k);
    const __m512i k1 = _mm512_maskz_srai_epi32(all, ki, 1);
    const __m512i k2 = _mm512_sub_epi32(ki, k1);
    const __m512 s1 = _mm512_castsi512_ps(_mm512_maskz_slli_epi32(all, _mm512_add_epi32(k1, bias), 23));
    const __m512 s2 = _mm512_castsi512_ps(_mm512_maskz_slli_epi32(all, _mm512_add_epi32(k2, bias), 23));
    const __m512 result = _mm512_mul_ps(_mm512_mul_ps(p, s1), s2);
    // NaN lanes pass x through (max/min above turned them into a bound).
    _mm512_storeu_ps(out + i, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, x, _CMP_ORD_Q), x, result));
  }
  exp_avx2(a + i, out + i, n - i);
}

using ExpLoop = void (*)(const float*, float*, size_t);

ExpLoop exp_for_this_cpu() {
  static const ExpLoop loop = cpu_has_avx2_fma() ? (cpu_has_avx512f() ? &exp_avx512 : &exp_avx2) : &exp_portable;
  return loop;
}

}  // namespace

void vec_exp(const float* a, float* out, size_t n) { exp_for_this_cpu()(a, out, n); }

void vec_exp_portable(const float* a, float* out, size_t n) { exp_portable(a, out, n); }

void vec_exp_avx2(const float* a, float* out, size_t n) {
  if (cpu_has_avx2_fma()) return exp_avx2(a, out, n);
  exp_portable(a, out, n);
}

namespace {

// Loops written as selects that GCC vectorises only from -O3 and without
// trapping math.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_VECTOR_LOOP __attribute__((optimize("O3", "no-trapping-math")))
#else
#define VORN_VECTOR_LOOP
#endif

VORN_VECTOR_LOOP void sigmoid_finish(const float* a, const float* e, float* out,
                                                                          size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float g = 1.0f / (1.0f + e[i]);
    out[i] = a[i] != a[i] ? a[i] : g;
  }
}

VORN_VECTOR_LOOP void silu_finish(const float* a, const float* e, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = a[i] * (1.0f / (1.0f + e[i]));
}

template <void (*finish)(const float*, const float*, float*, size_t)>
void exp_of_negated_then(const float* a, float* out, size_t n) {
  constexpr size_t kBlock = 256;
  float e[kBlock];
  for (size_t i = 0; i < n; i += kBlock) {
    const size_t m = n - i < kBlock ? n - i : kBlock;
    for (size_t k = 0; k < m; ++k) e[k] = -a[i + k];
    vec_exp(e, e, m);
    finish(a + i, e, out + i, m);
  }
}

}  // namespace

void vec_sigmoid(const float* a, float* out, size_t n) { exp_of_negated_then<sigmoid_finish>(a, out, n); }

void vec_silu(const float* a, float* out, size_t n) { exp_of_negated_then<silu_finish>(a, out, n); }

VORN_VECTOR_LOOP void vec_erf(const float* a, float* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = erf_rational(a[i]);
}

float exp_approx(float x) { return exp_core(x, exp_clamp(x)); }

}  // namespace vorn
