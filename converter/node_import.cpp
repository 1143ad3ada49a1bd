#include "converter/node_import.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/decompose_ops.h"
#include "converter/legacy_rewrites.h"
#include "converter/onnx_tensor.h"
#include "converter/protobuf_wire.h"
#include "converter/value_ops.h"

namespace vorn {

namespace {

using I = attr::Import;

struct Attr {
  const uint8_t* name = nullptr;
  uint64_t name_len = 0;
  bool has_f = false, has_i = false, has_s = false, has_t = false;
  float f = 0;
  int64_t i = 0;
  uint64_t s_off = 0, s_len = 0, t_off = 0, t_len = 0;
  int64_t ints[8] = {};
  uint64_t ints_count = 0;  // all values seen; the first 8 are kept
  bool is(const char* n) const { return text_equal(name, name_len, n); }
};

bool read_attr(const uint8_t* b, uint64_t start, uint64_t end, Attr& a) {
  uint64_t pos = start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) return true;
    if (st == PbStep::kBad) return false;
    switch (f.number) {
      case 1:
        if (f.wire == kWireLen) a.name = b + f.start, a.name_len = f.end - f.start;
        break;
      case 2:
        if (f.wire == kWireFixed32) {
          uint32_t bits = static_cast<uint32_t>(f.value);
          std::memcpy(&a.f, &bits, 4);
          a.has_f = true;
        }
        break;
      case 3:
        if (f.wire == kWireVarint) a.i = static_cast<int64_t>(f.value), a.has_i = true;
        break;
      case 4:
        if (f.wire == kWireLen) a.s_off = f.start, a.s_len = f.end - f.start, a.has_s = true;
        break;
      case 5:
        if (f.wire == kWireLen) a.t_off = f.start, a.t_len = f.end - f.start, a.has_t = true;
        break;
      case 8: {
        auto add = [&](uint64_t v) {
          if (a.ints_count < 8) a.ints[a.ints_count] = static_cast<int64_t>(v);
          ++a.ints_count;
        };
        if (f.wire == kWireVarint) add(f.value);
        if (f.wire == kWireLen)
          for (uint64_t p = f.start; p < f.end;) add(pb_read_varint(b, f.end, p));
        break;
      }
      default:
        break;
    }
  }
}

// Concat takes up to 64 inputs, split into a tree of 8-input Concats.
constexpr uint64_t kMaxConcatInputs = 64;
// Split gives up to 64 outputs, four to a node.
constexpr uint64_t kMaxSplitOutputs = 64;

struct Imported {
  uint64_t inputs[8];
  uint64_t input_count = 0;
  uint64_t extra[kMaxConcatInputs];  // every input while the list fits, for a wide Concat
  uint64_t total_inputs = 0;
  uint64_t outputs[4];
  uint64_t output_count = 0;
  uint64_t extra_outputs[kMaxSplitOutputs];  // every output while the list fits, for a wide Split
  uint64_t total_outputs = 0;
  uint64_t name_off = 0, name_len = 0, op_off = 0, op_len = 0, dom_off = 0, dom_len = 0;
};

bool fail(BuilderState& s, uint64_t reason) {
  s.import_reason = reason;
  return false;
}

bool refuse(BuilderState& s, const char* detail) {
  std::snprintf(s.import_detail, sizeof s.import_detail, "%s", detail);
  return fail(s, kImportUnsupportedAttribute);
}

bool refuse_op(BuilderState& s, const char* op, const char* what, const uint8_t* v, uint64_t vlen) {
  std::string text = std::string(op) + " " + what + " '" +
                     std::string(reinterpret_cast<const char*>(v), vlen < 60 ? vlen : 60) + "' is not supported";
  return refuse(s, text.c_str());
}

void set_f32(BuilderNode& n, uint64_t k, float f) { n.attr(k) = f32_bits(f); }

// A Constant given as value_float or value_int: a one-element weight.
bool constant_scalar(BuilderState& s, uint64_t out, const Attr& a, bool is_float) {
  auto* p = static_cast<uint8_t*>(std::malloc(8));
  if (p == nullptr) return fail(s, kImportTableFull);
  BuilderValue& v = s.values[out];
  builder_drop_data(v);
  v.kind = kValueWeight;
  std::memset(v.dims, 0, sizeof v.dims);
  if (is_float) {
    std::memcpy(p, &a.f, 4);
    v.elem = kElemF32;
    v.rank = 1;
    v.dims[0] = 1;
    v.size = 4;
  } else {
    std::memcpy(p, &a.i, 8);
    v.elem = kElemI64;
    v.rank = 0;
    v.size = 8;
  }
  v.data = p;
  v.owned = 1;
  s.convert_time[out] = 0;
  return true;
}

