// The sixteen-lane depthwise tiles (conv_depthwise_wide.h says what they
// compute). Column stride 2 loads the thirty-two input columns a block's
// taps span in two vectors and picks the even (and, for the next kernel
// column, the odd) ones in output order with one permute each.
#include "kernels/ops/conv_depthwise_wide.h"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/ops/epilogue_avx2.h"
#endif

namespace vorn::kern {

#if defined(__x86_64__)

namespace {

#define VORN_WIDE [[gnu::target("avx512f,avx2,fma")]]

// Lanes of sixteen columns from start that lie inside [0, w).
inline __mmask16 inside16(int64_t start, int64_t w) {
  uint32_t m = 0xffffu;
  if (start < 0) m = start <= -16 ? 0u : (m << static_cast<int>(-start)) & 0xffffu;
  const int64_t room = w - start;
  if (room < 16) m &= room <= 0 ? 0u : (1u << static_cast<int>(room)) - 1u;
  return static_cast<__mmask16>(m);
}

// src + start without forming an address outside the row (start may be
// negative; those lanes are masked and never read).
inline const float* at(const float* src, int64_t start) {
  return reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(src) + static_cast<uintptr_t>(start) * 4);
}

// Eight lanes twice (the masked broadcast names its pass-through lanes,
// as the extracts below do).
VORN_WIDE [[gnu::always_inline]] inline __m512 wide(__m256 h) {
  return _mm512_castpd_ps(_mm512_mask_broadcast_f64x4(_mm512_setzero_pd(), 0xff, _mm256_castps_pd(h)));
}

// SiLU, x / (1 + e^-x), as sigmoid_avx2<true> takes it (NaN passes).
VORN_WIDE [[gnu::always_inline]] inline __m512 silu16(__m512 x) {
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 minus = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(x), _mm512_set1_epi32(INT32_MIN)));
  __m512 g = _mm512_div_ps(one, _mm512_add_ps(one, vexp::exp_avx512(minus)));
  g = _mm512_mask_mov_ps(g, _mm512_cmp_ps_mask(x, x, _CMP_UNORD_Q), x);
  return _mm512_mul_ps(x, g);
}

// HardSwish, x min(1, max(0, x / 6 + 1/2)), as finish_as<kActHardSwish>
// takes it (the add kept from contracting into the multiply).
VORN_WIDE [[gnu::always_inline]] inline __m512 hard_swish16(__m512 v) {
  __m512 g = _mm512_mul_ps(v, _mm512_set1_ps(0.16666667f));
  __asm__("" : "+v"(g));
  g = _mm512_add_ps(g, _mm512_set1_ps(0.5f));
  const __m512 zero = _mm512_setzero_ps(), one = _mm512_set1_ps(1.0f);
  const __mmask16 below = _mm512_cmp_ps_mask(g, zero, _CMP_LT_OQ), above = _mm512_cmp_ps_mask(g, one, _CMP_GT_OQ);
  return _mm512_mul_ps(v, _mm512_mask_mov_ps(_mm512_mask_mov_ps(g, above, one), below, zero));
}

