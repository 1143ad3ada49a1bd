// Lowering rules of the reduction family: the reductions over axes,
// ArgMax, CumSum, TopK and Softmax.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

bool lower_reduce(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  if (L.i64_data(in)) {
    const uint8_t* src = x.data;
    uint64_t count = x.size / 8;
    int64_t acc = op == op::ReduceProd ? 1 : 0;
    for (uint64_t i = 0; i < count; ++i) {
      int64_t v = raw_i64(src, i);
      if (op == op::ReduceSum || op == op::ReduceMean) acc = wrap_add(acc, v);
      else if (op == op::ReduceProd) acc = wrap_mul(acc, v);
      else if (i == 0 || (op == op::ReduceMax ? v > acc : v < acc)) acc = v;
    }
    if (op == op::ReduceMean && count != 0) acc = safe_div(acc, static_cast<int64_t>(count));
    int64_t* p = i64_result(L, n, 1);
    if (p != nullptr) p[0] = acc;
    return true;
  }
  // The axes: input 1 (opset 13 ReduceSum, 18 and later) or the attribute.
  int64_t axes[6];
  uint64_t axis_count = 0;
  bool from_input = n.input_count() >= 2 && L.valid(n.input(1));
  if (from_input) {
    if (!L.i64_data(n.input(1))) {
      if (L.options) return L.refuse_runtime("axes", n.input(1));
    } else {
      axis_count = L.v(n.input(1)).size / 8;
      if (axis_count > 6) return L.refuse("more than six axes");
      for (uint64_t k = 0; k < axis_count; ++k) axes[k] = raw_i64(L.v(n.input(1)).data, k);
    }
    L.v(n.input(1)).padded_size = kConsumedMark;
  } else if (n.attr(attr::Reduce::kAxesCount) >= 1) {
    // Import keeps the first two attribute axes in the node; the full list
    // comes from the NodeProto.
    const int64_t listed = node_int_list(L, "axes", axes, 6);
    if (listed > 6) return L.refuse("more than six axes");
    if (listed >= 1) {
      axis_count = static_cast<uint64_t>(listed);
    } else {
      axis_count = n.attr(attr::Reduce::kAxesCount) > 2 ? 2 : n.attr(attr::Reduce::kAxesCount);
      axes[0] = n.attr_i64(attr::Reduce::kAxis);
      if (axis_count >= 2) axes[1] = n.attr_i64(attr::Reduce::kSecondAxis);
      if (n.attr(attr::Reduce::kAxesCount) > 2) return L.refuse("more axes than the node records");
    }
  }
  int64_t keepdims = 1;
  if (!node_int_attribute(L, "keepdims", &keepdims)) keepdims = 1;
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  uint64_t norm[6];
  for (uint64_t k = 0; k < axis_count && k < 6; ++k)
    if (!normalise(axes[k], x.rank, &norm[k])) return L.refuse("an axis outside the input's rank");
  if (axis_count == 2 && norm[0] > norm[1]) std::swap(norm[0], norm[1]);
  if (axis_count == 2 && op == op::ReduceMean && x.rank == 4 && norm[0] == 2 && norm[1] == 3) {
    n.w[0] = op::GlobalAveragePool;
    uint64_t o[4] = {x.dims[0], x.dims[1], 1, 1};
    if (keepdims) set_shape(y, 4, o);
    else set_shape(y, 2, o);
    return true;
  }
  if (axis_count != 1 && (L.options || (axis_count >= 2 && op != op::ReduceMean))) {
    // Several axes (none given: all of them) as a chain of one-axis
    // reductions, the last axis first; a mean of equal-sized means is the
    // mean. Without keepdims the last one drops the reduced axes.
    bool reduce[kBuilderRank] = {};
    if (axis_count == 0) {
      int64_t noop = 0;
      if (node_int_attribute(L, "noop_with_empty_axes", &noop) && noop != 0) {
        copy_shape(y, x);
        make_identity(n, in);
        return true;
      }
      for (uint64_t d = 0; d < x.rank; ++d) reduce[d] = true;
    }
    for (uint64_t k = 0; k < axis_count; ++k) {
      if (reduce[norm[k]]) return L.refuse("an axis given twice");
      reduce[norm[k]] = true;
    }
    uint64_t steps[kBuilderRank], count = 0;
    for (uint64_t d = x.rank; d-- > 0;)
      if (reduce[d]) steps[count++] = d;
    if (count == 0) return L.refuse("no axis to reduce");
    uint64_t dims[kBuilderRank];
    std::memcpy(dims, x.dims, sizeof dims);
    const uint64_t rank = x.rank;
    uint64_t src = in;
    for (uint64_t k = 0; k < count; ++k) {
      dims[steps[k]] = 1;
      uint64_t dst = out;
      if (k + 1 < count) {
        char suffix[16];
        int len = std::snprintf(suffix, sizeof suffix, "#reduce%llu", static_cast<unsigned long long>(k));
        dst = builder_derive_value(L.s, out, suffix, static_cast<uint64_t>(len));
        if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
        set_shape(L.v(dst), rank, dims);
      } else {
        uint64_t o[kBuilderRank], r = 0;
        for (uint64_t d = 0; d < rank; ++d)
          if (!reduce[d] || keepdims) o[r++] = reduce[d] ? 1 : dims[d];
        if (r == 0) o[r++] = 1;
        set_shape(L.v(out), r, o);
        if (!keepdims && r == 1 && o[0] == 1) L.v(out).rank = 0;
      }
      BuilderNode* step = k == 0 ? &L.s.nodes[L.node] : insert_after_current(L);
      if (step == nullptr) return L.refuse("the node table is full");
      BuilderNode copy = L.s.nodes[L.node];
      if (k != 0) *step = copy;
      step->w[1] = 1;
      step->w[2] = src;
      for (int j = 3; j < 10; ++j) step->w[j] = kNoIndex;
      step->w[10] = 1;
      step->w[11] = dst;
      step->attr(attr::Reduce::kAxis) = steps[k];
      src = dst;
    }
    return true;
  }
  if (axis_count != 1) {
    if (axis_count >= 2 && op == op::ReduceMean) {
      n.w[0] = op::GlobalAveragePool;
      uint64_t o[4] = {x.dims[0], x.dims[1], 1, 1};
      set_shape(y, 4, o);
      return true;
    }
    if (axis_count == 0) norm[0] = x.rank > 0 ? x.rank - 1 : 0;
  }
  n.attr(attr::Reduce::kAxis) = norm[0];
  uint64_t o[kBuilderRank], r = 0;
  for (uint64_t d = 0; d < x.rank; ++d) {
    if (d == norm[0]) {
      if (keepdims || !L.options) o[r++] = 1;
    } else {
      o[r++] = x.dims[d];
    }
  }
  set_shape(y, r, o);
  return true;
}

