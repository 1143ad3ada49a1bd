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

// The steps are those of platform/vector_exp.h, in every form.
void exp_portable(const float* a, float* out, size_t n) {
  size_t i = 0;
  // Blocks of eight, read before written (in place is safe).
  for (; i + kBlock <= n; i += kBlock) {
    float t[kBlock];
    for (size_t k = 0; k < kBlock; ++k) t[k] = vexp::exp_scalar(a[i + k]);
    std::memcpy(out + i, t, sizeof t);
  }
  for (; i < n; ++i) out[i] = vexp::exp_scalar(a[i]);
}

// Eight lanes at a time; the last few values go through a masked vector.
// The baseline build targets plain x86-64 (4 wide, no fused multiply-add),
// where the portable loop is several times slower.
[[gnu::target("avx2,fma")]] void exp_avx2(const float* a, float* out, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(out + i, vexp::exp_avx2(_mm256_loadu_ps(a + i)));
  if (i < n) {
    const int64_t rest = static_cast<int64_t>(n - i);
    vexp::store_first(out + i, rest, vexp::exp_avx2(vexp::load_first(a + i, rest)));
  }
}

using ExpLoop = void (*)(const float*, float*, size_t);

ExpLoop exp_for_this_cpu() {
  return cpu_has_avx2_fma() ? &exp_avx2 : &exp_portable;
}

}  // namespace

void vec_exp(const float* a, float* out, size_t n) { exp_for_this_cpu()(a, out, n); }

void vec_exp_portable(const float* a, float* out, size_t n) { exp_portable(a, out, n); }

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
