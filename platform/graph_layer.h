// Our stand-in for the platform's tensor-graph framework: a graph of
// operations built once (placeholders, casts, shape views, matrix products,
// additions, scaled dot-product attention, ...), then encoded into a command
// buffer with its placeholders fed from device memory and its results
// written to device memory, as one command of the buffer's in-order stream.
//
// Building: every operation returns a symbolic Tensor of the graph with a
// static shape and data type; shapes are checked as the graph is built
// (std::invalid_argument names the operation and the fault). Tensors are
// handles, valid with the graph that made them.
//
// Running: encode() binds placeholders to TensorData (a buffer, a byte
// offset, a shape and a type: the memory is read in place, row-major and
// dense) and names a TensorData for each target. Only the operations the
// targets need are evaluated. Data whose shape or type differs from its
// tensor's, or that leaves its buffer, fails the command buffer when it runs
// (status error, with the reason) before anything is written. Results must
// not overlap the fed memory. compile() fixes the feed and target order
// once, for callers that encode the same evaluation many times.
//
// Arithmetic: every operation computes in float. Float16 data is widened
// exactly where it is read (a float16 weight once per product); an
// operation whose tensor is float16 rounds its values once, to nearest
// even. Matrix products run on cpu_sgemm; the result never depends on the
// number of threads.
//
// Adding an operation: a row in graph_layer_ops.inc, a builder method here
// that checks shapes and calls add_node, and an evaluator in
// graph_layer_eval.cpp's table.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/compute_device.h"
#include "platform/data_type.h"

namespace vorn::mpsg {

using Shape = std::vector<int64_t>;

enum class Operation : uint8_t {
#define VORN_GRAPH_OP(code, name, inputs) code,
#include "platform/graph_layer_ops.inc"
#undef VORN_GRAPH_OP
};
const char* operation_name(Operation op);

struct Tensor {
  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t id = kNone;
  bool valid() const { return id != kNone; }
  bool operator==(const Tensor&) const = default;
  auto operator<=>(const Tensor&) const = default;
};

// Memory that feeds a placeholder or receives a result.
struct TensorData {
  mtl::BufferRef buffer;
  uint64_t offset = 0;  // bytes to the first element
  Shape shape;
  DataType dataType = DataType::kFloat32;
};

using TensorDataMap = std::vector<std::pair<Tensor, TensorData>>;

struct Node {
  Operation op;
  std::vector<Tensor> inputs;
  Shape shape;
  DataType type;
  std::string name;                  // placeholders
  std::vector<int64_t> ints;         // operation arguments (axes, starts, ...)
  float real = 0;                    // scale of attention
};

struct Plan;

class Executable {
 public:
  const std::vector<Tensor>& feedTensors() const;
  const std::vector<Tensor>& targetTensors() const;
  // inputs in feed order, results in target order.
  void encode(const mtl::CommandBufferRef& commandBuffer, const std::vector<TensorData>& inputs,
              const std::vector<TensorData>& results) const;
  // Commits on the queue, waits, and returns the results in new shared
  // buffers; throws std::runtime_error with the command buffer's error.
  std::vector<TensorData> run(const mtl::CommandQueueRef& queue, const std::vector<TensorData>& inputs) const;

 private:
  friend class Graph;
  explicit Executable(std::shared_ptr<const Plan> plan) : plan_(std::move(plan)) {}
  std::shared_ptr<const Plan> plan_;
};

class Graph {
 public:
  Graph();
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  Tensor placeholder(const Shape& shape, DataType type, const std::string& name = {});
  Tensor cast(Tensor x, DataType type);
  // Same elements, new shape of equal element count.
  Tensor reshape(Tensor x, const Shape& shape);
  // Swaps two axes.
  Tensor transpose(Tensor x, int64_t dimension, int64_t withDimension);
  // length entries of one axis from start.
  Tensor slice(Tensor x, int64_t dimension, int64_t start, int64_t length);
  // [..., M, K] x [..., K, N] -> [..., M, N]; leading axes broadcast.
  Tensor matrixMultiplication(Tensor primary, Tensor secondary);
  // Elementwise with broadcasting of trailing-aligned axes of size 1.
  Tensor addition(Tensor primary, Tensor secondary);
  // softmax(q k^T x scale + mask) v over q [B, H, S, D], k and v [B, Hk, T,
  // D] (query head h reads key head h / (H / Hk)), an optional mask
  // broadcastable to [B, H, S, T]; result [B, H, S, D] of q's type.
  Tensor scaledDotProductAttention(Tensor query, Tensor key, Tensor value, Tensor mask, float scale);

  const Shape& shape(Tensor t) const { return node(t).shape; }
  DataType dataType(Tensor t) const { return node(t).type; }
  const Node& node(Tensor t) const;
  size_t nodeCount() const { return nodes_.size(); }

  void encode(const mtl::CommandBufferRef& commandBuffer, const TensorDataMap& feeds, const TensorDataMap& results);
  std::vector<TensorData> run(const mtl::CommandQueueRef& queue, const TensorDataMap& feeds,
                              const std::vector<Tensor>& targets);
  Executable compile(const std::vector<Tensor>& feeds, const std::vector<Tensor>& targets) const;

 private:
  Tensor add_node(Node node);
  std::shared_ptr<const Plan> plan_for(const std::vector<Tensor>& feeds, const std::vector<Tensor>& targets);

  std::vector<Node> nodes_;
  // Plans of earlier encodes, by feed and target lists.
  std::mutex plans_lock_;
  std::map<std::pair<std::vector<Tensor>, std::vector<Tensor>>, std::shared_ptr<const Plan>> plans_;
};

}  // namespace vorn::mpsg
