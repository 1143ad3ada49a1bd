// The evaluator of each graph operation (internal to the graph layer); the
// table in graph_layer_eval.cpp lists them in the operation table's order.
#pragma once
#include <string>

#include "platform/graph_layer_eval.h"

namespace vorn::mpsg {

#define VORN_GRAPH_EVALUATOR(name) \
  bool name(const Node& n, const Value* const* in, size_t count, const Value& out, float* workspace, std::string* error)
VORN_GRAPH_EVALUATOR(eval_unary);
VORN_GRAPH_EVALUATOR(eval_binary);
VORN_GRAPH_EVALUATOR(eval_addition);
VORN_GRAPH_EVALUATOR(eval_select);
VORN_GRAPH_EVALUATOR(eval_clamp);
VORN_GRAPH_EVALUATOR(eval_softmax);
VORN_GRAPH_EVALUATOR(eval_reduction);
VORN_GRAPH_EVALUATOR(eval_argmax);
VORN_GRAPH_EVALUATOR(eval_topk);
VORN_GRAPH_EVALUATOR(eval_host_operation);
VORN_GRAPH_EVALUATOR(eval_resize);
VORN_GRAPH_EVALUATOR(eval_gather);
VORN_GRAPH_EVALUATOR(eval_scatter_nd);
VORN_GRAPH_EVALUATOR(eval_concat);
#undef VORN_GRAPH_EVALUATOR

// One link of a fused elementwise chain: its node, and for each input the
// index of an external operand, or -1 for the previous link's result.
constexpr size_t kMaxChainOperands = 8;
struct ChainLink {
  const Node* node;
  int8_t operand[3];
};
bool eval_chain(const ChainLink* links, size_t count, const Value* const* external, size_t external_count,
                const Value& out);
// Operations a chain may hold.
inline bool chainable(Operation op) {
  return op == Operation::kUnary || op == Operation::kBinary || op == Operation::kAddition || op == Operation::kClamp ||
         op == Operation::kSelect;
}

// Workspace of the evaluators that need one (floats).
int64_t topk_workspace(const Node& n);
int64_t reduction_workspace(const Node& n, const std::vector<const Layout*>& inputs);
// Pieces of work a reduction of outputs x count values is split into.
int64_t workspace_slots(int64_t outputs, int64_t count);
int64_t host_operation_workspace(const Node& n, const std::vector<const Layout*>& inputs);
int64_t resize_workspace(const Node& n, const std::vector<const Layout*>& inputs);

// Copies v densely into dst as floats (widening float16 storage).
void copy_dense(const Value& v, float* dst);
// Whether a layout is float storage laid out densely.
bool layout_dense_f32(const Layout& l);

}  // namespace vorn::mpsg
