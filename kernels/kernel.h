// The contract between the CPU executor and the operator kernels.
//
// Each operator has a prepare step and a kernel. Prepare runs once per node
// at engine creation: it checks the node's size contract and writes the
// node's plan (kernels/node_plan.h), everything the run needs that creation can
// know (shapes, the path and tiling chosen, the workspace it takes). The
// kernel then runs the node from its plan, the node record and the value
// records and data pointers of the engine state, and writes its outputs; it
// never allocates or locks and cannot fail for a reason creation could see.
//
// Each kernel family lists its operators in kernels/ops/<family>_ops.inc as
//   VORN_CPU_OP(Name, kernel_function, prepare_function)
// and kernels/op_table.cpp turns those lists into the dispatch table.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/records.h"
#include "kernels/cpu_state.h"
#include "kernels/node_plan.h"

namespace vorn {

// Runs the node from its plan; false fails the pass (only for conditions
// that cannot be known at creation, such as a scratch allocation or an axis
// read from an activation).
using CpuKernel = bool (*)(CpuState& state, const NodeRecord& node, const NodePlan& plan);
// Checks the node's size contract and fills its plan; on failure writes a
// short reason (without the node index or operator name, which the engine
// adds). When the state already holds a workspace (kernel tests), the plan
// is made to fit it; otherwise it states the workspace the node wants.
using CpuPrepare = bool (*)(const CpuState& state, const NodeRecord& node, NodePlan& plan, char* message,
                            size_t capacity);

struct CpuOpEntry {
  uint64_t code;
  CpuKernel kernel;
  CpuPrepare prepare;
};

// The entry for an operator code, or null when the code has no kernel.
const CpuOpEntry* cpu_op_entry(uint64_t code);

// True when input k is given: inside the input count and naming a value (an
// omitted optional input holds an id at or above the value count).
inline bool node_has_input(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return k < n.input_count() && n.input(k) < s.value_count;
}

// Accessors kernels use on their node.
inline const ValueRecord& node_in_value(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return s.values[n.input(k)];
}
inline const ValueRecord& node_out_value(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return s.values[n.output(k)];
}
inline const float* node_in(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return static_cast<const float*>(s.data[n.input(k)]);
}
inline float* node_out(const CpuState& s, const NodeRecord& n, uint64_t k) {
  return static_cast<float*>(s.data[n.output(k)]);
}

}  // namespace vorn
