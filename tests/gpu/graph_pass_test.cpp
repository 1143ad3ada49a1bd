// Whole passes: a prefill of P + k tokens against P then k decode steps, the
// KV cache appended in place against reallocated and copied, reuse of a
// prompt prefix against a fresh prefill, cancellation between command
// buffers, captures, profiles, and the same bits at every core count.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "base/vn_error.h"
#include "container/digest.h"
#include "generation/pinned_child.h"
#include "gpu/graph_ops.h"
#include "graph_fixture.h"

namespace vorn {
namespace {

using test::LoadedModel;

const test::ReferenceCase& reference(const std::string& name) {
  static const std::vector<test::ReferenceCase> cases = test::reference_cases();
  for (const test::ReferenceCase& c : cases)
    if (c.name == name) return c;
  throw std::runtime_error("no reference case " + name);
}

std::vector<float> prefill_logits(LoadedModel& m, const std::vector<int64_t>& ids, const test::ReferenceCase& c,
                                  bool causal) {
  m.kv.reserve(ids.size());
  VNRunResult r =
      m.g().run(test::prompt_inputs(m.g(), m.shape, ids, c.views, c.image_token_positions, causal), {}, &m.kv);
  return test::last_logits(*r.logits);
}

void expect_close(const std::vector<float>& got, const std::vector<float>& want, double relative) {
  EXPECT_LE(test::max_diff(got, want), relative * test::max_abs(want));
}

TEST(GraphPass, PrefillOfMoreTokensEqualsDecodeSteps) {
  for (const char* name : {"text_f16", "image_q8"}) {
    SCOPED_TRACE(name);
    const test::ReferenceCase& c = reference(name);
    LoadedModel m(c.model, kElemF32);
    const uint64_t k = 5;
    const test::Generation steps = test::generate(m, c.prompt, c.views, c.image_token_positions, k + 1, false, c.tokens);
    std::vector<int64_t> longer = c.prompt;
    longer.insert(longer.end(), c.tokens.begin(), c.tokens.begin() + k);
    expect_close(prefill_logits(m, longer, c, false), steps.logits[k], 1e-5);
    expect_close(prefill_logits(m, longer, c, true), steps.logits[k], 1e-5);
  }
}

TEST(GraphPass, InPlaceCacheEqualsReallocatedCopies) {
  const test::ReferenceCase& c = reference("image_f16");
  for (uint64_t act : {kElemF32, kElemF16}) {
    LoadedModel m(c.model, act);
    const uint64_t steps = 6, p = c.prompt.size();
    const test::Generation in_place = test::generate(m, c.prompt, c.views, c.image_token_positions, steps, true, c.tokens);
    // Prefill reserves one buffer per K and V of each layer; every decode
    // step then writes one row per head and copies nothing.
    const uint64_t layers = m.shape.text_layers, row = m.shape.kv_heads * m.shape.head_dim;
    EXPECT_EQ(m.kv.cacheBufferCount(), 2 * layers);
    EXPECT_EQ(m.kv.cacheCopiedElements(), 0u);
    EXPECT_EQ(m.kv.cacheWrittenElements(), 2 * layers * row * (p + steps - 1));
    const test::Generation copied =
        test::generate(m, c.prompt, c.views, c.image_token_positions, steps, true, c.tokens, /*capacity=*/0);
    EXPECT_EQ(m.kv.cacheBufferCount(), 2 * layers * steps);
    uint64_t history = 0;
    for (uint64_t s = 1; s < steps; ++s) history += p + s - 1;
    EXPECT_EQ(m.kv.cacheCopiedElements(), 2 * layers * row * history);
    for (uint64_t s = 0; s < steps; ++s) EXPECT_EQ(in_place.logits[s], copied.logits[s]) << "step " << s;
  }
}

// The rest of a prompt after r reused tokens, over views of cached K and V
// holding at least r rows (the way the generation layer feeds them).
std::map<std::string, VNTensorRef> reuse_inputs(LoadedModel& m, const std::vector<int64_t>& prompt, uint64_t r,
                                                const std::map<std::string, VNTensorRef>& cached) {
  VNGraph& g = m.g();
  const std::vector<int64_t> tail(prompt.begin() + int64_t(r), prompt.end());
  auto in = test::decode_inputs(g, m.shape, 0, 0, true, {});
  in["input_ids"] = test::host_tensor(g, {1, tail.size()}, kElemI64, tail.data());
  std::vector<int64_t> pos;
  for (uint64_t i = r; i < prompt.size(); ++i) pos.push_back(int64_t(i));
  in["position_ids"] = test::host_tensor(g, {1, pos.size()}, kElemI64, pos.data());
  for (const auto& [name, t] : cached) {
    auto view = std::make_shared<VNTensor>(*t);
    view->shape[2] = r;
    view->count = shape_element_count(view->shape);
    in[name] = view;
  }
  return in;
}

TEST(GraphPass, ReusedPromptPrefixGivesTheLogitsOfAFreshPrefill) {
  const test::ReferenceCase& c = reference("text_q8");
  LoadedModel m(c.model, kElemF32);
  VNGraph& g = m.g();
  // A first generation leaves its cache; the next prompt shares all but
  // its last three tokens and continues differently.
  std::map<std::string, VNTensorRef> cached;
  test::generate(m, c.prompt, 0, {}, 3, true, {}, -1, &cached);
  std::vector<int64_t> next(c.prompt.begin(), c.prompt.end() - 3);
  for (int64_t t : {int64_t(70), int64_t(105), int64_t(33), int64_t(10)}) next.push_back(t);
  const uint64_t r = c.prompt.size() - 3;
  m.kv.reserve(m.kv.cacheCapacity());  // the figures from 0
  VNRunResult reused = g.run(reuse_inputs(m, next, r, cached), {}, &m.kv);
  EXPECT_EQ(m.kv.cacheCopiedElements(), 0u);  // the reserved rows took the new tokens in place
  const std::vector<float> got = test::last_logits(*reused.logits);
  expect_close(got, prefill_logits(m, next, c, true), 1e-5);
}

TEST(GraphPass, CancelStopsBetweenCommandBuffersAndLeavesTheGraphUsable) {
  const test::ReferenceCase& c = reference("text_f16");
  LoadedModel m(c.model, kElemF32);
  VNGraph& g = m.g();
  const std::vector<float> clean = prefill_logits(m, c.prompt, c, true);

  // A word already set stops a decode step before its first node.
  std::atomic<uint32_t> word{1};
  g.setCancelFlag(&word);
  const uint64_t written = m.kv.cacheWrittenElements();
  auto decode = test::decode_inputs(g, m.shape, 5, 0, true, {});
  for (uint64_t l = 0; l < m.shape.text_layers; ++l)
    for (const char* kind : {"past_key.", "past_value."})
      decode[kind + std::to_string(l)] = test::host_tensor(g, {1, m.shape.kv_heads, 0, m.shape.head_dim}, kElemF32);
  try {
    g.run(decode, {}, &m.kv);
    ADD_FAILURE() << "the pass ran";
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), "VornCancelled");
    EXPECT_STREQ(e.reason(), "Generation cancelled");
  }
  EXPECT_EQ(m.kv.cacheWrittenElements(), written);

