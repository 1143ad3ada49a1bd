// Refusals with their reasons: graph blocks and tensor records that break
// one rule each, operations whose inputs or attributes are wrong, inputs
// that say more than their buffers hold; and the pool, the policy switches
// and the descriptions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>

#include "base/vn_error.h"
#include "container/format.h"
#include "gpu/graph_ops.h"
#include "graph_fixture.h"

namespace vorn {
namespace {

using test::LoadedModel;

std::string failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const VNError& e) {
    return e.reason();
  }
  return "";
}

// Offsets of a model's metadata image the mutations below edit.
struct Image {
  std::vector<uint8_t> bytes;
  uint64_t section, nodes, node_table, values, value_table;
  explicit Image(const ContainerHandle& h) : bytes(h.meta, h.meta + h.meta_len) {
    section = word(kHdrDirectory + 16 * kSecNodes);
    nodes = word(section + 32);
    node_table = word(section + 48);
    values = word(section + 56);
    value_table = word(section + 72);
  }
  uint64_t word(uint64_t at) const { return load_u64(bytes.data() + at); }
  void set(uint64_t at, uint64_t v) { store_u64(bytes.data() + at, v); }
  uint64_t value(uint64_t i) const { return value_table + 96 * i; }
  uint64_t node(uint64_t i) const { return node_table + 64 * i; }
  uint64_t tensor(uint64_t t) const { return word(kHdrDirectory + 16 * kSecTensors) + 32 + 192 * t; }
  uint64_t value_named(const std::string& name) const {
    for (uint64_t i = 0; i < values; ++i)
      if (std::strcmp(reinterpret_cast<const char*>(bytes.data() + word(value(i))), name.c_str()) == 0) return i;
    throw std::runtime_error("no value " + name);
  }
  uint64_t first_with_flags(uint64_t flags) const {
    for (uint64_t i = 0;; ++i)
      if (word(value(i) + 72) == flags) return i;
  }
};

