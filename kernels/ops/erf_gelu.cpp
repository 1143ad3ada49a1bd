// Erf and Gelu: a rational approximation of erf on [-4, 4] that vectorises,
// or the math library's erff when vector math is switched off. An Erf in
// chain mode is the exported exact GELU (cpu/fusion_matmul_gelu.h), done in
// one pass with the same steps and roundings as its five nodes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "container/attr_words.h"
#include "kernels/ops/activation.h"
#include "kernels/ops/parallel_chunks.h"
#include "kernels/ops/spatial_common.h"
#include "platform/cpu_features.h"
#include "platform/vector_math.h"

VORN_VECTORIZE_FILE

namespace vorn {

namespace {

constexpr float kInvSqrt2 = 0.70710677f;
constexpr uint64_t kErfSplitElements = 16384;

// -1 until the environment has been read; benign race, every reader stores
// the same answer.
std::atomic<int> g_vmath{-1};

template <bool Gelu>
inline void erf_poly_loop(const float* x, float* y, int64_t first, int64_t end) {
  for (int64_t i = first; i < end; ++i)
    y[i] = Gelu ? x[i] * 0.5f * (erf_rational(x[i] * kInvSqrt2) + 1.0f) : erf_rational(x[i]);
}

#if defined(__x86_64__)
// The same loop on eight lanes. No FMA in the target: every multiply and add
// rounds on its own, so the lanes give the baseline loop's bits.
[[gnu::target("avx2")]] void erf_poly_loop_avx2(const float* x, float* y, int64_t first, int64_t end, bool gelu) {
  if (gelu)
    erf_poly_loop<true>(x, y, first, end);
  else
    erf_poly_loop<false>(x, y, first, end);
}
#endif

// The chain on one element: t = x / c, e = erf(t), u = e + 1, v = x * u,
// y = v * 0.5, each rounded as its node rounds it.
template <bool Vmath>
inline float gelu_chain_one(float x, float c) {
  const float t = x / c;
  const float e = Vmath ? erf_rational(t) : std::erf(t);
  const float u = e + 1.0f;
  const float v = x * u;
  return v * 0.5f;
}

template <bool Vmath>
void gelu_chain_loop(const float* x, float* y, int64_t first, int64_t end, float c) {
  for (int64_t i = first; i < end; ++i) y[i] = gelu_chain_one<Vmath>(x[i], c);
}

#if defined(__x86_64__)
// Contraction off for a function whose target has fused multiply-adds:
// GCC takes it as the function's optimize attribute, clang as a pragma at
// the top of its body.
#if defined(__clang__)
#define VORN_NO_CONTRACT
#define VORN_NO_CONTRACT_BODY _Pragma("clang fp contract(off)")
#else
#define VORN_NO_CONTRACT , gnu::optimize("fp-contract=off")
#define VORN_NO_CONTRACT_BODY
#endif

// erf_rational and the chain on vector lanes, operation for operation: no
// fused multiply-add (contraction is off where the target has one), and
// the clamps as max(-4, z) and min(4, z), which pass a NaN in z as the
// scalar selects do.
#define VORN_GELU_CHAIN_LANES(V, SET1, MAX, MIN)                                                    \
  const V z0 = t;                                                                                \
  const V z = MIN(SET1(4.0f), MAX(SET1(-4.0f), z0));                                             \
  const V z2 = z * z;                                                                            \
  V p = SET1(-2.72614237e-10f);                                                                  \
  p = p * z2 + SET1(2.77068146e-08f);                                                            \
  p = p * z2 - SET1(2.10102394e-06f);                                                            \
  p = p * z2 - SET1(5.69250624e-05f);                                                            \
  p = p * z2 - SET1(7.34990637e-04f);                                                            \
  p = p * z2 - SET1(2.95459991e-03f);                                                            \
  p = p * z2 - SET1(1.60960332e-02f);                                                            \
  V q = SET1(-1.45660715e-05f);                                                                  \
  q = q * z2 - SET1(2.13374049e-04f);                                                            \
  q = q * z2 - SET1(1.68282702e-03f);                                                            \
  q = q * z2 - SET1(7.37332925e-03f);                                                            \
  q = q * z2 - SET1(1.42647391e-02f);                                                            \
  const V e = z * p / q;

[[gnu::target("avx2") VORN_NO_CONTRACT]] void gelu_chain_avx2(const float* x, float* y,
                                                                              int64_t first, int64_t end,
                                                                              float c) {
  VORN_NO_CONTRACT_BODY
  const __m256 vc = _mm256_set1_ps(c);
  int64_t i = first;
  for (; i + 8 <= end; i += 8) {
    const __m256 xv = _mm256_loadu_ps(x + i);
    const __m256 t = xv / vc;
    VORN_GELU_CHAIN_LANES(__m256, _mm256_set1_ps, _mm256_max_ps, _mm256_min_ps)
    _mm256_storeu_ps(y + i, (xv * (e + _mm256_set1_ps(1.0f))) * _mm256_set1_ps(0.5f));
  }
  gelu_chain_loop<true>(x, y, i, end, c);
}

// max and min as compare and blend, with the operands' roles of maxps and
// minps (the second comes out when either is NaN).
#define VORN_MAX512(a, z) _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, z, _CMP_GT_OQ), z, a)
#define VORN_MIN512(a, z) _mm512_mask_blend_ps(_mm512_cmp_ps_mask(a, z, _CMP_LT_OQ), z, a)

[[gnu::target("avx512f") VORN_NO_CONTRACT]] void gelu_chain_avx512(const float* x, float* y,
                                                                                   int64_t first, int64_t end,
                                                                                   float c) {
  VORN_NO_CONTRACT_BODY
  const __m512 vc = _mm512_set1_ps(c);
  int64_t i = first;
  for (; i + 16 <= end; i += 16) {
    const __m512 xv = _mm512_loadu_ps(x + i);
    const __m512 t = xv / vc;
    VORN_GELU_CHAIN_LANES(__m512, _mm512_set1_ps, VORN_MAX512, VORN_MIN512)
    _mm512_storeu_ps(y + i, (xv * (e + _mm512_set1_ps(1.0f))) * _mm512_set1_ps(0.5f));
  }
  gelu_chain_loop<true>(x, y, i, end, c);
}
#undef VORN_MAX512
#undef VORN_MIN512
#undef VORN_GELU_CHAIN_LANES
#undef VORN_NO_CONTRACT
#undef VORN_NO_CONTRACT_BODY
#endif

void gelu_chain_range(const float* x, float* y, int64_t first, int64_t end, float c) {
  if (!cpu_vmath_enabled()) return gelu_chain_loop<false>(x, y, first, end, c);
#if defined(__x86_64__)
  if (cpu_has_avx512f() && cpu_has_avx2_fma()) return gelu_chain_avx512(x, y, first, end, c);
  if (cpu_has_avx2_fma()) return gelu_chain_avx2(x, y, first, end, c);
#endif
  gelu_chain_loop<true>(x, y, first, end, c);
}

}  // namespace

bool cpu_vmath_enabled() {
  int v = g_vmath.load(std::memory_order_relaxed);
  if (v < 0) {
    const char* e = std::getenv("VORN_CPU_VMATH");
    v = (e != nullptr && std::atoi(e) == 0) ? 0 : 1;
    g_vmath.store(v, std::memory_order_relaxed);
  }
  return v != 0;
}

void erf_gelu_range(const float* x, float* y, int64_t first, int64_t end, bool gelu) {
  if (!cpu_vmath_enabled()) {
    for (int64_t i = first; i < end; ++i)
      y[i] = gelu ? x[i] * 0.5f * (std::erf(x[i] * kInvSqrt2) + 1.0f) : std::erf(x[i]);
    return;
  }
#if defined(__x86_64__)
  if (cpu_has_avx2_fma()) {
    erf_poly_loop_avx2(x, y, first, end, gelu);
    return;
  }
#endif
  if (gelu)
    erf_poly_loop<true>(x, y, first, end);
  else
    erf_poly_loop<false>(x, y, first, end);
}

namespace {

bool unary_check(const CpuState& s, const NodeRecord& n, char* msg, size_t cap) {
  if (!kern::has_io(s, n)) return kern::fail(msg, cap, "needs input and output");
  const int64_t c = kern::value_count(node_in_value(s, n, 0));
  if (c < 0 || kern::value_count(node_out_value(s, n, 0)) != c)
    return kern::fail(msg, cap, "output must match the input's size");
  return true;
}

bool unary_run(CpuState& s, const NodeRecord& n, bool gelu) {
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const int64_t count = kern::value_count(node_in_value(s, n, 0));
  // Every element rounds alike in the vector loop and its scalar tail, so
  // the chunks' edges change no bits.
  for_chunks(static_cast<uint64_t>(count), kErfSplitElements, [&](uint64_t begin, uint64_t end) {
    erf_gelu_range(x, y, static_cast<int64_t>(begin), static_cast<int64_t>(end), gelu);
  });
  return true;
}

}  // namespace

bool erf_prepare(const CpuState& s, const NodeRecord& n, NodePlan&, char* msg, size_t cap) { return unary_check(s, n, msg, cap); }
bool erf_kernel(CpuState& s, const NodeRecord& n, const NodePlan&) {
  if (n.attr(attr::Erf::kMode) != attr::Erf::kGeluChain) return unary_run(s, n, false);
  const float* x = node_in(s, n, 0);
  float* y = node_out(s, n, 0);
  const auto bits = static_cast<uint32_t>(n.attr(attr::Erf::kParam));
  float c;
  std::memcpy(&c, &bits, 4);
  for_chunks(static_cast<uint64_t>(kern::value_count(node_in_value(s, n, 0))), kErfSplitElements, [&](uint64_t begin, uint64_t end) {
    gelu_chain_range(x, y, static_cast<int64_t>(begin), static_cast<int64_t>(end), c);
  });
  return true;
}
bool gelu_prepare(const CpuState& s, const NodeRecord& n, NodePlan&, char* msg, size_t cap) { return unary_check(s, n, msg, cap); }
bool gelu_kernel(CpuState& s, const NodeRecord& n, const NodePlan&) { return unary_run(s, n, true); }

}  // namespace vorn