  // A prefill whose word turns non-zero while its first text layer runs: the
  // word is the first new row of layer 0's cached keys, which that layer's
  // append writes in place. The pass stops at the next group and layer 1 is
  // never encoded.
  const uint64_t r = 40, hk = m.shape.kv_heads, d = m.shape.head_dim;
  std::map<std::string, VNTensorRef> cached;
  g.setCancelFlag(nullptr);
  m.kv.reserve(c.prompt.size());
  {
    const std::vector<int64_t> head(c.prompt.begin(), c.prompt.begin() + int64_t(r));
    cached = g.run(test::prompt_inputs(g, m.shape, head, 0, {}, true), {}, &m.kv).cache;
  }
  const VNTensorRef& k0 = cached.at("past_key.0");
  ASSERT_EQ(k0->cacheStride, c.prompt.size());
  auto* first_new_row = reinterpret_cast<std::atomic<uint32_t>*>(k0->contents() + r * d * 4);
  first_new_row->store(0);
  g.setCancelFlag(first_new_row);
  const uint64_t before = m.kv.cacheWrittenElements();
  try {
    g.run(reuse_inputs(m, c.prompt, r, cached), {}, &m.kv);
    ADD_FAILURE() << "the pass ran";
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), "VornCancelled");
  }
  EXPECT_EQ(m.kv.cacheWrittenElements() - before, 2 * hk * (c.prompt.size() - r) * d);

  g.setCancelFlag(nullptr);
  VNRunResult again = g.run(reuse_inputs(m, c.prompt, r, cached), {}, &m.kv);
  expect_close(test::last_logits(*again.logits), clean, 1e-5);
  EXPECT_EQ(prefill_logits(m, c.prompt, c, true), clean);
}

