// Attention: the tiled path ("attention_scores", "attention_softmax",
// "attention_values"), the scaling and masking of scores made elsewhere
// ("attention_scale_mask"), and the single-kernel rows ("attention",
// "attention_decode64").
//
// Shapes: q [b, s, hq d] token-major; K and V [b, hk, stride, d] head-major
// with `stride` rows reserved per head; query head h reads key head
// h / (hq / hk). Scores are scaled by 1/sqrt(d) and masked either by the
// causal rule (key column c hidden from query row r when c > total - s + r)
// or by a mask [b, 1, s, total]. The mask row of a score belongs to the
// batch entry, not to the (batch, head) pair the score rows are counted by.
#include <algorithm>
#include <cmath>

#include "gpu/shaders/attention_decode_avx2.h"
#include "gpu/shaders/kernels.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/float_exp.h"

namespace vorn::shaders {

namespace {

using mtl::sat_mul;

constexpr uint32_t kTile = kAttentionTile;
constexpr uint32_t kMaxHeadDim = 256;

struct Shape {
  uint64_t hq, hk, d, s, total, stride;
  bool causal;
  uint64_t group_heads() const { return hq / hk; }
};

Shape shape_of(const AttentionParams& p) {
  return Shape{p.query_heads, p.kv_heads, p.head_dim, p.queries, p.keys, p.kv_stride, p.causal == 1};
}

float inverse_sqrt(uint64_t d) { return 1.0f / std::sqrt(float(d)); }

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

// Checks shared by the kernels that read q, K and V.
bool heads_check(const Shape& sh, std::string* e) {
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
  const uint64_t kv = sat_mul(sat_mul(batch, sh.hk), sat_mul(sh.stride, sh.d));
  return require_elements(a, q_index, sat_mul(sat_mul(batch, sh.s), sat_mul(sh.hq, sh.d)), sizeof(A), e) &&
         require_elements(a, k_index, kv, sizeof(A), e) && require_elements(a, v_index, kv, sizeof(A), e) &&
         (sh.causal ||
          require_elements(a, mask_index, sat_mul(sat_mul(batch, sh.s), sh.total), sizeof(A), e));
}

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

// Threadgroup (key tile, query tile, z = b hq + head): 32 x 32 scores, each
// the float dot product over d (in order, padded to a whole step of 32),
// rounded, scaled, rounded, masked and rounded.
template <class A>
void attention_scores(const mtl::KernelArgs& a, mtl::Size3 g) {
  const Shape sh = shape_of(params<Kernel::attention_scores>(a));
  const uint64_t z = g.depth, b = z / sh.hq, head = z % sh.hq, kh = head / sh.group_heads();
  const uint64_t r0 = g.height * kTile, j0 = g.width * kTile;
  if (r0 >= sh.s || j0 >= sh.total) return;
  const A* q = a.buffer<const A>(0);
  const A* k = a.buffer<const A>(1);
  A* scores = a.buffer<A>(2);
  const A* mask = a.buffer<const A>(4);
  const uint64_t rn = sh.s - r0 < kTile ? sh.s - r0 : kTile;
  const uint64_t jn = sh.total - j0 < kTile ? sh.total - j0 : kTile;
  const float scale = inverse_sqrt(sh.d);
  float qt[kTile][kMaxHeadDim];
  // Only the first d rows of kt are read; columns past the last key are
  // zero so their scores (never stored) stay finite.
  float kt[kMaxHeadDim][kTile];
  float row[kMaxHeadDim];
  for (uint64_t r = 0; r < kTile; ++r) {
    if (r < rn)
      widen(q + ((b * sh.s + r0 + r) * sh.hq + head) * sh.d, qt[r], sh.d);
    else
      std::fill(qt[r], qt[r] + sh.d, 0.0f);
  }
  for (uint64_t j = 0; j < jn; ++j) {
    widen(kv_row(k, sh, b, kh, j0 + j), row, sh.d);
    for (uint64_t c = 0; c < sh.d; ++c) kt[c][j] = row[c];
  }
  if (jn < kTile)
    for (uint64_t c = 0; c < sh.d; ++c) std::fill(kt[c] + jn, kt[c] + kTile, 0.0f);
  float acc[kTile][kTile] = {};
  tile_mma(g_shader_vector_forms && cpu_has_avx2_f16c(), &qt[0][0], kMaxHeadDim, &kt[0][0], kTile, sh.d,
           &acc[0][0], kTile, kTile, kTile);
  // A row of scores at a time through the block conversions, which give
  // the bits of element-by-element rounding: one scalar conversion per
  // score cost more than the whole tile product.
  for (uint64_t r = 0; r < rn; ++r) {
    float v[kTile], m[kTile];
    // The dot product's steps of 32 pad d with zeros, whose +0 products
    // still add.
    const float pad = sh.d % kTile != 0 ? 0.0f : -0.0f;
    for (uint64_t j = 0; j < jn; ++j) v[j] = acc[r][j] + pad;
    round_n<A>(v, jn);
    for (uint64_t j = 0; j < jn; ++j) v[j] = v[j] * scale;
    round_n<A>(v, jn);
    if (sh.causal) {
      for (uint64_t j = 0; j < jn; ++j) m[j] = mask_term(sh, mask, b, r0 + r, j0 + j);
    } else {
      widen(mask + (b * sh.s + r0 + r) * sh.total + j0, m, jn);
    }
    for (uint64_t j = 0; j < jn; ++j) v[j] = v[j] + m[j];
    narrow_n(v, scores + (z * sh.s + r0 + r) * sh.total + j0, jn);
  }
}

template <class A>
bool attention_scores_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Shape sh = shape_of(params<Kernel::attention_scores>(a));
  if (!heads_check(sh, e)) return false;
  if (a.groups.depth % sh.hq != 0) return mtl::kernel_refuse("grid depth is not batch x query heads", e);
  const uint64_t batch = a.groups.depth / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 1, 4, e) &&
         require_elements(a, 2, sat_mul(sat_mul(a.groups.depth, sh.s), sh.total), sizeof(A), e);
}