bool read_value_tensor(BuilderState& s, uint64_t out, const uint8_t* b, const Attr& a) {
  if (onnx_read_tensor(s, out, 1, b, a.t_off, a.t_off + a.t_len)) return true;
  ByteString t = onnx_tensor_error_text(s);
  std::snprintf(s.import_detail, sizeof s.import_detail, "%.*s", static_cast<int>(t.len < 255 ? t.len : 255),
                reinterpret_cast<const char*>(t.ptr));
  bytes_free(&t);
  return fail(s, kImportBadTensor);
}

// Conv over [N, C, L] as a 2-D Conv over [N, C, 1, L] between an Unsqueeze
// and a Squeeze: the engines run 2-D convolutions only. The weight [O, I, K]
// is read as [O, I, 1, K] by the lowering pass, which knows whether other
// nodes read it as it is.
bool conv1d_rewrite(BuilderState& s, BuilderNode& conv) {
  uint64_t out = conv.output(0);
  uint64_t unsq = builder_derive_value(s, out, "#unsqueeze", 10);
  uint64_t c2d = builder_derive_value(s, out, "#conv2d", 7);
  if (unsq == kNoValue || c2d == kNoValue || unsq == out || c2d == out) return fail(s, kImportTableFull);
  if (s.node_count + 2 > kMaxNodes) return fail(s, kImportTableFull);
  BuilderNode saved = conv;
  --s.node_count;  // re-append in order: Unsqueeze, Conv, Squeeze
  BuilderNode* u = builder_append_node(s);
  u->w[0] = op::Unsqueeze;
  u->w[1] = 1;
  u->w[2] = saved.input(0);
  u->w[10] = 1;
  u->w[11] = unsq;
  u->attr(attr::Axes::kAxesCount) = 1;
  u->attr(attr::Axes::kAxis) = 2;
  set_f32(*u, attr::Import::kAlpha, 1.0f);
  set_f32(*u, attr::Import::kBeta, 1.0f);
  BuilderNode* c = builder_append_node(s);
  *c = saved;
  c->w[2] = unsq;
  c->w[11] = c2d;
  if (c->attr(attr::Window::kKernelH) == 0) c->attr(attr::Window::kKernelH) = 1;
  BuilderNode* q = builder_append_node(s);
  q->w[0] = op::Squeeze;
  q->w[1] = 1;
  q->w[2] = c2d;
  q->w[10] = 1;
  q->w[11] = out;
  q->attr(attr::Axes::kAxesCount) = 1;
  q->attr(attr::Axes::kAxis) = 2;
  set_f32(*q, attr::Import::kAlpha, 1.0f);
  set_f32(*q, attr::Import::kBeta, 1.0f);
  return true;
}

// Dropout at inference passes its input through (and its mask is all
// true): without a training_mode, with a constant false one, or with a
// constant ratio of 0. Otherwise it drops values at random.
bool dropout_is_identity(const BuilderState& s, const uint64_t* inputs, uint64_t count) {
  auto constant = [&](uint64_t k, float* out) {
    if (k >= count || inputs[k] == kNoIndex) return false;
    const BuilderValue& v = s.values[inputs[k]];
    return builder_const_scalar_f32(s, v.name, v.name_len, out);
  };
  float training = 0.0f, ratio = 0.5f;  // ONNX's defaults
  if (count > 2 && inputs[2] != kNoIndex && !constant(2, &training)) return false;
  if (training == 0.0f) return true;
  return constant(1, &ratio) && ratio == 0.0f;
}

// An Identity from the weight `from` to the graph output `to`.
bool constant_output(BuilderState& s, uint64_t from, uint64_t to) {
  BuilderNode* n = builder_append_node(s);
  if (n == nullptr) return fail(s, kImportTableFull);
  n->w[0] = op::Identity;
  n->w[1] = 1;
  n->w[2] = from;
  n->w[10] = 1;
  n->w[11] = to;
  set_f32(*n, attr::Import::kAlpha, 1.0f);
  set_f32(*n, attr::Import::kBeta, 1.0f);
  return true;
}