// The word set from another thread while prefills run: some pass stops
// with VornCancelled, and the graph then runs as before.
TEST(GraphPass, CancelFromAnotherThread) {
  const test::ReferenceCase& c = reference("tiled_f16");
  LoadedModel m(c.model, kElemF32);
  VNGraph& g = m.g();
  const std::vector<float> clean = prefill_logits(m, c.prompt, c, true);
  std::atomic<uint32_t> word{0};
  g.setCancelFlag(&word);
  bool stopped = false;
  for (int attempt = 0; attempt < 20 && !stopped; ++attempt) {
    word.store(0);
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(200 * attempt));
      word.store(1);
    });
    try {
      prefill_logits(m, c.prompt, c, true);
    } catch (const VNError& e) {
      EXPECT_STREQ(e.category(), "VornCancelled");
      stopped = true;
    }
    canceller.join();
  }
  EXPECT_TRUE(stopped);
  word.store(0);
  EXPECT_EQ(prefill_logits(m, c.prompt, c, true), clean);
}

TEST(GraphPass, CapturesAndProfiles) {
  const test::ReferenceCase& c = reference("image_f16");
  LoadedModel m(c.model, kElemF32);
  VNGraph& g = m.g();
  auto feed = [&] { return test::prompt_inputs(g, m.shape, c.prompt, c.views, c.image_token_positions, true); };
  VNRunResult plain = g.run(feed());
  EXPECT_EQ(plain.logits->shape, (std::vector<uint64_t>{1, 1, m.shape.vocab}));
  EXPECT_EQ(plain.cache.size(), 2 * m.shape.text_layers);

  // A group name captures the first output of the group's last node.
  VNRunResult captured = g.run(feed(), {"text.layers.0", "text.layers.0.residual2", "image_features", "logits"});
  ASSERT_EQ(captured.captures.size(), 4u);
  EXPECT_EQ(test::read_floats(*captured.captures["text.layers.0"]),
            test::read_floats(*captured.captures["text.layers.0.residual2"]));
  EXPECT_EQ(captured.captures["image_features"]->shape, (std::vector<uint64_t>{1, 64, m.shape.text_width}));
  // Capturing the logits computes every position.
  EXPECT_EQ(captured.logits->shape, (std::vector<uint64_t>{1, c.prompt.size(), m.shape.vocab}));
  expect_close(test::last_logits(*captured.logits), test::last_logits(*plain.logits), 1e-5);

  g.setProfile(true);
  VNRunResult profiled = g.run(feed());
  g.setProfile(false);
  ASSERT_EQ(g.lastProfile.size(), g.nodes().size());
  for (size_t i = 0; i < g.lastProfile.size(); ++i) {
    EXPECT_EQ(g.lastProfile[i].op, g.nodes()[i].op);
    EXPECT_EQ(g.lastProfile[i].group, g.groups()[g.nodes()[i].group]);
    EXPECT_GE(g.lastProfile[i].gpu_ms, 0.0);
  }
  EXPECT_EQ(test::last_logits(*profiled.logits), test::last_logits(*plain.logits));
  EXPECT_GT(g.lastGPUms, 0.0);
}

