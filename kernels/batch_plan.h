// The compiled batch: how many samples one pass processes, and the widening
// of dim 0 of every value that carries the batch.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"

namespace vorn {

// True when the node computes each sample of a batch independently, given
// which values carry the batch (batched[id] != 0).
bool cpu_node_batch_safe(const CpuState& state, const NodeRecord& node, const uint8_t* batched);

// Marks the values that carry the batch (batched, value_count bytes) and
// answers whether every node computes each sample of a batch on its own, so
// that one pass can take a whole batch. The GPU engine batches by the same
// rule.
bool graph_batch_safe(const ValueRecord* values, uint64_t value_count, const NodeRecord* nodes, uint64_t node_count,
                      uint8_t* batched);

// Sets state.compiled_batch from the request and dim 0 of the first input,
// and when the request is taken widens the batched values (dims[0], element
// count and byte size times the batch). scratch holds value_count bytes; it
// is cleared again before returning.
void cpu_settle_batch(CpuState& state, uint64_t requested, uint8_t* scratch);

}  // namespace vorn
