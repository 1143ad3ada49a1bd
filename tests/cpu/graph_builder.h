// Hand-built graphs for engine tests: value and node records plus a weight
// storage, in the layout a container hands to the engine.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "container/records.h"
#include "kernels/cpu_state.h"
#include "cpu/engine.h"
#include "reference/graph_records.h"
#include "reference/scoped_env.h"

namespace vorn::test {

class GraphBuilder {
 public:
  // An f32 value of the given kind and dims; returns its id.
  uint64_t value(uint64_t kind, std::vector<uint64_t> dims) {
    values.push_back(value_record(kind, dims));
    return values.size() - 1;
  }
  uint64_t input(std::vector<uint64_t> dims) { return value(kValueGraphInput, std::move(dims)); }
  uint64_t output(std::vector<uint64_t> dims) { return value(kValueGraphOutput, std::move(dims)); }
  uint64_t act(std::vector<uint64_t> dims) { return value(kValueActivation, std::move(dims)); }

  // A weight whose data is appended to the storage on a 64-byte boundary.
  uint64_t weight(std::vector<uint64_t> dims, const std::vector<float>& data) {
    uint64_t id = value(kValueWeight, std::move(dims));
    while (storage.size() % 16 != 0) storage.push_back(0.0f);
    values[id].w[12] = storage.size() * 4;
    storage.insert(storage.end(), data.begin(), data.end());
    storage.resize(storage.size() + (values[id].count() > data.size() ? values[id].count() - data.size() : 0));
    return id;
  }

  uint64_t node(uint64_t op, std::initializer_list<uint64_t> in, std::initializer_list<uint64_t> out,
                std::initializer_list<std::pair<int, uint64_t>> attrs = {}) {
    nodes.push_back(node_record(op, {in.begin(), in.size()}, {out.begin(), out.size()},
                                {attrs.begin(), attrs.size()}));
    return nodes.size() - 1;
  }

  static uint64_t f32_word(float f) { return test::f32_word(f); }
  static uint64_t i64_word(int64_t v) { return test::i64_word(v); }

  CpuGraph graph() {
    if (storage.empty()) storage.push_back(0.0f);
    CpuGraph g;
    g.values = values;
    g.nodes = nodes;
    g.weights = storage.data();
    g.weights_size = storage.size() * 4;
    return g;
  }

  std::vector<ValueRecord> values;
  std::vector<NodeRecord> nodes;
  std::vector<float> storage;
};

// Owns an engine for one test.
struct Engine {
  CpuState* state = nullptr;
  CpuCreateError error{};
  Engine(GraphBuilder& b, uint64_t batch = 1) {
    CpuCreateResult r = cpu_engine_create_graph(b.graph(), batch, CpuPrecisionRequest{});
    if (r.ok())
      state = r.value;
    else
      error = r.error;
  }
  ~Engine() { cpu_engine_free(&state); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  bool ok() const { return state != nullptr; }
};

inline bool bit_equal(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

// What an engine made of a graph (its node records after fusion) and the
// output it gave.
struct FusionRun {
  std::vector<NodeRecord> records;
  std::vector<float> y;
  uint64_t nodes() const { return records.size(); }
};

// Runs the graph on x, and on `other` bound to value other_id when given,
// fused or with fusion turned off.
inline FusionRun run_fused(GraphBuilder& b, const std::vector<float>& x, size_t out_count, bool fused,
                           uint64_t other_id = 0, const std::vector<float>& other = {}) {
  FusionRun r;
  std::unique_ptr<ScopedEnv> off;
  if (!fused) off = std::make_unique<ScopedEnv>("VORN_CPU_NOFUSE", "1");
  Engine e(b);
  EXPECT_TRUE(e.ok()) << e.error.message;
  if (!e.ok()) return r;
  r.records.assign(e.state->nodes, e.state->nodes + e.state->node_count);
  if (!other.empty()) {
    EXPECT_EQ(cpu_engine_set_input(&e.state, other_id, other.data(), other.size() * 4), 1u);
  }
  r.y.resize(out_count);
  EXPECT_TRUE(cpu_engine_execute(&e.state, x.data(), r.y.data()));
  return r;
}

}  // namespace vorn::test
