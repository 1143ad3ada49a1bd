// Matrix-vector products of single-row decode: "matvec" (half weights) and
// "matvec_q8" (Q8 weights). One SIMD group of 32 lanes per output row: lane
// l sums x[k] w[row, k] for k = l, l + 32, ... in float (a multiply then an
// add), the lanes are summed across the group, and the bias is added before
// the one rounding to the activation type.
//
// The lane structure is exactly a 32-wide vector accumulator, so the AVX2
// form (four 8-wide registers, chosen once from the processor) gives the
// same bits as the portable loop; only the speed differs.
#include <immintrin.h>

#include <vector>

#include "gpu/shaders/kernels.h"
#include "platform/cpu_features.h"

namespace vorn::shaders {

namespace {

constexpr uint64_t kLanes = mtl::kSimdWidth;

struct HalfRow {
  const half* w;
  float at(uint64_t k) const { return to_float(w[k]); }
};
struct Q8Row {
  const uint8_t* w;  // the row's first block
  float at(uint64_t k) const { return q8_element(w, 0, 0, k); }
};

template <class A, class Row>
float row_dot_portable(const A* x, Row w, uint64_t K) {
  float lanes[kLanes] = {};
  for (uint64_t k0 = 0; k0 < K; k0 += kLanes) {
    const uint64_t n = K - k0 < kLanes ? K - k0 : kLanes;
    for (uint64_t l = 0; l < n; ++l) lanes[l] = lanes[l] + to_float(x[k0 + l]) * w.at(k0 + l);
  }
  return simd_sum(lanes);
}

#if defined(__x86_64__)

#define VORN_AVX2 __attribute__((target("avx2,f16c")))

VORN_AVX2 inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
VORN_AVX2 inline __m256 load8(const half* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
// Eight Q8 values of one block, reconstructed and rounded to half.
VORN_AVX2 inline __m256 load8_q8(const uint8_t* bytes, __m256 scale) {
  const __m256 v =
      _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes))));
  return _mm256_cvtph_ps(
      _mm256_cvtps_ph(_mm256_mul_ps(v, scale), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}

// Lanes [0, n) of the last chunk take their product; the others keep their
// sum untouched (a padded +0 would turn a -0 sum into +0).
VORN_AVX2 inline __m256 add_first(__m256 acc, __m256 product, int n) {
  const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256 mask = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(n), index));
  return _mm256_blendv_ps(acc, _mm256_add_ps(acc, product), mask);
}

// simd_sum of the 32 lanes held as four registers (lanes 0-7, 8-15, 16-23,
// 24-31), in the same halving order: l + 16, then l + 8, l + 4, l + 2, l + 1.
VORN_AVX2 inline float lane_sum(const __m256 (&acc)[4]) {
  const __m256 low = _mm256_add_ps(acc[0], acc[2]);   // lanes 0-7 after the first step
  const __m256 high = _mm256_add_ps(acc[1], acc[3]);  // lanes 8-15
  const __m256 v8 = _mm256_add_ps(low, high);
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  const __m128 v1 = _mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1));
  return _mm_cvtss_f32(v1);
}

// The four registers of lanes are named, not an array, so that they stay in
// registers across the loop.
template <class A>
VORN_AVX2 float row_dot_half_avx2(const A* x, const half* w, uint64_t K) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  uint64_t k0 = 0;
  for (; k0 + kLanes <= K; k0 += kLanes) {
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0), load8(w + k0)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 8), load8(w + k0 + 8)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 16), load8(w + k0 + 16)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 24), load8(w + k0 + 24)));
  }
  __m256 acc[4] = {a0, a1, a2, a3};
  if (k0 < K) {
    A xt[kLanes] = {};
    half wt[kLanes] = {};
    for (uint64_t l = 0; l < K - k0; ++l) {
      xt[l] = x[k0 + l];
      wt[l] = w[k0 + l];
    }
    for (int q = 0; q < 4; ++q)
      acc[q] = add_first(acc[q], _mm256_mul_ps(load8(xt + 8 * q), load8(wt + 8 * q)), int(K - k0) - 8 * q);
  }
  return lane_sum(acc);
}

template <class A>
VORN_AVX2 float row_dot_q8_avx2(const A* x, const uint8_t* w, uint64_t K) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  uint64_t k0 = 0;
  // Whole blocks first: two chunks of 32 columns share one scale.
  for (; k0 + kQ8BlockValues <= K; k0 += kQ8BlockValues) {
    const uint8_t* bytes = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
    float s;
    std::memcpy(&s, bytes + kQ8BlockValues, 4);
    const __m256 scale = _mm256_set1_ps(s);
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0), load8_q8(bytes, scale)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 8), load8_q8(bytes + 8, scale)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 16), load8_q8(bytes + 16, scale)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 24), load8_q8(bytes + 24, scale)));
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0 + 32), load8_q8(bytes + 32, scale)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 40), load8_q8(bytes + 40, scale)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 48), load8_q8(bytes + 48, scale)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 56), load8_q8(bytes + 56, scale)));
  }
  // A chunk of 32 columns lies inside one 64-value block.
  for (; k0 + kLanes <= K; k0 += kLanes) {
    const uint8_t* block = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
    float s;
    std::memcpy(&s, block + kQ8BlockValues, 4);
    const __m256 scale = _mm256_set1_ps(s);
    const uint8_t* bytes = block + k0 % kQ8BlockValues;
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0), load8_q8(bytes, scale)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 8), load8_q8(bytes + 8, scale)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 16), load8_q8(bytes + 16, scale)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 24), load8_q8(bytes + 24, scale)));
  }
  __m256 acc[4] = {a0, a1, a2, a3};
  if (k0 < K) {
    const uint8_t* block = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
    float s;
    std::memcpy(&s, block + kQ8BlockValues, 4);
    const __m256 scale = _mm256_set1_ps(s);
    A xt[kLanes] = {};
    uint8_t bt[kLanes] = {};
    for (uint64_t l = 0; l < K - k0; ++l) {
      xt[l] = x[k0 + l];
      bt[l] = block[k0 % kQ8BlockValues + l];
    }
    for (int q = 0; q < 4; ++q)
      acc[q] = add_first(acc[q], _mm256_mul_ps(load8(xt + 8 * q), load8_q8(bt + 8 * q, scale)),
                         int(K - k0) - 8 * q);
  }
  return lane_sum(acc);
}

