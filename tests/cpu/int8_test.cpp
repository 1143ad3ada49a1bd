// The int8 hooks: no capability, so nothing is packed and every product and
// convolution runs in f32 whatever the int8 switches say.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/int8_paths.h"
#include "kernels/quant_operands.h"
#include "platform/blas.h"
#include "quant_test_util.h"
#include "reference/random_data.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VORN_UNDER_SANITIZER 1
#endif
#endif

namespace vorn {
namespace {

using test::GraphBuilder;
using test::QuantEngine;
using test::QuantEnv;

using test::random_values;

GraphBuilder conv_graph() {
  GraphBuilder b;
  const uint64_t in = b.input({1, 4, 6, 6});
  const uint64_t w = b.weight({5, 4, 3, 3}, random_values(180, 1));
  const uint64_t w1 = b.weight({3, 5, 1, 1}, random_values(15, 2));
  const uint64_t a = b.act({1, 5, 6, 6}), out = b.output({1, 3, 6, 6});
  b.node(op::Conv, {in, w}, {a}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                  {attr::Conv::kPadLeft, 1}});
  b.node(op::Conv, {a, w1}, {out}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  return b;
}

TEST(Int8Paths, NoCapabilityAndNothingPacked) {
  EXPECT_FALSE(cpu_i8_supported());
  EXPECT_FALSE(cpu_i8_capable());
  QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_I8_FUSED", "1"}, {"VORN_CPU_I8_STATS", "1"}});
  QuantEngine e(conv_graph());
  ASSERT_TRUE(e.ok());
  EXPECT_FALSE(cpu_i8_ready(*e.state));
  const float amax[] = {1.0f, 2.0f, 3.0f};
  cpu_i8_prepack(*e.state, true, amax);
  EXPECT_FALSE(cpu_i8_ready(*e.state));
  EXPECT_EQ(e.state->quant->i8.count, 0u);
  float y[4] = {0};
  const std::vector<float> x = random_values(144, 3);
  EXPECT_EQ(cpu_i8_conv_fused(*e.state, e.state->nodes[0], x.data(), x.data(), y, e.state->values[0],
                              e.state->values[3]),
            0);
  EXPECT_EQ(cpu_i8_gemm(*e.state, false, false, 2, 2, 2, 1.0f, x.data(), 2, x.data(), 2, 0.0f, y, 2), 0);
  EXPECT_EQ(cpu_sigmoid_override(x.data(), y, 4), 0);
}

TEST(Int8Paths, PrecisionInt8IsRefusedForLackOfDotProducts) {
  GraphBuilder b = conv_graph();
  for (uint32_t mode : {kPrecisionModePlain, kPrecisionModeStatic}) {
    CpuPrecisionRequest p;
    p.setting = {kPrecisionInt8, mode};
    p.calib_count = 3;
    CpuCreateResult r = cpu_engine_create_graph(b.graph(), 1, p);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(std::strstr(r.error.message, "needs int8 dot-product instructions"), nullptr)
        << r.error.message;
  }
}

TEST(Int8Paths, SwitchesChangeNothing) {
  const std::vector<float> x = random_values(144, 4);
  std::vector<float> plain;
  {
    QuantEnv env;
    QuantEngine e(conv_graph());
    plain = e.run(x);
  }
  ASSERT_EQ(plain.size(), 108u);
  QuantEnv env({{"VORN_CPU_I8_FUSED", "1"}, {"VORN_CPU_I8_FUSED1X1", "1"}, {"VORN_CPU_I8_STATS", ""}});
  QuantEngine e(conv_graph());
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e.state->quant, nullptr);  // the int8 switches alone ask for nothing
  EXPECT_EQ(e.run(x), plain);
}

// The engine's product equals a plain sgemm for every layout, bit for bit.
TEST(Int8Paths, EngineProductIsPlainSgemm) {
  QuantEnv env({{"VORN_CPU_QW", "i8"}});
  QuantEngine e(conv_graph());
  ASSERT_TRUE(e.ok());
  const int64_t m = 7, n = 5, k = 9;
  const std::vector<float> a = random_values(m * k, 5), b = random_values(k * n, 6);
  for (bool ta : {false, true})
    for (bool tb : {false, true})
      for (float beta : {0.0f, 0.5f}) {
        std::vector<float> c1 = random_values(m * n, 7), c2 = c1;
        cpu_gemm(*e.state, ta, tb, m, n, k, 1.0f, a.data(), ta ? m : k, b.data(), tb ? k : n, beta,
                 c1.data(), n);
        cpu_sgemm(ta, tb, m, n, k, 1.0f, a.data(), ta ? m : k, b.data(), tb ? k : n, beta, c2.data(), n);
        EXPECT_EQ(c1, c2);
      }
}

TEST(Int8Paths, ScratchReserve) {
  CpuI8State s{};
  EXPECT_EQ(i8_scratch_reserve(s, 100), 1);
  EXPECT_EQ(s.scratch_capacity, 100u);
  int8_t* first = s.scratch;
  EXPECT_EQ(i8_scratch_reserve(s, 50), 1);
  EXPECT_EQ(s.scratch, first);
  EXPECT_EQ(i8_scratch_reserve(s, 1000), 1);
  EXPECT_EQ(s.scratch_capacity, 1000u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VORN_UNDER_SANITIZER)
  // Sanitizer allocators stop the process on an impossible size instead.
  EXPECT_EQ(i8_scratch_reserve(s, ~uint64_t{0} >> 1), 0);
  EXPECT_EQ(s.scratch_capacity, 0u);
  EXPECT_EQ(s.scratch, nullptr);
#endif
  cpu_i8_release(s);
}

TEST(Int8Paths, StatisticsLine) {
  char line[128];
  const int n = cpu_i8_stats_line(line, sizeof line, 12, 1.5, 0.25, 3);
  EXPECT_EQ(std::string(line, n), "i8stats calls=12 gemm_ms=1.5 pack_ms=0.25 kernel_ms=3\n");
}

}  // namespace
}  // namespace vorn
