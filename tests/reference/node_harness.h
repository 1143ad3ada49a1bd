// Builds a CpuState by hand around one or a few nodes, so kernel tests can run
// an operator through its check and kernel without a container or an engine.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kernels/cpu_state.h"
#include "kernels/kernel.h"
#include "graph_records.h"

namespace vorn::test {

class NodeHarness {
 public:
  NodeHarness() : state_(static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)))) {
    state_->compiled_batch = 1;
    // The engine's own choice; a test of the portable forms sets it.
    state_->isa = kernel_isa_of_this_cpu();
    state_->value_count = 1;  // id 0 is left unused so that 0 never names a real value
    im2col_.assign(1 << 20, 0.0f);
    state_->im2col = im2col_.data();
    state_->im2col_size = im2col_.size() * sizeof(float);
  }
  ~NodeHarness() { std::free(state_); }
  NodeHarness(const NodeHarness&) = delete;
  NodeHarness& operator=(const NodeHarness&) = delete;

  CpuState& state() { return *state_; }

  // Adds an f32 value with the given dims; data is copied when given, else
  // the buffer is zero. Returns its id.
  uint64_t value(std::vector<uint64_t> dims, const std::vector<float>& data = {},
                 uint64_t kind = kValueActivation) {
    uint64_t id = state_->value_count++;
    state_->values[id] = value_record(kind, dims);
    const uint64_t count = state_->values[id].count();
    // 16 spare floats so an over-read by a kernel shows up under ASan only as
    // an intended guard, and tests can check them for stray writes.
    buffers_.emplace_back(count + 16, 0.0f);
    std::vector<float>& b = buffers_.back();
    if (!data.empty()) std::memcpy(b.data(), data.data(), std::min<size_t>(data.size(), count) * 4);
    state_->data[id] = b.data();
    return id;
  }

  std::vector<float> read(uint64_t id) const {
    const auto* p = static_cast<const float*>(state_->data[id]);
    return std::vector<float>(p, p + state_->values[id].count());
  }

  // A node record with the given inputs, outputs and attribute words.
  static NodeRecord node(uint64_t op, std::initializer_list<uint64_t> inputs,
                         std::initializer_list<uint64_t> outputs,
                         std::initializer_list<std::pair<int, uint64_t>> attrs = {}) {
    return node_record(op, {inputs.begin(), inputs.size()}, {outputs.begin(), outputs.size()},
                       {attrs.begin(), attrs.size()});
  }
  static uint64_t f32_word(float f) { return test::f32_word(f); }
  static uint64_t i64_word(int64_t v) { return test::i64_word(v); }

  // Runs the operator's prepare step into plan; the message of a refusal
  // is kept in last_message(). The plan fits the harness's workspace.
  bool prepare(const NodeRecord& n, NodePlan* plan) {
    const CpuOpEntry* e = cpu_op_entry(n.op());
    if (e == nullptr) {
      message_ = "no kernel";
      return false;
    }
    char msg[256] = {0};
    plan->workspace_bytes = 0;
    if (!e->prepare(*state_, n, *plan, msg, sizeof msg)) {
      message_ = msg;
      return false;
    }
    return true;
  }

  // The workspace the node asks for when nothing limits it.
  uint64_t workspace_wanted(const NodeRecord& n) {
    float* held = state_->im2col;
    state_->im2col = nullptr;
    NodePlan plan;
    const bool ok = prepare(n, &plan);
    state_->im2col = held;
    return ok ? plan.workspace_bytes : 0;
  }

  // Gives the state a workspace of exactly `bytes` (a kernel test of how a
  // smaller workspace is used).
  void set_workspace(uint64_t bytes) {
    im2col_.assign(bytes / 4 + 1, 0.0f);
    state_->im2col = im2col_.data();
    state_->im2col_size = bytes;
  }

  // Runs the operator's prepare step, then its kernel.
  bool run(const NodeRecord& n) {
    NodePlan plan;
    if (!prepare(n, &plan)) return false;
    return cpu_op_entry(n.op())->kernel(*state_, n, plan);
  }
  const std::string& last_message() const { return message_; }

 private:
  CpuState* state_;
  std::vector<float> im2col_;
  std::vector<std::vector<float>> buffers_;
  std::string message_;
};

}  // namespace vorn::test
