// What every kernel of the generative engine shares: the activation types,
// Q8 weight elements and the reductions across a SIMD group (the parameter
// structs are in kernel_params.h).
//
// The activation type A is `half` or `float`. A half value is stored as 16
// bits and computed in float; `round_to<A>` is the one place a float is
// rounded to the activation type, so every rounding point of a kernel reads
// as a call. These files are compiled with floating-point contraction off
// and without fast math: a multiply followed by an add stays two roundings.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "gpu/shaders/kernel_params.h"
#include "platform/compute_kernel.h"
#include "platform/cpu_features.h"
#include "platform/half.h"

namespace vorn::shaders {

struct half {
  uint16_t bits;
};
static_assert(sizeof(half) == 2);

inline float to_float(half h) { return half_to_float(h.bits); }
inline float to_float(float f) { return f; }

template <class A>
A from_float(float f);
template <>
inline half from_float<half>(float f) {
  return half{float_to_half(f)};
}
template <>
inline float from_float<float>(float f) {
  return f;
}

// float(A(v)): v rounded to the activation type and read back.
template <class A>
inline float round_to(float v) {
  return to_float(from_float<A>(v));
}

// Masked score: the most negative finite value of the activation type.
template <class A>
inline constexpr float kMaskedScore = -65504.0f;
template <>
inline constexpr float kMaskedScore<float> = -3.402823466e38f;

// Q8 weights: rows of 68-byte blocks, 64 signed bytes then an f32 scale.
constexpr uint64_t kQ8BlockValues = 64;
constexpr uint64_t kQ8BlockBytes = 68;

// Weight element (row, column) of a Q8 weight with row_bytes per row: the
// byte times its block's scale in float, rounded once to half.
inline float q8_element(const uint8_t* w, uint64_t row_bytes, uint64_t row, uint64_t column) {
  const uint8_t* block = w + row * row_bytes + (column / kQ8BlockValues) * kQ8BlockBytes;
  float scale;
  std::memcpy(&scale, block + kQ8BlockValues, sizeof scale);
  return round_to<half>(float(int8_t(block[column % kQ8BlockValues])) * scale);
}

// Threads of a "row" kernel's threadgroup and its SIMD groups.
constexpr uint32_t kRowThreads = 128;
constexpr uint32_t kSimdGroups = kRowThreads / mtl::kSimdWidth;

// Sum across the 32 lanes of a SIMD group by halving: lane l adds lane
// l + 16, then l + 8, ... (the order every lane of a butterfly ends with).
inline float simd_sum(const float* lanes) {
  float v[mtl::kSimdWidth];
  for (uint32_t l = 0; l < mtl::kSimdWidth; ++l) v[l] = lanes[l];
  for (uint32_t half_width = mtl::kSimdWidth / 2; half_width > 0; half_width /= 2)
    for (uint32_t l = 0; l < half_width; ++l) v[l] = v[l] + v[l + half_width];
  return v[0];
}

inline float simd_max(const float* lanes) {
  float v[mtl::kSimdWidth];
  for (uint32_t l = 0; l < mtl::kSimdWidth; ++l) v[l] = lanes[l];
  for (uint32_t half_width = mtl::kSimdWidth / 2; half_width > 0; half_width /= 2)
    for (uint32_t l = 0; l < half_width; ++l) v[l] = v[l] > v[l + half_width] ? v[l] : v[l + half_width];
  return v[0];
}

// Checks shared by the kernels: the parameter block bound whole, and buffer
// index holding count elements of size bytes each.
inline bool require_params(const mtl::KernelArgs& a, std::string* e) {
  return mtl::kernel_require(a, kParamsIndex, kParamsBytes, e);
}
inline bool require_elements(const mtl::KernelArgs& a, uint32_t index, uint64_t count, uint64_t size,
                             std::string* e) {
  return mtl::kernel_require(a, index, mtl::sat_mul(count, size), e);
}

// Threads of a "thread" kernel's group along x, as [begin, end).
struct ThreadRange {
  uint64_t begin, end;
};
inline ThreadRange threads_of(const mtl::KernelArgs& a, mtl::Size3 g) {
  return ThreadRange{a.thread_begin_x(g.width), a.thread_end_x(g.width)};
}

}  // namespace vorn::shaders

