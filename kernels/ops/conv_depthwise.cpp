// Depthwise convolution, one output plane at a time. Rows whose kernel
// window lies wholly inside the input run a fixed-size kernel (3x3, 5x5 or
// 7x7, column stride 1 or 2) that keeps all taps in registers and vectorises
// across output columns; the border runs a bounds-tested form. Every output
// value sums its taps from 0 in row-major kernel order, skipping taps outside
// the input, so all forms give the same values.
#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/ops/conv_paths.h"
#include "kernels/ops/epilogue_avx2.h"
#include "platform/cpu_features.h"

VORN_VECTORIZE_FILE

namespace vorn::kern {

namespace {

// First and one-past-last output column whose tap column off + x*sw lies
// inside [0, w).
inline void inside_columns(int64_t off, int64_t sw, int64_t w, int64_t wo, int64_t* lo, int64_t* hi) {
  int64_t a = off >= 0 ? 0 : (-off + sw - 1) / sw;
  int64_t b = w - 1 - off < 0 ? 0 : (w - 1 - off) / sw + 1;
  *lo = std::min(a, wo);
  *hi = std::clamp(b, *lo, wo);
}

// One output row by passes over the kernel taps; any stride and dilation.
void row_by_taps(const ConvParams& p, const float* x, const float* w, float* yr, int64_t oy) {
  const int64_t wo = p.y.w;
  std::memset(yr, 0, static_cast<size_t>(wo) * 4);
  for (int64_t i = 0; i < p.kh; ++i) {
    const int64_t iy = oy * p.sh - p.padt + i * p.dh;
    if (iy < 0 || iy >= p.x.h) continue;
    const float* xr = x + iy * p.x.w;
    for (int64_t j = 0; j < p.kw; ++j) {
      const float wt = w[i * p.kw + j];
      const int64_t off = j * p.dw - p.padl;
      int64_t lo, hi;
      inside_columns(off, p.sw, p.x.w, wo, &lo, &hi);
      if (p.sw == 1) {
        for (int64_t c = lo; c < hi; ++c) yr[c] += wt * xr[c + off];
      } else {
        for (int64_t c = lo; c < hi; ++c) yr[c] += wt * xr[c * p.sw + off];
      }
    }
  }
}

// Columns [lo, hi) of an interior row: all K x K taps inside, column
// dilation 1, column stride SW. Instantiated once for the baseline ISA and
// once for AVX2 with fused multiply-adds, chosen at run time.
// Border column c of an interior row: taps outside [0, xw) are skipped.
template <int K, int SW>
[[gnu::always_inline]] inline float edge_fixed(const float* const* rk, const float* wk, int64_t padl,
                                               int64_t xw, int64_t c) {
  const int64_t first = c * SW - padl;
  float sum = 0.0f;
  for (int i = 0; i < K; ++i) {
    float acc = 0.0f;
    for (int j = 0; j < K; ++j) {
      const int64_t ix = first + j;
      if (ix >= 0 && ix < xw) acc += wk[i * K + j] * rk[i][ix];
    }
    sum = i == 0 ? acc : sum + acc;
  }
  return sum;
}

template <int K, int SW, bool kFma>
[[gnu::always_inline]] inline void row_fixed_body(const float* const* rows, int64_t padl, const float* w,
                                                  float* __restrict yr, int64_t lo, int64_t hi, int64_t wo,
                                                  int64_t xw) {
  // Local copies: the compiler then knows the stores to yr touch neither
  // the weights nor the row pointers and keeps both in registers.
  float wk[K * K];
  const float* rk[K];
  for (int t = 0; t < K * K; ++t) wk[t] = w[t];
  for (int i = 0; i < K; ++i) rk[i] = rows[i];
  for (int64_t c = lo; c < hi; ++c) {
    // One partial sum per kernel row: K short dependency chains instead of
    // one long one, so consecutive columns overlap in the pipeline.
    float part[K];
    for (int i = 0; i < K; ++i) {
      const float* r = rk[i] + (c * SW - padl);
      float acc = 0.0f;
      for (int j = 0; j < K; ++j) {
        if constexpr (kFma)
          acc = __builtin_fmaf(wk[i * K + j], r[j], acc);
        else
          acc += wk[i * K + j] * r[j];
      }
      part[i] = acc;
    }
    float sum = part[0];
    for (int i = 1; i < K; ++i) sum += part[i];
    yr[c] = sum;
  }
  for (int64_t c = 0; c < lo; ++c) yr[c] = edge_fixed<K, SW>(rk, wk, padl, xw, c);
  for (int64_t c = hi; c < wo; ++c) yr[c] = edge_fixed<K, SW>(rk, wk, padl, xw, c);
}

template <int K, int SW>
void row_fixed(const float* const* rows, int64_t padl, const float* w, float* yr, int64_t lo, int64_t hi,
               int64_t wo, int64_t xw) {
  row_fixed_body<K, SW, false>(rows, padl, w, yr, lo, hi, wo, xw);
}

#if defined(__x86_64__)
template <int K, int SW>
[[gnu::target("avx2,fma")]] void row_fixed_avx2(const float* const* rows, int64_t padl, const float* w,
                                                float* yr, int64_t lo, int64_t hi, int64_t wo, int64_t xw) {
  row_fixed_body<K, SW, true>(rows, padl, w, yr, lo, hi, wo, xw);
}

#endif

// Computes a whole interior row: columns [lo, hi) without bounds tests, the
// border columns with them.
using RowFixed = void (*)(const float* const*, int64_t, const float*, float*, int64_t, int64_t, int64_t,
                          int64_t);

template <int K>
RowFixed pick_stride(int64_t sw, bool portable_only) {
#if defined(__x86_64__)
  if (!portable_only && cpu_has_avx2_fma()) return sw == 1 ? &row_fixed_avx2<K, 1> : &row_fixed_avx2<K, 2>;
#endif
  return sw == 1 ? &row_fixed<K, 1> : &row_fixed<K, 2>;
}

RowFixed pick_fixed(const ConvParams& p, bool portable_only) {
  if (p.kh != p.kw || p.dw != 1 || (p.sw != 1 && p.sw != 2)) return nullptr;
  switch (p.kh) {
    case 3: return pick_stride<3>(p.sw, portable_only);
    case 5: return pick_stride<5>(p.sw, portable_only);
    case 7: return pick_stride<7>(p.sw, portable_only);
    default: return nullptr;
  }
}

#if defined(__x86_64__)
// Strip form: a few output rows at a time, their input rows copied into a
// zero-padded scratch on the stack (split into even and odd columns for
// column stride 2), so every output column, border ones included, runs the
// same unrolled loop of K x K fused multiply-adds over 8 columns per vector
// without a bounds test. A padding zero times a finite weight adds +0, the
// same as skipping the tap; weights that are not all finite take the
// bounds-tested forms. Up to eight vectors of the strip's (row, column
// block) list are accumulated together so the broadcast of each weight is
// shared and the FMA latency hidden, which keeps planes narrower than 64
// columns (7 x 7, 14 x 14) as busy as wide ones.
constexpr int64_t kStripIn = 16384;  // floats of padded input per strip

struct StripPlan {
  int64_t wo_r = 0;  // output row width rounded up to whole vectors
  int64_t wq = 0;    // width of one column phase of a padded input row
  int64_t rows = 0;  // output rows per strip
};

StripPlan plan_strip(const ConvParams& p) {
  StripPlan s;
  s.wo_r = (p.y.w + 7) / 8 * 8;
  // Whole vectors per phase, so stride 2 splits a row without a tail.
  s.wq = (s.wo_r + p.kw + 7) / 8 * 8;
  const int64_t in_row = s.wq * p.sw;
  const int64_t fit = kStripIn / in_row;
  const int64_t by_in = fit < p.kh ? 0 : (fit - p.kh) / p.sh + 1;
  s.rows = std::min(p.y.h, by_in);
  return s;
}

// Eight consecutive values of a zero-padded input row: src[start + k], or 0
// where start + k lies outside [0, w). Border blocks use a masked load,
// which never touches the lanes it leaves out.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256 load_padded(const float* src, int64_t start,
                                                                         int64_t w) {
  if (start >= 0 && start + 8 <= w) return _mm256_loadu_ps(src + start);
  if (start + 8 <= 0 || start >= w) return _mm256_setzero_ps();
  const __m256i lane = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(start)),
                                        _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  const __m256i inside = _mm256_and_si256(_mm256_cmpgt_epi32(lane, _mm256_set1_epi32(-1)),
                                          _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(w)), lane));
  const float* base = reinterpret_cast<const float*>(reinterpret_cast<uintptr_t>(src) +
                                                     static_cast<uintptr_t>(start) * sizeof(float));
  return _mm256_maskload_ps(base, inside);
}