// NonMaxSuppression keeps its limits in attribute words (the encoding of
// kernels/ops/detection.h): a0 the boxes per class, a14 the IoU threshold
// and a15 the score threshold. Constant inputs give the values now; inputs
// left in place still override the words at run time. Absent inputs take
// ONNX's meaning: IoU threshold 0 and no score threshold.
void nms_words(const BuilderState& s, BuilderNode& node, const uint64_t* inputs, uint64_t count) {
  auto constant = [&](uint64_t k, float* out) {
    if (k >= count || inputs[k] == kNoIndex) return false;
    const BuilderValue& v = s.values[inputs[k]];
    return builder_const_scalar_f32(s, v.name, v.name_len, out);
  };
  float f;
  node.attr(attr::NonMaxSuppression::kMaxBoxes) = 0;
  if (constant(2, &f) && f > 0.0f) node.attr(attr::NonMaxSuppression::kMaxBoxes) = static_cast<uint64_t>(f);
  set_f32(node, attr::NonMaxSuppression::kIouThreshold, constant(3, &f) ? f : 0.0f);
  node.attr(attr::NonMaxSuppression::kScoreThreshold) =
      constant(4, &f) ? f32_bits(f) : attr::NonMaxSuppression::kNoScoreThreshold;
}

// A Concat of more than 8 inputs (at most 64) as Concats of 8 into partial
// values "<output>#concat<k>" and one Concat of the partials: the node
// records hold 8 inputs, and concatenation along one axis regroups freely.
bool wide_concat(BuilderState& s, const BuilderNode& node, const uint64_t* inputs, uint64_t count) {
  const uint64_t groups = (count + 7) / 8;
  if (s.node_count + groups + 1 > kMaxNodes) return fail(s, kImportTableFull);
  BuilderNode last = node;
  last.w[1] = groups;
  for (uint64_t k = 2; k < 10; ++k) last.w[k] = kNoIndex;
  for (uint64_t g = 0; g < groups; ++g) {
    char suffix[16];
    int n = std::snprintf(suffix, sizeof suffix, "#concat%llu", static_cast<unsigned long long>(g));
    uint64_t part = builder_derive_value(s, node.output(0), suffix, static_cast<uint64_t>(n));
    if (part == kNoValue || part == node.output(0)) return fail(s, kImportTableFull);
    BuilderNode* c = builder_append_node(s);
    *c = node;
    uint64_t take = count - g * 8 < 8 ? count - g * 8 : 8;
    c->w[1] = take;
    for (uint64_t k = 0; k < 8; ++k) c->w[2 + k] = k < take ? inputs[g * 8 + k] : kNoIndex;
    c->w[10] = 1;
    c->w[11] = part;
    for (uint64_t k = 12; k < 15; ++k) c->w[k] = kNoIndex;
    last.w[2 + g] = part;
  }
  BuilderNode* c = builder_append_node(s);
  *c = last;
  return true;
}

// A Split of more than four outputs as one Split node per four outputs:
// node records hold four outputs. Every node keeps the whole Split's
// inputs; the lowering finds which outputs a node has from its NodeProto
// and turns each into a Slice, or a constant when the input is one.
bool wide_split(BuilderState& s, const BuilderNode& node, const uint64_t* outputs, uint64_t count) {
  const uint64_t groups = (count + 3) / 4;
  if (s.node_count + groups > kMaxNodes) return fail(s, kImportTableFull);
  for (uint64_t g = 0; g < groups; ++g) {
    BuilderNode* part = builder_append_node(s);
    *part = node;
    const uint64_t take = count - g * 4 < 4 ? count - g * 4 : 4;
    part->w[10] = take;
    for (uint64_t k = 0; k < 4; ++k) part->w[11 + k] = k < take ? outputs[g * 4 + k] : kNoIndex;
  }
  return true;
}

// Resize as the engines run it: bilinear with half-pixel centres or aligned
// corners, or nearest with integer factors, which equals ONNX's nearest only
// for these coordinate and rounding modes.
const char* resize_refusal(const uint8_t* mode, uint64_t mode_len, const uint8_t* coord, uint64_t coord_len,
                           const uint8_t* nearest, uint64_t nearest_len, bool antialias, bool aspect_policy) {
  auto is = [](const uint8_t* p, uint64_t n, const char* t) { return p != nullptr && text_equal(p, n, t); };
  bool linear = is(mode, mode_len, "linear");
  if (is(mode, mode_len, "cubic")) return "Resize mode 'cubic' is not supported";
  if (antialias) return "Resize with antialias=1 is not supported";
  if (aspect_policy) return "Resize with a keep_aspect_ratio_policy other than 'stretch' is not supported";
  bool half_pixel = coord == nullptr || is(coord, coord_len, "half_pixel") || is(coord, coord_len, "pytorch_half_pixel");
  bool asymmetric = is(coord, coord_len, "asymmetric");
  if (linear) {
    if (!half_pixel && !is(coord, coord_len, "align_corners"))
      return "linear Resize supports coordinate_transformation_mode half_pixel, pytorch_half_pixel and align_corners only";
    return nullptr;
  }
  bool prefer_floor = nearest == nullptr || is(nearest, nearest_len, "round_prefer_floor");
  bool prefer_ceil = is(nearest, nearest_len, "round_prefer_ceil");
  bool floor = is(nearest, nearest_len, "floor");
  if ((half_pixel && (prefer_floor || prefer_ceil)) || (asymmetric && (prefer_floor || floor))) return nullptr;
  return "nearest Resize supports (half_pixel, round_prefer_floor or round_prefer_ceil) and (asymmetric, floor or "
         "round_prefer_floor) only";
}

}  // namespace

