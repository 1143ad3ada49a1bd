// Building graphs, planning their evaluation and encoding it.
#include "platform/graph_layer.h"

#include <algorithm>
#include <stdexcept>

#include "platform/graph_layer_eval.h"

namespace vorn::mpsg {

namespace {

struct OperationRow {
  const char* name;
  int inputs;
};
constexpr OperationRow kOperations[] = {
#define VORN_GRAPH_OP(code, name, inputs) {name, inputs},
#include "platform/graph_layer_ops.inc"
#undef VORN_GRAPH_OP
};

[[noreturn]] void refuse(Operation op, const std::string& why) {
  throw std::invalid_argument(std::string(operation_name(op)) + ": " + why);
}

int64_t axis(Operation op, int64_t a, size_t rank) {
  if (a < 0) a += int64_t(rank);
  if (a < 0 || a >= int64_t(rank)) refuse(op, "axis out of range");
  return a;
}

// Trailing-aligned broadcast of two shapes, or false.
bool broadcast(const Shape& a, const Shape& b, Shape* out) {
  const size_t rank = std::max(a.size(), b.size());
  out->assign(rank, 1);
  for (size_t i = 0; i < rank; ++i) {
    const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
    const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
    if (x != y && x != 1 && y != 1) return false;
    (*out)[i] = x == 1 ? y : x;
  }
  return true;
}

std::string shape_text(const Shape& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

}  // namespace

const char* operation_name(Operation op) {
  const size_t i = size_t(op);
  return i < std::size(kOperations) ? kOperations[i].name : "unknown";
}

// What one evaluation needs: the nodes up to the last one used (a copy, so
// the graph may grow afterwards), the order, and when each value's last
// reader runs.
struct Plan {
  std::vector<Node> nodes;
  std::vector<Tensor> feeds, targets;
  std::vector<uint32_t> order;          // node ids, inputs before readers
  std::vector<uint32_t> uses;           // per node: readers in the plan plus target uses
};

Graph::Graph() = default;
Graph::~Graph() = default;

const Node& Graph::node(Tensor t) const {
  if (t.id >= nodes_.size()) throw std::invalid_argument("tensor of another graph or none");
  return nodes_[t.id];
}

Tensor Graph::add_node(Node n) {
  const OperationRow& row = kOperations[size_t(n.op)];
  if (row.inputs >= 0 && n.inputs.size() != size_t(row.inputs)) refuse(n.op, "wrong number of inputs");
  for (Tensor t : n.inputs) node(t);  // each input belongs to this graph
  for (int64_t d : n.shape)
    if (d < 0) refuse(n.op, "negative dimension");
  nodes_.push_back(std::move(n));
  return Tensor{uint32_t(nodes_.size() - 1)};
}

Tensor Graph::placeholder(const Shape& shape, DataType type, const std::string& name) {
  return add_node({Operation::kPlaceholder, {}, shape, type, name, {}, 0});
}

Tensor Graph::cast(Tensor x, DataType type) {
  return add_node({Operation::kCast, {x}, node(x).shape, type, {}, {}, 0});
}

Tensor Graph::reshape(Tensor x, const Shape& shape) {
  const Node& n = node(x);
  if (element_count(shape) != element_count(n.shape))
    refuse(Operation::kReshape, shape_text(n.shape) + " to " + shape_text(shape) + " changes the element count");
  return add_node({Operation::kReshape, {x}, shape, n.type, {}, {}, 0});
}

Tensor Graph::transpose(Tensor x, int64_t dimension, int64_t withDimension) {
  const Node& n = node(x);
  const int64_t a = axis(Operation::kTranspose, dimension, n.shape.size());
  const int64_t b = axis(Operation::kTranspose, withDimension, n.shape.size());
  Shape s = n.shape;
  std::swap(s[size_t(a)], s[size_t(b)]);
  return add_node({Operation::kTranspose, {x}, s, n.type, {}, {a, b}, 0});
}

Tensor Graph::slice(Tensor x, int64_t dimension, int64_t start, int64_t length) {
  const Node& n = node(x);
  const int64_t a = axis(Operation::kSlice, dimension, n.shape.size());
  if (start < 0 || length < 0 || start > n.shape[size_t(a)] || length > n.shape[size_t(a)] - start)
    refuse(Operation::kSlice, "range outside the axis");
  Shape s = n.shape;
  s[size_t(a)] = length;
  return add_node({Operation::kSlice, {x}, s, n.type, {}, {a, start}, 0});
}

Tensor Graph::matrixMultiplication(Tensor primary, Tensor secondary) {
  const Node& a = node(primary);
  const Node& b = node(secondary);
  if (a.shape.size() < 2 || b.shape.size() < 2) refuse(Operation::kMatrixMultiplication, "operands of rank below 2");
  if (a.type != b.type) refuse(Operation::kMatrixMultiplication, "operands of different types");
  const int64_t k = a.shape.back();
  if (b.shape[b.shape.size() - 2] != k)
    refuse(Operation::kMatrixMultiplication, shape_text(a.shape) + " x " + shape_text(b.shape) + ": inner sizes differ");
  Shape batch;
  if (!broadcast(Shape(a.shape.begin(), a.shape.end() - 2), Shape(b.shape.begin(), b.shape.end() - 2), &batch))
    refuse(Operation::kMatrixMultiplication, "batch axes do not broadcast");
  batch.push_back(a.shape[a.shape.size() - 2]);
  batch.push_back(b.shape.back());
  return add_node({Operation::kMatrixMultiplication, {primary, secondary}, batch, a.type, {}, {}, 0});
}

Tensor Graph::addition(Tensor primary, Tensor secondary) {
  const Node& a = node(primary);
  const Node& b = node(secondary);
  if (a.type != b.type) refuse(Operation::kAddition, "operands of different types");
  Shape s;
  if (!broadcast(a.shape, b.shape, &s))
    refuse(Operation::kAddition, shape_text(a.shape) + " + " + shape_text(b.shape) + " do not broadcast");
  return add_node({Operation::kAddition, {primary, secondary}, s, a.type, {}, {}, 0});
}

Tensor Graph::scaledDotProductAttention(Tensor query, Tensor key, Tensor value, Tensor mask, float scale) {
  const Operation op = Operation::kScaledDotProductAttention;
  const Node& q = node(query);
  const Node& k = node(key);
  const Node& v = node(value);
  if (q.shape.size() != 4 || k.shape.size() != 4 || k.shape != v.shape) refuse(op, "query, key and value must be [B, H, S, D]");
  if (k.shape[0] != q.shape[0] || k.shape[3] != q.shape[3] || k.shape[1] == 0 || q.shape[1] % k.shape[1] != 0)
    refuse(op, "key and value do not match the query");
  if (q.type != k.type || q.type != v.type) refuse(op, "operands of different types");
  std::vector<Tensor> inputs{query, key, value};
  if (mask.valid()) {
    const Node& m = node(mask);
    Shape full{q.shape[0], q.shape[1], q.shape[2], k.shape[2]}, s;
    if (m.type != q.type || !broadcast(m.shape, full, &s) || s != full) refuse(op, "mask does not broadcast to the scores");
    inputs.push_back(mask);
  }
  return add_node({op, inputs, q.shape, q.type, {}, {}, scale});
}

std::shared_ptr<const Plan> Graph::plan_for(const std::vector<Tensor>& feeds, const std::vector<Tensor>& targets) {
  std::lock_guard<std::mutex> hold(plans_lock_);
  auto key = std::make_pair(feeds, targets);
  auto it = plans_.find(key);
  if (it != plans_.end()) return it->second;
  std::shared_ptr<const Plan> plan = compile(feeds, targets).plan_;
  plans_.emplace(std::move(key), plan);
  return plan;
}

Executable Graph::compile(const std::vector<Tensor>& feeds, const std::vector<Tensor>& targets) const {
  auto plan = std::make_shared<Plan>();
  plan->feeds = feeds;
  plan->targets = targets;
  std::vector<char> needed(nodes_.size(), 0), fed(nodes_.size(), 0);
  for (Tensor f : feeds) {
    if (node(f).op != Operation::kPlaceholder) throw std::invalid_argument("feed of a tensor that is no placeholder");
    fed[f.id] = 1;
  }
  std::vector<uint32_t> stack;
  for (Tensor t : targets) {
    node(t);
    stack.push_back(t.id);
  }
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    if (needed[id]) continue;
    needed[id] = 1;
    for (Tensor in : nodes_[id].inputs) stack.push_back(in.id);
  }
  uint32_t last = 0;
  for (uint32_t id = 0; id < nodes_.size(); ++id) {
    if (!needed[id]) continue;
    if (nodes_[id].op == Operation::kPlaceholder && !fed[id])
      throw std::invalid_argument("placeholder '" + nodes_[id].name + "' is not fed");
    plan->order.push_back(id);  // ids grow with dependencies: id order is topological
    last = id;
  }
  plan->nodes.assign(nodes_.begin(), nodes_.begin() + (plan->order.empty() ? 0 : last + 1));
  plan->uses.assign(plan->nodes.size(), 0);
  for (uint32_t id : plan->order)
    for (Tensor in : nodes_[id].inputs) ++plan->uses[in.id];
  for (Tensor t : targets) ++plan->uses[t.id];
  return Executable(std::move(plan));
}

const std::vector<Tensor>& Executable::feedTensors() const { return plan_->feeds; }
const std::vector<Tensor>& Executable::targetTensors() const { return plan_->targets; }

namespace {

bool data_matches(const Node& n, const TensorData& d, const char* what, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = std::string("graph ") + what + " " + why;
    return false;
  };
  if (d.buffer == nullptr) return fail("has no buffer");
  if (d.shape != n.shape) return fail(shape_text(d.shape) + " differs from its tensor's " + shape_text(n.shape));
  if (d.dataType != n.type) return fail("type differs from its tensor's");
  const uint64_t elem = data_type_size(d.dataType);
  uint64_t bytes;
  if (d.offset % elem != 0 || __builtin_mul_overflow(uint64_t(element_count(d.shape)), elem, &bytes) ||
      d.offset > d.buffer->length() || bytes > d.buffer->length() - d.offset)
    return fail("leaves its buffer");
  return true;
}

// The body of one encoded evaluation.
bool execute(const Plan& plan, const std::vector<TensorData>& inputs, const std::vector<TensorData>& results,
             std::string* error) {
  if (inputs.size() != plan.feeds.size() || results.size() != plan.targets.size()) {
    *error = "graph run: feed or result count differs from the plan";
    return false;
  }
  for (size_t i = 0; i < inputs.size(); ++i)
    if (!data_matches(plan.nodes[plan.feeds[i].id], inputs[i], "feed", error)) return false;
  for (size_t i = 0; i < results.size(); ++i)
    if (!data_matches(plan.nodes[plan.targets[i].id], results[i], "result", error)) return false;

  std::vector<Value> values(plan.nodes.size());
  std::vector<uint32_t> left = plan.uses;
  std::vector<const Value*> ins;
  for (uint32_t id : plan.order) {
    const Node& n = plan.nodes[id];
    if (n.op == Operation::kPlaceholder) {
      for (size_t i = 0; i < plan.feeds.size(); ++i)
        if (plan.feeds[i].id == id)
          values[id] = dense_value(inputs[i].buffer->storage() + inputs[i].offset, inputs[i].dataType, n.shape);
      continue;
    }
    // A float32 target computed densely goes straight into its result.
    float* dest = nullptr;
    if (n.type == DataType::kFloat32 && writes_dense_result(n.op))
      for (size_t i = 0; i < plan.targets.size() && dest == nullptr; ++i)
        if (plan.targets[i].id == id) dest = reinterpret_cast<float*>(results[i].buffer->storage() + results[i].offset);
    ins.clear();
    for (Tensor in : n.inputs) ins.push_back(&values[in.id]);
    if (!evaluate(n, ins, &values[id], dest, error)) return false;
    for (Tensor in : n.inputs)
      if (--left[in.id] == 0) values[in.id] = Value{};
  }
  for (size_t i = 0; i < results.size(); ++i) {
    const Value& v = values[plan.targets[i].id];
    uint8_t* dst = results[i].buffer->storage() + results[i].offset;
    if (v.base != dst) store_value(v, dst, results[i].dataType);
  }
  return true;
}

}  // namespace

