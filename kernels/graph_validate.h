// The one validation pass of engine creation. Nothing after it re-checks a
// record: the planner, fusion, the executor and the kernels trust what
// passed. A refusal names the node (index as stored, operator name) or the
// value at fault.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/cpu_state.h"

namespace vorn {

// Largest element count of one value: kernels index with 32-bit arithmetic
// in places, and 2^31 f32 values are already 8 GiB.
constexpr uint64_t kCpuMaxElements = uint64_t{1} << 31;

// Element count and byte size of each value record against its dims and
// kind, weight ranges inside the weight storage (setting each weight's data
// pointer), at least one graph input and one graph output.
bool cpu_validate_values(CpuState& state, void* weights, uint64_t weights_size, char* message,
                         size_t capacity);

// Input and output counts and ids of every node, and a kernel for every
// operator. An input id at or above the value count inside the input count
// marks an omitted optional input; input 0 and every output must be real
// values, and no node may write a weight.
bool cpu_validate_nodes(const CpuState& state, char* message, size_t capacity);

// Each operator's own size contract, on the shapes after batch widening and
// before fusion (so that a refusal names the node as stored).
bool cpu_check_operators(const CpuState& state, char* message, size_t capacity);

// Each node's prepare step on the final node list, filling state.plans
// (node count entries). Fusion only writes nodes that pass, so a refusal
// here means a fault of the engine itself; it is reported all the same.
bool cpu_prepare_nodes(CpuState& state, char* message, size_t capacity);

// The im2col workspace the plans need: the largest plan's, at least 64.
uint64_t cpu_workspace_bytes(const CpuState& state);

// "node 3 (Conv): " and the like, for messages about one node.
int cpu_node_prefix(const CpuState& state, uint64_t index, char* message, size_t capacity);

}  // namespace vorn
