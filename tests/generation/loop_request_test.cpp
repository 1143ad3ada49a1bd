// The generation loop's request as it is read from the dictionary, before
// any graph: the fields a well-formed request gives, and the refusal each
// malformed one meets first.
#include "generation/loop_request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "base/vn_error.h"
#include "container/records.h"

namespace vorn {
namespace {

using json = nlohmann::json;

json input(const std::vector<uint64_t>& shape, uint64_t dtype, const void* bytes, size_t length) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  return {{"shape", shape}, {"dtype", dtype}, {"data", json::binary(std::vector<uint8_t>(p, p + length))}};
}

// A three-token prompt with an explicit mask and one image's pixels.
json request() {
  const int64_t ids[3] = {7, 8, 9};
  const float mask[9] = {}, pixels[4] = {0.5f, -1, 2, 0};
  return {{"inputs",
           {{"input_ids", input({1, 3}, kElemI64, ids, sizeof ids)},
            {"text_attention_mask", input({1, 1, 3, 3}, kElemF32, mask, sizeof mask)},
            {"pixel_values", input({1, 1, 2, 2}, kElemF32, pixels, sizeof pixels)}}},
          {"max_new_tokens", 4},
          {"stop", {"</s>"}},
          {"eos_token_ids", {2, "x", 3}},
          {"forced_tokens", {5}},
          {"temperature", 0.5}};
}

TEST(LoopRequest, ReadsEveryKeyOnce) {
  json dict = request();
  const LoopRequest r = read_loop_request(dict, kLoopInMemory, nullptr);
  EXPECT_EQ(r.promptIds, (std::vector<int64_t>{7, 8, 9}));
  EXPECT_EQ(r.maxNewTokens, 4u);
  EXPECT_EQ(r.stops, std::vector<std::string>{"</s>"});
  EXPECT_EQ(r.eosTokenIds, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(r.forcedTokens, std::vector<int64_t>{5});
  EXPECT_EQ(r.sampling.temperature, 0.5);
  EXPECT_EQ(r.name, "prompt");
  // The pixels move out of the dictionary and stay with the request.
  ASSERT_NE(r.pixels, nullptr);
  EXPECT_EQ(r.pixels->size(), 16u);
  EXPECT_EQ(r.input(kPixelValues)->bytes, r.pixels->data());
  EXPECT_TRUE(dict["inputs"]["pixel_values"]["data"].get_binary().empty());
  EXPECT_EQ(r.input(kTextMask)->count, 9u);
}

TEST(LoopRequest, RefusesWithTheFirstFailingCheck) {
  struct Case {
    const char* reason;
    std::function<void(json&)> spoil;
  };
  const Case cases[] = {
      {"Input data length: no \"inputs\" object", [](json& d) { d.erase("inputs"); }},
      {"Input data length: input_ids has no shape", [](json& d) { d["inputs"]["input_ids"].erase("shape"); }},
      {"Invalid dimension",
       [](json& d) {
         d["inputs"]["input_ids"]["shape"] = {1, -3};
       }},
      {"Tensor dtype", [](json& d) { d["inputs"]["input_ids"]["dtype"] = 4; }},
      {"Input data length: input_ids has no data", [](json& d) { d["inputs"]["input_ids"].erase("data"); }},
      {"Input data length: input_ids holds 24 bytes where its shape and dtype need 16",
       [](json& d) {
         d["inputs"]["input_ids"]["shape"] = {1, 2};
       }},
      // An input's refusal comes before the budget's.
      {"Input data length: text_attention_mask has no data",
       [](json& d) {
         d["inputs"]["text_attention_mask"].erase("data");
         d["max_new_tokens"] = 0;
       }},
      {"max_new_tokens must be 1..8192", [](json& d) { d["max_new_tokens"] = 8193; }},
      {"Prompt plus output exceeds context budget", [](json& d) { d["context_length"] = 5; }},
      {"Prompt plus output exceeds context budget", [](json& d) { d["inputs"].erase("input_ids"); }},
      {"Initial attention mask", [](json& d) { d["inputs"]["text_attention_mask"] = input({1}, kElemF32, "abcd", 4); }},
      {"Forced token out of range", [](json& d) { d["forced_tokens"] = {1.5}; }},
      {"Invalid sampling parameters", [](json& d) { d["top_p"] = 0; }},
      {"Invalid stop sequence",
       [](json& d) {
         d["stop"] = {"a", ""};
       }},
  };
  for (const Case& c : cases) {
    json dict = request();
    c.spoil(dict);
    try {
      read_loop_request(dict, kLoopInMemory, nullptr);
      ADD_FAILURE() << c.reason << ": read";
    } catch (const VNError& e) {
      EXPECT_EQ(std::string(e.reason()), c.reason);
    }
  }
}

}  // namespace
}  // namespace vorn
