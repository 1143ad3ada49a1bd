// Shared pieces of the convolution-family kernel tests: deterministic data
// and the comparison against a reference with |diff| <= 1e-4 max|ref| + 1e-5.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "reference/node_harness.h"

namespace vorn::test {

inline std::vector<float> random_values(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
  std::vector<float> v(n);
  uint32_t s = seed * 2654435761u + 12345u;
  for (auto& x : v) {
    s = s * 1664525u + 1013904223u;
    x = lo + (hi - lo) * static_cast<float>(s >> 8) / 16777216.0f;
  }
  return v;
}

inline ::testing::AssertionResult close_to_reference(const std::vector<float>& got,
                                                     const std::vector<float>& ref) {
  if (got.size() != ref.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " vs " << ref.size();
  double peak = 0;
  for (float r : ref) peak = std::max(peak, static_cast<double>(std::fabs(r)));
  const double tol = 1e-4 * peak + 1e-5;
  for (size_t i = 0; i < got.size(); ++i) {
    const double d = std::fabs(static_cast<double>(got[i]) - ref[i]);
    if (!(d <= tol))
      return ::testing::AssertionFailure()
             << "index " << i << ": got " << got[i] << ", reference " << ref[i] << " (tol " << tol << ")";
  }
  return ::testing::AssertionSuccess();
}

using A = std::pair<int, uint64_t>;
inline uint64_t w_i(int64_t v) { return NodeHarness::i64_word(v); }
inline uint64_t w_f(float f) { return NodeHarness::f32_word(f); }

}  // namespace vorn::test