// Copies padded input rows for output rows [oy0, oy0 + rows) into buf.
// Written with whole-vector stores only: the product loop then reloads
// them without store-forwarding stalls.
template <int S>
[[gnu::target("avx2,fma")]] void fill_strip(const ConvParams& p, const StripPlan& sp, const float* x, float* buf,
                                            int64_t oy0, int64_t rows) {
  const int64_t rin = (rows - 1) * p.sh + p.kh, wq = sp.wq, W = p.x.w;
  for (int64_t r = 0; r < rin; ++r) {
    float* dst = buf + r * S * wq;
    const int64_t iy = oy0 * p.sh - p.padt + r;
    if (iy < 0 || iy >= p.x.h) {
      for (int64_t t = 0; t < S * wq; t += 8) _mm256_storeu_ps(dst + t, _mm256_setzero_ps());
      continue;
    }
    // Padded column u holds input column u - padl.
    const float* src = x + iy * W;
    if constexpr (S == 1) {
      for (int64_t t = 0; t < wq; t += 8) _mm256_storeu_ps(dst + t, load_padded(src, t - p.padl, W));
    } else {
      // Splits 16 padded columns at a time into even and odd ones.
      for (int64_t t = 0; t < wq; t += 8) {
        const __m256 lo = load_padded(src, 2 * t - p.padl, W), hi = load_padded(src, 2 * t + 8 - p.padl, W);
        const __m256 e = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        const __m256 o = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        _mm256_storeu_ps(dst + t, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), 0xd8)));
        _mm256_storeu_ps(dst + wq + t, _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), 0xd8)));
      }
    }
  }
}

