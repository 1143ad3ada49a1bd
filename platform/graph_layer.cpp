// Building graphs, planning their evaluation and encoding it.
#include "platform/graph_layer.h"

#include <algorithm>
#include <stdexcept>

#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_plan.h"
#include "platform/graph_layer_shapes.h"

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

}  // namespace

std::string shape_text(const Shape& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? ", " : "") + std::to_string(s[i]);
  return t + "]";
}

const char* operation_name(Operation op) {
  const size_t i = size_t(op);
  return i < std::size(kOperations) ? kOperations[i].name : "unknown";
}

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
  if (n.shape.size() > kMaxRank) refuse(n.op, "rank above " + std::to_string(kMaxRank));
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
  return add_node({Operation::kSlice, {x}, s, n.type, {}, {a, start, 1}, 0});
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
  if (!vorn::mpsg::broadcast(Shape(a.shape.begin(), a.shape.end() - 2), Shape(b.shape.begin(), b.shape.end() - 2), &batch))
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
  if (!vorn::mpsg::broadcast(a.shape, b.shape, &s))
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
    if (m.type != q.type || !vorn::mpsg::broadcast(m.shape, full, &s) || s != full) refuse(op, "mask does not broadcast to the scores");
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
  for (Tensor f : feeds)
    if (node(f).op != Operation::kPlaceholder) throw std::invalid_argument("feed of a tensor that is no placeholder");
  for (Tensor t : targets) node(t);
  return Executable(make_plan(nodes_, feeds, targets));
}

const std::vector<Tensor>& Executable::feedTensors() const { return plan_->feeds; }
const std::vector<Tensor>& Executable::targetTensors() const { return plan_->targets; }
uint64_t Executable::arenaBytes() const { return uint64_t(plan_->arena_floats) * 4; }

void Executable::encode(const mtl::CommandBufferRef& commandBuffer, const std::vector<TensorData>& inputs,
                        const std::vector<TensorData>& results) const {
  commandBuffer->encode_host_command([plan = plan_, inputs, results](std::string* error) {
    return execute_plan(
        *plan, [&](size_t i) -> const TensorData& { return inputs[i]; },
        [&](size_t i) -> const TensorData& { return results[i]; }, error);
  });
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

bool Executable::run(const mtl::CommandQueueRef& queue, const std::vector<TensorData>& inputs,
                     const std::vector<TensorData>& results, std::string* error) const {
  std::lock_guard<std::mutex> in_order(queue->order());
  return execute_plan(
      *plan_, [&](size_t i) -> const TensorData& { return inputs[i]; },
      [&](size_t i) -> const TensorData& { return results[i]; }, error);
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
