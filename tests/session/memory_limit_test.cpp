// Under an address-space limit a run returns: an image generation and a
// tensor model whose products are large enough to spread over the pool run
// in child processes limited with setrlimit(RLIMIT_AS) to a little more
// than they hold when the run starts, and each run must answer (its result,
// or an out-of-memory status) within the time limit, never hang and never
// end the process. (The BLAS library the products once used reserved
// 128 MB per calling thread and retried forever when the reservation
// failed.)
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "platform/parallel.h"
#include "reference/child_process.h"
#include "reference/process_status.h"
#include "session/generative_session_fixture.h"
#include "session/test_models.h"
#include "vorn.h"

namespace vorn {
namespace {

// Set in the children: the address space the runs may add, in MiB.
constexpr const char* kHeadroomEnv = "VORN_TEST_AS_HEADROOM_MIB";

std::string answer(const char* what, bool ok, VornSession* s) {
  if (ok) return std::string("ANSWER ") + what + " ok\n";
  return std::string("ANSWER ") + what + " status " + std::to_string(vorn_session_error_code(s)) + " " +
         vorn_session_error_message_ptr(s) + "\n";
}

TEST(MemoryLimitChild, RunsUnderTheLimit) {
  const char* headroom = std::getenv(kHeadroomEnv);
  if (headroom == nullptr) GTEST_SKIP() << "runs in the limited children only";
  // What the process holds before the runs: the pool's threads and both
  // models open.
  parallel_thread_count();
  test::GenerativeSession chat("patch_f16");
  test::ChatInput image(test::reference_chat("image_f16"));
  test::ModelBuilder b;
  const uint64_t x = b.input({64, 512}, "x");
  const uint64_t w = b.weight({1000, 512}, test::ramp(1000 * 512, -1.0f, 1.0f / 262144));
  const uint64_t y = b.output({64, 1000}, "y");
  b.node(op::Gemm, {x, w}, {y}, {{attr::Gemm::kTransB, 1}});
  test::ModelFile file(b);
  ASSERT_TRUE(file.ok()) << file.error;
  VornSession* tensor = vorn_session_new(nullptr);
  ASSERT_TRUE(vorn_session_open(tensor, file.path.c_str(), file.path.size()));
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  const std::vector<float> data = test::ramp(64 * 512, 0.5f, -1.0f / 4096);
  ASSERT_TRUE(vorn_input_set_f32(in, 0, data.data(), data.size(), 1));

  const rlim_t limit = rlim_t(test::status_bytes("VmSize") + uint64_t(std::atoi(headroom)) * 1048576);
  const rlimit as{limit, limit};
  ASSERT_EQ(setrlimit(RLIMIT_AS, &as), 0);
  std::fputs(answer("generation", chat.run(image.input), chat.s).c_str(), stdout);
  std::fputs(answer("tensor", vorn_session_run(tensor, in, out), tensor).c_str(), stdout);
  std::fflush(stdout);
  vorn_output_free(out);
  vorn_input_free(in);
  vorn_session_free(tensor);
}

TEST(MemoryLimit, RunsReturnUnderAnAddressSpaceLimit) {
  for (int headroom : {4, 16, 48, 128, 256}) {
    SCOPED_TRACE(::testing::Message() << headroom << " MiB of headroom");
    const test::ChildRun run =
        test::run_child_case("MemoryLimitChild.RunsUnderTheLimit", {{kHeadroomEnv, std::to_string(headroom)}}, 120);
    ASSERT_TRUE(run.finished) << "the child hung\n" << run.output;
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << "status " << run.status << "\n" << run.output;
    for (const char* what : {"generation", "tensor"}) {
      const std::string ok = std::string("ANSWER ") + what + " ok";
      const std::string oom = std::string("ANSWER ") + what + " status " + std::to_string(VORN_STATUS_OUT_OF_MEMORY);
      const bool out_of_memory = headroom < 256 && run.output.find(oom) != std::string::npos;
      EXPECT_TRUE(run.output.find(ok) != std::string::npos || out_of_memory) << run.output;
    }
  }
}

}  // namespace
}  // namespace vorn
