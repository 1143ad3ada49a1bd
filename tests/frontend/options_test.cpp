// Both option parsers through their interfaces: every accepted form, each
// refusal with its text, the rules between options, messages files and
// numbers at and past their limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/vn_error.h"
#include "frontend/chat_options.h"
#include "frontend/vulkan_options.h"
#include "frontend_fixture.h"

namespace vorn {
namespace {

using json = nlohmann::json;
using test::Argv;

// Messages files named by "@<name>" in the tables below.
const test::ScratchDir& files() {
  static const test::ScratchDir dir = [] {
    test::ScratchDir d;
    test::write_text(d / "valid", R"([{"role": "user", "content": [{"type": "text", "text": "hi"}]}])");
    test::write_text(d / "object", R"({"role": "user"})");
    test::write_text(d / "malformed", R"([{"role": "user", )");
    test::write_text(d / "trailing", R"([] [])");
    // Deep enough to overflow a thread's stack if it were copied level by level.
    test::write_text(d / "deep", std::string(100000, '[') + std::string(100000, ']'));
    test::write_text(d / "latin1", "[{\"role\": \"user\", \"content\": [{\"type\": \"text\", \"text\": \"caf\xe9\"}]}]");
    return d;
  }();
  return dir;
}

std::vector<std::string> with_files(std::vector<std::string> args) {
  for (std::string& a : args)
    if (a.starts_with("@")) a = files() / a.substr(1);
  return args;
}

// The reason of the parser's refusal, "" when it accepts.
std::string chat_error(const std::vector<std::string>& args, json* out = nullptr) {
  std::vector<std::string> full{"chat"};
  for (const std::string& a : with_files(args)) full.push_back(a);
  const Argv argv("vorn-chat", full);
  try {
    json options = parse_cli_options_or_throw(argv.argc(), argv.argv());
    if (out) *out = std::move(options);
    return "";
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), vn_category::kFrontend);
    return e.reason();
  }
}

