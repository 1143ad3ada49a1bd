// Engine creation refuses every malformed graph with status 3 and a message
// naming the value or node at fault; nothing of a refused graph runs.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "tests/cpu/graph_builder.h"

namespace vorn {
namespace {

using test::GraphBuilder;


// input [1,2,4,4] -> Conv 3x3 pad 1 (weight [3,2,3,3], bias [3]) -> output [1,3,4,4]
struct ConvGraph {
  GraphBuilder b;
  uint64_t in, w, bias, out;
  ConvGraph() {
    in = b.input({1, 2, 4, 4});
    w = b.weight({3, 2, 3, 3}, std::vector<float>(54, 0.5f));
    bias = b.weight({3}, {1, 2, 3});
    out = b.output({1, 3, 4, 4});
    b.node(op::Conv, {in, w, bias}, {out}, {{attr::Conv::kKernelH, 3}, {attr::Conv::kKernelW, 3},
                                            {attr::Conv::kStrideH, 1}, {attr::Conv::kStrideW, 1},
                                            {attr::Conv::kPadTop, 1}, {attr::Conv::kPadLeft, 1}});
  }
};

std::string refusal(GraphBuilder& b, uint64_t batch = 1) {
  CpuCreateResult r = cpu_engine_create_graph(b.graph(), batch, CpuPrecisionRequest{});
  if (r.ok()) {
    cpu_engine_free(&r.value);
    return "accepted";
  }
  EXPECT_EQ(r.error.status, 3u) << r.error.message;
  return r.error.message;
}

TEST(EngineValidation, WellFormedConvGraphIsAccepted) {
  ConvGraph g;
  test::Engine e(g.b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  EXPECT_EQ(e.state->first_input, g.in);
  EXPECT_EQ(e.state->first_output, g.out);
  EXPECT_EQ(e.state->output_count, 1u);
  EXPECT_EQ(e.state->data[g.w], static_cast<void*>(g.b.storage.data()));
}

TEST(EngineValidation, MalformedValueRecordsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(ConvGraph&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"unknown kind", [](ConvGraph& g) { g.b.values[g.out].w[0] = 5; }, "value 3: unknown value kind"},
      {"kind 0", [](ConvGraph& g) { g.b.values[g.in].w[0] = 0; }, "value 0: unknown value kind"},
      {"rank 7", [](ConvGraph& g) { g.b.values[g.in].w[2] = 7; }, "value 0: rank above 6"},
      {"count not the product",
       [](ConvGraph& g) { g.b.values[g.in].w[9] = 31; },
       "value 0: element count is not the product of the dims"},
      {"count of 2^31",
       [](ConvGraph& g) {
         ValueRecord& v = g.b.values[g.out];
         v.w[3] = 1u << 16;
         v.w[4] = 1u << 15;
         v.w[5] = 1;
         v.w[6] = 1;
         v.w[9] = uint64_t{1} << 31;
         v.w[10] = uint64_t{1} << 33;
       },
       "value 3: element count of 2^31 or more"},
      {"dims overflow",
       [](ConvGraph& g) {
         ValueRecord& v = g.b.values[g.out];
         v.w[3] = uint64_t{1} << 40;
         v.w[4] = uint64_t{1} << 40;
       },
       "value 3: element count of 2^31 or more"},
      {"byte size", [](ConvGraph& g) { g.b.values[g.out].w[10] = 4; },
       "value 3: byte size does not match the element count"},
      {"f16 value", [](ConvGraph& g) { g.b.values[g.w].w[1] = kElemF16; },
       "value 1: element kind is not f32 or i64"},
      {"weight past the storage",
       [](ConvGraph& g) { g.b.values[g.bias].w[12] = g.b.storage.size() * 4; },
       "value 2: weight data lies outside the weight storage"},
      {"weight offset wraps",
       [](ConvGraph& g) { g.b.values[g.bias].w[12] = ~uint64_t{0} - 3; },
       "value 2: weight data lies outside the weight storage"},
      {"weight misaligned", [](ConvGraph& g) { g.b.values[g.bias].w[12] += 2; },
       "value 2: weight data lies outside the weight storage"},
      {"no graph input", [](ConvGraph& g) { g.b.values[g.in].w[0] = kValueActivation; },
       "graph has no input"},
      {"no graph output", [](ConvGraph& g) { g.b.values[g.out].w[0] = kValueActivation; },
       "graph has no output"},
  };
  for (const Case& c : cases) {
    ConvGraph g;
    c.spoil(g);
    EXPECT_EQ(refusal(g.b), c.message) << c.what;
  }
}

TEST(EngineValidation, MalformedNodeRecordsAreRefused) {
  struct Case {
    const char* what;
    std::function<void(NodeRecord&, ConvGraph&)> spoil;
    const char* message;
  };
  const Case cases[] = {
      {"input 0 out of range", [](NodeRecord& n, ConvGraph&) { n.w[2] = 4; },
       "node 0 (Conv): input 0 names no value"},
      {"input count 9", [](NodeRecord& n, ConvGraph&) { n.w[1] = 9; },
       "node 0 (Conv): input count outside 1..8"},
      {"input count 0", [](NodeRecord& n, ConvGraph&) { n.w[1] = 0; },
       "node 0 (Conv): input count outside 1..8"},
      {"output count 0", [](NodeRecord& n, ConvGraph&) { n.w[10] = 0; },
       "node 0 (Conv): output count outside 1..4"},
      {"output count 5", [](NodeRecord& n, ConvGraph&) { n.w[10] = 5; },
       "node 0 (Conv): output count outside 1..4"},
      {"output out of range", [](NodeRecord& n, ConvGraph&) { n.w[11] = ~uint64_t{0}; },
       "node 0 (Conv): an output names no value"},
      {"writes a weight", [](NodeRecord& n, ConvGraph& g) { n.w[11] = g.bias; },
       "node 0 (Conv): an output is a weight"},
      {"operator without kernel", [](NodeRecord& n, ConvGraph&) { n.set_op(op::Reshape); },
       "node 0 (Reshape): operator has no CPU kernel"},
      {"operator code 0", [](NodeRecord& n, ConvGraph&) { n.set_op(kOpNone); },
       "node 0 (UnknownOp): operator has no CPU kernel"},
      {"operator code 200", [](NodeRecord& n, ConvGraph&) { n.set_op(200); },
       "node 0 (UnknownOp): operator has no CPU kernel"},
  };
  for (const Case& c : cases) {
    ConvGraph g;
    c.spoil(g.b.nodes[0], g);
    EXPECT_EQ(refusal(g.b), c.message) << c.what;
  }
}

TEST(EngineValidation, OperatorSizeContractsAreChecked) {
  // Conv weight count and partition divisibility come from the Conv check;
  // the engine adds the node index and name.
  {
    ConvGraph g;
    g.b.values[g.w].w[3] = 2;  // [2,2,3,3]: 36 weights for 3 output channels
    g.b.values[g.w].w[9] = 36;
    g.b.values[g.w].w[10] = 144;
    std::string m = refusal(g.b);
    EXPECT_EQ(m.rfind("node 0 (Conv): ", 0), 0u) << m;
  }
  {
    ConvGraph g;
    g.b.nodes[0].set_attr(attr::Conv::kGroups, 2);  // 2 partitions of 3 output channels
    std::string m = refusal(g.b);
    EXPECT_EQ(m.rfind("node 0 (Conv): ", 0), 0u) << m;
  }
  {
    // MatMul [2,3] x [4,5]: the inner sizes differ.
    GraphBuilder b;
    uint64_t a = b.input({2, 3});
    uint64_t w = b.weight({4, 5}, {});
    uint64_t out = b.output({2, 5});
    b.node(op::MatMul, {a, w}, {out});
    std::string m = refusal(b);
    EXPECT_EQ(m.rfind("node 0 (MatMul): ", 0), 0u) << m;
  }
  {
    GraphBuilder b;
    uint64_t a = b.input({2, 3});
    uint64_t w = b.weight({4, 5}, {});
    uint64_t out = b.output({2, 5});
    b.node(op::Gemm, {a, w}, {out});
    std::string m = refusal(b);
    EXPECT_EQ(m.rfind("node 0 (Gemm): ", 0), 0u) << m;
  }
  // Slice bounds, Transpose permutations and the detection operators' fixed
  // sizes, when their kernels are present.
  if (cpu_op_supported(op::Slice)) {
    GraphBuilder b;
    uint64_t a = b.input({1, 4});
    uint64_t out = b.output({1, 3});
    b.node(op::Slice, {a}, {out}, {{attr::Slice::kAxis, 1}, {attr::Slice::kStart, 2}, {attr::Slice::kLength, 3},
                                   {attr::Slice::kStep, 1}});  // positions 2..4 of 4
    std::string m = refusal(b);
    EXPECT_EQ(m.rfind("node 0 (Slice): ", 0), 0u) << m;
  }
  if (cpu_op_supported(op::Transpose)) {
    GraphBuilder b;
    uint64_t a = b.input({1, 2, 3});
    uint64_t out = b.output({1, 3, 2});
    b.node(op::Transpose, {a}, {out}, {{attr::Transpose::kPerm + 0, 0}, {attr::Transpose::kPerm + 1, 2},
                                       {attr::Transpose::kPerm + 2, 7}});
    std::string m = refusal(b);
    EXPECT_EQ(m.rfind("node 0 (Transpose): ", 0), 0u) << m;
  }
  if (cpu_op_supported(op::YoloNms)) {
    GraphBuilder b;
    uint64_t a = b.input({1, 2, 3});  // rows below the box and score fields
    uint64_t out = b.output({1, 10, 6});
    b.node(op::YoloNms, {a}, {out}, {{attr::YoloNms::kMaxDetections, 10}});
    std::string m = refusal(b);
    EXPECT_EQ(m.rfind("node 0 (YoloNms): ", 0), 0u) << m;
  }
}

TEST(EngineValidation, GraphLimitsAndWeightStorage) {
  ConvGraph g;
  CpuGraph graph = g.b.graph();
  graph.weights = nullptr;
  CpuCreateResult r = cpu_engine_create_graph(graph, 1, CpuPrecisionRequest{});
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error.message, "missing weight storage");