template <int K, int S, int N>
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void strip_vectors(const float* w, const float* const* in,
                                                                         float* const* out, int64_t row_step,
                                                                         const VecEpilogue& e) {
  __m256 acc[N];
  for (int a = 0; a < N; ++a) acc[a] = _mm256_setzero_ps();
  for (int i = 0; i < K; ++i)
    for (int j = 0; j < K; ++j) {
      const __m256 wt = _mm256_broadcast_ss(w + i * K + j);
      const int64_t off = i * row_step + (j % S) * (row_step / S) + j / S;
      for (int a = 0; a < N; ++a) acc[a] = _mm256_fmadd_ps(wt, _mm256_loadu_ps(in[a] + off), acc[a]);
    }
  for (int a = 0; a < N; ++a) _mm256_storeu_ps(out[a], finish(e, acc[a]));
}

template <int K, int S>
[[gnu::target("avx2,fma")]] void plane_strips_avx2(const ConvParams& p, const StripPlan& sp, const float* x,
                                                   const float* w, float* y, const ChannelEpilogue* epi) {
  alignas(64) float in_buf[kStripIn];
  // Vectors accumulated together: eight chains of K x K FMAs hide their
  // latency, and a plane of only a few vectors (7 x 7 has seven) still
  // runs them all in one pass.
  constexpr int kGroup = 8;
  alignas(64) float tail[kGroup][8];
  const int64_t row_step = S * sp.wq, blocks = sp.wo_r / 8, wo = p.y.w;
  // A local copy of the weights: the stores below cannot reach it, so the
  // compiler may keep its broadcasts in registers.
  float wk[K * K];
  for (int t = 0; t < K * K; ++t) wk[t] = w[t];
  const VecEpilogue e = vec_epilogue(epi, epi != nullptr ? epi->c : 0);
  // A column block that ends past its row spills into the following rows,
  // which their own later stores overwrite (items are stored in order). A
  // block whose vector would end past the plane (another channel's plane
  // lies there, perhaps written by another thread) goes through a small
  // buffer instead, and only its own row's columns are copied out. With
  // rows narrower than a vector that is more than the last row.
  const int64_t plane_end = p.y.h * wo;
  for (int64_t oy0 = 0; oy0 < p.y.h; oy0 += sp.rows) {
    const int64_t rows = std::min(sp.rows, p.y.h - oy0), items = rows * blocks;
    fill_strip<S>(p, sp, x, in_buf, oy0, rows);
    // Items run through the column blocks of each strip row in turn.
    int64_t r = 0, b = 0;
    float* yr = y + oy0 * wo;
    auto next = [&](const float** in, float** out, float* spare, int64_t* keep) -> float* {
      *in = in_buf + r * p.sh * row_step + b * 8;
      float* dst = yr + b * 8;
      const bool via_spare = (oy0 + r) * wo + b * 8 + 8 > plane_end;
      *keep = std::min<int64_t>(8, wo - b * 8);
      *out = via_spare ? spare : dst;
      if (++b == blocks) b = 0, ++r, yr += wo;
      return via_spare ? dst : nullptr;
    };
    for (int64_t t = 0; t < items; t += kGroup) {
      const int n = static_cast<int>(std::min<int64_t>(kGroup, items - t));
      const float* in[kGroup];
      float* out[kGroup];
      float* partial[kGroup];
      int64_t keep[kGroup];
      for (int a = 0; a < n; ++a) partial[a] = next(&in[a], &out[a], tail[a], &keep[a]);
      switch (n) {
        case 8: strip_vectors<K, S, 8>(wk, in, out, row_step, e); break;
        case 7: strip_vectors<K, S, 7>(wk, in, out, row_step, e); break;
        case 6: strip_vectors<K, S, 6>(wk, in, out, row_step, e); break;
        case 5: strip_vectors<K, S, 5>(wk, in, out, row_step, e); break;
        case 4: strip_vectors<K, S, 4>(wk, in, out, row_step, e); break;
        case 3: strip_vectors<K, S, 3>(wk, in, out, row_step, e); break;
        case 2: strip_vectors<K, S, 2>(wk, in, out, row_step, e); break;
        default: strip_vectors<K, S, 1>(wk, in, out, row_step, e); break;
      }
      for (int a = 0; a < n; ++a)
        if (partial[a] != nullptr) std::memcpy(partial[a], tail[a], static_cast<size_t>(keep[a]) * 4);
    }
  }
}

