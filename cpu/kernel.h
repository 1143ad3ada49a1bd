// The contract between the CPU executor and the operator kernels.
//
// A kernel runs one node: it reads the node record and the value records and
// data pointers of the engine state, and writes its outputs. Kernels never
// allocate or lock; the size checks happen once at engine creation in the
// operator's check function, so a kernel may trust the shapes it is given.
//
// Each kernel family lists its operators in cpu/kernels/<family>_ops.inc as
//   VORN_CPU_OP(code, Name, kernel_function, check_function)
// and cpu/op_table.cpp turns those lists into the dispatch table.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/records.h"
#include "cpu/cpu_state.h"

namespace vorn {

// Runs the node; false fails the pass (only for conditions that cannot be
// known at creation, such as a scratch allocation).
using CpuKernel = bool (*)(CpuState& state, const NodeRecord& node);
// Checks the node's size contract at creation; on failure writes a short
// reason (without the node index or operator name, which the engine adds).
using CpuCheck = bool (*)(const CpuState& state, const NodeRecord& node, char* message,
                          size_t capacity);

struct CpuOpEntry {
  uint64_t code;
  CpuKernel kernel;
  CpuCheck check;
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
