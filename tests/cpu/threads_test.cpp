// Engines with different quantisation settings side by side: each keeps its
// own settings, ranges and scratch, so running two at once on two threads,
// or creating one while another runs, gives the outputs each gives alone.
// (Run under -DVORN_SANITIZE=thread as well.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "quant_test_util.h"
#include "reference/random_data.h"

namespace vorn {
namespace {

using test::GraphBuilder;
using test::QuantEngine;
using test::QuantEnv;

using test::random_values;

// in [1,6,32,32] -> Conv 3x3 -> Relu -> Conv 1x1 -> MatMul with W [32, 12]
// over the rows of every plane -> out [1,16,32,12]. Large enough that the
// products and the plain layers spread over the worker pool.
constexpr uint64_t kOutValues = 16 * 32 * 12;

GraphBuilder model(uint32_t seed) {
  GraphBuilder b;
  const uint64_t in = b.input({1, 6, 32, 32});
  const uint64_t w1 = b.weight({16, 6, 3, 3}, random_values(864, seed));
  const uint64_t w2 = b.weight({16, 16, 1, 1}, random_values(256, seed + 1));
  const uint64_t w3 = b.weight({32, 12}, random_values(384, seed + 2));
  const uint64_t a = b.act({1, 16, 32, 32}), r = b.act({1, 16, 32, 32}), c = b.act({1, 16, 32, 32});
  const uint64_t out = b.output({1, 16, 32, 12});
  b.node(op::Conv, {in, w1}, {a}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3}, {attr::Conv::kPadTop, 1},
                                   {attr::Conv::kPadLeft, 1}});
  b.node(op::Relu, {a}, {r});
  b.node(op::Conv, {r, w2}, {c}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
  b.node(op::MatMul, {c, w3}, {out});
  return b;
}

struct Job {
  QuantEngine* engine;
  std::vector<std::vector<float>> inputs;
  std::vector<std::vector<float>> alone;
};

std::vector<std::vector<float>> run_all(QuantEngine& e, const std::vector<std::vector<float>>& inputs) {
  std::vector<std::vector<float>> out;
  for (const auto& x : inputs) out.push_back(e.run(x));
  return out;
}

TEST(QuantThreads, TwoEnginesAtOnceMatchTheirRunsAlone) {
  char dir_name[] = "/tmp/vorn_qthreads_XXXXXX";
  const std::string dir = mkdtemp(dir_name);
  const std::string ranges = dir + "/ranges.bin";
  std::vector<std::vector<float>> inputs;
  for (uint32_t i = 0; i < 6; ++i) inputs.push_back(random_values(6 * 32 * 32, 100 + i));

  // Ranges for engine B from a calibration engine.
  {
    QuantEnv env({{"VORN_CPU_QCAL_OUT", ranges}});
    QuantEngine cal(model(7));
    ASSERT_TRUE(cal.ok()) << cal.error.message;
    run_all(cal, inputs);
  }
  std::unique_ptr<QuantEngine> a, b;
  {
    QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_QA", "i4"}, {"VORN_CPU_QAG", "8"}, {"VORN_CPU_QT", "f16"}});
    a = std::make_unique<QuantEngine>(model(1));
  }
  {
    QuantEnv env({{"VORN_CPU_QW", "u8"}, {"VORN_CPU_QWG", "16"}, {"VORN_CPU_QA", "i8"}, {"VORN_CPU_QAG", "-1"},
                  {"VORN_CPU_QT", "u8"}, {"VORN_CPU_QCAL", ranges}});
    b = std::make_unique<QuantEngine>(model(7));
  }
  ASSERT_TRUE(a->ok()) << a->error.message;
  ASSERT_TRUE(b->ok()) << b->error.message;
  Job ja{a.get(), inputs, run_all(*a, inputs)};
  Job jb{b.get(), inputs, run_all(*b, inputs)};
  ASSERT_EQ(ja.alone[0].size(), kOutValues);
  // The settings differ, so the outputs do.
  EXPECT_NE(ja.alone[0], jb.alone[0]);

  std::atomic<int> mismatches{0};
  auto worker = [&](Job& j) {
    for (int round = 0; round < 5; ++round)
      for (size_t i = 0; i < j.inputs.size(); ++i)
        if (j.engine->run(j.inputs[i]) != j.alone[i]) ++mismatches;
  };
  std::thread ta(worker, std::ref(ja));
  std::thread tb(worker, std::ref(jb));
  ta.join();
  tb.join();
  EXPECT_EQ(mismatches.load(), 0);

  // An engine created (with yet other settings) and freed while A runs
  // leaves A's settings and scratch alone.
  {
    QuantEnv env({{"VORN_CPU_QW", "f16"}, {"VORN_CPU_QA", "u16"}, {"VORN_CPU_QT", "i4"}, {"VORN_CPU_QCAL", ranges}});
    std::atomic<bool> stop{false};
    std::thread tr([&] {
      while (!stop.load())
        for (size_t i = 0; i < ja.inputs.size(); ++i)
          if (a->run(ja.inputs[i]) != ja.alone[i]) ++mismatches;
    });
    for (int i = 0; i < 10; ++i) {
      QuantEngine c(model(11));
      EXPECT_TRUE(c.ok());
      EXPECT_EQ(c.run(inputs[0]).size(), kOutValues);
    }
    stop.store(true);
    tr.join();
  }
  EXPECT_EQ(mismatches.load(), 0);

  // Engines created, run and freed on two threads at once, each its own.
  {
    QuantEnv env({{"VORN_CPU_QW", "i8"}, {"VORN_CPU_QA", "i4"}, {"VORN_CPU_QAG", "8"}, {"VORN_CPU_QT", "f16"}});
    auto churn = [&] {
      for (int i = 0; i < 3; ++i) {
        QuantEngine e(model(1));
        if (!e.ok() || e.run(ja.inputs[i]) != ja.alone[i]) ++mismatches;
      }
    };
    std::thread t1(churn), t2(churn);
    t1.join();
    t2.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vorn
