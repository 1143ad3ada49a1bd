#include "kernels/kernel_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "container/op_codes.h"
#include "kernels/arena_planner.h"
#include "kernels/cpu_state.h"
#include "kernels/graph_validate.h"
#include "kernels/kernel.h"
#include "kernels/split_gate.h"

namespace vorn {

struct CpuKernelHost {
  CpuState* state = nullptr;  // values and nodes of the added kernels only
  std::vector<NodePlan> plans;  // one per added node
  bool ready = false;
  std::mutex turn;
};

namespace {

// Value id of an omitted input: outside the value count.
constexpr uint64_t kOmitted = kCpuMaxValues;

bool reason(char* message, size_t capacity, const char* text) {
  if (message != nullptr && capacity > 0) std::snprintf(message, capacity, "%s", text);
  return false;
}

}  // namespace

CpuKernelHost* cpu_kernel_host_new() {
  auto* host = new (std::nothrow) CpuKernelHost;
  if (host == nullptr) return nullptr;
  host->state = static_cast<CpuState*>(std::calloc(1, sizeof(CpuState)));
  if (host->state == nullptr) {
    delete host;
    return nullptr;
  }
  host->state->compiled_batch = 1;
  host->state->isa = kernel_isa_of_this_cpu();
  return host;
}

void cpu_kernel_host_free(CpuKernelHost* host) {
  if (host == nullptr) return;
  if (host->state != nullptr) std::free(host->state->im2col);
  std::free(host->state);
  delete host;
}

int64_t cpu_kernel_host_add(CpuKernelHost* host, const NodeRecord& node, const ValueRecord* inputs,
                            uint64_t input_count, const ValueRecord* outputs, uint64_t output_count, char* message,
                            size_t capacity) {
  CpuState& s = *host->state;
  const CpuOpEntry* entry = cpu_op_entry(node.op());
  if (entry == nullptr) return reason(message, capacity, "operator has no CPU kernel"), -1;
  if (input_count > kNodeMaxInputs || output_count > kNodeMaxOutputs || output_count == 0)
    return reason(message, capacity, "too many operands"), -1;
  if (s.node_count >= kCpuMaxNodes || s.value_count + input_count + output_count > kCpuMaxValues)
    return reason(message, capacity, "too many kernels"), -1;
  NodeRecord n = node;
  n.set_input_count(input_count);
  n.set_output_count(output_count);
  for (uint64_t k = 0; k < input_count; ++k) {
    if (inputs[k].kind() == 0) {
      n.set_input(k, kOmitted);
      continue;
    }
    s.values[s.value_count] = inputs[k];
    n.set_input(k, s.value_count++);
  }
  for (uint64_t k = 0; k < output_count; ++k) {
    s.values[s.value_count] = outputs[k];
    n.set_output(k, s.value_count++);
  }
  s.nodes[s.node_count] = n;
  char why[200] = {0};
  NodePlan plan;
  plan.workspace_bytes = 0;
  plan.serial = cpu_node_stays_serial(s, n);
  // The plan states the workspace the node wants; ready() sizes the shared
  // one for every plan.
  float* workspace = s.im2col;
  s.im2col = nullptr;
  const bool prepared = entry->prepare(s, n, plan, why, sizeof why);
  s.im2col = workspace;
  if (prepared) {
    try {
      host->plans.push_back(plan);
    } catch (...) {
      std::snprintf(why, sizeof why, "out of memory");
    }
  }
  if (!prepared || host->plans.size() != s.node_count + 1) {
    s.value_count -= input_count + output_count;
    for (uint64_t k = 0; k < input_count; ++k)
      if (inputs[k].kind() == 0) ++s.value_count;
    if (message != nullptr && capacity > 0) std::snprintf(message, capacity, "%s", why[0] ? why : "malformed node");
    return -1;
  }
  host->ready = false;
  return int64_t(s.node_count++);
}

bool cpu_kernel_host_ready(CpuKernelHost* host, char* message, size_t capacity) {
  CpuState& s = *host->state;
  s.plans = host->plans.data();
  const uint64_t bytes = arena_padded(cpu_workspace_bytes(s));
  if (bytes > (uint64_t{1} << 40))
    return reason(message, capacity, "a convolution needs an im2col workspace beyond 1 TiB");
  if (bytes > s.im2col_size) {
    float* w = static_cast<float*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
    if (w == nullptr) return reason(message, capacity, "out of memory allocating the im2col workspace");
    std::free(s.im2col);
    s.im2col = w;
    s.im2col_size = bytes;
  }
  host->ready = true;
  return true;
}

bool cpu_kernel_host_run(CpuKernelHost* host, int64_t index, const float* const* inputs, float* const* outputs) {
  std::lock_guard<std::mutex> hold(host->turn);
  CpuState& s = *host->state;
  if (!host->ready || index < 0 || uint64_t(index) >= s.node_count) return false;
  const NodeRecord& n = s.nodes[index];
  for (uint64_t k = 0; k < n.input_count(); ++k)
    if (n.input(k) < s.value_count) s.data[n.input(k)] = const_cast<float*>(inputs[k]);
  for (uint64_t k = 0; k < n.output_count(); ++k) s.data[n.output(k)] = outputs[k];
  const CpuOpEntry* entry = cpu_op_entry(n.op());
  if (entry == nullptr) return false;
  const NodePlan& plan = host->plans[uint64_t(index)];
  const CpuSerialNode gate(plan.serial);
  return entry->kernel(s, n, plan);
}

}  // namespace vorn
