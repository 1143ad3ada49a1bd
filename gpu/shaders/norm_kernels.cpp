// Normalisation and rotary position embedding: "norm" (layer norm or RMS
// norm, one threadgroup of 128 threads per row) and "rope" (one thread per
// element).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "gpu/shaders/kernels.h"
#include "gpu/shaders/rope_tables.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn::shaders {

namespace {

// The threadgroup's sum of f(v) over a row: thread t takes the columns t,
// t + 128, ... in order; each SIMD group sums its 32 lanes; group 0 adds
// the four group sums in order. The threads go side by side, a block of
// 128 columns at a time, each adding its own: a loop that vectorises.
template <class A, class F>
float row_sum(const A* v, uint64_t n, F f) {
  float threads[kRowThreads] = {};
  for (uint64_t c0 = 0; c0 < n; c0 += kRowThreads) {
    const uint64_t m = std::min<uint64_t>(kRowThreads, n - c0);
    for (uint64_t t = 0; t < m; ++t) threads[t] = threads[t] + f(to_float(v[c0 + t]));
  }
  float total = simd_sum(threads);
  for (uint32_t group = 1; group < kSimdGroups; ++group)
    total = total + simd_sum(threads + group * mtl::kSimdWidth);
  return total;
}

}  // namespace

// Rows up to this long are widened to float once; longer ones are read
// element by element (same values).
constexpr uint64_t kNormRow = 8192;

#if defined(__x86_64__)
// y[c] = (x[c] scale) w[c] for the whole vectors of the row, each weight
// widened from half in the register that multiplies it (rather than a
// widened copy of the weights written and read again for every row):
// returns how many columns it did.
[[gnu::target("avx2,f16c")]] inline uint64_t rms_scale_f16c(const float* x, float scale, const half* w, float* y,
                                                           uint64_t n) {
  const __m256 s = _mm256_set1_ps(scale);
  uint64_t c = 0;
  for (; c + 8 <= n; c += 8) {
    const __m256 wv = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + c)));
    _mm256_storeu_ps(y + c, _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(x + c), s), wv));
  }
  return c;
}
#endif

// One row of at most kNormRow values, widened to float once.
template <class A>
inline void norm_row(const A* x, const half* w, const half* bias, A* y, uint64_t n, bool rms, float epsilon) {
  float v[kNormRow], wf[kNormRow], bf[kNormRow];
  if constexpr (sizeof(A) == sizeof(float)) {
    // Float rows need no widened copy, and the rounding to the activation
    // type changes nothing.
    if (rms) {
      const float moment = row_sum(x, n, [](float e) { return e * e; }) / float(n);
      const float scale = 1.0f / std::sqrt(moment + epsilon);
      uint64_t c = 0;
#if defined(__x86_64__)
      if (vector_form() != VectorForm::kPortable) c = rms_scale_f16c(x, scale, w, y, n);
#endif
      for (; c < n; ++c) y[c] = (x[c] * scale) * to_float(w[c]);
      return;
    }
  }
  widen_n(w, wf, n);
  widen_n(x, v, n);
  if (rms) {
    const float moment = row_sum(v, n, [](float e) { return e * e; }) / float(n);
    const float scale = 1.0f / std::sqrt(moment + epsilon);
    // The normalised value is rounded to the activation type before the
    // weight multiplies it.
    for (uint64_t c = 0; c < n; ++c) v[c] = v[c] * scale;
    round_n<A>(v, n);
    for (uint64_t c = 0; c < n; ++c) v[c] = v[c] * wf[c];
  } else {
    widen_n(bias, bf, n);
    const float mean = row_sum(v, n, [](float e) { return e; }) / float(n);
    const float variance = row_sum(v, n, [mean](float e) { return (e - mean) * (e - mean); }) / float(n);
    const float scale = 1.0f / std::sqrt(variance + epsilon);
    for (uint64_t c = 0; c < n; ++c) v[c] = (v[c] - mean) * scale * wf[c] + bf[c];
  }
  narrow_n(v, y, n);
}

