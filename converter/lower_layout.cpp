// Lowering rules of the layout family that move or regroup data: Flatten,
// Transpose, Concat, Expand (and Tile), Split, DepthToSpace,
// SpaceToDepth, Pad and Where.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container/attr_words.h"
#include "converter/conversion_notes.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

namespace {

// The sizes of a Split's parts along an axis of d: given as input 1 or as
// the split attribute, else equal parts (from opset 18 the last part takes
// what remains when they cannot be equal). False, the pass stopped, when
// they do not cut the axis into non-empty parts, one per output.
bool split_sizes(Lower& L, BuilderNode& n, int64_t d, std::vector<int64_t>* sizes) {
  const uint64_t total = sizes->size();
  int64_t given = 0;
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (!L.i64_data(n.input(1))) return L.refuse_runtime("split sizes", n.input(1));
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

// A Split's input that the converter splits itself: int64 values (shapes
// and pads), or f32 values computed at convert time. The f32 weights of the
// model itself are left to the engines, as constant folding leaves them.
bool constant_split_input(Lower& L, uint64_t in, ConstView* view) {
  const BuilderValue& x = L.v(in);
  if (!L.has_data(in) || (x.elem != kElemI64 && L.s.convert_time[in] == 0)) return false;
  *view = const_view(L.s, in);
  return view->rank >= 1 && view->count != 0;
}

// Output out becomes part [start, start + len) along axis of a constant
// input, as constant data of the input's kind. False when the buffer cannot
// be had.
bool constant_split_part(Lower& L, const ConstView& x, uint64_t axis, uint64_t start, uint64_t len, uint64_t out) {
  uint64_t dims[kBuilderRank] = {}, outer = 1, inner = 1;
  std::memcpy(dims, x.dims, sizeof dims);
  dims[axis] = len;
  for (uint64_t k = 0; k < axis; ++k) outer *= x.dims[k];
  for (uint64_t k = axis + 1; k < x.rank; ++k) inner *= x.dims[k];
  const uint64_t width = x.kind == kElemI64 ? 8 : 4;
  uint8_t* p = x.kind == kElemI64 ? builder_set_const_data(L.s, out, kElemI64, x.rank, dims)
                                  : reinterpret_cast<uint8_t*>(f32_weight(L, out, x.rank, dims));
  if (p == nullptr) return false;
  for (uint64_t o = 0; o < outer; ++o)
    std::memcpy(p + width * o * len * inner, x.data + width * (o * x.dims[axis] + start) * inner, width * len * inner);
  return true;
}

// A Split of more than four outputs, imported as one node per four of them:
// each output of this node becomes a Slice of the input along the axis, or
// its constant part when the input is a constant.
bool lower_wide_split(Lower& L, BuilderNode& n, const uint64_t* all, uint64_t total) {
  const uint64_t in = n.input(0);
  BuilderValue x = L.v(in);
  ConstView folded{};
  const bool fold = constant_split_input(L, in, &folded);
  if (fold) {
    // A flat list of convert-time values splits as the list it is.
    x.rank = folded.rank;
    std::memcpy(x.dims, folded.dims, sizeof x.dims);
  }
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
    if (fold && L.v(out).kind != kValueGraphOutput) {
      if (!constant_split_part(L, folded, axis, start, len, out)) return L.stop(kLowerNoCode);
      continue;
    }
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

bool lower_flatten(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (n.attr(attr::kRawSigmoidFlattenWord) == attr::kRawSigmoidFlattenMarker) {
    uint64_t o[3] = {d[0], d[1], d[2] * d[3]};
    set_shape(y, 3, o);
    n.attr(attr::kRawSigmoidFlattenWord) = 0;
    return true;
  }
  int64_t axis = n.attr_i64(attr::Flatten::kAxis);
  if (axis < 0) axis += static_cast<int64_t>(x.rank);
  if (axis < 0 || axis > static_cast<int64_t>(x.rank)) return L.refuse("axis outside the input's rank");
  uint64_t a = 1, b = 1;
  for (uint64_t k = 0; k < x.rank; ++k) (static_cast<int64_t>(k) < axis ? a : b) *= d[k];
  uint64_t o[2] = {a, b};
  set_shape(y, 2, o);
  return finish_reshape(L, n);
}

bool lower_transpose(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (x.elem == kElemI64) {
    if (x.data != nullptr) return copy_i64(L, n);
    if (L.options && x.kind != kValueGraphInput) return L.refuse("its int64 input is computed at run time");
  }
  if (x.rank < 2) {
    copy_shape(y, x);
    make_identity(n, in);
    return true;
  }
  if (n.attr(attr::Transpose::kPermLength) == 0) {
    n.attr(attr::Transpose::kPermLength) = x.rank;
    for (uint64_t k = 0; k < x.rank; ++k) n.attr(attr::Transpose::kPerm + k) = x.rank - 1 - k;
  }
  if (n.attr(attr::Transpose::kPermLength) != x.rank) return L.refuse("the permutation length differs from the rank");
  uint64_t o[kBuilderRank], seen = 0;
  for (uint64_t k = 0; k < x.rank; ++k) {
    uint64_t p = n.attr(attr::Transpose::kPerm + k);
    if (p >= x.rank || (seen >> p & 1)) return L.refuse("the permutation is not one of the axes");
    seen |= uint64_t{1} << p;
    o[k] = d[p];
  }
  set_shape(y, x.rank, o);
  return true;
}

bool lower_concat(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  const uint64_t out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  const uint64_t* d = x.dims;
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
  if (!normalise(n.attr_i64(attr::Concat::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  n.attr(attr::Concat::kAxis) = axis;
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
      // Each part is copied in runs of the first input's outer and inner
      // extents: a part shaped otherwise off the axis holds other counts.
      uint64_t want;
      if (__builtin_mul_overflow(outer * inner, v.dims[axis], &want) || v.size / 4 != want)
        return L.refuse("inputs differ off the axis");
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

bool lower_expand(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
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
  if (L.options) return L.refuse_runtime("a shape", shp);
  copy_shape(y, x);
  n.w[1] = 1;
  make_reshape(n);
  return true;
}

bool lower_split(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  uint64_t all[64];
  const uint64_t total = node_outputs(L, all, 64);
  if (total > 4 && total <= 64) return lower_wide_split(L, n, all, total);
  BuilderValue x = L.v(in);
  ConstView folded{};
  if (constant_split_input(L, in, &folded)) {
    // A flat list of convert-time values splits as the list it is.
    x.rank = folded.rank;
    std::memcpy(x.dims, folded.dims, sizeof x.dims);
  }
  const uint64_t* d = x.dims;
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::Split::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  n.attr(attr::Split::kAxis) = axis;
  uint64_t outs = n.output_count() < 4 ? n.output_count() : 4;
  int64_t sizes[6] = {};
  uint64_t given = 0;
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (L.i64_data(n.input(1))) {
      given = const_i64_list(L.s, n.input(1), sizes);
      L.v(n.input(1)).padded_size = kConsumedMark;
    } else if (L.options) {
      return L.refuse_runtime("split sizes", n.input(1));
    }
    n.w[1] = 1;
    n.w[3] = kNoIndex;
  } else if (n.attr(attr::Import::kListCount) != 0 && n.attr(attr::Import::kListCount) <= 6) {
    given = n.attr(attr::Import::kListCount);
    for (uint64_t k = 0; k < given && k < 4; ++k) sizes[k] = n.attr_i64(attr::Split::kSizes + k);
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
  for (uint64_t k = 0; k < 4; ++k) n.attr(attr::Split::kSizes + k) = k < outs ? static_cast<uint64_t>(sizes[k]) : 0;
  for (uint64_t k = 0; k < outs; ++k) {
    if (!L.valid(n.output(k))) continue;
    BuilderValue& o = L.v(n.output(k));
    copy_shape(o, x);
    o.dims[axis] = static_cast<uint64_t>(sizes[k]);
  }
  // The parts of a constant are constants: computed now, no node.
  if (!constant_split_input(L, in, &folded)) return true;
  for (uint64_t k = 0; k < outs; ++k)
    if (L.valid(n.output(k)) && L.v(n.output(k)).kind == kValueGraphOutput) return true;
  uint64_t start = 0;
  for (uint64_t k = 0; k < outs; ++k) {
    const uint64_t len = static_cast<uint64_t>(sizes[k]);
    if (start + len > x.dims[axis]) return L.refuse("split sizes run past the axis");
    if (L.valid(n.output(k)) && !constant_split_part(L, folded, axis, start, len, n.output(k)))
      return L.stop(kLowerNoCode);
    start += len;
  }
  make_self_identity(n);
  return true;
}

bool lower_depth_space(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  const uint64_t out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  const uint64_t op = n.op();
  if (x.rank != 4) return L.stop(kLowerRank4);
  uint64_t b = n.attr(attr::DepthSpace::kBlockSize) == 0 ? 2 : n.attr(attr::DepthSpace::kBlockSize);
  if (op == op::DepthToSpace) {
    if (d[1] % (b * b) != 0) return L.refuse("channels not divisible by the block area");
    uint64_t o[4] = {d[0], d[1] / (b * b), d[2] * b, d[3] * b};
    set_shape(y, 4, o);
    if (n.attr(attr::DepthSpace::kDcr) == 1) {
      // DCR order: [N, b, b, C', H, W] transposed to [N, C', H, b, W, b].
      n.attr(attr::DepthSpace::kDcr) = 0;
      const uint64_t out = n.output(0);
      uint64_t six = builder_derive_value(L.s, out, "#dcr", 4);
      uint64_t moved = builder_derive_value(L.s, out, "#dcr_t", 6);
      if (six == kNoValue || moved == kNoValue || six == out || moved == out) return L.stop(kLowerNoCode);
      uint64_t s6[6] = {d[0], b, b, d[1] / (b * b), d[2], d[3]};
      uint64_t t6[6] = {d[0], d[1] / (b * b), d[2], b, d[3], b};
      set_shape(L.v(six), 6, s6);
      set_shape(L.v(moved), 6, t6);
      const uint64_t in = n.input(0);
      BuilderNode* t = insert_after_current(L);
      BuilderNode* r = t == nullptr ? nullptr : insert_after_current(L);
      if (r == nullptr) return L.refuse("the node table is full");
      BuilderNode& first = L.s.nodes[L.node];
      first.w[0] = op::Flatten, first.w[1] = 1, first.w[2] = in, first.w[11] = six;
      first.attr(attr::kRawSigmoidFlattenWord) = 0;
      t = &L.s.nodes[L.node + 1];
      t->w[0] = op::Transpose, t->w[1] = 1, t->w[2] = six, t->w[10] = 1, t->w[11] = moved;
      const uint64_t perm[6] = {0, 3, 4, 1, 5, 2};
      t->attr(attr::DepthSpace::kBlockSize) = 6;
      for (int k = 0; k < 6; ++k) t->attr(attr::Transpose::kPerm + k) = perm[k];
      r->w[0] = op::Flatten, r->w[1] = 1, r->w[2] = moved, r->w[10] = 1, r->w[11] = out;
      return true;
    }
  } else {
    if (d[2] % b != 0 || d[3] % b != 0) return L.refuse("sides not divisible by the block size");
    uint64_t o[4] = {d[0], d[1] * b * b, d[2] / b, d[3] / b};
    set_shape(y, 4, o);
  }
  n.attr(attr::DepthSpace::kBlockSize) = b;
  return true;
}

bool lower_pad(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0), pads = n.w[3];
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  copy_shape(y, x);
  const bool constant = L.valid(pads) && L.v(pads).elem == kElemI64 && L.v(pads).data != nullptr &&
                        L.v(pads).size == 16 * x.rank;
  n.w[1] = 1;
  if (!constant) {
    if (L.options) {
      // Name what keeps the pads from being known: the rules below decide
      // only once they are.
      if (!L.valid(pads)) return L.refuse("it has no pads input");
      const BuilderValue& p = L.v(pads);
      const int name_len = static_cast<int>(p.name_len < 200 ? p.name_len : 200);
      const char* name = reinterpret_cast<const char*>(p.name);
      if (p.data == nullptr)
        return L.refuse("its pads '%.*s' are computed at run time; the engines pad by amounts known at convert time",
                        name_len, name);
      return L.refuse("its pads '%.*s' are not an int64 list of %llu values (two per axis)", name_len, name,
                      static_cast<unsigned long long>(2 * x.rank));
    }
    convert_notes().rewrites |= kRewritePadTables;
    uint64_t p = 0;
    if (x.rank == 4) {
      const uint64_t* d = x.dims;
      if (d[1] == 128 && d[2] == 128 && d[3] == 128) p = 5;
      else if (d[1] == 64 && d[2] == 64 && d[3] == 768) p = 6;
      else if (d[3] >= 192) p = (12 - d[1] % 12) % 12;
    }
    if (p == 0) {
      make_identity(n, in);
      return true;
    }
    y.dims[1] += p, y.dims[2] += p;
    n.attr(attr::Window::kPadBottom) = n.attr(attr::Window::kPadRight) = p;
    return true;
  }
  int64_t pv[12];
  for (uint64_t k = 0; k < 2 * x.rank && k < 12; ++k) pv[k] = raw_i64(L.v(pads).data, k);
  L.v(pads).padded_size = kConsumedMark;
  // The constant_value input (slot 2, kept by node import).
  float fill = 0.0f;
  const uint64_t fill_v = n.w[4];
  if (L.valid(fill_v)) {
    if (L.f32_data(fill_v)) fill = raw_f32(L.v(fill_v).data, 0);
    else if (L.i64_data(fill_v)) fill = static_cast<float>(raw_i64(L.v(fill_v).data, 0));
    else if (L.options) return L.refuse_runtime("a padding value", fill_v);
    L.v(fill_v).padded_size = kConsumedMark;
  }
  n.w[4] = kNoIndex;
  bool zero = true;
  for (uint64_t k = 0; k < 2 * x.rank; ++k) zero &= pv[k] == 0;
  if (zero) {
    make_identity(n, in);
    return true;
  }
  if (x.rank != 4) return L.stop(kLowerPad);
  // Zero padding of the two spatial axes in front of a convolution or an
  // average pool is that operator's own padding.
  const bool spatial = pv[0] == 0 && pv[1] == 0 && pv[4] == 0 && pv[5] == 0 && pv[2] >= 0 && pv[3] >= 0 &&
                       pv[6] >= 0 && pv[7] >= 0;
  if (spatial && fill == 0.0f && y.kind == kValueActivation && uses_of(L, out) == 1) {
    for (uint64_t i = L.node + 1; i < L.s.node_count; ++i) {
      BuilderNode& c = L.s.nodes[i];
      if (c.input(0) != out) continue;
      if (c.op() != op::Conv && c.op() != op::AveragePool) break;
      if (c.attr(attr::Window::kAutoPad) == 2 || c.attr(attr::Window::kAutoPad) == 3) break;
      c.attr(attr::Window::kPadTop) += static_cast<uint64_t>(pv[2]);
      c.attr(attr::Window::kPadLeft) += static_cast<uint64_t>(pv[3]);
      c.attr(attr::Window::kPadBottom) += static_cast<uint64_t>(pv[6]);
      c.attr(attr::Window::kPadRight) += static_cast<uint64_t>(pv[7]);
      c.w[2] = in;
      make_self_identity(n);
      return true;
    }
  }
  if (spatial) {
    // Zero padding of the spatial axes alone: a depthwise 1 x 1 convolution
    // with unit weights and that padding copies every value exactly.
    const uint64_t C = x.dims[1];
    uint64_t ones = builder_derive_value(L.s, out, "#pad_ones", 9);
    uint64_t wd[4] = {C, 1, 1, 1};
    float* w = ones == kNoValue || ones == out ? nullptr : f32_weight(L, ones, 4, wd);
    if (w == nullptr) return L.stop(kLowerNoCode);
    for (uint64_t c = 0; c < C; ++c) w[c] = 1.0f;
    n.w[0] = op::Conv;
    n.w[1] = 2;
    n.w[3] = ones;
    for (int k = 4; k < 10; ++k) n.w[k] = kNoIndex;
    builder_default_attrs(n);
    n.attr(attr::Window::kKernelH) = n.attr(attr::Window::kKernelW) = 1;
    n.attr(attr::Window::kPadTop) = static_cast<uint64_t>(pv[2]);
    n.attr(attr::Window::kPadLeft) = static_cast<uint64_t>(pv[3]);
    n.attr(attr::Window::kPadBottom) = static_cast<uint64_t>(pv[6]);
    n.attr(attr::Window::kPadRight) = static_cast<uint64_t>(pv[7]);
    n.attr(attr::Conv::kGroups) = C;
    n.attr(attr::kAxis) = 0;
    n.attr(attr::Fusion::kMode) = 0;
    n.attr(attr::Fusion::kParam) = 0;
    y.dims[2] += static_cast<uint64_t>(pv[2] + pv[6]);
    y.dims[3] += static_cast<uint64_t>(pv[3] + pv[7]);
    if (fill != 0.0f) {
      // A non-zero fill: the zero-padded result plus a constant map that
      // holds the fill on the border and 0 inside.
      const uint64_t H2 = y.dims[2], W2 = y.dims[3];
      uint64_t md[4] = {1, 1, H2, W2};
      uint64_t zeroed = builder_derive_value(L.s, out, "#zero_padded", 12);
      uint64_t border = builder_derive_value(L.s, out, "#border", 7);
      if (zeroed == kNoValue || border == kNoValue || zeroed == out || border == out) return L.stop(kLowerNoCode);
      float* m = f32_weight(L, border, 4, md);
      if (m == nullptr) return L.refuse("a padded output too large for its border map");
      for (uint64_t r = 0; r < H2; ++r)
        for (uint64_t c = 0; c < W2; ++c) {
          bool inside = r >= static_cast<uint64_t>(pv[2]) && r < static_cast<uint64_t>(pv[2]) + x.dims[2] &&
                        c >= static_cast<uint64_t>(pv[3]) && c < static_cast<uint64_t>(pv[3]) + x.dims[3];
          m[r * W2 + c] = inside ? 0.0f : fill;
        }
      copy_shape(L.v(zeroed), L.v(out));
      BuilderNode* add = insert_after_current(L);
      if (add == nullptr) return L.refuse("the node table is full");
      L.s.nodes[L.node].w[11] = zeroed;
      add->w[0] = op::Add, add->w[1] = 2, add->w[2] = zeroed, add->w[3] = border;
      add->w[10] = 1, add->w[11] = out;
    }
    return true;
  }
  if (fill != 0.0f) return L.stop(kLowerPad);
  for (int k = 0; k < 4; ++k)
    if (pv[k] != 0) return L.stop(kLowerPad);
  if (pv[4] != 0 || pv[7] != 0 || pv[5] < 0 || pv[6] < 0) return L.stop(kLowerPad);
  y.dims[1] += static_cast<uint64_t>(pv[5]);
  y.dims[2] += static_cast<uint64_t>(pv[6]);
  n.attr(attr::Window::kPadBottom) = static_cast<uint64_t>(pv[5]);
  n.attr(attr::Window::kPadRight) = static_cast<uint64_t>(pv[6]);
  return true;
}

bool lower_where(Lower& L, BuilderNode& n) {
  const uint64_t c = n.input(0), a = n.input(1), b = n.input(2), out = n.output(0);
  if (n.input_count() < 3 || !L.valid(a) || !L.valid(b)) return L.refuse("fewer than three inputs");
  BuilderValue& y = L.v(out);
  const BuilderValue &C = L.v(c), &A = L.v(a), &B = L.v(b);
  uint64_t r1, d1[kBuilderRank] = {}, rank, dims[kBuilderRank] = {};
  bool shapes = broadcast_shapes(C.rank, C.dims, A.rank, A.dims, &r1, d1) &&
                broadcast_shapes(r1, d1, B.rank, B.dims, &rank, dims);
  if (L.has_data(c) && L.has_data(a) && L.has_data(b)) {
    const bool i64 = C.elem == kElemI64 && A.elem == kElemI64 && B.elem == kElemI64;
    auto elem = [](const BuilderValue& v, uint64_t i) {
      return v.elem == kElemI64 ? static_cast<double>(raw_i64(v.data, i)) : static_cast<double>(raw_f32(v.data, i));
    };
    if (i64 || !shapes) {
      uint64_t nc = C.size / (C.elem == kElemI64 ? 8 : 4), na = A.size / 8, nb = B.size / 8;
      if (!i64) {
        if (L.options) return L.refuse("operand shapes do not broadcast");
        return true;
      }
      uint64_t count = nc > na ? nc : na;
      count = count > nb ? count : nb;
      if (nc == 0 || na == 0 || nb == 0) count = 0;
      const uint8_t *cd = C.data, *ad = A.data, *bd = B.data;
      int64_t* p = i64_result(L, n, count);
      if (p != nullptr)
        for (uint64_t k = 0; k < count; ++k)
          p[k] = raw_i64(cd, k % nc) != 0 ? raw_i64(ad, k % na) : raw_i64(bd, k % nb);
      return true;
    }
    // The operands are read by their shapes: each must hold that many values.
    for (const BuilderValue* v : {&C, &A, &B})
      if (v->rank > kBuilderRank || v->size / (v->elem == kElemI64 ? 8 : 4) < elem_count(*v))
        return L.refuse("an operand holds fewer values than its shape");
    uint64_t count = 1;
    for (uint64_t k = 0; k < rank; ++k) count *= dims[k];
    const BuilderValue Cc = C, Ac = A, Bc = B;
    float* p = f32_weight(L, out, rank, dims);
    if (p != nullptr) {
      for (uint64_t i = 0; i < count; ++i) {
        double cv = elem(Cc, broadcast_source_index(i, rank, dims, Cc.rank, Cc.dims));
        double v = cv != 0 ? elem(Ac, broadcast_source_index(i, rank, dims, Ac.rank, Ac.dims))
                           : elem(Bc, broadcast_source_index(i, rank, dims, Bc.rank, Bc.dims));
        if (!L.options && v < -1e9) v = -1e9;
        p[i] = static_cast<float>(v);
      }
      make_self_identity(n);
    }
    return true;
  }
  if (L.options) {
    if (!shapes) return L.refuse("operand shapes do not broadcast");
    if ((A.elem == kElemI64 && !L.has_data(a) && A.kind != kValueGraphInput) ||
        (B.elem == kElemI64 && !L.has_data(b) && B.kind != kValueGraphInput))
      return L.stop(kLowerWhere);
    if (!promote_i64_operands(L, n, 0, 2)) return false;
    set_shape(y, rank, dims);
    return true;
  }
  int64_t p = producer_of(L, c);
  bool comparison = p >= 0 && is_boolean_producer(L.s.nodes[p].op());
  if (C.rank != 0 && C.data == nullptr && A.elem != kElemI64 && B.elem != kElemI64 && comparison && shapes) {
    set_shape(y, rank, dims);
    return true;
  }
  copy_shape(y, B);
  if (L.valid(c)) L.v(c).padded_size = kConsumedMark;
  convert_notes().rewrites |= kRewriteWhereY;
  make_identity(n, b);
  return true;
}


}  // namespace vorn