// The epilogue on sixteen lanes. Bias, Relu, Clip (ReLU6), HardSwish and
// SiLU work lane by lane in the one register, with finish()'s operations,
// comparisons and choices (a NaN fails both of Clip's tests and stays;
// Relu keeps a negative zero and sends NaN to zero); the affine and leaky
// activations in two halves of eight, each as the eight-lane tiles finish
// theirs.
VORN_WIDE [[gnu::always_inline]] inline __m512 finish16(const VecEpilogue& e, __m512 v) {
  if (e.act == kActNone || e.act == kActRelu || e.act == kActClip || e.act == kActHardSwish || e.act == kActSiLU) {
    if (e.bias) v = _mm512_add_ps(v, wide(e.b));
    if (e.act == kActRelu) return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ), v);
    if (e.act == kActClip) {
      const __m512 lo = wide(e.slope), hi = wide(e.hi);
      const __mmask16 below = _mm512_cmp_ps_mask(v, lo, _CMP_LT_OQ), above = _mm512_cmp_ps_mask(v, hi, _CMP_GT_OQ);
      return _mm512_mask_mov_ps(_mm512_mask_mov_ps(v, above, hi), below, lo);
    }
    if (e.act == kActHardSwish) return hard_swish16(v);
    if (e.act == kActSiLU) return silu16(v);
    return v;
  }
  // The masked extracts name their pass-through lanes (the plain ones
  // leave them undefined, which GCC 12 warns of).
  const __m256d none = _mm256_setzero_pd();
  const __m256 lo = finish(e, _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(none, 0xff, _mm512_castps_pd(v), 0)));
  const __m256 hi = finish(e, _mm256_castpd_ps(_mm512_mask_extractf64x4_pd(none, 0xff, _mm512_castps_pd(v), 1)));
  const __m512d both = _mm512_mask_insertf64x4(_mm512_setzero_pd(), 0xff, _mm512_castpd256_pd512(_mm256_castps_pd(lo)),
                                               _mm256_castps_pd(hi), 1);
  return _mm512_castpd_ps(both);
}

// K x K taps, stride S, R output rows by V blocks of sixteen columns.
template <int K, int S, int R, int V>
VORN_WIDE void wide_tile(const DepthwiseWide& d, const WideChannel& ch, int64_t oy0, int rows, int64_t q0) {
  // Loads per input row and block: one per kernel column, or one pair per
  // two kernel columns with stride 2.
  constexpr int kLoads = S == 1 ? K : (K + 1) / 2;
  __m512 acc[R][V];
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 2
    for (int b = 0; b < V; ++b) acc[r][b] = _mm512_setzero_ps();
  __m512 wv[K * K];
#pragma GCC unroll 49
  for (int t = 0; t < K * K; ++t) wv[t] = _mm512_set1_ps(ch.w[t]);
  int64_t col[V];
  __mmask16 mk[V][kLoads][S];
#pragma GCC unroll 2
  for (int b = 0; b < V; ++b) {
    col[b] = (q0 + b) * 16 * S - d.padl;
#pragma GCC unroll 7
    for (int l = 0; l < kLoads; ++l)
#pragma GCC unroll 2
      for (int h = 0; h < S; ++h) mk[b][l][h] = inside16(col[b] + l * S + 16 * h, d.w);
  }
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
  const int64_t top = oy0 * S - d.padt;
#pragma GCC unroll 32
  for (int ii = 0; ii < (R - 1) * S + K; ++ii) {
    const int64_t iy = top + ii;
    if (iy < 0 || iy >= d.h) continue;
    const float* xr = ch.x + iy * d.w;
#pragma GCC unroll 7
    for (int l = 0; l < kLoads; ++l) {
      __m512 v[S][V];
#pragma GCC unroll 2
      for (int b = 0; b < V; ++b) {
        const float* src = at(xr, col[b] + l * S);
        if constexpr (S == 1) {
          v[0][b] = _mm512_maskz_loadu_ps(mk[b][l][0], src);
        } else {
          const __m512 lo = _mm512_maskz_loadu_ps(mk[b][l][0], src);
          const __m512 hi = _mm512_maskz_loadu_ps(mk[b][l][1], at(src, 16));
          v[0][b] = _mm512_permutex2var_ps(lo, even, hi);
          if (l * S + 1 < K) v[S - 1][b] = _mm512_permutex2var_ps(lo, odd, hi);
        }
      }
#pragma GCC unroll 2
      for (int h = 0; h < S; ++h) {
        const int j = l * S + h;
        if (j >= K) break;
#pragma GCC unroll 8
        for (int r = 0; r < R; ++r) {
          const int i = ii - r * S;
          if (i < 0 || i >= K) continue;
#pragma GCC unroll 2
          for (int b = 0; b < V; ++b) acc[r][b] = _mm512_fmadd_ps(wv[i * K + j], v[h][b], acc[r][b]);
        }
      }
    }
  }
  const VecEpilogue e = vec_epilogue(d.epi, ch.c);
#pragma GCC unroll 8
  for (int r = 0; r < R; ++r) {
    if (r >= rows) break;
    float* yr = ch.y + (oy0 + r) * d.wo;
#pragma GCC unroll 2
    for (int b = 0; b < V; ++b) {
      const __m512 t = d.epi != nullptr ? finish16(e, acc[r][b]) : acc[r][b];
      const int64_t x0 = (q0 + b) * 16;
      _mm512_mask_storeu_ps(yr + x0, inside16(x0, d.wo), t);
    }
  }
}

