// Running engines: batches against single runs, input binding, outputs,
// the cancel poll, the profile and the value dump.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/atomics.h"
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/batch_plan.h"
#include "cpu/engine.h"
#include "reference/scoped_env.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::ScopedEnv;

// input [1,3,6,6] -> Conv 3x3 (+bias) -> Relu -> t; Conv 1x1(t) -> u;
// output Concat(t, u) on channels: [1,6,6,6].
GraphBuilder batch_graph() {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> d(-1, 1);
  auto r = [&](size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = d(rng);
    return v;
  };
  GraphBuilder b;
  uint64_t in = b.input({1, 3, 6, 6});
  uint64_t w1 = b.weight({4, 3, 3, 3}, r(108)), b1 = b.weight({4}, r(4));
  uint64_t w2 = b.weight({2, 4, 1, 1}, r(8));
  uint64_t c = b.act({1, 4, 6, 6}), t = b.act({1, 4, 6, 6}), u = b.act({1, 2, 6, 6});
  uint64_t out = b.output({1, 6, 6, 6});
  b.node(op::Conv, {in, w1, b1}, {c}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                       {attr::Conv::kPadLeft, 1}});
  b.node(op::Relu, {c}, {t});
  b.node(op::Conv, {t, w2}, {u}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  b.node(op::Concat, {t, u}, {out}, {{attr::Concat::kAxis, 1}});
  return b;
}

constexpr uint64_t kInSample = 3 * 36;
constexpr uint64_t kOutSample = 6 * 36;

TEST(EngineBatch, BatchOfNEqualsNSingleRuns) {
  GraphBuilder b = batch_graph();
  test::Engine single(b, 1);
  ASSERT_TRUE(single.ok()) << single.error.message;
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> d(-2, 2);
  for (uint64_t compiled : {1u, 4u}) {
    test::Engine e(b, compiled);
    ASSERT_TRUE(e.ok()) << e.error.message;
    ASSERT_EQ(e.state->compiled_batch, compiled);
    for (uint64_t n = 1; n <= 5; ++n) {
      std::vector<float> x(n * kInSample);
      for (float& v : x) v = d(rng);
      // Exactly n samples plus a guard that must stay untouched.
      std::vector<float> y(n * kOutSample + 8, -777.0f);
      ASSERT_EQ(cpu_engine_run_batch(&e.state, n, x.data(), y.data()), 1u);
      for (uint64_t k = 0; k < n; ++k) {
        std::vector<float> one(kOutSample);
        ASSERT_TRUE(cpu_engine_execute(&single.state, x.data() + k * kInSample, one.data()));
        for (uint64_t i = 0; i < kOutSample; ++i)
          ASSERT_FLOAT_EQ(y[k * kOutSample + i], one[i])
              << "batch " << compiled << ", n " << n << ", sample " << k << ", value " << i;
      }
      for (uint64_t i = n * kOutSample; i < y.size(); ++i) ASSERT_EQ(y[i], -777.0f);
    }
  }
}

TEST(EngineBatch, NullInputIsNeverAdvanced) {
  GraphBuilder b = batch_graph();
  test::Engine e(b, 1);
  ASSERT_TRUE(e.ok());
  std::vector<float> x(kInSample, 0.5f), y(3 * kOutSample), one(kOutSample);
  ASSERT_EQ(cpu_engine_set_input(&e.state, 0, x.data(), x.size() * 4), 1u);
  ASSERT_EQ(cpu_engine_run_batch(&e.state, 3, nullptr, y.data()), 1u);
  ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), one.data()));
  for (uint64_t k = 0; k < 3; ++k)
    for (uint64_t i = 0; i < kOutSample; ++i) ASSERT_EQ(y[k * kOutSample + i], one[i]);
  EXPECT_EQ(cpu_engine_run_batch(&e.state, 0, x.data(), y.data()), 0u);
}

// Batch settling works on the records alone.
struct Settle {
  GraphBuilder b;
  uint64_t batch(uint64_t requested) {
    CpuState* s = static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)));
    s->value_count = b.values.size();
    std::copy(b.values.begin(), b.values.end(), s->values);
    s->node_count = b.nodes.size();
    std::copy(b.nodes.begin(), b.nodes.end(), s->nodes);
    for (uint64_t id = 0; id < s->value_count; ++id)
      if (s->values[id].kind() == kValueGraphInput) {
        s->first_input = id;
        break;
      }
    std::vector<uint8_t> scratch(s->value_count);
    cpu_settle_batch(*s, requested, scratch.data());
    uint64_t result = s->compiled_batch;
    widened.assign(s->values, s->values + s->value_count);
    std::free(s);
    return result;
  }
  std::vector<ValueRecord> widened;
};

