// A planned evaluation of a graph (internal to the graph layer): the nodes
// it needs in order, where each value lives (a feed, a result, a constant or
// the arena, with its strides), and where each operation's workspace lies.
// Running a plan fills the bases of its values and evaluates its steps; the
// run state (values and arena) is kept with the plan and reused, so runs
// after the first allocate nothing.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/graph_layer.h"
#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_evaluators.h"

namespace vorn::mpsg {

enum class Root : uint8_t { kFeed, kResult, kArena, kConstant };

// Where a node's value lives: offset (in elements of storage) from the base
// of its root, with its strides.
struct Layout {
  Root root = Root::kArena;
  uint32_t index = 0;  // feed or result position, or the constant's node id
  int64_t offset = 0;
  DataType storage = DataType::kFloat32;
  Shape shape;
  std::vector<int64_t> strides;
};

struct Step {
  uint32_t node;
  int64_t workspace = 0;         // float offset in the arena
  int64_t workspace_floats = 0;
  // A fused elementwise chain ending at node (empty: the node alone), and
  // the values its links read from outside the chain.
  std::vector<ChainLink> chain;
  std::vector<uint32_t> externals;
  // An addition of a row to a product (node is the addition): the product
  // node, evaluated here with the row as its bias; kNoProduct otherwise.
  static constexpr uint32_t kNoProduct = UINT32_MAX;
  uint32_t product = kNoProduct;
  // Products of the steps after this one that read this step's left
  // operand and run with it in one cut of the pool (see
  // evaluate_joined_products); the steps themselves still follow, done.
  uint32_t joined = 0;
};

struct RunState {
  std::vector<Value> values;            // per node; bases filled each run
  std::vector<const Value*> inputs;     // one step's inputs
  float* arena = nullptr;
  ~RunState();
};

struct Plan {
  std::vector<Node> nodes;
  std::vector<Tensor> feeds, targets;
  std::vector<uint32_t> order;      // node ids, inputs before readers
  std::vector<char> needed;         // per node
  std::vector<Layout> layouts;      // per node (needed ones)
  std::vector<Step> steps;          // the operations evaluated, in order
  std::vector<char> stored;         // per target: copied at the end (not written in place)
  int64_t arena_floats = 0;
  size_t max_inputs = 0;
  mutable std::mutex state_lock;
  mutable std::unique_ptr<RunState> state;
};

std::shared_ptr<const Plan> make_plan(const std::vector<Node>& nodes, const std::vector<Tensor>& feeds,
                                      const std::vector<Tensor>& targets);

// Evaluates the plan; input(i) and result(i) give the data of feed i and
// target i. The caller holds the queue's order.
bool execute_plan_with(const Plan& plan, const TensorData* const* inputs, const TensorData* const* results,
                       std::string* error);

template <class In, class Out>
bool execute_plan(const Plan& plan, In input, Out result, std::string* error) {
  constexpr size_t kInline = 64;
  const TensorData* in[kInline];
  const TensorData* out[kInline];
  std::vector<const TensorData*> in_more, out_more;  // only for very wide plans
  const TensorData** ip = in;
  const TensorData** op = out;
  if (plan.feeds.size() > kInline) {
    in_more.resize(plan.feeds.size());
    ip = in_more.data();
  }
  if (plan.targets.size() > kInline) {
    out_more.resize(plan.targets.size());
    op = out_more.data();
  }
  for (size_t i = 0; i < plan.feeds.size(); ++i) ip[i] = &input(i);
  for (size_t i = 0; i < plan.targets.size(); ++i) op[i] = &result(i);
  return execute_plan_with(plan, ip, op, error);
}

}  // namespace vorn::mpsg