// The whole plane flat, V vectors of sixteen positions (rows [oy0, oy0 +
// rows) stored): every output sums its taps from zero in the same order,
// a tap outside the input a product with zero through the load's mask.
template <int K, int V>
VORN_WIDE void flat_tile(const DepthwiseWide& d, const WideChannel& ch, int64_t oy0, int rows, int64_t) {
  __m512 acc[V];
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) acc[v] = _mm512_setzero_ps();
#pragma GCC unroll 49
  for (int t = 0; t < K * K; ++t) {
    const __m512 wv = _mm512_set1_ps(ch.w[t]);
    const float* src = at(ch.x, d.flat_offset[t]);
#pragma GCC unroll 4
    for (int v = 0; v < V; ++v)
      acc[v] = _mm512_fmadd_ps(wv, _mm512_maskz_loadu_ps(d.flat_mask[v][t], at(src, v * 16)), acc[v]);
  }
  const VecEpilogue e = vec_epilogue(d.epi, ch.c);
  const int64_t o0 = oy0 * d.wo, o1 = (oy0 + rows) * d.wo;
#pragma GCC unroll 4
  for (int v = 0; v < V; ++v) {
    const int64_t lo = std::max<int64_t>(o0, v * 16), hi = std::min<int64_t>(o1, v * 16 + 16);
    if (lo >= hi) continue;
    const __m512 t = d.epi != nullptr ? finish16(e, acc[v]) : acc[v];
    _mm512_mask_storeu_ps(ch.y + v * 16, inside16(v * 16 - lo, hi - lo), t);
  }
}

template <int K>
WideTile flat_for(int64_t vectors) {
  switch (vectors) {
    case 1: return &flat_tile<K, 1>;
    case 2: return &flat_tile<K, 2>;
    case 3: return &flat_tile<K, 3>;
    default: return &flat_tile<K, 4>;
  }
}

// The flat form's tile, masks and offsets for a plane of stride 1 whose
// input rows are as wide as its output rows.
void pick_flat(const ConvParams& p, DepthwiseWide* d) {
  const int64_t k = p.kh, positions = p.y.plane(), vectors = (positions + 15) / 16;
  // Bit o of rows[i] (cols[j]): output position o reads an input row
  // (column) inside the plane through the kernel's row i (column j); a tap
  // reads inside where both do.
  static_assert(kFlatPositions <= 64);
  uint64_t rows[kFlatSideMost] = {}, cols[kFlatSideMost] = {};
  for (int64_t o = 0; o < positions; ++o) {
    const int64_t oy = o / p.y.w, ox = o % p.y.w;
    for (int64_t i = 0; i < k; ++i) {
      if (oy + i - p.padt >= 0 && oy + i - p.padt < p.x.h) rows[i] |= uint64_t{1} << o;
      if (ox + i - p.padl >= 0 && ox + i - p.padl < p.x.w) cols[i] |= uint64_t{1} << o;
    }
  }
  for (int64_t i = 0, t = 0; i < k; ++i)
    for (int64_t j = 0; j < k; ++j, ++t) {
      d->flat_offset[t] = (i - p.padt) * p.x.w + (j - p.padl);
      const uint64_t inside = rows[i] & cols[j];
      for (int64_t v = 0; v < vectors; ++v) d->flat_mask[v][t] = static_cast<uint16_t>(inside >> (16 * v));
    }
  d->flat = k == 3 ? flat_for<3>(vectors) : k == 5 ? flat_for<5>(vectors) : flat_for<7>(vectors);
}

