// Generative sessions driven from two threads: a cancel while the prompt is
// prepared and prefilled and one while tokens are decoded (code 10, the
// session reusable), a second call while one runs (code 9), and unload,
// reload and reset between generations. Also built with ThreadSanitizer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/atomics.h"
#include "generation/vlm_interface.h"
#include "generative_session_fixture.h"
#include "session/session.h"

namespace vorn {
namespace {

using test::ChatInput;
using test::GenerativeSession;
using test::ReferenceChat;

void wait_until_busy(VornSession* s, const std::atomic<bool>& done) {
  while (!done && atomic_load_u32(&s->busy, 1) == 0) std::this_thread::yield();
}

// The run clears the flag when it starts, so a cancel is repeated until the
// run returns.
void cancel_until_done(VornSession* s, const std::atomic<bool>& done) {
  while (!done) {
    vorn_session_cancel(s);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// A run of the chat on g, cancelled from this thread once it holds the
// session (and, with a delay, that much later): code 10, then the same chat
// runs to the reference answer.
void cancelled_then_reusable(GenerativeSession& g, const ReferenceChat& chat, uint32_t max_tokens,
                             std::chrono::milliseconds delay) {
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, max_tokens);
  std::atomic<bool> done{false};
  bool ok = true;
  std::thread runner([&] {
    ok = g.run(in.input);
    done = true;
  });
  wait_until_busy(g.s, done);
  std::this_thread::sleep_for(delay);
  cancel_until_done(g.s, done);
  runner.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(g.code(), VORN_STATUS_CANCELLED);
  EXPECT_EQ(g.error(), "Generation was cancelled");
  ChatInput again(chat);
  vorn_input_set_max_tokens(again.input, 16);
  ASSERT_TRUE(g.run(again.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answer);
}

TEST(GenerativeConcurrency, CancelWhilePrefillingAndWhileDecoding) {
  const ReferenceChat tiled = test::reference_chat("tiled_f16");
  GenerativeSession g(tiled.model);
  cancelled_then_reusable(g, tiled, 64, std::chrono::milliseconds(0));
  // A budget of 1,500 tokens is still being decoded a moment after the
  // short prompt's prefill.
  const ReferenceChat text = test::reference_chat("text_f16");
  GenerativeSession t(text.model);
  cancelled_then_reusable(t, text, 1500, std::chrono::milliseconds(20));
}

TEST(GenerativeConcurrency, SecondCallWhileBusyIsRefused) {
  const ReferenceChat chat = test::reference_chat("text_f16");
  GenerativeSession g(chat.model);
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 1500);
  std::atomic<bool> done{false};
  std::thread runner([&] {
    g.run(in.input);
    done = true;
  });
  wait_until_busy(g.s, done);
  ASSERT_FALSE(done) << "the generation ended before the second call";
  VornOutput* other = vorn_output_new();
  EXPECT_FALSE(vorn_session_run(g.s, in.input, other));
  EXPECT_EQ(g.code(), VORN_STATUS_BUSY);
  EXPECT_EQ(g.error(), "Session is already executing an operation");
  EXPECT_FALSE(vorn_session_start(g.s, in.input, other));
  EXPECT_EQ(g.code(), VORN_STATUS_BUSY);
  for (auto op : {vorn_session_unload, vorn_session_reload, vorn_session_reset}) {
    EXPECT_FALSE(op(g.s));
    EXPECT_EQ(g.code(), VORN_STATUS_BUSY);
    EXPECT_EQ(g.error(), "Session is busy");
  }
  EXPECT_EQ(vorn_output_text_len(other), 0u);
  cancel_until_done(g.s, done);
  runner.join();
  vorn_output_free(other);
  ChatInput again(chat);
  vorn_input_set_max_tokens(again.input, 16);
  ASSERT_TRUE(g.run(again.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answer);
}

// A cancel at any moment of the session's life, from a thread that cancels
// without pause while this one opens the model again and again (each open
// releases the generative session of the one before), inspects, unloads,
// reloads, resets and runs it: no cancel ever reaches a released generative
// session (AddressSanitizer and ThreadSanitizer builds), and none stops an
// operation that is not a generation.
TEST(GenerativeConcurrency, CancelWhileTheSessionOpensAndReleases) {
  const ReferenceChat chat = test::reference_chat("text_f16");
  const std::string& path = test::generative_model_path(chat.model);
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 4);
  VornSession* s = vorn_session_new(nullptr);
  VornOutput* out = vorn_output_new();
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done) vorn_session_cancel(s);
  });
  for (int round = 0; round < 60; ++round) {
    bool ok = vorn_session_open(s, path.data(), path.size());
    switch (round % 4) {
      case 1: ok = ok && vorn_session_inspect(s, path.data(), path.size()); break;
      case 2: ok = ok && vorn_session_unload(s) && vorn_session_reload(s); break;
      case 3: ok = ok && vorn_session_reset(s); break;
    }
    // A generation meets the cancels too: it ends cancelled or, when it
    // outruns them, with its answer.
    if (ok && round % 4 != 1 && !vorn_session_run(s, in.input, out))
      ok = vorn_session_error_code(s) == VORN_STATUS_CANCELLED;
    EXPECT_TRUE(ok) << "round " << round << ": " << vorn_session_error_message_ptr(s);
    if (!ok) break;
  }
  done = true;
  canceller.join();
  vorn_output_free(out);
  vorn_session_free(s);
}