// RMS norm (rms 1) or layer norm (rms 0); group g normalises row g.
template <class A>
void norm(const mtl::KernelArgs& a, mtl::Size3 g) {
  const NormParams& p = params<Kernel::norm>(a);
  const uint64_t n = p.n;
  const bool rms = p.rms == 1;
  const float epsilon = p.epsilon;
  const A* x = a.buffer<const A>(0) + g.width * n;
  A* y = a.buffer<A>(2) + g.width * n;
  const half* w = a.buffer<const half>(1);
  const half* bias = a.buffer<const half>(4);
  if (n <= kNormRow) return with_vector_forms([&] { norm_row<A>(x, w, bias, y, n, rms, epsilon); });
  if (rms) {
    const float moment = row_sum(x, n, [](float e) { return e * e; }) / float(n);
    const float scale = 1.0f / std::sqrt(moment + epsilon);
    for (uint64_t c = 0; c < n; ++c)
      y[c] = from_float<A>(round_to<A>(to_float(x[c]) * scale) * to_float(w[c]));
    return;
  }
  const float mean = row_sum(x, n, [](float e) { return e; }) / float(n);
  const float variance = row_sum(x, n, [mean](float e) { return (e - mean) * (e - mean); }) / float(n);
  const float scale = 1.0f / std::sqrt(variance + epsilon);
  for (uint64_t c = 0; c < n; ++c)
    y[c] = from_float<A>((to_float(x[c]) - mean) * scale * to_float(w[c]) + to_float(bias[c]));
}

template <class A>
bool norm_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const NormParams& p = params<Kernel::norm>(a);
  const uint64_t n = p.n, rows = a.groups.volume();
  if (n == 0) return mtl::kernel_refuse("n is 0", e);
  if (a.groups.height != 1 || a.groups.depth != 1)
    return mtl::kernel_refuse("rows must be a one-dimensional grid", e);
  return require_elements(a, 0, mtl::sat_mul(rows, n), sizeof(A), e) && require_elements(a, 1, n, 2, e) &&
         require_elements(a, 2, mtl::sat_mul(rows, n), sizeof(A), e) && (p.rms == 1 || require_elements(a, 4, n, 2, e));
}

// The rotate-half form, with cos and sin rounded to the activation type and
// each product rounded.

template <class A>
const RopeTables& rope_tables(float theta, uint64_t d, int64_t position) {
  thread_local RopeTables t;
  uint32_t theta_bits;
  std::memcpy(&theta_bits, &theta, sizeof theta_bits);
  if (t.d != d || t.theta_bits != theta_bits || t.activation_bytes != sizeof(A)) {
    for (uint64_t f = 0; f < d / 2; ++f) t.frequency[f] = std::pow(theta, -2.0f * float(f) / float(d));
    t.d = d;
    t.theta_bits = theta_bits;
    t.activation_bytes = sizeof(A);
    t.has_position = false;
  }
  if (!t.has_position || position != t.position) {
    t.has_position = true;
    t.position = position;
    for (uint64_t k = 0; k < d / 2; ++k) {
      const float angle = float(position) * t.frequency[k];
      t.cos_a[k] = round_to<A>(std::cos(angle));
      t.sin_a[k] = round_to<A>(std::sin(angle));
    }
  }
  return t;
}
template const RopeTables& rope_tables<half>(float, uint64_t, int64_t);
template const RopeTables& rope_tables<float>(float, uint64_t, int64_t);

namespace {

// y[c] for the channels [c0, c0 + n) of one head (base its channel 0) that
// lie on one side of d/2: partner channel c + shift, sign of the partner's
// term, table entry c + shift for c < d/2 and c - d/2 above.
// y_base is where the head's channel 0 goes.
template <class A>
void rope_side(const A* x, A* y, uint64_t base, uint64_t y_base, uint64_t c0, uint64_t n, int64_t shift, float sign,
               const float* cos_a, const float* sin_a) {
  const uint64_t f0 = shift > 0 ? c0 : uint64_t(int64_t(c0) + shift);
  if constexpr (sizeof(A) == sizeof(float)) {
    // Float activations round nothing between the steps: each output
    // straight from x, without copies (y is never x).
    const float* own = x + base + c0;
    const float* partner = x + base + uint64_t(int64_t(c0) + shift);
    float* out = y + y_base + c0;
    for (uint64_t j = 0; j < n; ++j) out[j] = own[j] * cos_a[f0 + j] + sign * partner[j] * sin_a[f0 + j];
    return;
  }
  float own[kRopeTable], partner[kRopeTable];
  widen_n(x + base + c0, own, n);
  widen_n(x + base + uint64_t(int64_t(c0) + shift), partner, n);
  for (uint64_t j = 0; j < n; ++j) {
    own[j] = own[j] * cos_a[f0 + j];
    partner[j] = sign * partner[j] * sin_a[f0 + j];
  }
  round_n<A>(own, n);
  round_n<A>(partner, n);
  for (uint64_t j = 0; j < n; ++j) own[j] = own[j] + partner[j];
  narrow_n(own, y + y_base + c0, n);
}

}  // namespace

