#include "platform/vector_math.h"

#include "platform/cpu_features.h"
#include "platform/vector_exp.h"

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

}  // namespace

namespace {

// Sums and products of two arrays: one rounding each at any width, so every
// form gives the same bits. The vector forms read a whole vector of each
// input before they store it, and hand their tail to the next narrower form.
template <bool Mul>
void binary_portable(const float* a, const float* b, float* out, size_t n) {
  if constexpr (Mul)
    map_binary(a, b, out, n, [](float x, float y) { return x * y; });
  else
    map_binary(a, b, out, n, [](float x, float y) { return x + y; });
}

#if defined(__x86_64__)
template <bool Mul>
[[gnu::target("avx2")]] void binary_avx2(const float* a, const float* b, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(a + i), y = _mm256_loadu_ps(b + i);
    _mm256_storeu_ps(out + i, Mul ? _mm256_mul_ps(x, y) : _mm256_add_ps(x, y));
  }
  binary_portable<Mul>(a + i, b + i, out + i, n - i);
}

template <bool Mul>
[[gnu::target("avx512f,avx2")]] void binary_avx512(const float* a, const float* b, float* out, size_t n) {
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 x = _mm512_loadu_ps(a + i), y = _mm512_loadu_ps(b + i);
    _mm512_storeu_ps(out + i, Mul ? _mm512_mul_ps(x, y) : _mm512_add_ps(x, y));
  }
  binary_avx2<Mul>(a + i, b + i, out + i, n - i);
}
#endif

template <bool Mul>
void binary(const float* a, const float* b, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx512f()) return binary_avx512<Mul>(a, b, out, n);
  if (cpu_has_avx2_fma()) return binary_avx2<Mul>(a, b, out, n);
#endif
  binary_portable<Mul>(a, b, out, n);
}

}  // namespace

void vec_add(const float* a, const float* b, float* out, size_t n) { binary<false>(a, b, out, n); }

void vec_mul(const float* a, const float* b, float* out, size_t n) { binary<true>(a, b, out, n); }

void vec_scalar_add(const float* a, float s, float* out, size_t n) {
  map_unary(a, out, n, [s](float x) { return x + s; });
}

namespace {

void scalar_mul_add_portable(const float* a, float s, float t, float* out, size_t n) {
  map_unary(a, out, n, [s, t](float x) { return x * s + t; });
}

#if defined(__x86_64__)
// The product and the sum rounded apart, as the portable loop rounds them
// (a softmax scales every row of its scores here). The AVX2 form is built
// without FMA, so nothing contracts; the AVX-512 one multiplies through
// the masked instruction, which the compiler never fuses with the add.
[[gnu::target("avx2")]] void scalar_mul_add_avx2(const float* a, float s, float t, float* out, size_t n) {
  const __m256 vs = _mm256_set1_ps(s), vt = _mm256_set1_ps(t);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_mul_ps(_mm256_loadu_ps(a + i), vs), vt));
  scalar_mul_add_portable(a + i, s, t, out + i, n - i);
}

[[gnu::target("avx512f")]] void scalar_mul_add_avx512(const float* a, float s, float t, float* out, size_t n) {
  constexpr __mmask16 all = 0xFFFF;
  const __m512 vs = _mm512_set1_ps(s), vt = _mm512_set1_ps(t);
  size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm512_storeu_ps(out + i, _mm512_add_ps(_mm512_maskz_mul_ps(all, _mm512_loadu_ps(a + i), vs), vt));
  scalar_mul_add_avx2(a + i, s, t, out + i, n - i);
}
#endif

}  // namespace

void vec_scalar_mul_add(const float* a, float s, float t, float* out, size_t n) {
#if defined(__x86_64__)
  if (cpu_has_avx512f()) return scalar_mul_add_avx512(a, s, t, out, n);
  if (cpu_has_avx2_fma()) return scalar_mul_add_avx2(a, s, t, out, n);
#endif
  scalar_mul_add_portable(a, s, t, out, n);
}