// The generation layer's own figures: a cancel that lands before the first
// token gives no tokens; one that lands while pieces stream gives some.
struct FlatSession {
  VlmSession* vlm = nullptr;
  explicit FlatSession(const std::string& model) {
    uint32_t code = 0;
    char message[256];
    const std::string& path = test::generative_model_path(model);
    EXPECT_TRUE(vlm_session_open_path(path.c_str(), 2048, 0, nullptr, 0, &vlm, &code, message, sizeof message))
        << message;
  }
  ~FlatSession() { vlm_close(vlm); }
};

struct Streamed {
  std::atomic<uint32_t> pieces{0};
  uint32_t generated = 0, finish = 0, code = 0;
  bool ok = false;
  char message[256] = "";
};

int32_t count_piece(void* context, const uint8_t*, uint64_t, uint64_t) {
  static_cast<Streamed*>(context)->pieces.fetch_add(1);
  return 0;
}

void flat_generate(VlmSession* vlm, const char* prompt, uint32_t max_tokens, Streamed* out) {
  const VlmChatMessage m{"user", prompt, 0, nullptr, 0, 0, 0, 0, 0, 0};
  out->ok = vlm_generate(vlm, &m, 1, max_tokens, 0, 0, nullptr, 0, 0.0, 1.0, 0.0, 1.0, 0, 0, nullptr, 0,
                         count_piece, out, nullptr, nullptr, nullptr, &out->generated, nullptr, &out->finish,
                         nullptr, &out->code, out->message,
                         sizeof out->message);
}

TEST(GenerativeConcurrency, CancelledGenerationsReportWhereTheyStopped) {
  FlatSession f("patch_f16");
  // While decoding: cancelled after the third piece has arrived.
  Streamed decode;
  std::atomic<bool> ended{false};
  std::thread runner([&] {
    flat_generate(f.vlm, "Name three colours of apples.", 1500, &decode);
    ended = true;
  });
  // A generation that ends by itself first fails below rather than hangs.
  while (!ended && decode.pieces.load() < 3) std::this_thread::yield();
  vlm_cancel(f.vlm);
  runner.join();
  EXPECT_TRUE(decode.ok) << decode.message;
  EXPECT_EQ(decode.finish, VORN_FINISH_CANCELLED);
  EXPECT_GE(decode.generated, 3u);
  EXPECT_LT(decode.generated, 1500u);
  // Before the first token: a cancel set while the long prompt is prepared
  // or prefilled (repeated, since the generation clears it as it starts).
  const std::string prompt(1500, 'a');
  Streamed prefill;
  std::atomic<bool> done{false};
  std::thread second([&] {
    flat_generate(f.vlm, prompt.c_str(), 16, &prefill);
    done = true;
  });
  while (!done && f.vlm->busy.load() == 0) std::this_thread::yield();
  while (!done) {
    vlm_cancel(f.vlm);
    std::this_thread::yield();
  }
  second.join();
  EXPECT_TRUE(prefill.ok) << prefill.message;
  EXPECT_EQ(prefill.finish, VORN_FINISH_CANCELLED);
  EXPECT_EQ(prefill.generated, 0u);
  EXPECT_EQ(prefill.pieces.load(), 0u);
}

TEST(GenerativeConcurrency, UnloadReloadAndResetBetweenGenerations) {
  const ReferenceChat chat = test::reference_chat("image_q8");
  GenerativeSession g(chat.model);
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 16);
  ASSERT_TRUE(vorn_session_unload(g.s));
  ASSERT_TRUE(vorn_session_unload(g.s));
  EXPECT_FALSE(g.run(in.input));
  EXPECT_EQ(g.error(), "Session is not opened (or was unloaded)");
  ASSERT_TRUE(vorn_session_reload(g.s)) << g.error();
  ASSERT_TRUE(g.run(in.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answer);
  // A cancel between generations is forgotten by the next one.
  vorn_session_cancel(g.s);
  ASSERT_TRUE(g.run(in.input)) << g.error();
  EXPECT_GT(vorn_output_cached_prompt_tokens(g.out), 0u);
  ASSERT_TRUE(vorn_session_reset(g.s));
  ASSERT_TRUE(g.run(in.input));
  EXPECT_EQ(vorn_output_cached_prompt_tokens(g.out), 0u);
  EXPECT_EQ(g.text(), chat.answer);

  // A session opened from a descriptor reloads from its own duplicate after
  // the caller closed theirs.
  const std::string& path = test::generative_model_path(chat.model);
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  VornSession* s = vorn_session_new(nullptr);
  ASSERT_TRUE(vorn_session_open_fd(s, fd, 0, uint64_t(lseek(fd, 0, SEEK_END)))) << vorn_session_error_message_ptr(s);
  close(fd);
  ASSERT_TRUE(vorn_session_unload(s));
  ASSERT_TRUE(vorn_session_reload(s)) << vorn_session_error_message_ptr(s);
  ASSERT_TRUE(vorn_session_run(s, in.input, g.out)) << vorn_session_error_message_ptr(s);
  EXPECT_EQ(g.text(), chat.answer);
  vorn_session_free(s);
}

}  // namespace
}  // namespace vorn
