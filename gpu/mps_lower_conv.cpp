// Lowering of convolutions, pools and products. Convolutions and pools run
// on the CPU engine's kernels through the graph's kernel provider; an
// activation that only reads a convolution's output becomes its epilogue,
// as the CPU engine fuses it.
#include <algorithm>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

using mpsg::BinaryFunction;
using mpsg::Shape;
using mpsg::Tensor;

namespace {

// x as NCHW: rank 1 to 3 padded with leading 1s, as the CPU kernels read
// such values.
Tensor as_nchw(Lowering& l, Tensor x) {
  Shape s = l.g.shape(x);
  if (s.size() == 4) return x;
  if (s.size() > 4) throw std::invalid_argument("input of rank above 4");
  s.insert(s.begin(), 4 - s.size(), 1);
  return l.g.reshape(x, s);
}

Shape nchw(Shape s) {
  s.insert(s.begin(), s.size() < 4 ? 4 - s.size() : 0, 1);
  return s;
}

// The bottom (right) padding that gives out positions: the CPU kernels take
// the output size from the value, so the graph's padding follows it.
int64_t after_pad(int64_t in, int64_t out, int64_t extent, int64_t stride, int64_t before) {
  return std::max<int64_t>(0, (out - 1) * stride + extent - in - before);
}

int64_t at_least_one(uint64_t v) { return v == 0 ? 1 : int64_t(v); }

// Folds the activation after node n into the descriptor when only it reads
// n's output; returns the node whose output the result becomes.
const NodeRecord* fuse_activation(Lowering& l, const NodeRecord& n, mpsg::Convolution2DOpDescriptor* d, bool relu_only) {
  const uint64_t next = l.fusable_next(n);
  if (next == 0) return &n;
  const NodeRecord& a = l.nodes[l.index + 1];
  switch (next) {
    case op::Relu: d->activation = mpsg::Activation::kReLU; break;
    case op::LeakyRelu:
      if (relu_only) return &n;
      d->activation = mpsg::Activation::kLeakyReLU;
      d->activationAlpha = a.attr_f32(attr::LeakyRelu::kAlpha);
      break;
    case op::Clip:
      if (relu_only) return &n;
      d->activation = mpsg::Activation::kClamp;
      d->activationAlpha = a.attr_f32(attr::Clip::kMin);
      d->activationBeta = a.attr_f32(attr::Clip::kMax);
      break;
    case op::HardSwish:
      if (relu_only) return &n;
      d->activation = mpsg::Activation::kHardSwish;
      break;
    case op::HardSigmoid:
      // y x HardSigmoid(y) with alpha 1/6 and beta 0.5 is HardSwish(y), the
      // same operations in the same order.
      if (!relu_only && a.attr_f32(attr::HardSigmoid::kAlpha) == 0.16666667f &&
          a.attr_f32(attr::HardSigmoid::kBeta) == 0.5f && l.hard_swish_product(n, a)) {
        d->activation = mpsg::Activation::kHardSwish;
        l.skip[l.index + 1] = l.skip[l.index + 2] = 1;
        return &l.nodes[l.index + 2];
      }
      return &n;
    default: return &n;
  }
  l.skip[l.index + 1] = 1;
  return &a;
}

}  // namespace

bool lower_conv(Lowering& l, const NodeRecord& n) {
  using A = attr::Conv;
  const Tensor x = as_nchw(l, l.in(n, 0));
  const Shape xs = l.g.shape(x), ys = nchw(l.dims(n.output(0)));
  mpsg::Convolution2DOpDescriptor d;
  d.strideInY = at_least_one(n.attr(A::kStrideH));
  d.strideInX = at_least_one(n.attr(A::kStrideW));
  d.dilationRateInY = at_least_one(n.attr(A::kDilationH));
  d.dilationRateInX = at_least_one(n.attr(A::kDilationW));
  d.groups = std::max<int64_t>(1, n.attr_i64(A::kGroups));
  d.paddingTop = n.attr_i64(A::kPadTop);
  d.paddingLeft = n.attr_i64(A::kPadLeft);
  const int64_t kh = n.attr_i64(A::kKernelH), kw = n.attr_i64(A::kKernelW);
  d.paddingBottom = after_pad(xs[2], ys[2], (kh - 1) * d.dilationRateInY + 1, d.strideInY, d.paddingTop);
  d.paddingRight = after_pad(xs[3], ys[3], (kw - 1) * d.dilationRateInX + 1, d.strideInX, d.paddingLeft);
  const Tensor w = l.reshape(l.in(n, 1), {ys[1], xs[1] / d.groups, kh, kw});
  const Tensor b = l.has_in(n, 2) ? l.in(n, 2) : Tensor{};
  const NodeRecord* last = fuse_activation(l, n, &d, false);
  l.set(*last, 0, l.g.convolution2D(x, w, b, d));
  return true;
}

