// The library where the system refuses new threads (a process limit): the
// worker pool works with the workers it could start, or none, and answers
// as it does unlimited; the weight loader fails the open with its own status
// (VORN_STATUS_IO, "I/O failed"); background blocks run on the caller. Each
// case runs this binary again in a child process under RLIMIT_NPROC, as a
// user of its own when the test runs as root (whom the limit spares), so the
// limit counts only the child's threads; a refused thread must never end
// the child (std::terminate gives status 134).
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "generative_session_fixture.h"
#include "platform/dispatch_queue.h"
#include "platform/parallel.h"
#include "session/test_models.h"
#include "vorn.h"

namespace vorn {
namespace {

constexpr const char* kChildEnv = "VORN_THREAD_LIMIT_CHILD";
// A same-shaped Add this large is split over the pool.
constexpr uint64_t kElements = 1 << 18;

// A CPU session whose weights load with that many threads.
VornSession* session_with_threads(int32_t threads) {
  VornConfig* config = vorn_config_new();
  vorn_config_set_threads(config, threads);
  vorn_config_set_backend(config, VORN_BACKEND_CPU);
  VornSession* s = vorn_session_new(config);
  vorn_config_free(config);
  return s;
}

// The checks, in a child whose thread limit the parent set.
TEST(ThreadLimit, Child) {
  const char* limit = std::getenv(kChildEnv);
  if (limit == nullptr) GTEST_SKIP() << "runs in the children of ThreadLimit.NoRefusedThreadEndsTheProcess";
  test::ModelBuilder b;
  const std::vector<float> x = test::ramp(kElements, -3.0f, 1.0f / 4096), w = test::ramp(kElements, 5.0f, -1.0f / 8192);
  const uint64_t xi = b.input({1, kElements}, "x"), wi = b.weight({1, kElements}, w);
  b.node(op::Add, {xi, wi}, {b.output({1, kElements}, "y")});
  const test::ModelFile file(b);
  ASSERT_TRUE(file.ok()) << file.error;

  // One loader thread (the caller): the open starts none, the run starts
  // the pool, with what the limit leaves.
  VornSession* s = session_with_threads(1);
  ASSERT_TRUE(vorn_session_open(s, file.path.data(), file.path.size())) << vorn_session_error_message_ptr(s);
  VornInput* in = vorn_input_new();
  VornOutput* out = vorn_output_new();
  ASSERT_TRUE(vorn_input_set_f32(in, 0, x.data(), x.size(), 0));
  ASSERT_TRUE(vorn_session_run(s, in, out)) << vorn_session_error_message_ptr(s);
  EXPECT_LE(parallel_thread_count(), size_t(std::atoi(limit)));
  const float* y = vorn_output_f32_ptr(out, 0);
  for (uint64_t i = 0; i < kElements; ++i) ASSERT_EQ(y[i], x[i] + w[i]) << i;

  // Eight loader threads: the limit refuses them and the open fails as the
  // loader says.
  VornSession* eight = session_with_threads(8);
  EXPECT_FALSE(vorn_session_open(eight, file.path.data(), file.path.size()));
  EXPECT_EQ(vorn_session_error_code(eight), VORN_STATUS_IO);
  EXPECT_STREQ(vorn_session_error_message_ptr(eight), "I/O failed");
  const std::string& generative = test::generative_model_path("patch_f16");
  EXPECT_FALSE(vorn_session_open(eight, generative.data(), generative.size()));
  EXPECT_EQ(vorn_session_error_code(eight), VORN_STATUS_IO);
  vorn_session_free(eight);

  // A background block runs, on the caller when no queue thread starts.
  auto group = std::make_shared<DispatchGroup>();
  bool ran = false;
  dispatch_group_async(group, [&ran] { ran = true; });
  group->wait();
  EXPECT_TRUE(ran);
  vorn_output_free(out);
  vorn_input_free(in);
  vorn_session_free(s);
}

// This binary's Child case in a child process allowed `threads` threads in
// all; its exit status, or 128 + the signal that ended it.
int run_limited_child(int threads, std::string* output) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return -1;
  self[n] = 0;
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], 1);
    dup2(pipe_fds[1], 2);
    close(pipe_fds[0]);
    // Root is not held to the limit: the child becomes a user nobody else
    // is, whose only threads are its own.
    if (geteuid() == 0) {
      const uid_t id = 40000 + uid_t(getpid() % 20000);
      if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) _exit(125);
    }
    const rlimit limit{rlim_t(threads), rlim_t(threads)};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(125);
    setenv(kChildEnv, std::to_string(threads).c_str(), 1);
    // In sanitizer builds: LeakSanitizer needs a thread of its own at exit,
    // which the limit refuses.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
    char filter[] = "--gtest_filter=ThreadLimit.Child";
    char* argv[] = {self, filter, nullptr};
    execv(self, argv);
    _exit(127);
  }
  close(pipe_fds[1]);
  char buf[4096];
  ssize_t got;
  while ((got = read(pipe_fds[0], buf, sizeof buf)) > 0) output->append(buf, size_t(got));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ThreadLimit, NoRefusedThreadEndsTheProcess) {
  // 1: no thread at all; 3: two workers, then a refusal.
  for (int threads : {1, 3}) {
    std::string output;
    EXPECT_EQ(run_limited_child(threads, &output), 0) << "limit " << threads << ":\n" << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace vorn
