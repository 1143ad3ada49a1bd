// Shape rules of the operators that move or reinterpret data: reshaping,
// transposition, concatenation and splitting, and matrix products.
#include <cstdlib>
#include <vector>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"

namespace vorn {

namespace {

// A copy of an I64 constant input as this node's convert-time result.
bool copy_i64(Lower& L, BuilderNode& n) {
  const BuilderValue& x = L.v(n.input(0));
  const uint8_t* src = x.data;
  uint64_t count = x.size / 8;
  int64_t* p = i64_result(L, n, count);
  if (p != nullptr && count != 0) std::memcpy(p, src, count * 8);
  return true;
}

// A reshape of a weight stays a weight (a copy of the data, new shape).
bool reshape_weight(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  if (x.kind != kValueWeight || x.data == nullptr || y.kind == kValueGraphOutput) return false;
  uint64_t rank = y.rank, dims[kBuilderRank];
  std::memcpy(dims, y.dims, sizeof dims);
  uint64_t size = x.size;
  auto* p = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (p == nullptr) return false;
  std::memcpy(p, x.data, size);
  builder_drop_data(y);
  y.data = p;
  y.size = size;
  y.owned = 1;
  y.elem = x.elem;
  y.kind = kValueWeight;
  set_shape(y, rank, dims);
  make_self_identity(n);
  return true;
}

bool finish_reshape(Lower& L, BuilderNode& n) {
  const BuilderValue& x = L.v(n.input(0));
  const BuilderValue& y = L.v(n.output(0));
  if (L.options && elem_count(x) != elem_count(y)) return L.refuse("the new shape holds a different element count");
  if (!reshape_weight(L, n)) make_reshape(n);
  return true;
}

// The sizes of a Split's parts along an axis of d: given as input 1 or as
// the split attribute, else equal parts (from opset 18 the last part takes
// what remains when they cannot be equal). False, the pass stopped, when
// they do not cut the axis into non-empty parts, one per output.
bool split_sizes(Lower& L, BuilderNode& n, int64_t d, std::vector<int64_t>* sizes) {
  const uint64_t total = sizes->size();
  int64_t given = 0;
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (!L.i64_data(n.input(1))) return L.refuse("split sizes computed at run time");
    const BuilderValue& c = L.v(n.input(1));
    given = static_cast<int64_t>(c.size / 8);
    for (uint64_t k = 0; k < total && k < c.size / 8; ++k) (*sizes)[k] = raw_i64(c.data, k);
    L.v(n.input(1)).padded_size = kConsumedMark;
  } else {
    given = node_int_list(L, "split", sizes->data(), total);
  }
  if (given > 0 && static_cast<uint64_t>(given) != total) return L.refuse("split sizes and outputs differ in number");
  if (given <= 0) {
    const int64_t parts = static_cast<int64_t>(total);
    if (d % parts != 0 && L.s.default_opset < 18) return L.refuse("an axis that does not divide into equal parts");
    const int64_t chunk = (d + parts - 1) / parts;
    for (int64_t k = 0; k < parts; ++k) (*sizes)[k] = k + 1 < parts ? chunk : d - chunk * (parts - 1);
  }
  int64_t sum = 0;
  for (int64_t z : *sizes) {
    if (z < 1) return L.refuse("a split size below 1");
    sum += z;
  }
  if (sum != d) return L.refuse("split sizes do not add up to the axis");
  return true;
}

// A Split of more than four outputs, imported as one node per four of them:
// each output of this node becomes a Slice of the input along the axis, or
// its constant part when the input is a constant.
bool lower_wide_split(Lower& L, BuilderNode& n, const uint64_t* all, uint64_t total) {
  const uint64_t in = n.input(0);
  const BuilderValue x = L.v(in);
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::Split::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  std::vector<int64_t> sizes(total, 0);
  if (!split_sizes(L, n, static_cast<int64_t>(x.dims[axis]), &sizes)) return false;
  uint64_t first = 0;
  while (first < total && all[first] != n.output(0)) ++first;
  if (first + n.output_count() > total) return L.refuse("outputs that differ from the node's");
  uint64_t outer = 1, inner = 1;
  for (uint64_t k = 0; k < axis; ++k) outer *= x.dims[k];
  for (uint64_t k = axis + 1; k < x.rank; ++k) inner *= x.dims[k];
  const bool constant = x.elem == kElemF32 && x.data != nullptr && x.size == 4 * elem_count(x);
  const BuilderNode split = n;
  bool node_used = false;
  for (uint64_t k = 0; k < split.output_count(); ++k) {
    uint64_t start = 0;
    for (uint64_t j = 0; j < first + k; ++j) start += static_cast<uint64_t>(sizes[j]);
    const uint64_t len = static_cast<uint64_t>(sizes[first + k]), out = split.output(k);
    uint64_t dims[kBuilderRank];
    std::memcpy(dims, x.dims, sizeof dims);
    dims[axis] = len;
    if (constant && L.v(out).kind != kValueGraphOutput) {
      // The part of a constant input is a constant: copied now, no node.
      const uint8_t* src = L.v(in).data;
      float* p = f32_weight(L, out, x.rank, dims);
      if (p == nullptr) return L.stop(kLowerNoCode);
      for (uint64_t o = 0; o < outer; ++o)
        std::memcpy(p + o * len * inner, src + 4 * (o * x.dims[axis] + start) * inner, 4 * len * inner);
      continue;
    }
    set_shape(L.v(out), x.rank, dims);
    BuilderNode* s = node_used ? insert_after_current(L) : &L.s.nodes[L.node];
    if (s == nullptr) return L.refuse("the node table is full");
    node_used = true;
    s->w[0] = op::Slice;
    s->w[1] = 1;
    s->w[2] = in;
    for (int j = 3; j < 10; ++j) s->w[j] = kNoIndex;
    s->w[10] = 1;
    s->w[11] = out;
    for (int j = 12; j < 15; ++j) s->w[j] = kNoIndex;
    s->attr(attr::Slice::kAxis) = axis;
    s->attr(attr::Slice::kStart) = start;
    s->attr(attr::Slice::kLength) = len;
    s->attr(attr::Slice::kStep) = 1;
  }
  if (!node_used) make_self_identity(L.s.nodes[L.node]);
  return true;
}

}  // namespace

