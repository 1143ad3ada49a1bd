#include "converter/decompose_ops.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/value_ops.h"

namespace vorn {

namespace {

const char kNameClash[] =
    "its intermediate values are named after its output ('<output>#<step>'), and the graph already holds a value "
    "of such a name";
const char kTableFull[] = "the model is larger than the converter's limits (16384 nodes, 32768 values)";

struct Chain {
  BuilderState& s;
  uint64_t out;  // the decomposed node's output: intermediate names derive from it
  bool full = false;
  // An intermediate name the graph holds already: the chain would write
  // over a value of the model (or read its own output) under it.
  bool clash = false;

  // The intermediate value "<out><suffix>", a value of its own.
  uint64_t value(const char* suffix) {
    if (full) return kNoIndex;
    const BuilderValue& o = s.values[out];
    std::string name(reinterpret_cast<const char*>(o.name), o.name_len);
    name += suffix;
    if (builder_find_value(s, reinterpret_cast<const uint8_t*>(name.data()), name.size()) != kNoValue) {
      clash = full = true;
      return kNoIndex;
    }
    uint64_t v = builder_derive_value(s, out, suffix, std::strlen(suffix));
    if (v == kNoValue || v == out) full = true;
    return full ? kNoIndex : v;
  }
  // A one-element F32 weight "<out><suffix>" holding c.
  uint64_t constant(const char* suffix, float c) {
    uint64_t v = value(suffix);
    if (full) return kNoIndex;
    const uint64_t dims[1] = {1};
    uint8_t* p = builder_set_const_data(s, v, kElemF32, 1, dims);
    if (p == nullptr) {
      full = true;
      return kNoIndex;
    }
    std::memcpy(p, &c, 4);
    s.values[v].kind = kValueWeight;
    s.convert_time[v] = 0;  // a weight of the model, not a value to fold away
    return v;
  }
  // Appends op(a[, b]) -> y; returns y.
  uint64_t node(uint64_t op, uint64_t a, uint64_t b, uint64_t y) {
    if (full) return kNoIndex;
    BuilderNode* n = builder_append_node(s);
    if (n == nullptr) {
      full = true;
      return kNoIndex;
    }
    n->w[0] = op;
    n->w[1] = b == kNoIndex ? 1 : 2;
    n->w[2] = a;
    n->w[3] = b;
    n->w[10] = 1;
    n->w[11] = y;
    return y;
  }
  uint64_t unary(uint64_t op, uint64_t a, const char* suffix) { return node(op, a, kNoIndex, value(suffix)); }
  uint64_t binary(uint64_t op, uint64_t a, uint64_t b, const char* suffix) { return node(op, a, b, value(suffix)); }
  // A one-axis reduction, dims kept.
  uint64_t reduce(uint64_t op, uint64_t a, uint64_t axis, const char* suffix) { return reduce_into(op, a, axis, value(suffix)); }
  uint64_t reduce_into(uint64_t op, uint64_t a, uint64_t axis, uint64_t y) {
    node(op, a, kNoIndex, y);
    if (full) return kNoIndex;
    BuilderNode& n = s.nodes[s.node_count - 1];
    n.attr(attr::Reduce::kKeepdims) = 1;
    n.attr(attr::Reduce::kAxesCount) = 1;
    n.attr(attr::Reduce::kAxis) = axis;
    return y;
  }
};

// Softplus = Relu(x) + Log(1 + Exp(-|x|)): the exponential never exceeds 1,
// so large inputs give x (or +inf for +inf) rather than an overflow.
void softplus(Chain& c, uint64_t x) {
  uint64_t e = c.unary(op::Exp, c.unary(op::Neg, c.unary(op::Abs, x, "#abs"), "#negabs"), "#exp");
  uint64_t l = c.unary(op::Log, c.binary(op::Add, e, c.constant("#one", 1.0f), "#onep"), "#log1p");
  c.node(op::Add, c.unary(op::Relu, x, "#relu"), l, c.out);
}

// Sign = (Greater(x, 0) - Less(x, 0)) / Equal(x, x): the comparisons give
// +-1 or 0 and map +-inf right; x == x fails only for NaN, where 0 / 0
// carries the NaN through as ONNX does.
void sign(Chain& c, uint64_t x) {
  uint64_t zero = c.constant("#zero", 0.0f);
  uint64_t d = c.binary(op::Sub, c.binary(op::Greater, x, zero, "#positive"), c.binary(op::Less, x, zero, "#negative"),
                        "#sign");
  c.node(op::Div, d, c.binary(op::Equal, x, x, "#ordered"), c.out);
}

// LogSoftmax = (x - max) - Log(Sum(Exp(x - max))) along the axis, into y.
void log_softmax(Chain& c, uint64_t x, uint64_t axis, uint64_t y) {
  uint64_t shifted = c.binary(op::Sub, x, c.reduce(op::ReduceMax, x, axis, "#max"), "#shifted");
  uint64_t sum = c.reduce(op::ReduceSum, c.unary(op::Exp, shifted, "#exp"), axis, "#sum");
  c.node(op::Sub, shifted, c.unary(op::Log, sum, "#logsum"), y);
}

// Before opset 13 LogSoftmax normalises the block of all dims from the axis
// on: the same chain on the [outer, block] Flatten, reshaped back.
void log_softmax_flattened(Chain& c, uint64_t x, uint64_t axis) {
  uint64_t flat = c.unary(op::Flatten, x, "#flat");
  if (c.full) return;
  BuilderNode& f = c.s.nodes[c.s.node_count - 1];
  f.attr(attr::Import::kAxesCount) = 1;
  f.attr(attr::Flatten::kAxis) = axis;
  f.attr(attr::kRawSigmoidFlattenWord) = 0;
  uint64_t normalised = c.value("#flatlsm");
  log_softmax(c, flat, 1, normalised);
  c.node(op::Reshape, normalised, c.unary(op::Shape, x, "#shape"), c.out);
}

// ReduceL2 = Sqrt(ReduceSum(x * x)) with the node's own axes and keepdims,
// accumulated in float like the reference runtime (so |x| above ~1.8e19
// overflows to +inf there as here).
void reduce_l2(Chain& c, const BuilderNode& node) {
  uint64_t sq = c.binary(op::Mul, node.input(0), node.input(0), "#square");
  uint64_t sum = c.value("#sumsq");
  if (c.full) return;
  BuilderNode* r = builder_append_node(c.s);
  if (r == nullptr) {
    c.full = true;
    return;
  }
  *r = node;
  r->w[0] = op::ReduceSum;
  r->w[2] = sq;
  r->w[10] = 1;
  r->w[11] = sum;
  for (int k = 12; k < 15; ++k) r->w[k] = kNoIndex;
  c.node(op::Sqrt, sum, kNoIndex, c.out);
}

}  // namespace

const char* decompose_variadic(BuilderState& s, const BuilderNode& node, bool* table_full) {
  *table_full = false;
  const uint64_t count = node.input_count();
  for (uint64_t k = 0; k < count; ++k)
    if (node.input(k) == kNoIndex) return "an empty input name";
  if (node.output_count() != 1 || node.output(0) == kNoIndex) return "needs one output";
  Chain c{s, node.output(0)};
  uint64_t acc = node.input(0);
  for (uint64_t k = 1; k < count && !c.full; ++k) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "#step%llu", static_cast<unsigned long long>(k));
    acc = c.node(node.op(), acc, node.input(k), k + 1 == count ? c.out : c.value(suffix));
  }
  if (c.clash) return kNameClash;
  *table_full = c.full;
  return nullptr;
}

