// The AVX2 form of the two loops of "attention_decode64" over the keys of
// one head (head dim 64, rows of K and V contiguous): the scores q . k, and
// the probability-weighted sums of values per SIMD group. Each keeps the
// kernel's lanes and reduction order, so it gives the portable loop's bits.
#pragma once
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>

#include "gpu/shaders/shader_types.h"

namespace vorn::shaders::decode_avx2 {

#define VORN_DECODE_AVX2 __attribute__((target("avx2,f16c")))

VORN_DECODE_AVX2 inline __m256 load8(const float* p) { return _mm256_loadu_ps(p); }
VORN_DECODE_AVX2 inline __m256 load8(const half* p) {
  return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Lanes l = 0..31 of key row r hold q[l] r[l] + q[l + 32] r[l + 32]; the
// register returned holds them after the first two halving steps of
// simd_sum (l + 16, then l + 8): lanes 0-7 as one register.
template <class A>
VORN_DECODE_AVX2 inline __m256 key_lanes(const __m256 (&q)[8], const A* r) {
  const __m256 a0 = _mm256_add_ps(_mm256_mul_ps(q[0], load8(r)), _mm256_mul_ps(q[4], load8(r + 32)));
  const __m256 a1 = _mm256_add_ps(_mm256_mul_ps(q[1], load8(r + 8)), _mm256_mul_ps(q[5], load8(r + 40)));
  const __m256 a2 = _mm256_add_ps(_mm256_mul_ps(q[2], load8(r + 16)), _mm256_mul_ps(q[6], load8(r + 48)));
  const __m256 a3 = _mm256_add_ps(_mm256_mul_ps(q[3], load8(r + 24)), _mm256_mul_ps(q[7], load8(r + 56)));
  return _mm256_add_ps(_mm256_add_ps(a0, a2), _mm256_add_ps(a1, a3));
}

// Step l + 2 of the pairs of keys x (0 | 1) and y (2 | 3): keys 0, 2 | 1, 3.
VORN_DECODE_AVX2 inline __m256 step2(__m256 x, __m256 y) {
  const __m256d xd = _mm256_castps_pd(x), yd = _mm256_castps_pd(y);
  return _mm256_add_ps(_mm256_castpd_ps(_mm256_unpacklo_pd(xd, yd)), _mm256_castpd_ps(_mm256_unpackhi_pd(xd, yd)));
}

// The last three halving steps (l + 4, l + 2, l + 1) of eight keys' lanes
// at once: element t of the result is key t's sum.
VORN_DECODE_AVX2 inline __m256 finish8(const __m256 (&v)[8]) {
  __m256 z[4];  // step l + 4: keys 2p and 2p + 1 in the two halves
  for (int p = 0; p < 4; ++p)
    z[p] = _mm256_add_ps(_mm256_permute2f128_ps(v[2 * p], v[2 * p + 1], 0x20),
                         _mm256_permute2f128_ps(v[2 * p], v[2 * p + 1], 0x31));
  const __m256 r0 = step2(z[0], z[1]), r1 = step2(z[2], z[3]);
  // Step l + 1: keys 0, 2, 4, 6 | 1, 3, 5, 7, then in order.
  const __m256 s = _mm256_add_ps(_mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(2, 0, 2, 0)),
                                 _mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 1, 3, 1)));
  return _mm256_permutevar8x32_ps(s, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

VORN_DECODE_AVX2 inline float finish1(__m256 v) {
  const __m128 v4 = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
  const __m128 v2 = _mm_add_ps(v4, _mm_movehl_ps(v4, v4));
  return _mm_cvtss_f32(_mm_add_ss(v2, _mm_shuffle_ps(v2, v2, 1)));
}

// Bytes ahead of the current row at which a stream of rows is fetched:
// the hardware's prefetcher alone keeps too few lines in flight for one
// core to read at its streaming rate.
constexpr uint64_t kFetchAhead = 4096;

inline void fetch_lines(const void* p, uint64_t bytes) {
  const char* c = static_cast<const char*>(p);
  for (uint64_t b = 0; b < bytes; b += 64) _mm_prefetch(c + b, _MM_HINT_T0);
}

// scores[j] = simd_sum of the lanes of q and key row j, for j < total.
// `fetch`: the rows come from memory (the first head to read them), so the
// rows kFetchAhead bytes on are fetched as the loop goes.
template <class A>
VORN_DECODE_AVX2 void scores(const float* qf, const A* k, uint64_t total, float* out, bool fetch) {
  __m256 q[8];
  for (int i = 0; i < 8; ++i) q[i] = _mm256_loadu_ps(qf + 8 * i);
  // The rows before the loop's fetches reach: all asked at once rather than
  // one miss after another.
  if (fetch) fetch_lines(k, std::min<uint64_t>(kFetchAhead, total * 64 * sizeof(A)));
  uint64_t j = 0;
  for (; j + 8 <= total; j += 8) {
    if (fetch) fetch_lines(reinterpret_cast<const char*>(k + j * 64) + kFetchAhead, 8 * 64 * sizeof(A));
    __m256 v[8];
    for (int t = 0; t < 8; ++t) v[t] = key_lanes(q, k + (j + t) * 64);
    _mm256_storeu_ps(out + j, finish8(v));
  }
  for (; j < total; ++j) out[j] = finish1(key_lanes(q, k + j * 64));
}

// For each of H heads h: acc[h * acc_stride + c], c < 32, = the sum over
// keys j = s, s + 4, ... below total of p[h * p_stride + j] v[j, c], in key
// order (a multiply, then an add); rows of v are 64 apart. The heads share
// each row as it is read, and the part's lines of the row 64 rows on are
// fetched.
template <class A, int H>
VORN_DECODE_AVX2 void group_values(const float* p, uint64_t p_stride, const A* v, uint64_t s, uint64_t total,
                                   float* acc, uint64_t acc_stride) {
  __m256 a[H][4];
  for (int h = 0; h < H; ++h)
    for (int i = 0; i < 4; ++i) a[h][i] = _mm256_setzero_ps();
  constexpr uint64_t kAheadRows = 64;
  // The part's lines of the rows before the loop's fetches reach.
  for (uint64_t j = s; j < total && j < kAheadRows; j += 4) {
    _mm_prefetch(reinterpret_cast<const char*>(v + j * 64), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(v + j * 64) + 32 * sizeof(A) - 1, _MM_HINT_T0);
  }
  for (uint64_t j = s; j < total; j += 4) {
    const A* r = v + j * 64;
    _mm_prefetch(reinterpret_cast<const char*>(r + kAheadRows * 64), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(r + kAheadRows * 64) + 32 * sizeof(A) - 1, _MM_HINT_T0);
    for (int h = 0; h < H; ++h) {
      const __m256 w = _mm256_set1_ps(p[h * p_stride + j]);
      for (int i = 0; i < 4; ++i) a[h][i] = _mm256_add_ps(a[h][i], _mm256_mul_ps(w, load8(r + 8 * i)));
    }
  }
  for (int h = 0; h < H; ++h)
    for (int i = 0; i < 4; ++i) _mm256_storeu_ps(acc + h * acc_stride + 8 * i, a[h][i]);
}

// A stream of rows brought into the first-level cache ahead of its reader:
// `fetched` bytes from `base` have been asked for.
struct RowFetch {
  const char* base;
  uint64_t bytes, fetched = 0;
  // Asks for up to `lines` more lines.
  void more(uint64_t lines) {
    for (const uint64_t end = std::min(bytes, fetched + lines * 64); fetched < end; fetched += 64)
      _mm_prefetch(base + fetched, _MM_HINT_T0);
  }
  // Asks for the lines up to `ahead` bytes past offset `at`.
  void reach(uint64_t at, uint64_t ahead) {
    if (fetched < at + ahead) more((at + ahead - fetched + 63) / 64);
  }
};

// group_values for every head h < heads and all four SIMD groups s at once,
// into acc[(h * 4 + s) * 64 + c] for the 64 channels: one pass over the rows
// in order, row j adding into group j % 4's sums, so that the rows stream
// from memory contiguously once (fetch: the stream of v, possibly begun).
// Each sum takes the same terms in the same order as group_values gives it.
template <class A>
VORN_DECODE_AVX2 void all_group_values(const float* p, uint64_t heads, const A* v, uint64_t total, float* acc,
                                       RowFetch& fetch) {
  for (uint64_t i = 0; i < heads * 4 * 64; i += 8) _mm256_storeu_ps(acc + i, _mm256_setzero_ps());
  constexpr uint64_t kRowBytes = 64 * sizeof(A);
  for (uint64_t j = 0; j < total; ++j) {
    const A* r = v + j * 64;
    fetch.reach(j * kRowBytes, kFetchAhead);
    __m256 x[8];
    for (int i = 0; i < 8; ++i) x[i] = load8(r + 8 * i);
    float* a = acc + (j & 3) * 64;
    for (uint64_t h = 0; h < heads; ++h, a += 4 * 64) {
      const __m256 w = _mm256_set1_ps(p[h * total + j]);
      for (int i = 0; i < 8; ++i)
        _mm256_storeu_ps(a + 8 * i, _mm256_add_ps(_mm256_loadu_ps(a + 8 * i), _mm256_mul_ps(w, x[i])));
    }
  }
}

#undef VORN_DECODE_AVX2

}  // namespace vorn::shaders::decode_avx2
#endif
