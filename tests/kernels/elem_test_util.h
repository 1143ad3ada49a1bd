// Shared pieces of the elementwise, layout, reduction and detection kernel
// tests: deterministic data with the awkward values mixed in, and
// comparisons that treat every NaN as equal to every NaN.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "reference/node_harness.h"

namespace vorn::test {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Uniform values in [lo, hi) from a fixed seed.
inline std::vector<float> uniform(size_t n, uint32_t seed, float lo = -4.0f, float hi = 4.0f) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 7u;
  for (auto& x : v) {
    s = s * 1664525u + 1013904223u;
    x = lo + (hi - lo) * static_cast<float>(s >> 8) / 16777216.0f;
  }
  return v;
}

// Like uniform, with NaN, both infinities, both zeros, halves and repeated
// values sprinkled in, so comparisons, ties and rounding are exercised.
inline std::vector<float> awkward(size_t n, uint32_t seed) {
  std::vector<float> v = uniform(n, seed);
  const float specials[] = {kNaN, kInf, -kInf, 0.0f, -0.0f, 0.5f, -2.5f, 1.0f, 1.0f, 3.5f};
  uint32_t s = seed * 747796405u + 1u;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    if ((s >> 24) < 40) v[i] = specials[(s >> 8) % 10];
  }
  return v;
}

inline uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// Equal bit for bit, except that any NaN matches any NaN.
inline ::testing::AssertionResult same_floats(const std::vector<float>& got,
                                              const std::vector<float>& want) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(got[i]) && std::isnan(want[i])) continue;
    if (bits_of(got[i]) != bits_of(want[i]))
      return ::testing::AssertionFailure() << "index " << i << ": got " << got[i] << ", want " << want[i];
  }
  return ::testing::AssertionSuccess();
}

// Within `tol` relative (or absolute below 1), NaN matching NaN and equal
// infinities matching.
inline ::testing::AssertionResult close_floats(const std::vector<float>& got,
                                               const std::vector<float>& want, double tol) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(got[i]) && std::isnan(want[i])) continue;
    if (got[i] == want[i]) continue;
    const double d = std::fabs(static_cast<double>(got[i]) - want[i]);
    const double scale = std::fmax(1.0, std::fabs(static_cast<double>(want[i])));
    if (!(d <= tol * scale))
      return ::testing::AssertionFailure() << "index " << i << ": got " << got[i] << ", want " << want[i];
  }
  return ::testing::AssertionSuccess();
}

// Within max_ulps units in the last place (same sign), NaN matching NaN.
inline ::testing::AssertionResult ulp_close(const std::vector<float>& got, const std::vector<float>& want,
                                            uint32_t max_ulps) {
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << want.size();
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(got[i]) && std::isnan(want[i])) continue;
    if (got[i] == want[i]) continue;
    const uint32_t a = bits_of(got[i]), b = bits_of(want[i]);
    const bool same_sign = (a >> 31) == (b >> 31);
    const uint32_t diff = a > b ? a - b : b - a;
    if (!same_sign || diff > max_ulps || std::isnan(got[i]) || std::isnan(want[i]))
      return ::testing::AssertionFailure() << "index " << i << ": got " << got[i] << ", want " << want[i];
  }
  return ::testing::AssertionSuccess();
}

using Attrs = std::initializer_list<std::pair<int, uint64_t>>;
inline uint64_t wf(float f) { return NodeHarness::f32_word(f); }
inline uint64_t wi(int64_t v) { return NodeHarness::i64_word(v); }

inline std::string dims_text(const std::vector<uint64_t>& d) {
  std::string s = "[";
  for (size_t i = 0; i < d.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(d[i]);
  }
  s += ']';
  return s;
}

}  // namespace vorn::test
