// Reproducible test data: uniform floats from a seeded Mersenne twister, the
// same sequence on every platform and standard library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vorn::test {

inline std::vector<float> random_values(size_t n, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

}  // namespace vorn::test
