// VNGraph's operations: the checks every node passes, then one encoder per
// GraphOp (attention is in vn_graph_attention.cpp).
#include <cstring>

#include "base/vn_error.h"
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/shaders/kernels.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

float real_attribute(uint64_t bits) { return float(check_finite_attribute(bits)); }

// Host values of an I64 tensor read before encoding (ids, positions). The
// view must lie in shared memory inside its buffer: a view that says more
// than its buffer holds fails here instead of reading past it.
const int64_t* host_i64(const VNTensor& t) {
  graph_require(t.buffer != nullptr && t.buffer->contents() != nullptr && t.offset % 8 == 0 &&
                    t.offset <= t.buffer->length() && t.count <= (t.buffer->length() - t.offset) / 8,
                "Host-read input exceeds its buffer");
  return reinterpret_cast<const int64_t*>(t.contents());
}

}  // namespace

std::vector<VNTensorRef> VNGraph::operation(const GraphNode& node, const std::vector<VNTensorRef>& inputs,
                                            const mtl::CommandBufferRef& command, KvCache* cache) {
  const GraphOpRow* row = graph_op_row(node.op);
  graph_require(row != nullptr, "Missing operation implementation");
  graph_require(node.attrs.size() == row->attributes, "Operation attribute count");
  uint64_t min_in = row->min_inputs, max_in = row->max_inputs;
  if (node.op == kAttention) min_in = max_in = node.attrs[kAttentionCache] == 1 ? 6 : 4;
  graph_require(inputs.size() >= min_in && inputs.size() <= max_in, "Operation input count");
  for (const VNTensorRef& t : inputs) graph_require(t != nullptr, "Released graph value");
  graph_require(inputs[0]->dtype == (node.op == kEmbedding ? kElemI64 : activation_), "Operation input dtype");
  switch (node.op) {
    case kEmbedding:
      return embedding(node, inputs, command);
    case kPatchEmbedding:
      return patchEmbedding(node, inputs, command);
    case kLinear:
      return {linear(inputs[0], inputs[1], inputs.size() > 2 ? inputs[2] : nullptr, command)};
    case kLayerNorm:
    case kRmsNorm:
      return norm(node, inputs, command);
    case kAttention:
      return attention(node, inputs, command, cache);
    case kRope:
      return rope(node, inputs, command);
    case kShuffle:
      return shuffle(node, inputs, command);
    case kScatter:
      return scatter(node, inputs, command);
    default:
      return elementwise(node, inputs, command);
  }
}

std::vector<VNTensorRef> VNGraph::elementwise(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                              const mtl::CommandBufferRef& command) {
  // The pointwise kernel's selectors are the operation codes themselves.
  static_assert(uint64_t(shaders::kPointwiseAdd) == kAdd && uint64_t(shaders::kPointwiseGelu) == kGelu &&
                uint64_t(shaders::kPointwiseSilu) == kSilu && uint64_t(shaders::kPointwiseMul) == kMultiply);
  return {point(in[0], in.size() > 1 ? in[1] : in[0], node.op, command)};
}

std::vector<VNTensorRef> VNGraph::embedding(const GraphNode&, const std::vector<VNTensorRef>& in,
                                            const mtl::CommandBufferRef& command) {
  const VNTensorRef& ids = in[0];
  const VNTensorRef& table = in[1];
  graph_require(table->shape.size() == 2 && (table->dtype == kElemF16 || table->dtype == kElemQ8), "Embedding weight");
  const uint64_t vocab = table->shape[0], hidden = table->shape[1];
  const int64_t* id = host_i64(*ids);
  for (uint64_t i = 0; i < ids->count; ++i)
    graph_require(id[i] >= 0 && uint64_t(id[i]) < vocab, "Embedding ID out of bounds");
  std::vector<uint64_t> shape = ids->shape;
  shape.push_back(hidden);
  VNTensorRef out = tensor(shape, activation_);
  const shaders::TableParams p{
      .count = uint32_t(out->count), .columns = uint32_t(hidden), .row_bytes = uint32_t(table->rowBytes)};
  const Tensors buffers{ids.get(), table.get(), out.get()};
  if (table->dtype == kElemQ8) {
    if (out->count > 0) ++fusedInt8EmbeddingCalls;
    kernel<Kernel::embedding_q8>(buffers, p, out->count, false, command);
  } else {
    kernel<Kernel::embedding>(buffers, p, out->count, false, command);
  }
  return {out};
}

std::vector<VNTensorRef> VNGraph::patchEmbedding(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                                 const mtl::CommandBufferRef& command) {
  const VNTensorRef& image = in[0];
  const VNTensorRef& weight = in[1];
  const uint64_t patch = node.attrs[kPatchSizeAttr];
  const std::vector<uint64_t>& s = image->shape;
  graph_require(s.size() == 4 && s[2] == s[3] && patch != 0 && s[2] % patch == 0, "Patch geometry");
  const uint64_t batch = s[0], channels = s[1], grid = s[2] / patch;
  const std::vector<uint64_t>& w = weight->shape;
  graph_require(w.size() == 4 && w[1] == channels && w[2] == patch && w[3] == patch, "Patch weights");
  VNTensorRef unfolded = tensor({batch, grid * grid, channels * patch * patch}, activation_);
  kernel<Kernel::unfold>({image.get(), image.get(), unfolded.get()},
                         {.count = uint32_t(unfolded->count),
                          .patch = uint32_t(patch),
                          .patches_per_side = uint32_t(grid),
                          .channels = uint32_t(channels)},
                         unfolded->count, false, command);
  VNTensorRef out = linear(unfolded, weight, in[2], command);
  recycle(unfolded);
  return {out};
}