// Default-domain op_types map to the operator of the same name, for every
// operator of the list named after an ONNX one, except Cast, which imports
// as a tagged Identity (its runtime form is chosen by the lowering). The
// system's own operators are produced only by rewrites.
uint64_t onnx_op_code(const uint8_t* op, uint64_t len) {
  for (const OpInfo& e : kOpList)
    if (e.origin == OpOrigin::kOnnx && e.code != op::Cast && text_equal(op, len, e.name)) return e.code;
  return 0;
}

const char* node_import_reason_text(const BuilderState& s) {
  switch (s.import_reason) {
    case kImportMalformed: return "malformed attribute";
    case kImportConstantWithoutValue: return "Constant without a value";
    case kImportEinsum: return "its equation is not interpreted (Einsum converts only in the legacy [h] [w] form)";
    case kImportUnsupportedAttribute:
    case kImportBadTensor: return s.import_detail;
    case kImportTableFull: return "the model is larger than the converter's limits (16384 nodes, 32768 values)";
    default: return "no Vorn lowering for this operator";
  }
}

bool onnx_import_node(BuilderState& s, const uint8_t* b, uint64_t start, uint64_t end) {
  s.import_detail[0] = 0;
  if (s.import_stopped) return true;
  const bool options = s.options != nullptr;
  Imported m;
  for (uint64_t& i : m.inputs) i = kNoIndex;
  for (uint64_t& o : m.outputs) o = kNoIndex;
  // Pass 1: names, op_type and domain.
  uint64_t pos = start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) break;
    if (st == PbStep::kBad) return fail(s, kImportMalformed);
    if (f.wire != kWireLen) continue;
    uint64_t len = f.end - f.start;
    if (f.number == 1) {
      ++m.total_inputs;
      // Without options only the first eight inputs are read at all.
      if (m.total_inputs > kMaxConcatInputs || (m.total_inputs > 8 && !options)) continue;
      uint64_t v = kNoIndex;
      if (len != 0) {
        v = builder_intern_value(s, b + f.start, len);
        if (v == kNoValue) return fail(s, kImportTableFull);
      }
      m.extra[m.total_inputs - 1] = v;
      if (m.input_count < 8) m.inputs[m.input_count++] = v;
    } else if (f.number == 2) {
      ++m.total_outputs;
      if (m.total_outputs > kMaxSplitOutputs) continue;
      uint64_t v = builder_intern_value(s, b + f.start, len);
      if (v == kNoValue) return fail(s, kImportTableFull);
      m.extra_outputs[m.total_outputs - 1] = v;
      if (m.output_count < 4) m.outputs[m.output_count++] = v;
    } else if (f.number == 3) {
      m.name_off = f.start, m.name_len = len;
    } else if (f.number == 4) {
      m.op_off = f.start, m.op_len = len;
    } else if (f.number == 7) {
      m.dom_off = f.start, m.dom_len = len;
    }
  }
  const uint8_t* op = b + m.op_off;
  const uint8_t* name = b + m.name_off;
  bool default_domain = m.dom_len == 0 || text_equal(b + m.dom_off, m.dom_len, "ai.onnx");

  LegacyStep legacy = legacy_rewrite_before(s, b, name, m.name_len, op, m.op_len, m.inputs, m.input_count,
                                            m.outputs, m.output_count);
  if (legacy == LegacyStep::kAccepted) return true;
  if (legacy == LegacyStep::kRefused) return fail(s, kImportUnsupportedAttribute);  // detail set by the rewrite

  // The operator code and the special forms of the op_types without one.
  bool is_constant = default_domain && text_equal(op, m.op_len, "Constant");
  uint64_t code = default_domain ? onnx_op_code(op, m.op_len) : 0;
  bool is_cast = false, integer_weight = false, or_equal = false, tile = false, einsum = false;
  bool scatter_elements = false, global_max = false, dropout = false;
  Decompose decompose = Decompose::kNone;
  if (default_domain && code == 0) {
    if (text_equal(op, m.op_len, "Dropout")) code = op::Identity, dropout = true;
    // Imported as chains of other operators, attributes read as for the
    // operator each chain is built around.
    else if ((decompose = decompose_kind(op, m.op_len)) != Decompose::kNone)
      code = decompose == Decompose::kLogSoftmax ? op::Softmax : decompose == Decompose::kReduceL2 ? op::ReduceSum : op::Identity;
    else if (text_equal(op, m.op_len, "GlobalMaxPool")) code = op::ReduceMax, global_max = true;
    else if (text_equal(op, m.op_len, "Cast")) code = op::Identity, is_cast = true;
    else if (text_equal(op, m.op_len, "MatMulInteger")) code = op::MatMul, integer_weight = true;
    else if (text_equal(op, m.op_len, "ConvInteger")) code = op::Conv, integer_weight = true;
    else if (text_equal(op, m.op_len, "LessOrEqual")) code = op::Less, or_equal = options;
    else if (text_equal(op, m.op_len, "GreaterOrEqual")) code = op::Greater, or_equal = options;
    else if (text_equal(op, m.op_len, "Tile")) code = op::Expand, tile = options;
    else if (text_equal(op, m.op_len, "Einsum")) {
      if (options) return fail(s, kImportEinsum);
      code = op::MatMul, einsum = true;
    } else if (text_equal(op, m.op_len, "ScatterElements")) {
      if (legacy == LegacyStep::kScatterAsIdentity) {
        code = op::Identity;
      } else if (options) {
        // The engines' ScatterND takes indices and updates of the data's
        // rank element by element along the axis: ScatterElements, marked
        // in a13 for the lowering pass.
        code = op::ScatterND, scatter_elements = true;
      } else {
        return refuse(s, "ScatterElements indexes element by element and is not ScatterND; no Vorn lowering keeps its meaning");
      }
    }
  }
  if (legacy == LegacyStep::kScatterAsIdentity && code == op::ScatterND) code = op::Identity;
  if (code == op::OneHot && !options) return fail(s, kImportNoLowering);
  if (code == 0 && !is_constant) return fail(s, kImportNoLowering);

  // Pass 2: attributes.
  BuilderNode node;
  std::memset(&node, 0, sizeof node);
  builder_default_attrs(node);
  bool a14_given = false, a15_given = false, axis_given = false, value_seen = false;
  bool d2s_crd = false, last_index = false, approx_tanh = false, center_box = false;
  bool too_many_axes = false;
  bool batch_dims = false, dilated = false, antialias = false, aspect_policy = false;
  const uint8_t* coord_mode = nullptr;
  uint64_t coord_mode_len = 0;
  const uint8_t* nearest_mode = nullptr;
  uint64_t nearest_mode_len = 0;
  const uint8_t* pad_mode = nullptr;
  uint64_t pad_mode_len = 0;
  const uint8_t* resize_mode = nullptr;
  uint64_t resize_mode_len = 0;
  Attr value_attr;
  pos = start;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) break;
    if (st == PbStep::kBad) return fail(s, kImportMalformed);
    if (f.number != 5 || f.wire != kWireLen) continue;
    Attr a;
    if (!read_attr(b, f.start, f.end, a)) return fail(s, kImportMalformed);
    uint64_t n = a.ints_count < 8 ? a.ints_count : 8;
    auto& w = node;
    if (a.is("dilations"))
      for (uint64_t k = 0; k < n; ++k) dilated |= a.ints[k] != 1;
    if (a.is("kernel_shape") || a.is("strides") || a.is("dilations")) {
      uint64_t k0 = a.is("kernel_shape") ? attr::Import::kKernelShape : a.is("strides") ? attr::Import::kStrides : attr::Import::kDilations;
      if (n >= 2) w.attr(k0) = a.ints[0], w.attr(k0 + 1) = a.ints[1];
      if (n == 1) w.attr(k0) = 1, w.attr(k0 + 1) = a.ints[0];
    } else if (a.is("pads")) {
      // Two pads are the begin and end of one axis: the second one.
      if (n == 2) w.attr(I::kPads) = 0, w.attr(I::kPads + 1) = a.ints[0], w.attr(I::kPads + 2) = 0, w.attr(I::kPads + 3) = a.ints[1];
      if (n >= 4)
        for (uint64_t k = 0; k < 4; ++k) w.attr(I::kPads + k) = a.ints[k];
    } else if (a.is("perm") || a.is("split")) {
      if (a.ints_count >= 1) {
        w.attr(I::kListCount) = a.ints_count;
        for (uint64_t k = 0; k < n && k < I::kListMax; ++k) w.attr(I::kList + k) = a.ints[k];
      }
    } else if (a.is("starts")) {
      if (a.ints_count >= 1) w.attr(I::kStarts) = a.ints[0], w.attr(I::kStartsGiven) = 1;
    } else if (a.is("ends")) {
      if (a.ints_count >= 1) w.attr(I::kEnds) = a.ints[0], w.attr(I::kEndsGiven) = 1;
    } else if (a.is("axes")) {
      if (a.ints_count >= 1) {
        w.attr(I::kAxis) = a.ints[0];
        w.attr(I::kAxesCount) = a.ints_count;
        if (a.ints_count >= 2) w.attr(I::kSecondAxis) = a.ints[1];
        axis_given = true;
        too_many_axes = a.ints_count > 2;
      }
    } else if (a.is("axis")) {
      w.attr(I::kAxis) = a.i, w.attr(I::kAxesCount) = 1, axis_given = true;
    } else if (a.is("start")) {
      w.attr(I::kStart) = a.i, w.attr(I::kStartEndGiven) |= I::kStartGivenBit;
    } else if (a.is("end")) {
      w.attr(I::kEnd) = a.i, w.attr(I::kStartEndGiven) |= I::kEndGivenBit;
    } else if (a.is("group")) {
      w.attr(I::kGroup) = a.i;
    } else if (a.is("transA") || a.is("exclusive")) {
      w.attr(I::kTransA) = a.i;  // or exclusive, the same word
    } else if (a.is("transB") || a.is("reverse")) {
      w.attr(I::kTransB) = a.i;  // or reverse, the same word
    } else if (a.is("keepdims") || a.is("blocksize") || a.is("to")) {
      w.attr(I::kKeepdims) = a.i;  // or blocksize or to, the same word
    } else if (a.is("batch_dims")) {
      w.attr(I::kBatchDims) = a.i;
      batch_dims = a.i != 0;
    } else if (a.is("alpha") || a.is("epsilon")) {
      set_f32(w, I::kAlpha, a.f), a14_given = true;
    } else if (a.is("beta") || a.is("gamma")) {
      set_f32(w, I::kBeta, a.f), a15_given = true;
    } else if (a.is("auto_pad")) {
      if (text_equal(b + a.s_off, a.s_len, "SAME_UPPER")) w.attr(I::kAutoPad) = I::kSameUpper;
      if (text_equal(b + a.s_off, a.s_len, "SAME_LOWER")) w.attr(I::kAutoPad) = I::kSameLower;
    } else if (a.is("mode")) {
      if (text_equal(b + a.s_off, a.s_len, "linear") || text_equal(b + a.s_off, a.s_len, "cubic")) w.attr(I::kLinearMode) = 1;
      d2s_crd = text_equal(b + a.s_off, a.s_len, "CRD");
      pad_mode = resize_mode = b + a.s_off;
      pad_mode_len = resize_mode_len = a.s_len;
    } else if (a.is("coordinate_transformation_mode")) {
      if (text_equal(b + a.s_off, a.s_len, "align_corners")) w.attr(I::kAlignCorners) = 1;
      coord_mode = b + a.s_off, coord_mode_len = a.s_len;
    } else if (a.is("nearest_mode")) {
      nearest_mode = b + a.s_off, nearest_mode_len = a.s_len;
    } else if (a.is("antialias")) {
      antialias = a.i != 0;
    } else if (a.is("keep_aspect_ratio_policy")) {
      aspect_policy = !text_equal(b + a.s_off, a.s_len, "stretch");
    } else if (a.is("equation")) {
      if (a.s_len >= 6 && b[a.s_off + 5] == 'w') w.attr(I::kEquationW) = 1;
    } else if (a.is("value")) {
      if (a.has_t && a.t_len != 0) value_attr = a, value_seen = true;
    } else if (a.is("value_float") && a.has_f) {
      value_attr = a, value_seen = true;
    } else if (a.is("value_int") && a.has_i) {
      value_attr = a, value_seen = true;
    } else if (a.is("fmod")) {
      if (code == op::Mod) w.attr(I::kFmod) = a.i != 0 ? 1 : 0;
    } else if (a.is("largest")) {
      if (code == op::TopK) w.attr(I::kSmallest) = a.i == 0 ? 1 : 0;
    } else if (a.is("select_last_index")) {
      last_index = a.i != 0;
    } else if (a.is("approximate")) {
      approx_tanh = text_equal(b + a.s_off, a.s_len, "tanh");
    } else if (a.is("center_point_box")) {
      center_box = a.i != 0;
    }
  }

  // Attribute values whose meaning the engines do not implement.
  if (code == op::DepthToSpace && !d2s_crd && !options)
    return refuse(s, "DepthToSpace in DCR mode (the default) is not supported: the engines run CRD only");
  if (code == op::ArgMax && last_index) return refuse(s, "ArgMax with select_last_index=1 is not supported");
  if (code == op::Pad && pad_mode != nullptr && !text_equal(pad_mode, pad_mode_len, "constant"))
    return refuse_op(s, "Pad", "mode", pad_mode, pad_mode_len);
  if (options) {
    // Pooling's ceil_mode and AveragePool's count_include_pad are lowered
    // as end padding and a divisor map (the lowering pass reads them).
    if (code == op::Resize) {
      if (const char* why = resize_refusal(resize_mode, resize_mode_len, coord_mode, coord_mode_len, nearest_mode,
                                           nearest_mode_len, antialias, aspect_policy))
        return refuse(s, why);
    }
    if ((code == op::MaxPool || code == op::AveragePool) && dilated)
      return refuse(s, "pooling with dilations is not supported");
    if (code == op::MaxPool && m.output_count > 1) return refuse(s, "MaxPool with an Indices output is not supported");
    if (m.total_outputs > 4 && code != op::Split) return refuse(s, "more than 4 outputs are not supported");
    if (batch_dims) return refuse(s, "batch_dims other than 0 is not supported");
    if (m.total_inputs > 8 && (code != op::Concat || m.total_inputs > kMaxConcatInputs))
      return refuse(s, "more than 8 inputs are not supported (Concat takes up to 64)");
    // Pad's constant_value and Clip's bounds are read by the lowering pass.
    if (code == op::Gelu && approx_tanh) return refuse(s, "Gelu with approximate='tanh' is not supported");
    if (dropout && !dropout_is_identity(s, m.inputs, m.input_count))
      return refuse(s, "Dropout in training mode (training_mode not a constant false, ratio not a constant 0) drops "
                       "values at random");
    if (code == op::NonMaxSuppression && center_box) return refuse(s, "NonMaxSuppression with center_point_box=1 is not supported");
    // ConvTranspose's output_padding and output_shape are read by the lowering pass.
    if ((code == op::Squeeze || code == op::Unsqueeze) && too_many_axes)
      return refuse(s, "more than two axes given as attributes are not supported");
  }

  if (is_constant) {
    if (m.output_count == 0 || !value_seen) return fail(s, kImportConstantWithoutValue);
    // A graph output keeps its place: the constant becomes a weight of its
    // own, which an Identity writes to the output at run time.
    const uint64_t out = m.outputs[0];
    const bool graph_output = s.values[out].kind == kValueGraphOutput;
    uint64_t into = out;
    if (graph_output) {
      into = builder_derive_value(s, out, "#constant", 9);
      if (into == kNoValue || into == out) return fail(s, kImportTableFull);
    }
    bool read = value_attr.is("value_float")  ? constant_scalar(s, into, value_attr, true)
                : value_attr.is("value_int") ? constant_scalar(s, into, value_attr, false)
                                             : read_value_tensor(s, into, b, value_attr);
    if (!read || !graph_output) return read;
    if (s.values[into].elem == kElemI64) return refuse(s, "a Constant of int64 values as a graph output is not supported");
    return constant_output(s, into, out);
  }
  if (code == op::ConstantOfShape && value_seen && value_attr.is("value") && m.output_count != 0)
    if (!read_value_tensor(s, m.outputs[0], b, value_attr)) return false;

  // Float defaults by the operator finally chosen, then the import markers.
  float d14 = 1.0f, d15 = 1.0f;
  if (code == op::HardSigmoid) d14 = 0.2f, d15 = 0.5f;
  if (code == op::LayerNormalization || code == op::BatchNormalization || code == op::InstanceNormalization) d14 = 1e-5f;
  if (code == op::LeakyRelu) d14 = 0.01f;
  if (code == op::Selu) d14 = 1.67326319217681884765625f, d15 = 1.05070102214813232421875f;
  if (!a14_given) set_f32(node, I::kAlpha, d14);
  if (!a15_given) set_f32(node, I::kBeta, d15);
  // Elu with alpha given as 0 is x for x >= 0 and 0 elsewhere: a Relu. (The
  // Elu kernel reads a zero alpha as the default 1, and stored models rely
  // on that.)
  if (code == op::Elu && a14_given && node.attr_f32(I::kAlpha) == 0.0f) {
    code = op::Relu;
    set_f32(node, I::kAlpha, d14);
  }
  const bool selu_zero = code == op::Selu && ((a14_given && node.attr_f32(I::kAlpha) == 0.0f) ||
                                              (a15_given && node.attr_f32(I::kGamma) == 0.0f));
  if (is_cast) node.attr(attr::kCastTagWord) = attr::kCastTag;
  if (integer_weight) node.attr(attr::kIntegerWeightWord) = attr::kIntegerWeightMarker;
  if (or_equal || tile || scatter_elements) node.attr(I::kVariant) = 1;
  // DepthToSpace in DCR order (options mode) is rearranged by the lowering pass.
  if (code == op::DepthToSpace && !d2s_crd) node.attr(I::kVariant) = 1;
  // GlobalMaxPool: the maximum over axes 2 and 3, dims kept.
  if (global_max) node.attr(I::kAxesCount) = 2, node.attr(I::kAxis) = 2, node.attr(I::kSecondAxis) = 3;
  if (einsum) convert_notes().rewrites |= kRewriteSam;

  // Default axes by operator and opset.
  if (!axis_given) {
    if (code == op::Gather || code == op::Split || code == op::ArgMax || scatter_elements) node.attr(I::kAxis) = 0;
    if (code == op::TopK || code == op::OneHot || code == op::LayerNormalization) node.attr(I::kAxis) = ~uint64_t{0};
    if (code == op::Softmax && s.default_opset >= 13) node.attr(I::kAxis) = ~uint64_t{0};
  }
  if (code == op::Softmax && s.default_opset < 13) node.attr(I::kFlattenedSoftmax) = 1;

  if (code == op::NonMaxSuppression) nms_words(s, node, m.inputs, m.input_count);

  node.w[0] = code;
  node.w[1] = m.input_count;
  for (uint64_t k = 0; k < 8; ++k) node.w[2 + k] = m.inputs[k];
  node.w[10] = m.output_count;
  for (uint64_t k = 0; k < 4; ++k) node.w[11 + k] = m.outputs[k];
  if (code == op::Pad) node.w[1] = 1;

  if (decompose != Decompose::kNone) {
    if (decompose == Decompose::kReduceL2 && too_many_axes) return refuse(s, "more than two axes given as attributes are not supported");
    bool full = false;
    if (const char* why = decompose_node(s, node, decompose, &full)) return refuse(s, why);
    return full ? fail(s, kImportTableFull) : true;
  }
  if (!legacy_rewrite_node(s, node, name, m.name_len)) return true;  // replaced or dropped by a rewrite

  // Variadic Max and Min: one input is the value itself, more than two a
  // chain of the engines' two-input nodes.
  if ((code == op::Max || code == op::Min) && m.input_count != 2) {
    if (m.total_inputs > 8) return refuse(s, "more than 8 inputs are not supported");
    if (m.input_count == 0) return refuse(s, "no inputs");
    if (m.input_count == 1) {
      node.w[0] = op::Identity;
    } else {
      bool full = false;
      if (const char* why = decompose_variadic(s, node, &full)) return refuse(s, why);
      return full ? fail(s, kImportTableFull) : true;
    }
  }
  if (selu_zero) {
    bool full = false;
    if (const char* why = decompose_selu_zero(s, node, &full)) return refuse(s, why);
    return full ? fail(s, kImportTableFull) : true;
  }
  // Optional outputs given an empty name are not asked for.
  auto asked = [&](uint64_t k) {
    return k < m.output_count && m.outputs[k] != kNoIndex && s.values[m.outputs[k]].name_len != 0 ? m.outputs[k]
                                                                                                    : kNoIndex;
  };
  // LayerNormalization's Mean and InvStdDev stay outputs 1 and 2 until every
  // node is imported (layer_norm_statistics); Dropout's mask stays output 1
  // for the lowering, which knows its shape.
  if (code == op::LayerNormalization || dropout) {
    const uint64_t kept = dropout ? 2 : 3;
    for (uint64_t k = 1; k < 4; ++k) node.w[11 + k] = k < kept ? asked(k) : kNoIndex;
    node.w[10] = kept;
    while (node.w[10] > 1 && node.w[10 + node.w[10]] == kNoIndex) --node.w[10];
  }

  if (options && code == op::Concat && m.total_inputs > 8) return wide_concat(s, node, m.extra, m.total_inputs);
  if (code == op::Split && m.total_outputs > 4) {
    if (m.total_outputs > kMaxSplitOutputs) return refuse(s, "more than 64 outputs are not supported");
    return wide_split(s, node, m.extra_outputs, m.total_outputs);
  }

  BuilderNode* slot = builder_append_node(s);
  if (slot == nullptr) return fail(s, kImportTableFull);
  *slot = node;

  if (code == op::Conv && m.input_count >= 2 && m.output_count >= 1 && m.inputs[1] != kNoIndex &&
      m.outputs[0] != kNoIndex) {
    const BuilderValue& wv = s.values[m.inputs[1]];
    if (wv.kind == kValueWeight && wv.rank == 3) return conv1d_rewrite(s, *slot);
  }
  return true;
}

}  // namespace vorn
