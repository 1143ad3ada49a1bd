// Plain reference loops for convolution, matrix products and pooling,
// written from the operators' definitions with double accumulation.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "container/attr_words.h"

namespace vorn::ref {

struct ConvSpec {
  int64_t n = 1, cin = 1, h = 1, w = 1, cout = 1;
  int64_t kh = 1, kw = 1, sh = 1, sw = 1;
  int64_t pt = 0, pl = 0, pb = 0, pr = 0;
  int64_t dh = 1, dw = 1, g = 1;
  int64_t hout() const { return (h + pt + pb - dh * (kh - 1) - 1) / sh + 1; }
  int64_t wout() const { return (w + pl + pr - dw * (kw - 1) - 1) / sw + 1; }
};

// Activation codes as the Conv node carries them (attr::Conv modes): none, relu,
// relu then per-channel multiply-add, leaky relu.
inline double conv_activate(double v, int64_t c, int64_t cout, const std::vector<float>& bias,
                            int act, double slope) {
  if (!bias.empty()) v += bias[c];
  switch (act) {
    case attr::Conv::kRelu: return v > 0 ? v : 0;
    case attr::Conv::kReluScaleShift: return (v > 0 ? v : 0) * bias[cout + c] + bias[2 * cout + c];
    case attr::Conv::kLeakyRelu: return v > 0 ? v : v * slope;
    default: return v;
  }
}

// x [n, cin, h, w], weights [cout, cin/g, kh, kw]; empty bias means none.
inline std::vector<float> conv2d(const ConvSpec& s, const std::vector<float>& x,
                                 const std::vector<float>& wt, const std::vector<float>& bias,
                                 int act = 0, double slope = 0) {
  const int64_t ho = s.hout(), wo = s.wout(), cpg = s.cin / s.g, opg = s.cout / s.g;
  std::vector<float> y(static_cast<size_t>(s.n * s.cout * ho * wo));
  for (int64_t b = 0; b < s.n; ++b)
    for (int64_t oc = 0; oc < s.cout; ++oc) {
      const int64_t grp = oc / opg;
      for (int64_t oy = 0; oy < ho; ++oy)
        for (int64_t ox = 0; ox < wo; ++ox) {
          double acc = 0;
          for (int64_t ic = 0; ic < cpg; ++ic)
            for (int64_t i = 0; i < s.kh; ++i)
              for (int64_t j = 0; j < s.kw; ++j) {
                const int64_t iy = oy * s.sh - s.pt + i * s.dh, ix = ox * s.sw - s.pl + j * s.dw;
                if (iy < 0 || iy >= s.h || ix < 0 || ix >= s.w) continue;
                const int64_t c = grp * cpg + ic;
                acc += static_cast<double>(x[((b * s.cin + c) * s.h + iy) * s.w + ix]) *
                       wt[((oc * cpg + ic) * s.kh + i) * s.kw + j];
              }
          y[((b * s.cout + oc) * ho + oy) * wo + ox] =
              static_cast<float>(conv_activate(acc, oc, s.cout, bias, act, slope));
        }
    }
  return y;
}

// Transposed convolution: x [n, cin, h, w], weights [cin, cout/g, kh, kw],
// output [n, cout, ho, wo] given explicitly (output padding is implied).
inline std::vector<float> conv_transpose2d(const ConvSpec& s, int64_t ho, int64_t wo,
                                           const std::vector<float>& x, const std::vector<float>& wt,
                                           const std::vector<float>& bias, bool relu) {
  const int64_t cpg = s.cin / s.g, opg = s.cout / s.g;
  std::vector<double> acc(static_cast<size_t>(s.n * s.cout * ho * wo), 0.0);
  for (int64_t b = 0; b < s.n; ++b)
    for (int64_t ic = 0; ic < s.cin; ++ic) {
      const int64_t grp = ic / cpg;
      for (int64_t iy = 0; iy < s.h; ++iy)
        for (int64_t ix = 0; ix < s.w; ++ix) {
          const double v = x[((b * s.cin + ic) * s.h + iy) * s.w + ix];
          for (int64_t o = 0; o < opg; ++o)
            for (int64_t i = 0; i < s.kh; ++i)
              for (int64_t j = 0; j < s.kw; ++j) {
                const int64_t oy = iy * s.sh - s.pt + i * s.dh, ox = ix * s.sw - s.pl + j * s.dw;
                if (oy < 0 || oy >= ho || ox < 0 || ox >= wo) continue;
                const int64_t oc = grp * opg + o;
                acc[((b * s.cout + oc) * ho + oy) * wo + ox] +=
                    v * wt[((ic * opg + o) * s.kh + i) * s.kw + j];
              }
        }
    }
  std::vector<float> y(acc.size());
  for (size_t k = 0; k < acc.size(); ++k) {
    const int64_t oc = static_cast<int64_t>(k / static_cast<size_t>(ho * wo)) % s.cout;
    double v = acc[k] + (bias.empty() ? 0.0 : bias[oc]);
    if (relu && v < 0) v = 0;
    y[k] = static_cast<float>(v);
  }
  return y;
}

// C[m, n] = alpha * op(A) op(B) + beta * Z (broadcast through zrow/zcol
// strides); A stored [m, k] or [k, m] when ta, B [k, n] or [n, k] when tb.
inline std::vector<float> gemm(int64_t m, int64_t n, int64_t k, bool ta, bool tb, double alpha,
                               const std::vector<float>& a, const std::vector<float>& b, double beta,
                               const std::vector<float>& z, int64_t zrow, int64_t zcol) {
  std::vector<float> c(static_cast<size_t>(m * n));
  for (int64_t i = 0; i < m; ++i)
    for (int64_t j = 0; j < n; ++j) {
      double acc = 0;
      for (int64_t t = 0; t < k; ++t)
        acc += static_cast<double>(ta ? a[t * m + i] : a[i * k + t]) * (tb ? b[j * k + t] : b[t * n + j]);
      double v = alpha * acc;
      if (!z.empty()) v += beta * z[i * zrow + j * zcol];
      c[i * n + j] = static_cast<float>(v);
    }
  return c;
}

// numpy matmul with broadcasting of leading dims; rank-1 operands are
// promoted and their dim dropped.
inline std::vector<float> matmul(std::vector<int64_t> ad, const std::vector<float>& a,
                                 std::vector<int64_t> bd, const std::vector<float>& b) {
  if (ad.size() == 1) ad.insert(ad.begin(), 1);
  if (bd.size() == 1) bd.push_back(1);
  const int64_t m = ad[ad.size() - 2], k = ad.back(), n = bd.back();
  std::vector<int64_t> ab(ad.begin(), ad.end() - 2), bb(bd.begin(), bd.end() - 2);
  const size_t nb = std::max(ab.size(), bb.size());
  while (ab.size() < nb) ab.insert(ab.begin(), 1);
  while (bb.size() < nb) bb.insert(bb.begin(), 1);
  std::vector<int64_t> ob(nb);
  int64_t batch = 1;
  for (size_t i = 0; i < nb; ++i) {
    ob[i] = std::max(ab[i], bb[i]);
    batch *= ob[i];
  }
  std::vector<float> y(static_cast<size_t>(batch * m * n));
  for (int64_t t = 0; t < batch; ++t) {
    int64_t rest = t, ia = 0, ib = 0, sa = 1, sb = 1;
    for (size_t i = nb; i-- > 0;) {
      const int64_t d = rest % ob[i];
      rest /= ob[i];
      ia += (ab[i] == 1 ? 0 : d) * sa;
      ib += (bb[i] == 1 ? 0 : d) * sb;
      sa *= ab[i];
      sb *= bb[i];
    }
    for (int64_t i = 0; i < m; ++i)
      for (int64_t j = 0; j < n; ++j) {
        double acc = 0;
        for (int64_t q = 0; q < k; ++q)
          acc += static_cast<double>(a[(ia * m + i) * k + q]) * b[(ib * k + q) * n + j];
        y[(t * m + i) * n + j] = static_cast<float>(acc);
      }
  }
  return y;
}

// Pools over planes of h x w with the window's padding; average divides by
// the full window area.
inline std::vector<float> pool2d(bool max, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo,
                                 int64_t kh, int64_t kw, int64_t sh, int64_t sw, int64_t pt, int64_t pl,
                                 const std::vector<float>& x) {
  std::vector<float> y(static_cast<size_t>(planes * ho * wo));
  for (int64_t p = 0; p < planes; ++p)
    for (int64_t oy = 0; oy < ho; ++oy)
      for (int64_t ox = 0; ox < wo; ++ox) {
        double acc = max ? -3.4028234663852886e38 : 0.0;
        for (int64_t i = 0; i < kh; ++i)
          for (int64_t j = 0; j < kw; ++j) {
            const int64_t iy = oy * sh - pt + i, ix = ox * sw - pl + j;
            if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
            const double v = x[(p * h + iy) * w + ix];
            acc = max ? std::max(acc, v) : acc + v;
          }
        y[(p * ho + oy) * wo + ox] = static_cast<float>(max ? acc : acc / static_cast<double>(kh * kw));
      }
  return y;
}

// The pools as the kernels define them in f32, for bit-exact comparison:
// the window's taps inside the input in row-major order, MaxPool keeping
// the first of the largest (a tap wins only when strictly greater, so NaN
// never does) from the lowest finite float, AveragePool summing from +0
// and dividing by the whole window's area.
inline std::vector<float> pool2d_f32(bool max, int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo,
                                     int64_t kh, int64_t kw, int64_t sh, int64_t sw, int64_t pt, int64_t pl,
                                     int64_t dh, int64_t dw, const std::vector<float>& x) {
  std::vector<float> y(static_cast<size_t>(planes * ho * wo));
  for (int64_t p = 0; p < planes; ++p)
    for (int64_t oy = 0; oy < ho; ++oy)
      for (int64_t ox = 0; ox < wo; ++ox) {
        float acc = max ? -3.4028235e38f : 0.0f;
        for (int64_t i = 0; i < kh; ++i)
          for (int64_t j = 0; j < kw; ++j) {
            const int64_t iy = oy * sh - pt + i * dh, ix = ox * sw - pl + j * dw;
            if (iy < 0 || iy >= h || ix < 0 || ix >= w) continue;
            const float v = x[(p * h + iy) * w + ix];
            if (max) {
              if (v > acc) acc = v;
            } else {
              acc = acc + v;
            }
          }
        if (!max) acc = kh * kw > 0 ? acc / static_cast<float>(kh * kw) : 0.0f;
        y[(p * ho + oy) * wo + ox] = acc;
      }
  return y;
}

}  // namespace vorn::ref
