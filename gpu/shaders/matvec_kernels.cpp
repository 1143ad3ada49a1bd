// Matrix-vector products of single-row decode: "matvec" (half weights) and
// "matvec_q8" (Q8 weights). One SIMD group of 32 lanes per output row: lane
// l sums x[k] w[row, k] for k = l, l + 32, ... in float (a multiply then an
// add), the lanes are summed across the group, and the bias is added before
// the one rounding to the activation type.
//
// The lane structure is exactly a 32-wide vector accumulator, so the AVX2
// form (four 8-wide registers) and the AVX-512 form (two 16-wide registers),
// chosen once per dispatch from the processor, give the same bits as the
// portable loop; only the speed differs.
//
// Decode reads every weight once per token, so these loops run at the rate
// memory delivers the weights. A row is one long sequential read; the
// weights are fetched a fixed distance ahead (kPrefetchBytes) because the
// hardware's own prefetcher, left alone, keeps too few lines in flight to
// reach the streaming rate on one core. Q8 is bound by its arithmetic
// instead: the exact half rounding of every weight, which a conversion to
// half and back would do in four micro-operations, two of them on the one
// shuffle port. Where a block's values all lie in half's normal range, the
// rounding is done in two float operations instead (half_rounding.h): seven
// micro-operations per 16 weights in all (widen, convert, scale, round in
// two, multiply, add).
#include <immintrin.h>

#include <new>
#include <vector>

#include "gpu/shaders/half_rounding.h"
#include "gpu/shaders/kernels.h"
#include "gpu/shaders/rope_tables.h"
#include "platform/cpu_features.h"
#include "platform/float_exp.h"
#include "platform/thread_kept.h"

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

// Distance ahead of the lanes at which the weights are fetched: about 40
// lines, what one core needs in flight to stream at its full rate (1 KB
// reached 94% of it, 2 KB all of it, 4 KB less again). Fetches past a row
// run into the next row, the one this thread takes next.
constexpr uint64_t kPrefetchBytes = 2048;

inline void prefetch_ahead(const void* p) {
  _mm_prefetch(static_cast<const char*>(p) + kPrefetchBytes, _MM_HINT_T0);
}

// The lines a thread's rows begin with, up to where the row loops' own
// fetches start, when they do not continue the rows it read last: the rows
// of a new dispatch, or a piece of one that another thread's piece came
// before. Without it such a piece meets its first lines one miss after
// another, and at eight threads the pieces are a few kilobytes. A product
// that reads two weights keeps where each left off (kStream).
template <int kStream = 0>
inline void fetch_start(const uint8_t* first, uint64_t bytes) {
  thread_local const uint8_t* last_end = nullptr;
  if (first != last_end) {
    const uint64_t n = bytes < kPrefetchBytes + 64 ? bytes : kPrefetchBytes + 64;
    for (uint64_t b = 0; b < n; b += 64) _mm_prefetch(reinterpret_cast<const char*>(first) + b, _MM_HINT_T0);
  }
  last_end = first + bytes;
}

#define VORN_AVX2 __attribute__((target("avx2,fma,f16c")))

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

// Eight Q8 values of a block whose scale passes half_normal_block: the
// same bits as load8_q8.
VORN_AVX2 inline __m256 load8_q8_normal(const uint8_t* bytes, __m256 scale) {
  const __m256 v =
      _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes))));
  return round_to_half(_mm256_mul_ps(v, scale));
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
VORN_AVX2 inline float lane_sum(__m256 a0, __m256 a1, __m256 a2, __m256 a3) {
  const __m256 low = _mm256_add_ps(a0, a2);   // lanes 0-7 after the first step
  const __m256 high = _mm256_add_ps(a1, a3);  // lanes 8-15
  const __m256 v8 = _mm256_add_ps(low, high);
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  const __m128 v1 = _mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1));
  return _mm_cvtss_f32(v1);
}

