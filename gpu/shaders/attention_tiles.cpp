// The tiled attention path's products: "attention_scores" (threadgroups of
// 32 query rows by 32 keys) and "attention_values" (32 query rows by 32
// channels), both over z = b hq + head.
//
// Both run their whole grid (platform/compute_kernel.h). A part serves every
// query head of one key head, so the heads read each key and value row from
// memory once, and it computes only the query rows that exist: a decode
// step past 2,048 keys (one query row) costs per key what the single-kernel
// path costs, where a threadgroup of 32 rows did 32 times the work. Each
// score and each output keeps the arithmetic of its threadgroup: a dot
// product in channel order (a multiply, then an add, padded to a whole step
// of 32), a weighted sum in key order.
#include <algorithm>
#include <cmath>

#include "gpu/shaders/attention_common.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/transpose_avx2.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

namespace {

using namespace attention_common;
using mtl::sat_mul;

constexpr uint64_t kTile = kAttentionTile;
// Key tiles of one scores part.
constexpr uint64_t kTilesPerPart = 4;
// Stacked rows (query row of one head) of one values part, and the
// channels it sums: six rows of sixteen float lanes stay in registers.
constexpr uint64_t kValueRows = 6;
constexpr uint64_t kValueChannels = 16;

// kt[c][j] = rows[j][c] for c < d, j < n (rows `stride` floats apart), and
// 0 for n <= j < 32.
#if defined(__x86_64__)
__attribute__((target("avx2"))) void transpose_avx2(const float* rows, uint64_t stride, uint64_t n, uint64_t d,
                                                     float (*kt)[kTile]) {
  uint64_t j0 = 0;
  for (; j0 + 8 <= n; j0 += 8) {
    uint64_t c0 = 0;
    for (; c0 + 8 <= d; c0 += 8) {
      __m256 r[8];
      for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(rows + (j0 + i) * stride + c0);
      transpose8(r);
      for (int i = 0; i < 8; ++i) _mm256_storeu_ps(kt[c0 + i] + j0, r[i]);
    }
    for (; c0 < d; ++c0)
      for (uint64_t j = j0; j < j0 + 8; ++j) kt[c0][j] = rows[j * stride + c0];
  }
  for (uint64_t c = 0; c < d; ++c) {
    for (uint64_t j = j0; j < n; ++j) kt[c][j] = rows[j * stride + c];
    for (uint64_t j = n; j < kTile; ++j) kt[c][j] = 0;
  }
}
#endif

void transpose(bool vector, const float* rows, uint64_t stride, uint64_t n, uint64_t d, float (*kt)[kTile]) {
#if defined(__x86_64__)
  if (vector) return transpose_avx2(rows, stride, n, d, kt);
#endif
  (void)vector;
  for (uint64_t c = 0; c < d; ++c)
    for (uint64_t j = 0; j < kTile; ++j) kt[c][j] = j < n ? rows[j * stride + c] : 0.0f;
}

// The stacked rows of a part: query rows r0.. of every query head of one
// key head, head by head, as (z, r) pairs.
struct Rows {
  uint64_t z0;     // z of the key head's first query head
  uint64_t r0, n;  // query rows r0 .. r0 + n - 1 of each head
  uint64_t heads;
  uint64_t count() const { return heads * n; }
  uint64_t z(uint64_t i) const { return z0 + i / n; }
  uint64_t r(uint64_t i) const { return r0 + i % n; }
};

}  // namespace