std::string vulkan_error(const std::vector<std::string>& args, FrontendOptions* out = nullptr) {
  const Argv argv("vorn-vulkan", with_files(args));
  try {
    FrontendOptions options = parse_command_line(argv.argc(), argv.argv());
    if (out) *out = std::move(options);
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

struct Case {
  std::vector<std::string> args;
  std::string error;  // "" accepted
};

TEST(ChatOptions, RulesAndRefusals) {
  const std::string image = "--image";
  const Case cases[] = {
      {{}, "Exactly one of --prompt or --messages is required"},
      {{"--prompt", "a", "--messages", "@valid"}, "Exactly one of --prompt or --messages is required"},
      {{"--prompt", "hi", "--prompt", "there"}, "Duplicate CLI option"},
      {{"--model", "m", "--model", "m", "--prompt", "p"}, "Duplicate CLI option"},
      {{"--prompt", "hi", "--stop", ""}, "Empty stop sequence"},
      {{"--prompt", "hi", "--model"}, "Unknown/incomplete option: --model"},
      {{"--prompt", "hi", "--bogus", "1"}, "Unknown/incomplete option: --bogus"},
      {{"--prompt", "--stream", "--stream", "--stream", "--answer-only"}, ""},  // a value may begin with "--"
      {{"--prompt", "hi", "--image-detail", "huge"}, "--image-detail must be single or tiled"},
      {{"--prompt", "hi", "--activation", "int8"}, "--activation must be fp16 or fp32"},
      {{"--prompt", "hi", "--backend", "vulkan"}, "--backend must be auto, metal, mps or mpsgraph"},
      {{"--prompt", "hi", "--backend", "mpsgraph", "--activation", "fp16"}, ""},
      // Integers: digits only, 32 bits but for the seed, 64 bits at most.
      {{"--prompt", "hi", "--max-new-tokens", "0"}, "--max-new-tokens must be 1..8192"},
      {{"--prompt", "hi", "--max-new-tokens", "8193"}, "--max-new-tokens must be 1..8192"},
      {{"--prompt", "hi", "--max-new-tokens", "8192"}, ""},
      {{"--prompt", "hi", "--max-new-tokens", "+5"}, "Invalid integer option"},
      {{"--prompt", "hi", "--max-new-tokens", " 5"}, "Invalid integer option"},
      {{"--prompt", "hi", "--max-new-tokens", "0x10"}, "Invalid integer option"},
      {{"--prompt", "hi", "--max-new-tokens", ""}, "Invalid integer option"},
      {{"--prompt", "hi", "--top-k", "4294967295"}, ""},
      {{"--prompt", "hi", "--top-k", "4294967296"}, "Integer option too large"},
      {{"--prompt", "hi", "--repetition-window", "99999999999999999999999"}, "Integer option too large"},
      {{"--prompt", "hi", "--seed", "18446744073709551615"}, ""},
      {{"--prompt", "hi", "--seed", "18446744073709551616"}, "Integer option too large"},
      {{"--prompt", "hi", "--context-length", "0"}, "--context-length must be 1..8192"},
      {{"--prompt", "hi", "--context-length", "8193"}, "--context-length must be 1..8192"},
      // Sampling numbers: one finite decimal, white space around allowed.
      {{"--prompt", "hi", "--temperature", " 0.5 "}, ""},
      {{"--prompt", "hi", "--temperature", ".5", "--top-p", "1.", "--min-p", "1e-400"}, ""},
      {{"--prompt", "hi", "--temperature", "inf"}, "Invalid sampling number"},
      {{"--prompt", "hi", "--temperature", "nan"}, "Invalid sampling number"},
      {{"--prompt", "hi", "--temperature", "0x1p3"}, "Invalid sampling number"},
      {{"--prompt", "hi", "--temperature", "0.5x"}, "Invalid sampling number"},
      {{"--prompt", "hi", "--temperature", "1e400"}, "Invalid sampling number"},
      {{"--prompt", "hi", "--repetition-penalty", ""}, "Invalid sampling number"},
      {{"--prompt", "hi", "--temperature", "-1"}, "Invalid sampling parameters"},
      {{"--prompt", "hi", "--top-p", "0"}, "Invalid sampling parameters"},
      {{"--prompt", "hi", "--min-p", "1.5"}, "Invalid sampling parameters"},
      // Image settings need an image (or messages, which carry their own).
      {{"--prompt", "hi", "--image-detail", "tiled"}, "Image detail settings require --image"},
      {{"--prompt", "hi", "--image-longest-edge", "512"}, "Image detail settings require --image"},
      {{"--prompt", "hi", "--image-crop", "0,0,1,1"}, "Image detail settings require --image"},
      {{"--messages", "@valid", "--image-detail", "tiled", "--image-longest-edge", "1024"}, ""},
      {{"--prompt", "hi", image, "x.png", "--image-longest-edge", "1024"}, "Invalid image longest edge"},
      {{"--prompt", "hi", image, "x.png", "--image-detail", "tiled", "--image-longest-edge", "2049"},
       "Invalid image longest edge"},
      {{"--prompt", "hi", image, "x.png", "--image-detail", "tiled", "--image-longest-edge", "511"},
       "Invalid image longest edge"},
      {{"--prompt", "hi", image, "x.png", "--image-detail", "tiled", "--image-longest-edge", "2048"}, ""},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0,0,1,1"}, ""},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0.5,0,0.5,1"}, "Crop bounds"},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0,0,1,1.5"}, "Crop bounds"},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0,0,1"}, "Crop requires four normalized coordinates"},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0,0,1,1,"}, "Crop requires four normalized coordinates"},
      {{"--prompt", "hi", image, "x.png", "--image-crop", "0,0,1,x"}, "Invalid crop coordinate"},
      // Messages files.
      {{"--messages", "@valid"}, ""},
      {{"--messages", "@missing"}, "Cannot read messages JSON"},
      {{"--messages", "/"}, "Cannot read messages JSON"},
      {{"--messages", "@object"}, "Messages must be a JSON array"},
      {{"--messages", "@malformed"}, "Messages must be a JSON array"},
      {{"--messages", "@trailing"}, "Messages must be a JSON array"},
      {{"--messages", "@latin1"}, "Messages must be a JSON array"},
      {{"--messages", "@valid", image, "x.png"}, "Use image items with --messages"},
      {{"--messages", "@deep"}, "Messages JSON nests too deeply"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    EXPECT_EQ(chat_error(c.args), c.error) << joined;
  }
}

