// Runs of small layers handed to two threads give the bits of the one-core
// pass: pair_run_child builds a table of graphs (odd heights, strides, pads,
// pools, residual joins, depthwise and pointwise layers), in each kernel
// form, under taskset on 1, 2, 3 and 8 cores (as many as this machine
// allows). Every run must match plain loops, repeat its own bits and give
// the one-core bits; with two or more cores the engine must take the
// two-thread path in the AVX forms; the workers must sleep once the runs
// end.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "generation/pinned_child.h"

namespace {

struct ChildRun {
  std::map<std::string, std::map<std::string, std::string>> cases;  // name -> key -> value
  double idle_ms = -1;
};

ChildRun run_child(const std::vector<int>& cpus, size_t count) {
  std::string list;
  for (size_t i = 0; i < count; ++i) list += (i ? "," : "") + std::to_string(cpus[i]);
  const std::string cmd = "taskset -c " + list + " " + PAIR_RUN_CHILD + " 2>&1";
  ChildRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p) != nullptr) {
    std::istringstream in(buf);
    std::string name, word;
    in >> name;
    while (in >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) r.cases[name]["text"] += word + " ";
      else r.cases[name][word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  EXPECT_EQ(pclose(p), 0) << cmd;
  if (r.cases.count("idle")) r.idle_ms = std::stod(r.cases["idle"]["cpu_ms"]);
  r.cases.erase("idle");
  return r;
}

TEST(PairRun, TwoThreadRunsGiveTheOneCoreBits) {
  const std::vector<int> cpus = vorn::test::allowed_cpus();
  ASSERT_FALSE(cpus.empty());
  const ChildRun one = run_child(cpus, 1);
  // Three graphs in three kernel forms, and nested in a loop of the pool.
  ASSERT_EQ(one.cases.size(), 12u);
  for (auto& [name, kv] : one.cases) {
    EXPECT_EQ(kv.at("ref"), "ok") << name;
    EXPECT_EQ(kv.at("stable"), "1") << name;
    EXPECT_EQ(kv.at("planned"), "0") << name;
  }
  for (size_t count : {2, 3, 8}) {
    if (count > cpus.size()) {
      std::printf("core count %zu skipped: %zu CPUs allowed\n", count, cpus.size());
      continue;
    }
    SCOPED_TRACE(::testing::Message() << count << " cores");
    ChildRun many = run_child(cpus, count);
    ASSERT_EQ(many.cases.size(), one.cases.size());
    for (auto& [name, kv] : one.cases) {
      // (The portable form's slower layers may spread over the pool instead.)
      if (name.find("/portable") == std::string::npos) {
        EXPECT_EQ(many.cases[name]["planned"], "1") << name;
      }
      EXPECT_EQ(many.cases[name]["digest"], kv.at("digest")) << name;
      EXPECT_EQ(many.cases[name]["stable"], "1") << name;
    }
    // Idle workers sleep: a few milliseconds at most over 200.
    EXPECT_GE(many.idle_ms, 0.0);
    EXPECT_LT(many.idle_ms, 20.0);
  }
}

}  // namespace
