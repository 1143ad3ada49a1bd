// The generation records' defaults and release, the sampling settings' one
// check and dictionary reader, host tensors and the JSON portability check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/vn_error.h"
#include "generation/host_tensor.h"
#include "generation/json_values.h"
#include "generation/records.h"
#include "generation/sampling_params.h"

namespace vorn {
namespace {

using nlohmann::json;

TEST(GenerationRecords, RequestDefaultsAndResultFree) {
  GenerationRequest r = generation_request_default();
  EXPECT_EQ(r.max_new_tokens, 64u);
  EXPECT_EQ(r.image_longest_edge, 512u);
  EXPECT_TRUE(r.stops == nullptr && r.mask_callback == nullptr && r.json_schema == nullptr);
  EXPECT_EQ(r.stop_count + r.crop + r.amount_decimals, 0u);
  EXPECT_EQ(sampling_params_valid(&r.sampling), 1);

  GenerationResult result{};
  generation_result_free(&result);  // zeroed: nothing to free
  result.answer = static_cast<char*>(std::calloc(4, 1));
  result.token_ids = static_cast<int64_t*>(std::calloc(1, 8));
  result.generated_tokens = 1;
  generation_result_free(&result);
  EXPECT_TRUE(result.answer == nullptr && result.token_ids == nullptr && result.generated_tokens == 0);
  generation_result_free(&result);  // twice: finds null pointers
  generation_result_free(nullptr);
}

TEST(SamplingParams, Validity) {
  const double nan = std::nan(""), inf = INFINITY;
  // {temperature, top_p, min_p, repetition_penalty} and the answer.
  const std::pair<std::array<double, 4>, int> cases[] = {
      {{0, 1, 0, 1}, 1},   {{-0.0, 1, 1, 1}, 1}, {{0.5, 0.01, 0.5, 3}, 1}, {{0, 0, 0, 1}, 0},
      {{0, 1.0000001, 0, 1}, 0}, {{-0.1, 1, 0, 1}, 0}, {{inf, 1, 0, 1}, 0}, {{0, 1, 0, 0}, 0},
      {{0, 1, -0.5, 1}, 0}, {{nan, 1, 0, 1}, 0}, {{0, nan, 0, 1}, 0}, {{0, 1, nan, 1}, 0}, {{0, 1, 0, nan}, 0},
  };
  for (const auto& [v, valid] : cases) {
    SamplingParams p{v[0], v[1], v[2], v[3], 0, 0, 0};
    EXPECT_EQ(sampling_params_valid(&p), valid) << v[0] << " " << v[1] << " " << v[2] << " " << v[3];
  }
  EXPECT_EQ(sampling_params_valid(nullptr), 0);
}

TEST(SamplingParams, FromDictionary) {
  SamplingParams p = sampling_params_from_dictionary(json{{"temperature", 0.7}, {"top_k", 40}, {"seed", 18446744073709551615ull},
                                                          {"top_p", "0.9"}, {"min_p", nullptr}, {"ignored", "x"}});
  EXPECT_EQ(p.temperature, 0.7);
  EXPECT_EQ(p.top_k, 40u);
  EXPECT_EQ(p.seed, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(p.top_p, 0.9);
  EXPECT_EQ(p.min_p, 0.0);
  // What the writer gives, the reader takes back.
  const SamplingParams q{0.25, 0.5, 0.125, 1.5, 7, 9, 1ull << 60};
  json written;
  sampling_params_to_dictionary(q, written);
  const SamplingParams back = sampling_params_from_dictionary(written);
  EXPECT_TRUE(back.temperature == q.temperature && back.top_p == q.top_p && back.min_p == q.min_p &&
              back.repetition_penalty == q.repetition_penalty && back.top_k == q.top_k &&
              back.repetition_window == q.repetition_window && back.seed == q.seed)
      << written.dump();
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
  EXPECT_EQ(error_of({0, 1073741825}, 2), "Tensor too large");
  EXPECT_EQ(error_of({1, 2, 3, 4, 5, 6, 7}, 9), "Tensor rank > 6");  // the shape is reported first
  EXPECT_EQ(error_of({2}, 4), "Only FP16 activations and int64 indices supported");
  EXPECT_TRUE(host_tensor_new({1, 1, 0, 0}, 1).data.empty());
  EXPECT_EQ(host_tensor_new({}, 3).data.size(), 8u);
  EXPECT_EQ(host_tensor_new({2, 3}, 2).data, std::vector<uint8_t>(24, 0));

  HostTensorMap map;
  HostTensor& first = add_host_tensor(map, 1, "b", {4}, 0);  // 0: the request's float kind
  EXPECT_EQ(first.dtype, 1u);
  first.data[0] = 7;
  HostTensor& again = add_host_tensor(map, 2, "b", {9}, 3);  // kept as it was
  EXPECT_TRUE(&again == &first && again.shape == std::vector<uint32_t>{4} && again.data[0] == 7);
  add_host_tensor(map, 2, "a", {1}, 0);
  EXPECT_THROW(add_host_tensor(map, 2, "c", {1}, 5), std::runtime_error);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.begin()->second.dtype, 2u);
}

TEST(JsonValues, Portability) {
  EXPECT_EQ(dictionary_to_json(json{{"a", {1, "b\xC3\xA9"}}}), (json{{"a", {1, "b\xC3\xA9"}}}));
  for (const json& bad : {json{{"a", "\xFF"}}, json{{"a", {NAN}}}, json{{"\xC3", 1}}, json::binary({1, 2})}) {
    EXPECT_THROW(dictionary_to_json(bad), VNError);
    EXPECT_FALSE(json_to_object(bad).has_value());
  }
  EXPECT_TRUE(json_nesting_within("[[{\"[[[\": 1}]]", 3));
  EXPECT_FALSE(json_nesting_within("[[{\"a\": [1]}]]", 3));
}

}  // namespace
}  // namespace vorn
