// Defaults of the generation records and the sampling settings' one check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/vn_error.h"
#include "generation/frontend_options.h"
#include "generation/host_tensor.h"
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

TEST(HostTensor, LimitsAndInsertion) {
  auto error_of = [](std::vector<uint32_t> shape, uint32_t kind) -> std::string {
    try {
      host_tensor_new(shape, kind);
      return "";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  };
  EXPECT_EQ(error_of({32768, 32768}, 1), "");
  EXPECT_EQ(error_of({32768, 32769}, 1), "Tensor too large");
  EXPECT_EQ(error_of({1073741825}, 2), "Tensor too large");
  EXPECT_EQ(error_of({0, 1073741825}, 2), "Tensor too large");
  EXPECT_EQ(error_of({1, 2, 3, 4, 5, 6, 7}, 9), "Tensor rank > 6");  // the shape is reported first
  EXPECT_EQ(error_of({2}, 4), "Only FP16 activations and int64 indices supported");
  EXPECT_EQ(error_of({2}, 0), "Only FP16 activations and int64 indices supported");
  EXPECT_TRUE(host_tensor_new({1, 1, 0, 0}, 1).data.empty());
  EXPECT_EQ(host_tensor_new({}, 3).data.size(), 8u);
  HostTensor t = host_tensor_new({2, 3}, 2);
  EXPECT_EQ(t.data, std::vector<uint8_t>(24, 0));

  HostTensorMap map;
  HostTensor& first = add_host_tensor(map, 1, "b", {4}, 0);  // 0: the request's float kind
  EXPECT_EQ(first.dtype, 1u);
  first.data[0] = 7;
  HostTensor& again = add_host_tensor(map, 2, "b", {9}, 3);
  EXPECT_EQ(&again, &first);
  EXPECT_EQ(again.shape, std::vector<uint32_t>{4});
  EXPECT_EQ(again.data[0], 7);
  add_host_tensor(map, 2, "a", {1}, 0);
  EXPECT_THROW(add_host_tensor(map, 2, "c", {1}, 5), std::runtime_error);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.begin()->first, "a");
  EXPECT_EQ(map.begin()->second.dtype, 2u);
}

TEST(FrontendOptions, Defaults) {
  alignas(FrontendOptions) unsigned char storage[sizeof(FrontendOptions)];
  frontend_options_init(storage);
  auto* o = reinterpret_cast<FrontendOptions*>(storage);
  EXPECT_EQ(o->command, "chat");
  EXPECT_EQ(o->image_detail, "single");
  EXPECT_EQ(o->image_longest_edge, 512u);
  EXPECT_EQ(o->max_new_tokens, 64u);
  EXPECT_EQ(o->context_length, 2048u);
  EXPECT_TRUE(o->messages.is_null());
  EXPECT_EQ(o->activation, 1u);
  EXPECT_EQ(o->backend, "vulkan");
  EXPECT_EQ(o->qnn_library, "libQnnHtp.so");
  EXPECT_EQ(o->qnn_performance, "default");
  EXPECT_EQ(o->qnn_precision, "fp16");
  EXPECT_EQ(o->sampling.top_p, 1.0);
  o->stop.push_back("END");
  frontend_options_destroy(o);
}

}  // namespace
}  // namespace vorn
