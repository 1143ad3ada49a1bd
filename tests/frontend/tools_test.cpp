// vorn-chat and vorn-vulkan run as a user runs them: help, one-line errors
// with a non-zero status, the prepare commands against the processor's own
// preparation of the same request, and no half-written output when a run
// fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "frontend_fixture.h"
#include "generation/vn_processor.h"
#include "frontend/chat_options.h"
#include "frontend/chat_request.h"
#include "frontend/model_file.h"
#include "generation/generation_call.h"
#include "generation/session_maintenance.h"
#include "generation/session_state.h"
#include "generative_model.h"

namespace vorn {
namespace {

using json = nlohmann::json;
using test::run_tool;
using test::RunOptions;
using test::ToolRun;
namespace fs = std::filesystem;

// A failure as the tools promise it: a non-zero status and one line on
// standard error that holds the text.
void expect_one_line_failure(const ToolRun& r, const std::string& text, const std::string& what) {
  EXPECT_TRUE(r.status == 1 || r.status == 2) << what << ": status " << r.status;
  EXPECT_NE(r.err.find(text), std::string::npos) << what << ": " << r.err;
  EXPECT_TRUE(!r.err.empty() && r.err.find('\n') == r.err.size() - 1) << what << ": " << r.err;
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class Tools : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new test::ScratchDir;
    std::string error;
    ASSERT_TRUE(test::write_generative_model(test::small_patch_model(false), model(), &error)) << error;
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string model() { return *dir_ / "model.vorn"; }
  static std::string image() { return std::string(VORN_TEST_DATA) + "/images/jpeg_exif_6_long.jpg"; }
  std::string scratch(const std::string& name) const { return work_ / name; }

  test::ScratchDir work_;
  static test::ScratchDir* dir_;
};
test::ScratchDir* Tools::dir_ = nullptr;

TEST_F(Tools, HelpAndCommandLineErrors) {
  for (const char* tool : {VORN_CHAT_TOOL, VORN_VULKAN_TOOL}) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"-h"}, {"prepare", "--help"}}) {
      const ToolRun r = run_tool(tool, args);
      EXPECT_EQ(r.status, 0) << tool;
      EXPECT_TRUE(r.out.starts_with("usage: ")) << tool;
      EXPECT_NE(r.out.find("prepare"), std::string::npos);
    }
  }
  const struct {
    const char* tool;
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {VORN_CHAT_TOOL, {}, "a command is required"},
      {VORN_CHAT_TOOL, {"talk"}, "unknown command talk"},
      {VORN_CHAT_TOOL, {"chat"}, "vorn: Exactly one of --prompt or --messages is required"},
      {VORN_CHAT_TOOL, {"prepare", "--prompt", "p", "--top-k", "4294967296"}, "vorn: Integer option too large"},
      {VORN_VULKAN_TOOL, {}, "vorn-vulkan: usage: vorn-vulkan chat|prepare|selftest|info"},
      {VORN_VULKAN_TOOL, {"talk"}, "vorn-vulkan: Unknown command talk"},
      {VORN_VULKAN_TOOL, {"info", "--backend", "metal"}, "vorn-vulkan: Only Vulkan backend supported in this build"},
      {VORN_VULKAN_TOOL, {"prepare", "--model", "m", "--prompt", "p"}, "vorn-vulkan: --output required"},
      {VORN_CHAT_TOOL, {"prepare", "--prompt", "p", "--model", model()}, "vorn prepare: prepare requires --output"},
      {VORN_CHAT_TOOL, {"prepare", "--prompt", "p", "--model", "none.vorn"}, "vorn prepare: prepare requires --output"},
  };
  for (const auto& c : cases) {
    const ToolRun r = run_tool(c.tool, c.args);
    EXPECT_EQ(r.status, 2);
    expect_one_line_failure(r, c.text, c.text);
  }
}