const char* decompose_selu_zero(BuilderState& s, const BuilderNode& node, bool* table_full) {
  *table_full = false;
  if (node.input(0) == kNoIndex || node.output_count() != 1 || node.output(0) == kNoIndex)
    return "needs its input and one output";
  const float alpha = node.attr_f32(attr::Selu::kAlpha), gamma = node.attr_f32(attr::Selu::kGamma);
  Chain c{s, node.output(0)};
  const uint64_t x = node.input(0);
  const bool unscaled = alpha == 0.0f && gamma == 1.0f;
  uint64_t part = unscaled ? c.out : c.value("#unscaled");
  if (alpha == 0.0f) {
    c.node(op::Relu, x, kNoIndex, part);
  } else if (c.node(op::Selu, x, kNoIndex, part) != kNoIndex) {
    BuilderNode& selu = s.nodes[s.node_count - 1];
    selu.attr(attr::Selu::kAlpha) = f32_bits(alpha);
    selu.attr(attr::Selu::kGamma) = f32_bits(1.0f);
  }
  if (!unscaled) c.node(op::Mul, part, c.constant("#gamma", gamma), c.out);
  if (c.clash) return kNameClash;
  *table_full = c.full;
  return nullptr;
}

namespace {

// Mean = ReduceMean(x) into mean (or an intermediate), and when asked for
// InvStdDev = 1 / Sqrt(ReduceMean((x - Mean)^2) + epsilon) into inv_std_dev.
void layer_norm_chain(Chain& c, uint64_t x, uint64_t mean, uint64_t inv_std_dev, float epsilon) {
  const uint64_t last = ~uint64_t{0};  // axis -1
  const uint64_t m = c.reduce_into(op::ReduceMean, x, last, mean != kNoIndex ? mean : c.value("#mean"));
  if (inv_std_dev == kNoIndex) return;
  const uint64_t centred = c.binary(op::Sub, x, m, "#centred");
  const uint64_t variance = c.reduce(op::ReduceMean, c.binary(op::Mul, centred, centred, "#square"), last, "#variance");
  const uint64_t shifted = c.binary(op::Add, variance, c.constant("#epsilon", epsilon), "#variance_eps");
  c.node(op::Reciprocal, c.unary(op::Sqrt, shifted, "#std_dev"), kNoIndex, inv_std_dev);
}

// A graph output, or an input of some node.
bool is_read(const BuilderState& s, uint64_t v) {
  if (s.values[v].kind == kValueGraphOutput) return true;
  for (uint64_t i = 0; i < s.node_count; ++i)
    for (uint64_t k = 0; k < s.nodes[i].input_count() && k < 8; ++k)
      if (s.nodes[i].input(k) == v) return true;
  return false;
}

}  // namespace

