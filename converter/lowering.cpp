#include "converter/lowering.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "converter/constant_fold.h"
#include "converter/graph_check.h"
#include "converter/legacy_rewrites.h"
#include "converter/onnx_model.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"
#include "converter/protobuf_wire.h"

namespace vorn {

bool Lower::stop(uint64_t code) {
  // A rule that could not have a value of its own because the model holds
  // its name says so rather than reporting a failed allocation.
  if (code == kLowerNoCode && s.derived_name_taken != 0 && s.derived_name_taken <= s.value_count) {
    const BuilderValue& o = v(s.derived_name_taken - 1);
    return refuse("the model names a value '%.*s', a name the converter gives a value of its own",
                  static_cast<int>(o.name_len < 200 ? o.name_len : 200), reinterpret_cast<const char*>(o.name));
  }
  s.failing_node = node;
  s.lowering_error = code;
  return false;
}

bool Lower::refuse(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(s.import_detail, sizeof s.import_detail, format, args);
  va_end(args);
  return stop(kLowerRefused);
}

bool Lower::refuse_runtime(const char* what, uint64_t value) {
  if (!valid(value)) return refuse("%s computed at run time", what);
  const BuilderValue& o = v(value);
  return refuse("%s computed at run time ('%.*s')", what, static_cast<int>(o.name_len < 200 ? o.name_len : 200),
                reinterpret_cast<const char*>(o.name));
}

bool const_size_ok(uint64_t rank, const uint64_t* dims) {
  uint64_t c = 1;
  for (uint64_t d = 0; d < rank; ++d)
    if (__builtin_mul_overflow(c, dims[d], &c) || c > kMaxConstElements) return false;
  return true;
}

int64_t* i64_result(Lower& L, BuilderNode& n, uint64_t count) {
  // The node computes nothing at run time: it ends as a self-identity.
  const uint64_t out = n.output(0);
  make_self_identity(n);
  uint64_t dims[1] = {count};
  auto* p = count <= kMaxConstElements
                ? reinterpret_cast<int64_t*>(builder_set_const_data(L.s, out, kElemI64, 1, dims))
                : nullptr;
  BuilderValue& o = L.v(out);
  o.elem = kElemI64;
  o.rank = 0;
  if (p == nullptr) builder_drop_data(o);
  return p;
}

float* f32_weight(Lower& L, uint64_t out, uint64_t rank, const uint64_t* dims) {
  if (rank > kBuilderRank || !const_size_ok(rank, dims)) return nullptr;
  auto* p = reinterpret_cast<float*>(builder_set_const_data(L.s, out, kElemF32, rank, dims));
  if (p != nullptr && L.v(out).kind != kValueGraphOutput) L.v(out).kind = kValueWeight;
  return p;
}

uint64_t i64_as_f32_weight(Lower& L, uint64_t value) {
  uint64_t d = builder_derive_value(L.s, value, "#f32", 4);
  if (d == kNoValue || d == value) return kNoValue;
  const BuilderValue src = L.v(value);
  uint64_t n = src.size / 8;
  uint64_t rank = src.rank, dims[kBuilderRank] = {};
  std::memcpy(dims, src.dims, sizeof dims);
  if (rank == 0 || elem_count(src) != n) rank = 1, dims[0] = n;
  float* p = f32_weight(L, d, rank, dims);
  if (p == nullptr) return kNoValue;
  L.v(d).kind = kValueWeight;
  for (uint64_t i = 0; i < n; ++i) p[i] = static_cast<float>(raw_i64(src.data, i));
  return d;
}

bool promote_i64_operands(Lower& L, BuilderNode& n, uint64_t first, uint64_t last) {
  for (uint64_t k = first; k <= last && k < n.input_count(); ++k) {
    uint64_t in = n.input(k);
    if (!L.i64_data(in) || L.v(in).kind == kValueGraphInput) continue;
    uint64_t w = i64_as_f32_weight(L, in);
    if (w == kNoValue) return L.stop(kLowerNoCode);
    n.w[2 + k] = w;
  }
  return true;
}

BuilderNode* insert_after_current(Lower& L) {
  BuilderState& s = L.s;
  if (s.node_count >= kMaxNodes) return nullptr;
  const uint64_t at = L.node + 1 + L.inserted;
  std::memmove(&s.nodes[at + 1], &s.nodes[at], (s.node_count - at) * sizeof(BuilderNode));
  std::memmove(&s.origin[at + 1], &s.origin[at], (s.node_count - at) * sizeof(NodeOrigin));
  ++s.node_count;
  ++L.end;
  ++L.inserted;
  s.origin[at] = s.origin[L.node];
  BuilderNode& n = s.nodes[at];
  std::memset(&n, 0, sizeof n);
  for (int k = 2; k < 10; ++k) n.w[k] = kNoIndex;
  for (int k = 11; k < 15; ++k) n.w[k] = kNoIndex;
  builder_default_attrs(n);
  return &n;
}

// The NodeProto [start, end) the current node was imported from.
bool current_node_proto(Lower& L, uint64_t* start, uint64_t* end) {
  const BuilderState& s = L.s;
  if (s.onnx == nullptr || L.node >= kMaxNodes) return false;
  const NodeOrigin& o = s.origin[L.node];
  if (o.proto_end <= o.proto_start || o.proto_end > s.onnx_size) return false;
  *start = o.proto_start;
  *end = o.proto_end;
  return true;
}

bool node_attribute(Lower& L, const char* name, int64_t* int_out, const uint8_t** text, uint64_t* text_len) {
  uint64_t ns, ne;
  if (!current_node_proto(L, &ns, &ne)) return false;
  const uint8_t* b = L.s.onnx;
  uint64_t np = ns;
  PbField g;
  while (pb_next(b, ne, np, g) == PbStep::kField) {
    if (g.number != 5 || g.wire != kWireLen) continue;
    uint64_t ap = g.start;
    PbField a;
    bool named = false, has_int = false, has_text = false;
    int64_t value = 0;
    uint64_t text_start = 0, text_end = 0;
    while (pb_next(b, g.end, ap, a) == PbStep::kField) {
      if (a.number == 1 && a.wire == kWireLen) named = text_equal(b + a.start, a.end - a.start, name);
      if (a.number == 3 && a.wire == kWireVarint) value = static_cast<int64_t>(a.value), has_int = true;
      if (a.number == 4 && a.wire == kWireLen) text_start = a.start, text_end = a.end, has_text = true;
    }
    if (!named) continue;
    if (has_int && int_out != nullptr) *int_out = value;
    if (has_text && text != nullptr) *text = b + text_start, *text_len = text_end - text_start;
    return (has_int && int_out != nullptr) || (has_text && text != nullptr);
  }
  return false;
}

int64_t node_int_list(Lower& L, const char* name, int64_t* out, uint64_t capacity) {
  uint64_t ns, ne;
  if (!current_node_proto(L, &ns, &ne)) return -1;
  const uint8_t* b = L.s.onnx;
  uint64_t np = ns;
  PbField g;
  while (pb_next(b, ne, np, g) == PbStep::kField) {
    if (g.number != 5 || g.wire != kWireLen) continue;
    uint64_t ap = g.start;
    PbField a;
    bool named = false;
    std::vector<int64_t> values;
    while (pb_next(b, g.end, ap, a) == PbStep::kField) {
      if (a.number == 1 && a.wire == kWireLen) named = text_equal(b + a.start, a.end - a.start, name);
      if (a.number != 8) continue;
      if (a.wire == kWireVarint) values.push_back(static_cast<int64_t>(a.value));
      if (a.wire == kWireLen)
        for (uint64_t p = a.start; p < a.end;) values.push_back(static_cast<int64_t>(pb_read_varint(b, a.end, p)));
    }
    if (!named) continue;
    for (uint64_t k = 0; k < values.size() && k < capacity; ++k) out[k] = values[k];
    return static_cast<int64_t>(values.size());
  }
  return -1;
}

uint64_t node_outputs(Lower& L, uint64_t* out, uint64_t capacity) {
  uint64_t ns, ne, count = 0;
  if (!current_node_proto(L, &ns, &ne)) return 0;
  const uint8_t* b = L.s.onnx;
  PbField f;
  while (pb_next(b, ne, ns, f) == PbStep::kField) {
    if (f.number != 2 || f.wire != kWireLen) continue;
    if (count < capacity) out[count] = builder_find_value(L.s, b + f.start, f.end - f.start);
    ++count;
  }
  return count;
}

bool node_int_attribute(Lower& L, const char* name, int64_t* out) {
  int64_t v = 0;
  if (!node_attribute(L, name, &v, nullptr, nullptr)) return false;
  *out = v;
  return true;
}

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
  // A weight keeps its values under the new shape, by which its readers
  // index it: a shape of more or fewer elements would send them past its
  // end or leave values no index reaches.
  const uint64_t values = x.size / (x.elem == kElemI64 ? 8 : 4);
  if (x.kind == kValueWeight && x.data != nullptr && y.kind != kValueGraphOutput && y.rank != 0 &&
      elem_count(y) != values)
    return L.refuse("the new shape holds a different element count");
  if (!reshape_weight(L, n)) make_reshape(n);
  return true;
}