// Parts (b, key head, query tile, block of key tiles): the block's keys are
// widened and transposed once; the stacked rows of the key head's query
// heads go through the tile product 32 at a time (rounded up to a multiple
// of four with zero rows, which no stored score reads).
template <class A>
void attention_scores(const mtl::KernelArgs& a) {
  const Shape sh = shape_of(params<Kernel::attention_scores>(a));
  const uint64_t batch = a.groups.depth / sh.hq, group = sh.group_heads();
  const uint64_t query_tiles = (sh.s + kTile - 1) / kTile;
  const uint64_t key_tiles = (sh.total + kTile - 1) / kTile;
  const uint64_t blocks = (key_tiles + kTilesPerPart - 1) / kTilesPerPart;
  const A* q = a.buffer<const A>(0);
  const A* k = a.buffer<const A>(1);
  A* scores = a.buffer<A>(2);
  const A* mask = a.buffer<const A>(4);
  const float scale = inverse_sqrt(sh.d);
  const bool vector = vector_form() != VectorForm::kPortable;
  const uint64_t work = batch * sh.hq * sh.s * sh.total * sh.d;
  run_stage(batch * sh.hk * query_tiles * blocks, work, [&](uint64_t part) {
    const uint64_t block = part % blocks, rest = part / blocks;
    const uint64_t rt = rest % query_tiles, bk = rest / query_tiles, b = bk / sh.hk, kh = bk % sh.hk;
    const uint64_t r0 = rt * kTile;
    const Rows rows{b * sh.hq + kh * group, r0, std::min(kTile, sh.s - r0), group};
    float qt[kTile][kMaxHeadDim];
    float kt[kMaxHeadDim][kTile];
    float widened[sizeof(A) == 2 ? kTile * kMaxHeadDim : 1];
    float acc[kTile][kTile];
    const uint64_t first = block * kTilesPerPart, last = std::min(key_tiles, first + kTilesPerPart);
    for (uint64_t tile = first; tile < last; ++tile) {
      const uint64_t j0 = tile * kTile, jn = std::min(kTile, sh.total - j0);
      const A* keys = kv_row(k, sh, b, kh, j0);
      if constexpr (sizeof(A) == 2) {
        widen(keys, widened, jn * sh.d);
        transpose(vector, widened, sh.d, jn, sh.d, kt);
      } else {
        transpose(vector, keys, sh.d, jn, sh.d, kt);
      }
      for (uint64_t i0 = 0; i0 < rows.count(); i0 += kTile) {
        const uint64_t n = std::min(kTile, rows.count() - i0), padded = (n + 3) / 4 * 4;
        if (tile == first || rows.count() > kTile) {
          for (uint64_t i = 0; i < padded; ++i) {
            if (i < n)
              widen(q + ((b * sh.s + rows.r(i0 + i)) * sh.hq + rows.z(i0 + i) % sh.hq) * sh.d, qt[i], sh.d);
            else
              std::fill(qt[i], qt[i] + sh.d, 0.0f);
          }
        }
        for (uint64_t i = 0; i < padded; ++i) std::fill(acc[i], acc[i] + kTile, 0.0f);
        tile_mma(vector, &qt[0][0], kMaxHeadDim, &kt[0][0], kTile, sh.d, &acc[0][0], kTile, padded, kTile);
        // A row of scores at a time through the block conversions, which
        // give the bits of element-by-element rounding.
        with_vector_forms([&] {
          for (uint64_t i = 0; i < n; ++i) {
            const uint64_t z = rows.z(i0 + i), r = rows.r(i0 + i);
            float v[kTile], m[kTile];
            // The dot product's steps of 32 pad d with zeros, whose +0
            // products still add.
            const float pad = sh.d % kTile != 0 ? 0.0f : -0.0f;
            for (uint64_t j = 0; j < jn; ++j) v[j] = acc[i][j] + pad;
            round_n<A>(v, jn);
            for (uint64_t j = 0; j < jn; ++j) v[j] = v[j] * scale;
            round_n<A>(v, jn);
            if (sh.causal) {
              for (uint64_t j = 0; j < jn; ++j) m[j] = mask_term(sh, mask, b, r, j0 + j);
            } else {
              widen(mask + (b * sh.s + r) * sh.total + j0, m, jn);
            }
            for (uint64_t j = 0; j < jn; ++j) v[j] = v[j] + m[j];
            narrow_n(v, scores + (z * sh.s + r) * sh.total + j0, jn);
          }
        });
      }
    }
  });
}

template <class A>
bool attention_scores_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Shape sh = shape_of(params<Kernel::attention_scores>(a));
  if (!heads_check(sh, e)) return false;
  if (a.groups.depth % sh.hq != 0) return mtl::kernel_refuse("grid depth is not batch x query heads", e);
  if (a.groups.width * kTile < sh.total || a.groups.height * kTile < sh.s)
    return mtl::kernel_refuse("grid does not cover the scores", e);
  const uint64_t batch = a.groups.depth / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 1, 4, e) &&
         require_elements(a, 2, sat_mul(sat_mul(a.groups.depth, sh.s), sh.total), sizeof(A), e);
}