  graph = g.b.graph();
  graph.nodes = {};
  r = cpu_engine_create_graph(graph, 1, CpuPrecisionRequest{});
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error.message, "invalid graph node/value counts in .vorn");

  std::vector<ValueRecord> many(kCpuMaxValues + 1, g.b.values[g.out]);
  graph = g.b.graph();
  graph.values = many;
  r = cpu_engine_create_graph(graph, 1, CpuPrecisionRequest{});
  ASSERT_FALSE(r.ok());
  EXPECT_STREQ(r.error.message, "invalid graph node/value counts in .vorn");
}

TEST(EngineValidation, LargestGraphIsAccepted) {
  // 32768 values and 16384 Conv nodes: 1x1 convolutions over [1,1,1,1].
  GraphBuilder b;
  uint64_t prev = b.input({1, 1, 1, 1});
  uint64_t w = b.weight({1, 1, 1, 1}, {2.0f});
  for (uint64_t i = 0; i < kCpuMaxNodes; ++i) {
    uint64_t next = i + 1 == kCpuMaxNodes ? b.output({1, 1, 1, 1}) : b.act({1, 1, 1, 1});
    b.node(op::Conv, {prev, w}, {next}, {{attr::Conv::kKernelH, 1}, {attr::Conv::kKernelW, 1}});
    prev = next;
  }
  while (b.values.size() < kCpuMaxValues) b.act({1});
  ASSERT_EQ(b.values.size(), kCpuMaxValues);
  test::Engine e(b);
  ASSERT_TRUE(e.ok()) << e.error.message;
  float x = 1.0f, y = 0.0f;
  ASSERT_TRUE(cpu_engine_execute(&e.state, &x, &y));
  EXPECT_TRUE(std::isinf(y));  // 2^16384 overflows f32
}

