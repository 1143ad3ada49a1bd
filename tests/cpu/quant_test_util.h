// Helpers of the quantisation tests: the VORN_CPU_Q* variables set for one
// scope, and engines built from hand-made graphs under them.
#pragma once
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "cpu/engine.h"
#include "kernels/quant_state.h"
#include "tests/cpu/graph_builder.h"

namespace vorn::test {

inline constexpr const char* kQuantVariables[] = {
    "VORN_CPU_QW",      "VORN_CPU_QWG",       "VORN_CPU_QENDS",   "VORN_CPU_QA",
    "VORN_CPU_QAG",     "VORN_CPU_QT",        "VORN_CPU_QT_WIDE", "VORN_CPU_QT_ONLY",
    "VORN_CPU_QCAL",    "VORN_CPU_QCAL_OUT",  "VORN_CPU_I8_STATS", "VORN_CPU_I8_FUSED",
    "VORN_CPU_I8_FUSED1X1"};

// Sets the given variables and clears every other one of them; all are
// cleared again at the end of the scope.
struct QuantEnv {
  QuantEnv(std::initializer_list<std::pair<const char*, std::string>> vars = {}) {
    for (const char* name : kQuantVariables) unsetenv(name);
    for (auto& [name, value] : vars) setenv(name, value.c_str(), 1);
  }
  ~QuantEnv() {
    for (const char* name : kQuantVariables) unsetenv(name);
  }
  QuantEnv(const QuantEnv&) = delete;
  QuantEnv& operator=(const QuantEnv&) = delete;
};

// An engine over its own copy of a graph's weight storage.
struct QuantEngine {
  GraphBuilder graph;
  CpuState* state = nullptr;
  CpuCreateError error{};
  explicit QuantEngine(const GraphBuilder& b, uint64_t batch = 1) : graph(b) {
    CpuCreateResult r = cpu_engine_create_graph(graph.graph(), batch, CpuPrecisionRequest{});
    if (r.ok())
      state = r.value;
    else
      error = r.error;
  }
  ~QuantEngine() { cpu_engine_free(&state); }
  QuantEngine(const QuantEngine&) = delete;
  QuantEngine& operator=(const QuantEngine&) = delete;
  bool ok() const { return state != nullptr; }
  // Weight data as the engine sees it (rounded at creation when asked).
  std::vector<float> weight(uint64_t id) const {
    const ValueRecord& v = graph.values[id];
    const float* p = graph.storage.data() + v.data_offset() / 4;
    return std::vector<float>(p, p + v.count());
  }
  std::vector<float> run(const std::vector<float>& input) {
    const ValueRecord& out = state->values[state->first_output];
    std::vector<float> y(out.count(), -12345.0f);
    if (!cpu_engine_execute(&state, input.data(), y.data())) y.clear();
    return y;
  }
};

}  // namespace vorn::test
