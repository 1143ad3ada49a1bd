// Runs one case of this test binary again in a child process, with extra
// environment variables, and waits for it at most a given time: for tests
// of what a run does to its whole process (limits set with setrlimit, a
// hang, an exit), which must not take the test binary down with it.
#pragma once
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

struct ChildRun {
  bool finished = false;  // false: killed at the time limit
  int status = 0;         // as waitpid gives it
  std::string output;     // standard output and error together
};

inline double child_clock() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// `self --gtest_filter=test` with env added to the environment.
inline ChildRun run_child_case(const std::string& test, const std::vector<std::pair<std::string, std::string>>& env,
                               double seconds) {
  ChildRun run;
  int out[2];
  if (pipe(out) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    close(out[1]);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    const std::string filter = "--gtest_filter=" + test;
    execl("/proc/self/exe", "child", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  const double deadline = child_clock() + seconds;
  for (;;) {
    const double left = deadline - child_clock();
    if (left <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, int(left * 1000) + 1) <= 0) continue;
    char buf[4096];
    const ssize_t got = read(out[0], buf, sizeof buf);
    if (got <= 0) {  // the child closed its output: it has ended
      run.finished = true;
      break;
    }
    run.output.append(buf, size_t(got));
  }
  close(out[0]);
  while (waitpid(pid, &run.status, run.finished ? WNOHANG : 0) == 0) {
    if (child_clock() > deadline) {  // closed its output but lives on
      kill(pid, SIGKILL);
      run.finished = false;
      waitpid(pid, &run.status, 0);
      break;
    }
    usleep(10000);
  }
  return run;
}

}  // namespace vorn::test