void Executable::encode(const mtl::CommandBufferRef& commandBuffer, const std::vector<TensorData>& inputs,
                        const std::vector<TensorData>& results) const {
  commandBuffer->encode_host_command(
      [plan = plan_, inputs, results](std::string* error) { return execute(*plan, inputs, results, error); });
}

std::vector<TensorData> Executable::run(const mtl::CommandQueueRef& queue, const std::vector<TensorData>& inputs) const {
  std::vector<TensorData> results;
  for (Tensor t : plan_->targets) {
    const Node& n = plan_->nodes[t.id];
    const uint64_t bytes = std::max<uint64_t>(1, uint64_t(element_count(n.shape)) * data_type_size(n.type));
    mtl::BufferRef b = queue->device()->new_buffer(bytes, mtl::kResourceStorageModeShared);
    if (b == nullptr) throw std::runtime_error("graph run: result allocation failed");
    results.push_back({b, 0, n.shape, n.type});
  }
  mtl::CommandBufferRef cb = queue->command_buffer();
  encode(cb, inputs, results);
  cb->commit();
  cb->wait_until_completed();
  if (cb->status() != mtl::CommandBufferStatus::kCompleted) throw std::runtime_error(cb->error());
  return results;
}

void Graph::encode(const mtl::CommandBufferRef& commandBuffer, const TensorDataMap& feeds, const TensorDataMap& results) {
  std::vector<Tensor> feed_tensors, targets;
  std::vector<TensorData> inputs, outputs;
  for (const auto& [t, d] : feeds) {
    feed_tensors.push_back(t);
    inputs.push_back(d);
  }
  for (const auto& [t, d] : results) {
    targets.push_back(t);
    outputs.push_back(d);
  }
  Executable(plan_for(feed_tensors, targets)).encode(commandBuffer, inputs, outputs);
}

std::vector<TensorData> Graph::run(const mtl::CommandQueueRef& queue, const TensorDataMap& feeds,
                                   const std::vector<Tensor>& targets) {
  std::vector<Tensor> feed_tensors;
  std::vector<TensorData> inputs;
  for (const auto& [t, d] : feeds) {
    feed_tensors.push_back(t);
    inputs.push_back(d);
  }
  return Executable(plan_for(feed_tensors, targets)).run(queue, inputs);
}

}  // namespace vorn::mpsg
