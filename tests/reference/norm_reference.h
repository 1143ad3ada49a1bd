// Plain reference loops for normalisation, Erf/Gelu, resize and sampling,
// written from the operators' definitions with double arithmetic.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace vorn::ref {

inline std::vector<float> layer_norm(int64_t rows, int64_t cols, const std::vector<float>& x,
                                     const std::vector<float>& gamma, const std::vector<float>& beta,
                                     double eps) {
  std::vector<float> y(x.size());
  for (int64_t r = 0; r < rows; ++r) {
    double mean = 0, var = 0;
    for (int64_t j = 0; j < cols; ++j) mean += x[r * cols + j];
    mean /= static_cast<double>(cols);
    for (int64_t j = 0; j < cols; ++j) var += (x[r * cols + j] - mean) * (x[r * cols + j] - mean);
    var /= static_cast<double>(cols);
    for (int64_t j = 0; j < cols; ++j)
      y[r * cols + j] = static_cast<float>((x[r * cols + j] - mean) / std::sqrt(var + eps) * gamma[j] +
                                           (beta.empty() ? 0.0 : beta[j]));
  }
  return y;
}

// Per-plane normalisation over `size` values, channel = plane mod channels.
inline std::vector<float> instance_norm(int64_t planes, int64_t channels, int64_t size,
                                        const std::vector<float>& x, const std::vector<float>& s,
                                        const std::vector<float>& t, double eps) {
  std::vector<float> y(x.size());
  for (int64_t p = 0; p < planes; ++p) {
    double mean = 0, var = 0;
    for (int64_t i = 0; i < size; ++i) mean += x[p * size + i];
    mean /= static_cast<double>(size);
    for (int64_t i = 0; i < size; ++i) var += (x[p * size + i] - mean) * (x[p * size + i] - mean);
    var /= static_cast<double>(size);
    const int64_t c = p % channels;
    for (int64_t i = 0; i < size; ++i)
      y[p * size + i] = static_cast<float>((x[p * size + i] - mean) / std::sqrt(var + eps) * s[c] + t[c]);
  }
  return y;
}

inline double gelu(double x) { return 0.5 * x * (1.0 + std::erf(x / std::sqrt(2.0))); }

// Bilinear resize of planes; half-pixel centres, or aligned corners.
inline std::vector<float> resize_bilinear(int64_t planes, int64_t h, int64_t w, int64_t ho, int64_t wo,
                                          bool align, const std::vector<float>& x) {
  auto src = [&](int64_t o, int64_t in, int64_t out) {
    double s;
    if (align)
      s = out > 1 ? static_cast<double>(o) * (in - 1) / (out - 1) : 0.0;
    else
      s = (o + 0.5) * static_cast<double>(in) / static_cast<double>(out) - 0.5;
    return std::clamp(s, 0.0, static_cast<double>(in - 1));
  };
  std::vector<float> y(static_cast<size_t>(planes * ho * wo));
  for (int64_t p = 0; p < planes; ++p)
    for (int64_t r = 0; r < ho; ++r)
      for (int64_t c = 0; c < wo; ++c) {
        const double sy = src(r, h, ho), sx = src(c, w, wo);
        const int64_t y0 = static_cast<int64_t>(std::floor(sy)), x0 = static_cast<int64_t>(std::floor(sx));
        const int64_t y1 = std::min(y0 + 1, h - 1), x1 = std::min(x0 + 1, w - 1);
        const double fy = sy - y0, fx = sx - x0;
        auto at = [&](int64_t yy, int64_t xx) { return static_cast<double>(x[(p * h + yy) * w + xx]); };
        y[(p * ho + r) * wo + c] = static_cast<float>((1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) +
                                                      fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1)));
      }
  return y;
}

// Bilinear sample of plane xp (h x w) at unnormalised (px, py), zero outside.
inline double sample_zero(const float* xp, int64_t h, int64_t w, double py, double px) {
  const double fy0 = std::floor(py), fx0 = std::floor(px);
  const int64_t y0 = static_cast<int64_t>(fy0), x0 = static_cast<int64_t>(fx0);
  const double fy = py - fy0, fx = px - fx0;
  double acc = 0;
  for (int a = 0; a < 2; ++a)
    for (int b = 0; b < 2; ++b) {
      const int64_t yy = y0 + a, xx = x0 + b;
      if (yy < 0 || yy >= h || xx < 0 || xx >= w) continue;
      acc += xp[yy * w + xx] * (a ? fy : 1 - fy) * (b ? fx : 1 - fx);
    }
  return acc;
}

}  // namespace vorn::ref
