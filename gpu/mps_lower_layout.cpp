// Lowering of the shape and data-movement operators: views where the graph
// can view (reshape, transpose, slice, broadcast), copies where it must.
#include <algorithm>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "gpu/mps_state.h"

namespace vorn {

using mpsg::Shape;
using mpsg::Tensor;

namespace {

int64_t norm_axis(int64_t a, size_t rank) { return a < 0 ? a + int64_t(rank) : a; }

}  // namespace

// Identity and Flatten: the output's dims over the same elements; an output
// holding fewer elements takes the first ones.
bool lower_identity(Lowering& l, const NodeRecord& n) {
  Tensor x = l.in(n, 0);
  const int64_t want = l.count(n.output(0)), have = mpsg::element_count(l.g.shape(x));
  if (want < have) x = l.g.slice(l.g.reshape(x, {have}), 0, 0, want);
  l.set(n, 0, x);
  return true;
}

bool lower_transpose(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  const size_t rank = l.g.shape(x).size();
  std::vector<int64_t> perm;
  for (size_t k = 0; k < rank; ++k) perm.push_back(n.attr_i64(attr::Transpose::kPerm + k));
  l.set(n, 0, l.g.transpose(x, perm));
  return true;
}

bool lower_concat(Lowering& l, const NodeRecord& n) {
  std::vector<Tensor> parts;
  for (uint64_t k = 0; k < n.input_count(); ++k) parts.push_back(l.in(n, k));
  const size_t rank = l.dims(n.output(0)).size();
  l.set(n, 0, l.g.concat(parts, norm_axis(n.attr_i64(attr::Concat::kAxis), rank)));
  return true;
}

bool lower_split(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  const size_t rank = l.g.shape(x).size();
  const int64_t axis = norm_axis(n.attr_i64(attr::Split::kAxis), rank);
  if (axis < 0 || axis >= int64_t(rank) || axis > 5) throw std::invalid_argument("split axis outside the rank");
  int64_t start = 0;
  for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
    const int64_t len = l.dims(n.output(k))[size_t(axis)];
    l.set(n, k, l.g.slice(x, axis, start, len));
    start += len;
  }
  return true;
}

// start + k x step for k < length: a strided view of the axis.
bool lower_slice(Lowering& l, const NodeRecord& n) {
  using A = attr::Slice;
  const Tensor x = l.in(n, 0);
  const int64_t axis = norm_axis(n.attr_i64(A::kAxis), l.g.shape(x).size());
  const int64_t step = std::max<int64_t>(1, n.attr_i64(A::kStep));
  l.set(n, 0, l.g.slice(x, axis, n.attr_i64(A::kStart), n.attr_i64(A::kLength), step));
  return true;
}

bool lower_gather(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  const int64_t axis = norm_axis(n.attr_i64(attr::Gather::kAxis), l.g.shape(x).size());
  // Indices are read as float32, exact for any axis the graph can hold.
  const Tensor idx = l.st.tensors[n.input(1)];
  l.set(n, 0, l.g.gather(x, idx, axis));
  return true;
}

bool lower_expand(Lowering& l, const NodeRecord& n) {
  l.set(n, 0, l.g.broadcast(l.in(n, 0), l.dims(n.output(0))));
  return true;
}

// Zeros after the data on axis 1, then on axis 2, up to the output's sizes.
bool lower_pad(Lowering& l, const NodeRecord& n) {
  Tensor x = l.in(n, 0);
  const Shape ys = l.dims(n.output(0));
  for (int64_t axis : {1, 2}) {
    Shape s = l.g.shape(x);
    if (s.size() != 4 || ys.size() != 4) throw std::invalid_argument("pad of a tensor that is not NCHW");
    const int64_t extra = ys[size_t(axis)] - s[size_t(axis)];
    if (extra <= 0) continue;
    s[size_t(axis)] = extra;
    x = l.g.concat({x, l.g.broadcast(l.scalar(0), s)}, axis);
  }
  l.set(n, 0, x);
  return true;
}

// DepthToSpace: [N, C, b, b, H, W] -> [N, C, H, b, W, b]; SpaceToDepth:
// [N, C, H, b, W, b] -> [N, b, b, C, H, W]; block size 2 when the word is 0.
bool lower_depth_space(Lowering& l, const NodeRecord& n) {
  const Tensor x = l.in(n, 0);
  const Shape s = l.g.shape(x);
  if (s.size() != 4) throw std::invalid_argument("needs an NCHW input");
  const int64_t b = n.attr(attr::DepthSpace::kBlockSize) == 0 ? 2 : n.attr_i64(attr::DepthSpace::kBlockSize);
  Tensor v;
  if (n.op() == op::DepthToSpace) {
    v = l.g.transpose(l.g.reshape(x, {s[0], s[1] / (b * b), b, b, s[2], s[3]}), {0, 1, 4, 2, 5, 3});
  } else {
    v = l.g.transpose(l.g.reshape(x, {s[0], s[1], s[2] / b, b, s[3] / b, b}), {0, 3, 5, 1, 2, 4});
  }
  l.set(n, 0, l.g.reshape(v, l.dims(n.output(0))));
  return true;
}

// Index tuples (input 1) naming slices of the data replaced by the updates
// (input 2); the element form (indices of the data's rank) is not lowered.
bool lower_scatter_nd(Lowering& l, const NodeRecord& n) {
  const Tensor data = l.in(n, 0);
  const Tensor idx = l.st.tensors[n.input(1)];
  const Shape ds = l.g.shape(data), is = l.g.shape(idx);
  if (is.size() == ds.size() || is.empty()) return l.refuse("unsupported op in MPS backend");
  // Updates of the element count the tuples address, in the shape the
  // graph wants.
  Shape us(is.begin(), is.end() - 1);
  if (is.back() < 1 || is.back() > int64_t(ds.size())) throw std::invalid_argument("index tuples longer than the rank");
  us.insert(us.end(), ds.begin() + is.back(), ds.end());
  l.set(n, 0, l.g.scatterND(data, l.reshape(l.in(n, 2), us), idx));
  return true;
}

}  // namespace vorn