void vec_threshold(const float* a, float threshold, float* out, size_t n) {
  // A bit mask rather than a select: the select form is not if-converted.
  map_unary(a, out, n, [threshold](float x) {
    uint32_t keep = 0u - uint32_t(x >= threshold);
    return std::bit_cast<float>(std::bit_cast<uint32_t>(x) & keep);
  });
}

namespace {

// The steps are those of platform/vector_exp.h, in every form. With
// Shift each value first has `shift` added (one rounded addition), as
// vec_scalar_add would add it.
template <bool Shift>
void exp_portable(const float* a, float* out, size_t n, float shift) {
  size_t i = 0;
  // Blocks of eight, read before written (in place is safe).
  for (; i + kBlock <= n; i += kBlock) {
    float t[kBlock];
    for (size_t k = 0; k < kBlock; ++k) t[k] = vexp::exp_scalar(Shift ? a[i + k] + shift : a[i + k]);
    std::memcpy(out + i, t, sizeof t);
  }
  for (; i < n; ++i) out[i] = vexp::exp_scalar(Shift ? a[i] + shift : a[i]);
}

// Eight lanes at a time; the last few values go through a masked vector.
// The baseline build targets plain x86-64 (4 wide, no fused multiply-add),
// where the portable loop is several times slower.
template <bool Shift>
[[gnu::target("avx2,fma")]] void exp_avx2(const float* a, float* out, size_t n, float shift) {
  const __m256 s = _mm256_set1_ps(shift);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(a + i);
    _mm256_storeu_ps(out + i, vexp::exp_avx2(Shift ? _mm256_add_ps(x, s) : x));
  }
  if (i < n) {
    const int64_t rest = static_cast<int64_t>(n - i);
    const __m256 x = vexp::load_first(a + i, rest);
    vexp::store_first(out + i, rest, vexp::exp_avx2(Shift ? _mm256_add_ps(x, s) : x));
  }
}

// exp_avx2's steps sixteen lanes at a time, the same operations fused the
// same way, so every value has the AVX2 form's bits (2^n applied in one
// scaling: p 2^(n/2) is exact, so the one rounding of p 2^n is the second
// multiply's); what is left after the
// blocks of sixteen goes through exp_avx2 itself (its blocks of eight, then
// its scalar tail), so each position takes the same form as there. The
// zero-masked forms with every lane set are the plain instructions: g++ 12
// warns on the plain forms' undefined operand.
template <bool Shift>
[[gnu::target("avx512f,avx2,fma")]] void exp_avx512(const float* a, float* out, size_t n, float shift) {
  constexpr __mmask16 all = 0xFFFF;
  const __m512 s = _mm512_set1_ps(shift);
  const __m512 lo = _mm512_set1_ps(-104.0f), hi = _mm512_set1_ps(89.0f);
  const __m512 log2e = _mm512_set1_ps(1.44269504088896341f);
  const __m512 ln2_hi = _mm512_set1_ps(0.693359375f), ln2_lo = _mm512_set1_ps(-2.12194440e-4f);
  const __m512 round = _mm512_set1_ps(12582912.0f), one = _mm512_set1_ps(1.0f);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 x = Shift ? _mm512_add_ps(_mm512_loadu_ps(a + i), s) : _mm512_loadu_ps(a + i);
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
    const __m512 result = _mm512_maskz_scalef_ps(all, p, k);
    // NaN lanes pass x through (max/min above turned them into a bound).
    _mm512_storeu_ps(out + i, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, x, _CMP_ORD_Q), x, result));
  }
  exp_avx2<Shift>(a + i, out + i, n - i, shift);
}

using ExpLoop = void (*)(const float*, float*, size_t, float);

template <bool Shift>
ExpLoop exp_for_this_cpu() {
  return cpu_has_avx2_fma() ? (cpu_has_avx512f() ? &exp_avx512<Shift> : &exp_avx2<Shift>) : &exp_portable<Shift>;
}

}  // namespace

void vec_exp(const float* a, float* out, size_t n) { exp_for_this_cpu<false>()(a, out, n, 0.0f); }

void vec_exp_shifted(const float* a, float s, float* out, size_t n) { exp_for_this_cpu<true>()(a, out, n, s); }

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

float exp_approx(float x) { return vexp::exp_scalar(x); }

}  // namespace vorn
