// "attention_causal": a causal prefill's attention of float activations in
// one kernel, over blocks of query rows, with the bits of the batched
// products path (scores product, "attention_scale_mask", "attention_softmax",
// values product, "attention_layout" back to token-major rows).
//
// The products path sweeps a score matrix of queries x keys per head through
// memory five times, and computes and then discards every score the causal
// mask hides. Here a block of kBlockRows query rows of one head is scored,
// scaled, masked, normalised and multiplied by the values while its scores
// stay in the cache, and the keys past the block's last visible one are
// left out of both products when that changes no bit: when every query, key
// and value of the key head is finite and |q| |k| d stays below 1e30, each
// hidden score is exactly -FLT_MAX (the score's magnitude is far below half
// a unit in the last place of -FLT_MAX), never NaN and far below every
// row's maximum, so softmax_row stores +0 as its probability, and a +0
// probability times a finite value adds nothing to a product's sums (they
// start at +0 and never become -0). Otherwise the block scores every key,
// as the products path does.
#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "gpu/shaders/attention_common.h"
#include "gpu/shaders/quotient_row.h"
#include "gpu/shaders/tile_mma.h"
#include "platform/panel_gemm.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

namespace {

using namespace attention_common;
using mtl::sat_mul;

constexpr uint64_t kBlockRows = 32;
// Above this |q| |k| d every score may still round -FLT_MAX + score to
// -FLT_MAX, far below half its unit in the last place (2^103).
constexpr double kScoreBound = 1e30;

// Largest magnitude of `rows` rows of d values, `stride` apart, or infinity
// when one is not finite. The magnitudes are compared as their bit
// patterns, which order non-negative floats as their values do and put
// infinity and NaN above every finite value: a maximum of integers, which
// vectorises where a float maximum (NaN order) would stay one at a time.
double largest(const float* x, uint64_t rows, uint64_t stride, uint64_t d) {
  uint32_t m = 0;
  for (uint64_t i = 0; i < rows; ++i) {
    const float* row = x + i * stride;
    for (uint64_t c = 0; c < d; ++c) {
      const uint32_t a = std::bit_cast<uint32_t>(row[c]) & 0x7fffffffu;
      m = a > m ? a : m;
    }
  }
  return m <= 0x7f7fffffu ? double(std::bit_cast<float>(m)) : INFINITY;
}

#if defined(__x86_64__)
// simd_sum or simd_max of each of the four SIMD groups of a row's lanes
// into group, in registers: each halving step pairs lane l with lane l +
// half as the shared trees do (eight lanes of a register at a time), so
// every group keeps its bits; a max instruction picks its first operand exactly when
// it compares greater, as the trees' select does.
[[gnu::target("avx2")]] inline void lane_trees_avx2(const float* lanes, bool maximum, float* group) {
  __m128 four[kSimdGroups];
  for (uint32_t s = 0; s < kSimdGroups; ++s) {
    const float* v = lanes + s * mtl::kSimdWidth;
    const __m256 a = _mm256_loadu_ps(v), b = _mm256_loadu_ps(v + 8), c = _mm256_loadu_ps(v + 16),
                 d = _mm256_loadu_ps(v + 24);
    const __m256 e = maximum ? _mm256_max_ps(a, c) : _mm256_add_ps(a, c);
    const __m256 f = maximum ? _mm256_max_ps(b, d) : _mm256_add_ps(b, d);
    const __m256 g = maximum ? _mm256_max_ps(e, f) : _mm256_add_ps(e, f);
    const __m128 lo = _mm256_castps256_ps128(g), hi = _mm256_extractf128_ps(g, 1);
    four[s] = maximum ? _mm_max_ps(lo, hi) : _mm_add_ps(lo, hi);
  }
  for (uint32_t s = 0; s < kSimdGroups; ++s) {
    const __m128 two = maximum ? _mm_max_ps(four[s], _mm_movehl_ps(four[s], four[s]))
                               : _mm_add_ps(four[s], _mm_movehl_ps(four[s], four[s]));
    const __m128 one = maximum ? _mm_max_ss(two, _mm_movehdup_ps(two)) : _mm_add_ss(two, _mm_movehdup_ps(two));
    group[s] = _mm_cvtss_f32(one);
  }
}
#endif

// The row's maximum (the groups' simd_max joined by fmax) or its sum (the
// groups' simd_sum added in pairs) from its lanes.
inline float lane_tree(const float* lanes, bool maximum, bool vector) {
  float group[kSimdGroups];
  auto join = [&] {
    if (!maximum) return (group[0] + group[1]) + (group[2] + group[3]);
    float max = group[0];
    for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group[s]);
    return max;
  };
#if defined(__x86_64__)
  if (vector) {
    lane_trees_avx2(lanes, maximum, group);
    return join();
  }
#endif
  (void)vector;
  for (uint32_t s = 0; s < kSimdGroups; ++s)
    group[s] = maximum ? simd_max(lanes + s * mtl::kSimdWidth) : simd_sum(lanes + s * mtl::kSimdWidth);
  return join();
}

