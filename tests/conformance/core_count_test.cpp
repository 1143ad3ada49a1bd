// The same input gives the same bits whatever the number of cores: the
// conformance cases and products whose work is cut for the pool run in
// child processes pinned with taskset to 1, 2, 3 and 8 cores (as many of
// those as this machine allows; the pool is sized once per process from its
// affinity), and every output's digest must agree with the one-core run.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "generation/pinned_child.h"

namespace {

// name -> digest line of one child run on the given CPUs.
std::map<std::string, std::string> run_child(const std::vector<int>& cpus, size_t count) {
  std::string list;
  for (size_t i = 0; i < count; ++i) list += (i ? "," : "") + std::to_string(cpus[i]);
  const std::string cmd = "taskset -c " + list + " " + CORE_COUNT_CHILD + " 2>&1";
  std::map<std::string, std::string> lines;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return lines;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) {
    std::istringstream in(buf);
    std::string name, rest;
    in >> name;
    std::getline(in, rest);
    lines[name] = rest;
  }
  EXPECT_EQ(pclose(p), 0) << cmd;
  return lines;
}

TEST(CoreCount, OutputsAreTheSameBitsOnOneTwoThreeAndEightCores) {
  const std::vector<int> cpus = vorn::test::allowed_cpus();
  ASSERT_FALSE(cpus.empty());
  const std::map<std::string, std::string> one = run_child(cpus, 1);
  // The products, and at least the network cases of the fixtures.
  ASSERT_GT(one.size(), 40u);
  for (const auto& [name, line] : one) EXPECT_EQ(line.find("refused"), std::string::npos) << name << line;
  for (size_t count : {2, 3, 8}) {
    if (count > cpus.size()) {
      std::printf("core count %zu skipped: %zu CPUs allowed\n", count, cpus.size());
      continue;
    }
    SCOPED_TRACE(::testing::Message() << count << " cores");
    const std::map<std::string, std::string> many = run_child(cpus, count);
    ASSERT_EQ(many.size(), one.size());
    for (const auto& [name, line] : one) EXPECT_EQ(many.at(name), line) << name;
  }
}

}  // namespace
