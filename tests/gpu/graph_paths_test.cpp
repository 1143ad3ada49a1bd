// The paths of one operation agree with each other and with a plain loop:
// the four linear paths (matrix-vector kernel, graph-layer product,
// matrix-product object, tiled kernels) and the attention paths (graph
// layer, batched products, tiled kernels, single kernels; explicit and
// causal masks; grouped heads; on both sides of the 2048-key split).
#include <gtest/gtest.h>

#include <optional>
#include <random>

#include "base/vn_error.h"
#include "gpu/graph_ops.h"
#include "platform/cpu_features.h"
#include "graph_fixture.h"
#include "reference/random_data.h"

namespace vorn {
namespace {

using test::LoadedModel;

using test::random_values;

float as_stored(float v, uint64_t kind) { return kind == kElemF16 ? half_to_float(float_to_half(v)) : v; }

// An F16 weight view of values (rounded to F16).
VNTensorRef f16_tensor(VNGraph& g, const std::vector<uint64_t>& shape, const std::vector<float>& values) {
  VNTensorRef t = test::host_tensor(g, shape, kElemF16);
  for (size_t i = 0; i < values.size(); ++i) {
    const uint16_t h = float_to_half(values[i]);
    std::memcpy(t->contents() + 2 * i, &h, 2);
  }
  return t;
}

struct LinearCase {
  uint64_t m, n, k;
  bool bias;
};

// Paths a configuration selects, by what it turns on.
const nlohmann::json kLinearPolicies[] = {
    {{"backend", "metal"}},
    {{"mps_prefill", true}, {"graph_linear", false}},
    {{"mps_prefill", false}, {"graph_attention", false}, {"graph_linear", true}},
};

TEST(GraphPaths, LinearPathsAgreeWithAPlainLoop) {
  // M and N multiples of 64 take the direct 64 x 64 tiles in FP32 only when
  // K is a multiple of 32 too: K = 96 does, K = 80 must not.
  const LinearCase cases[] = {{1, 64, 96, true},   {31, 64, 64, false}, {64, 128, 96, true},
                              {128, 256, 96, true}, {128, 256, 80, true}, {80, 66, 70, true},
                              {33, 64, 80, false}};
  for (uint64_t act : {kElemF32, kElemF16}) {
    LoadedModel m("patch_f16", act);
    VNGraph& g = m.g();
    for (const LinearCase& c : cases) {
      SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << "x" << c.k << " act " << act);
      const auto xs = random_values(c.m * c.k, 1), ws = random_values(c.n * c.k, 2, -0.2f, 0.2f),
                 bs = random_values(c.n, 3);
      VNTensorRef x = test::float_tensor(g, {1, c.m, c.k}, xs);
      VNTensorRef w = f16_tensor(g, {c.n, c.k}, ws);
      VNTensorRef b = c.bias ? f16_tensor(g, {c.n}, bs) : nullptr;
      for (const nlohmann::json& policy : kLinearPolicies) {
        g.configure(policy);
        mtl::CommandBufferRef cb = g.queue()->command_buffer();
        VNTensorRef y = g.linear(x, w, b, cb);
        cb->commit();
        ASSERT_EQ(cb->status(), mtl::CommandBufferStatus::kCompleted) << cb->error();
        ASSERT_EQ(y->shape, (std::vector<uint64_t>{1, c.m, c.n}));
        const std::vector<float> got = test::read_floats(*y);
        for (uint64_t i = 0; i < c.m; ++i)
          for (uint64_t j = 0; j < c.n; ++j) {
            double want = 0;
            for (uint64_t p = 0; p < c.k; ++p) want += double(as_stored(xs[i * c.k + p], act)) * as_stored(ws[j * c.k + p], kElemF16);
            if (c.bias) want += as_stored(bs[j], kElemF16);
            const double tol = act == kElemF32 ? 1e-5 + 1e-5 * std::fabs(want) : 4e-3 + 4e-3 * std::fabs(want);
            ASSERT_NEAR(got[i * c.n + j], want, tol) << i << "," << j << " " << policy.dump();
          }
        g.recycle(y);
      }
    }
    // Both product paths ran (their objects are kept by shape).
    EXPECT_GT(g.matrixCount(), 0u);
    EXPECT_GT(g.graphCount(), 0u);
  }
}

// A session that keeps answering prompts of new lengths keeps a bounded set
// of product objects and graphs (both are made per shape, and a prefill's
// shapes hold its length), and an object made again after it was dropped
// gives the same bits. (The mask is written out: a causal prefill of float
// activations runs its attention in one kernel, without product objects.)
TEST(GraphPaths, ShapeCachesStayBoundedAcrossPromptLengths) {
  LoadedModel m("patch_f16", kElemF32, "mpsgraph");
  VNGraph& g = m.g();
  auto prefill = [&](uint64_t length) {
    std::vector<int64_t> ids(length);
    for (uint64_t i = 0; i < length; ++i) ids[i] = int64_t((i * 37 + 5) % m.shape.vocab);
    VNRunResult r = g.run(test::prompt_inputs(g, m.shape, ids, 0, {}, false));
    return test::last_logits(*r.logits);
  };
  // Lengths from 32 on take the products: each adds attention products and
  // linear graphs of its own.
  const std::vector<float> first = prefill(32);
  for (uint64_t length = 33; length < 32 + VNGraph::kShapeCacheCapacity; ++length) prefill(length);
  EXPECT_EQ(g.matrixCount(), VNGraph::kShapeCacheCapacity);
  EXPECT_EQ(g.graphCount(), VNGraph::kShapeCacheCapacity);
  EXPECT_EQ(prefill(32), first);
}

// Q8 decode rows: the fused kernel reads the blocks; an empty input gives an
// empty output whatever the weight kind.
TEST(GraphPaths, QuantizedDecodeRowAndEmptyInputs) {
  LoadedModel m("patch_q8", kElemF32);
  VNGraph& g = m.g();
  const VNTensorRef* q8 = nullptr;
  for (const VNTensorRef& w : g.weights())
    if (w->dtype == kElemQ8 && w->shape.size() == 2 && w->shape[1] % 2 == 0) q8 = &w;
  ASSERT_NE(q8, nullptr);
  const uint64_t n = (*q8)->shape[0], k = (*q8)->shape[1];
  const auto xs = random_values(k, 4);
  VNTensorRef x = test::float_tensor(g, {1, 1, k}, xs);
  mtl::CommandBufferRef cb = g.queue()->command_buffer();
  const uint64_t calls = g.fusedInt8MatvecCalls;
  VNTensorRef y = g.linear(x, *q8, nullptr, cb);
  cb->commit();
  ASSERT_EQ(cb->status(), mtl::CommandBufferStatus::kCompleted);
  EXPECT_EQ(g.fusedInt8MatvecCalls, calls + 1);
  const std::vector<float> got = test::read_floats(*y);
  const uint8_t* blocks = (*q8)->contents();
  for (uint64_t j = 0; j < n; ++j) {
    double want = 0;
    for (uint64_t p = 0; p < k; ++p) {
      const uint8_t* blk = blocks + j * (*q8)->rowBytes + p / 64 * 68;
      float scale;
      std::memcpy(&scale, blk + 64, 4);
      want += double(xs[p]) * half_to_float(float_to_half(float(int8_t(blk[p % 64])) * scale));
    }
    ASSERT_NEAR(got[j], want, 1e-4 + 1e-5 * std::fabs(want));
  }
  // Seven rows need the F16 copy the forward pass makes; none need nothing.
  VNTensorRef rows = test::float_tensor(g, {1, 7, k}, random_values(7 * k, 5));
  try {
    g.linear(rows, *q8, nullptr, cb);
    ADD_FAILURE() << "a Q8 weight took seven rows";
  } catch (const VNError& e) {
    EXPECT_STREQ(e.reason(), "Linear shape/dtype");
  }
  VNTensorRef empty = test::host_tensor(g, {0, 64, k}, kElemF32);
  VNTensorRef out = g.linear(empty, *q8, nullptr, g.queue()->command_buffer());
  EXPECT_EQ(out->shape, (std::vector<uint64_t>{0, 64, n}));
  EXPECT_EQ(out->count, 0u);
}

// Products of many rows with Q8 weights read the blocks themselves: the
// bits of the graph layer's product with the weights rounded to F16 (what
// the forward pass's F16 copy holds), in every vector form, also for a
// partial last panel, a K that is no multiple of 16 and a block whose
// scale is infinite.
TEST(GraphPaths, QuantizedProductsKeepTheBitsOfTheirHalfWeights) {
  struct Case {
    uint64_t m, n, k;
    bool bias, infinite_scale;
  };
  const Case cases[] = {{32, 64, 64, false, false},  {100, 96, 192, true, false}, {40, 72, 80, true, false},
                        {64, 64, 128, false, true}, {33, 128, 576, false, false},
                        {300, 400, 128, true, false}};
  LoadedModel m("patch_q8", kElemF32);
  VNGraph& g = m.g();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.n << "x" << c.k << (c.infinite_scale ? " inf" : ""));
    const uint64_t row_bytes = (c.k + 63) / 64 * 68;
    VNTensorRef store = test::host_tensor(g, {(c.n * row_bytes + 3) / 4}, kElemF32);
    auto w = std::make_shared<VNTensor>(*store);
    w->dtype = kElemQ8;
    w->shape = {c.n, c.k};
    w->count = c.n * c.k;
    w->rowBytes = row_bytes;
    std::mt19937 gen(uint32_t(c.k));
    std::vector<float> values(c.n * c.k);
    for (uint64_t j = 0; j < c.n; ++j)
      for (uint64_t b = 0; b * 64 < c.k; ++b) {
        uint8_t* block = w->contents() + j * row_bytes + b * 68;
        const float scale = c.infinite_scale && j == 5 && b == 1 ? INFINITY : 0.001f * float(1 + gen() % 50);
        std::memcpy(block + 64, &scale, 4);
        for (uint64_t p = b * 64; p < std::min(c.k, b * 64 + 64); ++p) {
          block[p % 64] = uint8_t(gen());
          values[j * c.k + p] = float(int8_t(block[p % 64])) * scale;
        }
      }
    VNTensorRef x = test::float_tensor(g, {1, c.m, c.k}, random_values(c.m * c.k, 6));
    VNTensorRef bias = c.bias ? f16_tensor(g, {c.n}, random_values(c.n, 7)) : nullptr;
    auto bits = [&](const VNTensorRef& weight) {
      mtl::CommandBufferRef cb = g.queue()->command_buffer();
      VNTensorRef y = g.linear(x, weight, bias, cb);
      cb->commit();
      EXPECT_EQ(cb->status(), mtl::CommandBufferStatus::kCompleted) << cb->error();
      std::vector<uint32_t> out(y->count);
      std::memcpy(out.data(), y->contents(), 4 * y->count);
      g.recycle(y);
      return out;
    };
    const std::vector<uint32_t> want = bits(f16_tensor(g, {c.n, c.k}, values));
    for (const int form : {0, 1, 2}) {
      std::optional<IsaCap> cap;
      if (form == 1) cap.emplace(KernelIsa::kAvx2);
      if (form == 2) cap.emplace(KernelIsa::kPortable);
      EXPECT_EQ(bits(w), want) << "form " << form;
    }
  }
}