#endif

// Rows of group g: every row with a lane in the group's threads.
struct Rows {
  uint64_t begin, end;
};
Rows rows_of(const mtl::KernelArgs& a, mtl::Size3 g, uint64_t rows) {
  const ThreadRange t = threads_of(a, g);
  const uint64_t end = (t.end + kLanes - 1) / kLanes;
  return Rows{t.begin / kLanes, end < rows ? end : rows};
}

template <class A>
void store_row(A* y, const half* bias, bool has_bias, uint64_t row, float sum) {
  if (has_bias) sum = sum + to_float(bias[row]);
  y[row] = from_float<A>(sum);
}

template <class A>
bool matvec_common_check(const mtl::KernelArgs& a, uint64_t weight_bytes, std::string* e) {
  const MatvecParams& p = params<Kernel::matvec>(a);
  return require_elements(a, 0, p.k, sizeof(A), e) && mtl::kernel_require(a, 1, weight_bytes, e) &&
         require_elements(a, 2, p.rows, sizeof(A), e) && (p.has_bias == 0 || require_elements(a, 4, p.rows, 2, e));
}

template <class A, bool kQ8, class X>
float row_dot(const X* x, const uint8_t* w, uint64_t K, bool vector) {
#if defined(__x86_64__)
  if (vector) {
    if constexpr (kQ8)
      return row_dot_q8_avx2(x, w, K);
    else
      return row_dot_half_avx2(x, reinterpret_cast<const half*>(w), K);
  }
#endif
  (void)vector;
  if constexpr (kQ8)
    return row_dot_portable(x, Q8Row{w}, K);
  else
    return row_dot_portable(x, HalfRow{reinterpret_cast<const half*>(w)}, K);
}

// The rows of one threadgroup (four rows of 32 lanes each).
template <class A, bool kQ8>
void matvec_group(const mtl::KernelArgs& a, mtl::Size3 g) {
  const MatvecParams& p = params < kQ8 ? Kernel::matvec_q8 : Kernel::matvec > (a);
  const uint64_t K = p.k, row_bytes = kQ8 ? p.row_bytes : K * 2;
  const A* x = a.buffer<const A>(0);
  const uint8_t* w = a.buffer<const uint8_t>(1);
  A* y = a.buffer<A>(2);
  const half* bias = a.buffer<const half>(4);
  const bool has_bias = p.has_bias != 0;
  const Rows rows = rows_of(a, g, p.rows);
  const bool vector = g_shader_vector_forms && cpu_has_avx2_f16c();
  // Every row of the dispatch reads the same x: a half x is widened once per
  // thread and dispatch, and kept for the thread's next groups.
  if (sizeof(A) == 2 && vector) {
    struct Widened {
      uint64_t dispatch = 0;
      std::vector<float> x;
    };
    thread_local Widened widened;
    if (widened.dispatch != a.dispatch_id) {
      if (widened.x.size() < K) widened.x.resize(K);
      half_to_float_n(reinterpret_cast<const uint16_t*>(x), widened.x.data(), K);
      widened.dispatch = a.dispatch_id;
    }
    const float* xf = widened.x.data();
    for (uint64_t r = rows.begin; r < rows.end; ++r)
      store_row(y, bias, has_bias, r, row_dot<A, kQ8>(xf, w + r * row_bytes, K, vector));
    return;
  }
  for (uint64_t r = rows.begin; r < rows.end; ++r)
    store_row(y, bias, has_bias, r, row_dot<A, kQ8>(x, w + r * row_bytes, K, vector));
}

}  // namespace

template <class A>
void matvec(const mtl::KernelArgs& a, mtl::Size3 g) {
  matvec_group<A, false>(a, g);
}

template <class A>
bool matvec_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const MatvecParams& p = params<Kernel::matvec>(a);
  return matvec_common_check<A>(a, mtl::sat_mul(mtl::sat_mul(p.rows, p.k), 2), e);
}

template <class A>
void matvec_q8(const mtl::KernelArgs& a, mtl::Size3 g) {
  matvec_group<A, true>(a, g);
}

template <class A>
bool matvec_q8_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const MatvecParams& p = params<Kernel::matvec_q8>(a);
  const uint64_t need = (uint64_t(p.k) + kQ8BlockValues - 1) / kQ8BlockValues * kQ8BlockBytes;
  if (p.row_bytes < need) return mtl::kernel_refuse("row bytes too small for K", e);
  return matvec_common_check<A>(a, mtl::sat_mul(p.rows, p.row_bytes), e);
}

VORN_INSTANTIATE_KERNEL(matvec)
VORN_INSTANTIATE_KERNEL(matvec_q8)

}  // namespace vorn::shaders