namespace {

// acc[i][c] for the stacked rows i < n and channels c < width (at most
// 16): the sum over keys j < keys, in order, of p_i[j] v[j, c], a multiply
// then an add each, from +0. v rows are d apart; p_i is row i of
// probabilities.
template <class A>
void weighted_sums_portable(const A* const* p, uint64_t n, const A* v, uint64_t d, uint64_t width, uint64_t keys,
                            float (*acc)[kValueChannels]) {
  for (uint64_t i = 0; i < n; ++i) std::fill(acc[i], acc[i] + kValueChannels, 0.0f);
  for (uint64_t j = 0; j < keys; ++j) {
    float vr[kValueChannels];
    for (uint64_t c = 0; c < width; ++c) vr[c] = to_float(v[j * d + c]);
    for (uint64_t i = 0; i < n; ++i) {
      const float w = to_float(p[i][j]);
      for (uint64_t c = 0; c < width; ++c) acc[i][c] = acc[i][c] + w * vr[c];
    }
  }
}

#if defined(__x86_64__)
__attribute__((target("avx2,f16c"))) inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
__attribute__((target("avx2,f16c"))) inline __m256 load8(const half* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
__attribute__((target("avx2,f16c"))) inline float load1(const float* p) { return *p; }
__attribute__((target("avx2,f16c"))) inline float load1(const half* p) {
  return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(p->bits)));
}

// Rows held in registers: N of them, two registers of eight channels each.
template <class A, int N>
__attribute__((target("avx2,f16c"))) void weighted_sums_avx2(const A* const* p, const A* v, uint64_t d,
                                                             uint64_t keys, float (*acc)[kValueChannels]) {
  __m256 lo[N], hi[N];
  for (int i = 0; i < N; ++i) lo[i] = hi[i] = _mm256_setzero_ps();
  for (uint64_t j = 0; j < keys; ++j) {
    const __m256 v0 = load8(v + j * d), v1 = load8(v + j * d + 8);
    for (int i = 0; i < N; ++i) {
      const __m256 w = _mm256_set1_ps(load1(p[i] + j));
      lo[i] = _mm256_add_ps(lo[i], _mm256_mul_ps(w, v0));
      hi[i] = _mm256_add_ps(hi[i], _mm256_mul_ps(w, v1));
    }
  }
  for (int i = 0; i < N; ++i) {
    _mm256_storeu_ps(acc[i], lo[i]);
    _mm256_storeu_ps(acc[i] + 8, hi[i]);
  }
}
#endif

template <class A>
void weighted_sums(bool vector, const A* const* p, uint64_t n, const A* v, uint64_t d, uint64_t width,
                   uint64_t keys, float (*acc)[kValueChannels]) {
#if defined(__x86_64__)
  if (vector && width == kValueChannels) {
    switch (n) {
      case 1: return weighted_sums_avx2<A, 1>(p, v, d, keys, acc);
      case 2: return weighted_sums_avx2<A, 2>(p, v, d, keys, acc);
      case 3: return weighted_sums_avx2<A, 3>(p, v, d, keys, acc);
      case 4: return weighted_sums_avx2<A, 4>(p, v, d, keys, acc);
      case 5: return weighted_sums_avx2<A, 5>(p, v, d, keys, acc);
      case 6: return weighted_sums_avx2<A, 6>(p, v, d, keys, acc);
      default: break;
    }
  }
#endif
  (void)vector;
  weighted_sums_portable(p, n, v, d, width, keys, acc);
}