// The single element of a constant index input, or false.
bool first_i64(Lower& L, uint64_t v, int64_t* out) {
  if (!L.valid(v) || L.v(v).data == nullptr) return false;
  const BuilderValue& c = L.v(v);
  if (c.elem == kElemI64 && c.size >= 8) {
    *out = raw_i64(c.data, 0);
    return true;
  }
  if (c.elem != kElemI64 && c.size >= 4) {
    *out = static_cast<int64_t>(raw_f32(c.data, 0));
    return true;
  }
  return false;
}

bool is_boolean_producer(uint64_t op) {
  return op == op::Equal || op == op::Less || op == op::Greater || op == op::Not || op == op::And || op == op::Or;
}

// The first node before the current one whose output 0 is value v.
int64_t producer_of(Lower& L, uint64_t v) {
  for (uint64_t i = 0; i < L.node; ++i)
    if (L.s.nodes[i].output(0) == v) return static_cast<int64_t>(i);
  return -1;
}

uint64_t uses_of(Lower& L, uint64_t v) {
  uint64_t c = 0;
  for (uint64_t i = 0; i < L.s.node_count; ++i) {
    const BuilderNode& n = L.s.nodes[i];
    if (n.op() == op::Identity && n.input(0) == n.output(0)) continue;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) c += n.input(k) == v;
  }
  return c;
}

