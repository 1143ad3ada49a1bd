// Runs this test binary again in child processes pinned with taskset to the
// first n cores (the worker pool is sized once per process, from the cores
// it may run on), each running one gtest case that prints a result line;
// the lines are compared across core counts.
#pragma once
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vorn::test {

// Set in the children: the case named by the filter prints its answer.
inline constexpr const char* kPinnedChildEnv = "VORN_PINNED_CHILD";

inline bool in_pinned_child() { return std::getenv(kPinnedChildEnv) != nullptr; }

// The CPUs this process may run on, in order.
inline std::vector<int> allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &set)) cpus.push_back(c);
  return cpus;
}

// The core counts 1, 2, 3, 8 that this machine can give (at least 1).
inline std::vector<int> pinned_core_counts() {
  cpu_set_t set;
  CPU_ZERO(&set);
  int available = 1;
  if (sched_getaffinity(0, sizeof set, &set) == 0) available = CPU_COUNT(&set);
  std::vector<int> counts;
  for (int n : {1, 2, 3, 8})
    if (n <= available) counts.push_back(n);
  return counts;
}

// The standard output of `taskset -c <first n allowed cores> self --gtest_filter=test`.
inline std::string run_pinned(int cores, const std::string& test) {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  std::string list;
  for (int c = 0, taken = 0; c < CPU_SETSIZE && taken < cores; ++c) {
    if (!CPU_ISSET(c, &set)) continue;
    list += (taken++ ? "," : "") + std::to_string(c);
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = 0;
  const std::string command = std::string(kPinnedChildEnv) + "=1 taskset -c " + list + " '" + self +
                              "' --gtest_filter=" + test + " 2>&1";
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, got);
    pclose(p);
  }
  // Only the answer lines the child printed.
  std::string answer;
  size_t pos = 0;
  while ((pos = out.find("ANSWER ", pos)) != std::string::npos) {
    const size_t end = out.find('\n', pos);
    answer += out.substr(pos, end - pos) + "\n";
    pos = end;
  }
  return answer;
}

}  // namespace vorn::test