const char* layer_norm_statistics(BuilderState& s) {
  for (uint64_t i = 0; i < s.node_count; ++i) {
    BuilderNode& ln = s.nodes[i];
    if (ln.op() != op::LayerNormalization || ln.output_count() < 2) continue;
    uint64_t stats[2] = {kNoIndex, kNoIndex};
    for (uint64_t k = 1; k < 3 && k < ln.output_count(); ++k)
      if (ln.output(k) < s.value_count && is_read(s, ln.output(k))) stats[k - 1] = ln.output(k);
    ln.w[10] = 1;
    ln.w[12] = ln.w[13] = kNoIndex;
    if ((stats[0] == kNoIndex && stats[1] == kNoIndex) || ln.input(0) >= s.value_count) continue;
    // The chain is appended, then moved up to follow the node, so that the
    // nodes stay in dependency order; it carries the node's origin.
    const uint64_t first = s.node_count;
    Chain c{s, stats[0] != kNoIndex ? stats[0] : stats[1]};
    layer_norm_chain(c, s.nodes[i].input(0), stats[0], stats[1], s.nodes[i].attr_f32(attr::Norm::kEpsilon));
    if (c.clash)
      return "a LayerNormalization's Mean or InvStdDev is computed by a chain whose intermediate values are named "
             "after it ('<output>#<step>'), and the graph already holds a value of such a name";
    if (c.full) return kTableFull;
    std::rotate(s.nodes + i + 1, s.nodes + first, s.nodes + s.node_count);
    std::rotate(s.origin + i + 1, s.origin + first, s.origin + s.node_count);
    const uint64_t added = s.node_count - first;
    for (uint64_t k = 1; k <= added; ++k) s.origin[i + k] = s.origin[i];
    i += added;
  }
  return nullptr;
}

Decompose decompose_kind(const uint8_t* op, uint64_t len) {
  if (text_equal(op, len, "Softplus")) return Decompose::kSoftplus;
  if (text_equal(op, len, "Sign")) return Decompose::kSign;
  if (text_equal(op, len, "LogSoftmax")) return Decompose::kLogSoftmax;
  if (text_equal(op, len, "ReduceL2")) return Decompose::kReduceL2;
  return Decompose::kNone;
}

const char* decompose_node(BuilderState& s, const BuilderNode& node, Decompose kind, bool* table_full) {
  *table_full = false;
  if (node.input_count() == 0 || node.input(0) == kNoIndex || node.output_count() == 0 ||
      node.output(0) == kNoIndex)
    return "needs its input and output";
  if (node.output_count() > 1) return "more than one output";
  // LogSoftmax before opset 13 with another axis than the last: its
  // flattened form needs the Shape folded at convert time.
  const bool flattened = kind == Decompose::kLogSoftmax && node.attr(attr::Softmax::kFlattened) == 1 &&
                         node.attr_i64(attr::Softmax::kAxis) != -1;
  if (flattened && s.options == nullptr)
    return "LogSoftmax before opset 13 converts with axis=-1 only here (it normalises the flattened dims from the "
           "axis on)";
  Chain c{s, node.output(0)};
  const uint64_t x = node.input(0);
  switch (kind) {
    case Decompose::kSoftplus: softplus(c, x); break;
    case Decompose::kSign: sign(c, x); break;
    case Decompose::kLogSoftmax:
      if (flattened) log_softmax_flattened(c, x, node.attr(attr::Softmax::kAxis));
      else log_softmax(c, x, node.attr(attr::Softmax::kAxis), c.out);
      break;
    case Decompose::kReduceL2: reduce_l2(c, node); break;
    case Decompose::kNone: return "no Vorn lowering for this operator";
  }
  if (c.clash) return kNameClash;
  *table_full = c.full;
  return nullptr;
}

}  // namespace vorn
