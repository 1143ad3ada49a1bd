// Lowering rules of the layout family that select by index: Gather,
// Slice, GatherND and ScatterND.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container/attr_words.h"
#include "converter/legacy_rewrites.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

namespace {

// ScatterND's reduction (opset 16 and later): the operator of the binary
// node that combines the data with the updates, 0 for "none". False, the
// pass stopped, for a reduction the engines do not compute.
bool scatter_reduction(Lower& L, uint64_t* op) {
  const uint8_t* text = nullptr;
  uint64_t len = 0;
  *op = 0;
  if (!node_attribute(L, "reduction", nullptr, &text, &len) || text_equal(text, len, "none")) return true;
  if (text_equal(text, len, "add")) *op = op::Add;
  else if (text_equal(text, len, "mul")) *op = op::Mul;
  else if (text_equal(text, len, "max")) *op = op::Max;
  else if (text_equal(text, len, "min")) *op = op::Min;
  else return L.refuse("reduction '%.*s' is not supported", static_cast<int>(len < 40 ? len : 40), text);
  return true;
}

// ScatterND with a reduction as the engines compute it exactly: the
// addressed slices gathered (GatherND), combined with the updates, and
// scattered back. Each slice is combined once, so the indices must not
// repeat a tuple (ONNX would combine a repeated slice several times).
bool scatter_reduced(Lower& L, BuilderNode& n, uint64_t reduce_op, uint64_t idx, uint64_t q) {
  const uint64_t x = n.input(0), upd = n.input(2), out = n.output(0);
  const BuilderValue& iv = L.v(idx);
  const uint64_t tuples = iv.size / 8 / q;
  std::vector<std::vector<int64_t>> seen;
  seen.reserve(tuples);
  for (uint64_t t = 0; t < tuples; ++t) {
    std::vector<int64_t> tuple(q);
    for (uint64_t k = 0; k < q; ++k) {
      int64_t j = raw_i64(iv.data, t * q + k);
      const int64_t d = static_cast<int64_t>(L.v(x).dims[k]);
      if (j < 0) j += d;
      if (j < 0 || j >= d) return L.refuse("an index outside the data");
      tuple[k] = j;
    }
    seen.push_back(std::move(tuple));
  }
  std::sort(seen.begin(), seen.end());
  if (std::adjacent_find(seen.begin(), seen.end()) != seen.end())
    return L.refuse("a reduction over indices that repeat is not supported");
  const uint64_t gathered = builder_derive_value(L.s, out, "#gathered", 9);
  const uint64_t combined = builder_derive_value(L.s, out, "#combined", 9);
  if (gathered == kNoValue || combined == kNoValue || gathered == out || combined == out) return L.stop(kLowerNoCode);
  copy_shape(L.v(gathered), L.v(upd));
  copy_shape(L.v(combined), L.v(upd));
  copy_shape(L.v(out), L.v(x));
  BuilderNode* mix = insert_after_current(L);
  BuilderNode* scatter = mix == nullptr ? nullptr : insert_after_current(L);
  if (scatter == nullptr) return L.refuse("the node table is full");
  mix = &L.s.nodes[L.node + 1];
  BuilderNode& gather = L.s.nodes[L.node];
  *scatter = gather;
  scatter->w[4] = combined;
  gather.w[0] = op::GatherND;
  gather.w[1] = 2;
  gather.w[4] = kNoIndex;
  gather.w[11] = gathered;
  gather.attr(attr::GatherND::kBatchDims) = 0;
  mix->w[0] = reduce_op;
  mix->w[1] = 2;
  mix->w[2] = gathered;
  mix->w[3] = upd;
  mix->w[10] = 1;
  mix->w[11] = combined;
  return true;
}

// One runtime Slice: axis, start, length and step in the node's words.
void slice_form(BuilderNode& n, uint64_t in, uint64_t out, uint64_t axis, uint64_t start, uint64_t len, uint64_t step) {
  n.w[0] = op::Slice;
  n.w[1] = 1;
  n.w[2] = in;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  n.w[10] = 1;
  n.w[11] = out;
  n.attr(attr::Slice::kAxis) = axis;
  n.attr(attr::Slice::kStart) = start;
  n.attr(attr::Slice::kLength) = len;
  n.attr(attr::Slice::kStep) = step;
}

// Clamped start and element count of a slice of an axis of size d.
void slice_extent(int64_t start, int64_t end, int64_t step, int64_t d, int64_t* s0, int64_t* len) {
  int64_t a = start < 0 ? start + d : start;
  a = a < 0 ? 0 : a > d ? d : a;
  int64_t e = end < 0 ? end + d : end;
  e = e < 0 ? 0 : e > d ? d : e;
  *s0 = a;
  *len = a >= e ? 0 : (e - a + step - 1) / step;
}

// Options mode: starts, ends, axes and steps as constant lists; several
// axes become a chain of one-axis Slices.
bool lower_slice_lists(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  const BuilderValue x = L.v(in);
  int64_t lists[4][6];
  uint64_t counts[4] = {0, 0, 0, 0};
  if (n.input_count() < 3) {
    // Opset 10 and earlier keep one axis in attributes.
    lists[0][0] = n.attr(attr::Import::kStartsGiven) == 1 ? n.attr_i64(attr::Import::kStarts) : 0;
    lists[1][0] = n.attr(attr::Import::kEndsGiven) == 1 ? n.attr_i64(attr::Import::kEnds) : INT64_MAX;
    lists[2][0] = n.attr(attr::Import::kAxesCount) != 0 ? n.attr_i64(attr::kAxis) : 0;
    counts[0] = counts[1] = counts[2] = 1;
    if (n.attr(attr::Import::kAxesCount) > 1) return L.refuse("slicing several axes given as attributes is not supported");
  }
  for (uint64_t k = 1; k <= 4 && k < n.input_count(); ++k) {
    uint64_t v = n.input(k);
    if (!L.valid(v)) continue;
    const BuilderValue& c = L.v(v);
    if (c.data == nullptr) return L.refuse_runtime("starts, ends, axes or steps", v);
    if (c.elem != kElemI64) return L.refuse("starts, ends, axes or steps that are not int64");
    counts[k - 1] = c.size / 8;
    if (counts[k - 1] > 6) return L.refuse("more than six axes");
    for (uint64_t j = 0; j < counts[k - 1]; ++j) lists[k - 1][j] = raw_i64(c.data, j);
    L.v(v).padded_size = kConsumedMark;
  }
  const uint64_t m = counts[0];
  if (m == 0 || counts[1] != m || (counts[2] != 0 && counts[2] != m) || (counts[3] != 0 && counts[3] != m))
    return L.refuse("starts, ends, axes and steps differ in length");
  struct Part { uint64_t axis; int64_t start, len, step; };
  Part parts[6];
  uint64_t np = 0;
  uint64_t dims[kBuilderRank];
  std::memcpy(dims, x.dims, sizeof dims);
  bool seen[kBuilderRank] = {};
  for (uint64_t j = 0; j < m; ++j) {
    uint64_t axis;
    if (!normalise(counts[2] ? lists[2][j] : static_cast<int64_t>(j), x.rank, &axis))
      return L.refuse("an axis outside the input's rank");
    if (seen[axis]) return L.refuse("an axis given twice");
    seen[axis] = true;
    int64_t step = counts[3] ? lists[3][j] : 1;
    if (step < 1) return L.refuse(step == 0 ? "a zero step" : "a negative step is not supported");
    int64_t s0, len;
    slice_extent(lists[0][j], lists[1][j], step, static_cast<int64_t>(x.dims[axis]), &s0, &len);
    if (len == 0) return L.refuse("an empty slice");
    if (s0 == 0 && len == static_cast<int64_t>(x.dims[axis]) && step == 1) continue;  // the whole axis
    parts[np++] = Part{axis, s0, len, step};
  }
  if (np == 0) {
    copy_shape(L.v(out), x);
    make_identity(n, in);
    return true;
  }
  uint64_t src = in;
  for (uint64_t j = 0; j < np; ++j) {
    dims[parts[j].axis] = static_cast<uint64_t>(parts[j].len);
    uint64_t dst = out;
    if (j + 1 < np) {
      char suffix[16];
      int len = std::snprintf(suffix, sizeof suffix, "#slice%llu", static_cast<unsigned long long>(j));
      dst = builder_derive_value(L.s, out, suffix, static_cast<uint64_t>(len));
      if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
    }
    set_shape(L.v(dst), x.rank, dims);
    BuilderNode* node = j == 0 ? &L.s.nodes[L.node] : insert_after_current(L);
    if (node == nullptr) return L.refuse("the node table is full");
    slice_form(*node, src, dst, parts[j].axis, static_cast<uint64_t>(parts[j].start),
               static_cast<uint64_t>(parts[j].len), static_cast<uint64_t>(parts[j].step));
    src = dst;
  }
  return true;
}

}  // namespace

