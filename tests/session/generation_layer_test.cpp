// The generation layer under the session: the flat entry points' edge
// cases, the status of each kind of failure, the token-mask callback, weight
// verification, traces, and a stream longer than the session keeps pieces.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "base/vn_error.h"
#include "container/container.h"
#include "generation/errors.h"
#include "generation/generation_call.h"
#include "generation/generation_loop.h"
#include "generation/generation_trace.h"
#include "generation/session_maintenance.h"
#include "generation/session_state.h"
#include "generation/vlm_interface.h"
#include "generative_session_fixture.h"
#include "hostile_generative.h"
#include "session/session.h"

namespace vorn {
namespace {

using test::ChatInput;
using test::GenerativeSession;
using test::ReferenceChat;

TEST(GenerationLayer, StatusOfEachFailure) {
  struct Row {
    const char* category;
    const char* reason;
    uint32_t code;
  };
  const Row rows[] = {
      {"VornUnsupported", "Cannot read image", 12},
      {"VornInference", "Activation allocation failed", 7},
      {"VornArgument", "while allocating views", 7},
      {"NSMallocException", "x", 7},
      {"VornImage", "PNG supports at most 8-bit channels", 5},
      {"VornImage", "CMYK JPEG is Unsupported", 5},
      {"VornImage", "Cannot read image", 4},
      {"VornFrontend", "Prompt plus output exceeds Context Budget", 6},
      {"VornInference", "nonfinite logits", 11},
      {"VornModel", "Aux name bounds", 3},
      {"VornFrontend", "Invalid messages", 1},
      {"VornArgument", "Invalid UTF-8", 1},
      {"VornCancelled", "Generation cancelled", 10},
      {"VornInference", "Metal execution failed", 8},
      {"VornInference", "Tensor command failed", 8},
      {"VornInference", "Logits shape", 14},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reason);
    ErrorRecord e{};
    vlm_error_from_exception(VNError(row.category, row.reason), &e);
    EXPECT_EQ(e.code, row.code);
    EXPECT_STREQ(e.message, row.reason);
  }
  ErrorRecord e{};
  vlm_error_from_exception(ImageError("Cannot read image"), &e);
  EXPECT_EQ(e.code, 4u);
  vlm_error_from_exception(std::bad_alloc(), &e);
  EXPECT_EQ(e.code, 7u);
}

TEST(GenerationLayer, FlatEntryPointRefusals) {
  uint32_t code = 0;
  char message[256] = "";
  VlmSession* vlm = nullptr;
  const std::string& path = test::generative_model_path("patch_q8");
  EXPECT_FALSE(vlm_session_open_path("", 2048, 0, nullptr, 0, &vlm, &code, message, sizeof message));
  EXPECT_EQ(code, 1u);
  EXPECT_STREQ(message, "Model path and output are required");
  GenerativeOpenParams params = vlm_open_params_default();
  ErrorRecord e{};
  struct Check {
    const char* backend;
    uint32_t context;
    bool ok;
  };
  for (const Check& c : {Check{"MPS", 2048, false}, Check{"mps", 8193, false}, Check{"mpsgraph", 0, false},
                         Check{"metal", 8192, true}}) {
    params.backend = c.backend;
    params.context_length = c.context;
    EXPECT_EQ(vlm_open_params_check("m", &params, &vlm, &e), c.ok) << c.backend;
  }
  EXPECT_STREQ(e.message, "");
  // A context length outside 64..8192 opens with 2048: a budget of 2048
  // passes the request check, 2049 does not.
  ASSERT_TRUE(vlm_session_open_path(path.c_str(), 63, 0, nullptr, 0, &vlm, &code, message, sizeof message));
  const VlmChatMessage hi{"user", "Hi", 1, nullptr, 0, 0, 0, 0, 0, 9};
  auto generate = [&](uint64_t count, uint32_t budget) {
    std::vector<VlmChatMessage> list(count ? count : 1, hi);
    return vlm_generate(vlm, count ? list.data() : nullptr, count, budget, 0, 0, nullptr, 3, 0, 1, 0, 1, 0, 0, "",
                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &code,
                        message, sizeof message);
  };
  for (uint64_t count : {0, 17}) {
    EXPECT_FALSE(generate(count, 1));
    EXPECT_EQ(code, 1u);
    EXPECT_STREQ(message, "Invalid VLM handle or empty message list");
  }
  EXPECT_FALSE(generate(1, 2049));
  EXPECT_STREQ(message, "Invalid generation parameters");
  EXPECT_FALSE(generate(1, 2048));
  EXPECT_EQ(code, 6u);
  EXPECT_TRUE(generate(16, 2));  // a stop count without stops, a null pixel pointer, orientation 9
  vlm_close(vlm);
}

// The end-of-sequence finish and the token-mask callback, which the C
// interface does not reach.
TEST(GenerationLayer, MaskCallbackAndEndOfSequence) {
  VlmSession* vlm = nullptr;
  ErrorRecord e{};
  ASSERT_TRUE(vlm_open_path(test::generative_model_path("patch_f16").c_str(), nullptr, &vlm, &e)) << e.message;
  const int64_t eos = vlm->state->processor->eos().at(0);
  struct Mask {
    int64_t only;
    uint64_t calls = 0;
  } mask{eos};
  GenerationRequest request = generation_request_default();
  request.mask_context = &mask;
  request.mask_callback = [](void* c, const int64_t*, uint64_t count, uint8_t* m, uint64_t vocab) -> int32_t {
    auto* self = static_cast<Mask*>(c);
    ++self->calls;
    for (uint64_t i = 0; i < vocab; ++i) m[i] = int64_t(i) == self->only;
    return count > 0;  // never reached: the first token ends the generation
  };
  GenerationResult result{};
  ASSERT_TRUE(vlm_session_generate_prompt(vlm, "Hi", 8, &result, &e));  // defaults: no mask
  generation_result_free(&result);
  const ContentPart part{kContentText, "Hi", nullptr};
  const GenerationMessage message{"user", &part, 1};
  ASSERT_TRUE(vlm_session_generate(vlm, &message, 1, &request, nullptr, nullptr, &result, &e)) << e.message;
  EXPECT_EQ(result.finish_reason, kFinishEos);
  EXPECT_EQ(result.generated_tokens, 1u);
  EXPECT_EQ(result.token_ids[0], eos);
  EXPECT_EQ(result.answer_length, 0u);
  EXPECT_EQ(mask.calls, 1u);
  EXPECT_EQ(vlm->state->lastReport["finish_reason"], "eos");
  EXPECT_EQ(vlm->state->lastReport.size(), 20u);
  generation_result_free(&result);
  generation_result_free(&result);
  // A mask that forbids everything is refused; one that asks to stop
  // cancels.
  mask.only = -1;
  EXPECT_FALSE(vlm_session_generate(vlm, &message, 1, &request, nullptr, nullptr, &result, &e));
  EXPECT_EQ(e.code, 1u);
  EXPECT_STREQ(e.message, "Token mask excludes entire vocabulary");
  request.mask_callback = [](void*, const int64_t*, uint64_t, uint8_t*, uint64_t) -> int32_t { return 1; };
  ASSERT_TRUE(vlm_session_generate(vlm, &message, 1, &request, nullptr, nullptr, &result, &e));
  EXPECT_EQ(result.finish_reason, kFinishCancelled);
  generation_result_free(&result);
  // Counting prompt tokens works on an unloaded session.
  ASSERT_TRUE(vlm_unload(vlm));
  uint32_t count = 0;
  ASSERT_TRUE(vlm_session_count_prompt_tokens(vlm, &message, 1, nullptr, &count, &e)) << e.message;
  EXPECT_GT(count, 4u);
  EXPECT_FALSE(vlm_session_generate(vlm, &message, 1, nullptr, nullptr, nullptr, &result, &e));
  EXPECT_STREQ(e.message, "Session is unloaded; reload before generation");
  vlm_close(vlm);
}

// Verification reads what each digest covers: the padded extent of every
// tensor (most of the test models' tensors are not a multiple of the
// alignment), so a correct model verifies and a changed padding byte does
// not.
TEST(GenerationLayer, WeightVerificationCoversThePaddedExtent) {
  const std::vector<uint8_t>& bytes = test::generative_model_file("shuffle_q8");
  std::string path = test::generative_model_path("shuffle_q8") + ".changed";
  std::vector<uint8_t> changed = bytes;
  // The last byte of the padded extent of the first tensor that has padding.
  const uint64_t meta_end = container_read_u64(bytes.data(), 48);
  const uint64_t tensors = container_read_u64(bytes.data(), 64 + 16 * 3);
  uint64_t record = tensors + 32;
  while (container_read_u64(bytes.data(), record + 96) == container_read_u64(bytes.data(), record + 104))
    record += container_read_u64(bytes.data(), tensors + 8);
  const uint64_t padded = container_read_u64(bytes.data(), record + 104);
  const uint64_t at = meta_end + container_read_u64(bytes.data(), record + 112) + padded - 1;
  changed[at] ^= 0x5A;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(changed.data()), std::streamsize(changed.size()));
  struct Case {
    const std::string* file;
    uint64_t flags;
    uint32_t code;
  };
  const std::string& good = test::generative_model_path("shuffle_q8");
  for (const Case& c : {Case{&good, 1, 0}, Case{&path, 0, 0}, Case{&path, 1, 13}}) {
    VlmSession* vlm = nullptr;
    uint32_t code = 0;
    char message[256] = "";
    const bool ok = vlm_session_open_path(c.file->c_str(), 2048, 0, nullptr, c.flags, &vlm, &code, message, 256);
    EXPECT_EQ(ok, c.code == 0) << message;
    if (!ok) {
      EXPECT_EQ(code, c.code);
      EXPECT_STREQ(message, "tensor hash mismatch");
    }
    vlm_close(vlm);
    const int fd = open(c.file->c_str(), O_RDONLY);
    uint64_t calls = 0;
    ErrorRecord e{};
    EXPECT_EQ(vlm_verify_model_fd(fd, 0, bytes.size(),
                                  [](void* n, uint64_t, uint64_t) { return int32_t(++*static_cast<uint64_t*>(n) > 1000); },
                                  &calls, &e),
              c.file == &good);
    EXPECT_EQ(e.code, c.file == &good ? 0u : 13u);
    EXPECT_GT(calls, c.file == &good ? 10u : 1u);
    close(fd);
  }
  std::remove(path.c_str());
}