struct AttentionCase {
  uint64_t b, s, past, hq, hk, d;
  bool mask, cache;
};

// softmax(q k^T / sqrt(d) + mask) v over the past rows and the new ones,
// from the inputs as stored.
std::vector<double> attention_reference(const AttentionCase& c, const std::vector<float>& q, const std::vector<float>& k,
                                        const std::vector<float>& v, const std::vector<float>& pk,
                                        const std::vector<float>& pv, const std::vector<float>& mask) {
  const uint64_t total = c.past + c.s;
  std::vector<double> out(c.b * c.s * c.hq * c.d);
  auto key = [&](uint64_t b, uint64_t h, uint64_t t, uint64_t e, const std::vector<float>& past, const std::vector<float>& now) {
    return t < c.past ? double(past[((b * c.hk + h) * c.past + t) * c.d + e])
                      : double(now[((b * c.s + t - c.past) * c.hk + h) * c.d + e]);
  };
  for (uint64_t b = 0; b < c.b; ++b)
    for (uint64_t h = 0; h < c.hq; ++h)
      for (uint64_t r = 0; r < c.s; ++r) {
        const uint64_t kh = h / (c.hq / c.hk);
        std::vector<double> p(total);
        double top = -1e300, sum = 0;
        for (uint64_t t = 0; t < total; ++t) {
          double dot = 0;
          for (uint64_t e = 0; e < c.d; ++e) dot += double(q[((b * c.s + r) * c.hq + h) * c.d + e]) * key(b, kh, t, e, pk, k);
          p[t] = dot / std::sqrt(double(c.d));
          if (c.mask) p[t] += mask[(b * c.s + r) * total + t];
          else if (t > c.past + r) p[t] = -1e300;
          top = std::max(top, p[t]);
        }
        for (double& x : p) sum += (x = std::exp(x - top));
        for (uint64_t e = 0; e < c.d; ++e) {
          double acc = 0;
          for (uint64_t t = 0; t < total; ++t) acc += p[t] / sum * key(b, kh, t, e, pv, v);
          out[((b * c.s + r) * c.hq + h) * c.d + e] = acc;
        }
      }
  return out;
}