bool lower_gather(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), idx = n.input_count() >= 2 ? n.input(1) : kNoIndex, out = n.output(0);
  if (!L.valid(idx)) return L.refuse("the indices are missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  const BuilderValue& iv = L.v(idx);
  if (L.i64_data(in) && L.i64_data(idx)) {
    const uint8_t* src = x.data;
    uint64_t n_src = x.size / 8;
    const uint8_t* ip = iv.data;
    uint64_t count = iv.size / 8;
    if (L.options && x.rank > 1) return L.refuse("gathering from a multi-dimensional int64 constant");
    int64_t* p = i64_result(L, n, count);
    if (p != nullptr)
      for (uint64_t k = 0; k < count; ++k) {
        int64_t j = raw_i64(ip, k);
        if (j < 0) j += static_cast<int64_t>(n_src);
        if (j < 0 || j >= static_cast<int64_t>(n_src)) {
          return L.stop(kLowerFoldFailed);
        } else {
          p[k] = raw_i64(src, static_cast<uint64_t>(j));
        }
      }
    return true;
  }
  if (x.elem == kElemI64 && L.options) return L.refuse("gathering int64 values at run time");
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::Slice::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  n.attr(attr::Slice::kAxis) = axis;
  const bool scalar_index = L.i64_data(idx) && iv.size == 8;
  if (scalar_index) {
    int64_t j = raw_i64(iv.data, 0);
    if (j < 0) j += static_cast<int64_t>(x.dims[axis]);
    if (j < 0 || j >= static_cast<int64_t>(x.dims[axis])) return L.refuse("a constant index outside the axis");
    uint64_t o[kBuilderRank], r = 0;
    bool keep_axis = iv.rank != 0 && elem_count(iv) == 1;
    for (uint64_t k = 0; k < x.rank; ++k) {
      if (k == axis) {
        if (keep_axis) o[r++] = 1;
      } else {
        o[r++] = x.dims[k];
      }
    }
    if (r == 0 && !L.options) o[r++] = 1;
    set_shape(y, r, o);
    L.v(idx).padded_size = kConsumedMark;
    n.w[0] = op::Slice;
    n.w[1] = 1;
    n.w[3] = kNoIndex;
    n.attr(attr::Slice::kStart) = static_cast<uint64_t>(j);
    n.attr(attr::Slice::kLength) = 1;
    n.attr(attr::Slice::kStep) = 1;
    return true;
  }
  if (lower_relative_position_table(L, n)) return true;
  uint64_t indices = idx;
  if (iv.elem == kElemI64) {
    if (iv.data == nullptr) {
      if (iv.kind != kValueGraphInput && L.options) return L.refuse("int64 indices computed at run time");
    } else {
      // Constant indices as float indices the runtime Gather reads.
      uint64_t count = iv.size / 8;
      for (uint64_t k = 0; k < count; ++k) {
        int64_t j = raw_i64(iv.data, k);
        if (j < -static_cast<int64_t>(x.dims[axis]) || j >= static_cast<int64_t>(x.dims[axis]))
          return L.refuse("a constant index outside the axis");
      }
      if (x.dims[axis] > (uint64_t{1} << 24)) return L.stop(kLowerGatherIndices);
      indices = i64_as_f32_weight(L, idx);
      if (indices == kNoValue) return L.stop(kLowerNoCode);
      n.w[3] = indices;
    }
  }
  const BuilderValue& ix = L.v(indices);
  uint64_t o[kBuilderRank], r = 0;
  if (x.rank + ix.rank - 1 > kBuilderRank) return L.refuse("an output rank above 6");
  for (uint64_t k = 0; k < axis; ++k) o[r++] = x.dims[k];
  for (uint64_t k = 0; k < ix.rank; ++k) o[r++] = ix.dims[k];
  for (uint64_t k = axis + 1; k < x.rank; ++k) o[r++] = x.dims[k];
  set_shape(y, r, o);
  return true;
}