TEST_F(Tools, VulkanDeviceCommandsSayTheDeviceIsMissing) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"chat", "--model", model(), "--prompt", "hi"}, {"selftest"}, {"info"}}) {
    const ToolRun r = run_tool(VORN_VULKAN_TOOL, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vorn-vulkan: this build has no Vulkan device\n");
    EXPECT_EQ(r.out, "");
  }
}

// A chat command line's options, as the tool parses them.
json chat_options(const std::vector<std::string>& args) {
  std::vector<std::string> full{"chat"};
  full.insert(full.end(), args.begin(), args.end());
  const test::Argv argv("vorn-chat", full);
  return parse_cli_options_or_throw(argv.argc(), argv.argv());
}

// The session path's preparation of a command line's request: the request
// dictionary the generation call builds from the chat command's messages
// and settings, prepared by the open session's processor.
json session_prepared(const std::vector<std::string>& args) {
  const json options = chat_options(args);
  const ChatRequest chat(options);
  const GenerativeOpenParams params = chat_open_params(options);
  VlmSession* session = nullptr;
  ErrorRecord error{};
  EXPECT_TRUE(vlm_open_path(options_model_path(options), &params, &session, &error)) << error.message;
  if (session == nullptr) return json::object();
  const json dict = generation_request_dictionary(session->state.get(), chat.messages(), chat.message_count(),
                                                  &chat.request());
  json prepared = session->state->processor->prepare(dict);
  vlm_session_release(session);
  return prepared;
}

// Row i of a causal mask: 0 up to column i, the lowest finite value after.
template <class T>
std::string causal_mask_bytes(uint64_t n, T lowest) {
  std::vector<T> mask(n * n, T(0));
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t j = i + 1; j < n; ++j) mask[i * n + j] = lowest;
  return std::string(reinterpret_cast<const char*>(mask.data()), mask.size() * sizeof(T));
}

// Every tensor file equals the session path's tensor byte for byte and the
// manifest describes it; the other entries equal the session's (timings
// aside). The one difference is by design: the session leaves the text
// attention mask to the graph (an empty tensor), a dump spells it out.
void expect_dump_equals(const std::string& dir, const json& prepared) {
  const std::string text = test::read_text(dir + "/inputs.json");
  ASSERT_FALSE(text.empty()) << dir;
  EXPECT_EQ(text.back(), '\n');
  const json manifest = json::parse(text);
  ASSERT_EQ(manifest["inputs"].size(), prepared["inputs"].size());
  const uint64_t n = prepared["prompt_token_ids"].size();
  for (const auto& [name, tensor] : prepared["inputs"].items()) {
    const json& entry = manifest["inputs"][name];
    const std::string bytes = test::read_text(dir + "/" + name + ".bin");
    EXPECT_EQ(entry["file"], name + ".bin");
    EXPECT_EQ(entry["dtype"], tensor["dtype"]) << name;
    if (name == "text_attention_mask") {
      EXPECT_EQ(tensor["shape"], json({1, 1, 0, 0}));
      EXPECT_EQ(entry["shape"], json({1, 1, n, n}));
      EXPECT_EQ(bytes, entry["dtype"] == 1 ? causal_mask_bytes<uint16_t>(n, 0xFBFF)  // -65504 in F16
                                           : causal_mask_bytes<float>(n, std::numeric_limits<float>::lowest()));
      continue;
    }
    EXPECT_EQ(entry["shape"], tensor["shape"]) << name;
    const auto& data = tensor["data"].get_binary();
    EXPECT_EQ(bytes, std::string(data.begin(), data.end())) << name;
  }
  for (const char* key : {"prompt_token_ids", "rendered_prompt", "image_views", "image_rows", "image_cols",
                          "image_orientations"})
    EXPECT_EQ(manifest[key], prepared[key]) << key;
  EXPECT_EQ(manifest["stages_ms"].size(), prepared["stages_ms"].size());
}