// More pieces than the session keeps: the text past the last slot joins the
// last piece, so the pieces handed out still add up to the answer.
TEST(GenerationLayer, LongStreamKeepsEveryPiece) {
  VornSession* s = vorn_session_new(nullptr);
  std::string whole;
  for (uint32_t i = 0; i < 2100; ++i) {
    const std::string piece = std::to_string(i) + ",";
    whole += piece;
    ASSERT_EQ(stream_piece_append(s, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), 0), 0);
  }
  EXPECT_EQ(s->stream.count, 2048u);
  s->stream.active = 1;
  VornOutput* out = vorn_output_new();
  std::string streamed;
  uint32_t pieces = 0;
  while (vorn_session_next(s, out) == 1) {
    streamed.append(vorn_output_text_ptr(out), vorn_output_text_len(out));
    ++pieces;
  }
  EXPECT_EQ(pieces, 2048u);
  EXPECT_EQ(streamed, whole);
  EXPECT_EQ(std::string(vorn_output_full_text_ptr(out), vorn_output_full_text_len(out)), whole);
  // A cancelled session takes no more pieces and asks the generation to stop.
  vorn_session_cancel(s);
  EXPECT_EQ(stream_piece_append(s, reinterpret_cast<const uint8_t*>("x"), 1, 0), 1);
  vorn_output_free(out);
  vorn_session_free(s);
}