// The scale and the causal mask's term of one row of n scores (columns
// from `visible` on hidden; two roundings, as in the products path), then
// softmax_row, in three passes where the
// two kernels take five: the scaled scores, their running maxima (per lane
// of a block of kRowThreads, as softmax_row keeps them) and the largest
// hidden one in the first; the exponentials and their lane sums in the
// second; the quotients in the third. Every element goes through the same
// operations in the same order, so the bits are softmax_row's. The largest
// hidden score is one running value over the hidden columns, as
// softmax_row keeps it (per-lane maxima would end in a reduction of 128
// lanes one at a time, per row, dearer than the pass it saves). Run inside
// with_row_forms; vector: the form is not the portable one.
inline void scaled_softmax_row(float* x, uint64_t n, uint64_t visible, float scale, bool vector) {
  float lanes[kRowThreads];
  for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = -INFINITY;
  float hidden_max = -INFINITY;
  bool nan = false;
  for (uint64_t j0 = 0; j0 < n; j0 += kRowThreads) {
    float* row = x + j0;
    const uint64_t m = std::min<uint64_t>(n - j0, kRowThreads);
    const uint64_t shown = visible > j0 ? std::min(visible - j0, m) : 0;
    for (uint64_t t = 0; t < shown; ++t) {
      const float y = row[t] * scale + 0.0f;
      row[t] = y;
      lanes[t] = keep_max(lanes[t], y);
    }
    for (uint64_t t = shown; t < m; ++t) {
      const float y = row[t] * scale + kMaskedScore<float>;
      row[t] = y;
      lanes[t] = keep_max(lanes[t], y);
      hidden_max = keep_max(hidden_max, y);
      nan |= y != y;
    }
  }
  const float max = lane_tree(lanes, true, vector);
  const uint64_t live = visible < n && !nan && hidden_max - max < kExpIsZero ? visible : n;
  for (uint64_t j = 0; j < live; ++j) x[j] = x[j] - max;
  exp_float_n(x, x, live);
  for (uint32_t t = 0; t < kRowThreads; ++t) lanes[t] = 0;
  for (uint64_t j0 = 0; j0 < live; j0 += kRowThreads) {
    const uint64_t m = std::min<uint64_t>(live - j0, kRowThreads);
    for (uint64_t t = 0; t < m; ++t) lanes[t] = lanes[t] + x[j0 + t];
  }
  const float sum = lane_tree(lanes, false, vector);
  divide_row(x, live, sum, vector);
  std::fill(x + live, x + n, 0.0f / sum);
}

#if defined(__x86_64__)
template <class F>
__attribute__((target("avx512f,avx2,f16c"), flatten)) void run_avx512(const F& body) {
  body();
}
#endif

// body in the widest form the record allows: the rows' loops vectorise 16
// wide under AVX-512, 8 under AVX2; the same bits in every form.
template <class F>
void with_row_forms(const F& body) {
#if defined(__x86_64__)
  if (vector_form() == VectorForm::kAvx512) return run_avx512(body);
#endif
  with_vector_forms(body);
}

}  // namespace