template <class A>
void rope(const mtl::KernelArgs& a, mtl::Size3 g) {
  const RopeParams& p = params<Kernel::rope>(a);
  const uint64_t d = p.head_dim, heads = p.heads, half_d = d / 2;
  const float theta = p.theta;
  const A* x = a.buffer<const A>(0);
  const int64_t* positions = a.buffer<const int64_t>(1);
  A* y = a.buffer<A>(2);
  // Where the head of element i starts in y: heads side by side, or for a
  // single row head_stride apart.
  const uint64_t stride = p.head_stride;
  auto y_base = [&](uint64_t base) { return stride == 0 ? base : base / d * stride; };
  if (half_d > kRopeTable) {
    for_each_thread(a, g, p.count, [&](uint64_t i) {
      const uint64_t c = i % d, base = i - c, row = i / (heads * d), f = c % half_d;
      const float angle = float(positions[row]) * std::pow(theta, -2.0f * float(f) / float(d));
      const float cos_r = round_to<A>(std::cos(angle)), sin_r = round_to<A>(std::sin(angle));
      const float first = round_to<A>(to_float(x[i]) * cos_r);
      const float sign = c < half_d ? -1.0f : 1.0f;
      const float second = round_to<A>(sign * to_float(x[base + (c + half_d) % d]) * sin_r);
      y[y_base(base) + c] = from_float<A>(first + second);
    });
    return;
  }
  const ThreadRange range = threads_of(a, g);
  const uint64_t end = range.end < p.count ? range.end : p.count;
  for (uint64_t i = range.begin; i < end;) {
    const uint64_t c0 = i % d, base = i - c0, row = i / (heads * d);
    const uint64_t c1 = d - c0 < end - i ? d : c0 + (end - i);
    const RopeTables& t = rope_tables<A>(theta, d, positions[row]);
    with_vector_forms([&] {
      if (c0 < half_d)
        rope_side(x, y, base, y_base(base), c0, std::min(c1, half_d) - c0, int64_t(half_d), -1.0f, t.cos_a,
                  t.sin_a);
      if (c1 > half_d) {
        const uint64_t from = std::max(c0, half_d);
        rope_side(x, y, base, y_base(base), from, c1 - from, -int64_t(half_d), 1.0f, t.cos_a, t.sin_a);
      }
    });
    i = base + c1;
  }
}

template <class A>
bool rope_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const RopeParams& p = params<Kernel::rope>(a);
  const uint64_t d = p.head_dim, heads = p.heads;
  if (d == 0 || d % 2 != 0 || heads == 0)
    return mtl::kernel_refuse("head dim must be even and non-zero, heads non-zero", e);
  const uint64_t row = d * heads;
  if (p.head_stride != 0 && (p.count != row || p.head_stride < d))
    return mtl::kernel_refuse("heads apart only for one row, at least d apart", e);
  const uint64_t written = p.head_stride == 0 ? p.count : (heads - 1) * uint64_t(p.head_stride) + d;
  return require_elements(a, 0, p.count, sizeof(A), e) &&
         require_elements(a, 1, p.count / row + (p.count % row != 0), 8, e) &&
         require_elements(a, 2, written, sizeof(A), e);
}

VORN_INSTANTIATE_KERNEL(norm)
VORN_INSTANTIATE_KERNEL(rope)

}  // namespace vorn::shaders
