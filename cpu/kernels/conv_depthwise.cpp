// Depthwise convolution, one output plane at a time. Rows whose kernel
// window lies wholly inside the input run a fixed-size kernel (3x3, 5x5 or
// 7x7, column stride 1 or 2) that keeps all taps in registers and vectorises
// across output columns; the border runs a bounds-tested form. Every output
// value sums its taps from 0 in row-major kernel order, skipping taps outside
// the input, so all forms give the same values.
#include <algorithm>
#include <cstring>

#include "cpu/kernels/conv.h"

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

bool has_avx2_fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}
#endif

// Computes a whole interior row: columns [lo, hi) without bounds tests, the
// border columns with them.
using RowFixed = void (*)(const float* const*, int64_t, const float*, float*, int64_t, int64_t, int64_t,
                          int64_t);

template <int K>
RowFixed pick_stride(int64_t sw, bool portable_only) {
#if defined(__x86_64__)
  if (!portable_only && has_avx2_fma()) return sw == 1 ? &row_fixed_avx2<K, 1> : &row_fixed_avx2<K, 2>;
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

}  // namespace

void conv_depthwise_plane(const ConvParams& p, const float* x, const float* w, float* y, bool portable_only) {
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
}

}  // namespace vorn::kern