TEST_F(Tools, PrepareWritesTheSessionPathsRequest) {
  const std::string messages = scratch("messages.json");
  test::write_text(messages, json::array({{{"role", "system"}, {"content", {{{"type", "text"}, {"text", "Be brief."}}}}},
                                          {{"role", "user"},
                                           {"content", {{{"type", "image"}, {"path", image()}},
                                                        {{"type", "text"}, {"text", "What is this?"}}}}}})
                                 .dump());
  const std::vector<std::string> tiled{"--prompt", "Describe", "--image", image(), "--image-detail", "tiled",
                                       "--image-longest-edge", "1024"};
  const struct {
    std::vector<std::string> args;    // one request to chat and to prepare
    std::vector<std::string> vulkan;  // the same to the second tool, which prepares F16 inputs
  } cases[] = {
      {{"--prompt", "Hello world", "--activation", "fp16"}, {"--prompt", "Hello world"}},
      {{"--prompt", "Hello world", "--stop", "x", "--temperature", "0.5"}, {}},
      {{"--prompt", "Describe", "--image", image(), "--image-detail", "tiled", "--image-longest-edge", "1024",
        "--activation", "fp16"},
       tiled},
      {{"--prompt", "Describe", "--image", image(), "--image-crop", "0.1,0,1,0.9"}, {}},
      {{"--messages", messages, "--max-new-tokens", "8", "--activation", "fp16"},
       {"--messages", messages, "--max-new-tokens", "8"}},
  };
  for (const auto& c : cases) {
    const std::string n = std::to_string(&c - cases);
    std::vector<std::string> args{"--model", model()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const json prepared = session_prepared(args);
    const std::string out = scratch("chat" + n);
    args.insert(args.begin(), {"prepare", "--output", out});
    const ToolRun r = run_tool(VORN_CHAT_TOOL, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err + r.out, "");
    expect_dump_equals(out, prepared);
    if (c.vulkan.empty()) continue;
    const std::string vulkan_out = scratch("vulkan" + n);
    args = {"prepare", "--model", model(), "--output", vulkan_out};
    args.insert(args.end(), c.vulkan.begin(), c.vulkan.end());
    const ToolRun v = run_tool(VORN_VULKAN_TOOL, args);
    ASSERT_EQ(v.status, 0) << v.err;
    expect_dump_equals(vulkan_out, prepared);
    EXPECT_EQ(json::parse(test::read_text(vulkan_out + "/inputs.json")).size(), 8u);
  }
}

TEST_F(Tools, PrepareDecodesTokenIds) {
  const json prepared = session_prepared({"--model", model(), "--prompt", "Hello world"});
  std::string ids;
  for (const json& id : prepared["prompt_token_ids"]) ids += (ids.empty() ? "" : ",") + id.dump();
  const ToolRun r = run_tool(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "x", "--output", scratch("d"),
                                     "--decode-ids", " " + ids + " "});
  ASSERT_EQ(r.status, 0) << r.err;
  // Special tokens have no text: the rendered prompt without its markers.
  EXPECT_EQ(json::parse(test::read_text(scratch("d/inputs.json")))["decoded"], "User: Hello world\nAssistant:");
  EXPECT_EQ(r.out, "User: Hello world\nAssistant:\n");
  for (const char* bad : {"1,,2", "1,x", "", "9223372036854775808", "1 2", "-1", "1,512"}) {
    const ToolRun b = run_tool(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "x", "--output", scratch("bad"),
                                       "--decode-ids", bad});
    expect_one_line_failure(b, "vorn prepare: Decode ID", bad);
    EXPECT_FALSE(fs::exists(scratch("bad"))) << bad;
  }
}

