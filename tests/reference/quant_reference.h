// Plain reference versions of simulated quantisation, written from the
// definitions: half-precision rounding in double arithmetic, and the
// symmetric and asymmetric grids over explicit sets of values.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vorn::ref {

// Nearest binary16 value of x (ties to even), as a float: the grid spacing
// of x's binade (never finer than the subnormal step 2^-24), and infinity
// from the midpoint 65520 between the largest half and 2^16 upward.
inline float f16_nearest(float x) {
  if (std::isnan(x)) return x;
  const double a = std::fabs(static_cast<double>(x));
  if (a >= 65520.0) return std::copysign(std::numeric_limits<float>::infinity(), x);
  if (a == 0.0) return x;
  int e = 0;
  std::frexp(a, &e);  // a = f * 2^e, f in [0.5, 1): binade exponent e - 1
  const int binade = e - 1 < -14 ? -14 : e - 1;
  const double spacing = std::ldexp(1.0, binade - 10);
  const double r = std::nearbyint(a / spacing) * spacing;
  return static_cast<float>(std::copysign(r, static_cast<double>(x)));
}

// Symmetric q-level rounding of one set with its own largest magnitude.
inline std::vector<float> symmetric(std::vector<float> v, float q) {
  float amax = 0;
  for (float x : v) amax = std::max(amax, std::fabs(x));
  for (float& x : v) {
    if (amax < 1e-30f) {
      x = 0;
      continue;
    }
    float t = std::nearbyint(x * q / amax);
    t = std::min(std::max(t, -q), q);
    x = amax / q * t;
  }
  return v;
}

// Asymmetric rounding of one set onto `steps` steps over [min(lo,0), max(hi,0)].
inline std::vector<float> asymmetric(std::vector<float> v, float lo, float hi, float steps) {
  lo = std::min(lo, 0.0f);
  hi = std::max(hi, 0.0f);
  const float scale = (hi - lo) / steps;
  const float zp = std::nearbyint(lo / scale);
  for (float& x : v) {
    float t = std::nearbyint(x / scale) - zp;
    t = std::min(std::max(t, 0.0f), steps);
    x = scale * (zp + t);
  }
  return v;
}

}  // namespace vorn::ref