// Decode steps fold each residual add, and each gated block's SiLU and
// multiply, into the product before them, and each layer's query and key
// ropes into their products, and write each layer's new key row (from its
// roped product) and value row (from its product) straight into the cache;
// a profiled pass runs every node on its own, and both give the same bits.
TEST(GraphPass, FoldedDecodeStepsKeepTheBitsOfSeparateNodes) {
  for (const char* name : {"text_f16", "image_q8"})
    for (uint64_t act : {kElemF32, kElemF16}) {
      SCOPED_TRACE(std::string(name) + (act == kElemF32 ? " f32" : " f16"));
      const test::ReferenceCase& c = reference(name);
      LoadedModel m(c.model, act);
      const uint64_t steps = 4;
      const test::Generation folded = test::generate(m, c.prompt, c.views, c.image_token_positions, steps, true, c.tokens);
      const uint64_t folds = m.g().foldedNodes, rows = m.g().cacheRowsInPlace, ropes = m.g().foldedRopes;
      // Two adds, a gated block's three nodes and two ropes per layer, each
      // step.
      EXPECT_EQ(ropes, (steps - 1) * m.shape.text_layers * 2);
      EXPECT_EQ(folds, (steps - 1) * m.shape.text_layers * 7);
      EXPECT_EQ(rows, (steps - 1) * m.shape.text_layers * 2);
      m.g().setProfile(true);
      const test::Generation separate =
          test::generate(m, c.prompt, c.views, c.image_token_positions, steps, true, c.tokens);
      EXPECT_EQ(m.g().foldedNodes, folds);
      EXPECT_EQ(m.g().cacheRowsInPlace, rows);
      EXPECT_EQ(m.g().foldedRopes, ropes);
      for (uint64_t s = 0; s < steps; ++s) EXPECT_EQ(folded.logits[s], separate.logits[s]) << "step " << s;
    }
}

// Prints a digest of the logits of a tiled-image prefill and two decode
// steps, FP32 through the product paths and FP16 through the kernels.
TEST(GraphPass, CoreCountChild) {
  if (!test::in_pinned_child()) GTEST_SKIP() << "runs in the pinned children only";
  const test::ReferenceCase& c = reference("tiled_q8");
  for (uint64_t act : {kElemF32, kElemF16}) {
    LoadedModel m(c.model, act, act == kElemF32 ? "auto" : "metal");
    const test::Generation gen = test::generate(m, c.prompt, c.views, c.image_token_positions, 3, false);
    std::string bytes;
    for (const auto& l : gen.logits) bytes.append(reinterpret_cast<const char*>(l.data()), l.size() * 4);
    uint8_t digest[16];
    xxh3_128_store(bytes.data(), bytes.size(), digest);
    printf("ANSWER %d", int(act));
    for (uint8_t b : digest) printf("%02x", b);
    printf("\n");
  }
}

TEST(GraphPass, SameBitsAtEveryCoreCount) {
  if (test::in_pinned_child()) GTEST_SKIP();
  std::string first;
  for (int cores : test::pinned_core_counts()) {
    const std::string answer = test::run_pinned(cores, "GraphPass.CoreCountChild");
    ASSERT_NE(answer, "") << cores << " cores";
    if (first.empty()) first = answer;
    EXPECT_EQ(answer, first) << cores << " cores";
  }
}

}  // namespace
}  // namespace vorn