TEST(EnginePrecision, OnlyPlainF32Runs) {
  struct Case {
    PrecisionSetting setting;
    bool valid;
    uint64_t calib;
    const char* message;
  };
  const Case cases[] = {
      {{kPrecisionF32, kPrecisionModePlain}, true, 0, "accepted"},
      {{kPrecisionF32, kPrecisionModePlain}, false, 0,
       "precision.cpu: unrecognised value (expected f32, f16, f16:fast, int8, int8:static or "
       "int8:f16)"},
      {{kPrecisionF16, kPrecisionModePlain}, true, 0,
       "precision.cpu=f16 is not available on the CPU yet"},
      {{kPrecisionF16, kPrecisionModeFastF16}, true, 0,
       "precision.cpu=f16:fast is not available on the CPU yet"},
      {{kPrecisionInt8, kPrecisionModePlain}, true, 0,
       "precision.cpu=int8 needs int8 dot-product instructions (ARMv8.2 SDOT or ARMv8.6 I8MM) "
       "this CPU lacks"},
      {{kPrecisionInt8, kPrecisionModeStatic}, true, 0,
       "precision.cpu=int8:static needs int8 dot-product instructions (ARMv8.2 SDOT or ARMv8.6 "
       "I8MM) this CPU lacks"},
  };
  for (const Case& c : cases) {
    ConvGraph g;
    CpuPrecisionRequest p;
    p.setting = c.setting;
    p.valid = c.valid;
    p.calib_count = c.calib;
    CpuCreateResult r = cpu_engine_create_graph(g.b.graph(), 1, p);
    if (r.ok()) {
      cpu_engine_free(&r.value);
      EXPECT_STREQ("accepted", c.message);
    } else {
      EXPECT_STREQ(r.error.message, c.message);
      EXPECT_EQ(r.error.status, 3u);
    }
  }
}

}  // namespace
}  // namespace vorn