// Keys from `from` on add nothing to the sums of rows p[0..n) over the
// channels c0 .. c0 + width: every probability there is zero and every
// value finite, so each product is a zero and each sum (never -0, as it
// starts at +0) stays what it was.
template <class A>
bool adds_nothing(const A* const* p, uint64_t n, const A* v, uint64_t d, uint64_t width, uint64_t from,
                  uint64_t keys) {
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t j = from; j < keys; ++j)
      if (to_float(p[i][j]) != 0.0f) return false;
  for (uint64_t j = from; j < keys; ++j)
    for (uint64_t c = 0; c < width; ++c)
      if (!std::isfinite(to_float(v[j * d + c]))) return false;
  return true;
}

}  // namespace

// Parts (b, key head, query tile, block of 16 channels, the last one
// possibly narrower); a part sums its stacked rows six at a time, every
// row over every key in order, reading each value row once for the six.
// Under the causal rule the keys past the last one its rows see are
// skipped when they add nothing (their probabilities rounded to zero, their
// values finite): every key of the upper half of a prefill's key tiles.
template <class A>
void attention_values(const mtl::KernelArgs& a) {
  const Shape sh = shape_of(params<Kernel::attention_values>(a));
  const uint64_t batch = a.groups.depth / sh.hq, group = sh.group_heads();
  const uint64_t query_tiles = (sh.s + kTile - 1) / kTile;
  const uint64_t channel_blocks = (sh.d + kValueChannels - 1) / kValueChannels;
  const A* probabilities = a.buffer<const A>(0);
  const A* v = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  const bool vector = vector_form() != VectorForm::kPortable;
  const uint64_t work = batch * sh.hq * sh.s * sh.total * sh.d;
  run_stage(batch * sh.hk * query_tiles * channel_blocks, work, [&](uint64_t part) {
    const uint64_t cb = part % channel_blocks, rest = part / channel_blocks;
    const uint64_t rt = rest % query_tiles, bk = rest / query_tiles, b = bk / sh.hk, kh = bk % sh.hk;
    const uint64_t c0 = cb * kValueChannels, width = std::min(kValueChannels, sh.d - c0);
    const uint64_t r0 = rt * kTile;
    const Rows rows{b * sh.hq + kh * group, r0, std::min(kTile, sh.s - r0), group};
    const A* values = kv_row(v, sh, b, kh, 0) + c0;
    for (uint64_t i0 = 0; i0 < rows.count(); i0 += kValueRows) {
      const uint64_t n = std::min(kValueRows, rows.count() - i0);
      const A* p[kValueRows];
      uint64_t keys = 0;
      for (uint64_t i = 0; i < n; ++i) {
        p[i] = probabilities + (rows.z(i0 + i) * sh.s + rows.r(i0 + i)) * sh.total;
        keys = std::max(keys, sh.causal ? sh.visible(rows.r(i0 + i)) : sh.total);
      }
      if (keys < sh.total && !adds_nothing(p, n, values, sh.d, width, keys, sh.total)) keys = sh.total;
      float acc[kValueRows][kValueChannels];
      weighted_sums(vector, p, n, values, sh.d, width, keys, acc);
      for (uint64_t i = 0; i < n; ++i) {
        A* out = y + ((b * sh.s + rows.r(i0 + i)) * sh.hq + rows.z(i0 + i) % sh.hq) * sh.d + c0;
        for (uint64_t c = 0; c < width; ++c) out[c] = from_float<A>(acc[i][c]);
      }
    }
  });
}

template <class A>
bool attention_values_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const Shape sh = shape_of(params<Kernel::attention_values>(a));
  if (!heads_check(sh, e)) return false;
  if (a.groups.depth % sh.hq != 0) return mtl::kernel_refuse("grid depth is not batch x query heads", e);
  if (a.groups.width * kTile < sh.d || a.groups.height * kTile < sh.s)
    return mtl::kernel_refuse("grid does not cover the output", e);
  const uint64_t batch = a.groups.depth / sh.hq;
  return require_elements(a, 0, sat_mul(sat_mul(a.groups.depth, sh.s), sh.total), sizeof(A), e) &&
         qkv_check<A>(a, Shape{sh.hq, sh.hk, sh.d, sh.s, sh.total, sh.stride, true}, batch, 2, 1, 1, 4, e);
}

VORN_INSTANTIATE_GRID_KERNEL(attention_scores)
VORN_INSTANTIATE_GRID_KERNEL(attention_values)

}  // namespace vorn::shaders
