// Softmax over one axis (X and Y may share a buffer: every element is read
// before it is written). For every position the maximum, the exponentials
// and their f32 sum are formed in increasing d, so a row gives the same bits
// whether it runs alone, in a block of neighbouring positions, or on another
// thread.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/axis_frame.h"
#include "platform/vector_exp.h"
#include "platform/vector_math.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn {

namespace {

// Positions handled together: their running maxima and sums live on the stack
// and each row of the block is one contiguous, vectorisable pass.
constexpr uint64_t kSoftmaxBlock = 256;

void softmax_block(const float* x, float* y, uint64_t d_count, uint64_t inner, uint64_t n) {
  float m[kSoftmaxBlock], sum[kSoftmaxBlock];
  // The maximum starts at the most negative finite f32 and only a strictly
  // greater value replaces it, so NaNs never become the maximum.
  for (uint64_t p = 0; p < n; ++p) {
    m[p] = -3.4028235e38f;
    sum[p] = 0.0f;
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    const float* row = x + d * inner;
    for (uint64_t p = 0; p < n; ++p) m[p] = row[p] > m[p] ? row[p] : m[p];
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    const float* row = x + d * inner;
    float* out = y + d * inner;
    for (uint64_t p = 0; p < n; ++p) out[p] = row[p] - m[p];
    vec_exp(out, out, n);
    for (uint64_t p = 0; p < n; ++p) sum[p] += out[p];
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    float* out = y + d * inner;
    for (uint64_t p = 0; p < n; ++p) out[p] = out[p] / sum[p];
  }
}

// The common last-axis case: one contiguous row, exponentiated in one call.
void softmax_row(const float* x, float* y, uint64_t d_count) {
  float m = -3.4028235e38f;
  for (uint64_t d = 0; d < d_count; ++d) m = x[d] > m ? x[d] : m;
  for (uint64_t d = 0; d < d_count; ++d) y[d] = x[d] - m;
  vec_exp(y, y, d_count);
  float sum = 0.0f;
  for (uint64_t d = 0; d < d_count; ++d) sum += y[d];
  for (uint64_t d = 0; d < d_count; ++d) y[d] = y[d] / sum;
}

// kRowGroup last-axis rows side by side: the running maxima and sums of
// the rows are independent chains, so the group keeps the adder busy while
// each row still sums in increasing d, with softmax_row's bits.
constexpr uint64_t kRowGroup = 8;

void softmax_row_group(const float* x, float* y, uint64_t d_count) {
  float m[kRowGroup], sum[kRowGroup];
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    m[r] = -3.4028235e38f;
    sum[r] = 0.0f;
  }
  for (uint64_t d = 0; d < d_count; ++d)
    for (uint64_t r = 0; r < kRowGroup; ++r) {
      const float v = x[r * d_count + d];
      m[r] = v > m[r] ? v : m[r];
    }
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    const float* xr = x + r * d_count;
    float* yr = y + r * d_count;
    for (uint64_t d = 0; d < d_count; ++d) yr[d] = xr[d] - m[r];
    vec_exp(yr, yr, d_count);
  }
  for (uint64_t d = 0; d < d_count; ++d)
    for (uint64_t r = 0; r < kRowGroup; ++r) sum[r] += y[r * d_count + d];
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    float* yr = y + r * d_count;
    for (uint64_t d = 0; d < d_count; ++d) yr[d] = yr[d] / sum[r];
  }
}

#if defined(__x86_64__)
// The AVX2 forms, with the portable loops' bits: the maximum in any order
// (its value does not depend on the order; of +0 and -0, whichever is
// kept, x - m exponentiates alike), the exponentials of platform/
// vector_exp.h, each sum in increasing d, and the same divisions.
#define VORN_AVX2 [[gnu::target("avx2,fma"), gnu::always_inline]] inline

VORN_AVX2 __m256i lanes_below(int64_t n) {
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

VORN_AVX2 float max_lanes(__m256 v) {
  __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  m = _mm_max_ps(m, _mm_movehl_ps(m, m));
  m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
  return _mm_cvtss_f32(m);
}

// Row r's values j of a block of eight rows become lane r of vector j.
VORN_AVX2 void transpose8(__m256 (&v)[8]) {
  __m256 t[8], u[8];
  for (int i = 0; i < 4; ++i) {
    t[2 * i] = _mm256_unpacklo_ps(v[2 * i], v[2 * i + 1]);
    t[2 * i + 1] = _mm256_unpackhi_ps(v[2 * i], v[2 * i + 1]);
  }
  for (int i = 0; i < 2; ++i) {
    u[4 * i] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
    u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
    u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
    u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
  }
  for (int j = 0; j < 4; ++j) {
    v[j] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x20);
    v[j + 4] = _mm256_permute2f128_ps(u[j], u[j + 4], 0x31);
  }
}