TEST(GraphErrors, ConstructionRefusesEachBrokenRule) {
  LoadedModel m("patch_q8", kElemF32);
  struct Case {
    const char* reason;
    std::function<void(Image&)> edit;
    uint64_t activation = kElemF32;
    uint64_t length_cut = 0;
  };
  const Case cases[] = {
      {"Activation precision must be FP16 or FP32", [](Image&) {}, 3},
      {"Metadata bounds", [](Image& i) { i.set(kHdrDirectory + 16 * kSecNodes, i.bytes.size() + 64); }},
      {"Metadata bounds", [](Image&) {}, kElemF32, 1},
      {"Metadata bounds",  // a tensor table of stride 0 and 2^40 records
       [](Image& i) {
         const uint64_t t = i.word(kHdrDirectory + 16 * kSecTensors);
         i.set(t + 8, 0);
         i.set(t + 16, uint64_t(1) << 40);
       }},
      {"Graph bounds", [](Image& i) { i.set(i.section + 56, 0); }},
      {"Graph bounds", [](Image& i) { i.set(i.section + 56, 8193); }},
      {"Graph bounds", [](Image& i) { i.set(i.section + 40, 95); }},
      {"Graph bounds", [](Image& i) { i.set(i.section + 64, 95); }},
      {"Graph bounds", [](Image& i) { i.set(i.section + 72, i.node_table); }},
      {"Inference requires FP16 or block-INT8 weights", [](Image& i) { i.set(i.tensor(0) + 8, kElemF32); }},
      {"Weight bounds/row layout",
       [](Image& i) {
         for (uint64_t t = 0;; ++t)
           if (i.word(i.tensor(t) + 8) == kElemQ8) return i.set(i.tensor(t) + 136, i.word(i.tensor(t) + 136) + 68);
       }},
      {"Weight bounds/row layout", [](Image& i) { i.set(i.tensor(3) + 112, uint64_t(1) << 40); }},
      {"Unsupported graph value flags/dtype", [](Image& i) { i.set(i.value(0) + 72, 8); }},
      {"Unsupported graph value flags/dtype", [](Image& i) { i.set(i.value(0) + 8, kElemQ8); }},
      {"Invalid weight/input binding",
       [](Image& i) { i.set(i.value(i.first_with_flags(kGraphValueWeight)) + 72, kGraphValueWeight | kGraphValueInput); }},
      {"Invalid weight/input binding",
       [](Image& i) { i.set(i.value(i.first_with_flags(kGraphValueWeight)) + 80, 1u << 20); }},
      {"Graph weight dtype mismatch",
       [](Image& i) { i.set(i.value(i.value_named("vision.patch_embedding.weight")) + 8, kElemQ8); }},
      {"Duplicate input name", [](Image& i) { i.set(i.value(1), i.word(i.value(0))); }},
      {"String bounds", [](Image& i) { i.set(i.value(2), 100); }},
      {"No logits output", [](Image& i) { i.set(i.value(i.value_named("logits")) + 72, 0); }},
      {"Invalid operation record", [](Image& i) { i.set(i.node(0), 14); }},
      {"Invalid operation record", [](Image& i) { i.set(i.node(0) + 16, 7); }},
      {"Invalid operation record", [](Image& i) { i.set(i.node(0) + 48, 40); }},
      {"Graph value index", [](Image& i) { i.set(i.word(i.node(0) + 32), i.values); }},
      {"Graph not topological", [](Image& i) { i.set(i.word(i.node(0) + 32), i.value_named("logits")); }},
      {"Value defined twice",
       [](Image& i) {
         const uint64_t out0 = i.word(i.node(0) + 32) + 8 * i.word(i.node(0) + 16);
         const uint64_t out1 = i.word(i.node(1) + 32) + 8 * i.word(i.node(1) + 16);
         i.set(out1, i.word(out0));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    Image image(m.model.handle);
    c.edit(image);
    const uint64_t length = c.length_cut ? 600 : image.bytes.size();
    EXPECT_EQ(failure([&] { VNGraph g(m.slot.context, image.bytes.data(), length, c.activation); }), c.reason);
  }
  // The untouched image builds.
  Image image(m.model.handle);
  EXPECT_EQ(failure([&] { VNGraph g(m.slot.context, image.bytes.data(), image.bytes.size(), kElemF16); }), "");
}

GraphNode node(uint64_t op, std::vector<uint64_t> attrs = {}) { return GraphNode{op, 0, {}, {}, std::move(attrs)}; }
uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

TEST(GraphErrors, OperationsRefuseBadInputsAndAttributes) {
  LoadedModel m("patch_f16", kElemF32);
  VNGraph& g = m.g();
  auto f32 = [&](std::vector<uint64_t> shape) { return test::host_tensor(g, shape, kElemF32); };
  auto i64 = [&](std::vector<int64_t> v) { return test::host_tensor(g, {v.size()}, kElemI64, v.data()); };
  auto f16 = [&](std::vector<uint64_t> shape) { return test::host_tensor(g, shape, kElemF16); };
  VNTensorRef vocab_table = nullptr;
  for (const VNTensorRef& w : g.weights())
    if (w->shape == std::vector<uint64_t>{m.shape.vocab, m.shape.text_width}) vocab_table = w;
  ASSERT_NE(vocab_table, nullptr);
  const int64_t vocab = int64_t(m.shape.vocab);
  VNTensorRef lying = i64({1, 2});
  lying->shape = {1u << 20};
  lying->count = 1u << 20;
  VNTensorRef small_past = f32({1, 2, 4, 32});
  small_past->cacheStride = 1u << 16;
  struct Case {
    const char* reason;
    GraphNode n;
    std::vector<VNTensorRef> in;
  };
  const Case cases[] = {
      {"Missing operation implementation", node(99), {f32({2})}},
      {"Operation attribute count", node(kAdd, {1}), {f32({2}), f32({2})}},
      {"Operation input count", node(kLinear), {f32({2})}},
      {"Operation input dtype", node(kAdd), {i64({1, 2}), f32({2})}},
      {"Operation input dtype", node(kEmbedding), {f32({2}), vocab_table}},
      {"Embedding ID out of bounds", node(kEmbedding), {i64({0, -1}), vocab_table}},
      {"Embedding ID out of bounds", node(kEmbedding), {i64({vocab}), vocab_table}},
      {"Host-read input exceeds its buffer", node(kEmbedding), {lying, vocab_table}},
      {"Embedding weight", node(kEmbedding), {i64({0}), f16({4, 2, 2})}},
      {"Unsupported elementwise broadcast", node(kAdd), {f32({2, 5, 8}), f32({5})}},
      {"Norm epsilon", node(kRmsNorm, {bits(0.0)}), {f32({3, 8}), f16({8})}},
      {"Norm shape", node(kLayerNorm, {bits(1e-5)}), {f32({3, 8}), f16({8}), f16({7})}},
      {"Invalid real attribute", node(kRope, {32, bits(INFINITY), 2}), {f32({1, 3, 64}), i64({0, 1, 2})}},
      {"RoPE theta", node(kRope, {32, bits(-1.0), 2}), {f32({1, 3, 64}), i64({0, 1, 2})}},
      {"RoPE shape", node(kRope, {32, bits(1e4), 2}), {f32({1, 3, 64}), i64({0, 1})}},
      {"Shuffle geometry", node(kShuffle, {2, 3, 4}), {f32({1, 12, 8})}},
      {"Scatter position invalid", node(kScatter), {f32({1, 6, 4}), f32({2, 4}), i64({3, 3})}},
      {"Scatter position invalid", node(kScatter), {f32({1, 6, 4}), f32({2, 4}), i64({3, 6})}},
      {"Scatter shape", node(kScatter), {f32({1, 6, 4}), f32({3, 4}), i64({3, 1})}},
      {"Patch geometry", node(kPatchEmbedding, {5}), {f32({1, 3, 64, 64}), f16({8, 3, 5, 5}), f16({8})}},
      {"Patch weights", node(kPatchEmbedding, {8}), {f32({1, 3, 64, 64}), f16({8, 3, 8, 4}), f16({8})}},
      {"Linear shape/dtype", node(kLinear), {f32({1, 4, 7}), f16({8, 7})}},
      {"Linear shape/dtype", node(kLinear), {f32({1, 4, 8}), f16({7, 8})}},
      {"Linear bias shape", node(kLinear), {f32({1, 4, 8}), f16({6, 8}), f16({4})}},
      {"Attention attributes", node(kAttention, {2, 2, 257, 0}), {f32({1, 2, 514}), f32({1, 2, 514}), f32({1, 2, 514}), f32({0})}},
      {"Attention attributes", node(kAttention, {6, 4, 8, 0}), {f32({1, 2, 48}), f32({1, 2, 32}), f32({1, 2, 32}), f32({0})}},
      {"Attention shape/mask; maximum context 8192", node(kAttention, {2, 2, 8, 0}),
       {f32({1, 2, 16}), f32({1, 2, 16}), f32({1, 2, 16}), f32({1, 1, 2, 3})}},
      {"Attention shape/mask; maximum context 8192", node(kAttention, {2, 2, 32, 1}),
       {f32({1, 2, 64}), f32({1, 2, 64}), f32({1, 2, 64}), f32({0}), f32({1, 2, 8192, 32}), f32({1, 2, 8192, 32})}},
      {"KV cache shape", node(kAttention, {2, 2, 32, 1}),
       {f32({1, 2, 64}), f32({1, 2, 64}), f32({1, 2, 64}), f32({0}), f32({1, 2, 4, 16}), f32({1, 2, 4, 16})}},
      {"KV cache shape", node(kAttention, {2, 2, 32, 1}),
       {f32({1, 2, 64}), f32({1, 2, 64}), f32({1, 2, 64}), f32({0}), small_past, small_past}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(failure([&] { g.operation(c.n, c.in, g.queue()->command_buffer()); }), c.reason);
  }
  // Broadcast along the last axis is fine.
  EXPECT_EQ(failure([&] { g.operation(node(kAdd), {f32({2, 5, 8}), f32({8})}, g.queue()->command_buffer()); }), "");
}

TEST(GraphErrors, RunRefusesMissingOrOversizedInputs) {
  const test::ReferenceCase c = test::reference_cases()[0];
  LoadedModel m(c.model, kElemF32);
  VNGraph& g = m.g();
  auto feed = test::prompt_inputs(g, m.shape, c.prompt, 0, {}, true);
  auto missing = feed;
  missing.erase("pixel_values");
  EXPECT_EQ(failure([&] { g.run(missing); }), "Missing/invalid input pixel_values");
  auto wrong = feed;
  wrong["position_ids"] = test::host_tensor(g, {1, c.prompt.size()}, kElemF32);
  EXPECT_EQ(failure([&] { g.run(wrong); }), "Missing/invalid input position_ids");
  // A view that claims more elements than its buffer holds.
  auto oversized = feed;
  auto ids = std::make_shared<VNTensor>(*feed["input_ids"]);
  ids->shape = {1, 100000};
  ids->count = 100000;
  oversized["input_ids"] = ids;
  EXPECT_EQ(failure([&] { g.run(oversized); }), "Missing/invalid input input_ids");
  // The graph still runs.
  EXPECT_EQ(failure([&] { g.run(feed); }), "");
}

TEST(GraphErrors, PoolPolicyAndDescriptions) {
  LoadedModel m("patch_q8", kElemF16);
  VNGraph& g = m.g();
  VNTensorRef a = g.tensor({100}, kElemF16);
  EXPECT_EQ(a->buffer->length(), 256u);
  EXPECT_EQ(g.tensor({129}, kElemF32)->buffer->length(), 1024u);
  const mtl::Buffer* held = a->buffer.get();
  g.recycle(a);
  g.recycle(a);  // once only
  EXPECT_EQ(g.pooledBufferCount(), 1u);
  EXPECT_EQ(g.tensor({64}, kElemF32)->buffer.get(), held);
  EXPECT_EQ(failure([&] { g.tensor({4}, kElemQ8); }), "Tensor dtype");
  EXPECT_EQ(failure([&] { g.tensor({1u << 16, 1u << 15}, kElemF16); }), "Tensor too large");
  EXPECT_EQ(failure([&] { g.tensor({1, 1, 1, 1, 1, 1, 1}, kElemF16); }), "Tensor rank exceeds six");

  struct Policy {
    nlohmann::json options;
    uint64_t activation;
    bool prefill, attention, graph_attention, graph_linear;
    const char* name;
  };
  const Policy policies[] = {
      {{{"backend", "auto"}}, kElemF16, false, false, false, false, "Metal custom kernels"},
      {{{"backend", "auto"}}, kElemF32, true, true, true, true, "Metal kernels + FP32 MPSGraph prefill matrices/vision attention"},
      {{{"backend", "metal"}}, kElemF32, false, false, false, false, "Metal custom kernels"},
      {{{"backend", "mps"}}, kElemF16, true, true, false, false, "Metal kernels + MPS GEMM + batched MPS vision attention"},
      {{{"backend", "mpsgraph"}}, kElemF16, true, true, true, true, "Metal kernels + FP16 MPSGraph prefill matrices/vision attention"},
      {{{"backend", "mpsgraph"}, {"graph_linear", false}}, kElemF16, true, true, true, false,
       "Metal kernels + MPS GEMM + FP16 MPSGraph vision attention"},
      {{{"mps_prefill", true}}, kElemF16, true, false, false, false, "Metal kernels + MPS prefill GEMM"},
      {nlohmann::json::object(), kElemF32, true, true, true, true, "Metal kernels + FP32 MPSGraph prefill matrices/vision attention"},
  };
  LoadedModel f32("patch_q8", kElemF32);
  for (const Policy& p : policies) {
    SCOPED_TRACE(p.options.dump());
    VNGraph& pg = p.activation == kElemF16 ? g : f32.g();
    pg.configure(p.options);
    EXPECT_EQ(pg.mpsPrefill(), p.prefill);
    EXPECT_EQ(pg.mpsAttention(), p.attention);
    EXPECT_EQ(pg.graphAttention(), p.graph_attention);
    EXPECT_EQ(pg.graphLinear(), p.graph_linear);
    EXPECT_EQ(pg.backendName(), p.name);
  }
  EXPECT_EQ(failure([&] { g.configure({{"backend", "MPS"}}); }), "Unknown backend policy");
  EXPECT_EQ(g.pipelineCount(), 26u);
  EXPECT_EQ(g.weightDtype(), "mixed-fp16-int8");
  EXPECT_EQ(g.weightExecution()["quantized_tensors"], g.quantizedWeights);
  EXPECT_GT(g.quantizedWeights, 0u);
  LoadedModel plain("patch_f16", kElemF16);
  EXPECT_EQ(plain.g().weightDtype(), "fp16");
  EXPECT_EQ(plain.g().weightExecution()["policy"], "Resident FP16 weight views");
}

}  // namespace
}  // namespace vorn