TEST(EngineBatch, CompiledBatchFollowsTheModelAndTheOperators) {
  {
    Settle g;
    uint64_t in = g.b.input({3, 4});
    g.b.node(op::Relu, {in}, {g.b.output({3, 4})});
    EXPECT_EQ(g.batch(4), 3u);
    EXPECT_EQ(g.batch(1), 3u);
  }
  {
    Settle g;
    uint64_t in = g.b.input({0, 4});
    g.b.node(op::Relu, {in}, {g.b.output({0, 4})});
    EXPECT_EQ(g.batch(0), 1u);
    EXPECT_EQ(g.batch(1), 1u);
  }
  struct Case {
    const char* what;
    uint64_t op;
    int64_t axis;
    uint64_t expected;
  };
  for (Case c : {Case{"YoloNms", op::YoloNms, 0, 1}, Case{"Concat axis -4", op::Concat, -4, 1},
                 Case{"Concat axis 1", op::Concat, 1, 4}, Case{"Softmax axis 0", op::Softmax, 0, 1},
                 Case{"Softmax axis -1", op::Softmax, -1, 4}, Case{"ReduceSum axis 0", op::ReduceSum, 0, 1},
                 Case{"ArgMax axis -4", op::ArgMax, -4, 1}, Case{"CumSum axis 0", op::CumSum, 0, 1},
                 Case{"TopK axis 0", op::TopK, 0, 1}, Case{"ScatterND axis 0", op::ScatterND, 0, 1},
                 Case{"Gather of batched data", op::Gather, 1, 1}, Case{"Relu", op::Relu, 0, 4}}) {
    Settle g;
    uint64_t in = g.b.input({1, 2, 3, 3});
    uint64_t idx = g.b.weight({2}, {0, 1});
    uint64_t out = g.b.output({1, 2, 3, 3});
    g.b.node(c.op, {in, idx}, {out}, {{attr::kAxis, GraphBuilder::i64_word(c.axis)}});
    EXPECT_EQ(g.batch(4), c.expected) << c.what;
  }
}

TEST(EngineBatch, EveryBatchOneInputIsWidened) {
  Settle g;
  uint64_t a = g.b.input({1, 5});
  uint64_t c = g.b.input({1, 5});
  uint64_t shared = g.b.input({2});
  uint64_t w = g.b.weight({1, 5}, {});
  uint64_t t = g.b.act({1, 5});
  uint64_t out = g.b.output({1, 5});
  uint64_t scalar = g.b.act({});
  g.b.node(op::Add, {a, w}, {t});
  g.b.node(op::Add, {t, c}, {out});
  g.b.node(op::Relu, {a}, {scalar});
  ASSERT_EQ(g.batch(3), 3u);
  for (uint64_t id : {a, c, t, out}) {
    EXPECT_EQ(g.widened[id].dim(0), 3u) << id;
    EXPECT_EQ(g.widened[id].count(), 15u) << id;
    EXPECT_EQ(g.widened[id].bytes(), 60u) << id;
  }
  EXPECT_EQ(g.widened[w].dim(0), 1u);
  EXPECT_EQ(g.widened[shared].dim(0), 2u);
  EXPECT_EQ(g.widened[scalar].count(), 1u);
}

// in -> Relu -> a -> Relu -> out
struct TwoRelu {
  GraphBuilder b;
  uint64_t in, a, out;
  TwoRelu() {
    in = b.input({1, 4});
    a = b.act({1, 4});
    out = b.output({1, 4});
    b.node(op::Relu, {in}, {a});
    b.node(op::Relu, {a}, {out});
  }
};

TEST(EngineRun, InputsOutputsAndSupport) {
  TwoRelu g;
  test::Engine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  float x[4] = {-1, 2, -3, 4}, y[4] = {};
  EXPECT_EQ(cpu_engine_set_input(&e.state, g.in, x, 17), 0u);
  EXPECT_EQ(cpu_engine_set_input(&e.state, g.a, x, 16), 0u);
  EXPECT_EQ(cpu_engine_set_input(&e.state, 3, x, 16), 0u);
  EXPECT_EQ(cpu_engine_set_input(&e.state, g.in, nullptr, 16), 0u);
  ASSERT_EQ(cpu_engine_set_input(&e.state, g.in, x, 16), 1u);
  ASSERT_TRUE(cpu_engine_execute(&e.state, nullptr, y));  // runs on the bound input
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_EQ(y[3], 4.0f);
  EXPECT_EQ(cpu_engine_output_count(&e.state), 1u);
  EXPECT_EQ(cpu_engine_output_data(&e.state, 0)[1], 2.0f);
  EXPECT_EQ(cpu_engine_output_data(&e.state, 1), nullptr);

  CpuState* none = nullptr;
  EXPECT_FALSE(cpu_engine_execute(&none, x, y));
  EXPECT_EQ(cpu_engine_run(&none, x, y), 0u);
  EXPECT_EQ(cpu_engine_run_batch(&none, 1, x, y), 0u);
  EXPECT_EQ(cpu_engine_set_input(&none, 0, x, 4), 0u);
  EXPECT_EQ(cpu_engine_output_data(&none, 0), nullptr);
  EXPECT_EQ(cpu_engine_output_count(&none), 0u);
  cpu_engine_free(&none);

  for (uint64_t op : {uint64_t{0}, kOpCodeCount + 1, uint64_t{1000}}) EXPECT_EQ(cpu_op_supported(op), 0u) << op;
  for (const OpInfo& e : kOpList)
    EXPECT_EQ(cpu_op_supported(e.code), e.family == OpFamily::kLowered ? 0u : 1u) << e.name;
}