TEST_F(Tools, FailedPrepareLeavesNothingHalfWritten) {
  const std::vector<std::string> request{"--prompt", "Describe", "--image", image(), "--model", model()};
  auto prepare_args = [&](const std::string& out) {
    std::vector<std::string> a{"prepare", "--output", out};
    a.insert(a.end(), request.begin(), request.end());
    return a;
  };
  // A disk that fills up in the middle of the pixel tensor: no directory
  // appears, nothing is left beside it.
  for (const char* tool : {VORN_CHAT_TOOL, VORN_VULKAN_TOOL}) {
    const ToolRun r = run_tool(tool, prepare_args(scratch("full/out")), {.cwd = "", .file_size_limit = 100000});
    expect_one_line_failure(r, "rite", tool);
    EXPECT_EQ(listing(scratch("full")), std::vector<std::string>{}) << tool;
  }
  // Over an earlier dump, the earlier dump stays whole.
  ASSERT_EQ(run_tool(VORN_CHAT_TOOL, {"prepare", "--output", scratch("old"), "--prompt", "hi", "--model", model()}).status,
            0);
  const std::string before = test::read_text(scratch("old/inputs.json"));
  const std::vector<std::string> old_files = listing(scratch("old"));
  for (const char* tool : {VORN_CHAT_TOOL, VORN_VULKAN_TOOL}) {
    const ToolRun r = run_tool(tool, prepare_args(scratch("old")), {.cwd = "", .file_size_limit = 100000});
    expect_one_line_failure(r, "rite", tool);
    EXPECT_EQ(test::read_text(scratch("old/inputs.json")), before) << tool;
    EXPECT_EQ(listing(scratch("old")), old_files) << tool;
  }
  // A successful run over it replaces it.
  ASSERT_EQ(run_tool(VORN_VULKAN_TOOL, prepare_args(scratch("old"))).status, 0);
  EXPECT_EQ(json::parse(test::read_text(scratch("old/inputs.json")))["image_views"], 1);

  const struct {
    const char* tool;
    std::vector<std::string> args;
    const char* text;
  } cases[] = {
      {VORN_CHAT_TOOL, {"prepare", "--prompt", "p", "--model", scratch("none.vorn"), "--output", scratch("o")},
       "vorn prepare: Cannot open model"},
      {VORN_VULKAN_TOOL, {"prepare", "--prompt", "p", "--model", image(), "--output", scratch("o")},
       "vorn-vulkan: Cannot open model"},
      {VORN_CHAT_TOOL, {"prepare", "--prompt", "p", "--model", model(), "--output", image()},
       "vorn prepare: Create input dump directory"},
      {VORN_VULKAN_TOOL, {"prepare", "--prompt", "p", "--model", model(), "--output", image() + "/o"},
       "vorn-vulkan: Cannot create directory"},
      {VORN_VULKAN_TOOL, {"prepare", "--prompt", "p", "--max-new-tokens", "2048", "--model", model(), "--output",
                          scratch("o")},
       "vorn-vulkan: Prompt plus output exceeds context budget"},
  };
  for (const auto& c : cases) {
    const ToolRun r = run_tool(c.tool, c.args);
    EXPECT_EQ(r.status, 1) << c.text;
    expect_one_line_failure(r, c.text, c.text);
    EXPECT_FALSE(fs::exists(scratch("o"))) << c.text;
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// An image that cannot be read is named in the error; its status comes
// from what went wrong, never from words in the file's name.
TEST_F(Tools, ImageErrorsNameTheFile) {
  const std::string images = std::string(VORN_TEST_DATA) + "/images/";
  const std::string missing = scratch("unsupported 8-bit.png"), deep = scratch("deep.png"),
                    cut = scratch("unsupported.png");
  test::write_text(deep, test::read_text(images + "bad_png_rgb16.png"));
  test::write_text(cut, test::read_text(images + "png_rgb8.png").substr(0, 100));
  const struct {
    std::string image;
    std::string text;
    int status;
  } cases[] = {
      {missing, "Cannot read image (" + missing + ")", 4},
      {deep, "PNG supports at most 8-bit channels (" + deep + ")", 5},
      {cut, "Truncated PNG (" + cut + ")", 4},
  };
  for (const auto& c : cases) {
    const ToolRun chat = run_tool(VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "p", "--image", c.image});
    EXPECT_EQ(chat.status, 1) << c.text;
    EXPECT_EQ(chat.err, "vorn: [" + std::to_string(c.status) + "] " + c.text + "\n");
    const ToolRun prepare = run_tool(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "p", "--image",
                                                      c.image, "--output", scratch("o")});
    EXPECT_EQ(prepare.status, 1) << c.text;
    EXPECT_EQ(prepare.err, "vorn prepare: " + c.text + "\n");
    EXPECT_FALSE(fs::exists(scratch("o"))) << c.text;
  }
}

