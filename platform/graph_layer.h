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
// Heavy operations (convolutions, pooling, host operations) run on kernels
// the graph's user supplies (a KernelProvider, or a HostKernel per host
// operation): the layer decides shapes and memory, the kernels compute.
//
// Compiling plans an evaluation once: views (reshape of dense data,
// transposes, slices with strides, broadcasts) cost nothing, every other
// value gets a place in one arena sized at compile time, and an evaluation
// of a compiled plan allocates nothing after its first run.
//
// Indices (gather, scatter, arg-max, top-k) are float tensors holding
// whole numbers, exact up to 2^24.
//
// Adding an operation: a row in graph_layer_ops.inc, a builder method here
// that checks shapes and calls add_node, and an evaluator in the table of
// graph_layer_eval.cpp.
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
// Elements of a shape (1 for a scalar) and its text, "[2, 3]".
int64_t element_count(const Shape& shape);
std::string shape_text(const Shape& shape);

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

// The functions of the unary and binary elementwise operations.
enum class UnaryFunction : uint8_t {
#define VORN_GRAPH_UNARY(code, name) code,
#include "platform/graph_layer_functions.inc"
#undef VORN_GRAPH_UNARY
};
enum class BinaryFunction : uint8_t {
#define VORN_GRAPH_BINARY(code, name) code,
#include "platform/graph_layer_functions.inc"
#undef VORN_GRAPH_BINARY
};
enum class ReductionFunction : uint8_t { kSum, kMean, kMaximum, kMinimum, kProduct };
const char* unary_function_name(UnaryFunction f);
const char* binary_function_name(BinaryFunction f);

// Computes one host operation: inputs are dense float values of the
// operation's input shapes, output the dense float memory of its shape.
// Runs on the thread that runs the graph; may use the worker pool.
class HostKernel {
 public:
  virtual ~HostKernel() = default;
  virtual bool run(const float* const* inputs, float* output, std::string* error) const = 0;
};
using HostKernelRef = std::shared_ptr<const HostKernel>;

// What a fused activation does after a convolution's bias.
enum class Activation : uint8_t { kNone, kReLU, kLeakyReLU, kClamp, kHardSwish };

// NCHW sources, OIHW weights (I = input channels per group), explicit
// paddings.
struct Convolution2DOpDescriptor {
  int64_t strideInX = 1, strideInY = 1;
  int64_t dilationRateInX = 1, dilationRateInY = 1;
  int64_t groups = 1;
  int64_t paddingLeft = 0, paddingRight = 0, paddingTop = 0, paddingBottom = 0;
  Activation activation = Activation::kNone;
  float activationAlpha = 0, activationBeta = 0;  // leaky slope; clamp bounds
};

// NCHW sources, explicit paddings; an output side is rounded up when
// ceilMode is set. Averages divide by the whole window (padding counts as
// zeros).
struct Pooling2DOpDescriptor {
  int64_t kernelWidth = 1, kernelHeight = 1;
  int64_t strideInX = 1, strideInY = 1;
  int64_t paddingLeft = 0, paddingRight = 0, paddingTop = 0, paddingBottom = 0;
  bool ceilMode = false;
};

// Makes the kernels of heavy operations when the graph is built; null
// refuses the operation. Shapes are final (the result's included).
class KernelProvider {
 public:
  virtual ~KernelProvider() = default;
  // inputs: source, weights and, when hasBias, a bias of one value per
  // output channel.
  virtual HostKernelRef convolution2D(const Shape& source, const Shape& weights, bool hasBias, const Shape& result,
                                      const Convolution2DOpDescriptor& descriptor) = 0;
  // weights IOHW (O = output channels per group).
  virtual HostKernelRef convolutionTranspose2D(const Shape& source, const Shape& weights, bool hasBias,
                                               const Shape& result, const Convolution2DOpDescriptor& descriptor) = 0;
  virtual HostKernelRef pooling2D(bool maximum, const Shape& source, const Shape& result,
                                  const Pooling2DOpDescriptor& descriptor) = 0;
};