// One threadgroup per row of `keys` scores, normalised in place: the maximum by
// SIMD groups, then exp(v - max) summed by SIMD groups and combined as
// (t0 + t1) + (t2 + t3). Thread t holds columns t, t + 128, ...: a block of
// 128 columns is one step of every thread, so the threads' running maxima
// and sums are vector lanes taken in the same order.
template <class A>
void attention_softmax(const mtl::KernelArgs& a, mtl::Size3 g) {
  const uint64_t n = params<Kernel::attention_softmax>(a).keys;
  A* v = a.buffer<A>(0) + g.width * n;
  with_vector_forms([&] {
    float lanes[kRowThreads], block[kRowThreads];
    for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = -INFINITY;
    for (uint64_t j0 = 0; j0 < n; j0 += kRowThreads) {
      const uint64_t m = n - j0 < kRowThreads ? n - j0 : kRowThreads;
      widen_n(v + j0, block, m);
      for (uint64_t t = 0; t < m; ++t) lanes[t] = keep_max(lanes[t], block[t]);
    }
    float group_max[kSimdGroups];
    for (uint32_t s = 0; s < kSimdGroups; ++s) group_max[s] = simd_max(lanes + s * mtl::kSimdWidth);
    float max = group_max[0];
    for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group_max[s]);
    // exp(v[j] - max) for the block of columns from j0.
    auto exps = [&](uint64_t j0, uint64_t m) {
      widen_n(v + j0, block, m);
      for (uint64_t t = 0; t < m; ++t) block[t] = block[t] - max;
      exp_float_n(block, block, m);
    };
    // A float row keeps its exponentials in place for the normalisation; a
    // half row cannot hold them, and computes them again.
    constexpr bool kKeep = sizeof(A) == sizeof(float);
    for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = 0;
    for (uint64_t j0 = 0; j0 < n; j0 += kRowThreads) {
      const uint64_t m = n - j0 < kRowThreads ? n - j0 : kRowThreads;
      exps(j0, m);
      for (uint64_t t = 0; t < m; ++t) lanes[t] = lanes[t] + block[t];
      if constexpr (kKeep) narrow_n(block, v + j0, m);
    }
    float group_sum[kSimdGroups];
    for (uint32_t s = 0; s < kSimdGroups; ++s) group_sum[s] = simd_sum(lanes + s * mtl::kSimdWidth);
    const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
    for (uint64_t j0 = 0; j0 < n; j0 += kRowThreads) {
      const uint64_t m = n - j0 < kRowThreads ? n - j0 : kRowThreads;
      if constexpr (kKeep)
        widen_n(v + j0, block, m);
      else
        exps(j0, m);
      for (uint64_t t = 0; t < m; ++t) block[t] = block[t] / sum;
      narrow_n(block, v + j0, m);
    }
  });
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