// The scale of the Q8 block at bytes, and its bits.
inline float block_scale(const uint8_t* block) {
  float s;
  std::memcpy(&s, block + kQ8BlockValues, sizeof s);
  return s;
}
inline uint32_t block_scale_bits(const uint8_t* block) {
  uint32_t s;
  std::memcpy(&s, block + kQ8BlockValues, sizeof s);
  return s;
}

// The four registers of lanes are named, not an array, so that they stay in
// registers across the loop. x is float: a half x is widened once per
// dispatch by the caller.
VORN_AVX2 float row_dot_half_avx2(const float* x, const half* w, uint64_t K) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  uint64_t k0 = 0;
  for (; k0 + kLanes <= K; k0 += kLanes) {  // 64 bytes of weights: one line
    prefetch_ahead(w + k0);
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0), load8(w + k0)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 8), load8(w + k0 + 8)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 16), load8(w + k0 + 16)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 24), load8(w + k0 + 24)));
  }
  if (k0 < K) {
    float xt[kLanes] = {};
    half wt[kLanes] = {};
    for (uint64_t l = 0; l < K - k0; ++l) {
      xt[l] = x[k0 + l];
      wt[l] = w[k0 + l];
    }
    const int n = int(K - k0);
    a0 = add_first(a0, _mm256_mul_ps(load8(xt), load8(wt)), n);
    a1 = add_first(a1, _mm256_mul_ps(load8(xt + 8), load8(wt + 8)), n - 8);
    a2 = add_first(a2, _mm256_mul_ps(load8(xt + 16), load8(wt + 16)), n - 16);
    a3 = add_first(a3, _mm256_mul_ps(load8(xt + 24), load8(wt + 24)), n - 24);
  }
  return lane_sum(a0, a1, a2, a3);
}

// The last chunk of a row, shorter than 32 columns: its x and bytes, zero
// past K, its block's scale and its length.
struct Q8Tail {
  float x[kLanes] = {};
  uint8_t bytes[kLanes] = {};
  float scale;
  int n;
};
inline Q8Tail q8_tail(const float* x, const uint8_t* w, uint64_t k0, uint64_t K) {
  const uint8_t* block = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
  Q8Tail t;
  for (uint64_t l = 0; l < K - k0; ++l) {
    t.x[l] = x[k0 + l];
    t.bytes[l] = block[k0 % kQ8BlockValues + l];
  }
  t.scale = block_scale(block);
  t.n = int(K - k0);
  return t;
}

// The scale of the block at bytes in every lane, broadcast from memory: the
// compiler would take the bits its check has read into a general register
// and spend two shuffles moving them into every lane, the busiest port.
using ScaleBytes = const char[4];
VORN_AVX2 inline __m256 scale8(const uint8_t* block) {
  __m256 s;
  asm("vbroadcastss %1, %0" : "=x"(s) : "m"(*reinterpret_cast<ScaleBytes*>(block + kQ8BlockValues)));
  return s;
}

// One whole block: two chunks of 32 columns that share one scale, each
// value made by Load. A row's lanes are four registers (lanes 0-7, 8-15,
// 16-23, 24-31), named variables of the caller rather than an array or a
// structure, so that they stay in registers.
template <__m256 (*Load)(const uint8_t*, __m256)>
VORN_AVX2 inline void add_block_avx2(const float* x, const uint8_t* bytes, __m256& a0, __m256& a1, __m256& a2,
                                     __m256& a3) {
  const __m256 scale = scale8(bytes);
  for (int c = 0; c < 64; c += 32) {
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + c), Load(bytes + c, scale)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + c + 8), Load(bytes + c + 8, scale)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + c + 16), Load(bytes + c + 16, scale)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + c + 24), Load(bytes + c + 24, scale)));
  }
}
VORN_AVX2 inline void add_any_block_avx2(const float* x, const uint8_t* bytes, __m256& a0, __m256& a1, __m256& a2,
                                         __m256& a3) {
  if (half_normal_block(block_scale_bits(bytes)))
    add_block_avx2<load8_q8_normal>(x, bytes, a0, a1, a2, a3);
  else
    add_block_avx2<load8_q8>(x, bytes, a0, a1, a2, a3);
}