TEST(GenerationLayer, TracesOfADecode) {
  VlmSession* vlm = nullptr;
  ErrorRecord e{};
  ASSERT_TRUE(vlm_open_path(test::generative_model_path("patch_f16").c_str(), nullptr, &vlm, &e)) << e.message;
  VNSessionState& state = *vlm->state;
  const ReferenceChat chat = test::reference_chat("image_f16");
  ImageSource image{};
  image.kind = kImageSourcePath;
  const std::string file = std::string(VORN_TEST_DATA) + "/generation/lanczos/" + chat.messages[0].image;
  image.path = file.c_str();
  const ContentPart parts[2] = {{kContentImage, nullptr, &image}, {kContentText, chat.messages[0].text.c_str(), nullptr}};
  const GenerationMessage message{"user", parts, 2};
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = 4;
  nlohmann::json dict = generation_request_dictionary(&state, &message, 1, &request);
  dict["inputs"] = state.processor->prepare(dict)["inputs"];
  dict["trace"] = true;
  dict["captures"] = {"vision.embedded"};
  dict["eos_token_ids"] = state.processor->eos();
  const std::string dir = std::filesystem::temp_directory_path() / ("vorn-trace-" + std::to_string(getpid()));
  const nlohmann::json out = generation_loop(*state.graph, dict, {state.processor.get()}, nullptr, dir.c_str(),
                                             kLoopInMemory);
  EXPECT_EQ(out["generated_token_ids"], nlohmann::json(std::vector<int64_t>(chat.tokens.begin(), chat.tokens.begin() + 4)));
  const nlohmann::json& step0 = out["runs"][0]["outputs"];
  EXPECT_EQ(step0["boundary/vision.embedded"]["shape"], nlohmann::json({1, 8, 64}));
  EXPECT_EQ(step0["boundary/vision.embedded"]["file"], "boundary_vision.embedded.bin");
  EXPECT_EQ(std::filesystem::file_size(dir + "/step0/boundary_vision.embedded.bin"), 8u * 64 * 4);
  // A cache view holds its live rows only: P positions of 32 values per head.
  const uint64_t p = out["prompt_tokens"];
  EXPECT_EQ(step0["past_key.0"]["shape"], nlohmann::json({1, 2, p, 32}));
  EXPECT_EQ(std::filesystem::file_size(dir + "/step0/past_key.0.bin"), 2 * p * 32 * 4);
  uint64_t files = 0;
  for (const auto& f : std::filesystem::directory_iterator(dir + "/step3")) files += f.path().filename() == "logits_last.bin";
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(std::filesystem::file_size(dir + "/step3/logits_last.bin"), 512u * 4);
  EXPECT_EQ(trace_file_name("a/b/c"), "a_b_c.bin");
  std::filesystem::remove_all(dir);
  vlm_close(vlm);
}

// Each hostile container is refused at open through the C interface, with
// its code and text, and leaves the session without a model.
TEST(GenerationLayer, HostileContainersAreRefusedAtOpen) {
  const std::vector<uint8_t>& model = test::generative_model_file("patch_q8");
  for (const test::HostileCase& c : test::hostile_cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> file = test::hostile_model(model, c);
    test::MemFile mem(file);
    VornSession* s = vorn_session_new(nullptr);
    EXPECT_FALSE(vorn_session_open_fd(s, mem.fd, 0, file.size()));
    EXPECT_EQ(vorn_session_error_code(s), c.code);
    EXPECT_STREQ(vorn_session_error_message_ptr(s), c.message);
    EXPECT_EQ(vorn_session_active_backend(s), VORN_BACKEND_AUTO);
    vorn_session_free(s);
  }
}

}  // namespace
}  // namespace vorn
