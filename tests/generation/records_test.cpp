// Defaults of the generation records and the sampling settings' one check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/vn_error.h"
#include "generation/processor.h"
#include "generation/records.h"
#include "generation/sampling_params.h"

namespace vorn {
namespace {

TEST(GenerationRecords, RequestDefaultsAndResultFree) {
  GenerationRequest r = generation_request_default();
  EXPECT_EQ(r.max_new_tokens, 64u);
  EXPECT_EQ(r.image_longest_edge, 512u);
  EXPECT_EQ(r.stops, nullptr);
  EXPECT_EQ(r.stop_count, 0u);
  EXPECT_EQ(r.mask_callback, nullptr);
  EXPECT_EQ(r.crop, 0u);
  EXPECT_EQ(r.json_schema, nullptr);
  EXPECT_EQ(r.amount_decimals, 0u);
  EXPECT_EQ(r.sampling.top_p, 1.0);
  EXPECT_EQ(r.sampling.repetition_penalty, 1.0);

  GenerationResult result{};
  generation_result_free(&result);  // zeroed: nothing to free
  result.answer = static_cast<char*>(std::calloc(4, 1));
  result.token_ids = static_cast<int64_t*>(std::calloc(1, 8));
  result.token_log_probabilities = static_cast<double*>(std::calloc(1, 8));
  result.generated_tokens = 1;
  generation_result_free(&result);
  EXPECT_EQ(result.answer, nullptr);
  EXPECT_EQ(result.generated_tokens, 0u);
  generation_result_free(&result);  // twice: finds null pointers
  generation_result_free(nullptr);
}

TEST(GenerationRecords, ChatTemplateIsTheFamilysOwn) {
  EXPECT_EQ(kSupportedChatTemplate.size(), 403u);
  EXPECT_EQ(kSupportedChatTemplate.substr(0, 41), "<|im_start|>{% for message in messages %}");
}

TEST(SamplingParams, ValidityTable) {
  const double nan = std::nan("");
  struct Case {
    SamplingParams p;
    int valid;
  };
  const SamplingParams d = sampling_params_default();
  auto with = [&](auto f) {
    SamplingParams p = d;
    f(p);
    return p;
  };
  const Case cases[] = {
      {d, 1},
      {with([](SamplingParams& p) { p.top_p = 1.0; p.min_p = 1.0; }), 1},
      {with([](SamplingParams& p) { p.temperature = -0.0; }), 1},
      {with([](SamplingParams& p) { p.top_p = 0.0; }), 0},
      {with([](SamplingParams& p) { p.top_p = 1.0000001; }), 0},
      {with([](SamplingParams& p) { p.temperature = -0.1; }), 0},
      {with([](SamplingParams& p) { p.temperature = INFINITY; }), 0},
      {with([](SamplingParams& p) { p.repetition_penalty = 0.0; }), 0},
      {with([&](SamplingParams& p) { p.temperature = nan; }), 0},
      {with([&](SamplingParams& p) { p.top_p = nan; }), 0},
      {with([&](SamplingParams& p) { p.min_p = nan; }), 0},
      {with([&](SamplingParams& p) { p.repetition_penalty = nan; }), 0},
      {with([](SamplingParams& p) { p.min_p = -0.5; }), 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(sampling_params_valid(&cases[i].p), cases[i].valid) << i;
  EXPECT_EQ(sampling_params_valid(nullptr), 0);
}

TEST(SamplingParams, FromDictionary) {
  using nlohmann::json;
  SamplingParams p = sampling_params_from_dictionary(json{{"temperature", 0.7}, {"top_k", 40}, {"seed", 18446744073709551615ull},
                                                          {"top_p", "0.9"}, {"min_p", nullptr}, {"ignored", "x"}});
  EXPECT_EQ(p.temperature, 0.7);
  EXPECT_EQ(p.top_k, 40u);
  EXPECT_EQ(p.seed, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(p.top_p, 0.9);
  EXPECT_EQ(p.min_p, 0.0);
  EXPECT_EQ(p.repetition_window, 0u);
  // Out of range, or a value a field would wrap: refused, not reinterpreted.
  for (const json& bad : {json{{"top_p", 0}}, json{{"temperature", -1}}, json{{"top_k", -1}},
                          json{{"top_k", 4294967297ull}}, json{{"repetition_window", 2.5}}, json{{"seed", -3}},
                          json{{"temperature", "warm"}}, json{{"top_k", json::array()}}}) {
    try {
      sampling_params_from_dictionary(bad);
      ADD_FAILURE() << bad.dump();
    } catch (const VNError& e) {
      EXPECT_STREQ(e.category(), vn_category::kFrontend);
      EXPECT_STREQ(e.reason(), "Invalid sampling parameters");
    }
  }
}

}  // namespace
}  // namespace vorn