const nlohmann::json kAttentionPolicies[] = {
    {{"backend", "metal"}},
    {{"mps_attention", true}, {"graph_attention", false}},
    {{"mps_attention", false}, {"graph_attention", true}},
};

TEST(GraphPaths, AttentionPathsAgreeWithAPlainLoop) {
  const AttentionCase cases[] = {
      {2, 40, 0, 2, 2, 32, true, false},    // graph (K and V read token-major), batched products or tiled
      {1, 64, 0, 3, 3, 64, true, false},
      {1, 33, 5, 4, 2, 32, true, true},     // grouped heads with a cache: tiled
      {1, 33, 5, 4, 2, 32, false, true},    // the same, causal
      {1, 109, 0, 4, 2, 32, false, true},
      {1, 379, 0, 2, 1, 64, true, true},
      {1, 1, 70, 4, 1, 64, true, true},     // one token, head size 64
      {1, 3, 9, 6, 3, 16, false, true},     // single kernel, causal
      {1, 1, 2047, 2, 1, 32, true, true},   // 2048 keys: single kernel
      {1, 1, 2048, 2, 1, 32, false, true},  // 2049 keys: tiled
      {1, 2, 2100, 2, 2, 64, true, true},
  };
  for (uint64_t act : {kElemF32, kElemF16}) {
    LoadedModel m("patch_f16", act);
    VNGraph& g = m.g();
    for (const AttentionCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "b" << c.b << " s" << c.s << " past" << c.past << " hq" << c.hq << " hk" << c.hk
                                      << " d" << c.d << (c.mask ? " mask" : " causal") << " act " << act);
      const uint64_t total = c.past + c.s;
      auto q = random_values(c.b * c.s * c.hq * c.d, 11), k = random_values(c.b * c.s * c.hk * c.d, 12),
           v = random_values(c.b * c.s * c.hk * c.d, 13), pk = random_values(c.b * c.hk * c.past * c.d, 14),
           pv = random_values(c.b * c.hk * c.past * c.d, 15), mask = random_values(c.b * c.s * total, 16);
      for (size_t i = 0; i < mask.size(); i += 5) mask[i] = test::lowest_finite(act);
      for (auto* vec : {&q, &k, &v, &pk, &pv, &mask})
        for (float& x : *vec) x = as_stored(x, act);
      const std::vector<double> want = attention_reference(c, q, k, v, pk, pv, mask);
      for (const nlohmann::json& policy : kAttentionPolicies) {
        g.configure(policy);
        std::vector<VNTensorRef> in{test::float_tensor(g, {c.b, c.s, c.hq * c.d}, q),
                                    test::float_tensor(g, {c.b, c.s, c.hk * c.d}, k),
                                    test::float_tensor(g, {c.b, c.s, c.hk * c.d}, v),
                                    c.mask ? test::float_tensor(g, {c.b, 1, c.s, total}, mask)
                                           : test::host_tensor(g, {1, 1, 0, 0}, act)};
        if (c.cache) {
          in.push_back(test::float_tensor(g, {c.b, c.hk, c.past, c.d}, pk));
          in.push_back(test::float_tensor(g, {c.b, c.hk, c.past, c.d}, pv));
        }
        GraphNode node{kAttention, 0, {}, {}, {c.hq, c.hk, c.d, c.cache ? 1u : 0u}};
        mtl::CommandBufferRef cb = g.queue()->command_buffer();
        std::vector<VNTensorRef> out = g.operation(node, in, cb);
        cb->commit();
        ASSERT_EQ(cb->status(), mtl::CommandBufferStatus::kCompleted) << cb->error();
        ASSERT_EQ(out.size(), c.cache ? 3u : 1u);
        const std::vector<float> got = test::read_floats(*out[0]);
        for (size_t i = 0; i < want.size(); ++i)
          ASSERT_NEAR(got[i], want[i], act == kElemF32 ? 2e-5 : 2e-2) << i << " " << policy.dump();
        if (c.cache) {
          // The new K holds the past rows, then the new ones, head-major.
          EXPECT_EQ(out[1]->shape, (std::vector<uint64_t>{c.b, c.hk, total, c.d}));
          const std::vector<float> kk = test::read_floats(*out[1]);
          EXPECT_EQ(kk[0], c.past ? pk[0] : k[0]);
          EXPECT_EQ(kk[(total - 1) * c.d], k[(c.s - 1) * c.hk * c.d]);
        }
      }
    }
  }
}

