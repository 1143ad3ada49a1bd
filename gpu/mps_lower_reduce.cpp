// Lowering of softmax, arg-max, the reductions and the normalisations.
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

using mpsg::BinaryFunction;
using mpsg::ReductionFunction;
using mpsg::Shape;
using mpsg::Tensor;

namespace {

int64_t norm_axis(int64_t a, size_t rank) { return a < 0 ? a + int64_t(rank) : a; }

// A per-channel array shaped to broadcast over axis 1 of a rank-r value.
Tensor per_channel(Lowering& l, Tensor t, size_t rank, int64_t channels) {
  if (rank < 2) return l.reshape(t, {channels});
  Shape s(rank, 1);
  s[1] = channels;
  const int64_t have = mpsg::element_count(l.g.shape(t));
  if (have > channels) t = l.g.slice(l.g.reshape(t, {have}), 0, 0, channels);
  return l.reshape(t, s);
}

}  // namespace

bool lower_softmax(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  l.set(n, 0, l.g.softMax(x, norm_axis(n.attr_i64(attr::Softmax::kAxis), l.g.shape(x).size())));
  return true;
}

// Indices stay float32 (exact past 2048, where float16 is not).
bool lower_argmax(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  const Tensor r = l.g.reductionArgMaximum(x, norm_axis(n.attr_i64(attr::ArgMax::kAxis), l.g.shape(x).size()));
  const uint64_t id = n.output(0);
  const Shape want = l.dims(id);
  l.st.tensors[id] = l.reshape(r, want);
  return true;
}

bool lower_reduce(Lowering& l, const NodeRecord& n) {
  ReductionFunction f = ReductionFunction::kSum;
  switch (n.op()) {
    case op::ReduceMean: f = ReductionFunction::kMean; break;
    case op::ReduceSum: f = ReductionFunction::kSum; break;
    case op::ReduceMax: f = ReductionFunction::kMaximum; break;
    case op::ReduceMin: f = ReductionFunction::kMinimum; break;
    case op::ReduceProd: f = ReductionFunction::kProduct; break;
    default: return l.refuse("unsupported op in MPS backend");
  }
  const Tensor x = l.in(n, 0);
  const size_t rank = l.g.shape(x).size();
  if (rank == 0) {
    l.set(n, 0, x);
    return true;
  }
  l.set(n, 0, l.g.reduction(f, x, {norm_axis(n.attr_i64(attr::Reduce::kAxis), rank)}));
  return true;
}

// Over the last axis: d = x - mean, d / sqrt(mean(d x d) + epsilon), then
// times the scale and plus the bias when given.
bool lower_layer_norm(Lowering& l, const NodeRecord& n) {
  mpsg::Graph& g = l.g;
  const Tensor x = l.in(n, 0);
  const int64_t last = int64_t(g.shape(x).size()) - 1;
  const Tensor d = g.binary(BinaryFunction::kSubtraction, x, g.reduction(ReductionFunction::kMean, x, {last}));
  const Tensor var = g.reduction(ReductionFunction::kMean, g.binary(BinaryFunction::kMultiplication, d, d), {last});
  const Tensor sd = g.unary(mpsg::UnaryFunction::kSquareRoot,
                            g.binary(BinaryFunction::kAddition, var, l.scalar(n.attr_f32(attr::Norm::kEpsilon))));
  const int64_t c = g.shape(x).back();
  Tensor y = g.binary(BinaryFunction::kMultiplication, g.binary(BinaryFunction::kDivision, d, sd),
                      l.reshape(l.in(n, 1), {c}));
  if (l.has_in(n, 2)) y = g.binary(BinaryFunction::kAddition, y, l.reshape(l.in(n, 2), {c}));
  l.set(n, 0, y);
  return true;
}

// Over every axis after the channel, per (image, channel).
bool lower_instance_norm(Lowering& l, const NodeRecord& n) {
  mpsg::Graph& g = l.g;
  const Tensor x = l.in(n, 0);
  const Shape s = g.shape(x);
  if (s.size() < 2) throw std::invalid_argument("input rank below 2");
  std::vector<int64_t> axes;
  for (int64_t a = 2; a < int64_t(s.size()); ++a) axes.push_back(a);
  Tensor d = x, var;
  if (!axes.empty()) {
    d = g.binary(BinaryFunction::kSubtraction, x, g.reduction(ReductionFunction::kMean, x, axes));
    var = g.reduction(ReductionFunction::kMean, g.binary(BinaryFunction::kMultiplication, d, d), axes);
  } else {
    d = g.binary(BinaryFunction::kSubtraction, x, x);
    var = d;
  }
  const Tensor inv = g.unary(mpsg::UnaryFunction::kReciprocal,
                             g.unary(mpsg::UnaryFunction::kSquareRoot,
                                     g.binary(BinaryFunction::kAddition, var, l.scalar(n.attr_f32(attr::Norm::kEpsilon)))));
  const Tensor scale = per_channel(l, l.in(n, 1), s.size(), s[1]);
  const Tensor bias = per_channel(l, l.in(n, 2), s.size(), s[1]);
  l.set(n, 0, g.binary(BinaryFunction::kAddition,
                       g.binary(BinaryFunction::kMultiplication, g.binary(BinaryFunction::kMultiplication, d, inv), scale),
                       bias));
  return true;
}

// x times a multiplier plus an addend per channel (axis 1; axis 0 of a
// rank-1 input).
bool lower_batch_norm(Lowering& l, const NodeRecord& n) {
  mpsg::Graph& g = l.g;
  const Tensor x = l.in(n, 0);
  const Shape s = g.shape(x);
  if (s.empty()) throw std::invalid_argument("scalar input");
  const int64_t c = s.size() > 1 ? s[1] : s[0];
  const Tensor m = per_channel(l, l.in(n, 1), s.size(), c);
  const Tensor a = per_channel(l, l.in(n, 2), s.size(), c);
  l.set(n, 0, g.binary(BinaryFunction::kAddition, g.binary(BinaryFunction::kMultiplication, x, m), a));
  return true;
}

}  // namespace vorn
