#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <cstring>
#include <vector>

#include "platform/cpu_features.h"
#include "platform/vector_math.h"

namespace vorn {
namespace {

// Distance in representable floats (same sign assumed: exp is positive).
int64_t ulp_distance(float a, float b) {
  const uint32_t ua = std::bit_cast<uint32_t>(a), ub = std::bit_cast<uint32_t>(b);
  return ua > ub ? int64_t(ua - ub) : int64_t(ub - ua);
}

// Sizes around the block width of the helpers: empty, tails only, one
// block, block plus tail, several blocks.
const size_t kSizes[] = {0, 1, 7, 8, 9, 16, 31, 1000};

std::vector<float> ramp(size_t n, float scale, float offset) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = std::sin(float(i) * 0.37f) * scale + offset;
  return v;
}

TEST(VectorMath, ElementwiseHelpersMatchPlainLoops) {
  for (size_t n : kSizes) {
    SCOPED_TRACE(n);
    auto a = ramp(n, 10.0f, 0.5f), b = ramp(n, -3.0f, 1.0f);
    std::vector<float> out(n, -1.0f);
    vec_add(a.data(), b.data(), out.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], a[i] + b[i]);
    vec_scalar_add(a.data(), 2.25f, out.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], a[i] + 2.25f);
    vec_scalar_mul_add(a.data(), 0.3f, -1.5f, out.data(), n);
    for (size_t i = 0; i < n; ++i) {
      volatile float prod = a[i] * 0.3f;  // rounded on its own, as the helper does
      ASSERT_EQ(out[i], prod + -1.5f);
    }
    vec_threshold(a.data(), 1.0f, out.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], a[i] >= 1.0f ? a[i] : 0.0f);
  }
}

// Every vector form rounds the product and the sum apart, as a plain loop
// does; values chosen so that a fused form would differ in many of them.
TEST(VectorMath, ScalarMulAddRoundsTwiceInEveryForm) {
  const struct {
    float s, t;
  } cases[] = {{0.3f, -1.5f}, {1.0f / 3.0f, 0.0f}, {-7.1f, 1e-3f}};
  for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable})
    for (const auto& c : cases)
      for (size_t n : kSizes) {
        const IsaCap cap(form);
        auto a = ramp(n, 10.0f, 0.5f);
        std::vector<float> out(n, -1.0f);
        vec_scalar_mul_add(a.data(), c.s, c.t, out.data(), n);
        for (size_t i = 0; i < n; ++i) {
          volatile float prod = a[i] * c.s;
          ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(prod + c.t))
              << "form " << int(form) << " n " << n << " i " << i;
        }
      }
}

// Sums and products of two arrays in every form, in place and not, equal
// a plain loop's, block tails included.
TEST(VectorMath, AddAndMulMatchPlainLoopsInEveryForm) {
  for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable})
    for (bool mul : {false, true})
      for (size_t n : kSizes) {
        const IsaCap cap(form);
        const auto a = ramp(n, 10.0f, 0.5f), b = ramp(n, -3.0f, 1.0f);
        std::vector<float> out(n, -1.0f), in_place = a;
        (mul ? vec_mul : vec_add)(a.data(), b.data(), out.data(), n);
        (mul ? vec_mul : vec_add)(in_place.data(), b.data(), in_place.data(), n);
        for (size_t i = 0; i < n; ++i) {
          const float want = mul ? a[i] * b[i] : a[i] + b[i];
          ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(want)) << int(form) << " " << n;
          ASSERT_EQ(std::bit_cast<uint32_t>(in_place[i]), std::bit_cast<uint32_t>(want)) << int(form) << " " << n;
        }
      }
}

TEST(VectorMath, HelpersRunInPlace) {
  auto a = ramp(37, 4.0f, 0.0f), b = ramp(37, 1.0f, 2.0f);
  auto x = a;
  vec_add(x.data(), b.data(), x.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(x[i], a[i] + b[i]);
  x = a;
  vec_scalar_mul_add(x.data(), 2.0f, 1.0f, x.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(x[i], a[i] * 2.0f + 1.0f);
  x = a;
  vec_exp(x.data(), x.data(), x.size());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_LE(ulp_distance(x[i], float(std::exp(double(a[i])))), 2);
}

TEST(VectorMath, ThresholdSpecialValues) {
  float in[9] = {NAN, -INFINITY, INFINITY, -0.0f, 0.0f, 0.999f, 1.0f, 1.001f, -5.0f};
  float out[9];
  vec_threshold(in, 1.0f, out, 9);
  float want[9] = {0, 0, INFINITY, 0, 0, 0, 1.0f, 1.001f, 0};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], want[i]) << i;
}

