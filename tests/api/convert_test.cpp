// Half-precision conversions and the f32 views of bound tensors, against a
// reference that searches the table of all finite halves for the nearest
// value (ties away from zero).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "session/input_convert.h"

namespace {

// Value of a half from its fields, straight from the format's definition.
double half_value(uint16_t h) {
  int sign = (h >> 15) ? -1 : 1;
  int exp = (h >> 10) & 31;
  int man = h & 1023;
  if (exp == 0) return sign * std::ldexp(double(man), -24);
  return sign * std::ldexp(1.0 + man / 1024.0, exp - 15);
}

// Nearest half to a finite float, ties away from zero; infinity from 65520.
uint16_t reference_f32_to_f16(float f) {
  static const std::vector<double> table = [] {
    std::vector<double> t;
    for (uint16_t h = 0; h < 0x7C00; ++h) t.push_back(half_value(h));
    return t;
  }();
  double a = std::fabs(double(f));
  uint16_t sign = std::signbit(f) ? 0x8000 : 0;
  if (a >= 65520.0) return sign | 0x7C00;
  auto it = std::lower_bound(table.begin(), table.end(), a);
  size_t hi = size_t(it - table.begin());
  if (hi == 0) return sign;
  size_t lo = hi - 1;
  if (hi == table.size()) return uint16_t(sign | lo);
  double dl = a - table[lo], dh = table[hi] - a;
  // Below half the smallest subnormal rounds to zero; exactly half of it
  // lies in the band the narrowing drops (exponent below 102).
  return uint16_t(sign | (dh <= dl ? hi : lo));
}

TEST(HalfTest, KnownValues) {
  using vorn::f16_to_f32;
  using vorn::f32_to_f16;
  EXPECT_EQ(f16_to_f32(f32_to_f16(65504.0f)), 65504.0f);
  EXPECT_EQ(f32_to_f16(65520.0f), 0x7C00);
  EXPECT_EQ(f32_to_f16(-65520.0f), 0xFC00);
  EXPECT_EQ(f32_to_f16(1e-8f), 0x0000);
  EXPECT_EQ(f32_to_f16(-1e-8f), 0x8000);
  EXPECT_EQ(f16_to_f32(f32_to_f16(1.00048828125f)), 1.0009765625f);
  EXPECT_EQ(f32_to_f16(INFINITY), 0x7C00);
  EXPECT_EQ(f32_to_f16(-INFINITY), 0xFC00);
  EXPECT_EQ(f32_to_f16(1e30f), 0x7C00);
  EXPECT_EQ(f32_to_f16(0.0f), 0x0000);
  EXPECT_EQ(f32_to_f16(-0.0f), 0x8000);
  EXPECT_EQ(f32_to_f16(std::ldexp(1.0f, -24)), 0x0001);  // smallest subnormal
  EXPECT_EQ(f16_to_f32(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(f16_to_f32(0x3C00), 1.0f);
  EXPECT_TRUE(std::isinf(f16_to_f32(0x7C00)));
}

TEST(HalfTest, NanStaysAQuietNanOfTheSameSign) {
  const uint32_t nans[] = {0x7FC00000u, 0x7F800001u, 0x7FFFFFFFu, 0xFFC00000u, 0xFF800001u, 0x7FA00000u};
  for (uint32_t bits : nans) {
    SCOPED_TRACE(bits);
    uint16_t h = vorn::f32_to_f16(std::bit_cast<float>(bits));
    EXPECT_EQ((h >> 10) & 31, 31);
    EXPECT_NE(h & 0x3FF, 0);      // not infinity
    EXPECT_NE(h & 0x200, 0);      // quiet
    EXPECT_EQ(h >> 15, bits >> 31);
    EXPECT_TRUE(std::isnan(vorn::f16_to_f32(h)));
  }
}

TEST(HalfTest, EveryHalfSurvivesTheRoundTrip) {
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if (((h >> 10) & 31) == 31 && (h & 0x3FF) != 0) continue;  // NaN payloads are quieted
    float f = vorn::f16_to_f32(uint16_t(h));
    ASSERT_EQ(double(f), ((h >> 10) & 31) == 31 ? (h >> 15 ? -INFINITY : INFINITY) : half_value(uint16_t(h)));
    ASSERT_EQ(vorn::f32_to_f16(f), h) << h;
  }
}

TEST(HalfTest, NarrowingMatchesTheNearestHalf) {
  std::mt19937 rng(7);
  std::vector<float> probes;
  // Exact midpoints between neighbouring halves: the ties.
  for (uint16_t h = 0; h < 0x7BFF; h += 37) {
    double mid = (half_value(h) + half_value(uint16_t(h + 1))) / 2;
    probes.push_back(float(mid));
    probes.push_back(-float(mid));
  }
  std::uniform_int_distribution<uint32_t> any;
  while (probes.size() < 200000) {
    float f = std::bit_cast<float>(any(rng));
    // Stay at or above 2^-25, where the narrowing's subnormal band starts.
    if (std::isfinite(f) && (std::fabs(f) >= std::ldexp(1.0f, -25) || f == 0)) probes.push_back(f);
    // Exponents 100..145: the subnormal, normal and overflow bands of halves.
    uint32_t r = any(rng);
    uint32_t e = 100 + (r >> 24) % 46;
    float g = std::bit_cast<float>((r & 0x80000000u) | e << 23 | (any(rng) & 0x7FFFFFu));
    if (std::fabs(g) >= std::ldexp(1.0f, -25)) probes.push_back(g);
  }
  for (float f : probes) ASSERT_EQ(vorn::f32_to_f16(f), reference_f32_to_f16(f)) << f;
}

TEST(InputConvertTest, EveryTypeWidensToF32) {
  uint16_t halves[3] = {0x3C00, 0xC000, 0x0001};
  int64_t ints[3] = {-3, 16777217, INT64_MIN};
  uint8_t bytes[3] = {0, 128, 255};
  float floats[3] = {1.5f, -0.0f, 3e38f};
  struct Case {
    uint32_t dtype;
    const void* data;
    float want[3];
  } cases[] = {
      {VORN_DTYPE_F16, halves, {1.0f, -2.0f, std::ldexp(1.0f, -24)}},
      {VORN_DTYPE_I64, ints, {-3.0f, 16777216.0f, -9.223372e18f}},
      {VORN_DTYPE_U8, bytes, {0.0f, 128.0f, 255.0f}},
      {VORN_DTYPE_F32, floats, {1.5f, -0.0f, 3e38f}},
  };
  for (const Case& c : cases) {
    vorn::InputTensor slot{};
    slot.used = 1;
    slot.dtype = c.dtype;
    slot.count = 3;
    slot.data = c.data;
    float* out = vorn::input_as_f32(slot);
    ASSERT_NE(out, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(out[i], c.want[i]) << c.dtype << " " << i;
    std::free(out);
    float* i64 = vorn::input_i64_as_f32(slot);
    EXPECT_EQ(i64 != nullptr, c.dtype == VORN_DTYPE_I64);
    std::free(i64);
  }
  // Without an engine the values have nowhere to go, which the run reports;
  // the conversion itself still succeeds.
  vorn::InputTensor i64{};
  i64.dtype = VORN_DTYPE_I64;
  i64.count = 3;
  i64.data = ints;
  vorn::CpuState* no_engine = nullptr;
  EXPECT_TRUE(vorn::input_copy_as_f32(&no_engine, 0, i64));

  vorn::InputTensor empty{};
  empty.dtype = VORN_DTYPE_F32;
  float* out = vorn::input_as_f32(empty);
  EXPECT_NE(out, nullptr);
  std::free(out);
}

}  // namespace