// A block is 68 bytes, so two fetches a block reach every line.
inline void prefetch_block(const uint8_t* bytes) {
  prefetch_ahead(bytes);
  prefetch_ahead(bytes + 64);
}
// The columns of a row from k0 (the first past its whole blocks) to K: a
// chunk of 32 columns lies inside one 64-value block, then the last chunk;
// then the sum of the lanes.
VORN_AVX2 float finish_row_q8_avx2(const float* x, const uint8_t* w, uint64_t k0, uint64_t K, __m256 a0, __m256 a1,
                                   __m256 a2, __m256 a3) {
  for (; k0 + kLanes <= K; k0 += kLanes) {
    const uint8_t* block = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
    const __m256 scale = scale8(block);
    const uint8_t* bytes = block + k0 % kQ8BlockValues;
    a0 = _mm256_add_ps(a0, _mm256_mul_ps(load8(x + k0), load8_q8(bytes, scale)));
    a1 = _mm256_add_ps(a1, _mm256_mul_ps(load8(x + k0 + 8), load8_q8(bytes + 8, scale)));
    a2 = _mm256_add_ps(a2, _mm256_mul_ps(load8(x + k0 + 16), load8_q8(bytes + 16, scale)));
    a3 = _mm256_add_ps(a3, _mm256_mul_ps(load8(x + k0 + 24), load8_q8(bytes + 24, scale)));
  }
  if (k0 < K) {
    const Q8Tail t = q8_tail(x, w, k0, K);
    const __m256 scale = _mm256_set1_ps(t.scale);
    a0 = add_first(a0, _mm256_mul_ps(load8(t.x), load8_q8(t.bytes, scale)), t.n);
    a1 = add_first(a1, _mm256_mul_ps(load8(t.x + 8), load8_q8(t.bytes + 8, scale)), t.n - 8);
    a2 = add_first(a2, _mm256_mul_ps(load8(t.x + 16), load8_q8(t.bytes + 16, scale)), t.n - 16);
    a3 = add_first(a3, _mm256_mul_ps(load8(t.x + 24), load8_q8(t.bytes + 24, scale)), t.n - 24);
  }
  return lane_sum(a0, a1, a2, a3);
}

// The whole blocks walk a block pointer and an x pointer: the loop's own
// work is a few scalar operations beside the block's vector ones, which
// otherwise take slots on the ports the vector work needs.
VORN_AVX2 float row_dot_q8_avx2(const float* x, const uint8_t* w, uint64_t K) {
  __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
  const uint64_t whole = K / kQ8BlockValues;
  const uint8_t* const end = w + whole * kQ8BlockBytes;
  const float* xb = x;
  for (const uint8_t* bytes = w; bytes != end; bytes += kQ8BlockBytes, xb += kQ8BlockValues) {
    prefetch_block(bytes);
    add_any_block_avx2(xb, bytes, a0, a1, a2, a3);
  }
  return finish_row_q8_avx2(x, w, whole * kQ8BlockValues, K, a0, a1, a2, a3);
}

// The AVX-512 forms: lanes 0-15 in one register, 16-31 in the other. The
// conversions are written in their zero-masked form with every lane set (the
// same instruction): g++ 12 warns on the plain forms' undefined operand.
#define VORN_AVX512 __attribute__((target("avx512f,avx2,fma,f16c")))

constexpr __mmask16 kAll16 = 0xFFFF;

