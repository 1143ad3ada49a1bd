// After a run, an open session at rest costs the process no CPU: no thread
// of the library spins or polls while the application does nothing. Nor
// once the session is freed, when the worker pool's threads are still there.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/parallel.h"
#include "session/test_models.h"
#include "vorn.h"

namespace vorn {
namespace {

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

size_t threads_named(const std::string& name) {
  size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    n += comm == name;
  }
  return n;
}

TEST(IdleSession, UsesNoCpuAtRest) {
  // A product large enough to be split over the worker pool.
  test::ModelBuilder b;
  const uint64_t x = b.input({64, 512}, "x");
  const uint64_t w = b.weight({512, 512}, test::ramp(512 * 512, -1.0f, 1.0f / 65536));
  const uint64_t y = b.output({64, 512}, "y");
  b.node(op::MatMul, {x, w}, {y});
  test::ModelFile file(b);
  ASSERT_TRUE(file.ok()) << file.error;
  VornSession* s = vorn_session_new(nullptr);
  ASSERT_TRUE(vorn_session_open(s, file.path.c_str(), file.path.size())) << vorn_session_error_message_ptr(s);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  const std::vector<float> data = test::ramp(64 * 512, 0.5f, -1.0f / 4096);
  ASSERT_TRUE(vorn_input_set_f32(in, 0, data.data(), data.size(), 1));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(vorn_session_run(s, in, out)) << vorn_session_error_message_ptr(s);

  const double before = cpu_seconds();
  timespec rest{10, 0};
  while (nanosleep(&rest, &rest) != 0) {
  }
  EXPECT_LT(cpu_seconds() - before, 0.010);
  vorn_output_free(out);
  vorn_input_free(in);
  vorn_session_free(s);

  // With every handle freed the pool's workers live on, asleep, and still
  // cost nothing.
  EXPECT_EQ(threads_named("vorn-worker"), parallel_thread_count() - 1);
  const double freed = cpu_seconds();
  rest = {2, 0};
  while (nanosleep(&rest, &rest) != 0) {
  }
  EXPECT_LT(cpu_seconds() - freed, 0.005);
}

}  // namespace
}  // namespace vorn