// Eight last-axis rows: the maxima along each row, then the exponentials
// of a block of eight values of every row at once, transposed so that
// lane r adds row r's values in increasing d, then the divisions.
[[gnu::target("avx2,fma")]] void softmax_rows8_avx2(const float* x, float* y, uint64_t d_count) {
  const int64_t d = static_cast<int64_t>(d_count), whole = d / 8 * 8, rest = d - whole;
  const __m256 lowest = _mm256_set1_ps(-3.4028235e38f);
  __m256 m[8];
  for (int r = 0; r < 8; ++r) {
    const float* xr = x + r * d;
    __m256 acc = lowest;
    for (int64_t k = 0; k < whole; k += 8) acc = _mm256_max_ps(_mm256_loadu_ps(xr + k), acc);
    if (rest > 0)
      acc = _mm256_max_ps(_mm256_blendv_ps(lowest, vexp::load_first(xr + whole, rest),
                                           _mm256_castsi256_ps(lanes_below(rest))),
                          acc);
    m[r] = _mm256_set1_ps(max_lanes(acc));
  }
  __m256 sum = _mm256_setzero_ps();
  for (int64_t k = 0; k < d; k += 8) {
    const int64_t n = std::min<int64_t>(8, d - k);
    const __m256 inside = _mm256_castsi256_ps(lanes_below(n));
    __m256 v[8];
    for (int r = 0; r < 8; ++r) {
      const float* xr = x + r * d + k;
      const __m256 in = n == 8 ? _mm256_loadu_ps(xr) : vexp::load_first(xr, n);
      v[r] = vexp::exp_avx2(_mm256_sub_ps(in, m[r]));
      if (n == 8) {
        _mm256_storeu_ps(y + r * d + k, v[r]);
      } else {
        vexp::store_first(y + r * d + k, n, v[r]);
        v[r] = _mm256_and_ps(v[r], inside);  // lanes past the row add +0
      }
    }
    transpose8(v);
    for (int j = 0; j < 8; ++j) sum = _mm256_add_ps(sum, v[j]);
  }
  alignas(32) float s[8];
  _mm256_store_ps(s, sum);
  for (int r = 0; r < 8; ++r) {
    float* yr = y + r * d;
    const __m256 sv = _mm256_set1_ps(s[r]);
    for (int64_t k = 0; k < whole; k += 8) _mm256_storeu_ps(yr + k, _mm256_div_ps(_mm256_loadu_ps(yr + k), sv));
    if (rest > 0) vexp::store_first(yr + whole, rest, _mm256_div_ps(vexp::load_first(yr + whole, rest), sv));
  }
}

// Rows of two values (a detector's two class scores per anchor), four
// rows a vector as they lie in memory: the lane pair (2i, 2i + 1) is row
// i. Each row's maximum folds its first value then its second into the
// lowest float and its sum adds the second exponential to the first, as
// softmax_row does; the even lane's result serves both lanes of its pair.
[[gnu::target("avx2,fma")]] void softmax_pairs_avx2(const float* x, float* y, uint64_t rows) {
  const __m256 lowest = _mm256_set1_ps(-3.4028235e38f);
  const uint64_t whole = rows / 4 * 4;
  for (uint64_t r = 0; r < whole; r += 4) {
    const __m256 v = _mm256_loadu_ps(x + 2 * r);
    const __m256 swapped = _mm256_permute_ps(v, 0xB1);
    const __m256 m = _mm256_moveldup_ps(_mm256_max_ps(swapped, _mm256_max_ps(v, lowest)));
    const __m256 e = vexp::exp_avx2(_mm256_sub_ps(v, m));
    const __m256 sum = _mm256_moveldup_ps(_mm256_add_ps(e, _mm256_permute_ps(e, 0xB1)));
    _mm256_storeu_ps(y + 2 * r, _mm256_div_ps(e, sum));
  }
  for (uint64_t r = whole; r < rows; ++r) softmax_row(x + 2 * r, y + 2 * r, 2);
}