VORN_AVX512 inline __m512 load16(const float* p) { return _mm512_loadu_ps(p); }
VORN_AVX512 inline __m512 load16(const half* p) {
  return _mm512_maskz_cvtph_ps(kAll16, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
VORN_AVX512 inline __m512 load16_q8(const uint8_t* bytes, __m512 scale) {
  const __m512i b = _mm512_maskz_cvtepi8_epi32(kAll16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  const __m512 v = _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(kAll16, b), scale);
  return _mm512_maskz_cvtph_ps(
      kAll16, _mm512_maskz_cvtps_ph(kAll16, v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
}
VORN_AVX512 inline __m512 load16_q8_normal(const uint8_t* bytes, __m512 scale) {
  const __m512i b = _mm512_maskz_cvtepi8_epi32(kAll16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
  return round_to_half(_mm512_mul_ps(_mm512_maskz_cvtepi32_ps(kAll16, b), scale));
}
VORN_AVX512 inline __m512 add_first(__m512 acc, __m512 product, int n) {
  const __mmask16 mask = n >= 16 ? __mmask16(0xFFFF) : n <= 0 ? __mmask16(0) : __mmask16((1u << n) - 1);
  return _mm512_mask_add_ps(acc, mask, acc, product);
}
// The same halving order: l + 16 adds the two registers, then as in AVX2.
VORN_AVX512 inline float lane_sum(__m512 a0, __m512 a1) {
  const __m512 v16 = _mm512_add_ps(a0, a1);
  const __m256 low = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, _mm512_castps_pd(v16), 0));
  const __m256 high = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, _mm512_castps_pd(v16), 1));
  const __m256 v8 = _mm256_add_ps(low, high);
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v8), _mm256_extractf128_ps(v8, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  const __m128 v1 = _mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1));
  return _mm_cvtss_f32(v1);
}

VORN_AVX512 float row_dot_half_avx512(const float* x, const half* w, uint64_t K) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0;
  uint64_t k0 = 0;
  for (; k0 + kLanes <= K; k0 += kLanes) {
    prefetch_ahead(w + k0);
    a0 = _mm512_add_ps(a0, _mm512_mul_ps(load16(x + k0), load16(w + k0)));
    a1 = _mm512_add_ps(a1, _mm512_mul_ps(load16(x + k0 + 16), load16(w + k0 + 16)));
  }
  if (k0 < K) {
    float xt[kLanes] = {};
    half wt[kLanes] = {};
    for (uint64_t l = 0; l < K - k0; ++l) {
      xt[l] = x[k0 + l];
      wt[l] = w[k0 + l];
    }
    const int n = int(K - k0);
    a0 = add_first(a0, _mm512_mul_ps(load16(xt), load16(wt)), n);
    a1 = add_first(a1, _mm512_mul_ps(load16(xt + 16), load16(wt + 16)), n - 16);
  }
  return lane_sum(a0, a1);
}

VORN_AVX512 inline __m512 scale16(const uint8_t* block) {
  __m512 s;
  asm("vbroadcastss %1, %0" : "=v"(s) : "m"(*reinterpret_cast<ScaleBytes*>(block + kQ8BlockValues)));
  return s;
}

// A row's lanes are two registers (lanes 0-15, 16-31), named variables of
// the caller.
template <__m512 (*Load)(const uint8_t*, __m512)>
VORN_AVX512 inline void add_block_avx512(const float* x, const uint8_t* bytes, __m512& a0, __m512& a1) {
  const __m512 scale = scale16(bytes);
  for (int c = 0; c < 64; c += 32) {
    a0 = _mm512_add_ps(a0, _mm512_mul_ps(load16(x + c), Load(bytes + c, scale)));
    a1 = _mm512_add_ps(a1, _mm512_mul_ps(load16(x + c + 16), Load(bytes + c + 16, scale)));
  }
}
VORN_AVX512 inline void add_any_block_avx512(const float* x, const uint8_t* bytes, __m512& a0, __m512& a1) {
  if (half_normal_block(block_scale_bits(bytes)))
    add_block_avx512<load16_q8_normal>(x, bytes, a0, a1);
  else
    add_block_avx512<load16_q8>(x, bytes, a0, a1);
}