bool lower_argmax(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::ArgMax::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  n.attr(attr::ArgMax::kAxis) = axis;
  int64_t keepdims = 1;
  if (!node_int_attribute(L, "keepdims", &keepdims)) keepdims = 1;
  uint64_t o[kBuilderRank], r = 0;
  for (uint64_t k = 0; k < x.rank; ++k) {
    if (k != axis) o[r++] = x.dims[k];
    else if (keepdims && L.options) o[r++] = 1;
  }
  set_shape(y, r, o);
  return true;
}

bool lower_cumsum(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  int64_t axis = n.attr_i64(attr::CumSum::kAxis);
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (!first_i64(L, n.input(1), &axis)) {
      if (L.options) return L.refuse("an axis computed at run time");
    }
    L.v(n.input(1)).padded_size = kConsumedMark;
    n.w[1] = 1;
    n.w[3] = kNoIndex;
  }
  if (L.i64_data(in)) {
    const uint8_t* src = x.data;
    uint64_t count = x.size / 8;
    bool excl = n.attr(attr::CumSum::kExclusive) != 0, rev = n.attr(attr::CumSum::kReverse) != 0;
    int64_t* p = i64_result(L, n, count);
    if (p != nullptr) {
      int64_t acc = 0;
      for (uint64_t k = 0; k < count; ++k) {
        uint64_t i = rev ? count - 1 - k : k;
        int64_t v = raw_i64(src, i);
        if (excl) p[i] = acc, acc = wrap_add(acc, v);
        else acc = wrap_add(acc, v), p[i] = acc;
      }
    }
    return true;
  }
  uint64_t ax;
  if (!normalise(axis, x.rank, &ax)) return L.refuse("axis outside the input's rank");
  n.attr(attr::CumSum::kAxis) = ax;
  copy_shape(y, x);
  return true;
}