template <class A>
void attention_causal(const mtl::KernelArgs& a) {
  if constexpr (sizeof(A) != sizeof(float)) {
    (void)a;  // refused by the check
  } else {
    const Shape sh = shape_of(params<Kernel::attention_causal>(a));
    const uint64_t batch = a.groups.depth / sh.hq, group = sh.group_heads();
    const uint64_t heads = batch * sh.hk;
    const float* q = a.buffer<const float>(0);
    const float* k = a.buffer<const float>(1);
    float* out = a.buffer<float>(2);
    const float* v = a.buffer<const float>(4);
    const uint64_t width = sh.hq * sh.d;
    // Per key head: its keys as panels of the scores' right operand (d x
    // total), its values as panels of the values' right operand (total x
    // d), and whether its hidden keys may be left out.
    const uint64_t key_floats = uint64_t(panel_floats(int64_t(sh.d), int64_t(sh.total)));
    const uint64_t value_floats = uint64_t(panel_floats(int64_t(sh.total), int64_t(sh.d)));
    ScratchLease panels = stage_memory(a, heads * (key_floats + value_floats));
    if (panels.data() == nullptr) return;
    // The largest magnitude of each key head's keys, values and the queries
    // of each of its query heads (infinity: one is not finite), each part
    // writing its own.
    const uint64_t parts = 2 + group;
    std::vector<double> largest_of(heads * parts);
    run_stage(heads * parts, heads * sh.total * sh.d * 8, [&](uint64_t part) {
      const uint64_t bk = part / parts, b = bk / sh.hk, kh = bk % sh.hk, what = part % parts;
      float* kp = panels.data() + bk * (key_floats + value_floats);
      const float* keys = kv_row(k, sh, b, kh, 0);
      const float* values = kv_row(v, sh, b, kh, 0);
      if (what == 0) {
        MatrixProduct g{false, true, 1, int64_t(sh.total), int64_t(sh.d), 1.0f, nullptr, 0, keys,
                        int64_t(sh.d), 0.0f, nullptr, 0};
        gather_panels(g, kp);
        with_vector_forms([&] { largest_of[part] = largest(keys, sh.total, sh.d, sh.d); });
      } else if (what == 1) {
        MatrixProduct g{false, false, 1, int64_t(sh.d), int64_t(sh.total), 1.0f, nullptr, 0, values,
                        int64_t(sh.d), 0.0f, nullptr, 0};
        gather_panels(g, kp + key_floats);
        with_vector_forms([&] { largest_of[part] = largest(values, sh.total, sh.d, sh.d); });
      } else {
        const uint64_t h = kh * group + what - 2;
        with_vector_forms([&] { largest_of[part] = largest(q + b * sh.s * width + h * sh.d, sh.s, width, sh.d); });
      }
    });
    std::vector<unsigned char> skip(heads);
    for (uint64_t bk = 0; bk < heads; ++bk) {
      const double* m = largest_of.data() + bk * parts;
      const double qm = *std::max_element(m + 2, m + parts);
      // (An infinite qm or km makes the product infinite or NaN: no skip.)
      skip[bk] = m[1] < INFINITY && qm * m[0] * double(sh.d) < kScoreBound;
    }
    const uint64_t blocks = (sh.s + kBlockRows - 1) / kBlockRows, rows_of = batch * sh.hq;
    const uint64_t ld = uint64_t(panel_count(int64_t(sh.total))) * kPanelWidth;
    const float scale = inverse_sqrt(sh.d);
    const bool vector = vector_form() != VectorForm::kPortable;
    // The blocks of the last rows see the most keys: they go first.
    run_stage(rows_of * blocks, batch * sh.hq * sh.s * sh.total * sh.d, [&](uint64_t part) {
      const uint64_t z = part % rows_of, rb = blocks - 1 - part / rows_of;
      const uint64_t b = z / sh.hq, h = z % sh.hq, bk = b * sh.hk + h / group;
      const uint64_t r0 = rb * kBlockRows, rows = std::min(kBlockRows, sh.s - r0);
      const float* kp = panels.data() + bk * (key_floats + value_floats);
      const uint64_t cols = skip[bk] ? std::min(sh.total, sh.visible(r0 + rows - 1)) : sh.total;
      ScratchLease spare;
      float* scores = thread_memory(a, rows * ld, spare);
      if (scores == nullptr) return;
      const float* qr = q + (b * sh.s + r0) * width + h * sh.d;
      panel_product(qr, int64_t(width), gathered_panels(kp, int64_t(sh.d)), int64_t(sh.d), int64_t(cols), scores,
                    int64_t(ld), 0, int64_t(rows), 0, panel_count(int64_t(cols)));
      with_row_forms([&] {
        for (uint64_t i = 0; i < rows; ++i)
          scaled_softmax_row(scores + i * ld, cols, std::min(cols, sh.visible(r0 + i)), scale, vector);
      });
      const PanelOperand vp{kp + key_floats, kPanelWidth, int64_t(sh.total) * kPanelWidth};
      panel_product(scores, int64_t(ld), vp, int64_t(cols), int64_t(sh.d), out + (b * sh.s + r0) * width + h * sh.d,
                    int64_t(width), 0, int64_t(rows), 0, panel_count(int64_t(sh.d)));
    });
  }
}

template <class A>
bool attention_causal_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  if (sizeof(A) != sizeof(float)) return mtl::kernel_refuse("float activations only", e);
  const Shape sh = shape_of(params<Kernel::attention_causal>(a));
  if (!heads_check(sh, e)) return false;
  if (!sh.causal || sh.s > sh.total) return mtl::kernel_refuse("causal rows only", e);
  if (a.groups.depth % sh.hq != 0 || a.groups.width != 1 || a.groups.height != 1)
    return mtl::kernel_refuse("grid is not batch x query heads", e);
  const uint64_t batch = a.groups.depth / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 4, 4, e) &&
         require_elements(a, 2, sat_mul(sat_mul(batch, sh.s), sat_mul(sh.hq, sh.d)), sizeof(A), e);
}

VORN_INSTANTIATE_GRID_KERNEL(attention_causal)

}  // namespace vorn::shaders
