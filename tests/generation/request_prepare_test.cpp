// Request preparation through the processor's prepare: against expectations
// made without the C++ code (make_prepare_refs.py: the chat template rendered
// by jinja2, the reference tokenizer's ids, tensors from numpy and Pillow),
// then the refusals, each with its category and text.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "base/vn_error.h"
#include "generation/documents_fixture.h"
#include "generation/request_prepare.h"
#include "generation/vn_processor.h"

namespace vorn {
namespace {

using json = nlohmann::json;

std::vector<uint8_t> bytes_of(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string repo(const std::string& relative) { return std::string(VORN_SOURCE_DIR) + "/" + relative; }

// Relative image paths made absolute; "data_file" parts carry the file's bytes.
json resolve_paths(json request) {
  if (request.contains("image")) request["image"] = repo(request["image"]);
  if (request.contains("messages"))
    for (json& m : request["messages"])
      for (json& p : m["content"]) {
        if (p.contains("path")) p["path"] = repo(p["path"]);
        if (p.contains("data_file")) {
          p["data"] = json::binary(bytes_of(repo(p["data_file"])));
          p.erase("data_file");
        }
      }
  return request;
}

const VNProcessor& processor() {
  static const VNProcessor p(test::family_documents());
  return p;
}

std::string crc_of(const json::binary_t& data) {
  char s[16];
  std::snprintf(s, sizeof s, "%08x", static_cast<unsigned>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  return s;
}

TEST(RequestPrepare, EqualsIndependentReference) {
  const json expected = json::parse(bytes_of(std::string(VORN_TEST_DATA) + "/generation/prepare_expected.json"));
  ASSERT_EQ(expected["cases"].size(), 6u);
  for (const json& c : expected["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const json out = processor().prepare(resolve_paths(c["request"]));
    EXPECT_EQ(out["rendered_prompt"], c["rendered_prompt"]);
    EXPECT_EQ(out["prompt_token_ids"], c["prompt_token_ids"]);
    EXPECT_EQ(out["image_views"], c["image_views"]);
    ASSERT_EQ(out["inputs"].size(), c["inputs"].size());
    for (const auto& [name, want] : c["inputs"].items()) {
      const json& got = out["inputs"].at(name);
      EXPECT_EQ(got["shape"], want["shape"]) << name;
      EXPECT_EQ(got["dtype"], want["dtype"]) << name;
      EXPECT_EQ(crc_of(got["data"].get_binary()), want["crc"]) << name;
    }
    EXPECT_TRUE(out["stages_ms"].contains("tensor_prepare_ms"));
  }
}

TEST(RequestPrepare, CountOnlyAndEmptyImages) {
  json request = {{"prompt", "Hi"}, {"max_new_tokens", 2048}, {"count_only", true}};
  json out = processor().prepare(request);  // the budget of step 8 is not checked when counting
  EXPECT_TRUE(out["inputs"].empty());
  EXPECT_FALSE(out["stages_ms"].contains("tensor_prepare_ms"));
  EXPECT_EQ(out["rendered_prompt"], "<|im_start|>User: Hi<end_of_utterance>\nAssistant:");
  request.erase("count_only");
  request["max_new_tokens"] = 8;
  out = processor().prepare(request);
  EXPECT_EQ(out["inputs"]["pixel_values"]["shape"], json({0, 3, 512, 512}));
  EXPECT_TRUE(out["inputs"]["pixel_values"]["data"].get_binary().empty());
  EXPECT_EQ(out["inputs"]["text_attention_mask"]["dtype"], 2);  // no "activation": F32
}

struct Refusal {
  const char* what;
  json request;
  const char* category;
  const char* reason;  // a prefix of the reason
};

json user(json content) { return json::array({json{{"role", "user"}, {"content", std::move(content)}}}); }
json text(const std::string& t) { return {{"type", "text"}, {"text", t}}; }

TEST(RequestPrepare, Refusals) {
  const std::string jpeg = std::string(VORN_TEST_DATA) + "/images/jpeg_baseline_420.jpg";
  std::vector<uint8_t> half_jpeg = bytes_of(jpeg);
  half_jpeg.resize(half_jpeg.size() / 2);
  const char* F = vn_category::kFrontend;
  const char* I = vn_category::kImage;
  const Refusal cases[] = {
      {"no output budget", {{"prompt", "x"}}, F, "Invalid context/output budget"},
      {"context above 8192", {{"prompt", "x"}, {"max_new_tokens", 1}, {"context_length", 8193}}, F,
       "Invalid context/output budget"},
      {"output above context", {{"prompt", "x"}, {"max_new_tokens", 11}, {"context_length", 10}}, F,
       "Invalid context/output budget"},
      {"output equal to context", {{"prompt", "x"}, {"max_new_tokens", 10}, {"context_length", 10}}, F,
       "Prompt plus output exceeds context budget"},
      {"unknown detail", {{"prompt", "x"}, {"max_new_tokens", 1}, {"image_detail", "huge"}}, F,
       "Invalid image detail/edge"},
      {"single at 1024", {{"prompt", "x"}, {"max_new_tokens", 1}, {"image_longest_edge", 1024}}, F,
       "Invalid image detail/edge"},
      {"tiled at 2049",
       {{"prompt", "x"}, {"max_new_tokens", 1}, {"image_detail", "tiled"}, {"image_longest_edge", 2049}}, F,
       "Invalid image detail/edge"},
      {"messages not an array", {{"messages", "hi"}, {"max_new_tokens", 1}}, F, "Invalid messages"},
      {"no messages", {{"messages", json::array()}, {"max_new_tokens", 1}}, F, "Invalid messages"},
      {"content not an array", {{"messages", json::array({{{"role", "user"}, {"content", "x"}}})}, {"max_new_tokens", 1}},
       F, "Invalid message"},
      {"part not a dictionary", {{"messages", user({1})}, {"max_new_tokens", 1}}, F, "Invalid content"},
      {"image data not bytes", {{"messages", user({{{"type", "image"}, {"data", "abc"}}})}, {"max_new_tokens", 1}}, F,
       "Invalid image data"},
      {"robot role", {{"messages", json::array({{{"role", "robot"}, {"content", {text("x")}}}})}, {"max_new_tokens", 1}},
       F, "Invalid message role"},
      {"empty content", {{"messages", user(json::array())}, {"max_new_tokens", 1}}, F, "Invalid message content"},
      {"audio part", {{"messages", user({{{"type", "audio"}}})}, {"max_new_tokens", 1}}, F, "Invalid content type"},
      {"image token in text", {{"prompt", "a <image> b"}, {"max_new_tokens", 1}}, F, "Invalid prompt/image marker"},
      {"text over 64 KiB", {{"messages", user({text(std::string(40000, 'a')), text(std::string(25537, 'b'))})},
                            {"max_new_tokens", 1}}, F, "Invalid prompt/image marker"},
      {"no role", {{"messages", json::array({{{"content", {text("x")}}}})}, {"max_new_tokens", 1}}, F,
       "[json.exception.out_of_range"},
      {"missing file", {{"prompt", "x"}, {"image", "/no/such/image.png"}, {"max_new_tokens", 1}}, I,
       "Cannot read image"},
      {"truncated JPEG", {{"image_data", json::binary(half_jpeg)}, {"max_new_tokens", 1}}, I, ""},
      {"not an image", {{"image_data", json::binary({1, 2, 3, 4, 5, 6, 7, 8, 9})}, {"max_new_tokens", 1}}, I,
       "Supported image formats"},
      {"pixels too short",
       {{"image_pixels", {{"data", json::binary({1, 2, 3})}, {"width", 4}, {"height", 4}, {"stride", 12},
                          {"format", 1}, {"orientation", 1}}},
        {"max_new_tokens", 1}},
       I, ""},
      {"images over budget", {{"image", jpeg}, {"max_new_tokens", 1}, {"context_length", 65}}, F,
       "Images exceed context budget"},
  };
  for (const Refusal& c : cases) {
    try {
      processor().prepare(c.request);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const VNError& e) {
      EXPECT_STREQ(e.category(), c.category) << c.what;
      EXPECT_EQ(std::string(e.reason()).rfind(c.reason, 0), 0u) << c.what << ": " << e.reason();
      if (std::string(c.what) == "truncated JPEG") {
        EXPECT_NE(std::string(e.reason()).find("JPEG"), std::string::npos) << e.reason();
      }
    }
  }
}

// Configurations that break one key the preparation reads.
TEST(RequestPrepare, ConfigurationRefusals) {
  const std::string image = std::string(VORN_TEST_DATA) + "/images/png_rgb8.png";
  const struct {
    const char* pointer;
    json value;
    const char* reason;
  } cases[] = {
      {"/config.json/image_token_id", 50259, "Image token count"},
      {"/config.json/vision_config/patch_size", 0, "Patch size"},
      {"/config.json/vision_config/patch_size", 24, "Patch size"},
      {"/config.json/text_config/num_hidden_layers", 0, "Layer count"},
      {"/config.json/text_config/num_hidden_layers", 129, "Layer count"},
      {"/config.json/image_token_id", "x", "Invalid configuration value: image_token_id"},
      {"/config.json/text_config/head_dim", -1, "Invalid configuration value: head_dim"},
      {"/tokenizer_config.json/global_image_token", nullptr, "Invalid configuration value: global_image_token"},
  };
  for (const auto& c : cases) {
    json docs = test::family_documents();
    docs[json::json_pointer(c.pointer)] = c.value;
    const VNProcessor p(docs);
    try {
      p.prepare({{"prompt", "x"}, {"image", image}, {"max_new_tokens", 4}});
      ADD_FAILURE() << c.pointer << ": accepted";
    } catch (const VNError& e) {
      EXPECT_STREQ(e.reason(), c.reason) << c.pointer;
    }
  }
}

}  // namespace
}  // namespace vorn
