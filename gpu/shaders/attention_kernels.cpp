// Attention's row kernels: the scaling and masking of scores made elsewhere
// ("attention_scale_mask"), the softmax of score rows ("attention_softmax")
// and the single-kernel rows ("attention"). The tiled path's products are
// in attention_tiles.cpp, the decode kernel in attention_decode.cpp; the
// shapes they share are described in attention_common.h.
#include <algorithm>
#include <cmath>

#include "gpu/shaders/attention_common.h"
#include "platform/float_exp.h"

namespace vorn::shaders {

namespace {

using namespace attention_common;
using mtl::sat_mul;

}  // namespace

// Element (z, r, c) of [batch x heads, s, total] scores (the heads are
// query_heads, total is keys). The group's elements are walked as
// pieces of score rows, a block at a time; each element is computed alone,
// so any cut gives the same bits.
template <class A>
void attention_scale_mask(const mtl::KernelArgs& a, mtl::Size3 g) {
  const AttentionParams& p = params<Kernel::attention_scale_mask>(a);
  const Shape sh{p.query_heads, p.query_heads, p.head_dim, p.queries, p.keys, p.keys, p.causal == 1};
  const uint64_t count = uint64_t(p.batch) * sh.hq * sh.s * sh.total;
  const float scale = inverse_sqrt(sh.d);
  const A* x = a.buffer<const A>(0);
  const A* mask = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = t.end < count ? t.end : count;
  with_vector_forms([&] {
    float v[kElementBlock], m[kElementBlock];
    for (uint64_t i = t.begin; i < end;) {
      const uint64_t c = i % sh.total, row = i / sh.total, r = row % sh.s, z = row / sh.s;
      uint64_t n = sh.total - c < end - i ? sh.total - c : end - i;
      if (n > kElementBlock) n = kElementBlock;
      widen_n(x + i, v, n);
      for (uint64_t j = 0; j < n; ++j) v[j] = v[j] * scale;
      round_n<A>(v, n);
      if (sh.causal) {
        // Column c + j is hidden when c + j > total - s + r.
        const int64_t last = int64_t(sh.total) - int64_t(sh.s) + int64_t(r) - int64_t(c);
        for (uint64_t j = 0; j < n; ++j) m[j] = int64_t(j) > last ? kMaskedScore<A> : 0.0f;
      } else {
        widen_n(mask + ((z / sh.hq) * sh.s + r) * sh.total + c, m, n);
      }
      for (uint64_t j = 0; j < n; ++j) v[j] = v[j] + m[j];
      narrow_n(v, y + i, n);
      i += n;
    }
  });
}

template <class A>
bool attention_scale_mask_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const AttentionParams& p = params<Kernel::attention_scale_mask>(a);
  if (p.query_heads == 0 || p.head_dim == 0) return mtl::kernel_refuse("heads and head dim must be non-zero", e);
  const uint64_t rows = sat_mul(p.batch, p.queries);
  const uint64_t count = sat_mul(sat_mul(rows, p.query_heads), p.keys);
  return require_elements(a, 0, count, sizeof(A), e) && require_elements(a, 2, count, sizeof(A), e) &&
         (p.causal == 1 || require_elements(a, 1, sat_mul(rows, p.keys), sizeof(A), e));
}

// One threadgroup per row of `keys` scores, normalised in place by
// softmax_row (attention_common.h). Under the causal rule (causal set, rows
// counted as (z, r) over `queries` query rows) the columns past a row's last
// visible one hold masked scores.
template <class A>
void attention_softmax(const mtl::KernelArgs& a, mtl::Size3 g) {
  const AttentionParams& p = params<Kernel::attention_softmax>(a);
  const uint64_t n = p.keys;
  A* v = a.buffer<A>(0) + g.width * n;
  const bool causal = p.causal == 1 && p.queries != 0 && p.queries <= n;
  const uint64_t visible = causal ? n - p.queries + g.width % p.queries + 1 : n;
  with_vector_forms([&] { softmax_row(v, n, visible); });
}

template <class A>
bool attention_softmax_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const uint64_t n = params<Kernel::attention_softmax>(a).keys;
  if (n == 0) return mtl::kernel_refuse("row length (keys) is 0", e);
  if (a.groups.height != 1 || a.groups.depth != 1)
    return mtl::kernel_refuse("rows must be a one-dimensional grid", e);
  return require_elements(a, 0, sat_mul(a.groups.width, n), sizeof(A), e);
}