VORN_AVX512 float finish_row_q8_avx512(const float* x, const uint8_t* w, uint64_t k0, uint64_t K, __m512 a0,
                                       __m512 a1) {
  for (; k0 + kLanes <= K; k0 += kLanes) {
    const uint8_t* block = w + (k0 / kQ8BlockValues) * kQ8BlockBytes;
    const __m512 scale = scale16(block);
    const uint8_t* bytes = block + k0 % kQ8BlockValues;
    a0 = _mm512_add_ps(a0, _mm512_mul_ps(load16(x + k0), load16_q8(bytes, scale)));
    a1 = _mm512_add_ps(a1, _mm512_mul_ps(load16(x + k0 + 16), load16_q8(bytes + 16, scale)));
  }
  if (k0 < K) {
    const Q8Tail t = q8_tail(x, w, k0, K);
    const __m512 scale = _mm512_set1_ps(t.scale);
    a0 = add_first(a0, _mm512_mul_ps(load16(t.x), load16_q8(t.bytes, scale)), t.n);
    a1 = add_first(a1, _mm512_mul_ps(load16(t.x + 16), load16_q8(t.bytes + 16, scale)), t.n - 16);
  }
  return lane_sum(a0, a1);
}

VORN_AVX512 float row_dot_q8_avx512(const float* x, const uint8_t* w, uint64_t K) {
  __m512 a0 = _mm512_setzero_ps(), a1 = a0;
  const uint64_t whole = K / kQ8BlockValues;
  const uint8_t* const end = w + whole * kQ8BlockBytes;
  const float* xb = x;
  for (const uint8_t* bytes = w; bytes != end; bytes += kQ8BlockBytes, xb += kQ8BlockValues) {
    prefetch_block(bytes);
    add_any_block_avx512(xb, bytes, a0, a1);
  }
  return finish_row_q8_avx512(x, w, whole * kQ8BlockValues, K, a0, a1);
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

// A row's product with its bias, rounded to the activation type.
template <class A>
float product_value(const half* bias, bool has_bias, uint64_t row, float sum) {
  if (has_bias) sum = sum + to_float(bias[row]);
  return to_float(from_float<A>(sum));
}

template <class A>
bool matvec_common_check(const mtl::KernelArgs& a, uint64_t weight_bytes, std::string* e) {
  const MatvecParams& p = params<Kernel::matvec>(a);
  if (!(require_elements(a, 0, p.k, sizeof(A), e) && mtl::kernel_require(a, 1, weight_bytes, e) &&
        (p.head_rows != 0 || require_elements(a, 2, p.rows, sizeof(A), e)) &&
        (p.has_bias == 0 || require_elements(a, 4, p.rows, 2, e))))
    return false;
  switch (p.output) {
    case kMatvecPlain:
      if (p.head_rows == 0) return true;
      // Whole heads, side by side or spaced apart, the last one inside y.
      if (p.rows % p.head_rows != 0 || p.head_stride < p.head_rows)
        return mtl::kernel_refuse("rows are not whole heads of head_rows inside head_stride", e);
      return require_elements(a, 2, uint64_t(p.rows / p.head_rows - 1) * p.head_stride + p.head_rows, sizeof(A), e);
    case kMatvecResidual:
      return p.head_rows == 0 ? require_elements(a, 5, p.rows, sizeof(A), e)
                              : mtl::kernel_refuse("heads apart only in a plain product", e);
    case kMatvecRope: {
      const uint64_t d = p.rope_head_dim;
      if (d == 0 || d % 2 != 0 || d / 2 > kRopeTable || p.rows % d != 0 || (p.head_rows != 0 && p.head_rows != d))
        return mtl::kernel_refuse("rope rows must be whole heads of an even d up to twice the table", e);
      if (!mtl::kernel_require(a, 5, 8, e)) return false;
      if (p.head_rows == 0) return true;
      if (p.head_stride < p.head_rows) return mtl::kernel_refuse("heads overlap", e);
      return require_elements(a, 2, uint64_t(p.rows / p.head_rows - 1) * p.head_stride + p.head_rows, sizeof(A), e);
    }
    case kMatvecSwiglu:
      if (p.head_rows != 0) return mtl::kernel_refuse("heads apart only in a plain product", e);
      return mtl::kernel_require(a, 5, weight_bytes, e) && (p.has_up_bias == 0 || require_elements(a, 6, p.rows, 2, e));
    default:
      return mtl::kernel_refuse("unknown output step", e);
  }
}

template <bool kQ8, class X>
float row_dot(const X* x, const uint8_t* w, uint64_t K, VectorForm form) {
#if defined(__x86_64__)
  if constexpr (sizeof(X) == 4) {
    if (form == VectorForm::kAvx512) {
      if constexpr (kQ8) return row_dot_q8_avx512(x, w, K);
      return row_dot_half_avx512(x, reinterpret_cast<const half*>(w), K);
    }
    if (form == VectorForm::kAvx2) {
      if constexpr (kQ8) return row_dot_q8_avx2(x, w, K);
      return row_dot_half_avx2(x, reinterpret_cast<const half*>(w), K);
    }
  }
#endif
  (void)form;
  if constexpr (kQ8)
    return row_dot_portable(x, Q8Row{w}, K);
  else
    return row_dot_portable(x, HalfRow{reinterpret_cast<const half*>(w)}, K);
}

// A half x widened to floats, kept by a thread for the next groups of the
// same dispatch (0: none kept, as a dispatch outside a command buffer has).
struct Widened {
  uint64_t dispatch = 0;
  std::vector<float> x;
};

// Whether `kept` holds x widened for this dispatch, widening it if not;
// false when there is no memory for it.
template <class A>
bool widen_once(Widened& kept, const A* x, uint64_t K, uint64_t dispatch) {
  if (kept.dispatch == dispatch && dispatch != 0) return true;
  if (kept.x.size() < K) {
    try {
      kept.x.resize(K);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  half_to_float_n(reinterpret_cast<const uint16_t*>(x), kept.x.data(), K);
  kept.dispatch = dispatch;
  return true;
}

// The rows of one threadgroup (four rows of 32 lanes each), then each row's
// output step: the pointwise kernels' own operations in their order, each
// rounded to the activation type where they store.
template <class A, bool kQ8, class X>
void matvec_rows(const MatvecParams& p, const mtl::KernelArgs& a, Rows rows, const X* x, VectorForm form) {
  const uint64_t K = p.k, row_bytes = kQ8 ? p.row_bytes : K * 2;
  const uint8_t* w = a.buffer<const uint8_t>(1);
  A* y = a.buffer<A>(2);
  const half* bias = a.buffer<const half>(4);
  const bool has_bias = p.has_bias != 0;
  switch (p.output) {
    case kMatvecResidual: {
      const A* residual = a.buffer<const A>(5);
      for (uint64_t r = rows.begin; r < rows.end; ++r) {
        const float v = product_value<A>(bias, has_bias, r, row_dot<kQ8>(x, w + r * row_bytes, K, form));
        y[r] = from_float<A>(to_float(residual[r]) + v);
      }
      return;
    }
    case kMatvecSwiglu: {
      const uint8_t* up = a.buffer<const uint8_t>(5);
      const half* up_bias = a.buffer<const half>(6);
      const bool has_up_bias = p.has_up_bias != 0;
      // The exponentials of a chunk of rows in one vector call (a
      // threadgroup has four rows).
      constexpr uint64_t kChunk = 8;
      for (uint64_t r0 = rows.begin; r0 < rows.end; r0 += kChunk) {
        const uint64_t n = rows.end - r0 < kChunk ? rows.end - r0 : kChunk;
        float g[kChunk], u[kChunk], e[kChunk] = {};
        for (uint64_t j = 0; j < n; ++j) {
          const uint64_t r = r0 + j;
          g[j] = product_value<A>(bias, has_bias, r, row_dot<kQ8>(x, w + r * row_bytes, K, form));
          u[j] = product_value<A>(up_bias, has_up_bias, r, row_dot<kQ8>(x, up + r * row_bytes, K, form));
          e[j] = -g[j];
        }
        exp_float_n(e, e, kChunk);
        for (uint64_t j = 0; j < n; ++j) y[r0 + j] = from_float<A>(to_float(from_float<A>(g[j] / (1.0f + e[j]))) * u[j]);
      }
      return;
    }
    case kMatvecRope: {
      // The group's rows in pairs: row 2 (h d/2 + c) + m is channel c + m d/2
      // of head h. A pair split between groups is computed by both, each
      // storing its own.
      const uint64_t d = p.rope_head_dim, half_d = d / 2, stride = p.head_rows != 0 ? p.head_stride : d;
      const RopeTables& t = rope_tables<A>(p.theta, d, a.buffer<const int64_t>(5)[0]);
      for (uint64_t pair = rows.begin / 2; pair * 2 < rows.end; ++pair) {
        const uint64_t h = pair / half_d, c = pair % half_d, r0 = h * d + c, r1 = r0 + half_d;
        const float v0 = product_value<A>(bias, has_bias, r0, row_dot<kQ8>(x, w + r0 * row_bytes, K, form));
        const float v1 = product_value<A>(bias, has_bias, r1, row_dot<kQ8>(x, w + r1 * row_bytes, K, form));
        const float cos_r = t.cos_a[c], sin_r = t.sin_a[c];
        if (pair * 2 >= rows.begin)
          y[h * stride + c] = from_float<A>(round_to<A>(v0 * cos_r) + round_to<A>(-1.0f * v1 * sin_r));
        if (pair * 2 + 1 < rows.end)
          y[h * stride + c + half_d] = from_float<A>(round_to<A>(v1 * cos_r) + round_to<A>(1.0f * v0 * sin_r));
      }
      return;
    }
    default:
      if (p.head_rows != 0) {
        const uint64_t head = p.head_rows, stride = p.head_stride;
        for (uint64_t r = rows.begin; r < rows.end; ++r)
          y[r / head * stride + r % head] =
              from_float<A>(product_value<A>(bias, has_bias, r, row_dot<kQ8>(x, w + r * row_bytes, K, form)));
        return;
      }
      for (uint64_t r = rows.begin; r < rows.end; ++r)
        y[r] = from_float<A>(product_value<A>(bias, has_bias, r, row_dot<kQ8>(x, w + r * row_bytes, K, form)));
  }
}

template <class A, bool kQ8>
void matvec_group(const mtl::KernelArgs& a, mtl::Size3 g) {
  const MatvecParams& p = params < kQ8 ? Kernel::matvec_q8 : Kernel::matvec > (a);
  const uint64_t K = p.k, row_bytes = kQ8 ? p.row_bytes : K * 2;
  const A* x = a.buffer<const A>(0);
  const Rows rows = rows_of(a, g, p.rows);
  const VectorForm form = vector_form();
#if defined(__x86_64__)
  if (form != VectorForm::kPortable && rows.begin < rows.end) {
    fetch_start(a.buffer<const uint8_t>(1) + rows.begin * row_bytes, (rows.end - rows.begin) * row_bytes);
    if (p.output == kMatvecSwiglu)
      fetch_start<1>(a.buffer<const uint8_t>(5) + rows.begin * row_bytes, (rows.end - rows.begin) * row_bytes);
  }
#endif
  // Every row of the dispatch reads the same x: a half x is widened once per
  // thread and dispatch, and kept for the thread's next groups.
  Widened* kept = sizeof(A) == 2 && form != VectorForm::kPortable ? ThreadKept<Widened>::get() : nullptr;
  if (kept != nullptr && widen_once(*kept, x, K, a.dispatch_id)) {
    matvec_rows<A, kQ8>(p, a, rows, static_cast<const float*>(kept->x.data()), form);
    return;
  }
  matvec_rows<A, kQ8>(p, a, rows, x, form);
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