bool lower_conv_transpose(Lowering& l, const NodeRecord& n) {
  using A = attr::ConvTranspose;
  const Tensor x = as_nchw(l, l.in(n, 0));
  const Shape xs = l.g.shape(x), ys = nchw(l.dims(n.output(0)));
  mpsg::Convolution2DOpDescriptor d;
  d.strideInY = at_least_one(n.attr(A::kStrideH));
  d.strideInX = at_least_one(n.attr(A::kStrideW));
  d.dilationRateInY = at_least_one(n.attr(A::kDilationH));
  d.dilationRateInX = at_least_one(n.attr(A::kDilationW));
  d.groups = std::max<int64_t>(1, n.attr_i64(A::kGroups));
  d.paddingTop = n.attr_i64(A::kPadTop);
  d.paddingLeft = n.attr_i64(A::kPadLeft);
  d.paddingBottom = n.attr_i64(A::kPadBottom);
  d.paddingRight = n.attr_i64(A::kPadRight);
  const int64_t kh = n.attr_i64(A::kKernelH), kw = n.attr_i64(A::kKernelW);
  const Tensor w = l.reshape(l.in(n, 1), {xs[1], ys[1] / d.groups, kh, kw});
  const Tensor b = l.has_in(n, 2) ? l.in(n, 2) : Tensor{};
  const NodeRecord* last = fuse_activation(l, n, &d, true);
  l.set(*last, 0, l.g.convolutionTranspose2D(x, w, b, ys, d));
  return true;
}

bool lower_pool(Lowering& l, const NodeRecord& n) {
  const Tensor x = as_nchw(l, l.in(n, 0));
  if (n.op() == op::GlobalAveragePool) {
    l.set(n, 0, l.g.reduction(mpsg::ReductionFunction::kMean, x, {2, 3}));
    return true;
  }
  using A = attr::Window;
  const Shape xs = l.g.shape(x), ys = nchw(l.dims(n.output(0)));
  mpsg::Pooling2DOpDescriptor d;
  d.kernelHeight = n.attr_i64(A::kKernelH);
  d.kernelWidth = n.attr_i64(A::kKernelW);
  d.strideInY = at_least_one(n.attr(A::kStrideH));
  d.strideInX = at_least_one(n.attr(A::kStrideW));
  d.paddingTop = n.attr_i64(A::kPadTop);
  d.paddingLeft = n.attr_i64(A::kPadLeft);
  d.paddingBottom = after_pad(xs[2], ys[2], d.kernelHeight, d.strideInY, d.paddingTop);
  d.paddingRight = after_pad(xs[3], ys[3], d.kernelWidth, d.strideInX, d.paddingLeft);
  l.set(n, 0, n.op() == op::MaxPool ? l.g.maxPooling2D(x, d) : l.g.avgPooling2D(x, d));
  return true;
}

// A x B (+ C): as a convolution when B is transposed and K allows squares
// of side s (K above 4096: the first of 7..2 whose square divides K), else
// as a matrix product. alpha and beta scale when they are not 1.
bool lower_gemm(Lowering& l, const NodeRecord& n) {
  using A = attr::Gemm;
  mpsg::Graph& g = l.g;
  const bool ta = n.attr(A::kTransA) != 0, tb = n.attr(A::kTransB) != 0;
  const Shape ys = l.dims(n.output(0));
  const int64_t m = ys[0], cols = ys[1];
  Tensor a = l.in(n, 0), b = l.in(n, 1);
  const int64_t k = mpsg::element_count(g.shape(a)) / std::max<int64_t>(m, 1);
  a = l.reshape(a, ta ? Shape{k, m} : Shape{m, k});
  b = l.reshape(b, tb ? Shape{cols, k} : Shape{k, cols});
  Tensor y;
  if (!ta && tb && k > 0) {
    int64_t s = 1;
    if (k > 4096)
      for (int64_t side : {7, 6, 5, 4, 3, 2})
        if (k % (side * side) == 0) {
          s = side;
          break;
        }
    const Tensor x = g.reshape(a, {m, k / (s * s), s, s});
    const Tensor w = g.reshape(b, {cols, k / (s * s), s, s});
    y = g.reshape(g.convolution2D(x, w, Tensor{}, mpsg::Convolution2DOpDescriptor{}), {m, cols});
  } else {
    y = g.matrixMultiplication(ta ? g.transpose(a, 0, 1) : a, tb ? g.transpose(b, 0, 1) : b);
  }
  const float alpha = n.attr_f32(A::kAlpha), beta = n.attr_f32(A::kBeta);
  if (alpha != 1.0f) y = g.binary(BinaryFunction::kMultiplication, y, l.scalar(alpha));
  if (l.has_in(n, 2)) {
    Tensor c = l.in(n, 2);
    if (beta != 1.0f) c = g.binary(BinaryFunction::kMultiplication, c, l.scalar(beta));
    y = g.binary(BinaryFunction::kAddition, y, c);
  }
  l.set(n, 0, y);
  return true;
}

// A rank-1 A is one row and a rank-1 B one column; with the axis-2 batch
// attribute A [d0, d1, d2, K] is multiplied on axis 2 by d2 matrices of B.
bool lower_matmul(Lowering& l, const NodeRecord& n) {
  mpsg::Graph& g = l.g;
  Tensor a = l.in(n, 0), b = l.in(n, 1);
  Shape as = g.shape(a), bs = g.shape(b);
  if (n.attr(attr::MatMul::kAxis2Batch) == 1 && as.size() == 4) {
    const int64_t d2 = as[2], kk = as[3];
    const int64_t cols = l.dims(n.output(0)).back();
    const Tensor at = g.transpose(a, 1, 2);
    const Tensor bb = g.reshape(b, {d2, kk, cols});
    l.set(n, 0, g.transpose(g.matrixMultiplication(at, bb), 1, 2));
    return true;
  }
  if (as.size() == 1) a = g.reshape(a, {1, as[0]});
  if (bs.size() == 1) b = g.reshape(b, {bs[0], 1});
  l.set(n, 0, g.matrixMultiplication(a, b));
  return true;
}

}  // namespace vorn