struct Node {
  Operation op;
  std::vector<Tensor> inputs;
  Shape shape;
  DataType type;
  std::string name;                  // placeholders
  std::vector<int64_t> ints;         // operation arguments (axes, starts, ...)
  float real = 0;                    // scale of attention; parameter of a function
  std::shared_ptr<const std::vector<float>> values = {};  // constants (rounded to the type)
  HostKernelRef kernel = {};         // convolutions, pooling, host operations
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
  // Runs at once, in the queue's order, into the given results; false with
  // *error when the data do not fit the plan or an operation fails. After
  // the first run nothing is allocated.
  bool run(const mtl::CommandQueueRef& queue, const std::vector<TensorData>& inputs,
           const std::vector<TensorData>& results, std::string* error) const;
  // Bytes of the arena the plan evaluates in.
  uint64_t arenaBytes() const;

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

  // --- built in graph_layer_build.cpp ---
  Tensor constantWithScalar(double scalar, DataType type);
  // values holds element_count(shape) floats; they are rounded once to type.
  Tensor constantWithData(const std::vector<float>& values, const Shape& shape, DataType type);
  Tensor unary(UnaryFunction function, Tensor x, float parameter = 0);
  // Elementwise with trailing-aligned broadcasting; comparisons give 1 or 0.
  Tensor binary(BinaryFunction function, Tensor primary, Tensor secondary);
  // predicate != 0 ? onTrue : onFalse, broadcast to one shape.
  Tensor select(Tensor predicate, Tensor onTrue, Tensor onFalse);
  // min(max(x, low), high), NaN passing through.
  Tensor clamp(Tensor x, Tensor low, Tensor high);
  Tensor softMax(Tensor x, int64_t axis);
  // The reduced axes keep size 1.
  Tensor reduction(ReductionFunction function, Tensor x, const std::vector<int64_t>& axes);
  // Index of the first maximum along axis (size 1 kept), as float32; a NaN
  // wins only as the first value, as in the max reduction.
  Tensor reductionArgMaximum(Tensor x, int64_t axis);
  // Largest k along the last axis, by value then lower index: values (of x's
  // type) and their indices (float32).
  std::pair<Tensor, Tensor> topK(Tensor x, int64_t k);
  Tensor convolution2D(Tensor source, Tensor weights, Tensor bias, const Convolution2DOpDescriptor& descriptor);
  Tensor convolutionTranspose2D(Tensor source, Tensor weights, Tensor bias, const Shape& outputShape,
                                const Convolution2DOpDescriptor& descriptor);
  Tensor maxPooling2D(Tensor source, const Pooling2DOpDescriptor& descriptor);
  Tensor avgPooling2D(Tensor source, const Pooling2DOpDescriptor& descriptor);
  // NCHW to (height, width). Nearest takes source floor(o x in / out);
  // bilinear samples at o x (in - 1) / (out - 1) with aligned corners, at
  // (o + 0.5) x in / out - 0.5 with centred results (clamped to the edge).
  Tensor resize(Tensor x, int64_t height, int64_t width, bool bilinear, bool centerResult, bool alignCorners);
  // Entries of x along axis at the indices (truncated; negative ones count
  // from the end; clamped to the axis); the result's shape is x's with that
  // axis replaced by indices'.
  Tensor gather(Tensor x, Tensor indices, int64_t axis);
  // data with the slices that indices [..., q] name replaced by updates, in
  // order (indices read as gather's).
  Tensor scatterND(Tensor data, Tensor updates, Tensor indices);
  Tensor concat(const std::vector<Tensor>& tensors, int64_t dimension);
  Tensor broadcast(Tensor x, const Shape& shape);
  Tensor transpose(Tensor x, const std::vector<int64_t>& permutation);
  // length entries of one axis from start, stride apart.
  Tensor slice(Tensor x, int64_t dimension, int64_t start, int64_t length, int64_t stride);
  Tensor hostOperation(const std::vector<Tensor>& inputs, const Shape& shape, DataType type, HostKernelRef kernel);

  void setKernelProvider(std::shared_ptr<KernelProvider> provider) { provider_ = std::move(provider); }

  // Runs at once, in the queue's order, writing each result into its data;
  // the plan is found again on later runs without allocating.
  bool run(const mtl::CommandQueueRef& queue, const TensorDataMap& feeds, const TensorDataMap& results,
           std::string* error);

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
  std::shared_ptr<KernelProvider> provider_;
  // Plans of earlier encodes, by feed and target lists.
  std::mutex plans_lock_;
  std::map<std::pair<std::vector<Tensor>, std::vector<Tensor>>, std::shared_ptr<const Plan>> plans_;
};

}  // namespace vorn::mpsg