// A pass that spreads copies its input in and its output out over the
// pool in slices: every value arrives, at sizes that end off a cache line
// and below, at and above the size the copies spread from.
TEST(EngineRun, SpreadPassCopiesItsWholeInputAndOutput) {
  for (uint64_t n : {uint64_t{1} << 19, (uint64_t{1} << 19) + 5, (uint64_t{1} << 20) + 13}) {
    GraphBuilder b;
    const uint64_t x = b.input({1, n}), y = b.output({1, n});
    b.node(op::Add, {x, x}, {y});
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    ASSERT_NE(e.state->hold_pool, 0u) << n;
    std::vector<float> in(n), out(n, -1.0f);
    for (uint64_t i = 0; i < n; ++i) in[i] = static_cast<float>(i % 1009) - 500.0f;
    ASSERT_TRUE(cpu_engine_execute(&e.state, in.data(), out.data()));
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < n; ++i) wrong += out[i] != 2.0f * in[i] ? 1 : 0;
    EXPECT_EQ(wrong, 0u) << n;
  }
}

TEST(EngineRun, SeventyOutputsListTheLowest64) {
  GraphBuilder b;
  uint64_t in = b.input({1, 2});
  std::vector<uint64_t> outs;
  for (int k = 0; k < 70; ++k) {
    outs.push_back(b.output({1, 2}));
    b.node(op::Relu, {in}, {outs.back()});
  }
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  ASSERT_EQ(cpu_engine_output_count(&e.state), 64u);
  for (uint64_t k = 0; k < 64; ++k) EXPECT_EQ(e.state->outputs[k], outs[k]);
  float x[2] = {-1, 3}, y[2];
  ASSERT_TRUE(cpu_engine_execute(&e.state, x, y));
  EXPECT_EQ(cpu_engine_output_data(&e.state, 63)[1], 3.0f);
}

TEST(EngineRun, CancelIsSeenBeforeTheNextNode) {
  TwoRelu g;
  test::Engine e(g.b);
  ASSERT_TRUE(e.ok());
  float x[4] = {1, 2, 3, 4}, y[4] = {9, 9, 9, 9};
  uint32_t flag = 1;
  cpu_engine_set_cancel_flag(&e.state, &flag);
  EXPECT_FALSE(cpu_engine_execute(&e.state, x, y));
  EXPECT_EQ(y[0], 9.0f);
  flag = 0;
  ASSERT_TRUE(cpu_engine_execute(&e.state, x, y));
  // The flag word is the first value written by node 0: once that node has
  // run, the flag reads non-zero and node 1 must not start.
  static_cast<float*>(e.state->data[g.a])[0] = 0.0f;
  cpu_engine_set_cancel_flag(&e.state, static_cast<uint32_t*>(e.state->data[g.a]));
  float z[4] = {0, 0, 0, 0};
  ASSERT_TRUE(cpu_engine_execute(&e.state, z, y));  // node 0 writes 0.0f: no cancel
  y[0] = 9;
  float more[4] = {5, 6, 7, 8};
  EXPECT_FALSE(cpu_engine_execute(&e.state, more, y));
  EXPECT_EQ(y[0], 9.0f);
  EXPECT_EQ(static_cast<float*>(e.state->data[g.a])[0], 5.0f);  // node 0 did run
  EXPECT_EQ(static_cast<float*>(e.state->data[g.out])[0], 0.0f);  // node 1 did not
  EXPECT_EQ(cpu_engine_run_batch(&e.state, 2, more, y), 0u);
}