VORN_AVX2 __m256 load_part(const float* at, int64_t k) {
  return k == 8 ? _mm256_loadu_ps(at) : vexp::load_first(at, k);
}

VORN_AVX2 void store_part(float* at, int64_t k, __m256 v) {
  if (k == 8)
    _mm256_storeu_ps(at, v);
  else
    vexp::store_first(at, k, v);
}

// n positions p of one outer index, the axis of d_count values inner apart:
// vectors run along p.
[[gnu::target("avx2,fma")]] void softmax_block_avx2(const float* x, float* y, uint64_t d_count, uint64_t inner,
                                                   uint64_t n_count) {
  const int64_t n = static_cast<int64_t>(n_count);
  alignas(32) float m[kSoftmaxBlock], sum[kSoftmaxBlock];
  for (int64_t p = 0; p < n; p += 8) {
    _mm256_store_ps(m + p, _mm256_set1_ps(-3.4028235e38f));
    _mm256_store_ps(sum + p, _mm256_setzero_ps());
  }
  for (uint64_t dd = 0; dd < d_count; ++dd)
    for (int64_t p = 0; p < n; p += 8)
      _mm256_store_ps(m + p, _mm256_max_ps(load_part(x + dd * inner + p, std::min<int64_t>(8, n - p)),
                                           _mm256_load_ps(m + p)));
  for (uint64_t dd = 0; dd < d_count; ++dd)
    for (int64_t p = 0; p < n; p += 8) {
      const int64_t k = std::min<int64_t>(8, n - p);
      const __m256 e = vexp::exp_avx2(_mm256_sub_ps(load_part(x + dd * inner + p, k), _mm256_load_ps(m + p)));
      store_part(y + dd * inner + p, k, e);
      _mm256_store_ps(sum + p, _mm256_add_ps(_mm256_load_ps(sum + p), e));
    }
  for (uint64_t dd = 0; dd < d_count; ++dd)
    for (int64_t p = 0; p < n; p += 8) {
      const int64_t k = std::min<int64_t>(8, n - p);
      store_part(y + dd * inner + p, k, _mm256_div_ps(load_part(y + dd * inner + p, k), _mm256_load_ps(sum + p)));
    }
}
#endif

}  // namespace

bool cpu_softmax_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Softmax::kAxis), vy.rank(), &axis);
  const AxisFrame f = axis_frame(vy, axis);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (f.d == 0) return true;
  auto group = &softmax_row_group;
  auto block = &softmax_block;
#if defined(__x86_64__)
  if (isa_has_avx2(s.isa)) {
    group = &softmax_rows8_avx2;
    block = &softmax_block_avx2;
  }
#endif
  if (f.inner == 1) {
#if defined(__x86_64__)
    if (f.d == 2 && isa_has_avx2(s.isa)) {
      for_chunks(f.outer, kParallelHeavyElements, [&](uint64_t begin, uint64_t end) {
        softmax_pairs_avx2(x + 2 * begin, y + 2 * begin, end - begin);
      }, f.d);
      return true;
    }
#endif
    for_chunks(f.outer, kParallelHeavyElements, [&](uint64_t begin, uint64_t end) {
      uint64_t o = begin;
      for (; o + kRowGroup <= end; o += kRowGroup) group(x + o * f.d, y + o * f.d, f.d);
      for (; o < end; ++o) softmax_row(x + o * f.d, y + o * f.d, f.d);
    }, f.d);
    return true;
  }
  for_axis_segments(f, kParallelHeavyElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    const uint64_t base = o * f.d * f.inner;
    for (uint64_t p = p0; p < p1; p += kSoftmaxBlock) {
      uint64_t n = p1 - p < kSoftmaxBlock ? p1 - p : kSoftmaxBlock;
      block(x + base + p, y + base + p, f.d, f.inner, n);
    }
  });
  return true;
}

bool cpu_softmax_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 1, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.count() != vy.count()) return check_fail(msg, cap, "input and output element counts differ");
  uint64_t axis;
  if (vy.rank() > 0 && !normalise_axis(node.attr_i64(attr::Softmax::kAxis), vy.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Softmax::kAxis)),
                      static_cast<unsigned long long>(vy.rank()));
  return true;
}

}  // namespace vorn