bool lower_topk(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  int64_t k = n.attr_i64(attr::TopK::kK) == 0 ? 1 : n.attr_i64(attr::TopK::kK);
  int64_t given;
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (first_i64(L, n.input(1), &given) && given > 0) k = given;
    else if (L.options) return L.refuse("k computed at run time");
    L.v(n.input(1)).padded_size = kConsumedMark;
  }
  n.w[1] = 1;
  n.w[3] = kNoIndex;
  int64_t a = n.attr(attr::TopK::kAxisGiven) != 0 || n.attr_i64(attr::TopK::kAxis) != -1 ? n.attr_i64(attr::TopK::kAxis) : static_cast<int64_t>(x.rank) - 1;
  uint64_t axis;
  if (!normalise(a, x.rank, &axis)) return L.refuse("axis outside the input's rank");
  if (L.options && static_cast<uint64_t>(k) > x.dims[axis]) return L.refuse("k larger than the axis");
  n.attr(attr::TopK::kAxis) = axis;
  n.attr(attr::TopK::kK) = static_cast<uint64_t>(k);
  for (uint64_t j = 0; j < n.output_count() && j < 2; ++j) {
    if (!L.valid(n.output(j))) continue;
    BuilderValue& o = L.v(n.output(j));
    copy_shape(o, x);
    o.dims[axis] = static_cast<uint64_t>(k);
  }
  return true;
}

bool lower_softmax(Lower& L, BuilderNode& n) {
  bool done;
  if (!elementwise_prologue(L, n, &done)) return false;
  if (done) return true;
  const uint64_t out = n.output(0);
  const BuilderValue& x = L.v(n.input(0));
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::Softmax::kAxis), x.rank, &axis)) {
    if (L.options) return L.refuse("axis outside the input's rank");
    return true;
  }
  n.attr(attr::Softmax::kAxis) = axis;
  uint64_t inner = 1;
  for (uint64_t d = axis + 1; d < x.rank; ++d) inner *= x.dims[d];
  if (n.attr(attr::Softmax::kFlattened) == 1 && inner != 1 && axis + 1 < x.rank) {
    // Before opset 13 Softmax normalises the flattened block from the
    // axis on: run it on a [outer, block] view and reshape back.
    uint64_t outer = 1;
    for (uint64_t d = 0; d < axis; ++d) outer *= x.dims[d];
    uint64_t flat = builder_derive_value(L.s, out, "#softmax2d", 10);
    if (flat == kNoValue || flat == out) return L.stop(kLowerNoCode);
    uint64_t dims[2] = {outer, inner * x.dims[axis]};
    set_shape(L.v(flat), 2, dims);
    BuilderNode* r = insert_after_current(L);
    if (r == nullptr) return L.refuse("the node table is full");
    BuilderNode& sm = L.s.nodes[L.node];
    sm.w[11] = flat;
    sm.attr(attr::Softmax::kAxis) = 1;
    sm.attr(attr::Softmax::kFlattened) = 0;
    r->w[0] = op::Flatten;
    r->w[1] = 1;
    r->w[2] = flat;
    r->w[10] = 1;
    r->w[11] = out;
  }
  n.attr(attr::Softmax::kFlattened) = 0;
  return true;
}

}  // namespace vorn