bool lower_slice(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  if (L.options && !L.i64_data(in)) {
    if (x.elem == kElemI64 && x.kind != kValueGraphInput) return L.refuse("slicing int64 values computed at run time");
    return lower_slice_lists(L, n);
  }
  if (!L.i64_data(in)) {
    // Constant lists of several axes slice every axis they name, in legacy
    // mode as well: a slice of the first alone would not fit its output.
    for (uint64_t k = 1; k <= 4 && k < n.input_count(); ++k)
      if (L.i64_data(n.input(k), 16)) return lower_slice_lists(L, n);
  }
  int64_t start = n.attr(attr::Import::kStartsGiven) == 1 ? n.attr_i64(attr::Import::kStarts) : 0;
  int64_t end = n.attr(attr::Import::kEndsGiven) == 1 ? n.attr_i64(attr::Import::kEnds) : 0;
  int64_t axis = n.attr(attr::Import::kAxesCount) != 0 ? n.attr_i64(attr::kAxis) : 0;
  int64_t step = 1;
  bool end_given = n.attr(attr::Import::kEndsGiven) == 1;
  for (uint64_t k = 1; k <= 4 && k < n.input_count(); ++k) {
    uint64_t v = n.input(k);
    if (!L.valid(v)) continue;
    const BuilderValue& c = L.v(v);
    if (c.data == nullptr || c.elem != kElemI64 || c.size < 8) {
      if (L.options) return L.refuse_runtime("starts, ends, axes or steps", v);
      continue;
    }
    if (L.options && c.size != 8) return L.refuse("slicing several axes of an int64 constant");
    int64_t e = raw_i64(c.data, 0);
    if (k == 1) start = e;
    if (k == 2) end = e, end_given = true;
    if (k == 3) axis = e;
    if (k == 4) step = e;
    L.v(v).padded_size = kConsumedMark;
  }
  if (L.options && step < 1) return L.refuse(step == 0 ? "a zero step" : "a negative step is not supported");
  if (step < 1) step = 1;
  if (L.i64_data(in)) {
    const uint8_t* src = x.data;
    int64_t cnt = static_cast<int64_t>(x.size / 8);
    if (L.options && x.rank > 1 && x.dims[0] != static_cast<uint64_t>(cnt))
      return L.refuse("slicing a multi-dimensional int64 constant");
    if (!end_given) end = cnt;
    if (start < 0) start += cnt;
    if (end < 0) end += cnt;
    start = start < 0 ? 0 : start > cnt ? cnt : start;
    end = end < 0 ? 0 : end > cnt ? cnt : end;
    uint64_t count = end <= start ? 0 : static_cast<uint64_t>((end - start + step - 1) / step);
    int64_t* p = i64_result(L, n, count);
    if (p != nullptr)
      for (uint64_t k = 0; k < count; ++k) p[k] = raw_i64(src, static_cast<uint64_t>(start + k * step));
    return true;
  }
  uint64_t ax;
  if (!normalise(axis, x.rank, &ax)) return L.refuse("axis outside the input's rank");
  int64_t dd = static_cast<int64_t>(x.dims[ax]);
  if (!end_given) end = dd;
  int64_t s0, len;
  slice_extent(start, end, step, dd, &s0, &len);
  copy_shape(y, x);
  y.dims[ax] = static_cast<uint64_t>(len);
  slice_form(n, in, out, ax, static_cast<uint64_t>(s0), static_cast<uint64_t>(len), static_cast<uint64_t>(step));
  return true;
}

