// VNGraph's encoding primitives: kernel dispatch, the elementwise kernel and
// the linear layer over its four paths.
#include <cmath>
#include <string>

#include "base/vn_error.h"
#include "container/records.h"
#include "gpu/graph_ops.h"
#include "gpu/shaders/kernels.h"
#include "gpu/shaders/rope_tables.h"
#include "gpu/vn_graph.h"

namespace vorn {

namespace {

// The sizes from which a product is large (VNGraph::largeProduct).
constexpr uint64_t kProductMinRows = 32;
constexpr uint64_t kProductMinColumns = 64;
constexpr uint64_t kProductMinInterior = 64;

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

std::vector<uint64_t> with_last(std::vector<uint64_t> shape, uint64_t last) {
  shape.back() = last;
  return shape;
}

DataType data_type(uint64_t kind) { return kind == kElemF32 ? DataType::kFloat32 : DataType::kFloat16; }

}  // namespace

mtl::CommandBufferRef VNGraph::newCommandBuffer() const {
  mtl::CommandBufferRef cb = queue_->command_buffer();
  graph_require(cb != nullptr, "Command buffer allocation");
  return cb;
}

void VNGraph::encode(Kernel kernel, Tensors tensors, const void* params, mtl::Size3 size, uint64_t threads, bool groups,
                     const mtl::CommandBufferRef& command, mtl::DispatchType type) {
  if (size.volume() == 0) return;
  mtl::ComputeEncoderRef enc = command->compute_command_encoder(type);
  graph_require(enc != nullptr, "Command encoder");
  enc->set_compute_pipeline_state(pipelines_[size_t(kernel)]);
  uint32_t index = 0;
  for (const VNTensor* t : tensors) {
    enc->set_buffer(t->buffer, t->offset, index < 3 ? index : index + 1);
    ++index;
  }
  enc->set_bytes(params, shaders::kParamsBytes, shaders::kParamsIndex);
  if (groups)
    enc->dispatch_threadgroups(size, {threads, 1, 1});
  else
    enc->dispatch_threads(size, {threads, 1, 1});
  enc->end_encoding();
}

VNTensorRef VNGraph::point(const VNTensorRef& x, const VNTensorRef& y, uint64_t op, const mtl::CommandBufferRef& command) {
  graph_require(x->dtype == activation_ && y->dtype == activation_ &&
                    (y->count == x->count || y->count == shape_last_dim(x->shape)),
                "Unsupported elementwise broadcast");
  VNTensorRef out = tensor(x->shape, activation_);
  kernel<Kernel::pointwise>({x.get(), y.get(), out.get()},
                            {.count = uint32_t(x->count), .operand_count = uint32_t(y->count), .op = uint32_t(op)},
                            x->count, false, command);
  return out;
}

VNTensorRef VNGraph::linear(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias,
                            const mtl::CommandBufferRef& command) {
  const uint64_t k = shape_last_dim(x->shape);
  const uint64_t n = shape_dim_at(weight->shape, 0);
  const uint64_t m = k != 0 ? x->count / k : 0;
  // An empty input (a text-only request through the vision layers) gives an
  // empty output whatever the weight kind: there is no row to multiply, so
  // a Q8 weight that only the decode kernel reads is no fault here.
  const bool q8_ok =
      weight->dtype == kElemQ8 && weight->shape.size() == 2 && (m == 1 || x->count == 0 || linearReadsQ8(*x, *weight));
  graph_require(x->dtype == activation_ && (weight->dtype == kElemF16 || q8_ok) && k != 0 && k % 2 == 0 &&
                    n % 2 == 0 && weight->count == n * k,
                "Linear shape/dtype");
  if (bias != nullptr) graph_require(bias->count == n && bias->dtype == kElemF16, "Linear bias shape");
  VNTensorRef out = tensor(with_last(x->shape, n), activation_);
  if (x->count == 0 || n == 0) return out;

  const VNTensor* b = bias != nullptr ? bias.get() : weight.get();
  if (m == 1) {
    matvec(x, weight, bias, out, shaders::kMatvecPlain, nullptr, nullptr, command);
    return out;
  }
  if (weight->dtype == kElemQ8) {
    const shaders::MatvecParams p{
        .rows = uint32_t(n), .k = uint32_t(k), .has_bias = bias != nullptr, .row_bytes = uint32_t(weight->rowBytes)};
    kernelGroups<Kernel::matmul_q8>({x.get(), weight.get(), out.get(), b}, p, {1, m, 1}, kThreadsPerGroup, command);
    return out;
  }
  const bool large = largeProduct(m, n, k);
  if (graphLinear_ && large) {
    linearGraph(x, weight, bias, out, m, n, k, command);
    return out;
  }
  if (mpsPrefill_ && large) return linearMatrixObject(x, weight, bias, out, m, n, k, command);

  const shaders::MatmulParams p{.m = uint32_t(m), .n = uint32_t(n), .k = uint32_t(k), .has_bias = bias != nullptr};
  const Tensors buffers{x.get(), weight.get(), out.get(), b};
  if (activation_ == kElemF32 && m % shaders::kMatmulDirectTile == 0 && n % shaders::kMatmulDirectTile == 0 &&
      k % shaders::kMatmulKStep == 0) {
    kernelGroups<Kernel::matmul_direct64>(buffers, p,
                                          {n / shaders::kMatmulDirectTile, m / shaders::kMatmulDirectTile, 1},
                                          shaders::kMatmulDirectThreads, command);
    if (bias != nullptr) addBias(out, bias, m, n, command);
  } else if (m >= shaders::kMatmulRows64) {
    kernelGroups<Kernel::matmul_rows64>(buffers, p,
                                        {ceil_div(n, shaders::kMatmulTile), ceil_div(m, shaders::kMatmulRows64), 1},
                                        shaders::kMatmulRows64Threads, command);
  } else {
    kernelGroups<Kernel::matmul>(buffers, p, {ceil_div(n, shaders::kMatmulTile), ceil_div(m, shaders::kMatmulTile), 1},
                                 shaders::kMatmulThreads, command);
  }
  return out;
}

void VNGraph::matvec(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias, const VNTensorRef& out,
                     uint32_t output, const VNTensorRef& extra, const VNTensorRef& upBias,
                     const mtl::CommandBufferRef& command, uint64_t headRows, uint64_t headStride,
                     uint64_t ropeHeadDim, float theta) {
  const uint64_t n = shape_dim_at(weight->shape, 0);
  const shaders::MatvecParams p{.rows = uint32_t(n),
                                .k = uint32_t(shape_last_dim(x->shape)),
                                .has_bias = bias != nullptr,
                                .row_bytes = uint32_t(weight->rowBytes),
                                .output = output,
                                .has_up_bias = upBias != nullptr,
                                .head_rows = uint32_t(headRows),
                                .head_stride = uint32_t(headStride),
                                .rope_head_dim = uint32_t(ropeHeadDim),
                                .theta = theta};
  const VNTensor* b = bias != nullptr ? bias.get() : weight.get();
  const VNTensor* e = extra != nullptr ? extra.get() : weight.get();
  const VNTensor* c = upBias != nullptr ? upBias.get() : weight.get();
  // A folded step may read what the product before it writes (a residual),
  // so only a plain or roped product (whose positions no product writes)
  // joins the loop of the one before it.
  const bool joins = (output == shaders::kMatvecPlain || output == shaders::kMatvecRope) && lastMatvec_.command.lock() == command &&
                     lastMatvec_.count == command->command_count() && lastMatvec_.x == x->buffer.get() &&
                     lastMatvec_.offset == x->offset;
  const mtl::DispatchType type = joins ? mtl::DispatchType::kConcurrent : mtl::DispatchType::kSerial;
  if (weight->dtype == kElemQ8) fusedInt8MatvecCalls += output == shaders::kMatvecSwiglu ? 2 : 1;
  encode(weight->dtype == kElemQ8 ? Kernel::matvec_q8 : Kernel::matvec, {x.get(), weight.get(), out.get(), b, e, c},
         &p, {32 * n, 1, 1}, kThreadsPerGroup, false, command, type);
  lastMatvec_ = {command, command->command_count(), x->buffer.get(), x->offset};
}

bool VNGraph::singleRowProduct(const VNTensor& x, const VNTensor& w, const VNTensor* c, uint64_t n) const {
  const uint64_t k = shape_last_dim(x.shape);
  return x.dtype == activation_ && k != 0 && k % 2 == 0 && x.count == k && w.shape.size() == 2 &&
         (w.dtype == kElemF16 || w.dtype == kElemQ8) && w.shape[0] == n && w.count == n * k && n % 2 == 0 && n != 0 &&
         (c == nullptr || (c->count == n && c->dtype == kElemF16));
}

VNTensorRef VNGraph::foldedMatvec(uint64_t step, const std::vector<VNTensorRef>& slot,
                                  const mtl::CommandBufferRef& command) {
  const uint32_t output = fusion_[step];
  const GraphNode& node = nodes_[order_[step]];
  const VNTensorRef& x = slot[node.inputs[0]];
  const VNTensorRef& weight = slot[node.inputs[1]];
  const VNTensorRef bias = node.inputs.size() > 2 ? slot[node.inputs[2]] : nullptr;
  if (x == nullptr || weight == nullptr || (node.inputs.size() > 2 && bias == nullptr)) return nullptr;
  const uint64_t n = shape_dim_at(weight->shape, 0);
  auto single_row = [&](const VNTensorRef& w, const VNTensorRef& c) { return singleRowProduct(*x, *w, c.get(), n); };
  if (!single_row(weight, bias)) return nullptr;
  const std::vector<uint64_t> shape = with_last(x->shape, n);
  VNTensorRef extra, up_bias;
  if (output == shaders::kMatvecRope) {
    // What rope() takes on one row, its heads of d in the tables' reach.
    const uint64_t r = order_[ropeStep_[step]];
    const GraphNode& rope = nodes_[r];
    const VNTensorRef& positions = slot[rope.inputs[1]];
    const uint64_t d = rope.attrs[kRopeHeadDim], heads = rope.attrs[kRopeHeads];
    if (positions == nullptr || positions->dtype != kElemI64 || positions->count != 1 || x->shape.size() != 3 ||
        x->shape[0] != 1 || x->shape[1] != 1 || d == 0 || d % 2 != 0 || d / 2 > shaders::kRopeTable ||
        heads == 0 || heads > n || n != heads * d)
      return nullptr;
    const float theta = float(check_finite_attribute(rope.attrs[kRopeTheta]));
    if (!(theta > 0)) return nullptr;
    // A key row goes straight into its place in the cache.
    VNTensorRef out = cacheReader_[r] != kNoCacheReader && nodes_[cacheReader_[r]].attrs[kAttentionHeadDim] == d
                          ? cacheRow(r, slot)
                          : nullptr;
    const bool in_cache = out != nullptr && out->count == n;
    if (!in_cache) out = tensor(shape, activation_);
    matvec(x, weight, bias, out, output, positions, nullptr, command, in_cache ? d : 0,
           in_cache ? out->cacheStride * d : 0, d, theta);
    if (in_cache) ++cacheRowsInPlace;
    ++foldedNodes;
    ++foldedRopes;
    return out;
  }
  if (output == shaders::kMatvecResidual) {
    const GraphNode& add = nodes_[order_[step + 1]];
    extra = slot[add.inputs[0] == node.outputs[0] ? add.inputs[1] : add.inputs[0]];
    // The add's output takes its first operand's shape; both are the
    // product's here.
    if (extra == nullptr || extra->dtype != activation_ || extra->shape != shape) return nullptr;
  } else {
    const GraphNode& up = nodes_[order_[step + 1]];
    extra = slot[up.inputs[1]];
    up_bias = up.inputs.size() > 2 ? slot[up.inputs[2]] : nullptr;
    if (extra == nullptr || (up.inputs.size() > 2 && up_bias == nullptr) || !single_row(extra, up_bias) ||
        extra->dtype != weight->dtype || extra->rowBytes != weight->rowBytes)
      return nullptr;
  }
  VNTensorRef out = tensor(shape, activation_);
  matvec(x, weight, bias, out, output, extra, up_bias, command);
  foldedNodes += output == shaders::kMatvecResidual ? 1 : 3;
  return out;
}

// The products the graph layer would take from an F16 copy of the weight,
// whose bits "matmul_q8" gives without the copy; its float panels of the
// whole weight stay below 64 MiB.
bool VNGraph::linearReadsQ8(const VNTensor& x, const VNTensor& weight) const {
  const uint64_t k = shape_last_dim(x.shape);
  if (weight.dtype != kElemQ8 || weight.shape.size() != 2 || k == 0 || activation_ != kElemF32 || !graphLinear_)
    return false;
  const uint64_t m = x.count / k, n = weight.shape[0];
  return largeProduct(m, n, k) && weight.shape[1] == k && n * k <= (uint64_t(1) << 24);
}

bool VNGraph::largeProduct(uint64_t m, uint64_t n, uint64_t k) {
  return m >= kProductMinRows && n >= kProductMinColumns && k >= kProductMinInterior;
}

void VNGraph::addBias(const VNTensorRef& out, const VNTensorRef& bias, uint64_t m, uint64_t n,
                      const mtl::CommandBufferRef& command) {
  kernel<Kernel::linear_bias>({out.get(), bias.get(), out.get()},
                              {.count = uint32_t(m * n), .operand_count = uint32_t(n)}, m * n, false, command);
}

VNTensorRef VNGraph::linearMatrixObject(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias,
                                        const VNTensorRef& out, uint64_t m, uint64_t n, uint64_t k,
                                        const mtl::CommandBufferRef& command) {
  const std::shared_ptr<mps::MatrixMultiplication> product = matrices_.get({kLinearProduct, {m, n, k}}, [&] {
    return std::make_shared<mps::MatrixMultiplication>(false, true, m, n, k, 1.0, 0.0);
  });
  const uint64_t es = element_size(activation_);
  VNTensorRef right = weight;
  VNTensorRef scratch;
  if (activation_ == kElemF32) {
    // Float activations multiply float matrices: the weight is widened once
    // into pooled scratch.
    scratch = tensor({n, k}, kElemF32);
    kernel<Kernel::weights_float>({weight.get(), weight.get(), scratch.get()}, {.count = uint32_t(n * k)}, n * k, false,
                                  command);
    right = scratch;
  }
  const mps::Matrix left{x->buffer, x->offset, {m, k, 1, k * es, 0, data_type(activation_)}};
  const uint64_t rs = element_size(right->dtype);
  const mps::Matrix r{right->buffer, right->offset, {n, k, 1, k * rs, 0, data_type(right->dtype)}};
  const mps::Matrix result{out->buffer, out->offset, {m, n, 1, n * es, 0, data_type(activation_)}};
  product->encode(command, left, r, result);
  recycle(scratch);
  if (bias != nullptr) addBias(out, bias, m, n, command);
  return out;
}

void VNGraph::linearGraph(const VNTensorRef& x, const VNTensorRef& weight, const VNTensorRef& bias,
                          const VNTensorRef& out, uint64_t m, uint64_t n, uint64_t k,
                          const mtl::CommandBufferRef& command) {
  const DataType act = data_type(activation_);
  CachedGraph& g = *attentionGraphs_.get({kLinearGraph, {m, n, k, bias != nullptr}}, [&] {
    auto made = std::make_unique<CachedGraph>();
    mpsg::Graph& graph = made->graph;
    const mpsg::Tensor xs = graph.placeholder({int64_t(m), int64_t(k)}, act, "x");
    const mpsg::Tensor ws = graph.placeholder({int64_t(n), int64_t(k)}, DataType::kFloat16, "weight");
    const mpsg::Tensor wt = graph.transpose(act == DataType::kFloat32 ? graph.cast(ws, act) : ws, 0, 1);
    made->inputs = {xs, ws};
    made->result = graph.matrixMultiplication(xs, wt);
    if (bias != nullptr) {
      const mpsg::Tensor bs = graph.placeholder({int64_t(n)}, DataType::kFloat16, "bias");
      made->inputs.push_back(bs);
      made->result = graph.addition(made->result, act == DataType::kFloat32 ? graph.cast(bs, act) : bs);
    }
    return made;
  });
  mpsg::TensorDataMap feeds{{g.inputs[0], {x->buffer, x->offset, {int64_t(m), int64_t(k)}, act}},
                            {g.inputs[1], {weight->buffer, weight->offset, {int64_t(n), int64_t(k)}, DataType::kFloat16}}};
  if (bias != nullptr) feeds.push_back({g.inputs[2], {bias->buffer, bias->offset, {int64_t(n)}, DataType::kFloat16}});
  g.graph.encode(command, feeds, {{g.result, {out->buffer, out->offset, {int64_t(m), int64_t(n)}, act}}});
}

}  // namespace vorn