// Owned F32 copy of a constant's data, so it can change in place.
float* own_f32(Lower& L, uint64_t v) {
  BuilderValue& c = L.v(v);
  if (c.data == nullptr || c.elem == kElemI64) return nullptr;
  if (c.owned & 1) return reinterpret_cast<float*>(const_cast<uint8_t*>(c.data));
  auto* p = static_cast<uint8_t*>(std::malloc(c.size == 0 ? 1 : c.size));
  if (p == nullptr) return nullptr;
  std::memcpy(p, c.data, c.size);
  c.data = p;
  c.owned = 1;
  return reinterpret_cast<float*>(p);
}

uint64_t private_weight(Lower& L, uint64_t v, uint64_t name_source, const char* suffix, bool* reused) {
  *reused = false;
  const BuilderValue& src = L.v(name_source);
  std::string name(reinterpret_cast<const char*>(src.name), src.name_len);
  name += suffix;
  uint64_t d = builder_find_value(L.s, reinterpret_cast<const uint8_t*>(name.data()), name.size());
  if (d != kNoValue && L.v(d).data != nullptr && !builder_model_named(L.s, d)) {
    *reused = true;
    return d;
  }
  if (uses_of(L, v) <= 1 && L.v(v).kind != kValueGraphOutput) return v;
  d = builder_derive_value(L.s, name_source, suffix, std::strlen(suffix));
  if (d == kNoValue || d == name_source || d == v) return kNoValue;
  const BuilderValue& w = L.v(v);
  auto* p = static_cast<uint8_t*>(std::malloc(w.size == 0 ? 1 : w.size));
  if (p == nullptr) return kNoValue;
  if (w.size != 0) std::memcpy(p, w.data, w.size);
  BuilderValue& c = L.v(d);
  builder_drop_data(c);
  c.data = p;
  c.size = w.size;
  c.owned = 1;
  c.elem = w.elem;
  c.kind = kValueWeight;
  set_shape(c, w.rank, w.dims);
  L.s.convert_time[d] = L.s.convert_time[v];
  return d;
}

