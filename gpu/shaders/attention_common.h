// What the attention kernels share: the shape they read from their
// parameters, the mask term, where a key or value row lies, and the checks
// of q, K, V and mask bindings.
//
// Shapes: q [b, s, hq d] token-major; K and V [b, hk, stride, d] head-major
// with `stride` rows reserved per head; query head h reads key head
// h / (hq / hk). Scores are scaled by 1/sqrt(d) and masked either by the
// causal rule (key column c hidden from query row r when c > total - s + r)
// or by a mask [b, 1, s, total]. The mask row of a score belongs to the
// batch entry, not to the (batch, head) pair the score rows are counted by.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "gpu/shaders/kernels.h"
#include "platform/float_exp.h"
#include "platform/parallel.h"
#include "platform/scratch_pool.h"
#include "platform/thread_kept.h"

namespace vorn::shaders::attention_common {

constexpr uint32_t kMaxHeadDim = 256;

struct Shape {
  uint64_t hq, hk, d, s, total, stride;
  bool causal;
  uint64_t group_heads() const { return hq / hk; }
  // Key columns query row r sees under the causal rule: c <= total - s + r.
  uint64_t visible(uint64_t r) const { return total - s + r + 1; }
};

inline Shape shape_of(const AttentionParams& p) {
  return Shape{p.query_heads, p.kv_heads, p.head_dim, p.queries, p.keys, p.kv_stride, p.causal == 1};
}

inline float inverse_sqrt(uint64_t d) { return 1.0f / std::sqrt(float(d)); }

// A running maximum that passes over NaN, as fmax does; it may keep the
// other zero where fmax would not, which no caller can see (the maximum is
// only subtracted before an exponential).
inline float keep_max(float m, float x) { return x > m ? x : m; }

template <class A>
float mask_term(const Shape& sh, const A* mask, uint64_t b, uint64_t r, uint64_t c) {
  if (sh.causal) return int64_t(c) > int64_t(sh.total) - int64_t(sh.s) + int64_t(r) ? kMaskedScore<A> : 0.0f;
  return to_float(mask[(b * sh.s + r) * sh.total + c]);
}

// The row of key or value j of key head kh in batch b.
template <class A>
const A* kv_row(const A* base, const Shape& sh, uint64_t b, uint64_t kh, uint64_t j) {
  return base + ((b * sh.hk + kh) * sh.stride + j) * sh.d;
}

template <class A>
void widen(const A* src, float* dst, uint64_t n) {
  if constexpr (sizeof(A) == 2)
    half_to_float_n(&src[0].bits, dst, n);
  else
    std::memcpy(dst, src, n * sizeof(float));
}

// exp(x) is exactly +0 below this (platform/float_exp.h rounds everything
// under -103.97 to +0).
constexpr float kExpIsZero = -104.0f;

// Softmax of one row of n scores in place, in the order of a threadgroup of
// kRowThreads threads: the maximum by SIMD groups, then exp(v - max) summed
// by SIMD groups and combined as (t0 + t1) + (t2 + t3). Thread t holds
// columns t, t + 128, ...: a block of 128 columns is one step of every
// thread, so the threads' running maxima and sums are vector lanes taken in
// the same order.
//
// Columns from `visible` on hold masked scores. When none of them is NaN
// and the largest lies more than 104 below the row's maximum, each of their
// exponentials is exactly +0: adding them changes no sum (the sums start at
// +0 and never become -0) and each of their probabilities is 0 / sum. The
// row then skips their exponentials and stores that quotient for all of
// them, the bits the full row gives. Run inside with_vector_forms.
template <class A>
inline void softmax_row(A* v, uint64_t n, uint64_t visible) {
  // A float row is read and written where it lies; a half row goes through
  // `block` in float.
  constexpr bool kFloat = sizeof(A) == sizeof(float);
  float lanes[kRowThreads], block[kRowThreads];
  auto row = [&](uint64_t j0, uint64_t m) -> const float* {
    if constexpr (kFloat) {
      (void)m;
      return reinterpret_cast<const float*>(v) + j0;
    } else {
      widen_n(v + j0, block, m);
      return block;
    }
  };
  for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = -INFINITY;
  for (uint64_t j0 = 0; j0 < n; j0 += kRowThreads) {
    const uint64_t m = n - j0 < kRowThreads ? n - j0 : kRowThreads;
    const float* x = row(j0, m);
    for (uint64_t t = 0; t < m; ++t) lanes[t] = keep_max(lanes[t], x[t]);
  }
  float group_max[kSimdGroups];
  for (uint32_t s = 0; s < kSimdGroups; ++s) group_max[s] = simd_max(lanes + s * mtl::kSimdWidth);
  float max = group_max[0];
  for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group_max[s]);
  uint64_t live = n;
  if (visible < n) {
    float masked_max = -INFINITY;
    bool nan = false;
    for (uint64_t j0 = visible; j0 < n; j0 += kRowThreads) {
      const uint64_t m = n - j0 < kRowThreads ? n - j0 : kRowThreads;
      const float* x = row(j0, m);
      for (uint64_t t = 0; t < m; ++t) {
        masked_max = keep_max(masked_max, x[t]);
        nan = nan || x[t] != x[t];
      }
    }
    if (!nan && masked_max - max < kExpIsZero) live = visible;
  }
  // exp(v[j] - max) for the block of columns from j0, into `block`.
  auto exps = [&](uint64_t j0, uint64_t m) {
    const float* x = row(j0, m);
    for (uint64_t t = 0; t < m; ++t) block[t] = x[t] - max;
    exp_float_n(block, block, m);
  };
  // A float row keeps its exponentials in place for the normalisation; a
  // half row cannot hold them, and computes them again.
  for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = 0;
  for (uint64_t j0 = 0; j0 < live; j0 += kRowThreads) {
    const uint64_t m = live - j0 < kRowThreads ? live - j0 : kRowThreads;
    if constexpr (kFloat) {
      float* x = reinterpret_cast<float*>(v) + j0;
      for (uint64_t t = 0; t < m; ++t) block[t] = x[t] - max;
      exp_float_n(block, x, m);
      for (uint64_t t = 0; t < m; ++t) lanes[t] = lanes[t] + x[t];
    } else {
      exps(j0, m);
      for (uint64_t t = 0; t < m; ++t) lanes[t] = lanes[t] + block[t];
    }
  }
  float group_sum[kSimdGroups];
  for (uint32_t s = 0; s < kSimdGroups; ++s) group_sum[s] = simd_sum(lanes + s * mtl::kSimdWidth);
  const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
  if constexpr (kFloat) {
    float* x = reinterpret_cast<float*>(v);
    for (uint64_t j = 0; j < live; ++j) x[j] = x[j] / sum;
  } else {
    for (uint64_t j0 = 0; j0 < live; j0 += kRowThreads) {
      const uint64_t m = live - j0 < kRowThreads ? live - j0 : kRowThreads;
      exps(j0, m);
      for (uint64_t t = 0; t < m; ++t) block[t] = block[t] / sum;
      narrow_n(block, v + j0, m);
    }
  }
  if (live < n) {
    const A zero = from_float<A>(0.0f / sum);
    std::fill(v + live, v + n, zero);
  }
}