// Threadgroup (channel tile, query tile, z = b hq + head): out[b, r, head, c]
// = sum over keys j, in order and padded to a whole step of 32, of
// probability (z, r, j) x V[j, c].
template <class A>
void attention_values(const mtl::KernelArgs& a, mtl::Size3 g) {
  const Shape sh = shape_of(params<Kernel::attention_values>(a));
  const uint64_t z = g.depth, b = z / sh.hq, head = z % sh.hq, kh = head / sh.group_heads();
  const uint64_t r0 = g.height * kTile, c0 = g.width * kTile;
  if (r0 >= sh.s || c0 >= sh.d) return;
  const A* probabilities = a.buffer<const A>(0);
  const A* v = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  const uint64_t rn = sh.s - r0 < kTile ? sh.s - r0 : kTile;
  const uint64_t cn = sh.d - c0 < kTile ? sh.d - c0 : kTile;
  const bool vector = g_shader_vector_forms && cpu_has_avx2_f16c();
  float acc[kTile][kTile] = {};
  float pt[kTile][kTile];
  float vt[kTile][kTile];
  for (uint64_t j0 = 0; j0 < sh.total; j0 += kTile) {
    const uint64_t jn = sh.total - j0 < kTile ? sh.total - j0 : kTile;
    for (uint64_t r = 0; r < kTile; ++r) {
      if (r < rn) widen(probabilities + (z * sh.s + r0 + r) * sh.total + j0, pt[r], jn);
      for (uint64_t j = r < rn ? jn : 0; j < kTile; ++j) pt[r][j] = 0;
    }
    for (uint64_t j = 0; j < kTile; ++j) {
      if (j < jn) widen(kv_row(v, sh, b, kh, j0 + j) + c0, vt[j], cn);
      for (uint64_t c = j < jn ? cn : 0; c < kTile; ++c) vt[j][c] = 0;
    }
    tile_mma(vector, &pt[0][0], kTile, &vt[0][0], kTile, kTile, &acc[0][0], kTile, kTile, kTile);
  }
  for (uint64_t r = 0; r < rn; ++r) {
    A* out = y + ((b * sh.s + r0 + r) * sh.hq + head) * sh.d + c0;
    for (uint64_t c = 0; c < cn; ++c) out[c] = from_float<A>(acc[r][c]);
  }
}

template <class A>
bool attention_values_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Shape sh = shape_of(params<Kernel::attention_values>(a));
  if (!heads_check(sh, e)) return false;
  if (a.groups.depth % sh.hq != 0) return mtl::kernel_refuse("grid depth is not batch x query heads", e);
  const uint64_t batch = a.groups.depth / sh.hq;
  return require_elements(a, 0, sat_mul(sat_mul(a.groups.depth, sh.s), sh.total), sizeof(A), e) &&
         qkv_check<A>(a, Shape{sh.hq, sh.hk, sh.d, sh.s, sh.total, sh.stride, true}, batch, 2, 1, 1, 4, e);
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

// One token, head dim 64, one threadgroup per (b, head): lanes take channels
// l and l + 32 of a key, SIMD group s takes keys s, s + 4, ...; each group
// accumulates its keys' weighted values, and the four partial sums are
// combined as (p0 + p1) + (p2 + p3).
template <class A>
void attention_decode64(const mtl::KernelArgs& a, mtl::Size3 g) {
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kDecodeHeadDim, 1, p.keys, p.kv_stride, p.causal == 1};
  const uint64_t b = g.width / sh.hq, head = g.width % sh.hq, kh = head / sh.group_heads();
  constexpr uint32_t kLanes = mtl::kSimdWidth;
  const A* k = a.buffer<const A>(1);
  const A* v = a.buffer<const A>(4);
  const A* mask = a.buffer<const A>(5);
  A* y = a.buffer<A>(2) + (b * sh.hq + head) * kDecodeHeadDim;
#if defined(__x86_64__)
  const bool vector = g_shader_vector_forms && cpu_has_avx2_f16c();
#else
  const bool vector = false;