TEST(ChatOptions, Values) {
  json o;
  ASSERT_EQ(chat_error({"--prompt", "p", "--stop", "a", "--stop", "b", "--image", "i.jpg", "--image-detail", "tiled",
                        "--seed", "18446744073709551615", "--temperature", "0.25", "--image-crop", "0, 0.5 ,1,1",
                        "--stream", "--mps-prefill"},
                       &o),
            "");
  EXPECT_EQ(o["stop"], json({"a", "b"}));
  EXPECT_EQ(o["image_longest_edge"], 2048);
  EXPECT_EQ(o["max_new_tokens"], 64);  // the default, checked as a given value is
  EXPECT_EQ(o["seed"], json(UINT64_MAX));
  EXPECT_EQ(o["temperature"], 0.25);
  EXPECT_EQ(o["image_crop"], json({0.0, 0.5, 1.0, 1.0}));
  EXPECT_EQ(o["model"], kChatDefaultModel);
  EXPECT_EQ(o["activation"], "fp32");
  EXPECT_TRUE(o["prompt_set"] == true && o["image_detail_set"] == true && o["stream"] == true &&
              o["mps_prefill"] == true);
  EXPECT_FALSE(o.contains("stop_set"));
  // Every other option once.
  ASSERT_EQ(chat_error({"--prompt", "p", "--graph-attention", "--graph-linear", "--profile", "--mps-attention",
                        "--answer-only", "--backend", "metal", "--report", "r", "--output", "o", "--decode-ids", "1",
                        "--top-p", "0.9", "--min-p", "0.1", "--repetition-penalty", "1.5", "--repetition-window", "64",
                        "--context-length", "4096", "--top-k", "5", "--max-new-tokens", "7", "--model", "m"},
                       &o),
            "");
  EXPECT_EQ(o, json::parse(R"({"prompt": "p", "graph_attention": true, "graph_linear": true, "profile": true,
      "mps_attention": true, "backend": "metal", "report": "r", "output": "o", "decode_ids": "1", "top_p": 0.9,
      "min_p": 0.1, "repetition_penalty": 1.5, "repetition_window": 64, "context_length": 4096, "top_k": 5,
      "max_new_tokens": 7, "model": "m", "activation": "fp32", "image_detail": "single", "image_longest_edge": 512,
      "prompt_set": true, "backend_set": true, "report_set": true, "output_set": true, "decode_ids_set": true,
      "top_p_set": true, "min_p_set": true, "repetition_penalty_set": true, "repetition_window_set": true,
      "context_length_set": true, "top_k_set": true, "max_new_tokens_set": true, "model_set": true})"));
  ASSERT_EQ(chat_error({"--messages", "@valid"}, &o), "");
  EXPECT_EQ(o["messages"][0]["content"][0]["text"], "hi");
  EXPECT_EQ(o["image_longest_edge"], 512);
}

TEST(VulkanOptions, RulesAndRefusals) {
  const Case cases[] = {
      {{}, kVulkanUsage},
      {{"talk"}, "Unknown command"},
      {{"info"}, ""},
      {{"selftest", "--activation", "int8", "--int8-scope", "vision"}, ""},
      {{"chat", "--stream", "--stream"}, "Duplicate option --stream"},
      {{"chat", "--profile-ops", "--profile-ops"}, "Duplicate option --profile-ops"},
      {{"info", "--bogus", "x"}, "Unknown option --bogus"},
      {{"info", "--verbose"}, "Unknown option --verbose"},
      {{"info", "--model"}, "Missing option value"},
      {{"info", "--stop", ""}, "Empty stop sequence"},
      {{"info", "--backend", "metal"}, "Only Vulkan backend supported in this build"},
      {{"info", "--backend", "vulkan"}, ""},
      {{"info", "--activation", "fp32"}, "--activation must be fp16 or int8"},
      {{"info", "--int8-scope", "npu", "--activation", "int8"}, "--int8-scope must be prefill or vision"},
      {{"info", "--int8-scope", "vision"}, "--int8-scope requires --activation int8"},
      // Sampling.
      {{"info", "--temperature", "1e999"}, "Invalid sampling number"},
      {{"info", "--temperature", "abc"}, "Invalid sampling number"},
      {{"info", "--temperature", " 1"}, "Invalid sampling number"},
      {{"info", "--temperature", "inf"}, "Invalid sampling number"},
      {{"info", "--top-p", "2"}, "Invalid sampling parameters"},
      {{"info", "--top-k", "4294967295"}, ""},
      {{"info", "--top-k", "4294967296"}, "Sampling integer too large"},
      {{"info", "--top-k", "-1"}, "Invalid sampling integer"},
      {{"info", "--seed", "4294967296"}, ""},
      {{"info", "--seed", "18446744073709551616"}, "Sampling integer too large"},
      // Budgets: digits, below 8193, and their rules for chat and prepare.
      {{"info", "--max-new-tokens", "8193"}, "Option too large"},
      {{"info", "--max-new-tokens", "99999999999999999999"}, "Option too large"},
      {{"info", "--context-length", "1x"}, "Invalid positive integer"},
      {{"chat", "--model", "m", "--prompt", "p", "--max-new-tokens", "0"}, "Invalid token budget"},
      {{"chat", "--model", "m", "--prompt", "p", "--max-new-tokens", "100", "--context-length", "64"},
       "Invalid token budget"},
      {{"chat", "--model", "m", "--prompt", "p", "--max-new-tokens", "8192", "--context-length", "8192"}, ""},
      {{"chat", "--model", "m"}, "--model and exactly one of --prompt or --messages required"},
      {{"chat", "--prompt", "p"}, "--model and exactly one of --prompt or --messages required"},
      {{"chat", "--model", "m", "--prompt", "p", "--messages", "@valid"},
       "--model and exactly one of --prompt or --messages required"},
      {{"chat", "--model", "m", "--prompt", "p", "--image-detail", "huge"}, "Image detail"},
      {{"chat", "--model", "m", "--prompt", "p", "--image", "i", "--image-longest-edge", "1024"}, "Image edge"},
      {{"chat", "--model", "m", "--prompt", "p", "--image", "i", "--image-detail", "tiled", "--image-longest-edge",
        "2049"},
       "Image edge"},
      {{"chat", "--model", "m", "--prompt", "p", "--image-detail", "tiled"}, "Image options require image"},
      {{"chat", "--model", "m", "--prompt", "p", "--image-longest-edge", "512"}, "Image options require image"},
      {{"chat", "--model", "m", "--messages", "@valid", "--image-detail", "tiled"}, ""},
      {{"chat", "--model", "m", "--prompt", "p", "--vision-calibration", "c"},
       "--vision-calibration requires a Vulkan FP16 image chat"},
      {{"chat", "--model", "m", "--prompt", "p", "--image", "i", "--vision-calibration", "c"}, ""},
      {{"prepare", "--model", "m", "--prompt", "p"}, "--output required"},
      {{"prepare", "--model", "m", "--prompt", "p", "--output", "o"}, ""},
      // Messages files.
      {{"info", "--messages", "@missing"}, "Cannot read messages JSON"},
      {{"info", "--messages", "@object"}, "Messages must be a JSON array"},
      {{"info", "--messages", "@deep"}, "Messages JSON nests too deeply"},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    EXPECT_EQ(vulkan_error(c.args), c.error) << joined;
  }
  // A malformed file fails with the JSON library's own message.
  for (const char* file : {"@malformed", "@latin1", "@trailing"})
    EXPECT_NE(vulkan_error({"info", "--messages", file}).find("parse error"), std::string::npos) << file;
}