template <int K, int S>
void pick(DepthwiseWide* d, int64_t ho) {
  // Eight rows by one block where a row is one block (seven where those
  // cover the rows with fewer left over: 7, 14 and 28 rows), else four
  // rows by two blocks and eight rows by a last odd one: eight sums each.
  const bool seven = (ho + 6) / 7 * 7 < (ho + 7) / 8 * 8;
  d->pair = &wide_tile<K, S, 4, 2>;
  d->pair_rows = 4;
  if (d->blocks == 1 && seven) {
    d->single = &wide_tile<K, S, 7, 1>;
    d->single_rows = 7;
  } else {
    d->single = &wide_tile<K, S, 8, 1>;
    d->single_rows = 8;
  }
}

}  // namespace

bool depthwise_wide_layer(const ConvParams& p, KernelIsa form, const ChannelEpilogue* epi, DepthwiseWide* out) {
  if (form != KernelIsa::kAvx512 || !conv_is_depthwise(p) || p.kh != p.kw || p.dh != 1 || p.dw != 1 ||
      p.sh != p.sw || (p.sw != 1 && p.sw != 2))
    return false;
  DepthwiseWide d;
  // A row of at most eight outputs fills more of an eight-lane vector
  // than of a sixteen-lane one, for as many instructions, unless the plane
  // runs flat.
  if (p.y.w <= 8) {
    if (p.sw != 1 || p.x.w != p.y.w || p.y.plane() > kFlatPositions || (p.kh != 3 && p.kh != 5 && p.kh != 7))
      return false;
    d.h = p.x.h, d.w = p.x.w, d.padt = p.padt, d.padl = p.padl, d.wo = p.y.w;
    d.epi = epi;
    pick_flat(p, &d);
    *out = d;
    return true;
  }
  d.blocks = (p.y.w + 15) / 16;
  d.h = p.x.h, d.w = p.x.w, d.padt = p.padt, d.padl = p.padl, d.wo = p.y.w;
  d.epi = epi;
  const bool s1 = p.sw == 1;
  switch (p.kh) {
    case 3: s1 ? pick<3, 1>(&d, p.y.h) : pick<3, 2>(&d, p.y.h); break;
    case 5: s1 ? pick<5, 1>(&d, p.y.h) : pick<5, 2>(&d, p.y.h); break;
    case 7: s1 ? pick<7, 1>(&d, p.y.h) : pick<7, 2>(&d, p.y.h); break;
    default: return false;
  }
  *out = d;
  return true;
}

void depthwise_wide_rows(const DepthwiseWide& d, const WideChannel& ch, int64_t oy0, int64_t oy1) {
  if (d.flat != nullptr) return d.flat(d, ch, oy0, static_cast<int>(oy1 - oy0), 0);
  const int64_t pairs = d.blocks / 2 * 2;
  // Bands of the single tile's rows: its last block, and the pairs' tiles
  // stacked to the same rows, so the band's input rows stay in cache.
  for (int64_t oy = oy0; oy < oy1; oy += d.single_rows) {
    const int64_t end = std::min(oy1, oy + d.single_rows);
    for (int64_t r = oy; r < end; r += d.pair_rows) {
      const int rows = static_cast<int>(std::min<int64_t>(d.pair_rows, end - r));
      for (int64_t q = 0; q < pairs; q += 2) d.pair(d, ch, r, rows, q);
    }
    if (pairs < d.blocks) d.single(d, ch, oy, static_cast<int>(end - oy), pairs);
  }
}

#else

bool depthwise_wide_layer(const ConvParams&, KernelIsa, const ChannelEpilogue*, DepthwiseWide*) { return false; }
void depthwise_wide_rows(const DepthwiseWide&, const WideChannel&, int64_t, int64_t) {}

#endif

}  // namespace vorn::kern
