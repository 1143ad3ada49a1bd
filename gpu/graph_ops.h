// GraphOp, the operation codes of a generative graph's nodes, expanded from
// graph_op_table.inc, and the words of the graph block's records.
#pragma once
#include <cstdint>

namespace vorn {

enum GraphOp : uint64_t {
#define VORN_GRAPH_OP(code, name, id, attrs, min_in, max_in, outs) id = code,
#include "gpu/graph_op_table.inc"
#undef VORN_GRAPH_OP
};

struct GraphOpRow {
  uint64_t code;
  const char* name;
  uint64_t attributes, min_inputs, max_inputs, outputs;
};

// The row of a code, or null outside 1..13.
const GraphOpRow* graph_op_row(uint64_t code);
constexpr uint64_t kGraphOpCount = 0
#define VORN_GRAPH_OP(code, name, id, attrs, min_in, max_in, outs) +1
#include "gpu/graph_op_table.inc"
#undef VORN_GRAPH_OP
    ;

// Flags of a graph value record.
enum : uint64_t {
  kGraphValueInput = 1,
  kGraphValueLogits = 2,
  kGraphValueWeight = 4,
};

// Attribute words of the operations that have them.
enum : uint64_t {
  kPatchSizeAttr = 0,
  kEpsilonAttr = 0,
  kAttentionQueryHeads = 0,
  kAttentionKvHeads = 1,
  kAttentionHeadDim = 2,
  kAttentionCache = 3,
  kRopeHeadDim = 0,
  kRopeTheta = 1,
  kRopeHeads = 2,
  kShuffleFactor = 0,
  kShuffleHeight = 1,
  kShuffleWidth = 2,
};

// Inputs of attention.
enum : uint64_t {
  kAttentionQ = 0,
  kAttentionK = 1,
  kAttentionV = 2,
  kAttentionMask = 3,
  kAttentionPastK = 4,
  kAttentionPastV = 5,
};

}  // namespace vorn
