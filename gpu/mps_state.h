// MpsState, the tensor-model GPU engine of one session (internal to gpu/),
// and the lowering context its creation hands to each operator's rule.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/records.h"
#include "gpu/gpu_context.h"
#include "platform/graph_layer.h"

namespace vorn {

constexpr uint64_t kMpsMaxValues = 32768;
constexpr uint64_t kMpsMaxInputs = 8;
constexpr uint64_t kMpsMaxOutputs = 64;
constexpr uint64_t kMpsMaxFeeds = 8192;

struct MpsKernels;

struct MpsInput {
  uint64_t value = 0;
  uint64_t bytes = 0;
  mtl::BufferRef buffer;
  float* host = nullptr;
  mpsg::Tensor placeholder;
};

struct MpsOutput {
  uint64_t value = 0;
  uint32_t rank = 0;
  mpsg::Shape dims;
  uint64_t bytes = 0;
  mtl::BufferRef buffer;
  float* host = nullptr;
  mpsg::Tensor tensor;  // float32
  int64_t same_as = -1;  // an earlier output with the same tensor
};

struct MpsState {
  uint64_t compiled_batch = 1;
  uint64_t first_input = 0;
  uint64_t input_count = 0;
  MpsInput inputs[kMpsMaxInputs];
  bool fed_weights = false;
  bool private_weights = false;
  mtl::BufferRef private_buffer;
  bool executable_mode = false;
  // Placeholder fed at run time, per value id (inputs, fed weights).
  std::vector<mpsg::Tensor> feed_table;
  // Value ids of fed weights, then of the inputs.
  std::vector<uint32_t> fed_list;
  uint64_t first_output = 0;
  bool use_npu = false;

  std::unique_ptr<mpsg::Graph> graph;
  mtl::DeviceRef device;
  mtl::CommandQueueRef queue;
  mtl::BufferRef shared_weights;  // kept while weights are fed from it
  // Feeds (fed and pooled weights, inputs) and results (the outputs'
  // buffers), as the graph runs them.
  mpsg::TensorDataMap feeds;
  mpsg::TensorDataMap results;

  uint64_t output_count = 0;
  MpsOutput outputs[kMpsMaxOutputs];
  bool all_outputs = false;

  std::vector<ValueRecord> values;
  std::vector<mpsg::Tensor> tensors;  // per value id
  std::vector<uint8_t> batched;
  DataType type = DataType::kFloat32;

  // A YoloNms node that ends the graph runs on the host after it.
  bool has_tail = false;
  NodeRecord tail{};
  std::vector<float> head;  // the tail's input

  // Executable mode: compiled on the first run; arrays in feed and target
  // order.
  std::unique_ptr<mpsg::Executable> executable;
  bool compiled = false;
  std::vector<mpsg::TensorData> exe_inputs, exe_results;

  std::shared_ptr<MpsKernels> kernels;
  std::string lowering_error;  // the text of a failed creation
};

// What a lowering rule works with: the engine being built, the graph, and
// helpers over the node's values. Rules return false with the reason in
// `error` (the fixed texts of refusals); graph builders throw
// std::invalid_argument for shapes they refuse.
struct Lowering {
  MpsState& st;
  mpsg::Graph& g;
  const std::vector<NodeRecord>& nodes;
  size_t index = 0;               // the node being lowered
  std::vector<uint32_t> readers;  // per value: input slots that read it
  std::vector<uint8_t> graph_output;  // per value
  std::vector<uint8_t> skip;      // per node: folded into an earlier one
  std::string error;

  Lowering(MpsState& state, mpsg::Graph& graph, const std::vector<NodeRecord>& list)
      : st(state), g(graph), nodes(list), skip(list.size(), 0) {}
  // The node after this one when it is an activation reading only this
  // node's output, which nothing else reads: its code, else 0.
  uint64_t fusable_next(const NodeRecord& n) const;
  // Whether the node after `sigmoid` multiplies n's output by sigmoid's,
  // the two read by nothing else (n's output by sigmoid and the product).
  bool hard_swish_product(const NodeRecord& n, const NodeRecord& sigmoid) const;
  // The node after this Sigmoid multiplies its output, read by nothing
  // else, with the Sigmoid's own input.
  bool silu_product(const NodeRecord& sigmoid) const;

