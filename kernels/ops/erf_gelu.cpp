// Erf and Gelu: a rational approximation of erf on [-4, 4] that vectorises,
// or the math library's erff when vector math is switched off.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>

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
bool erf_kernel(CpuState& s, const NodeRecord& n, const NodePlan&) { return unary_run(s, n, false); }
bool gelu_prepare(const CpuState& s, const NodeRecord& n, NodePlan&, char* msg, size_t cap) { return unary_check(s, n, msg, cap); }
bool gelu_kernel(CpuState& s, const NodeRecord& n, const NodePlan&) { return unary_run(s, n, true); }

}  // namespace vorn