bool lower_gather_nd(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("the indices are missing");
  uint64_t idx = n.input(1);
  if (L.i64_data(idx)) {
    uint64_t f = i64_as_f32_weight(L, idx);
    if (f == kNoValue) return L.stop(kLowerNoCode);
    n.w[3] = idx = f;
  }
  const BuilderValue& iv = L.v(idx);
  if (iv.rank == 0) return L.refuse("scalar indices");
  uint64_t q = iv.rank, m = iv.dims[q - 1], b = n.attr(attr::GatherND::kBatchDims);
  if (L.options && (b != 0 || m > x.rank || m == 0)) return L.refuse("indices that do not address the data");
  uint64_t o[kBuilderRank], r = 0;
  for (uint64_t k = 0; k + 1 < q; ++k) o[r++] = iv.dims[k];
  for (uint64_t k = b + m; k < x.rank; ++k) o[r++] = x.dims[k];
  if (r == 0) o[r++] = 1;
  if (r > kBuilderRank) return L.refuse("an output rank above 6");
  set_shape(y, r, o);
  return true;
}

bool lower_scatter_nd(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  uint64_t axis = 0;
  if (x.rank > 0 && normalise(n.attr_i64(attr::ScatterND::kAxis), x.rank, &axis)) n.attr(attr::ScatterND::kAxis) = axis;
  if (n.attr(attr::Import::kVariant) == 1) {
    // ScatterElements: indices and updates of one shape, of the data's
    // rank, no reduction; constant indices become float indices.
    n.attr(attr::Import::kVariant) = 0;
    const uint8_t* reduction = nullptr;
    uint64_t reduction_len = 0;
    node_attribute(L, "reduction", nullptr, &reduction, &reduction_len);
    if (reduction != nullptr && !text_equal(reduction, reduction_len, "none"))
      return L.refuse("ScatterElements with a reduction is not supported");
    if (n.input_count() < 3 || !L.valid(n.input(1)) || !L.valid(n.input(2))) return L.refuse("fewer than three inputs");
    if (x.rank == 0 || !normalise(n.attr_i64(attr::ScatterND::kAxis), x.rank, &axis)) return L.refuse("axis outside the data's rank");
    const BuilderValue& iv = L.v(n.input(1));
    const BuilderValue& uv = L.v(n.input(2));
    if (iv.rank != x.rank || uv.rank != x.rank) return L.refuse("indices and updates of another rank than the data");
    for (uint64_t k = 0; k < x.rank; ++k)
      if (iv.dims[k] != uv.dims[k] || (k != axis && iv.dims[k] > x.dims[k]))
        return L.refuse("indices and updates that do not fit the data");
    if (L.i64_data(n.input(1))) {
      uint64_t f = i64_as_f32_weight(L, n.input(1));
      if (f == kNoValue) return L.stop(kLowerNoCode);
      n.w[3] = f;
    } else if (iv.elem == kElemI64 && iv.kind != kValueGraphInput) {
      return L.refuse("indices computed at run time");
    }
    copy_shape(y, x);
    return true;
  }
  uint64_t reduce_op = 0;
  if (!scatter_reduction(L, &reduce_op)) return false;
  if (n.input_count() >= 3 && L.i64_data(n.input(1)) && L.valid(n.input(2))) {
    const uint64_t idx = n.input(1);
    const BuilderValue& iv = L.v(idx);
    uint64_t cnt = iv.size / 8;
    uint64_t q = iv.rank == 0 ? cnt : iv.dims[iv.rank - 1];
    uint64_t tail = 1;
    for (uint64_t k = q; k < x.rank; ++k) tail *= x.dims[k];
    if (q == 0 || q - 1 >= x.rank || cnt % q != 0 || (cnt / q) * tail != elem_count(L.v(n.input(2))))
      return L.stop(kLowerScatterIndices);
    uint64_t f = i64_as_f32_weight(L, idx);
    if (f == kNoValue) return L.stop(kLowerNoCode);
    n.w[3] = f;
    // Indices and updates both of the data's rank select the engines'
    // element form: a leading axis of 1 on the float indices keeps the
    // tuple form (same tuples, same count).
    BuilderValue& fi = L.v(f);
    if (L.v(n.input(2)).rank == x.rank && fi.rank == x.rank) {
      if (fi.rank >= kBuilderRank) return L.refuse("indices of rank 6 with updates of the data's rank");
      for (uint64_t k = fi.rank; k > 0; --k) fi.dims[k] = fi.dims[k - 1];
      fi.dims[0] = 1;
      ++fi.rank;
    }
    if (reduce_op != 0) return scatter_reduced(L, n, reduce_op, idx, q);
  } else if (L.options || reduce_op != 0) {
    return L.refuse(reduce_op != 0 ? "a reduction over indices computed at run time is not supported"
                                    : "indices computed at run time");
  }
  copy_shape(y, x);
  return true;
}

}  // namespace vorn