// One threadgroup per (b, r, head), g = (b s + r) hq + head: scores of up to
// 2048 keys kept in the group, softmax by SIMD groups, then each channel the
// probability-weighted sum of values in key order.
template <class A>
void attention(const mtl::KernelArgs& a, mtl::Size3 g) {
  const Shape sh = shape_of(params<Kernel::attention>(a));
  const uint64_t head = g.width % sh.hq, r = (g.width / sh.hq) % sh.s, b = g.width / (sh.hq * sh.s);
  const uint64_t kh = head / sh.group_heads();
  const A* q = a.buffer<const A>(0) + ((b * sh.s + r) * sh.hq + head) * sh.d;
  const A* k = a.buffer<const A>(1);
  A* y = a.buffer<A>(2) + ((b * sh.s + r) * sh.hq + head) * sh.d;
  const A* v = a.buffer<const A>(4);
  const A* mask = a.buffer<const A>(5);
  const float scale = inverse_sqrt(sh.d);
  float qf[kMaxHeadDim], row[kMaxHeadDim];
  float scores[kAttentionMaxKeys];
  widen(q, qf, sh.d);
  for (uint64_t j = 0; j < sh.total; ++j) {
    widen(kv_row(k, sh, b, kh, j), row, sh.d);
    float dot = 0;
    for (uint64_t c = 0; c < sh.d; ++c) dot = dot + qf[c] * row[c];
    const float scaled = round_to<A>(round_to<A>(dot) * scale);
    scores[j] = round_to<A>(scaled + mask_term(sh, mask, b, r, j));
  }
  with_vector_forms([&] {
    float lanes[kRowThreads];
    for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = -INFINITY;
    for (uint64_t j0 = 0; j0 < sh.total; j0 += kRowThreads)
      for (uint64_t t = 0; t < kRowThreads && j0 + t < sh.total; ++t) lanes[t] = keep_max(lanes[t], scores[j0 + t]);
    float max = simd_max(lanes);
    for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, simd_max(lanes + s * mtl::kSimdWidth));
    // Each exponential once, kept for the normalisation.
    for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] - max;
    exp_float_n(scores, scores, sh.total);
    for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = 0;
    for (uint64_t j0 = 0; j0 < sh.total; j0 += kRowThreads)
      for (uint64_t t = 0; t < kRowThreads && j0 + t < sh.total; ++t) lanes[t] = lanes[t] + scores[j0 + t];
    float group_sum[kSimdGroups];
    for (uint32_t s = 0; s < kSimdGroups; ++s) group_sum[s] = simd_sum(lanes + s * mtl::kSimdWidth);
    const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
    for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] / sum;
    round_n<A>(scores, sh.total);
    float acc[kMaxHeadDim] = {};
    float vr[kMaxHeadDim];
    for (uint64_t j = 0; j < sh.total; ++j) {
      widen(kv_row(v, sh, b, kh, j), vr, sh.d);
      const float p = scores[j];
      for (uint64_t c = 0; c < sh.d; ++c) acc[c] = acc[c] + p * vr[c];
    }
    for (uint64_t c = 0; c < sh.d; ++c) y[c] = from_float<A>(acc[c]);
  });
}

template <class A>
bool attention_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Shape sh = shape_of(params<Kernel::attention>(a));
  if (!heads_check(sh, e)) return false;
  if (sh.total > kAttentionMaxKeys) return mtl::kernel_refuse("total above 2048 keys", e);
  if (a.groups.height != 1 || a.groups.depth != 1 || a.groups.width % (sh.s * sh.hq) != 0)
    return mtl::kernel_refuse("grid is not batch x s x query heads groups", e);
  const uint64_t batch = a.groups.width / (sh.s * sh.hq);
  return qkv_check<A>(a, sh, batch, 0, 1, 4, 5, e) &&
         require_elements(a, 2, sat_mul(sat_mul(batch, sh.s), sat_mul(sh.hq, sh.d)), sizeof(A), e);
}

VORN_INSTANTIATE_KERNEL(attention_scale_mask)
VORN_INSTANTIATE_KERNEL(attention_softmax)
VORN_INSTANTIATE_KERNEL(attention)

}  // namespace vorn::shaders
