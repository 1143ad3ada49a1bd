// Generative sessions through the C interface against the independent
// reference's greedy answers (text only, one image, a tiled image, several
// turns; F16 and Q8 weights, patch and pixel-shuffle models), and the
// settings of a generation: stop strings, budgets, seeds, finish reasons,
// token counts, prefix reuse and output constraints.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "generative_session_fixture.h"

namespace vorn {
namespace {

using test::ChatInput;
using test::GenerativeSession;
using test::ReferenceChat;

std::string concat(const std::vector<std::string>& pieces) {
  std::string all;
  for (const std::string& p : pieces) all += p;
  return all;
}

TEST(GenerativeSession, GreedyAnswersMatchTheReference) {
  for (const ReferenceChat& chat : test::reference_chats()) {
    SCOPED_TRACE(chat.name);
    GenerativeSession g(chat.model);
    ChatInput in(chat);
    vorn_input_set_max_tokens(in.input, 16);
    ASSERT_TRUE(g.run(in.input)) << g.error();
    EXPECT_EQ(g.text(), chat.answer);
    EXPECT_EQ(vorn_output_prompt_tokens(g.out), chat.prompt_tokens);
    EXPECT_EQ(vorn_output_generated_tokens(g.out), chat.tokens.size());
    EXPECT_EQ(vorn_output_finish_reason(g.out), chat.finish == "eos" ? VORN_FINISH_EOS : VORN_FINISH_LENGTH);
    EXPECT_EQ(vorn_output_cached_prompt_tokens(g.out), 0u);
    EXPECT_EQ(std::string(vorn_output_full_text_ptr(g.out), vorn_output_full_text_len(g.out)), chat.answer);
    // The same chat streamed: the pieces add up to the run's text.
    vorn_session_reset(g.s);
    const std::vector<std::string> pieces = g.stream(in.input);
    EXPECT_GE(pieces.size(), 2u);
    for (const std::string& p : pieces) EXPECT_FALSE(p.empty());
    EXPECT_EQ(concat(pieces), chat.answer);
    EXPECT_EQ(vorn_output_generated_tokens(g.out), chat.tokens.size());
    EXPECT_EQ(vorn_output_finish_reason(g.out), VORN_FINISH_LENGTH);
  }
}

TEST(GenerativeSession, BudgetsStopStringsAndFinishReasons) {
  const ReferenceChat chat = test::reference_chat("image_f16");
  const std::string& full = chat.answer;
  GenerativeSession g(chat.model);
  struct Row {
    const char* name;
    uint32_t max_tokens;
    std::vector<std::string> stops;
    std::string text;
    uint32_t finish;
  };
  // Stops taken from the reference answer: one that begins inside a token
  // and ends in the next, and two at once where the earlier one wins.
  const size_t cut = full.find("untilarden");
  ASSERT_NE(cut, std::string::npos);
  const Row rows[] = {
      {"budget of one", 1, {}, chat.answers_by_length[1], VORN_FINISH_LENGTH},
      {"budget of five", 5, {}, chat.answers_by_length[5], VORN_FINISH_LENGTH},
      {"stop across tokens", 16, {"ilard"}, full.substr(0, cut + 3), VORN_FINISH_STOP},
      {"earliest of two stops", 16, {"shing", "Numbers"}, full.substr(0, full.find("Numbers")), VORN_FINISH_STOP},
      {"stop never met", 16, {"zzz"}, full, VORN_FINISH_LENGTH},
      // Kept cut before the character that would cross its capacity.
      {"stop cut at a whole character", 16, {std::string(VORN_MAX_STOP_LEN - 1, 'z') + "\u00e9"}, full,
       VORN_FINISH_LENGTH},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ChatInput in(chat);
    vorn_input_set_max_tokens(in.input, row.max_tokens);
    for (const std::string& s : row.stops) ASSERT_TRUE(vorn_input_add_stop(in.input, s.data(), s.size()));
    ASSERT_TRUE(g.run(in.input)) << g.error();
    EXPECT_EQ(g.text(), row.text);
    EXPECT_EQ(vorn_output_finish_reason(g.out), row.finish);
    EXPECT_EQ(vorn_output_prompt_tokens(g.out), chat.prompt_tokens);
    if (row.stops.empty()) {
      EXPECT_EQ(vorn_output_generated_tokens(g.out), row.max_tokens);
    }
    // Streamed, the pieces stop at the same place.
    vorn_session_reset(g.s);
    EXPECT_EQ(concat(g.stream(in.input)), row.text);
    EXPECT_EQ(vorn_output_finish_reason(g.out), row.finish);
    vorn_session_reset(g.s);
  }
}

// A prompt and a budget that together fill the context exactly are a
// whole generation; one token more is refused. (The context takes 64
// tokens at least: a prompt with an image is long enough.)
TEST(GenerativeSession, PromptAndBudgetFillTheContextExactly) {
  const ReferenceChat chat = test::reference_chat("image_f16");
  ASSERT_GE(chat.prompt_tokens + 7, 64u);
  GenerativeSession g(chat.model, chat.prompt_tokens + 7);
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 7);
  ASSERT_TRUE(g.run(in.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answers_by_length[7]);
  EXPECT_EQ(vorn_output_generated_tokens(g.out), 7u);
  EXPECT_EQ(vorn_output_finish_reason(g.out), VORN_FINISH_LENGTH);
  vorn_input_set_max_tokens(in.input, 8);
  EXPECT_FALSE(g.run(in.input));
  EXPECT_EQ(g.code(), VORN_STATUS_CONTEXT_BUDGET);
  EXPECT_EQ(g.error(), "Prompt plus output exceeds context budget");
}

// Frames of every pixel layout, and a strided one, give the answer of the
// same picture as packed RGB (a grey frame: grey in all three channels).
TEST(GenerativeSession, EveryFrameLayoutGivesThePackedRgbAnswer) {
  const ReferenceChat chat = test::reference_chat("image_f16");
  const test::ChatMessage& message = chat.messages[0];
  VornFrame* picture = vorn_frame_new();
  const std::string path = std::string(VORN_TEST_DATA) + "/generation/lanczos/" + message.image;
  ASSERT_TRUE(vorn_frame_load_file(picture, path.data(), path.size()));
  const uint32_t w = vorn_frame_width(picture), h = vorn_frame_height(picture);
  ASSERT_EQ(vorn_frame_stride(picture), 3u * w);
  const std::vector<uint8_t> rgb(vorn_frame_data_ptr(picture), vorn_frame_data_ptr(picture) + 3u * w * h);
  vorn_frame_free(picture);
  GenerativeSession g(chat.model);
  auto answer = [&](const std::vector<uint8_t>& pixels, uint64_t stride, VornPixelFormat format) {
    VornFrame* frame = vorn_frame_new();
    // Borrowed, so that the frame keeps the layout and stride as given.
    EXPECT_TRUE(vorn_frame_set_pixels(frame, pixels.data(), pixels.size(), w, h, stride, format, 1, 0));
    ChatInput in;
    vorn_input_set_max_tokens(in.input, 8);
    vorn_input_add_image_message(in.input, message.role.data(), message.role.size(), frame, message.text.data(),
                                 message.text.size());
    vorn_session_reset(g.s);
    EXPECT_TRUE(g.run(in.input)) << g.error();
    vorn_frame_free(frame);
    return g.text();
  };
  // Each layout as bytes taken from a pixel's (R, G, B, filler), a row
  // padded to its stride with other bytes.
  struct Layout {
    const char* name;
    VornPixelFormat format;
    std::vector<int> channels;
    uint64_t padding;
  };
  const Layout layouts[] = {{"BGR", VORN_PIXEL_BGR, {2, 1, 0}, 0},        {"RGBA", VORN_PIXEL_RGBA, {0, 1, 2, 3}, 0},
                            {"BGRA", VORN_PIXEL_BGRA, {2, 1, 0, 3}, 0},    {"grey", VORN_PIXEL_GRAY, {1}, 0},
                            {"strided RGB", VORN_PIXEL_RGB, {0, 1, 2}, 13}};
  const std::string colour = answer(rgb, 3u * w, VORN_PIXEL_RGB);
  EXPECT_EQ(colour, chat.answers_by_length[8]);
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    const uint64_t stride = layout.channels.size() * w + layout.padding;
    std::vector<uint8_t> pixels(stride * h, 0xC3), grey;
    for (uint64_t p = 0; p < uint64_t(w) * h; ++p) {
      const uint8_t px[4] = {rgb[3 * p], rgb[3 * p + 1], rgb[3 * p + 2], uint8_t(p * 7)};
      for (size_t c = 0; c < layout.channels.size(); ++c)
        pixels[(p / w) * stride + (p % w) * layout.channels.size() + c] = px[layout.channels[c]];
      grey.insert(grey.end(), 3, px[1]);
    }
    const std::string want = layout.format == VORN_PIXEL_GRAY ? answer(grey, 3u * w, VORN_PIXEL_RGB) : colour;
    EXPECT_EQ(answer(pixels, stride, layout.format), want);
  }
}

TEST(GenerativeSession, SeedsDecideSampledText) {
  const ReferenceChat chat = test::reference_chat("text_q8");
  GenerativeSession g(chat.model);
  auto sampled = [&](uint64_t seed) {
    ChatInput in(chat);
    vorn_input_set_temperature(in.input, 1.0f);
    vorn_input_set_seed(in.input, seed);
    vorn_input_set_max_tokens(in.input, 24);
    EXPECT_TRUE(g.run(in.input)) << g.error();
    return g.text();
  };
  const std::string a = sampled(7);
  EXPECT_EQ(sampled(7), a);
  EXPECT_NE(sampled(8), a);
  EXPECT_NE(a, chat.answer);
}

// A second turn that extends the first reuses its KV cache and gives the
// same answer as a fresh session.
TEST(GenerativeSession, SecondTurnReusesThePrefix) {
  for (const char* name : {"multi_turn_f16", "multi_turn_q8"}) {
    SCOPED_TRACE(name);
    const ReferenceChat chat = test::reference_chat(name);
    GenerativeSession g(chat.model);
    ChatInput first(chat, 1);
    vorn_input_set_max_tokens(first.input, 16);
    ASSERT_TRUE(g.run(first.input)) << g.error();
    EXPECT_EQ(vorn_output_cached_prompt_tokens(g.out), 0u);
    ChatInput whole(chat);
    vorn_input_set_max_tokens(whole.input, 16);
    ASSERT_TRUE(g.run(whole.input)) << g.error();
    // The whole first message (its image included) and the assistant's
    // opening come from the cache.
    const uint32_t cached = vorn_output_cached_prompt_tokens(g.out);
    EXPECT_GT(cached, 70u);
    EXPECT_LT(cached, chat.prompt_tokens);
    EXPECT_EQ(g.text(), chat.answer);
    EXPECT_EQ(vorn_output_prompt_tokens(g.out), chat.prompt_tokens);
    // After a reset nothing is reused.
    ASSERT_TRUE(vorn_session_reset(g.s));
    ASSERT_TRUE(g.run(whole.input));
    EXPECT_EQ(vorn_output_cached_prompt_tokens(g.out), 0u);
    EXPECT_EQ(g.text(), chat.answer);
  }
}

TEST(GenerativeSession, ConstrainedOutputsValidate) {
  const ReferenceChat chat = test::reference_chat("text_f16");
  GenerativeSession g(chat.model);
  const std::string schema =
      R"({"type":"object","properties":{"count":{"type":"integer"},"name":{"type":"string","maxLength":8}},)"
      R"("required":["count","name"],"additionalProperties":false})";
  for (float temperature : {0.0f, 1.0f}) {
    SCOPED_TRACE(temperature);
    ChatInput in(chat);
    vorn_input_set_temperature(in.input, temperature);
    vorn_input_set_max_tokens(in.input, 64);
    vorn_input_set_json_schema(in.input, schema.data(), schema.size());
    ASSERT_TRUE(g.run(in.input)) << g.error();
    const nlohmann::json doc = nlohmann::json::parse(g.text());
    EXPECT_EQ(doc.size(), 2u);
    EXPECT_TRUE(doc["count"].is_number_integer());
    ASSERT_TRUE(doc["name"].is_string());
    // maxLength counts characters, not bytes.
    const std::string name = doc["name"];
    EXPECT_LE(std::count_if(name.begin(), name.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }), 8);
    EXPECT_NE(vorn_output_finish_reason(g.out), VORN_FINISH_CANCELLED);

    ChatInput amount(chat);
    vorn_input_set_temperature(amount.input, temperature);
    vorn_input_set_amount_decimals(amount.input, 2);
    vorn_input_set_max_tokens(amount.input, 32);
    ASSERT_TRUE(g.run(amount.input)) << g.error();
    EXPECT_TRUE(std::regex_match(g.text(), std::regex(R"(-?(0|[1-9][0-9]*)\.[0-9]{2})"))) << g.text();
  }
  // An amount completed on the last token of the budget finishes "length";
  // a token earlier, "stop_sequence"; the text is the same.
  ChatInput amount(chat);
  vorn_input_set_amount_decimals(amount.input, 2);
  vorn_input_set_max_tokens(amount.input, 32);
  ASSERT_TRUE(g.run(amount.input)) << g.error();
  const std::string text = g.text();
  const uint32_t used = vorn_output_generated_tokens(g.out);
  EXPECT_EQ(vorn_output_finish_reason(g.out), VORN_FINISH_STOP);
  for (uint32_t budget : {used, used + 1}) {
    vorn_input_set_max_tokens(amount.input, budget);
    ASSERT_TRUE(g.run(amount.input)) << g.error();
    EXPECT_EQ(g.text(), text);
    EXPECT_EQ(vorn_output_generated_tokens(g.out), used);
    EXPECT_EQ(vorn_output_finish_reason(g.out), budget == used ? VORN_FINISH_LENGTH : VORN_FINISH_STOP) << budget;
  }
  // A schema longer than the Input holds is cut: white space cut from its
  // end does no harm, a cut inside it is named as the cause.
  const std::string spaces(2100, ' ');
  ChatInput padded(chat);
  vorn_input_set_max_tokens(padded.input, 64);
  const std::string trailing = schema + spaces;
  vorn_input_set_json_schema(padded.input, trailing.data(), trailing.size());
  ASSERT_TRUE(g.run(padded.input)) << g.error();
  EXPECT_TRUE(nlohmann::json::parse(g.text()).contains("count"));
  const std::string inside = "{" + spaces + schema.substr(1);
  vorn_input_set_json_schema(padded.input, inside.data(), inside.size());
  EXPECT_FALSE(g.run(padded.input));
  EXPECT_EQ(g.code(), VORN_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(g.error(),
            "Malformed or unsupported JSON schema: the schema was longer than 2047 bytes and was cut to its first 2047");

  ChatInput bad(chat);
  const std::string broken = R"({"type":"object","properties":{}})";
  vorn_input_set_json_schema(bad.input, broken.data(), broken.size());
  EXPECT_FALSE(g.run(bad.input));
  EXPECT_EQ(g.code(), VORN_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(g.error(), "Objects require properties, required and additionalProperties:false");
}

// A prompt cut at its capacity keeps whole characters, so it still reads
// as text.
TEST(GenerativeSession, PromptCutAtAWholeCharacter) {
  const std::string& path = test::generative_model_path("patch_f16");
  VornSession* s = vorn_session_new(nullptr);
  vorn_session_set_context_length(s, 8192);
  ASSERT_TRUE(vorn_session_open(s, path.data(), path.size())) << vorn_session_error_message_ptr(s);
  VornInput* in = vorn_input_new();
  const std::string prompt = std::string(VORN_MAX_PROMPT_LEN - 1, 'a') + "\u00e9";
  vorn_input_set_prompt(in, prompt.data(), prompt.size());
  vorn_input_set_max_tokens(in, 1);
  VornOutput* out = vorn_output_new();
  EXPECT_TRUE(vorn_session_run(s, in, out)) << vorn_session_error_message_ptr(s);
  vorn_output_free(out);
  vorn_input_free(in);
  vorn_session_free(s);
}

TEST(GenerativeSession, RequestRefusals) {
  const ReferenceChat chat = test::reference_chat("text_f16");
  GenerativeSession g(chat.model);
  struct Row {
    const char* name;
    void (*set)(VornInput*);
    uint32_t code;
    const char* message;
  };
  const Row rows[] = {
      {"no prompt", [](VornInput*) {}, 1, "Generative Input requires a prompt or at least one chat message"},
      {"budget past the context",
       [](VornInput* in) {
         vorn_input_set_prompt(in, "Hi", 2);
         vorn_input_set_max_tokens(in, 2049);
       },
       1, "Invalid generation parameters"},
      {"prompt and budget past the context",
       [](VornInput* in) {
         vorn_input_set_prompt(in, "Hi", 2);
         vorn_input_set_max_tokens(in, 2048);
       },
       6, "Prompt plus output exceeds context budget"},
      {"top_p of 0",
       [](VornInput* in) {
         vorn_input_set_prompt(in, "Hi", 2);
         vorn_input_set_top_p(in, 0.0f);
       },
       1, "Invalid generation parameters"},
      {"schema with a stop",
       [](VornInput* in) {
         vorn_input_set_prompt(in, "Hi", 2);
         vorn_input_add_stop(in, "x", 1);
         vorn_input_set_amount_decimals(in, 2);
       },
       1, "Output constraints cannot be combined with stops or custom masks"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    VornInput* in = vorn_input_new();
    row.set(in);
    EXPECT_FALSE(g.run(in));
    EXPECT_EQ(g.code(), row.code);
    EXPECT_EQ(g.error(), row.message);
    vorn_input_free(in);
  }
  // The session works after every refusal.
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 16);
  ASSERT_TRUE(g.run(in.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answer);
}

}  // namespace
}  // namespace vorn
