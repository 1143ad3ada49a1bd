#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/cpu_features.h"
#include "platform/float_exp.h"

namespace vorn {
namespace {

// Every 997th bit pattern (both signs, NaN and infinity included), then the
// edges: the overflow and underflow bounds and their neighbours, results in
// the subnormal range, zeros.
std::vector<float> sweep() {
  std::vector<float> v;
  for (uint64_t b = 0; b < (uint64_t(1) << 32); b += 997) v.push_back(std::bit_cast<float>(uint32_t(b)));
  for (float x : {0x1.62e42ep6f, 0x1.62e430p6f, -0x1.9fe368p6f, -0x1.9fe36ap6f, -87.5f, -100.0f, -103.9f,
                  0.0f, -0.0f, INFINITY, -INFINITY, NAN, 88.0f, -88.0f, 1e-30f})
    for (float y : {std::nextafter(x, -INFINITY), x, std::nextafter(x, INFINITY)}) v.push_back(y);
  return v;
}

bool same(float a, float b) {
  return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

// The C library computes exp in double with fused steps where the processor
// has them; there its bits are ours, elsewhere it may differ by one ulp.
TEST(FloatExp, VectorAndPortableFormsGiveTheCLibraryBits) {
  const std::vector<float> in = sweep();
  std::vector<float> vec(in.size()), avx2(in.size()), portable(in.size());
  exp_float_n(in.data(), vec.data(), in.size());
  const int64_t allowed = cpu_has_avx2_fma() ? 0 : 1;
  {
    const IsaCap isa(KernelIsa::kAvx2);
    exp_float_n(in.data(), avx2.data(), in.size());
  }
  {
    const IsaCap isa(KernelIsa::kPortable);
    exp_float_n(in.data(), portable.data(), in.size());
  }
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_TRUE(same(vec[i], portable[i])) << std::hexfloat << in[i];
    ASSERT_TRUE(same(avx2[i], portable[i])) << std::hexfloat << in[i];
    ASSERT_TRUE(same(exp_float(in[i]), vec[i])) << std::hexfloat << in[i];
    const float ref = std::exp(in[i]);
    if (std::isnan(ref)) {
      ASSERT_TRUE(std::isnan(vec[i]));
      continue;
    }
    const int64_t d = int64_t(std::bit_cast<uint32_t>(ref)) - int64_t(std::bit_cast<uint32_t>(vec[i]));
    ASSERT_LE(std::abs(d), allowed) << std::hexfloat << in[i] << " " << vec[i] << " " << ref;
  }
  // Tails shorter than a vector, and in place.
  for (size_t n : {1, 7, 9, 17, 31, 33}) {
    std::vector<float> x(in.begin() + 100, in.begin() + 100 + n), y(n);
    exp_float_n(x.data(), y.data(), n);
    exp_float_n(x.data(), x.data(), n);
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same(x[i], y[i]));
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same(y[i], vec[100 + i]));
  }
}

// Vectors whose lanes all lie in range take the formula alone, the others
// their fix-ups: dense runs of in-range values, each run of eight broken by
// one special value at every lane, and every tail length, in every form,
// against the scalar function (itself checked against the C library above).
TEST(FloatExp, InRangeRunsSpecialLanesAndTails) {
  std::vector<float> in;
  for (uint32_t b = 0; b < 0x42b00000u; b += 211) {
    in.push_back(std::bit_cast<float>(b));
    in.push_back(-std::bit_cast<float>(b));
  }
  const float specials[] = {NAN, INFINITY, -INFINITY, 88.0f, -88.0f, 0x1.62e42ep6f, 0x1.62e430p6f,
                            -0x1.9fe368p6f, -0x1.9fe36ap6f, 1e30f, -1e30f};
  size_t at = 0;
  for (float v : specials)
    for (size_t lane = 0; lane < 8; ++lane, at += 64) in[at + lane] = v;
  const KernelIsa forms[] = {KernelIsa::kAvx512, KernelIsa::kAvx2, KernelIsa::kPortable};
  for (KernelIsa form : forms) {
    const IsaCap isa(form);
    std::vector<float> out(in.size());
    exp_float_n(in.data(), out.data(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
      ASSERT_TRUE(same(out[i], exp_float(in[i]))) << int(form) << " " << std::hexfloat << in[i];
    for (size_t n = 1; n <= 17; ++n)
      for (size_t start : {size_t(3), size_t(62)}) {  // (62: a NaN at 65)
        std::vector<float> y(n + 1, 42.0f);
        exp_float_n(in.data() + start, y.data(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_TRUE(same(y[i], exp_float(in[start + i]))) << int(form) << " " << n;
        ASSERT_EQ(y[n], 42.0f) << "wrote past the end, " << int(form) << " " << n;
      }
  }
}

}  // namespace
}  // namespace vorn
