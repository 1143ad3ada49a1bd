// "attention_decode64": one token, head dim 64, one threadgroup of 128
// threads per (b, query head). Lanes take channels l and l + 32 of a key;
// SIMD group s takes keys s, s + 4, ...; the softmax reduces by SIMD groups;
// each group accumulates its keys' weighted values, and the four partial
// sums are combined as (p0 + p1) + (p2 + p3).
//
// The kernel runs its whole grid (platform/compute_kernel.h), so that the
// query heads of one key head read its keys and values from memory once and
// a handful of groups still fills every worker. Its stages are the group's
// own phases: the scores of blocks of keys (each block for all the query
// heads of its key head), the softmax of each head, the weighted values of
// each SIMD group (for all the heads of a key head, half the channels at a
// time, the heads sharing each row as it is read), and the combination of
// the four SIMD groups' sums. Each score, maximum, sum and channel is
// computed as the single group computes it, in the same order.
#include <cmath>

#include "gpu/shaders/attention_common.h"
#include "gpu/shaders/attention_decode_avx2.h"
#include "platform/float_exp.h"

namespace vorn::shaders {

namespace {

using namespace attention_common;

constexpr uint64_t kD = kDecodeHeadDim;
constexpr uint32_t kLanes = mtl::kSimdWidth;
// Keys of one scores part: its rows stay in the first-level cache while
// each query head of the key head reads them (the first fetches them).
constexpr uint64_t kKeyBlock = 128;
// Channels of one values part.
constexpr uint64_t kChannelBlock = 32;

// Raw dot products of q with keys k[0..n): the lanes of key j, then their
// SIMD-group sum.
template <class A>
void dot_products(bool vector, const float* qf, const A* k, uint64_t n, float* out, bool fetch) {
#if defined(__x86_64__)
  if (vector) return decode_avx2::scores(qf, k, n, out, fetch);
#endif
  (void)vector;
  (void)fetch;
  float row[kD];
  for (uint64_t j = 0; j < n; ++j) {
    widen(k + j * kD, row, kD);
    float lanes[kLanes];
    for (uint32_t l = 0; l < kLanes; ++l) lanes[l] = qf[l] * row[l] + qf[l + kLanes] * row[l + kLanes];
    out[j] = simd_sum(lanes);
  }
}

// For each of the heads h < n: acc[h * kSimdGroups * kD + c] for c <
// kChannelBlock, the sum over keys j = s, s + 4, ... below total of
// p[h * total + j] v[j, c0 + c], in key order.
template <class A>
void group_values(bool vector, const float* p, uint64_t n, const A* v, uint64_t c0, uint32_t s, uint64_t total,
                  float* acc) {
  constexpr uint64_t kAccStride = kSimdGroups * kD;
#if defined(__x86_64__)
  if (vector) {
    // Three heads at a time: their twelve sums fill the registers.
    for (; n >= 3; n -= 3, p += 3 * total, acc += 3 * kAccStride)
      decode_avx2::group_values<A, 3>(p, total, v + c0, s, total, acc, kAccStride);
    if (n == 2) decode_avx2::group_values<A, 2>(p, total, v + c0, s, total, acc, kAccStride);
    if (n == 1) decode_avx2::group_values<A, 1>(p, total, v + c0, s, total, acc, kAccStride);
    return;
  }
#endif
  (void)vector;
  static_assert(kChannelBlock == 32, "the vector form sums 32 channels");
  float vr[kChannelBlock];
  for (uint64_t h = 0; h < n; ++h) {
    float* out = acc + h * kAccStride;
    for (uint64_t c = 0; c < kChannelBlock; ++c) out[c] = 0;
    for (uint64_t j = s; j < total; j += kSimdGroups) {
      widen(v + j * kD + c0, vr, kChannelBlock);
      for (uint64_t c = 0; c < kChannelBlock; ++c) out[c] = out[c] + p[h * total + j] * vr[c];
    }
  }
}

// Stage 2 for one head's row of scores: the maximum by SIMD groups, each
// exponential once, the sum by SIMD groups, and the probabilities rounded.
template <class A>
void softmax_row(float* scores, uint64_t total) {
  float group_max[kSimdGroups];
  for (uint32_t s = 0; s < kSimdGroups; ++s) group_max[s] = -INFINITY;
  for (uint64_t j0 = 0; j0 < total; j0 += kSimdGroups)
    for (uint32_t s = 0; s < kSimdGroups && j0 + s < total; ++s)
      group_max[s] = keep_max(group_max[s], scores[j0 + s]);
  float max = group_max[0];
  for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group_max[s]);
  for (uint64_t j = 0; j < total; ++j) scores[j] = scores[j] - max;
  exp_float_n(scores, scores, total);
  float group_sum[kSimdGroups] = {};
  for (uint64_t j0 = 0; j0 < total; j0 += kSimdGroups)
    for (uint32_t s = 0; s < kSimdGroups && j0 + s < total; ++s) group_sum[s] = group_sum[s] + scores[j0 + s];
  const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
  for (uint64_t j = 0; j < total; ++j) scores[j] = scores[j] / sum;
  round_n<A>(scores, total);
}

}  // namespace