std::vector<VNTensorRef> VNGraph::norm(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                       const mtl::CommandBufferRef& command) {
  const VNTensorRef& x = in[0];
  const bool rms = node.op == kRmsNorm;
  const uint64_t n = shape_last_dim(x->shape);
  const VNTensorRef& bias = rms ? in[1] : in[2];
  graph_require(n != 0 && in[1]->dtype == kElemF16 && in[1]->count == n && bias->dtype == kElemF16 && bias->count == n,
                "Norm shape");
  const float eps = real_attribute(node.attrs[kEpsilonAttr]);
  graph_require(eps > 0, "Norm epsilon");
  VNTensorRef out = tensor(x->shape, activation_);
  kernel<Kernel::norm>({x.get(), in[1].get(), out.get(), bias.get()}, {.n = uint32_t(n), .rms = rms, .epsilon = eps},
                       x->count / n, true, command);
  return {out};
}

std::vector<VNTensorRef> VNGraph::rope(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                       const mtl::CommandBufferRef& command) {
  const VNTensorRef& x = in[0];
  const VNTensorRef& positions = in[1];
  const uint64_t d = node.attrs[kRopeHeadDim], heads = node.attrs[kRopeHeads];
  const uint64_t width = d * heads;  // both checked below before any use as a divisor
  graph_require(d != 0 && d % 2 == 0 && heads != 0 && heads <= (uint64_t(1) << 30) && d <= (uint64_t(1) << 30) &&
                    shape_last_dim(x->shape) == width && positions->dtype == kElemI64 &&
                    positions->count == x->count / width,
                "RoPE shape");
  const float theta = real_attribute(node.attrs[kRopeTheta]);
  graph_require(theta > 0, "RoPE theta");
  VNTensorRef out = tensor(x->shape, activation_);
  kernel<Kernel::rope>({x.get(), positions.get(), out.get()},
                       {.count = uint32_t(x->count), .head_dim = uint32_t(d), .heads = uint32_t(heads), .theta = theta},
                       x->count, false, command);
  return {out};
}

std::vector<VNTensorRef> VNGraph::shuffle(const GraphNode& node, const std::vector<VNTensorRef>& in,
                                          const mtl::CommandBufferRef& command) {
  const VNTensorRef& x = in[0];
  const uint64_t f = node.attrs[kShuffleFactor], h = node.attrs[kShuffleHeight], w = node.attrs[kShuffleWidth];
  const std::vector<uint64_t>& s = x->shape;
  graph_require(s.size() == 3 && f != 0 && h % f == 0 && w % f == 0 && h <= (uint64_t(1) << 30) &&
                    w <= (uint64_t(1) << 30) && s[1] == h * w,
                "Shuffle geometry");
  VNTensorRef out = tensor({s[0], s[1] / (f * f), f * f * s[2]}, activation_);
  kernel<Kernel::shuffle>({x.get(), x.get(), out.get()},
                          {.count = uint32_t(out->count),
                           .factor = uint32_t(f),
                           .height = uint32_t(h),
                           .width = uint32_t(w),
                           .channels = uint32_t(s[2])},
                          out->count, false, command);
  return {out};
}

std::vector<VNTensorRef> VNGraph::scatter(const GraphNode&, const std::vector<VNTensorRef>& in,
                                          const mtl::CommandBufferRef& command) {
  const VNTensorRef& x = in[0];
  const VNTensorRef& features = in[1];
  const VNTensorRef& positions = in[2];
  graph_require(x->shape.size() == 3 && x->shape[0] == 1 && positions->dtype == kElemI64 &&
                    features->dtype == activation_ && x->shape[2] != 0 && shape_last_dim(features->shape) == x->shape[2] &&
                    features->count / x->shape[2] == positions->count,
                "Scatter shape");
  const uint64_t rows = x->shape[1];
  const int64_t* pos = host_i64(*positions);
  std::vector<char> seen(rows, 0);
  for (uint64_t j = 0; j < positions->count; ++j) {
    graph_require(pos[j] >= 0 && uint64_t(pos[j]) < rows && !seen[uint64_t(pos[j])], "Scatter position invalid");
    seen[uint64_t(pos[j])] = 1;
  }
  VNTensorRef out = tensor(x->shape, activation_);
  kernel<Kernel::scatter>(
      {x.get(), features.get(), out.get(), positions.get()},
      {.count = uint32_t(out->count), .hidden = uint32_t(x->shape[2]), .positions = uint32_t(positions->count)},
      out->count, false, command);
  return {out};
}

}  // namespace vorn
