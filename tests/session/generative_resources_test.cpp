// What generative sessions cost the process: memory and descriptors stay
// flat over 1,000 open/generate/free cycles, an open holds its weights once
// (the KV cache comes with the first generation), and a session at rest
// between generations uses no CPU.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <filesystem>
#include <fstream>

#include "container/container.h"
#include "generation/pinned_child.h"
#include "generative_session_fixture.h"
#include "reference/process_status.h"

namespace vorn {
namespace {

using test::ChatInput;
using test::GenerativeSession;

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

using test::status_bytes;

// Heap bytes in use, small and mapped blocks alike.
uint64_t heap_bytes() {
  malloc_trim(0);
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

uint64_t open_descriptors() {
  uint64_t n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) n += !e.path().empty();
  return n;
}

void generate_once(const std::string& model) {
  GenerativeSession g(model);
  VornInput* in = vorn_input_new();
  vorn_input_set_prompt(in, "Hi", 2);
  vorn_input_set_max_tokens(in, 2);
  ASSERT_TRUE(g.run(in)) << g.error();
  EXPECT_EQ(vorn_output_generated_tokens(g.out), 2u);
  vorn_input_free(in);
}

TEST(GenerativeResources, ThousandOpenGenerateFreeCyclesKeepMemoryFlat) {
  for (int i = 0; i < 20; ++i) generate_once("shuffle_q8");
  const uint64_t heap = heap_bytes(), fds = open_descriptors();
  for (int i = 0; i < 1000 && !HasFailure(); ++i) generate_once("shuffle_q8");
  EXPECT_LT(heap_bytes(), heap + (256u << 10)) << heap;
  EXPECT_EQ(open_descriptors(), fds);
}

// Measured in a fresh process, so that the peak is this open's alone: while
// the model opens, the resident set grows by its weights and no more than
// a fixed allowance (the processor's tables, the graph's records, the
// loader's stacks, the library's code as it is first run).
TEST(GenerativeResources, OpenHoldsTheWeightsOnce) {
  const char* model = "patch_f16";
  const std::vector<uint8_t>& file = test::generative_model_file(model);
  const uint64_t weights = file.size() - container_read_u64(file.data(), 48);
  if (test::in_pinned_child()) {
    const std::string& path = test::generative_model_path(model);
    VornSession* s = vorn_session_new(nullptr);
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const uint64_t base = status_bytes("VmRSS");
    ASSERT_TRUE(vorn_session_open(s, path.data(), path.size()));
    std::printf("ANSWER %lu\n", status_bytes("VmHWM") - base);
    vorn_session_free(s);
    return;
  }
  const std::string answer = test::run_pinned(test::pinned_core_counts().back(), "GenerativeResources.OpenHoldsTheWeightsOnce");
  ASSERT_FALSE(answer.empty());
  const uint64_t grown = std::stoull(answer.substr(7));
  EXPECT_LE(grown, weights + (3u << 19)) << "for " << weights << " bytes of weights";
  std::printf("open grew the resident set by %lu bytes for %lu bytes of weights\n", grown, weights);
}

TEST(GenerativeResources, IdleSessionUsesNoCpu) {
  const test::ReferenceChat chat = test::reference_chat("image_f16");
  GenerativeSession g(chat.model);
  ChatInput in(chat);
  vorn_input_set_max_tokens(in.input, 16);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(g.run(in.input)) << g.error();
  const double before = cpu_seconds();
  timespec rest{1, 0};
  while (nanosleep(&rest, &rest) != 0) {
  }
  EXPECT_LT(cpu_seconds() - before, 0.010);
  ASSERT_TRUE(g.run(in.input)) << g.error();
  EXPECT_EQ(g.text(), chat.answer);
}

}  // namespace
}  // namespace vorn
