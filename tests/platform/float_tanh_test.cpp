#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/cpu_features.h"
#include "platform/float_tanh.h"
#include "platform/parallel.h"

namespace vorn {
namespace {

using Fn = float (*)(float);
using FnN = void (*)(const float*, float*, size_t);

// Spacing of floats at |r| (subnormal spacing below the normal range).
double ulp(double r) {
  int e;
  std::frexp(std::fabs(r), &e);
  return std::ldexp(1.0, std::max(e - 24, -149));
}

// References from the C library's double functions, by the formulas' plain
// definitions (GELU in its non-cancelling form).
double tanh_reference(float x) { return std::tanh(double(x)); }
double gelu_reference(float x) {
  const double d = x, u = 0.7978845608028654 * (d + 0.044715 * d * d * d);
  return d / (1.0 + std::exp(-2.0 * u));
}

struct Sweep {
  double worst_ulps = 0;
  std::atomic<uint64_t> mismatches{0};  // vector form against the scalar one
  std::atomic<uint32_t> first_bad{0};   // a pattern beyond 2 ulp, 0 if none
};

// Every float whose magnitude lies in [lo, hi] (both signs), checked in
// slices across the pool: the vector form lies within 2 ulp of the
// reference, and equals the scalar one bit for bit (every 16th float: the
// scalar form calls the C library's fma where the build targets no FMA).
void sweep(double (*reference)(float), Fn scalar, FnN vector, float lo, float hi, Sweep* out) {
  const uint32_t first = std::bit_cast<uint32_t>(lo), last = std::bit_cast<uint32_t>(hi);
  constexpr uint32_t kSlice = 1 << 16;
  const uint32_t slices = (last - first) / kSlice + 1;
  std::vector<double> worst(size_t(slices) * 2, 0.0);
  parallel_for(size_t(slices) * 2, [&](size_t i) {
    const uint32_t sign = i % 2 == 0 ? 0 : 0x80000000u;
    const uint32_t begin = first + uint32_t(i / 2) * kSlice;
    const uint32_t n = std::min<uint64_t>(kSlice, uint64_t(last) - begin + 1);
    std::vector<float> x(n), y(n);
    for (uint32_t j = 0; j < n; ++j) x[j] = std::bit_cast<float>((begin + j) | sign);
    vector(x.data(), y.data(), n);
    for (uint32_t j = 0; j < n; ++j) {
      if (j % 16 == 0 && std::bit_cast<uint32_t>(y[j]) != std::bit_cast<uint32_t>(scalar(x[j])))
        out->mismatches.fetch_add(1);
      const double r = reference(x[j]), e = std::fabs(y[j] - r) / ulp(r);
      worst[i] = std::max(worst[i], e);
      if (!(e <= 2.0)) out->first_bad.store(std::bit_cast<uint32_t>(x[j]));
    }
  });
  out->worst_ulps = *std::max_element(worst.begin(), worst.end());
}

// tanh is x itself below 2^-12 and +-1 from 9.01 on: between them every
// float is checked.
TEST(FloatTanh, EveryFloatOfTheWorkingRangeWithinTwoUlp) {
  Sweep s;
  sweep(tanh_reference, tanh_float, tanh_float_n, 0x1p-12f, 9.5f, &s);
  EXPECT_EQ(s.mismatches.load(), 0u);
  EXPECT_EQ(s.first_bad.load(), 0u) << std::hexfloat << std::bit_cast<float>(s.first_bad.load());
  EXPECT_LE(s.worst_ulps, 1.0);
}

// GELU is x itself above about 5.3 and underflows below -13.6; below 2^-24
// it is x / 2 rounded. Every float with 2^-24 <= |x| <= 16.
TEST(FloatTanh, EveryGeluOfTheWorkingRangeWithinTwoUlp) {
  Sweep s;
  sweep(gelu_reference, gelu_tanh_float, gelu_tanh_float_n, 0x1p-24f, 16.0f, &s);
  EXPECT_EQ(s.mismatches.load(), 0u);
  EXPECT_EQ(s.first_bad.load(), 0u) << std::hexfloat << std::bit_cast<float>(s.first_bad.load());
  EXPECT_LE(s.worst_ulps, 1.0);
}

// GELU's AVX2 form, which the widest form replaces where AVX-512 is, gives
// the scalar bits too (every 61st float of the working range).
TEST(FloatTanh, GeluAvx2FormGivesTheScalarBits) {
  std::vector<float> x, y;
  for (uint32_t b = std::bit_cast<uint32_t>(0x1p-24f); b <= std::bit_cast<uint32_t>(16.0f); b += 61) {
    x.push_back(std::bit_cast<float>(b));
    x.push_back(-x.back());
  }
  y.resize(x.size());
  const IsaCap cap(KernelIsa::kAvx2);
  gelu_tanh_float_n(x.data(), y.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i)
    ASSERT_EQ(std::bit_cast<uint32_t>(y[i]), std::bit_cast<uint32_t>(gelu_tanh_float(x[i]))) << x[i];
}

// Outside the working ranges: zeros, subnormals, the range ends, extremes,
// infinities and NaN, through the vector form (tails of every length too).
TEST(FloatTanh, EdgesAndTails) {
  std::vector<float> x;
  for (float v : {0.0f, 1e-45f, 1e-38f, 0x1p-13f, 0x1.fffffep-13f, 9.0f, 9.1f, 20.0f, 1e30f, 3.4e38f, -14.0f,
                  -20.0f, -1e30f, 1e-30f, INFINITY})
    for (float s : {v, -v}) x.push_back(s);
  x.push_back(NAN);
  for (size_t n = 0; n <= x.size(); ++n) {
    std::vector<float> t(n), g(n);
    tanh_float_n(x.data(), t.data(), n);
    gelu_tanh_float_n(x.data(), g.data(), n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(t[i]), std::bit_cast<uint32_t>(tanh_float(x[i]))) << x[i];
      EXPECT_EQ(std::bit_cast<uint32_t>(g[i]), std::bit_cast<uint32_t>(gelu_tanh_float(x[i]))) << x[i];
    }
  }
  for (float v : x) {
    if (std::isnan(v)) {
      EXPECT_TRUE(std::isnan(tanh_float(v)) && std::isnan(gelu_tanh_float(v)));
      continue;
    }
    const double t = std::tanh(double(v));
    EXPECT_LE(std::fabs(tanh_float(v) - t), ulp(t)) << v;
    if (std::isfinite(v)) {
      const double g = gelu_reference(v);
      EXPECT_LE(std::fabs(gelu_tanh_float(v) - g), ulp(g)) << v;
    }
  }
  EXPECT_EQ(gelu_tanh_float(INFINITY), INFINITY);
  EXPECT_EQ(tanh_float(-INFINITY), -1.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(gelu_tanh_float(-20.0f)), std::bit_cast<uint32_t>(-0.0f));
}

}  // namespace
}  // namespace vorn