using PlaneStrips = void (*)(const ConvParams&, const StripPlan&, const float*, const float*, float*,
                            const ChannelEpilogue*);

template <int K>
PlaneStrips strips_for_stride(int64_t sw) {
  return sw == 1 ? &plane_strips_avx2<K, 1> : &plane_strips_avx2<K, 2>;
}

// The strip form for this node's shape, or null when it does not apply.
PlaneStrips pick_strips(const ConvParams& p, StripPlan* sp) {
  if (!cpu_has_avx2_fma() || p.kh != p.kw || p.dh != 1 || p.dw != 1 || (p.sw != 1 && p.sw != 2) || p.sh < 1 ||
      p.sh > 2 || p.y.w < 1 || p.y.h < 1)
    return nullptr;
  *sp = plan_strip(p);
  if (sp->rows < 1) return nullptr;
  switch (p.kh) {
    case 3: return strips_for_stride<3>(p.sw);
    case 5: return strips_for_stride<5>(p.sw);
    case 7: return strips_for_stride<7>(p.sw);
    default: return nullptr;
  }
}

bool all_finite(const float* w, int64_t n) {
  uint32_t inf_or_nan = 0;
  for (int64_t t = 0; t < n; ++t) {
    uint32_t bits;
    std::memcpy(&bits, w + t, 4);
    inf_or_nan |= (bits & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
  }
  return inf_or_nan == 0;
}
#endif

}  // namespace

