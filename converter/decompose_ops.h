// ONNX operators without an operator code of their own, imported as chains
// of operators that have one. The chain reads the node's inputs and writes
// its outputs; its intermediate values are named "<output>#<step>".
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

enum class Decompose : uint8_t { kNone, kSoftplus, kSign, kLogSoftmax, kReduceL2 };

// The chain an op_type of the default domain is imported as, or kNone.
Decompose decompose_kind(const uint8_t* op_type, uint64_t len);

// Appends the chain standing for `node` (imported like the operator the
// chain is built around: Softmax's axis words for LogSoftmax, ReduceSum's
// axis words and inputs for ReduceL2). Null on success, otherwise the reason
// for refusing it (one is an intermediate name the graph already holds);
// *table_full is set when the node or value table is full.
const char* decompose_node(BuilderState& s, const BuilderNode& node, Decompose kind, bool* table_full);

// Max or Min of three to eight inputs as a chain of two-input nodes, in
// input order (the engines' Max and Min take two). The same results and
// null; *table_full as above.
const char* decompose_variadic(BuilderState& s, const BuilderNode& node, bool* table_full);

// Selu with an explicit alpha or gamma of zero. The Selu kernel reads a zero
// word as ONNX's default, which stored models rely on, so the zero is
// computed apart: gamma x Relu(x) when alpha is 0, Selu(x; alpha, 1) x 0
// when gamma is 0. Null; *table_full as above.
const char* decompose_selu_zero(BuilderState& s, const BuilderNode& node, bool* table_full);

// LayerNormalization's optional outputs, as ONNX defines them: Mean =
// ReduceMean(x) and InvStdDev = 1 / Sqrt(ReduceMean((x - Mean)^2) +
// epsilon), over the last axis with dims kept (the engines normalise over
// the last axis only; the lowering refuses the others). Run once every node
// is imported: each statistic that a node reads or that is a graph output
// gets a chain right after its node, and every LayerNormalization keeps its
// normalised output only. Null on success, otherwise the message: the node
// or value table is full, or a statistic's intermediate name is taken.
const char* layer_norm_statistics(BuilderState& s);

}  // namespace vorn
