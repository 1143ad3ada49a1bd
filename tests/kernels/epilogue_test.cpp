// The convolution epilogue (bias and fused activation over a channel's
// span) in every form the engine may pick, against the portable one, bit
// for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "kernels/ops/conv_epilogue.h"
#include "test_util.h"

namespace vorn::test {
namespace {

TEST(ConvEpilogue, EveryFormGivesThePortableBits) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const int acts[] = {kern::kActNone,      kern::kActRelu,  kern::kActReluAffine, kern::kActLeaky, kern::kActClip,
                      kern::kActHardSwish, kern::kActPRelu, kern::kActAdd,        kern::kActAddRelu,
                      kern::kActSiLU};
  // Bias, scale and shift of three channels (activation 2 reads all three).
  const std::vector<float> params = {0.25f, -0.5f, 0.0f, 1.5f, -2.0f, 0.75f, -0.125f, 3.0f, 0.5f};
  for (int64_t len : {0, 1, 7, 8, 9, 31, 32, 33, 100}) {
    std::vector<float> x = random_values(static_cast<size_t>(len), 7 + static_cast<uint32_t>(len), -8.0f, 8.0f);
    const float odd[] = {nan, inf, -inf, 0.0f, -0.0f, 3.0f, -3.0f};
    for (size_t i = 0; i < x.size(); i += 3) x[i] = odd[(i / 3) % 7];
    // Residual values, odd ones where x has ordinary ones.
    std::vector<float> res = random_values(static_cast<size_t>(len), 9 + static_cast<uint32_t>(len), -8.0f, 8.0f);
    for (size_t i = 1; i < res.size(); i += 3) res[i] = odd[(i / 3) % 7];
    for (int act : acts)
      for (bool bias : {false, true})
        for (int64_t c = 0; c < 3; ++c) {
          if ((act == kern::kActReluAffine || act == kern::kActPRelu) && !bias) continue;
          SCOPED_TRACE(::testing::Message() << "len " << len << " act " << act << " bias " << bias << " channel " << c);
          const float* p = bias ? params.data() : nullptr;
          std::vector<float> want = x;
          kern::conv_epilogue_span(want.data(), len, c, p, 3, act, 0.125f, 2.5f, res.data());
          // A guard after the span: no form writes past it.
          std::vector<float> got = x;
          got.push_back(42.0f);
          kern::conv_epilogue_for(kernel_isa_of_this_cpu())(got.data(), len, c, p, 3, act, 0.125f, 2.5f, res.data());
          EXPECT_EQ(got.back(), 42.0f);
          got.pop_back();
          for (int64_t i = 0; i < len; ++i) {
            const bool both_nan = want[i] != want[i] && got[i] != got[i];
            EXPECT_TRUE(both_nan || std::memcmp(&want[i], &got[i], 4) == 0)
                << "value " << i << " of " << x[i] << ": " << got[i] << " want " << want[i];
          }
        }
  }
}

// Clip's bounds as models give them and as they should not: ReLU6's, equal,
// crossed (the lower above the upper: the lower test comes first) and NaN,
// over values that sit on them, between and outside, zeros of both signs.
TEST(ConvEpilogue, ClipGivesThePortableBitsForAnyBounds) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const struct {
    float lo, hi;
  } bounds[] = {{0.0f, 6.0f}, {-0.0f, 6.0f}, {1.0f, 1.0f}, {2.5f, 0.125f}, {0.0f, -0.0f}, {nan, 1.0f}, {-1.0f, nan}};
  std::vector<float> x = random_values(37, 3, -8.0f, 8.0f);
  const float odd[] = {nan, inf, -inf, 0.0f, -0.0f, 6.0f, 1.0f, 2.5f, 0.125f, -1.0f};
  for (size_t i = 0; i < x.size(); i += 2) x[i] = odd[(i / 2) % 10];
  const kern::EpilogueSpan form = kern::conv_epilogue_for(kernel_isa_of_this_cpu());
  for (const auto& b : bounds)
    for (const float* bias : {static_cast<const float*>(nullptr), &odd[4]}) {
      SCOPED_TRACE(::testing::Message() << "bounds " << b.lo << ", " << b.hi << " bias " << (bias != nullptr));
      std::vector<float> want = x, span = x, rows = x;
      kern::conv_epilogue_span(want.data(), 37, 0, bias, 1, kern::kActClip, b.lo, b.hi);
      form(span.data(), 37, 0, bias, 1, kern::kActClip, b.lo, b.hi, nullptr);
      kern::conv_epilogue_rows(form, rows.data(), 37, 1, 37, 0, bias, 1, kern::kActClip, b.lo, b.hi, nullptr);
      EXPECT_EQ(0, std::memcmp(want.data(), span.data(), want.size() * sizeof(float)));
      EXPECT_EQ(0, std::memcmp(want.data(), rows.data(), want.size() * sizeof(float)));
    }
}

// A tile of channels in one call, in both forms, gives each row's span bits
// and leaves the gaps between the rows alone.
TEST(ConvEpilogue, RowsOfATileGiveEachChannelsSpan) {
  const int acts[] = {kern::kActNone, kern::kActRelu, kern::kActReluAffine, kern::kActClip, kern::kActPRelu,
                      kern::kActAddRelu, kern::kActHardSwish};
  const int64_t rows = 3, ld = 13;
  const std::vector<float> params = random_values(3 * rows, 5, -2.0f, 2.0f);
  const std::vector<float> x = random_values(rows * ld, 11, -8.0f, 8.0f), res = random_values(rows * ld, 12, -8.0f, 8.0f);
  const kern::EpilogueSpan forms[] = {&kern::conv_epilogue_span, kern::conv_epilogue_for(kernel_isa_of_this_cpu())};
  for (int64_t len : {1, 9, 11})
    for (int act : acts)
      for (kern::EpilogueSpan form : forms) {
        SCOPED_TRACE(::testing::Message() << "len " << len << " act " << act);
        std::vector<float> want = x, got = x;
        for (int64_t r = 0; r < rows; ++r)
          kern::conv_epilogue_span(want.data() + r * ld + 1, len, r, params.data(), rows, act, -0.5f, 1.5f,
                                   res.data() + r * ld + 1);
        kern::conv_epilogue_rows(form, got.data() + 1, ld, rows, len, 0, params.data(), rows, act, -0.5f, 1.5f,
                                 res.data() + 1);
        EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(float)));
      }
}

}  // namespace
}  // namespace vorn::test