void conv_depthwise_planes(const ConvParams& p, const float* x, const float* w, float* y, int64_t c0, int64_t c1,
                           const float* params, bool epilogue) {
  const int64_t hw_in = p.x.plane(), hw = p.y.plane(), taps = p.kh * p.kw;
  ChannelEpilogue e{params, p.y.c, 0, p.act, p.slope, p.hi};
#if defined(__x86_64__)
  StripPlan sp;
  PlaneStrips strips = pick_strips(p, &sp);
#endif
  for (int64_t c = c0; c < c1; ++c) {
    e.c = c;
    const float* xc = x + c * hw_in;
    const float* wc = w + c * taps;
#if defined(__x86_64__)
    if (strips != nullptr && all_finite(wc, taps)) {
      strips(p, sp, xc, wc, y + c * hw, epilogue ? &e : nullptr);
      continue;
    }
#endif
    conv_depthwise_plane(p, xc, wc, y + c * hw, false, epilogue ? &e : nullptr);
  }
}

void conv_depthwise_plane(const ConvParams& p, const float* x, const float* w, float* y, bool portable_only,
                          const ChannelEpilogue* epi) {
#if defined(__x86_64__)
  if (!portable_only) {
    StripPlan sp;
    if (PlaneStrips strips = pick_strips(p, &sp); strips != nullptr && all_finite(w, p.kh * p.kw)) {
      strips(p, sp, x, w, y, epi);
      return;
    }
  }
#endif
  const int64_t wo = p.y.w, ho = p.y.h;
  RowFixed fixed = pick_fixed(p, portable_only);
  // Output columns whose whole kernel row lies inside the input.
  int64_t lo = 0, hi = 0;
  if (fixed != nullptr) {
    int64_t lo0, hi0, lo1, hi1;
    inside_columns(-p.padl, p.sw, p.x.w, wo, &lo0, &hi0);
    inside_columns((p.kw - 1) - p.padl, p.sw, p.x.w, wo, &lo1, &hi1);
    lo = std::max(lo0, lo1);
    hi = std::max(lo, std::min(hi0, hi1));
  }
  const float* rows[7];
  for (int64_t oy = 0; oy < ho; ++oy) {
    float* yr = y + oy * wo;
    const int64_t top = oy * p.sh - p.padt, bottom = top + (p.kh - 1) * p.dh;
    if (fixed == nullptr || top < 0 || bottom >= p.x.h || hi - lo < 4) {
      row_by_taps(p, x, w, yr, oy);
      continue;
    }
    for (int64_t i = 0; i < p.kh; ++i) rows[i] = x + (top + i * p.dh) * p.x.w;
    fixed(rows, p.padl, w, yr, lo, hi, wo, p.x.w);
  }
  if (epi != nullptr) p.epilogue_span(y, ho * wo, epi->c, epi->params, epi->cout, epi->act, epi->slope, epi->hi);
}

// Blocks of whole planes, each finished with its epilogue, as the plan cut
// them.
void run_depthwise(const ConvRun& r, const float* xn, float* yn) {
  const ConvPlan& c = r.plan;
  const int64_t ch = r.p.x.c;
  run_split(c.dw_parallel, static_cast<size_t>(c.dw_blocks), [&](size_t blk) {
    const int64_t c0 = static_cast<int64_t>(blk) * c.dw_per, c1 = std::min(ch, c0 + c.dw_per);
    conv_depthwise_planes(r.p, xn, r.w, yn, c0, c1, r.bias, c.epilogue);
  });
}

}  // namespace vorn::kern