bool lower_shape_ops(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  const uint64_t* d = x.dims;
  switch (op) {
    case op::Flatten: {
      if (n.attr(15) == 888) {
        uint64_t o[3] = {d[0], d[1], d[2] * d[3]};
        set_shape(y, 3, o);
        n.attr(15) = 0;
        return true;
      }
      int64_t axis = n.attr_i64(11);
      if (axis < 0) axis += static_cast<int64_t>(x.rank);
      if (axis < 0 || axis > static_cast<int64_t>(x.rank)) return L.refuse("axis outside the input's rank");
      uint64_t a = 1, b = 1;
      for (uint64_t k = 0; k < x.rank; ++k) (static_cast<int64_t>(k) < axis ? a : b) *= d[k];
      uint64_t o[2] = {a, b};
      set_shape(y, 2, o);
      return finish_reshape(L, n);
    }
    case op::Gemm: {
      if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("input B is missing");
      const BuilderValue& b = L.v(n.input(1));
      if (x.rank != 2 || b.rank != 2) return L.refuse("Gemm needs two matrices");
      uint64_t M = x.dims[n.attr(12) ? 1 : 0], K = x.dims[n.attr(12) ? 0 : 1];
      uint64_t N = b.dims[n.attr(13) ? 0 : 1], KB = b.dims[n.attr(13) ? 1 : 0];
      if (L.options && K != KB) return L.refuse("inner dimensions differ");
      uint64_t o[2] = {M, N};
      set_shape(y, 2, o);
      if (n.input_count() >= 3 && L.valid(n.input(2))) {
        const uint64_t z = n.input(2);
        uint64_t c = elem_count(L.v(z));
        if (L.v(z).data != nullptr && L.v(z).size / 4 != c) c = L.v(z).size / 4;
        if (c == 1 && N != 1) {
          // The engines add the addend as one row of N values.
          if (!L.f32_data(z)) return L.refuse("a run-time scalar addend");
          float v = raw_f32(L.v(z).data, 0);
          uint64_t row = builder_derive_value(L.s, z, "#row", 4);
          uint64_t dims[1] = {N};
          float* p = row == kNoValue || row == z ? nullptr : f32_weight(L, row, 1, dims);
          if (p == nullptr) return L.stop(kLowerNoCode);
          for (uint64_t k = 0; k < N; ++k) p[k] = v;
          n.w[4] = row;
        } else if (c != N || (L.v(z).rank == 2 && L.v(z).dims[0] != 1) || L.v(z).rank > 2) {
          // The engines add one row of N values to every row.
          if (L.options) return L.refuse("an addend that is not one row of N values");
        }
      }
      return true;
    }
    case op::Transpose: {
      if (x.elem == kElemI64) {
        if (x.data != nullptr) return copy_i64(L, n);
        if (L.options && x.kind != kValueGraphInput) return L.refuse("its int64 input is computed at run time");
      }
      if (x.rank < 2) {
        copy_shape(y, x);
        make_identity(n, in);
        return true;
      }
      if (n.attr(0) == 0) {
        n.attr(0) = x.rank;
        for (uint64_t k = 0; k < x.rank; ++k) n.attr(4 + k) = x.rank - 1 - k;
      }
      if (n.attr(0) != x.rank) return L.refuse("the permutation length differs from the rank");
      uint64_t o[kBuilderRank], seen = 0;
      for (uint64_t k = 0; k < x.rank; ++k) {
        uint64_t p = n.attr(4 + k);
        if (p >= x.rank || (seen >> p & 1)) return L.refuse("the permutation is not one of the axes");
        seen |= uint64_t{1} << p;
        o[k] = d[p];
      }
      set_shape(y, x.rank, o);
      return true;
    }
    case op::MatMul: {
      if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("input B is missing");
      const BuilderValue& b = L.v(n.input(1));
      if (n.attr(15) == 777) n.attr(15) = f32_bits(1.0f);
      if (L.options) {
        if (x.rank < 2 || b.rank < 2) return L.refuse("one-dimensional operands are not supported");
        if (x.dims[x.rank - 1] != b.dims[b.rank - 2]) return L.refuse("inner dimensions differ");
        // The engines repeat B's matrices over A's batch: B must have one
        // matrix, or exactly A's batch.
        if (b.rank > 2) {
          if (b.rank > x.rank) return L.refuse("B has more batch axes than A");
          for (uint64_t k = 0; k + 2 < b.rank; ++k)
            if (b.dims[k] != x.dims[x.rank - b.rank + k]) {
              bool ones = true;
              for (uint64_t j = 0; j + 2 < b.rank; ++j) ones &= b.dims[j] == 1;
              if (!ones) return L.refuse("batch axes broadcast in a way the engines do not repeat");
              break;
            }
        }
      }
      if (x.rank < 1 || b.rank < 1) return L.refuse("a scalar operand");
      uint64_t o[kBuilderRank];
      for (uint64_t k = 0; k < x.rank; ++k) o[k] = d[k];
      o[x.rank - 1] = b.dims[b.rank - 1];
      set_shape(y, x.rank, o);
      return true;
    }
    case op::Concat: {
      bool any_i64 = false;
      for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
        if (L.valid(n.input(k)) && L.v(n.input(k)).elem == kElemI64) any_i64 = true;
      if (any_i64) {
        uint64_t total = 0;
        bool all_data = true;
        for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
          if (!L.valid(n.input(k))) continue;
          const BuilderValue& v = L.v(n.input(k));
          if (v.data == nullptr && elem_count(v) != 0) all_data = false;
          total += v.data != nullptr ? v.size / 8 : 0;
        }
        if (L.options && !all_data) return L.refuse("int64 parts computed at run time");
        uint8_t* parts[8] = {};
        uint64_t sizes[8] = {};
        for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
          if (L.valid(n.input(k)) && L.v(n.input(k)).data != nullptr) {
            const BuilderValue& v = L.v(n.input(k));
            parts[k] = static_cast<uint8_t*>(std::malloc(v.size));
            if (parts[k] != nullptr) std::memcpy(parts[k], v.data, v.size), sizes[k] = v.size;
          }
        uint64_t count = n.input_count() < 8 ? n.input_count() : 8;
        int64_t* p = i64_result(L, n, total);
        uint64_t at = 0;
        for (uint64_t k = 0; k < count; ++k) {
          if (p != nullptr && parts[k] != nullptr && L.v(out).elem == kElemI64) {
            // F32 parts of a mixed list are whole numbers of a shape.
            std::memcpy(reinterpret_cast<uint8_t*>(p) + at, parts[k], sizes[k] / 8 * 8);
            at += sizes[k] / 8 * 8;
          }
          std::free(parts[k]);
        }
        return true;
      }
      uint64_t axis;
      if (!normalise(n.attr_i64(11), x.rank, &axis)) return L.refuse("axis outside the input's rank");
      n.attr(11) = axis;
      uint64_t o[kBuilderRank];
      std::memcpy(o, d, sizeof o);
      o[axis] = 0;
      for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
        if (!L.valid(n.input(k))) continue;
        const BuilderValue& v = L.v(n.input(k));
        if (L.options) {
          if (v.rank != x.rank) return L.refuse("inputs of different ranks");
          for (uint64_t a = 0; a < x.rank; ++a)
            if (a != axis && v.dims[a] != d[a]) return L.refuse("inputs differ off the axis");
        }
        o[axis] += v.dims[axis];
      }
      set_shape(y, x.rank, o);
      // Constant parts (scales and sizes built by exporters): the result is
      // a weight.
      bool constant = true;
      for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
        if (L.valid(n.input(k)) && (!L.f32_data(n.input(k)) || L.v(n.input(k)).size / 4 != elem_count(L.v(n.input(k)))))
          constant = false;
      if (constant && y.kind == kValueActivation) {
        uint64_t outer = 1, inner = 1;
        for (uint64_t a = 0; a < axis; ++a) outer *= o[a];
        for (uint64_t a = axis + 1; a < x.rank; ++a) inner *= o[a];
        std::vector<std::vector<float>> parts;
        std::vector<uint64_t> part_dims;
        for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
          if (!L.valid(n.input(k))) continue;
          const BuilderValue& v = L.v(n.input(k));
          parts.emplace_back(v.size / 4);
          std::memcpy(parts.back().data(), v.data, v.size);
          part_dims.push_back(v.dims[axis]);
        }
        float* p = f32_weight(L, out, x.rank, o);
        if (p != nullptr) {
          uint64_t at = 0;
          for (uint64_t q = 0; q < outer; ++q)
            for (size_t k = 0; k < parts.size(); ++k) {
              uint64_t run = part_dims[k] * inner;
              std::memcpy(p + at, parts[k].data() + q * run, run * 4);
              at += run;
            }
          make_self_identity(n);
        }
      }
      return true;
    }
    case op::Shape: {
      int64_t r = static_cast<int64_t>(x.rank);
      int64_t start = (n.attr(12) & 1) ? n.attr_i64(5) : 0, end = (n.attr(12) & 2) ? n.attr_i64(7) : r;
      if (start < 0) start += r;
      if (end < 0) end += r;
      if (start < 0) start = 0;
      if (start > r) start = r;
      if (end < start) end = start;
      if (end > r) end = r;
      uint64_t dims_copy[kBuilderRank];
      std::memcpy(dims_copy, d, sizeof dims_copy);
      int64_t* p = i64_result(L, n, static_cast<uint64_t>(end - start));
      if (p != nullptr)
        for (int64_t k = start; k < end; ++k) p[k - start] = static_cast<int64_t>(dims_copy[k]);
      return true;
    }
    case op::Reshape: {
      if (L.i64_data(in)) return copy_i64(L, n);
      uint64_t N = elem_count(x);
      uint64_t shp = n.input_count() >= 2 ? n.input(1) : kNoIndex;
      if (L.i64_data(shp)) {
        const BuilderValue& sv = L.v(shp);
        uint64_t r = sv.size / 8;
        if (r > kBuilderRank) return L.refuse("a target rank above 6");
        uint64_t o[kBuilderRank] = {};
        int64_t marked = -1;
        uint64_t P = 1;
        for (uint64_t k = 0; k < r; ++k) {
          int64_t e = raw_i64(sv.data, k);
          if (e == 0) o[k] = k < x.rank ? d[k] : 0;
          else if (e < 0) o[k] = 1, marked = static_cast<int64_t>(k);
          else o[k] = static_cast<uint64_t>(e);
          P *= o[k];
        }
        if (marked >= 0 && P != 0) o[marked] = N / P;
        set_shape(y, r, o);
        L.v(shp).padded_size = kConsumedMark;
      } else {
        if (L.options) return L.refuse("a shape computed at run time");
        uint64_t d0 = x.rank > 0 && x.dims[0] > 1 ? x.dims[0] : 1;
        uint64_t o[2] = {d0, N / d0};
        set_shape(y, 2, o);
      }
      return finish_reshape(L, n);
    }
    case op::Unsqueeze: {
      if (L.i64_data(in)) return copy_i64(L, n);
      int64_t axes[6];
      uint64_t count = 1;
      axes[0] = n.attr_i64(11);
      if (n.attr(1) >= 2) count = 2, axes[1] = n.attr_i64(3);
      if (n.input_count() >= 2 && L.valid(n.input(1))) {
        if (!L.i64_data(n.input(1))) {
          if (L.options) return L.refuse("axes computed at run time");
        } else {
          const BuilderValue& av = L.v(n.input(1));
          count = av.size / 8;
          if (count > 2 && L.options) return L.refuse("more than two axes are not supported");
          if (count > 6) count = 6;
          for (uint64_t k = 0; k < count; ++k) axes[k] = raw_i64(av.data, k);
          L.v(n.input(1)).padded_size = kConsumedMark;
        }
      }
      uint64_t r = x.rank + count;
      if (r > kBuilderRank) return L.refuse("an output rank above 6");
      bool at[kBuilderRank] = {};
      for (uint64_t k = 0; k < count; ++k) {
        int64_t a = axes[k] < 0 ? axes[k] + static_cast<int64_t>(r) : axes[k];
        if (a < 0 || a >= static_cast<int64_t>(r) || at[a]) return L.refuse("an axis outside the output rank");
        at[a] = true;
      }
      uint64_t o[kBuilderRank], j = 0;
      for (uint64_t k = 0; k < r; ++k) o[k] = at[k] ? 1 : d[j++];
      set_shape(y, r, o);
      return finish_reshape(L, n);
    }
    case op::Squeeze: {
      if (L.i64_data(in)) return copy_i64(L, n);
      bool drop[kBuilderRank] = {};
      if (n.input_count() >= 2 && L.valid(n.input(1))) {
        if (!L.i64_data(n.input(1))) {
          if (L.options) return L.refuse("axes computed at run time");
        } else {
          const BuilderValue& av = L.v(n.input(1));
          for (uint64_t k = 0; k < av.size / 8; ++k) {
            uint64_t a;
            if (!normalise(raw_i64(av.data, k), x.rank, &a)) return L.refuse("an axis outside the input's rank");
            if (d[a] != 1) {
              if (L.options) return L.refuse("squeezing an axis whose size is not 1");
              continue;
            }
            drop[a] = true;
          }
          L.v(n.input(1)).padded_size = kConsumedMark;
        }
      } else if (n.attr(1) != 0) {
        int64_t list[2] = {n.attr_i64(11), n.attr_i64(3)};
        for (uint64_t k = 0; k < n.attr(1) && k < 2; ++k) {
          uint64_t a;
          if (!normalise(list[k], x.rank, &a)) return L.refuse("an axis outside the input's rank");
          if (d[a] == 1) drop[a] = true;
          else if (L.options) return L.refuse("squeezing an axis whose size is not 1");
        }
      } else {
        for (uint64_t k = 0; k < x.rank; ++k) drop[k] = d[k] == 1;
      }
      uint64_t o[kBuilderRank], r = 0;
      for (uint64_t k = 0; k < x.rank; ++k)
        if (!drop[k]) o[r++] = d[k];
      if (r == 0) {
        if (L.options && y.kind == kValueGraphOutput) r = 0;
        else o[r++] = 1;
      }
      set_shape(y, r, o);
      return finish_reshape(L, n);
    }
    case op::Expand: {
      uint64_t N = elem_count(x);
      uint64_t shp = n.input_count() >= 2 ? n.input(1) : kNoIndex;
      if (L.i64_data(shp)) {
        const BuilderValue& sv = L.v(shp);
        uint64_t cnt = sv.size / 8;
        uint64_t r = cnt > x.rank ? cnt : x.rank;
        if (r > kBuilderRank) return L.refuse("an output rank above 6");
        uint64_t o[kBuilderRank];
        for (uint64_t k = 0; k < r; ++k) {
          int64_t xi = static_cast<int64_t>(k) - static_cast<int64_t>(r - x.rank);
          int64_t si = static_cast<int64_t>(k) - static_cast<int64_t>(r - cnt);
          uint64_t xd = xi >= 0 ? d[xi] : 1;
          int64_t se = si >= 0 ? raw_i64(sv.data, si) : 1;
          uint64_t sd = se < 1 ? 1 : static_cast<uint64_t>(se);
          if (L.options && xd != 1 && sd != 1 && xd != sd) return L.refuse("shapes do not broadcast");
          o[k] = xd > sd ? xd : sd;
        }
        set_shape(y, r, o);
        L.v(shp).padded_size = kConsumedMark;
        n.w[1] = 1;
        n.w[3] = kNoIndex;
        if (elem_count(y) == N) return finish_reshape(L, n);
        if (L.options && x.elem == kElemI64) return L.refuse("expanding int64 values");
        return true;
      }
      if (L.options) return L.refuse("a shape computed at run time");
      copy_shape(y, x);
      n.w[1] = 1;
      make_reshape(n);
      return true;
    }
    case op::Split: {
      uint64_t all[64];
      const uint64_t total = node_outputs(L, all, 64);
      if (total > 4 && total <= 64) return lower_wide_split(L, n, all, total);
      uint64_t axis;
      if (!normalise(n.attr_i64(11), x.rank, &axis)) return L.refuse("axis outside the input's rank");
      n.attr(11) = axis;
      uint64_t outs = n.output_count() < 4 ? n.output_count() : 4;
      int64_t sizes[6] = {};
      uint64_t given = 0;
      if (n.input_count() >= 2 && L.valid(n.input(1))) {
        if (L.i64_data(n.input(1))) {
          given = const_i64_list(L.s, n.input(1), sizes);
          L.v(n.input(1)).padded_size = kConsumedMark;
        } else if (L.options) {
          return L.refuse("split sizes computed at run time");
        }
        n.w[1] = 1;
        n.w[3] = kNoIndex;
      } else if (n.attr(0) != 0 && n.attr(0) <= 6) {
        given = n.attr(0);
        for (uint64_t k = 0; k < given && k < 4; ++k) sizes[k] = n.attr_i64(4 + k);
      }
      if (given == 0 || sizes[0] == 0) {
        if (outs == 0) return L.refuse("no outputs");
        if (L.options && d[axis] % outs != 0) {
          // ONNX 18 gives the last part the remainder; the engines split evenly.
          return L.refuse("an axis that does not divide into equal parts");
        }
        for (uint64_t k = 0; k < outs; ++k) sizes[k] = static_cast<int64_t>(d[axis] / outs);
      } else if (L.options) {
        if (given != n.output_count()) return L.refuse("split sizes and outputs differ in number");
        int64_t total = 0;
        for (uint64_t k = 0; k < given; ++k) total += sizes[k];
        if (total != static_cast<int64_t>(d[axis])) return L.refuse("split sizes do not add up to the axis");
      }
      for (uint64_t k = 0; k < 4; ++k) n.attr(4 + k) = k < outs ? static_cast<uint64_t>(sizes[k]) : 0;
      for (uint64_t k = 0; k < outs; ++k) {
        if (!L.valid(n.output(k))) continue;
        BuilderValue& o = L.v(n.output(k));
        copy_shape(o, x);
        o.dims[axis] = static_cast<uint64_t>(sizes[k]);
      }
      return true;
    }
    default:
      return true;
  }
}

}  // namespace vorn