TEST_F(Tools, ChatAndInferRefuseBadRequests) {
  const auto messages = [&](const std::string& name, const json& value) {
    test::write_text(scratch(name), value.dump());
    return scratch(name);
  };
  const json text = {{"type", "text"}, {"text", "hi"}};
  const struct {
    json messages;
    const char* text;
  } chats[] = {
      {json::array({{{"role", "user"}, {"content", "hi"}}}), "vorn: [1] Invalid message content"},
      {json::array({{{"role", 5}, {"content", {text}}}}), "vorn: [1] Invalid role"},
      {json::array({{{"role", "user"}, {"content", {{{"type", "audio"}}}}}}), "vorn: [1] Image requires path"},
      {json::array({{{"role", "user"}, {"content", {{{"type", "image"}}}}}}), "vorn: [1] Image requires path"},
      {json::array({{{"role", "user"}, {"content", {{{"type", "text"}, {"text", std::string("a\0b", 3)}}}}}}),
       "vorn: [1] Invalid text"},
      {json::array(), "vorn: [1] Invalid messages"},
  };
  for (const auto& c : chats) {
    const ToolRun r = run_tool(VORN_CHAT_TOOL, {"chat", "--model", model(), "--messages", messages("m.json", c.messages)});
    EXPECT_EQ(r.status, 1) << c.text;
    expect_one_line_failure(r, c.text, c.text);
  }
  // A model that cannot be opened is named, with the reason.
  const struct {
    std::string model;
    std::string text;
  } models[] = {
      {scratch("none.vorn"), "vorn: [2] Cannot open model " + scratch("none.vorn") + ": No such file or directory"},
      {work_.path(), "vorn: [2] Cannot open model " + work_.path() + ": not a regular file"},
      {image(), "vorn: [3] Cannot open model " + image() + ": invalid header/version/file size"},
  };
  for (const auto& m : models) {
    const ToolRun r = run_tool(VORN_CHAT_TOOL, {"chat", "--model", m.model, "--prompt", "hi"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, m.text + "\n");
  }

  const struct {
    std::string request;  // file contents; "" for no file
    const char* text;
  } requests[] = {
      {"", "vorn inference: Cannot read request"},
      {"not json", "vorn inference: Request schema"},
      {"[1]", "vorn inference: Request schema"},
      {std::string(100000, '[') + std::string(100000, ']'), "vorn inference: Request nests too deeply"},
      {R"({"schema_version": 2, "cases": [{}]})", "vorn inference: Request schema"},
      {R"({"schema_version": 1, "activation_dtype": 3, "cases": [{}]})",
       "vorn inference: activation_dtype must be 0, 1 or 2"},
      {R"({"schema_version": 1, "activation_dtype": -1, "cases": [{}]})",
       "vorn inference: activation_dtype must be 0, 1 or 2"},
      // The graph is built for each activation kind, then there is nothing to run.
      {R"({"schema_version": 1, "activation_dtype": 0, "cases": []})", "vorn inference: No inference cases"},
      {R"({"schema_version": 1, "activation_dtype": 1, "profile": true})", "vorn inference: No inference cases"},
      {R"({"schema_version": 1, "activation_dtype": 2, "cases": []})", "vorn inference: No inference cases"},
      {R"({"schema_version": 1, "backend": "vulkan", "cases": [{}]})", "vorn inference: Unknown backend policy"},
  };
  for (const auto& c : requests) {
    std::error_code ec;
    fs::remove(scratch("request.json"), ec);
    if (!c.request.empty()) test::write_text(scratch("request.json"), c.request);
    // A request named without a directory is read from the current one.
    const ToolRun r = run_tool(VORN_CHAT_TOOL, {"infer", "--model", model(), "--request", "request.json", "--output",
                                                scratch("out")},
                               {.cwd = work_.path()});
    EXPECT_EQ(r.status, 1) << c.text;
    expect_one_line_failure(r, c.text, c.text);
    EXPECT_FALSE(fs::exists(scratch("out/result.json")));
  }
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST_F(Tools, InferReportsAFailingCaseAndRunsTheOthers) {
  // The cases read the inputs that prepare wrote, by paths relative to the
  // request file, which lies beside them and is named without a directory.
  const std::string dump = scratch("dump");
  ASSERT_EQ(run_tool(VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "Hello", "--output", dump}).status, 0);
  const json inputs = json::parse(test::read_text(dump + "/inputs.json"))["inputs"];
  const json good = {{"name", "good"}, {"inputs", inputs}, {"max_new_tokens", 3}};
  json missing = good;
  missing["inputs"]["input_ids"]["file"] = "none.bin";
  json half = good;
  half["inputs"]["pixel_values"]["dtype"] = 1;
  const json request = {
      {"schema_version", 1},
      {"activation_dtype", 2},
      {"cases", {good, {{"name", "bad"}, {"inputs", inputs}, {"max_new_tokens", 0}}, good, missing, half}}};
  test::write_text(dump + "/request.json", request.dump());
  const std::string out = scratch("infer");
  const ToolRun r = run_tool(VORN_CHAT_TOOL, {"infer", "--model", model(), "--request", "request.json", "--output",
                                              out},
                             {.cwd = dump});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "vorn inference: case 1: max_new_tokens must be 1..8192\n"
                   "vorn inference: case 3: Input data length: input_ids cannot read ./none.bin\n"
                   "vorn inference: case 4: Input pixel_values is F16 where activation_dtype asks for F32 inputs\n");
  const json result = json::parse(test::read_text(out + "/result.json"));
  EXPECT_EQ(result.size(), 11u);
  EXPECT_EQ(result["schema_version"], 1);
  EXPECT_EQ(result["activation_dtype"], "fp32");
  EXPECT_EQ(result["weight_dtype"], "fp16");
  EXPECT_GT(result["max_rss_bytes"].get<uint64_t>(), uint64_t(1) << 20);  // bytes, not KiB
  ASSERT_EQ(result["cases"].size(), 5u);
  EXPECT_EQ(result["cases"][1], json({{"name", "bad"}, {"error", "max_new_tokens must be 1..8192"}}));
  // The good cases ran alike, each into its own directory.
  for (const int i : {0, 2}) {
    EXPECT_EQ(result["cases"][i]["name"], "good");
    EXPECT_EQ(result["cases"][i]["generated_token_ids"].size(), 3u);
    EXPECT_EQ(result["cases"][i]["prompt_tokens"], inputs["input_ids"]["shape"][1]);
    EXPECT_TRUE(fs::is_directory(out + "/case" + std::to_string(i)));
  }
  EXPECT_EQ(result["cases"][0]["generated_token_ids"], result["cases"][2]["generated_token_ids"]);
  // An output that is not a directory is said once, before any case runs.
  const ToolRun file_out = run_tool(VORN_CHAT_TOOL, {"infer", "--model", model(), "--request", "request.json",
                                                     "--output", "request.json"},
                                    {.cwd = dump});
  EXPECT_EQ(file_out.status, 1);
  EXPECT_EQ(file_out.err, "vorn inference: Output directory request.json: not a directory\n");
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

// The answer of the session interface for the options of a command line.
std::string session_answer(const std::vector<std::string>& args) {
  const json options = chat_options(args);
  const ChatRequest chat(options);
  const GenerativeOpenParams params = chat_open_params(options);
  VlmSession* session = nullptr;
  ErrorRecord error{};
  EXPECT_TRUE(vlm_open_path(options_model_path(options), &params, &session, &error)) << error.message;
  GenerationResult result{};
  EXPECT_TRUE(vlm_session_generate(session, chat.messages(), chat.message_count(), &chat.request(), nullptr, nullptr,
                                   &result, &error))
      << error.message;
  std::string answer(result.answer, result.answer_length);
  generation_result_free(&result);
  vlm_session_release(session);
  return answer;
}

// Greedy chats against the independent reference's answers
// (tests/session/make_generative_refs.py): text, one image, tiled views and
// several turns, each as a messages file; the report counts what the
// reference counted. A sampled chat against the session interface's answer.
TEST_F(Tools, ChatAnswersAsTheReferenceAndTheSessionDo) {
  const json refs = json::parse(test::read_text(std::string(VORN_TEST_DATA) + "/generative/sessions.json"))["cases"];
  const std::string shuffle = scratch("shuffle.vorn");
  std::string error;
  ASSERT_TRUE(test::write_generative_model(test::small_shuffle_model(false), shuffle, &error)) << error;
  for (const char* name : {"text_f16", "image_f16", "tiled_f16", "multi_turn_f16"}) {
    const json& c = refs[name];
    json messages = json::array();
    for (const json& m : c["messages"]) {
      json content = json::array();
      if (!m[2].is_null())
        content.push_back({{"type", "image"},
                           {"path", std::string(VORN_TEST_DATA) + "/generation/lanczos/" + m[2].get<std::string>()}});
      content.push_back({{"type", "text"}, {"text", m[1]}});
      messages.push_back({{"role", m[0]}, {"content", content}});
    }
    test::write_text(scratch("chat.json"), messages.dump());
    std::vector<std::string> args{"chat", "--model", c["model"] == "patch_f16" ? model() : shuffle, "--messages",
                                  scratch("chat.json"), "--max-new-tokens", "16", "--report", scratch("report.json")};
    if (c["detail"] == "tiled")
      args.insert(args.end(), {"--image-detail", "tiled", "--image-longest-edge", c["longest_edge"].dump()});
    const std::string answer = c["answer"];
    const ToolRun r = run_tool(VORN_CHAT_TOOL, args);
    ASSERT_EQ(r.status, 0) << name << ": " << r.err;
    EXPECT_EQ(r.out, answer + "\n") << name;
    const json report = json::parse(test::read_text(scratch("report.json")));
    EXPECT_EQ(report["cases"][0]["prompt_tokens"], c["prompt_tokens"]) << name;
    EXPECT_EQ(report["cases"][0]["generated_token_ids"], c["tokens"]) << name;
    EXPECT_EQ(report["image_views"], c["views"]) << name;
    args.push_back("--stream");
    EXPECT_EQ(run_tool(VORN_CHAT_TOOL, args).out, answer + "\n") << name;  // streamed once, then the line end
  }
  const std::vector<std::string> sampled{"--model", model(), "--prompt", "Hi", "--max-new-tokens", "9",
                                         "--temperature", "0.8", "--seed", "7", "--top-k", "20"};
  std::vector<std::string> args{"chat"};
  args.insert(args.end(), sampled.begin(), sampled.end());
  EXPECT_EQ(run_tool(VORN_CHAT_TOOL, args).out, session_answer(sampled) + "\n");
}

TEST_F(Tools, ChatWritesItsReport) {
  const std::string report = scratch("deep/er/report.json");
  const ToolRun r = run_tool(VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "Hello", "--max-new-tokens",
                                              "5", "--report", report});
  ASSERT_EQ(r.status, 0) << r.err;
  const json rep = json::parse(test::read_text(report));
  for (const char* key : {"input_preparation_ms", "diagnostic_profile", "schema_version", "frontend", "backend",
                          "backend_policy", "weight_dtype", "weight_execution", "activation_dtype", "device", "answer",
                          "finish_reason", "cases", "image_views", "image_orientations", "image_longest_edge",
                          "image_detail", "frontend_stages_ms", "max_rss_bytes", "peak_observed_metal_allocated_bytes",
                          "application_wall_ms", "processor_setup_ms", "backend_prepare_ms",
                          "frontend_loading_overlap", "weight_cache_policy", "loader", "prompt", "image"})
    EXPECT_TRUE(rep.contains(key)) << key;
  EXPECT_EQ(rep.size(), 28u);
  EXPECT_EQ(rep["answer"].get<std::string>() + "\n", r.out);
  EXPECT_EQ(rep["prompt"], "Hello");
  EXPECT_TRUE(rep["image"].is_null());
  EXPECT_EQ(rep["cases"][0]["generated_token_ids"].size() <= 5, true);
  EXPECT_GT(rep["cases"][0]["prompt_tokens"].get<uint64_t>(), 0u);
  EXPECT_GT(rep["application_wall_ms"].get<double>(), rep["input_preparation_ms"].get<double>());
  const json& loader = rep["loader"];
  EXPECT_EQ(loader.size(), 4u);
  for (const char* key : {"read_ms", "metadata_ms", "slot_setup_ms", "loaded_ms"})
    EXPECT_TRUE(loader.contains(key) && loader[key].is_number()) << key;
  EXPECT_DOUBLE_EQ(loader["loaded_ms"].get<double>(), loader["read_ms"].get<double>() +
                                                          loader["metadata_ms"].get<double>() +
                                                          loader["slot_setup_ms"].get<double>());
  EXPECT_GT(rep["max_rss_bytes"].get<uint64_t>(), uint64_t(1) << 20);  // bytes, not KiB
  // Stages lie inside the run; the weights are resident and counted.
  for (const char* key : {"input_preparation_ms", "processor_setup_ms", "backend_prepare_ms"})
    EXPECT_GE(rep[key].get<double>(), 0.0) << key;
  EXPECT_GE(rep["application_wall_ms"].get<double>(),
            rep["loader"]["loaded_ms"].get<double>() + rep["cases"][0]["case_wall_ms"].get<double>());
  const uint64_t weights = rep["weight_execution"]["resident_weight_buffer_bytes"];
  EXPECT_GT(weights, 0u);
  EXPECT_GE(rep["peak_observed_metal_allocated_bytes"].get<uint64_t>(), weights);
  EXPECT_GE(rep["max_rss_bytes"].get<uint64_t>(), weights);
  EXPECT_EQ(rep["activation_dtype"], "fp32");
  EXPECT_EQ(rep["image_views"], 0);

  // A report that cannot be written fails the command: no answer is printed.
  const ToolRun failed = run_tool(VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "Hello",
                                                   "--max-new-tokens", "2", "--report", scratch("deep")});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "vorn: [14] Write generation report\n");

  // Output that cannot reach its reader fails the command.
  const RunOptions full{.cwd = "", .file_size_limit = -1, .stdout_path = "/dev/full"};
  const struct {
    const char* tool;
    std::vector<std::string> args;
    const char* text;
  } lost[] = {
      {VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "Hi", "--max-new-tokens", "2"},
       "vorn: [2] Cannot write the answer to standard output: No space left on device"},
      {VORN_CHAT_TOOL, {"chat", "--model", model(), "--prompt", "Hi", "--max-new-tokens", "2", "--stream"},
       "vorn: [2] Cannot write the answer to standard output"},
      {VORN_CHAT_TOOL, {"prepare", "--model", model(), "--prompt", "Hi", "--output", scratch("lost"), "--decode-ids",
                        "72"},
       "vorn prepare: Cannot write the decoded text to standard output"},
      {VORN_CHAT_TOOL, {"--help"}, "vorn: cannot write the help to standard output"},
      {VORN_VULKAN_TOOL, {"--help"}, "vorn-vulkan: cannot write the help to standard output"},
  };
  for (const auto& c : lost) {
    const ToolRun r = run_tool(c.tool, c.args, full);
    EXPECT_EQ(r.status, 1) << c.text;
    expect_one_line_failure(r, c.text, c.text);
  }
  EXPECT_FALSE(fs::exists(scratch("lost")));
}

}  // namespace
}  // namespace vorn