// Exp against the correctly rounded value (double exp rounded to float)
// over a stride through every float bit pattern, and densely where the
// result is subnormal or near overflow.
TEST(VectorMath, ExpWithinTwoUlpOverTheFloatRange) {
  std::vector<float> in;
  for (uint64_t u = 0; u < (uint64_t{1} << 32); u += 211) {
    float f = std::bit_cast<float>(static_cast<uint32_t>(u));
    if (!std::isnan(f)) in.push_back(f);
  }
  for (float f = -104.5f; f < -85.0f; f = std::nextafter(f, 0.0f) + 1e-4f) in.push_back(f);
  for (float f = 87.0f; f < 89.5f; f += 1e-4f) in.push_back(f);
  for (float f : {0.0f, -0.0f, 1.0f, -1.0f, 88.72283f, 88.72284f, -87.33655f, -103.97208f, -103.97209f,
                  0.34657359f, -0.34657359f, 1e-30f, -1e-30f, FLT_MIN, -FLT_MIN})
    in.push_back(f);
  // Both the form chosen for this CPU and the baseline form.
  for (KernelIsa cap : {KernelIsa::kAvx512, KernelIsa::kPortable}) {
    const IsaCap isa(cap);
    std::vector<float> out(in.size());
    vec_exp(in.data(), out.data(), in.size());
    int64_t worst = 0;
    float worst_at = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      float want = static_cast<float>(std::exp(static_cast<double>(in[i])));
      int64_t d = ulp_distance(out[i], want);
      if (d > worst) {
        worst = d;
        worst_at = in[i];
      }
    }
    EXPECT_LE(worst, 2) << "at x = " << worst_at;
    std::printf("%s: %zu inputs, worst error %lld ulp at %.9g\n", cap == KernelIsa::kPortable ? "portable" : "widest", in.size(), (long long)worst, worst_at);
  }
}

// The two forms take the same steps with the same roundings (the
// multiply-adds fused in both): the same bits, NaN, infinities and block
// tails included.
TEST(VectorMath, ExpFormsGiveTheSameBits) {
  std::vector<float> in;
  for (uint32_t bits = 0; bits < 0xFFFFFFFFu - 40503u; bits += 40503u) in.push_back(std::bit_cast<float>(bits));
  in.push_back(std::numeric_limits<float>::infinity());
  in.push_back(-std::numeric_limits<float>::infinity());
  std::vector<float> fast(in.size()), base(in.size());
  // An odd length, so the vector form ends in a partial block.
  in.resize(in.size() | 1);
  fast.resize(in.size()), base.resize(in.size());
  vec_exp(in.data(), fast.data(), in.size());
  const IsaCap portable(KernelIsa::kPortable);
  vec_exp(in.data(), base.data(), in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (std::isnan(base[i])) {
      EXPECT_TRUE(std::isnan(fast[i])) << in[i];
      continue;
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(fast[i]), std::bit_cast<uint32_t>(base[i])) << in[i];
  }
}

// The AVX-512 form gives the AVX2 form's bits, blocks of 16 and 8 and the
// scalar tail each where the AVX2 form has them, for every length to 40.
TEST(VectorMath, ExpWidestFormGivesTheAvx2Bits) {
  std::vector<float> in;
  for (uint32_t bits = 0; bits < 0xFFFFFFFFu - 4099u; bits += 4099u) in.push_back(std::bit_cast<float>(bits));
  // Every length to 40 from one place, then the whole sweep, in each form.
  const auto run = [&in] {
    std::vector<float> out;
    for (size_t n = 1; n <= 40; ++n) {
      out.resize(out.size() + n);
      vec_exp(in.data() + 1000, out.data() + out.size() - n, n);
    }
    out.resize(out.size() + in.size());
    vec_exp(in.data(), out.data() + out.size() - in.size(), in.size());
    return out;
  };
  const std::vector<float> wide = run();
  const IsaCap cap(KernelIsa::kAvx2);
  const std::vector<float> avx2 = run();
  for (size_t i = 0; i < wide.size(); ++i)
    ASSERT_EQ(std::bit_cast<uint32_t>(wide[i]), std::bit_cast<uint32_t>(avx2[i])) << i;
}

// The shifted exponential is the addition then the exponential, bit for bit,
// in every form, for shifts that move values across the whole range (NaN
// and infinities included), every length to 40 and in place.
TEST(VectorMath, ShiftedExpIsTheAdditionThenTheExp) {
  std::vector<float> in;
  for (uint32_t bits = 0; bits < 0xFFFFFFFFu - 40503u; bits += 40503u) in.push_back(std::bit_cast<float>(bits));
  for (float v : {INFINITY, -INFINITY, NAN, 0.0f, -0.0f}) in.push_back(v);
  for (KernelIsa form : {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable})
    for (float shift : {0.0f, -3.5f, 88.0f, -1e30f, INFINITY}) {
      const IsaCap isa(form);
      for (size_t n : {size_t(1), size_t(7), size_t(8), size_t(15), size_t(17), size_t(40), in.size()}) {
        std::vector<float> want(n), got(in.begin(), in.begin() + std::ptrdiff_t(n));
        vec_scalar_add(in.data(), shift, want.data(), n);
        vec_exp(want.data(), want.data(), n);
        vec_exp_shifted(got.data(), shift, got.data(), n);
        for (size_t i = 0; i < n; ++i)
          ASSERT_EQ(std::bit_cast<uint32_t>(got[i]), std::bit_cast<uint32_t>(want[i]))
              << in[i] << " + " << shift << " form " << int(form) << " length " << n;
      }
    }
}

TEST(VectorMath, ExpSpecialValues) {
  float in[8] = {NAN, -NAN, INFINITY, -INFINITY, 89.0f, 1000.0f, -104.0f, -1000.0f};
  float out[8];
  vec_exp(in, out, 8);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_TRUE(std::isnan(out[1]));
  EXPECT_EQ(out[2], INFINITY);
  EXPECT_EQ(out[3], 0.0f);
  EXPECT_EQ(out[4], INFINITY);
  EXPECT_EQ(out[5], INFINITY);
  EXPECT_EQ(out[6], 0.0f);
  EXPECT_EQ(out[7], 0.0f);
  EXPECT_FALSE(std::signbit(out[7]));
  EXPECT_EQ(exp_approx(0.0f), 1.0f);
  EXPECT_EQ(exp_approx(1.0f), std::exp(1.0f));
}

}  // namespace
}  // namespace vorn