TEST(VulkanOptions, Values) {
  FrontendOptions o;
  ASSERT_EQ(vulkan_error({"chat", "--model", "m", "--prompt", "p", "--stop", "a", "--stop", "b", "--image", "i",
                          "--image-detail", "tiled", "--seed", "18446744073709551615", "--top-k", "7",
                          "--profile-ops", "--stream"},
                         &o),
            "");
  EXPECT_EQ(o.stop, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(o.image_longest_edge, 2048u);
  EXPECT_EQ(o.sampling.seed, UINT64_MAX);
  EXPECT_EQ(o.sampling.top_k, 7u);
  EXPECT_TRUE(o.profile && o.profile_ops && o.stream);
  EXPECT_EQ(o.activation, uint32_t(kActivationF16));
  ASSERT_EQ(vulkan_error({"info", "--activation", "int8", "--int8-scope", "vision"}, &o), "");
  EXPECT_EQ(o.activation, uint32_t(kActivationInt8Vision));
  ASSERT_EQ(vulkan_error({"info", "--activation", "int8"}, &o), "");
  EXPECT_EQ(o.activation, uint32_t(kActivationInt8Prefill));
  // Every other option once.
  ASSERT_EQ(vulkan_error({"chat", "--model", "m", "--prompt", "p", "--image", "i", "--report", "r", "--output", "o",
                          "--vision-calibration", "c", "--backend", "vulkan", "--min-p", "0.1", "--top-p", "0.5",
                          "--temperature", "0.7", "--repetition-penalty", "1.5", "--repetition-window", "9",
                          "--max-new-tokens", "100", "--context-length", "4096", "--profile"},
                         &o),
            "");
  EXPECT_EQ(std::tie(o.image, o.report, o.output, o.vision_calibration, o.backend), std::tie("i", "r", "o", "c", "vulkan"));
  EXPECT_EQ(std::tie(o.sampling.min_p, o.sampling.top_p, o.sampling.temperature, o.sampling.repetition_penalty),
            std::make_tuple(0.1, 0.5, 0.7, 1.5));
  EXPECT_EQ(std::tie(o.sampling.repetition_window, o.max_new_tokens, o.context_length, o.image_longest_edge),
            std::make_tuple(9u, 100u, 4096u, 512u));
  EXPECT_TRUE(o.profile && !o.profile_ops && !o.stream);
  ASSERT_EQ(vulkan_error({"prepare", "--model", "m", "--messages", "@valid", "--output", "o"}, &o), "");
  EXPECT_EQ(o.messages[0]["role"], "user");
  EXPECT_EQ(o.image_longest_edge, 512u);
}

}  // namespace
}  // namespace vorn