namespace {

// Tile as an Expand: possible when every repeated dimension has size 1.
bool tile_to_expand(Lower& L, BuilderNode& n) {
  uint64_t in = n.input(0);
  if (!L.valid(in) || n.input_count() < 2 || !L.has_data(n.input(1))) return false;
  int64_t r[6];
  uint64_t count = const_i64_list(L.s, n.input(1), r);
  const BuilderValue& x = L.v(in);
  if (count == 0 || count != x.rank) return false;
  for (uint64_t k = 0; k < count; ++k)
    if (r[k] != 1 && x.dims[k] != 1) return false;
  uint64_t d = builder_derive_value(L.s, n.output(0), "#tile_shape", 11);
  if (d == kNoValue || d == n.output(0)) return false;
  uint64_t dims[1] = {count};
  auto* p = reinterpret_cast<int64_t*>(builder_set_const_data(L.s, d, kElemI64, 1, dims));
  if (p == nullptr) return false;
  for (uint64_t k = 0; k < count; ++k) p[k] = r[k] * static_cast<int64_t>(L.v(in).dims[k]);
  n.w[3] = d;
  n.attr(attr::Expand::kTile) = 0;
  return true;
}

// Tile by constant repeats of at most 8 on each axis: one Concat of copies
// per repeated axis.
bool tile_to_concats(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in) || n.input_count() < 2 || !L.has_data(n.input(1))) return false;
  int64_t r[6];
  const BuilderValue x = L.v(in);
  uint64_t count = const_i64_list(L.s, n.input(1), r);
  if (count == 0 || count != x.rank || L.v(n.input(1)).size / 8 != count) return false;
  uint64_t axes[6], m = 0;
  uint64_t dims[kBuilderRank];
  std::memcpy(dims, x.dims, sizeof dims);
  for (uint64_t k = 0; k < count; ++k) {
    if (r[k] < 1 || r[k] > 8) return false;
    if (r[k] > 1) axes[m++] = k;
  }
  if (m == 0) return false;
  uint64_t src = in;
  for (uint64_t j = 0; j < m; ++j) {
    const uint64_t a = axes[j];
    dims[a] *= static_cast<uint64_t>(r[a]);
    uint64_t dst = out;
    if (j + 1 < m) {
      char suffix[16];
      int len = std::snprintf(suffix, sizeof suffix, "#tile%llu", static_cast<unsigned long long>(j));
      dst = builder_derive_value(L.s, out, suffix, static_cast<uint64_t>(len));
      if (dst == kNoValue || dst == out) return false;
    }
    set_shape(L.v(dst), x.rank, dims);
    BuilderNode* c = j == 0 ? &L.s.nodes[L.node] : insert_after_current(L);
    if (c == nullptr) return false;
    c->w[0] = op::Concat;
    c->w[1] = static_cast<uint64_t>(r[a]);
    for (uint64_t k = 0; k < 8; ++k) c->w[2 + k] = k < static_cast<uint64_t>(r[a]) ? src : kNoIndex;
    c->w[10] = 1;
    c->w[11] = dst;
    c->attr(attr::Concat::kAxis) = a;
    c->attr(attr::Expand::kTile) = 0;
    src = dst;
  }
  return true;
}


// Self-identities go; in legacy mode so do the nodes whose results reach no
// graph output: the name-matched rewrites cut graphs and leave nodes behind
// that read values nothing computes any more, which the GPU engine refuses.
void final_sweep(BuilderState& s, bool legacy) {
  std::vector<uint8_t> live = legacy ? graph_live_nodes(s) : std::vector<uint8_t>(s.node_count, 1);
  uint64_t kept = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    if ((n.op() == op::Identity && n.input(0) == n.output(0)) || !live[i]) continue;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
      if (n.input(k) < s.value_count) s.values[n.input(k)].padded_size = 111;
    if (kept != i) {
      s.nodes[kept] = n;
      s.origin[kept] = s.origin[i];
    }
    ++kept;
  }
  if (kept > 0) s.node_count = kept;
  for (uint64_t i = 0; i < s.value_count; ++i) {
    BuilderValue& v = s.values[i];
    if (v.kind == kValueWeight &&
        !(v.elem == kElemF32 && v.data != nullptr && v.size != 0 && v.padded_size == 111)) {
      v.kind = kValueActivation;
      v.rank = 0;
    }
    v.padded_size = 0;
  }
}

}  // namespace