#endif
  with_vector_forms([&] {
    float qf[kDecodeHeadDim], row[kDecodeHeadDim];
    float scores[kAttentionMaxKeys];
    widen(a.buffer<const A>(0) + (b * sh.hq + head) * kDecodeHeadDim, qf, kDecodeHeadDim);
#if defined(__x86_64__)
    if (vector) decode_avx2::scores(qf, kv_row(k, sh, b, kh, 0), sh.total, scores);
#endif
    for (uint64_t j = 0; j < sh.total && !vector; ++j) {
      widen(kv_row(k, sh, b, kh, j), row, kDecodeHeadDim);
      float lanes[kLanes];
      for (uint32_t l = 0; l < kLanes; ++l) lanes[l] = qf[l] * row[l] + qf[l + kLanes] * row[l + kLanes];
      scores[j] = simd_sum(lanes);
    }
    round_n<A>(scores, sh.total);
    for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] * 0.125f;
    round_n<A>(scores, sh.total);
    if (!sh.causal) {
      float m[kAttentionMaxKeys];
      widen(mask + b * sh.total, m, sh.total);
      for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] + m[j];
      round_n<A>(scores, sh.total);
    }
    // SIMD group s takes keys s, s + 4, ...: lane s of a step of four.
    float group_max[kSimdGroups];
    for (uint32_t s = 0; s < kSimdGroups; ++s) group_max[s] = -INFINITY;
    for (uint64_t j0 = 0; j0 < sh.total; j0 += kSimdGroups)
      for (uint32_t s = 0; s < kSimdGroups && j0 + s < sh.total; ++s)
        group_max[s] = keep_max(group_max[s], scores[j0 + s]);
    float max = group_max[0];
    for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group_max[s]);
    // Each exponential once, kept for the normalisation.
    for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] - max;
    exp_float_n(scores, scores, sh.total);
    float group_sum[kSimdGroups] = {};
    for (uint64_t j0 = 0; j0 < sh.total; j0 += kSimdGroups)
      for (uint32_t s = 0; s < kSimdGroups && j0 + s < sh.total; ++s)
        group_sum[s] = group_sum[s] + scores[j0 + s];
    const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
    for (uint64_t j = 0; j < sh.total; ++j) scores[j] = scores[j] / sum;
    round_n<A>(scores, sh.total);
    float acc[kSimdGroups][kDecodeHeadDim] = {};
    float vr[kDecodeHeadDim];
#if defined(__x86_64__)
    if (vector)
      for (uint32_t s = 0; s < kSimdGroups; ++s)
        decode_avx2::group_values(scores, kv_row(v, sh, b, kh, 0), s, sh.total, acc[s]);
#endif
    for (uint32_t s = 0; s < kSimdGroups && !vector; ++s)
      for (uint64_t j = s; j < sh.total; j += kSimdGroups) {
        widen(kv_row(v, sh, b, kh, j), vr, kDecodeHeadDim);
        for (uint32_t c = 0; c < kDecodeHeadDim; ++c) acc[s][c] = acc[s][c] + scores[j] * vr[c];
      }
    for (uint32_t c = 0; c < kDecodeHeadDim; ++c)
      y[c] = from_float<A>((acc[0][c] + acc[1][c]) + (acc[2][c] + acc[3][c]));
  });
}

template <class A>
bool attention_decode64_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kDecodeHeadDim, 1, p.keys, p.kv_stride, p.causal == 1};
  if (!heads_check(sh, e)) return false;
  if (sh.total > kAttentionMaxKeys) return mtl::kernel_refuse("total above 2048 keys", e);
  if (a.groups.height != 1 || a.groups.depth != 1 || a.groups.width % sh.hq != 0)
    return mtl::kernel_refuse("grid is not batch x query heads groups", e);
  const uint64_t batch = a.groups.width / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 4, 5, e) &&
         require_elements(a, 2, sat_mul(sat_mul(batch, sh.hq), kDecodeHeadDim), sizeof(A), e);
}

VORN_INSTANTIATE_KERNEL(attention_scale_mask)
VORN_INSTANTIATE_KERNEL(attention_scores)
VORN_INSTANTIATE_KERNEL(attention_softmax)
VORN_INSTANTIATE_KERNEL(attention_values)
VORN_INSTANTIATE_KERNEL(attention)
VORN_INSTANTIATE_KERNEL(attention_decode64)

}  // namespace vorn::shaders