template <class A>
void attention_decode64(const mtl::KernelArgs& a) {
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kD, 1, p.keys, p.kv_stride, p.causal == 1};
  const uint64_t batch = a.groups.width / sh.hq, group = sh.group_heads(), total = sh.total;
  const uint64_t blocks = (total + kKeyBlock - 1) / kKeyBlock;
  const A* q = a.buffer<const A>(0);
  const A* k = a.buffer<const A>(1);
  const A* v = a.buffer<const A>(4);
  const A* mask = a.buffer<const A>(5);
  A* y = a.buffer<A>(2);
  const bool vector = vector_form() != VectorForm::kPortable;
  // The groups' threadgroup memory: each head's row of scores (then
  // probabilities), and each head's four SIMD-group sums of 64 channels.
  ScratchLease memory = stage_memory(a, batch * sh.hq * (total + kSimdGroups * kD));
  if (memory.data() == nullptr) return;
  float* scores = memory.data();
  float* partial = scores + batch * sh.hq * total;
  const uint64_t work = batch * sh.hq * total * kD;

  // Scores: a block of keys of one key head, for each of its query heads.
  run_stage(batch * sh.hk * blocks, work, [&](uint64_t part) {
    with_vector_forms([&] {
      const uint64_t j0 = part % blocks * kKeyBlock, bk = part / blocks, b = bk / sh.hk, kh = bk % sh.hk;
      const uint64_t n = total - j0 < kKeyBlock ? total - j0 : kKeyBlock;
      float m[kKeyBlock];
      if (!sh.causal) widen(mask + b * total + j0, m, n);
      for (uint64_t head = kh * group; head < (kh + 1) * group; ++head) {
        float qf[kD];
        widen(q + (b * sh.hq + head) * kD, qf, kD);
        float* out = scores + (b * sh.hq + head) * total + j0;
        dot_products(vector, qf, kv_row(k, sh, b, kh, j0), n, out, head == kh * group);
        round_n<A>(out, n);
        for (uint64_t j = 0; j < n; ++j) out[j] = out[j] * 0.125f;
        round_n<A>(out, n);
        if (!sh.causal) {
          for (uint64_t j = 0; j < n; ++j) out[j] = out[j] + m[j];
          round_n<A>(out, n);
        }
      }
    });
  });
  // Softmax, one head at a time.
  run_stage(batch * sh.hq, work / kD * 8, [&](uint64_t row) {
    with_vector_forms([&] { softmax_row<A>(scores + row * total, total); });
  });
  // Weighted values: SIMD group s of every query head of a key head, over
  // one block of channels.
  constexpr uint64_t kChannelBlocks = kD / kChannelBlock;
  run_stage(batch * sh.hk * kSimdGroups * kChannelBlocks, work, [&](uint64_t part) {
    with_vector_forms([&] {
      const uint64_t c0 = part % kChannelBlocks * kChannelBlock;
      const uint32_t s = uint32_t(part / kChannelBlocks % kSimdGroups);
      const uint64_t bk = part / (kChannelBlocks * kSimdGroups), b = bk / sh.hk, kh = bk % sh.hk;
      const A* vh = kv_row(v, sh, b, kh, 0);
      const uint64_t z = b * sh.hq + kh * group;
      group_values(vector, scores + z * total, group, vh, c0, s, total, partial + (z * kSimdGroups + s) * kD + c0);
    });
  });
  // Each output channel from the four SIMD groups' sums.
  for (uint64_t z = 0; z < batch * sh.hq; ++z) {
    const float* acc = partial + z * kSimdGroups * kD;
    for (uint64_t c = 0; c < kD; ++c)
      y[z * kD + c] = from_float<A>((acc[c] + acc[kD + c]) + (acc[2 * kD + c] + acc[3 * kD + c]));
  }
}

template <class A>
bool attention_decode64_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kD, 1, p.keys, p.kv_stride, p.causal == 1};
  if (!heads_check(sh, e)) return false;
  if (sh.total > kAttentionMaxKeys) return mtl::kernel_refuse("total above 2048 keys", e);
  if (a.groups.height != 1 || a.groups.depth != 1 || a.groups.width % sh.hq != 0)
    return mtl::kernel_refuse("grid is not batch x query heads groups", e);
  const uint64_t batch = a.groups.width / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 4, 5, e) &&
         require_elements(a, 2, mtl::sat_mul(mtl::sat_mul(batch, sh.hq), kD), sizeof(A), e);
}

VORN_INSTANTIATE_GRID_KERNEL(attention_decode64)

}  // namespace vorn::shaders
