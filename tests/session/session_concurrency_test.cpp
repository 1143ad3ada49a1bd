// A run cancelled from a second thread, and a second run refused while the
// first holds the session. Also built in the ThreadSanitizer configuration
// (-DVORN_SANITIZE=thread), where the flags' atomics are checked too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/atomics.h"
#include "session/session.h"
#include "tests/session/test_models.h"
#include "vorn.h"

namespace vorn::test {
namespace {

constexpr uint64_t kElements = 1 << 15;
constexpr uint64_t kNodes = 4000;

struct LongModel {
  ModelBuilder b = long_chain_model(kElements, kNodes);
  ModelFile file{b};
};

LongModel& long_model() {
  static LongModel* m = new LongModel();
  return *m;
}

struct Open {
  VornSession* s = vorn_session_new(nullptr);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  std::vector<float> x = ramp(kElements, -1.0f, 1.0f / kElements);
  Open() {
    const std::string& p = long_model().file.path;
    EXPECT_TRUE(vorn_session_open(s, p.data(), p.size())) << vorn_session_error_message_ptr(s);
    EXPECT_TRUE(vorn_input_set_f32(in, 0, x.data(), x.size(), 0));
  }
  ~Open() {
    vorn_output_free(out);
    vorn_input_free(in);
    vorn_session_free(s);
  }
};

TEST(SessionConcurrency, UncancelledRunCompletes) {
  Open o;
  ASSERT_TRUE(vorn_session_run(o.s, o.in, o.out)) << vorn_session_error_message_ptr(o.s);
  ASSERT_EQ(vorn_output_elem_count(o.out, 0), kElements);
  const float* y = vorn_output_f32_ptr(o.out, 0);
  for (uint64_t i = 0; i < kElements; ++i) ASSERT_EQ(y[i], o.x[i] > 0 ? o.x[i] : 0.0f);
}

// Waits until the runner holds the session. The busy flag is read with
// acquire, which also orders the runner's start before what follows.
void wait_until_busy(VornSession* s, const std::atomic<bool>& done) {
  while (!done && atomic_load_u32(&s->busy, 1) == 0) std::this_thread::yield();
}

// Cancels until the run returns: the run clears the flag when it starts, so
// one early cancel could be lost. The cancel store (release) read by the
// engine (acquire) also orders this thread's record reads before the
// runner's final record write.
void cancel_until_done(VornSession* s, const std::atomic<bool>& done) {
  while (!done) {
    vorn_session_cancel(s);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

TEST(SessionConcurrency, CancelFromAnotherThreadStopsTheRun) {
  Open o;
  std::atomic<bool> done{false};
  bool ok = true;
  std::thread runner([&] {
    ok = vorn_session_run(o.s, o.in, o.out);
    done = true;
  });
  wait_until_busy(o.s, done);
  ASSERT_FALSE(done) << "the run ended before it could be cancelled";
  // A second run while the first holds the session is refused, and the
  // refusal leaves the holder's flag alone.
  VornOutput* other = vorn_output_new();
  EXPECT_FALSE(vorn_session_run(o.s, o.in, other));
  EXPECT_EQ(vorn_session_error_code(o.s), VORN_STATUS_BUSY);
  EXPECT_STREQ(vorn_session_error_message_ptr(o.s), "Session is already executing an operation");
  EXPECT_EQ(vorn_output_tensor_count(other), 0u);
  cancel_until_done(o.s, done);
  runner.join();
  vorn_output_free(other);
  EXPECT_FALSE(ok);
  EXPECT_EQ(vorn_session_error_code(o.s), VORN_STATUS_CANCELLED);
  EXPECT_STREQ(vorn_session_error_message_ptr(o.s), "Inference was cancelled");
  EXPECT_EQ(vorn_output_tensor_count(o.out), 0u);
  // The flag was released: the session runs again.
  ASSERT_TRUE(vorn_session_run(o.s, o.in, o.out)) << vorn_session_error_message_ptr(o.s);
  EXPECT_EQ(vorn_output_tensor_count(o.out), 1u);
}

// Unload, reload and reset refuse while a run holds the session and leave
// the engine in place.
TEST(SessionConcurrency, LifecycleRefusedWhileRunning) {
  Open o;
  std::atomic<bool> done{false};
  std::thread runner([&] {
    vorn_session_run(o.s, o.in, o.out);
    done = true;
  });
  wait_until_busy(o.s, done);
  ASSERT_FALSE(done);
  EXPECT_FALSE(vorn_session_unload(o.s));
  EXPECT_EQ(vorn_session_error_code(o.s), VORN_STATUS_BUSY);
  EXPECT_FALSE(vorn_session_reset(o.s));
  EXPECT_FALSE(vorn_session_reload(o.s));
  EXPECT_STREQ(vorn_session_error_message_ptr(o.s), "Session is busy");
  const std::string& p = long_model().file.path;
  EXPECT_FALSE(vorn_session_inspect(o.s, p.data(), p.size()));
  EXPECT_EQ(vorn_session_error_code(o.s), VORN_STATUS_BUSY);
  cancel_until_done(o.s, done);
  runner.join();
  EXPECT_EQ(vorn_session_active_backend(o.s), VORN_BACKEND_GPU);
  EXPECT_TRUE(vorn_session_reset(o.s));
  ASSERT_TRUE(vorn_session_run(o.s, o.in, o.out)) << vorn_session_error_message_ptr(o.s);
}

// A cancel at any moment of a tensor session's life, from a thread that
// cancels without pause: opens (with a warm-up run), inspects, unloads,
// reloads and resets all succeed, and a run ends cancelled or with its
// answer.
TEST(SessionConcurrency, CancelWhileTheSessionOpensAndReleases) {
  ModelBuilder b = long_chain_model(64, 8);
  const ModelFile file{b};
  VornSession* s = vorn_session_new(nullptr);
  vorn_session_set_warmup(s, 1);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  const std::vector<float> x = ramp(64, -1.0f, 1.0f / 32);
  ASSERT_TRUE(vorn_input_set_f32(in, 0, x.data(), x.size(), 0));
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    while (!done) vorn_session_cancel(s);
  });
  const std::string& p = file.path;
  for (int round = 0; round < 100; ++round) {
    bool ok = vorn_session_open(s, p.data(), p.size());
    switch (round % 4) {
      case 1: ok = ok && vorn_session_inspect(s, p.data(), p.size()) && vorn_session_reload(s); break;
      case 2: ok = ok && vorn_session_unload(s) && vorn_session_reload(s); break;
      case 3: ok = ok && vorn_session_reset(s); break;
    }
    if (ok && !vorn_session_run(s, in, out)) ok = vorn_session_error_code(s) == VORN_STATUS_CANCELLED;
    EXPECT_TRUE(ok) << "round " << round << ": " << vorn_session_error_message_ptr(s);
    if (!ok) break;
  }
  done = true;
  canceller.join();
  vorn_output_free(out);
  vorn_input_free(in);
  vorn_session_free(s);
}

// Two threads running one session at once, each refused while the other
// holds it: a refusal leaves the session's record to the holder
// (ThreadSanitizer: no refusal writes it while the holder does), and once
// both are done the record holds the last run's result.
TEST(SessionConcurrency, RefusalLeavesTheRecordToTheHolder) {
  ModelBuilder b = long_chain_model(64, 8);
  const ModelFile file{b};
  VornSession* s = vorn_session_new(nullptr);
  ASSERT_TRUE(vorn_session_open(s, file.path.data(), file.path.size())) << vorn_session_error_message_ptr(s);
  struct Caller {
    VornInput* in = vorn_input_new();
    VornOutput* out = vorn_output_new();
    std::vector<float> x = ramp(64, -1.0f, 1.0f / 32);
    int ran = 0, refused = 0;
    Caller() { EXPECT_TRUE(vorn_input_set_f32(in, 0, x.data(), x.size(), 0)); }
    ~Caller() {
      vorn_output_free(out);
      vorn_input_free(in);
    }
  } first, second;
  // On a loaded host the two may take turns for a long time without
  // meeting: the first caller goes on until one of them has been refused.
  std::atomic<bool> done{false};
  std::atomic<int> refusals{0};
  auto run = [&](Caller& c) {
    if (vorn_session_run(s, c.in, c.out)) {
      ++c.ran;
    } else {
      ++c.refused;
      ++refusals;
    }
  };
  std::thread runner([&] {
    for (int i = 0; i < 3000 || (refusals == 0 && i < 3000000); ++i) run(first);
    done = true;
  });
  while (!done) run(second);
  runner.join();
  EXPECT_GT(first.refused + second.refused, 0);
  EXPECT_EQ(vorn_session_error_code(s), VORN_STATUS_OK) << vorn_session_error_message_ptr(s);
  for (const Caller* c : {&first, &second}) {
    if (c->ran == 0) continue;
    const float* y = vorn_output_f32_ptr(c->out, 0);
    for (size_t i = 0; i < c->x.size(); ++i) ASSERT_EQ(y[i], c->x[i] > 0 ? c->x[i] : 0.0f);
  }
  vorn_session_free(s);
}

}  // namespace
}  // namespace vorn::test
