// The sampler against the numpy rendering of the sampling rule
// (tests/data/generation/sampler_reference.json, made by
// make_sampler_reference.py), and the rule's own edge cases.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "generation/documents_fixture.h"
#include "generation/sampler.h"

namespace vorn {
namespace {

using nlohmann::json;

TEST(Sampler, SplitMix64) {
  uint64_t state = 0;
  EXPECT_EQ(splitmix64_next(&state), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(state, 0x9E3779B97F4A7C15ull);
  EXPECT_EQ(splitmix64_next(&state), 0x6E789E6AA1B965F4ull);
  state = 0;
  EXPECT_EQ(splitmix64_uniform(&state), static_cast<double>(0xE220A8397B1DCDAFull >> 11) * 0x1.0p-53);
}

// The case's inputs, drawn from its stream exactly as the reference draws them.
struct Inputs {
  std::vector<float> logits;
  std::vector<uint8_t> allow;
  std::vector<int64_t> history;
};

Inputs draw_inputs(const json& c) {
  uint64_t s = c["stream"];
  const uint64_t vocab = c["vocab"];
  const double spread = c["spread"];
  const int quantum = c["quantum"];
  Inputs in;
  for (uint64_t i = 0; i < vocab; ++i) {
    double x = (splitmix64_uniform(&s) * 2.0 - 1.0) * spread;
    if (quantum > 0) x = std::floor(x * quantum + 0.5) / quantum;
    in.logits.push_back(static_cast<float>(x));
  }
  for (const json& sp : c["special"]) {
    std::string v = sp[1];
    in.logits[sp[0].get<size_t>()] = v == "nan" ? NAN : v == "inf" ? INFINITY : v == "-inf" ? -INFINITY : std::stof(v);
  }
  if (c["density"].get<double>() < 1.0)
    for (uint64_t i = 0; i < vocab; ++i) in.allow.push_back(splitmix64_uniform(&s) < c["density"].get<double>());
  for (int h = 0; h < c["history"].get<int>(); ++h) in.history.push_back(static_cast<int64_t>(splitmix64_next(&s) % vocab));
  return in;
}

TEST(Sampler, EqualsTheReference) {
  const json cases = json::parse(test::read_text_file(std::string(VORN_TEST_DATA) + "/generation/sampler_reference.json"));
  ASSERT_GE(cases.size(), 500u);
  for (size_t n = 0; n < cases.size(); ++n) {
    const json& c = cases[n];
    Inputs in = draw_inputs(c);
    const json& p = c["params"];
    SamplingParams params{p["temperature"], p["top_p"], p["min_p"], p["repetition_penalty"], p["top_k"],
                          p["repetition_window"], 0};
    uint64_t state = c["state"];
    for (const json& want : c["expected"]) {
      SampledToken out{-1, 0.0};
      uint32_t status = sample_token(in.logits.data(), in.logits.size(), in.allow.empty() ? nullptr : in.allow.data(),
                                     in.history.data(), in.history.size(), &params, &state, &out);
      ASSERT_EQ(status, want["status"].get<uint32_t>()) << "case " << n;
      if (status != 0) break;
      ASSERT_EQ(out.token, want["token"].get<int64_t>()) << "case " << n;
      EXPECT_EQ(out.log_probability, want["log_probability"].get<double>()) << "case " << n;
      ASSERT_EQ(state, want["state"].get<uint64_t>()) << "case " << n;
      in.history.push_back(out.token);
    }
  }
}

struct Edge {
  const char* name;
  std::vector<float> logits;
  std::vector<uint8_t> allow;  // empty: no mask
  std::vector<int64_t> history;
  SamplingParams params;
  uint32_t status;
  int64_t token;
  double log_probability;  // NaN: not checked
};

TEST(Sampler, EdgeCases) {
  auto with = [](double temperature, double penalty, uint32_t window, uint32_t top_k, double min_p, double top_p) {
    return SamplingParams{temperature, top_p, min_p, penalty, top_k, window, 0};
  };
  const SamplingParams greedy = sampling_params_default();
  const SamplingParams penalty2 = with(0, 2, 0, 0, 0, 1), window1 = with(0, 2, 1, 0, 0, 1);
  const SamplingParams top1 = with(1, 1, 0, 1, 0, 1), minp1 = with(1, 1, 0, 0, 1, 1), bad = with(0, 1, 0, 0, 0, 0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Edge cases[] = {
      {"arg max", {0.5f, 3.0f, -1.0f}, {}, {}, greedy, 0, 1, nan},
      {"two maxima: lower id, -ln 2", {2.0f, 2.0f}, {}, {}, greedy, 0, 0, -std::log(2.0)},
      {"all equal", {1.0f, 1.0f, 1.0f, 1.0f}, {}, {}, greedy, 0, 0, -std::log(4.0)},
      {"NaN at a forbidden place", {1.0f, NAN}, {1, 0}, {}, greedy, 2, 0, nan},
      {"infinite logit", {1.0f, inf, 2.0f}, {}, {}, greedy, 2, 0, nan},
      {"minus infinity never chosen", {-inf, -50.0f}, {}, {}, top1, 2, 0, nan},
      {"every token forbidden", {1.0f, 2.0f}, {0, 0}, {}, greedy, 3, 0, nan},
      {"penalty halves a positive logit", {3.0f, 2.0f}, {}, {0}, penalty2, 0, 1, nan},
      {"penalty doubles a negative logit", {-3.0f, -5.0f}, {}, {0}, penalty2, 0, 1, nan},
      {"penalised to a tie", {3.0f, 1.5f}, {}, {0}, penalty2, 0, 0, -std::log(2.0)},
      {"window 1 of [1, 0] penalises token 0 only", {3.0f, 2.9f}, {}, {1, 0}, window1, 0, 1, nan},
      {"history id at vocab inside the window", {1.0f, 2.0f}, {}, {0, 2}, window1, 1, 0, nan},
      {"history id at vocab outside the window", {1.0f, 2.0f}, {}, {2, 0}, window1, 0, 1, nan},
      {"negative history id", {1.0f}, {}, {-1}, greedy, 1, 0, nan},
      {"top_k 1 is the arg max", {0.1f, 0.9f, 0.3f}, {}, {}, top1, 0, 1, 0.0},
      {"invalid settings", {1.0f}, {}, {}, bad, 1, 0, nan},
  };
  for (const Edge& c : cases) {
    uint64_t state = 42;
    SampledToken out{-7, 0.0};
    uint32_t status = sample_token(c.logits.data(), c.logits.size(), c.allow.empty() ? nullptr : c.allow.data(),
                                   c.history.data(), c.history.size(), &c.params, &state, &out);
    EXPECT_EQ(status, c.status) << c.name;
    if (status != 0) {
      EXPECT_EQ(out.token, -7) << c.name;  // untouched on failure
      continue;
    }
    EXPECT_EQ(out.token, c.token) << c.name;
    if (!std::isnan(c.log_probability)) {
      EXPECT_DOUBLE_EQ(out.log_probability, c.log_probability) << c.name;
    }
    // A draw advances the state by one step; greedy leaves it.
    EXPECT_EQ(state, c.params.temperature == 0.0 ? 42u : 42u + 0x9E3779B97F4A7C15ull) << c.name;
  }

  // min_p 1 keeps only the candidates at the maximum.
  std::vector<float> two_top = {5.0f, 1.0f, 5.0f, 4.9f};
  for (uint64_t seed = 0; seed < 64; ++seed) {
    uint64_t state = seed;
    SampledToken out{};
    ASSERT_EQ(sample_token(two_top.data(), 4, nullptr, nullptr, 0, &minp1, &state, &out), 0u);
    EXPECT_TRUE(out.token == 0 || out.token == 2);
    EXPECT_DOUBLE_EQ(out.log_probability, -std::log(2.0));
  }
  // A draw of u = 1 - 2^-53 (from this state) that rounding leaves
  // unresolved after the last candidate: the last one of non-zero p is
  // chosen (token 1), not the last of the list (token 5, p 0, log -inf).
  std::vector<float> unresolved = {0.0f, -15.070048332214355f, -0.6438887119293213f, -12.402523040771484f,
                                   -2.1559576988220215f, -900.0f};
  uint64_t edge_state = 0x31628af67b2131abull;
  SampledToken edge{};
  SamplingParams warm = with(1, 1, 0, 0, 0, 1);
  ASSERT_EQ(sample_token(unresolved.data(), 6, nullptr, nullptr, 0, &warm, &edge_state, &edge), 0u);
  EXPECT_EQ(edge.token, 1);
  EXPECT_TRUE(std::isfinite(edge.log_probability));
  // Null pointers and an empty vocabulary.
  uint64_t state = 0;
  SampledToken out{};
  float one = 1.0f;
  EXPECT_EQ(sample_token(nullptr, 1, nullptr, nullptr, 0, &greedy, &state, &out), 1u);
  EXPECT_EQ(sample_token(&one, 0, nullptr, nullptr, 0, &greedy, &state, &out), 1u);
  EXPECT_EQ(sample_token(&one, 1, nullptr, nullptr, 2, &greedy, &state, &out), 1u);
  EXPECT_EQ(sample_token(&one, 1, nullptr, nullptr, 0, nullptr, &state, &out), 1u);
  EXPECT_EQ(sample_token(&one, 1, nullptr, nullptr, 0, &greedy, nullptr, &out), 1u);
}

}  // namespace
}  // namespace vorn