  DataType type() const { return st.type; }
  const ValueRecord& value(uint64_t id) const { return st.values[id]; }
  mpsg::Shape dims(uint64_t id) const;
  int64_t count(uint64_t id) const { return int64_t(st.values[id].count()); }
  // The graph tensor of input k, in the engine's data type.
  mpsg::Tensor in(const NodeRecord& n, uint64_t k);
  bool has_in(const NodeRecord& n, uint64_t k) const;
  // Makes t the tensor of output k, reshaped to its value's dims when the
  // element counts agree and the shapes differ.
  void set(const NodeRecord& n, uint64_t k, mpsg::Tensor t);
  mpsg::Tensor scalar(double v);
  mpsg::Tensor reshape(mpsg::Tensor t, const mpsg::Shape& s);
  bool refuse(const char* text) {
    error = text;
    return false;
  }
};

using LowerRule = bool (*)(Lowering& l, const NodeRecord& n);
// The rule of an operator code, or null when the engine does not lower it.
LowerRule mps_lower_rule(uint64_t op);

// Rules by family (gpu/mps_lower_*.cpp).
bool lower_binary(Lowering& l, const NodeRecord& n);
bool lower_unary(Lowering& l, const NodeRecord& n);
bool lower_activation(Lowering& l, const NodeRecord& n);
bool lower_prelu(Lowering& l, const NodeRecord& n);
bool lower_where(Lowering& l, const NodeRecord& n);
bool lower_cast(Lowering& l, const NodeRecord& n);
bool lower_conv(Lowering& l, const NodeRecord& n);
bool lower_conv_transpose(Lowering& l, const NodeRecord& n);
bool lower_pool(Lowering& l, const NodeRecord& n);
bool lower_gemm(Lowering& l, const NodeRecord& n);
bool lower_matmul(Lowering& l, const NodeRecord& n);
bool lower_softmax(Lowering& l, const NodeRecord& n);
bool lower_argmax(Lowering& l, const NodeRecord& n);
bool lower_reduce(Lowering& l, const NodeRecord& n);
bool lower_layer_norm(Lowering& l, const NodeRecord& n);
bool lower_instance_norm(Lowering& l, const NodeRecord& n);
bool lower_batch_norm(Lowering& l, const NodeRecord& n);
bool lower_identity(Lowering& l, const NodeRecord& n);
bool lower_transpose(Lowering& l, const NodeRecord& n);
bool lower_concat(Lowering& l, const NodeRecord& n);
bool lower_split(Lowering& l, const NodeRecord& n);
bool lower_slice(Lowering& l, const NodeRecord& n);
bool lower_gather(Lowering& l, const NodeRecord& n);
bool lower_expand(Lowering& l, const NodeRecord& n);
bool lower_pad(Lowering& l, const NodeRecord& n);
bool lower_depth_space(Lowering& l, const NodeRecord& n);
bool lower_scatter_nd(Lowering& l, const NodeRecord& n);
bool lower_resize(Lowering& l, const NodeRecord& n);
bool lower_host_kernel(Lowering& l, const NodeRecord& n);

// The kernel provider of the engine's graph (convolutions and pools on the
// CPU engine's kernels) and host kernels for single CPU operators.
std::shared_ptr<MpsKernels> mps_kernels_new();
std::shared_ptr<mpsg::KernelProvider> mps_kernel_provider(const std::shared_ptr<MpsKernels>& kernels);
// A host kernel running the CPU operator of node on operands of the given
// records; null with *message when the CPU refuses the node.
mpsg::HostKernelRef mps_cpu_operator(const std::shared_ptr<MpsKernels>& kernels, const NodeRecord& node,
                                     const std::vector<ValueRecord>& inputs, const ValueRecord& output,
                                     std::string* message);
// Makes the workspace of every kernel made so far.
bool mps_kernels_ready(const std::shared_ptr<MpsKernels>& kernels, std::string* message);

}  // namespace vorn