namespace vorn::shaders {

// Runs body(i) for the threads of group g below count: the guard every
// one-thread-per-element kernel starts with.
template <class F>
inline void for_each_thread(const mtl::KernelArgs& a, mtl::Size3 g, uint64_t count, F&& body) {
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = t.end < count ? t.end : count;
  for (uint64_t i = t.begin; i < end; ++i) body(i);
}

}  // namespace vorn::shaders

namespace vorn::shaders {

// The widest form a kernel may take now, asked once per dispatch from the
// process's record of instruction sets (platform/cpu_features.h; tests
// narrow it with IsaCap). Every form gives the same bits.
enum class VectorForm { kPortable, kAvx2, kAvx512 };
inline VectorForm vector_form() {
  if (!cpu_has_avx2_f16c() || !cpu_has_avx2_fma()) return VectorForm::kPortable;
  return cpu_has_avx512f() ? VectorForm::kAvx512 : VectorForm::kAvx2;
}

#if defined(__x86_64__)
// Everything body calls is inlined here and compiled for AVX2, so its loops
// vectorise 8 wide; the arithmetic of each element stays the same.
template <class F>
__attribute__((target("avx2,f16c"), flatten)) void run_avx2(const F& body) {
  body();
}
#endif

// Runs body in its AVX2 form when the record allows one, else in the
// portable form. Both give the same bits.
template <class F>
inline void with_vector_forms(const F& body) {
#if defined(__x86_64__)
  if (cpu_has_avx2_f16c()) return run_avx2(body);
#endif
  body();
}

}  // namespace vorn::shaders

namespace vorn::shaders {

// Elements of a thread kernel handled together: a block is widened to float
// in one call (the platform's vector conversion), computed, and narrowed in
// one call. The values are those of element-by-element conversion.
constexpr uint64_t kElementBlock = 256;

template <class A>
inline void widen_n(const A* src, float* dst, uint64_t n) {
  if constexpr (sizeof(A) == 2)
    half_to_float_n(&src[0].bits, dst, n);
  else
    std::memcpy(dst, src, n * sizeof(float));
}

template <class A>
inline void narrow_n(const float* src, A* dst, uint64_t n) {
  if constexpr (sizeof(A) == 2)
    float_to_half_n(src, &dst[0].bits, n);
  else
    std::memcpy(dst, src, n * sizeof(float));
}

// v[j] = round_to<A>(v[j]) for j < n.
template <class A>
inline void round_n(float* v, uint64_t n) {
  if constexpr (sizeof(A) == 2) {
    A block[kElementBlock];
    for (uint64_t j = 0; j < n; j += kElementBlock) {
      const uint64_t m = n - j < kElementBlock ? n - j : kElementBlock;
      narrow_n(v + j, block, m);
      widen_n(block, v + j, m);
    }
  }
}

// b[(i0 + j) mod nb] for j < n, widened: the broadcast operand of a block.
template <class A>
inline void widen_cyclic(const A* b, uint64_t nb, uint64_t i0, float* dst, uint64_t n) {
  A gathered[kElementBlock] = {};
  uint64_t k = i0 % nb;
  for (uint64_t j = 0; j < n; ++j) {
    gathered[j] = b[k];
    if (++k == nb) k = 0;
  }
  widen_n(gathered, dst, n);
}

// Runs body(i0, n) over the group's threads below count in blocks of at
// most kElementBlock.
template <class F>
inline void for_each_block(const mtl::KernelArgs& a, mtl::Size3 g, uint64_t count, F&& body) {
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = t.end < count ? t.end : count;
  for (uint64_t i0 = t.begin; i0 < end; i0 += kElementBlock)
    body(i0, end - i0 < kElementBlock ? end - i0 : kElementBlock);
}

}  // namespace vorn::shaders
