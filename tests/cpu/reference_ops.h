// Plain loops written from the operator definitions, for checking whole
// graphs run by the engine.
#pragma once
#include <cstdint>
#include <vector>

namespace vorn::test {

struct Tensor {
  std::vector<uint64_t> dims;  // N, C, H, W
  std::vector<float> v;
  float& at(uint64_t n, uint64_t c, uint64_t h, uint64_t w) {
    return v[((n * dims[1] + c) * dims[2] + h) * dims[3] + w];
  }
  float at(uint64_t n, uint64_t c, uint64_t h, uint64_t w) const {
    return v[((n * dims[1] + c) * dims[2] + h) * dims[3] + w];
  }
};

// Square kernel k, stride 1, padding p on every side, one partition.
inline Tensor ref_conv(const Tensor& x, const std::vector<float>& w, const std::vector<float>& bias,
                       uint64_t cout, uint64_t k, uint64_t p) {
  const uint64_t n = x.dims[0], cin = x.dims[1], h = x.dims[2], wd = x.dims[3];
  const uint64_t ho = h + 2 * p - k + 1, wo = wd + 2 * p - k + 1;
  Tensor y{{n, cout, ho, wo}, std::vector<float>(n * cout * ho * wo)};
  for (uint64_t b = 0; b < n; ++b)
    for (uint64_t o = 0; o < cout; ++o)
      for (uint64_t i = 0; i < ho; ++i)
        for (uint64_t j = 0; j < wo; ++j) {
          double sum = bias.empty() ? 0.0 : bias[o];
          for (uint64_t c = 0; c < cin; ++c)
            for (uint64_t a = 0; a < k; ++a)
              for (uint64_t e = 0; e < k; ++e) {
                int64_t yy = static_cast<int64_t>(i + a) - static_cast<int64_t>(p);
                int64_t xx = static_cast<int64_t>(j + e) - static_cast<int64_t>(p);
                if (yy < 0 || xx < 0 || yy >= static_cast<int64_t>(h) || xx >= static_cast<int64_t>(wd))
                  continue;
                sum += static_cast<double>(x.at(b, c, yy, xx)) * w[((o * cin + c) * k + a) * k + e];
              }
          y.at(b, o, i, j) = static_cast<float>(sum);
        }
  return y;
}

inline Tensor ref_bn(Tensor x, const std::vector<float>& scale, const std::vector<float>& shift) {
  for (uint64_t b = 0; b < x.dims[0]; ++b)
    for (uint64_t c = 0; c < x.dims[1]; ++c)
      for (uint64_t i = 0; i < x.dims[2] * x.dims[3]; ++i) {
        float& v = x.v[(b * x.dims[1] + c) * x.dims[2] * x.dims[3] + i];
        v = v * scale[c] + shift[c];
      }
  return x;
}

inline Tensor ref_leaky(Tensor x, float slope) {
  for (float& v : x.v) v = v >= 0 ? v : v * slope;
  return x;
}

inline Tensor ref_scale(Tensor x, float s) {
  for (float& v : x.v) v *= s;
  return x;
}

inline Tensor ref_add(Tensor x, const Tensor& y) {
  for (size_t i = 0; i < x.v.size(); ++i) x.v[i] += y.v[i];
  return x;
}

// Along channels.
inline Tensor ref_concat(const std::vector<const Tensor*>& parts) {
  uint64_t c = 0;
  for (const Tensor* t : parts) c += t->dims[1];
  const uint64_t n = parts[0]->dims[0], h = parts[0]->dims[2], w = parts[0]->dims[3];
  Tensor y{{n, c, h, w}, std::vector<float>(n * c * h * w)};
  for (uint64_t b = 0; b < n; ++b) {
    uint64_t at = 0;
    for (const Tensor* t : parts)
      for (uint64_t k = 0; k < t->dims[1]; ++k, ++at)
        for (uint64_t i = 0; i < h; ++i)
          for (uint64_t j = 0; j < w; ++j) y.at(b, at, i, j) = t->at(b, k, i, j);
  }
  return y;
}

}  // namespace vorn::test