// A causal prefill of float activations takes its own kernel, which leaves
// out the keys the mask hides where that changes no bit: it must give the
// bits of the batched products under the same mask written out, also where
// leaving keys out would not be exact (scores past the float range, a NaN
// or an infinity among the hidden keys and values), and for cuts of the
// rows that are no whole blocks, in every vector form.
TEST(GraphPaths, CausalAttentionKeepsTheBitsOfItsMaskWrittenOut) {
  struct Case {
    AttentionCase shape;
    float scale;                // of q and k
    int64_t key = -1, value = -1;  // new rows whose key holds an infinity, whose value a NaN
    int64_t query = -1;            // a row whose query holds a NaN with its sign set
  };
  const Case cases[] = {
      {{1, 109, 0, 9, 3, 64, false, true}, 1},         {{2, 70, 0, 4, 2, 40, false, true}, 4},
      {{1, 45, 20, 2, 1, 64, false, true}, 1},         {{1, 64, 0, 4, 1, 32, false, true}, 1e19f},
      {{1, 100, 0, 2, 2, 64, false, true}, 1, 90},     {{1, 40, 3, 3, 1, 32, false, true}, 1, -1, 35},
      {{1, 96, 0, 3, 1, 64, false, true}, 1, -1, -1, 50},
  };
  LoadedModel m("patch_f16", kElemF32);
  VNGraph& g = m.g();
  g.configure({{"mps_attention", true}, {"graph_attention", false}});
  for (const Case& e : cases) {
    const AttentionCase& c = e.shape;
    SCOPED_TRACE(testing::Message() << "b" << c.b << " s" << c.s << " past" << c.past << " d" << c.d << " scale "
                                    << e.scale << " key " << e.key << " value " << e.value
                                    << " query " << e.query);
    const uint64_t total = c.past + c.s;
    auto q = random_values(c.b * c.s * c.hq * c.d, 21), k = random_values(c.b * c.s * c.hk * c.d, 22),
         v = random_values(c.b * c.s * c.hk * c.d, 23), pk = random_values(c.b * c.hk * c.past * c.d, 24),
         pv = random_values(c.b * c.hk * c.past * c.d, 25);
    for (auto* x : {&q, &k, &pk})
      for (float& f : *x) f *= e.scale;
    if (e.key >= 0) k[e.key * c.hk * c.d] = INFINITY;
    if (e.value >= 0) v[e.value * c.hk * c.d + 1] = NAN;
    if (e.query >= 0) q[e.query * c.hq * c.d + c.d + 3] = -NAN;
    std::vector<float> mask(c.b * c.s * total, 0.0f);
    for (uint64_t i = 0; i < mask.size(); ++i)
      if (i % total > c.past + i / total % c.s) mask[i] = std::numeric_limits<float>::lowest();
    // The causal rule, then the written-out mask, in each vector form (the
    // portable products do not fuse their multiply-adds).
    std::vector<std::vector<uint32_t>> outs;
    for (const int run : {0, 1, 2, 3, 4, 5}) {
      const bool causal = run % 2 == 0;
      std::optional<IsaCap> cap;
      if (run / 2 == 1) cap.emplace(KernelIsa::kAvx2);
      if (run / 2 == 2) cap.emplace(KernelIsa::kPortable);
      std::vector<VNTensorRef> in{test::float_tensor(g, {c.b, c.s, c.hq * c.d}, q),
                                  test::float_tensor(g, {c.b, c.s, c.hk * c.d}, k),
                                  test::float_tensor(g, {c.b, c.s, c.hk * c.d}, v),
                                  causal ? test::host_tensor(g, {1, 1, 0, 0}, kElemF32)
                                         : test::float_tensor(g, {c.b, 1, c.s, total}, mask),
                                  test::float_tensor(g, {c.b, c.hk, c.past, c.d}, pk),
                                  test::float_tensor(g, {c.b, c.hk, c.past, c.d}, pv)};
      GraphNode node{kAttention, 0, {}, {}, {c.hq, c.hk, c.d, 1u}};
      mtl::CommandBufferRef cb = g.queue()->command_buffer();
      std::vector<VNTensorRef> out = g.operation(node, in, cb);
      cb->commit();
      ASSERT_EQ(cb->status(), mtl::CommandBufferStatus::kCompleted) << cb->error();
      const std::vector<float> got = test::read_floats(*out[0]);
      outs.emplace_back(got.size());
      std::memcpy(outs.back().data(), got.data(), got.size() * sizeof(float));
    }
    for (size_t i = 0; i < outs.size(); i += 2) EXPECT_EQ(outs[i], outs[i + 1]) << "form " << i / 2;
  }
}

}  // namespace
}  // namespace vorn
