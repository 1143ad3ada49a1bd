#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/half.h"

namespace vorn {
namespace {

// binary16 from its definition: sign, 5-bit exponent with bias 15, 10-bit
// fraction; exponent 0 is subnormal (2^-14 * f / 1024), 31 is inf or NaN.
double reference_half_value(uint16_t h) {
  int sign = h >> 15;
  int e = (h >> 10) & 31;
  int f = h & 1023;
  double v = e == 0 ? std::ldexp(f, -24) : std::ldexp(1024 + f, e - 25);
  return sign ? -v : v;
}

bool is_nan_half(uint16_t h) { return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0; }

TEST(Half, WideningIsExactForAllHalfValues) {
  for (uint32_t h = 0; h < 65536; ++h) {
    float f = half_to_float(static_cast<uint16_t>(h));
    if (is_nan_half(h)) {
      ASSERT_TRUE(std::isnan(f)) << h;
      ASSERT_EQ(std::bit_cast<uint32_t>(f) >> 31, h >> 15) << h;
      ASSERT_EQ((std::bit_cast<uint32_t>(f) >> 13) & 0x3FF, h & 0x3FF) << h;  // payload kept
    } else if ((h & 0x7FFF) == 0x7C00) {
      ASSERT_EQ(f, (h & 0x8000) ? -INFINITY : INFINITY) << h;
    } else {
      ASSERT_EQ(static_cast<double>(f), reference_half_value(h)) << h;
      ASSERT_EQ(std::signbit(f), (h & 0x8000) != 0) << h;  // -0 stays -0
    }
  }
}

TEST(Half, NarrowingRoundTripsEveryHalfValue) {
  for (uint32_t h = 0; h < 65536; ++h) {
    uint16_t back = float_to_half(half_to_float(static_cast<uint16_t>(h)));
    if (is_nan_half(h)) {
      ASSERT_TRUE(is_nan_half(back)) << h;
      ASSERT_EQ(back & 0x8000, h & 0x8000) << h;
      ASSERT_NE(back & 0x200, 0) << h;  // quiet
    } else {
      ASSERT_EQ(back, h) << h;
    }
  }
}

// Nearest half to a float, found by search over the sorted table of all
// non-negative finite halves; ties go to the even fraction; beyond the
// largest half plus half its ulp (65520) the result is infinity.
uint16_t reference_narrow(float f, const std::vector<double>& table) {
  uint16_t sign = std::signbit(f) ? 0x8000 : 0;
  double a = std::fabs(static_cast<double>(f));
  if (a >= 65520.0) return sign | 0x7C00;
  auto it = std::lower_bound(table.begin(), table.end(), a);
  size_t hi = static_cast<size_t>(it - table.begin());
  if (hi == table.size()) return static_cast<uint16_t>(sign | (hi - 1));  // (65504, 65520)
  if (table[hi] == a) return static_cast<uint16_t>(sign | hi);
  size_t lo = hi - 1;
  double dlo = a - table[lo], dhi = table[hi] - a;
  size_t pick = dlo < dhi ? lo : dhi < dlo ? hi : ((lo & 1) == 0 ? lo : hi);
  return static_cast<uint16_t>(sign | pick);
}

TEST(Half, NarrowingRoundsToNearestEven) {
  std::vector<double> table;
  for (uint32_t h = 0; h < 0x7C00; ++h) table.push_back(reference_half_value(static_cast<uint16_t>(h)));
  // Every midpoint between neighbouring halves, and the floats just either
  // side of it, plus the same around each half value itself.
  std::vector<float> inputs;
  for (uint32_t h = 0; h + 1 < 0x7C00; ++h) {
    float mid = static_cast<float>((table[h] + table[h + 1]) / 2);  // exact in float
    for (float f : {mid, std::nextafter(mid, 0.0f), std::nextafter(mid, INFINITY)}) {
      inputs.push_back(f);
      inputs.push_back(-f);
    }
  }
  for (float f : {65504.0f, 65519.99f, 65520.0f, 1e6f, 1e-8f, 2.98e-8f, 2.9802322e-8f, 2.9802326e-8f,
                  5.96e-8f, 1e-30f, 0.0f, -0.0f, INFINITY, -INFINITY})
    inputs.push_back(f);
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> any;
  for (int i = 0; i < 200000; ++i) {
    float f = std::bit_cast<float>(any(rng));
    if (!std::isnan(f)) inputs.push_back(f);
  }
  std::vector<uint16_t> bulk(inputs.size());
  float_to_half_n(inputs.data(), bulk.data(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    uint16_t want = std::isinf(inputs[i]) ? uint16_t((inputs[i] < 0 ? 0x8000 : 0) | 0x7C00)
                                           : reference_narrow(inputs[i], table);
    ASSERT_EQ(float_to_half(inputs[i]), want) << inputs[i];
    ASSERT_EQ(bulk[i], want) << "bulk " << inputs[i];
  }
  EXPECT_TRUE(is_nan_half(float_to_half(NAN)));
}

TEST(Half, BulkConvertersMatchScalarOnEveryHalf) {
  // Odd length so both the vector body and the scalar tail run.
  std::vector<uint16_t> all(65536 + 3);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  std::vector<float> wide(all.size());
  half_to_float_n(all.data(), wide.data(), all.size());
  // Every bit, NaNs included: a signalling NaN keeps its quiet bit clear.
  for (size_t i = 0; i < all.size(); ++i)
    ASSERT_EQ(std::bit_cast<uint32_t>(wide[i]), std::bit_cast<uint32_t>(half_to_float(all[i]))) << i;
  std::vector<uint16_t> back(all.size());
  float_to_half_n(wide.data(), back.data(), wide.size());
  for (size_t i = 0; i < all.size(); ++i) {
    if (is_nan_half(all[i])) {
      ASSERT_TRUE(is_nan_half(back[i])) << i;
    } else {
      ASSERT_EQ(back[i], all[i]) << i;
    }
  }
}

}  // namespace
}  // namespace vorn
