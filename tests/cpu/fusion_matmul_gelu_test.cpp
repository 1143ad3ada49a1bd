// A MatMul followed by the Add of a constant row becomes one MatMul with a
// bias, and the five nodes of an exported exact GELU become one Erf pass in
// chain mode: each must give the unfused graph's bits in every kernel form
// (portable, AVX2, AVX-512), and look-alikes must stay as they are.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "platform/cpu_features.h"
#include "reference/random_data.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::bit_equal;
using test::random_values;

constexpr KernelIsa kForms[] = {KernelIsa::kPortable, KernelIsa::kAvx2, KernelIsa::kAvx512};

// Fused and unfused runs in each form; every run must give the first's bits.
// Returns the fused run of the widest form.
test::FusionRun same_bits_everywhere(GraphBuilder& b, const std::vector<float>& x, size_t n) {
  test::FusionRun last;
  std::vector<float> want;
  for (KernelIsa form : kForms) {
    IsaCap cap(form);
    test::FusionRun plain = test::run_fused(b, x, n, false);
    last = test::run_fused(b, x, n, true);
    if (want.empty()) want = plain.y;
    EXPECT_TRUE(bit_equal(plain.y, want)) << "unfused, form " << static_cast<int>(form);
    EXPECT_TRUE(bit_equal(last.y, want)) << "fused, form " << static_cast<int>(form);
  }
  return last;
}

struct BiasCase {
  const char* name;
  uint64_t rows, k, n;
  bool bias_first;   // Add(bias, product)
  bool bias_rank3;   // bias [1, 1, n] rather than [n]
  int extra_reader;  // 1: the product is also read by a Neg; 2: the addend is not a constant
};

constexpr BiasCase kBiasCases[] = {
    {"Add(product, bias)", 7, 13, 19, false, false, 0},
    {"Add(bias, product)", 7, 13, 19, true, false, 0},
    {"bias [1, 1, n], large", 300, 96, 70, false, true, 0},
    {"deep, a partial panel", 33, 600, 40, true, true, 0},
    {"product read twice", 7, 13, 19, false, false, 1},
    {"addend an input", 7, 13, 19, false, false, 2},
};

TEST(FusionMatMulBias, BiasJoinsTheProduct) {
  for (const BiasCase& c : kBiasCases) {
    SCOPED_TRACE(c.name);
    GraphBuilder b;
    uint64_t a = b.input({1, c.rows, c.k});
    uint64_t w = b.weight({c.k, c.n}, random_values(c.k * c.n, 3, -1, 1));
    std::vector<float> bias_data = random_values(c.n, 4, -2, 2);
    bias_data[0] = -0.0f;
    uint64_t bias = c.extra_reader == 2 ? b.input({c.n})
                                        : b.weight(c.bias_rank3 ? std::vector<uint64_t>{1, 1, c.n}
                                                                : std::vector<uint64_t>{c.n},
                                                   bias_data);
    uint64_t t = b.act({1, c.rows, c.n});
    uint64_t y = b.output({1, c.rows, c.n});
    b.node(op::MatMul, {a, w}, {t});
    if (c.bias_first)
      b.node(op::Add, {bias, t}, {y});
    else
      b.node(op::Add, {t, bias}, {y});
    if (c.extra_reader == 1) {
      uint64_t u = b.output({1, c.rows, c.n});
      b.node(op::Neg, {t}, {u});
    }
    const std::vector<float> x = random_values(c.rows * c.k, 5, -1, 1);
    if (c.extra_reader == 2) {
      // Another input to bind: only check that nothing fused.
      test::FusionRun r = test::run_fused(b, x, c.rows * c.n, true, bias, bias_data);
      EXPECT_EQ(r.nodes(), 2u);
      continue;
    }
    test::FusionRun r = same_bits_everywhere(b, x, c.rows * c.n);
    EXPECT_EQ(r.nodes(), c.extra_reader == 1 ? 3u : 1u);
    // Against a plain double loop.
    for (uint64_t i = 0; i < c.rows; i += 5)
      for (uint64_t j = 0; j < c.n; ++j) {
        double s = 0;
        for (uint64_t q = 0; q < c.k; ++q) s += double(x[i * c.k + q]) * b.storage[b.values[w].w[12] / 4 + q * c.n + j];
        ASSERT_NEAR(r.y[i * c.n + j], s + bias_data[j], 1e-4 * (1 + std::sqrt(double(c.k))));
      }
  }
}

// Div(x, c) -> Erf -> Add(., one) -> Mul(x, .) -> Mul(., half), with every
// operand order of the commutative nodes, and look-alikes.
struct GeluCase {
  const char* name;
  float c, one, half;
  bool second_reader;  // the Erf's output is also a graph output
};

constexpr GeluCase kGeluCases[] = {
    {"exact GELU", 1.4142135f, 1.0f, 0.5f, false},
    {"another divisor", 3.0f, 1.0f, 0.5f, false},
    {"Add of 2", 1.4142135f, 2.0f, 0.5f, false},
    {"Mul by 0.25", 1.4142135f, 1.0f, 0.25f, false},
    {"Erf read twice", 1.4142135f, 1.0f, 0.5f, true},
};

TEST(FusionGeluChain, FiveNodesBecomeOnePass) {
  for (const GeluCase& c : kGeluCases)
    for (int order = 0; order < 8; ++order)
      for (uint64_t n : {uint64_t{37}, uint64_t{40000}}) {
        SCOPED_TRACE(std::string(c.name) + ", order " + std::to_string(order) + ", " + std::to_string(n));
        GraphBuilder b;
        uint64_t x = b.input({1, n});
        uint64_t cv = b.weight({}, {c.c}), one = b.weight({1}, {c.one}), half = b.weight({}, {c.half});
        uint64_t t = b.act({1, n}), e = c.second_reader ? b.output({1, n}) : b.act({1, n});
        uint64_t u = b.act({1, n}), v = b.act({1, n}), y = b.output({1, n});
        b.node(op::Div, {x, cv}, {t});
        b.node(op::Erf, {t}, {e});
        if (order & 1) b.node(op::Add, {one, e}, {u}); else b.node(op::Add, {e, one}, {u});
        if (order & 2) b.node(op::Mul, {u, x}, {v}); else b.node(op::Mul, {x, u}, {v});
        if (order & 4) b.node(op::Mul, {half, v}, {y}); else b.node(op::Mul, {v, half}, {y});
        if (c.second_reader) {
          uint64_t z = b.output({1, n});
          b.node(op::Neg, {e}, {z});
        }
        std::vector<float> xs = random_values(n, 6 + order, -7, 7);
        const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity(), 0.0f, -0.0f, 6.0f, -6.0f, 1e-30f};
        for (size_t i = 0; i < n; i += 11) xs[i] = specials[(i / 11) % std::size(specials)];
        // The graph's first output is y when the Erf's is not an output.
        test::FusionRun r = same_bits_everywhere(b, xs, n);
        const bool fuses = c.one == 1.0f && c.half == 0.5f && !c.second_reader;
        EXPECT_EQ(r.nodes(), fuses ? 1u : 5u + (c.second_reader ? 1u : 0u));
        if (!fuses || c.c != 1.4142135f) continue;
        for (uint64_t i = 0; i < n; ++i) {
          if (!std::isfinite(xs[i])) continue;
          ASSERT_NEAR(r.y[i], 0.5 * xs[i] * (1 + std::erf(xs[i] / std::sqrt(2.0))), 2e-6 * (1 + std::fabs(xs[i])))
              << "x " << xs[i];
        }
      }
}

}  // namespace
}  // namespace vorn