// Another thread sets the flag while passes run: the pass running then, or
// at the latest the next one, stops, and every later pass fails at once.
TEST(EngineRun, CancelFromAnotherThread) {
  GraphBuilder b;
  uint64_t prev = b.input({1, 64});
  for (int i = 0; i < 2000; ++i) {
    uint64_t next = i == 1999 ? b.output({1, 64}) : b.act({1, 64});
    b.node(op::Relu, {prev}, {next});
    prev = next;
  }
  test::Engine e(b);
  ASSERT_TRUE(e.ok());
  uint32_t flag = 0;
  cpu_engine_set_cancel_flag(&e.state, &flag);
  std::vector<float> x(64, 1.0f), y(64);
  std::atomic<bool> set{false};
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    atomic_store_u32(&flag, 1, 2);
    set = true;
  });
  int passes = 0;
  while (cpu_engine_execute(&e.state, x.data(), y.data())) {
    ++passes;
    ASSERT_LT(passes, 1000000);
  }
  canceller.join();
  EXPECT_TRUE(set);
  EXPECT_FALSE(cpu_engine_execute(&e.state, x.data(), y.data()));
}

// Captures what a pass writes to standard error.
std::string capture_stderr(const std::function<void()>& body) {
  char path[] = "/tmp/vorn_stderr_XXXXXX";
  int fd = mkstemp(path);
  int saved = dup(2);
  std::fflush(stderr);
  dup2(fd, 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  unlink(path);
  return text.str();
}

TEST(EngineRun, ProfileListsEveryOperatorThatRan) {
  GraphBuilder b = batch_graph();
  std::vector<float> x(kInSample, 0.25f), y(kOutSample);
  std::string text;
  {
    ScopedEnv profile("VORN_CPU_PROFILE", "");
    ScopedEnv nofuse("VORN_CPU_NOFUSE", "1");
    test::Engine e(b);
    ASSERT_TRUE(e.ok());
    unsetenv("VORN_CPU_PROFILE");  // read once, at creation
    text = capture_stderr([&] { ASSERT_TRUE(cpu_engine_execute(&e.state, x.data(), y.data())); });
    uint32_t flag = 1;
    cpu_engine_set_cancel_flag(&e.state, &flag);
    std::string failed = capture_stderr([&] { EXPECT_FALSE(cpu_engine_execute(&e.state, x.data(), y.data())); });
    EXPECT_EQ(failed, "");
  }
  // Conv (5) before Relu (6) before Concat (20), one line each, complete.
  std::istringstream lines(text);
  std::string line;
  const char* expected[] = {"cpuprof op=Conv n=2 ms=", "cpuprof op=Relu n=1 ms=",
                            "cpuprof op=Concat n=1 ms="};
  for (const char* want : expected) {
    ASSERT_TRUE(std::getline(lines, line)) << text;
    EXPECT_EQ(line.rfind(want, 0), 0u) << line;
    double ms = std::atof(line.c_str() + std::string(want).size());
    EXPECT_GE(ms, 0.0);
  }
  EXPECT_FALSE(std::getline(lines, line)) << text;

  test::Engine quiet(b);
  std::string none = capture_stderr([&] { cpu_engine_execute(&quiet.state, x.data(), y.data()); });
  EXPECT_EQ(none, "");
}

std::vector<float> read_floats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / 4);
  std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

TEST(EngineRun, DumpWritesEveryProducedValue) {
  // in -> Split into two halves -> Relu of the first -> output
  GraphBuilder b;
  uint64_t in = b.input({1, 4});
  uint64_t h0 = b.act({1, 2}), h1 = b.act({1, 2});
  uint64_t out = b.output({1, 2});
  b.node(op::Split, {in}, {h0, h1}, {{attr::Split::kAxis, 1}});
  b.node(op::Relu, {h0}, {out});
  std::string dir = std::filesystem::temp_directory_path() / "vorn_dump_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  float x[4] = {-1, 2, 3, -4}, y[2];
  {
    ScopedEnv dump("VORN_CPU_DUMP", dir.c_str());
    test::Engine e(b);
    ASSERT_TRUE(e.ok()) << e.error.message;
    unsetenv("VORN_CPU_DUMP");
    ASSERT_TRUE(cpu_engine_execute(&e.state, x, y));
  }
  auto file = [&](uint64_t id) { return dir + "/v" + std::to_string(id) + ".f32"; };
  EXPECT_EQ(read_floats(file(h0)), (std::vector<float>{-1, 2}));
  EXPECT_EQ(read_floats(file(h1)), (std::vector<float>{3, -4}));
  EXPECT_EQ(read_floats(file(out)), (std::vector<float>{0, 2}));
  EXPECT_FALSE(std::filesystem::exists(file(in)));
  std::filesystem::remove_all(dir);
  {
    ScopedEnv dump("VORN_CPU_DUMP", (dir + "/missing").c_str());
    test::Engine e(b);
    EXPECT_TRUE(cpu_engine_execute(&e.state, x, y));
  }
  {
    ScopedEnv dump("VORN_CPU_DUMP", "");
    test::Engine e(b);
    EXPECT_EQ(e.state->dump_length, 0u);
    EXPECT_TRUE(cpu_engine_execute(&e.state, x, y));
  }
}

}  // namespace
}  // namespace vorn