bool lower_graph(BuilderState& s) {
  Lower L{s, s.options != nullptr};
  if (s.node_count >= 1) {
    if (!L.options) raw_sigmoid_rewrite(L);
    L.end = s.node_count;
    for (uint64_t i = 0; i < L.end && i < kMaxNodes; ++i) {
      L.node = i;
      L.inserted = 0;
      BuilderNode& n = s.nodes[i];
      const uint64_t op = n.op();
      for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
        if (n.input(k) != kNoIndex && n.input(k) >= s.value_count) return L.refuse("an input names no value");
      for (uint64_t k = 0; k < n.output_count() && k < 4; ++k)
        if (n.output(k) >= s.value_count) return L.refuse("an output names no value");
      if (n.output_count() == 0) return L.refuse("the node has no output");
      if (n.input_count() == 0 || n.input(0) >= s.value_count) return L.refuse("input 0 is missing");
      if (L.options) {
        int32_t folded = fold_node(s, i);
        if (folded < 0) return L.stop(kLowerFoldFailed);
        if (folded == 1) continue;
        if (op == op::OneHot) return L.stop(kLowerConvertTimeOnly);
        if (op == op::Expand && n.attr(attr::Import::kVariant) == 1 && !tile_to_expand(L, n)) {
          if (!tile_to_concats(L, n)) return L.stop(kLowerConvertTimeOnly);
          i += L.inserted;
          continue;
        }
        if ((op == op::Less || op == op::Greater) && n.attr(attr::Import::kVariant) == 1) return L.stop(kLowerConvertTimeOnly);
        if (op == 0 || op > kOpCodeCount) return L.refuse("no Vorn lowering for this operator");
        for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
          uint64_t in = n.input(k);
          if (L.valid(in) && s.convert_time[in] == 1 && s.values[in].elem == kElemF32 &&
              s.values[in].kind == kValueActivation)
            s.values[in].kind = kValueWeight;
        }
      }
      if ((op == op::Conv || op == op::MatMul) && n.attr(attr::kIntegerWeightWord) == attr::kIntegerWeightMarker &&
          n.input_count() >= 2 && !lower_integer_weights(L, n))
        return false;
      if (!lowering_rule(s.nodes[i].op())(L, s.nodes[i])) return false;
      if (L.options)
        for (uint64_t k = 0; k < s.nodes[i].output_count() && k < 4; ++k) {
          const BuilderValue& o = s.values[s.nodes[i].output(k)];
          if (o.rank > kBuilderRank) return L.refuse("an output of rank above 6");
        }
      i += L.inserted;
    }
  }
  final_sweep(s, !L.options);
  return true;
}

ByteString lowering_message(const BuilderState& s) {
  std::string name;
  uint64_t op = 0;
  if (s.failing_node < kMaxNodes && s.failing_node < s.node_count) {
    op = s.nodes[s.failing_node].op();
    name = node_label(s, s.failing_node);
  }
  Slice on = op_name(op);
  std::string op_text(reinterpret_cast<const char*>(on.ptr), on.len);
  std::string m;
  switch (s.lowering_error) {
    case kLowerGatherIndices:
      m = "unsupported Gather '" + name + "': constant indices other than 0..n-1 (the runtime Gather needs float indices)";
      break;
    case kLowerPad:
      m = "unsupported Pad '" + name +
          "': only constant zero padding after the data on dims 1 and 2 of a rank-4 NHWC tensor is supported";
      break;
    case kLowerWhere: m = "unsupported Where '" + name + "': a runtime condition over int64 values"; break;
    case kLowerRank4:
      m = "unsupported " + op_text + " '" + name + "': only 2-D spatial inputs (rank 4, NCHW) are supported";
      break;
    case kLowerScatterIndices:
      m = "unsupported ScatterND '" + name +
          "': its indices are computed at convert time from multi-dimensional int64 arithmetic, which the converter "
          "does not fold correctly yet";
      break;
    case kLowerFoldFailed:
      m = "constant folding failed at " + op_text + " '" + name + "': inconsistent shapes or indices";
      break;
    case kLowerConvertTimeOnly:
      m = "unsupported node '" + name +
          "': OneHot, LessOrEqual, GreaterOrEqual and Tile run only on values known at convert time";
      break;
    case kLowerPow: m = "unsupported Pow '" + name + "': only constant exponents 2, 0.5 and 1 are supported"; break;
    case kLowerRefused: m = "unsupported " + op_text + " '" + name + "': " + s.import_detail; break;
    default: m = "shape inference failed"; break;
  }
  return bytes_from_slice(m.data(), m.size());
}

}  // namespace vorn