// Checks shared by the kernels that read q, K and V.
inline bool heads_check(const Shape& sh, std::string* e) {
  if (sh.hq == 0 || sh.hk == 0 || sh.hq % sh.hk != 0)
    return mtl::kernel_refuse("query heads must be a multiple of key heads", e);
  if (sh.d == 0 || sh.d > kMaxHeadDim) return mtl::kernel_refuse("head dim must be 1 to 256", e);
  if (sh.total == 0 || sh.s == 0) return mtl::kernel_refuse("no query rows or keys", e);
  if (sh.stride < sh.total) return mtl::kernel_refuse("KV stride below total", e);
  return true;
}

template <class A>
bool qkv_check(const mtl::KernelArgs& a, const Shape& sh, uint64_t batch, uint32_t q_index, uint32_t k_index,
               uint32_t v_index, uint32_t mask_index, std::string* e) {
  using mtl::sat_mul;
  const uint64_t kv = sat_mul(sat_mul(batch, sh.hk), sat_mul(sh.stride, sh.d));
  return require_elements(a, q_index, sat_mul(sat_mul(batch, sh.s), sat_mul(sh.hq, sh.d)), sizeof(A), e) &&
         require_elements(a, k_index, kv, sizeof(A), e) && require_elements(a, v_index, kv, sizeof(A), e) &&
         (sh.causal ||
          require_elements(a, mask_index, sat_mul(sat_mul(batch, sh.s), sh.total), sizeof(A), e));
}

// Float scratch that a grid kernel's stages share (the threadgroup memory
// of all its groups), from the reusable pool: null, with the dispatch
// failed, when the memory cannot be had.
inline ScratchLease stage_memory(const mtl::KernelArgs& a, size_t floats) {
  try {
    return ScratchLease(floats);
  } catch (const std::bad_alloc&) {
    a.fault_out_of_memory();
    return ScratchLease();
  }
}

// Float scratch of at least `floats` that stays with the calling thread
// from one part of a stage to the next and from one kernel to the next, for
// what a part writes and reads alone: its writes go to lines this core's
// caches hold, where a lease from the shared pool may be lines another
// worker left modified in its own. Valid until the thread's next call; the
// thread keeps the largest it has needed. A thread that cannot keep memory
// leases `fallback` for this one call instead. Null, with the dispatch
// failed, when the memory cannot be had.
struct HeldScratch {
  ScratchLease lease;
  size_t capacity = 0;
};

inline float* thread_memory(const mtl::KernelArgs& a, size_t floats, ScratchLease& fallback) {
  floats = std::max<size_t>(floats, 1);
  HeldScratch* held = ThreadKept<HeldScratch>::get();
  if (held == nullptr) {
    fallback = stage_memory(a, floats);
    return fallback.data();
  }
  if (held->capacity < floats) {
    held->lease = ScratchLease();
    held->lease = stage_memory(a, floats);
    held->capacity = held->lease.data() != nullptr ? floats : 0;
  }
  return held->lease.data();
}

// One stage of a grid kernel: body(part) for every part, on the team's
// threads when there is enough work (work: about the multiply-adds of the
// stage) to pay for a barrier, else on the calling thread. Where a part
// runs changes nothing it computes.
template <class F>
void run_stage(uint64_t parts, uint64_t work, const F& body) {
  constexpr uint64_t kParallelWork = 16384;
  if (parts > 1 && work >= kParallelWork) {
    parallel_for(parts, body);
  } else {
    for (uint64_t part = 0; part < parts; ++part) body(part);
  }
}

}  // namespace vorn::shaders::attention_common
