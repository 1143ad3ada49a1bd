// Builders of the graph layer's elementwise, reduction, data-movement and
// heavy operations: each checks its shapes and adds one node.
#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "platform/graph_layer.h"
#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_plan.h"
#include "platform/graph_layer_shapes.h"
#include "platform/half.h"

namespace vorn::mpsg {

namespace {

constexpr const char* kUnaryNames[] = {
#define VORN_GRAPH_UNARY(code, name) name,
#include "platform/graph_layer_functions.inc"
#undef VORN_GRAPH_UNARY
};
constexpr const char* kBinaryNames[] = {
#define VORN_GRAPH_BINARY(code, name) name,
#include "platform/graph_layer_functions.inc"
#undef VORN_GRAPH_BINARY
};

// Output side of a sliding window: floor or ceiling of the steps that fit.
int64_t window_side(int64_t in, int64_t pad_before, int64_t pad_after, int64_t extent, int64_t stride, bool ceil) {
  const int64_t span = in + pad_before + pad_after - extent;
  if (span < 0) return 0;
  return (ceil ? (span + stride - 1) / stride : span / stride) + 1;
}

void check_window(Operation op, const Shape& source, int64_t sy, int64_t sx) {
  if (source.size() != 4) refuse(op, "source must be NCHW");
  if (sy < 1 || sx < 1) refuse(op, "strides must be at least 1");
}

}  // namespace

const char* unary_function_name(UnaryFunction f) {
  return size_t(f) < std::size(kUnaryNames) ? kUnaryNames[size_t(f)] : "unknown";
}
const char* binary_function_name(BinaryFunction f) {
  return size_t(f) < std::size(kBinaryNames) ? kBinaryNames[size_t(f)] : "unknown";
}

Tensor Graph::constantWithScalar(double scalar, DataType type) {
  return constantWithData({float(scalar)}, {}, type);
}

Tensor Graph::constantWithData(const std::vector<float>& values, const Shape& shape, DataType type) {
  if (int64_t(values.size()) != element_count(shape)) refuse(Operation::kConstant, "value count differs from the shape");
  auto data = std::make_shared<std::vector<float>>(values);
  if (type == DataType::kFloat16)
    for (float& v : *data) v = half_to_float(float_to_half(v));
  Node n{Operation::kConstant, {}, shape, type, {}, {}, 0};
  n.values = std::move(data);
  return add_node(std::move(n));
}

Tensor Graph::unary(UnaryFunction function, Tensor x, float parameter) {
  const Node& a = node(x);
  if (size_t(function) >= std::size(kUnaryNames)) refuse(Operation::kUnary, "unknown function");
  return add_node({Operation::kUnary, {x}, a.shape, a.type, {}, {int64_t(function)}, parameter});
}

Tensor Graph::binary(BinaryFunction function, Tensor primary, Tensor secondary) {
  const Node& a = node(primary);
  const Node& b = node(secondary);
  if (size_t(function) >= std::size(kBinaryNames)) refuse(Operation::kBinary, "unknown function");
  if (a.type != b.type) refuse(Operation::kBinary, std::string(binary_function_name(function)) + ": operands of different types");
  Shape s;
  if (!vorn::mpsg::broadcast(a.shape, b.shape, &s))
    refuse(Operation::kBinary, std::string(binary_function_name(function)) + ": " + shape_text(a.shape) + " and " +
                                   shape_text(b.shape) + " do not broadcast");
  return add_node({Operation::kBinary, {primary, secondary}, s, a.type, {}, {int64_t(function)}, 0});
}

Tensor Graph::select(Tensor predicate, Tensor onTrue, Tensor onFalse) {
  const Node& p = node(predicate);
  const Node& t = node(onTrue);
  const Node& f = node(onFalse);
  if (t.type != f.type) refuse(Operation::kSelect, "choices of different types");
  Shape s, s2;
  if (!vorn::mpsg::broadcast(p.shape, t.shape, &s) || !vorn::mpsg::broadcast(s, f.shape, &s2)) refuse(Operation::kSelect, "shapes do not broadcast");
  return add_node({Operation::kSelect, {predicate, onTrue, onFalse}, s2, t.type, {}, {}, 0});
}

Tensor Graph::clamp(Tensor x, Tensor low, Tensor high) {
  const Node& a = node(x);
  if (node(low).type != a.type || node(high).type != a.type) refuse(Operation::kClamp, "bounds of another type");
  Shape s, s2;
  if (!vorn::mpsg::broadcast(a.shape, node(low).shape, &s) || !vorn::mpsg::broadcast(s, node(high).shape, &s2))
    refuse(Operation::kClamp, "shapes do not broadcast");
  return add_node({Operation::kClamp, {x, low, high}, s2, a.type, {}, {}, 0});
}

Tensor Graph::softMax(Tensor x, int64_t a) {
  const Node& n = node(x);
  if (n.shape.empty()) refuse(Operation::kSoftMax, "scalar input");
  return add_node({Operation::kSoftMax, {x}, n.shape, n.type, {}, {axis(Operation::kSoftMax, a, n.shape.size())}, 0});
}

Tensor Graph::reduction(ReductionFunction function, Tensor x, const std::vector<int64_t>& axes) {
  const Node& n = node(x);
  Shape s = n.shape;
  std::vector<int64_t> ints{int64_t(function)};
  for (int64_t a : axes) {
    const int64_t k = axis(Operation::kReduction, a, n.shape.size());
    if (std::find(ints.begin() + 1, ints.end(), k) != ints.end()) refuse(Operation::kReduction, "axis named twice");
    ints.push_back(k);
    s[size_t(k)] = 1;
  }
  return add_node({Operation::kReduction, {x}, s, n.type, {}, ints, 0});
}

Tensor Graph::reductionArgMaximum(Tensor x, int64_t a) {
  const Node& n = node(x);
  const int64_t k = axis(Operation::kArgMaximum, a, n.shape.size());
  Shape s = n.shape;
  s[size_t(k)] = 1;
  return add_node({Operation::kArgMaximum, {x}, s, DataType::kFloat32, {}, {k}, 0});
}

std::pair<Tensor, Tensor> Graph::topK(Tensor x, int64_t k) {
  const Node& n = node(x);
  if (n.shape.empty() || k < 0 || k > n.shape.back()) refuse(Operation::kTopKValues, "k outside the last axis");
  Shape s = n.shape;
  s.back() = k;
  const DataType type = n.type;
  const Tensor values = add_node({Operation::kTopKValues, {x}, s, type, {}, {k}, 0});
  const Tensor indices = add_node({Operation::kTopKIndices, {x}, s, DataType::kFloat32, {}, {k}, 0});
  return {values, indices};
}

Tensor Graph::hostOperation(const std::vector<Tensor>& inputs, const Shape& shape, DataType type, HostKernelRef kernel) {
  if (kernel == nullptr) refuse(Operation::kHostOperation, "no kernel");
  Node n{Operation::kHostOperation, inputs, shape, type, "hostOperation", {}, 0};
  n.kernel = std::move(kernel);
  return add_node(std::move(n));
}

Tensor Graph::convolution2D(Tensor source, Tensor weights, Tensor bias, const Convolution2DOpDescriptor& d) {
  const Operation op = Operation::kHostOperation;
  const Shape x = node(source).shape, w = node(weights).shape;
  check_window(op, x, d.strideInY, d.strideInX);
  if (w.size() != 4 || d.groups < 1 || x[1] != w[1] * d.groups || w[0] % d.groups != 0)
    refuse(op, "convolution2D: weights " + shape_text(w) + " do not fit source " + shape_text(x));
  if (d.dilationRateInX < 1 || d.dilationRateInY < 1) refuse(op, "convolution2D: dilations must be at least 1");
  const Shape y{x[0], w[0], window_side(x[2], d.paddingTop, d.paddingBottom, (w[2] - 1) * d.dilationRateInY + 1, d.strideInY, false),
                window_side(x[3], d.paddingLeft, d.paddingRight, (w[3] - 1) * d.dilationRateInX + 1, d.strideInX, false)};
  std::vector<Tensor> inputs{source, weights};
  if (bias.valid()) {
    if (element_count(node(bias).shape) != w[0]) refuse(op, "convolution2D: bias is not one value per output channel");
    inputs.push_back(bias);
  }
  if (provider_ == nullptr) refuse(op, "convolution2D: the graph has no kernel provider");
  HostKernelRef k = provider_->convolution2D(x, w, bias.valid(), y, d);
  if (k == nullptr) refuse(op, "convolution2D: no kernel for " + shape_text(x) + " * " + shape_text(w));
  Node n{op, inputs, y, node(source).type, "convolution2D", {}, 0};
  n.kernel = std::move(k);
  return add_node(std::move(n));
}

Tensor Graph::convolutionTranspose2D(Tensor source, Tensor weights, Tensor bias, const Shape& y,
                                     const Convolution2DOpDescriptor& d) {
  const Operation op = Operation::kHostOperation;
  const Shape x = node(source).shape, w = node(weights).shape;
  check_window(op, x, d.strideInY, d.strideInX);
  if (w.size() != 4 || d.groups < 1 || w[0] != x[1] || y.size() != 4 || y[0] != x[0] || y[1] != w[1] * d.groups)
    refuse(op, "convolutionTranspose2D: weights " + shape_text(w) + " do not fit source " + shape_text(x) +
                   " and result " + shape_text(y));
  std::vector<Tensor> inputs{source, weights};
  if (bias.valid()) {
    if (element_count(node(bias).shape) != y[1]) refuse(op, "convolutionTranspose2D: bias is not one value per channel");
    inputs.push_back(bias);
  }
  if (provider_ == nullptr) refuse(op, "convolutionTranspose2D: the graph has no kernel provider");
  HostKernelRef k = provider_->convolutionTranspose2D(x, w, bias.valid(), y, d);
  if (k == nullptr) refuse(op, "convolutionTranspose2D: no kernel for " + shape_text(x) + " * " + shape_text(w));
  Node n{op, inputs, y, node(source).type, "convolutionTranspose2D", {}, 0};
  n.kernel = std::move(k);
  return add_node(std::move(n));
}

namespace {

Shape pooled_shape(const Shape& x, const Pooling2DOpDescriptor& d) {
  check_window(Operation::kHostOperation, x, d.strideInY, d.strideInX);
  if (d.kernelHeight < 1 || d.kernelWidth < 1) refuse(Operation::kHostOperation, "pooling2D: empty window");
  return {x[0], x[1], window_side(x[2], d.paddingTop, d.paddingBottom, d.kernelHeight, d.strideInY, d.ceilMode),
          window_side(x[3], d.paddingLeft, d.paddingRight, d.kernelWidth, d.strideInX, d.ceilMode)};
}

}  // namespace

Tensor Graph::maxPooling2D(Tensor source, const Pooling2DOpDescriptor& d) {
  const Shape x = node(source).shape, y = pooled_shape(x, d);
  if (provider_ == nullptr) refuse(Operation::kHostOperation, "maxPooling2D: the graph has no kernel provider");
  HostKernelRef k = provider_->pooling2D(true, x, y, d);
  if (k == nullptr) refuse(Operation::kHostOperation, "maxPooling2D: no kernel");
  Node n{Operation::kHostOperation, {source}, y, node(source).type, "maxPooling2D", {}, 0};
  n.kernel = std::move(k);
  return add_node(std::move(n));
}

Tensor Graph::avgPooling2D(Tensor source, const Pooling2DOpDescriptor& d) {
  const Shape x = node(source).shape, y = pooled_shape(x, d);
  if (provider_ == nullptr) refuse(Operation::kHostOperation, "avgPooling2D: the graph has no kernel provider");
  HostKernelRef k = provider_->pooling2D(false, x, y, d);
  if (k == nullptr) refuse(Operation::kHostOperation, "avgPooling2D: no kernel");
  Node n{Operation::kHostOperation, {source}, y, node(source).type, "avgPooling2D", {}, 0};
  n.kernel = std::move(k);
  return add_node(std::move(n));
}

Tensor Graph::resize(Tensor x, int64_t height, int64_t width, bool bilinear, bool centerResult, bool alignCorners) {
  const Node& n = node(x);
  if (n.shape.size() != 4) refuse(Operation::kResize, "source must be NCHW");
  if (height < 0 || width < 0) refuse(Operation::kResize, "negative size");
  if ((n.shape[2] == 0 || n.shape[3] == 0) && height * width > 0) refuse(Operation::kResize, "empty source plane");
  Shape s = n.shape;
  s[2] = height;
  s[3] = width;
  return add_node({Operation::kResize, {x}, s, n.type, {}, {bilinear, centerResult, alignCorners}, 0});
}

Tensor Graph::gather(Tensor x, Tensor indices, int64_t a) {
  const Node& n = node(x);
  const int64_t k = axis(Operation::kGather, a, n.shape.size());
  const Shape& is = node(indices).shape;
  Shape s(n.shape.begin(), n.shape.begin() + k);
  s.insert(s.end(), is.begin(), is.end());
  s.insert(s.end(), n.shape.begin() + k + 1, n.shape.end());
  return add_node({Operation::kGather, {x, indices}, s, n.type, {}, {k}, 0});
}

Tensor Graph::scatterND(Tensor data, Tensor updates, Tensor indices) {
  const Node& d = node(data);
  const Shape& is = node(indices).shape;
  const Shape& us = node(updates).shape;
  if (node(updates).type != d.type) refuse(Operation::kScatterND, "updates of another type");
  if (is.empty() || is.back() < 1 || is.back() > int64_t(d.shape.size()))
    refuse(Operation::kScatterND, "indices must end in 1 to rank entries");
  // updates: indices' leading axes, then data's axes after the indexed ones.
  Shape want(is.begin(), is.end() - 1);
  want.insert(want.end(), d.shape.begin() + is.back(), d.shape.end());
  if (want != us) refuse(Operation::kScatterND, "updates " + shape_text(us) + ", expected " + shape_text(want));
  return add_node({Operation::kScatterND, {data, updates, indices}, d.shape, d.type, {}, {}, 0});
}

Tensor Graph::concat(const std::vector<Tensor>& tensors, int64_t dimension) {
  if (tensors.empty()) refuse(Operation::kConcat, "no tensors");
  const Node& first = node(tensors[0]);
  const int64_t k = axis(Operation::kConcat, dimension, first.shape.size());
  Shape s = first.shape;
  s[size_t(k)] = 0;
  for (Tensor t : tensors) {
    const Node& n = node(t);
    if (n.type != first.type || n.shape.size() != first.shape.size()) refuse(Operation::kConcat, "tensors of different types or ranks");
    for (size_t i = 0; i < s.size(); ++i)
      if (int64_t(i) != k && n.shape[i] != first.shape[i]) refuse(Operation::kConcat, "shapes differ off the axis");
    s[size_t(k)] += n.shape[size_t(k)];
  }
  return add_node({Operation::kConcat, tensors, s, first.type, {}, {k}, 0});
}

Tensor Graph::broadcast(Tensor x, const Shape& shape) {
  const Node& n = node(x);
  Shape s;
  if (!vorn::mpsg::broadcast(n.shape, shape, &s) || s != shape)
    refuse(Operation::kBroadcast, shape_text(n.shape) + " does not broadcast to " + shape_text(shape));
  return add_node({Operation::kBroadcast, {x}, shape, n.type, {}, {}, 0});
}

Tensor Graph::transpose(Tensor x, const std::vector<int64_t>& permutation) {
  const Node& n = node(x);
  if (permutation.size() != n.shape.size()) refuse(Operation::kPermute, "permutation of another rank");
  std::vector<int64_t> seen(permutation.size(), 0);
  Shape s;
  for (int64_t p : permutation) {
    if (p < 0 || p >= int64_t(n.shape.size()) || seen[size_t(p)]++) refuse(Operation::kPermute, "not a permutation");
    s.push_back(n.shape[size_t(p)]);
  }
  return add_node({Operation::kPermute, {x}, s, n.type, {}, permutation, 0});
}

Tensor Graph::slice(Tensor x, int64_t dimension, int64_t start, int64_t length, int64_t stride) {
  const Node& n = node(x);
  const int64_t a = axis(Operation::kSlice, dimension, n.shape.size());
  if (stride < 1) refuse(Operation::kSlice, "stride below 1");
  const int64_t d = n.shape[size_t(a)];
  if (start < 0 || length < 0 || (length > 0 && (start >= d || (length - 1) > (d - 1 - start) / stride)) ||
      (length == 0 && start > d))
    refuse(Operation::kSlice, "range outside the axis");
  Shape s = n.shape;
  s[size_t(a)] = length;
  return add_node({Operation::kSlice, {x}, s, n.type, {}, {a, start, stride}, 0});
}

bool Graph::run(const mtl::CommandQueueRef& queue, const TensorDataMap& feeds, const TensorDataMap& results,
                std::string* error) {
  std::shared_ptr<const Plan> plan;
  {
    std::lock_guard<std::mutex> hold(plans_lock_);
    for (const auto& [key, p] : plans_) {
      if (key.first.size() != feeds.size() || key.second.size() != results.size()) continue;
      bool same = true;
      for (size_t i = 0; i < feeds.size() && same; ++i) same = key.first[i] == feeds[i].first;
      for (size_t i = 0; i < results.size() && same; ++i) same = key.second[i] == results[i].first;
      if (same) {
        plan = p;
        break;
      }
    }
  }
  if (plan == nullptr) {
    std::vector<Tensor> feed_tensors, targets;
    for (const auto& f : feeds) feed_tensors.push_back(f.first);
    for (const auto& r : results) targets.push_back(r.first);
    plan = plan_for(feed_tensors, targets);
  }
  std::lock_guard<std::mutex> in_order(queue->order());
  return execute_plan(
      *plan, [&](size_t i) -> const TensorData& { return feeds[i].second; },
      [&](size_t i) -> const TensorData& { return results[i].second; }, error);
}

}  // namespace vorn::mpsg
