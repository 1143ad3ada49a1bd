#include "converter/graph_check.h"

#include <cstdio>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/op_arity.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/onnx_model.h"

namespace vorn {

namespace {

std::string text_of(const uint8_t* p, uint64_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

std::string node_text(const BuilderState& s, uint64_t i) {
  Slice op = op_name(s.nodes[i].op());
  return text_of(op.ptr, op.len) + " '" + node_label(s, i) + "'";
}

}  // namespace

std::vector<uint8_t> graph_live_nodes(const BuilderState& s) {
  std::vector<uint8_t> needed(s.value_count, 0), live(s.node_count, 0);
  for (uint64_t i = 0; i < s.value_count; ++i) needed[i] = s.values[i].kind == kValueGraphOutput;
  for (uint64_t i = s.node_count; i-- > 0;) {
    const BuilderNode& n = s.nodes[i];
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k)
      if (n.output(k) < s.value_count && needed[n.output(k)]) live[i] = 1;
    if (!live[i]) continue;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
      if (n.input(k) < s.value_count) needed[n.input(k)] = 1;
  }
  return live;
}

namespace {

// The element count of a value as the writer records it: the product of
// the dims, and for rank 0 one element (none for an intermediate).
uint64_t recorded_count(const BuilderValue& v) {
  if (v.rank == 0) return v.kind == kValueActivation ? 0 : 1;
  uint64_t c = 1;
  for (uint64_t d = 0; d < v.rank && d < kBuilderRank; ++d) c *= v.dims[d];
  return c;
}

uint64_t dims_product(const BuilderValue& v, uint64_t from, uint64_t to) {
  uint64_t p = 1;
  for (uint64_t d = from; d < to && d < v.rank && d < kBuilderRank; ++d) p *= v.dims[d];
  return p;
}

bool axis_of(int64_t axis, uint64_t rank, uint64_t* out) {
  if (axis < 0) axis += static_cast<int64_t>(rank);
  if (axis < 0 || axis >= static_cast<int64_t>(rank)) return false;
  *out = static_cast<uint64_t>(axis);
  return true;
}

// Same rank and dims except on the axis.
bool same_but_axis(const BuilderValue& a, const BuilderValue& b, uint64_t axis) {
  if (a.rank != b.rank) return false;
  for (uint64_t d = 0; d < a.rank && d < kBuilderRank; ++d)
    if (d != axis && a.dims[d] != b.dims[d]) return false;
  return true;
}

// The runtime's limits on a model's graph inputs and outputs and on their
// names (the descriptors a session hands out).
constexpr uint64_t kRuntimeInputs = 8, kRuntimeOutputs = 64, kRuntimeNameBytes = 63;

// Operators whose kernels look an optional input up by position, so an
// omitted one (no value) may sit inside the input count; the others read
// every input they count.
bool skips_omitted_inputs(uint64_t op) {
  switch (op) {
    case op::Conv: case op::Gemm: case op::MatMul: case op::ConvTranspose: case op::LayerNormalization:
    case op::BatchNormalization: case op::InstanceNormalization: case op::MaxPool: case op::AveragePool:
    case op::GlobalAveragePool: case op::Resize: case op::GridSample: case op::DeformUnfold: case op::Erf:
    case op::Gelu: case op::Identity:
      return true;
    default:
      return false;
  }
}

// Operators whose kernels write as many elements as input 0 holds.
bool keeps_count(uint64_t op) {
  switch (op) {
    case op::Relu: case op::Sigmoid: case op::HardSigmoid: case op::HardSwish: case op::LeakyRelu: case op::Clip:
    case op::Sqrt: case op::Exp: case op::Tanh: case op::Cos: case op::Sin: case op::Log: case op::Abs: case op::Neg:
    case op::Floor: case op::Ceil: case op::Round: case op::Reciprocal: case op::Elu: case op::Selu: case op::Not:
    case op::Cast: case op::PRelu: case op::Flatten: case op::Transpose: case op::Softmax: case op::DepthToSpace:
    case op::SpaceToDepth: case op::CumSum: case op::Erf: case op::Gelu: case op::LayerNormalization:
      return true;
    default:
      return false;
  }
}

// Why the node's records do not fit its kernel; empty when they do.
std::string node_shape_fault(const BuilderState& s, const BuilderNode& n) {
  const BuilderValue& x = s.values[n.input(0)];
  const BuilderValue& y = s.values[n.output(0)];
  const uint64_t op = n.op();
  char text[160];
  if (keeps_count(op) && recorded_count(x) != recorded_count(y)) {
    std::snprintf(text, sizeof text, "its output holds %llu elements and its input %llu; the engines keep the count",
                  static_cast<unsigned long long>(recorded_count(y)), static_cast<unsigned long long>(recorded_count(x)));
    return text;
  }
  if (op == op::Identity && y.kind != kValueWeight && y.rank != 0 && n.input(0) != n.output(0) &&
      recorded_count(x) * (x.elem == kElemI64 ? 8 : 4) < recorded_count(y) * (y.elem == kElemI64 ? 8 : 4))
    return "its input holds fewer bytes than its output";
  uint64_t axis = 0;
  if (op == op::LayerNormalization) {
    // Normalised over the last axis, with one scale (and bias) per element of it.
    const uint64_t last = x.rank == 0 ? 0 : x.dims[x.rank - 1];
    for (uint64_t k = 1; k < 3 && k < n.input_count(); ++k)
      if (n.input(k) != kNoIndex && recorded_count(s.values[n.input(k)]) != last) {
        std::snprintf(text, sizeof text, "its %s holds %llu values, the last axis %llu", k == 1 ? "scale" : "bias",
                      static_cast<unsigned long long>(recorded_count(s.values[n.input(k)])),
                      static_cast<unsigned long long>(last));
        return text;
      }
  }
  if (op == op::Slice) {
    if (!axis_of(n.attr_i64(attr::Slice::kAxis), x.rank, &axis)) return "its axis lies outside the input's rank";
    const int64_t start = n.attr_i64(attr::Slice::kStart), len = n.attr_i64(attr::Slice::kLength);
    const int64_t step = n.attr_i64(attr::Slice::kStep) < 1 ? 1 : n.attr_i64(attr::Slice::kStep);
    if (start < 0 || len < 0) return "a negative start or length";
    if (len > 0 && (len - 1) * step + start >= static_cast<int64_t>(x.dims[axis])) {
      std::snprintf(text, sizeof text, "the slice reaches past the axis (%lld elements from %lld by %lld, the axis holds %llu)",
                    static_cast<long long>(len), static_cast<long long>(start), static_cast<long long>(step),
                    static_cast<unsigned long long>(x.dims[axis]));
      return text;
    }
    if (recorded_count(y) != dims_product(x, 0, axis) * static_cast<uint64_t>(len) * dims_product(x, axis + 1, x.rank))
      return "its output does not hold the slice's elements";
  }
  if (op == op::Concat) {
    if (!axis_of(n.attr_i64(attr::Concat::kAxis), y.rank, &axis)) return "its axis lies outside the output's rank";
    uint64_t sum = 0;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
      const BuilderValue& v = s.values[n.input(k)];
      if (!same_but_axis(v, y, axis)) return "an input differs from the output off the axis";
      sum += v.dims[axis];
    }
    if (sum != y.dims[axis]) return "its inputs do not add up to the output along the axis";
  }
  if (op == op::Split) {
    if (!axis_of(n.attr_i64(attr::Split::kAxis), x.rank, &axis)) return "its axis lies outside the input's rank";
    uint64_t sum = 0;
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
      const BuilderValue& v = s.values[n.output(k)];
      if (!same_but_axis(v, x, axis)) return "an output differs from the input off the axis";
      sum += v.dims[axis];
    }
    if (sum > x.dims[axis]) return "its outputs take more than the input holds along the axis";
  }
  return std::string();
}

}  // namespace

std::string graph_check_engines(const BuilderState& s) {
  uint64_t inputs = 0, outputs = 0;
  for (uint64_t i = 0; i < s.value_count; ++i) {
    const BuilderValue& v = s.values[i];
    if (v.kind != kValueGraphInput && v.kind != kValueGraphOutput) continue;
    const bool input = v.kind == kValueGraphInput;
    const std::string what = std::string("the graph ") + (input ? "input" : "output") + " '" +
                             text_of(v.name, v.name_len < 200 ? v.name_len : 200) + (v.name_len > 200 ? "...'" : "'");
    if (v.name_len > kRuntimeNameBytes)
      return what + " has a name of " + std::to_string(v.name_len) + " bytes; the runtime's tensor names hold at most " +
             std::to_string(kRuntimeNameBytes) + " bytes (rename it in the model)";
    for (uint64_t d = 0; input && d < v.rank && d < kBuilderRank; ++d)
      if (v.dims[d] == 0)
        return what + " has dimension " + std::to_string(d) +
               " of size 0: a dynamic dimension left unbound (give its size when converting)";
    const uint64_t count = ++(input ? inputs : outputs), limit = input ? kRuntimeInputs : kRuntimeOutputs;
    if (count > limit)
      return what + " is the model's " + std::to_string(count) + "th; the runtime takes at most " +
             std::to_string(limit) + " graph " + (input ? "inputs" : "outputs");
  }
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    const OpArity arity = op_arity(n.op());
    if (!arity.engine_runs())
      return "unsupported " + node_text(s, i) + ": no engine runs this operator; it converts only when its result is "
             "known at convert time";
    const bool ins = n.input_count() < arity.min_inputs || n.input_count() > arity.max_inputs;
    if (ins || n.output_count() < arity.min_outputs || n.output_count() > arity.max_outputs) {
      const uint64_t lo = ins ? arity.min_inputs : arity.min_outputs, hi = ins ? arity.max_inputs : arity.max_outputs;
      return "unsupported " + node_text(s, i) + ": the engines take " +
             (lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi)) +
             (ins ? " inputs" : " outputs") + " for it, the node has " +
             std::to_string(ins ? n.input_count() : n.output_count());
    }
    bool named = n.input(0) < s.value_count;
    for (uint64_t k = 0; k < n.output_count(); ++k) named &= n.output(k) < s.value_count;
    for (uint64_t k = 1; k < n.input_count(); ++k)
      named &= n.input(k) < s.value_count || (n.input(k) == kNoIndex && skips_omitted_inputs(n.op()));
    if (!named) return "unsupported " + node_text(s, i) + ": it names a value the graph does not hold";
    std::string fault = node_shape_fault(s, n);
    if (!fault.empty()) return "unsupported " + node_text(s, i) + ": " + fault;
  }
  return std::string();
}

std::string graph_check_producers(const BuilderState& s, bool lowered) {
  std::vector<uint8_t> produced(s.value_count, 0);
  for (uint64_t i = 0; i < s.value_count; ++i) {
    const BuilderValue& v = s.values[i];
    bool holds = !lowered || (v.data != nullptr && v.size != 0);
    if (v.kind == kValueGraphInput || (v.kind == kValueWeight && holds)) produced[i] = 1;
  }
  std::vector<uint8_t> live = graph_live_nodes(s);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
      uint64_t in = n.input(k);
      if (in == kNoIndex || (s.options == nullptr && !live[i])) continue;
      if (in >= s.value_count || !produced[in]) {
        std::string value = in < s.value_count ? text_of(s.values[in].name, s.values[in].name_len) : "?";
        return "unsupported " + node_text(s, i) + ": its input '" + value +
               "' has no producer (neither a graph input, a weight nor an earlier node's output)";
      }
    }
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k)
      if (n.output(k) < s.value_count) produced[n.output(k)] = 1;
  }
  for (uint64_t i = 0; i < s.value_count; ++i)
    if (s.values[i].kind == kValueGraphOutput && !produced[i])
      return "the graph output '" + text_of(s.values[i].name, s.values[i].name_len) + "' is computed by no node";
  return std::string();
}

std::string graph_check_inputs(const BuilderState& s) {
  for (uint64_t i = 0; i < s.value_count; ++i)
    if (s.values[i].kind == kValueGraphInput) return std::string();
  const std::string why = "the graph has no input, so its outputs are constants; the engines run graphs of one input "
                          "or more";
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
      if (n.output(k) >= s.value_count || s.values[n.output(k)].kind != kValueGraphOutput) continue;
      // Named by its ONNX operator: the node may stand for a Constant.
      const NodeOrigin& o = s.origin[i];
      OnnxNodeHeader h{};
      if (s.onnx != nullptr && o.proto_end > o.proto_start) onnx_node_header(s.onnx, o.proto_start, o.proto_end, &h);
      const Slice own = op_name(n.op());
      const std::string op = h.op_length != 0 ? text_of(s.onnx + h.op_offset, h.op_length) : text_of(own.ptr, own.len);
      return "unsupported " + op + " '" + node_label(s, i) + "': " + why;
    }
  }
  return why;
}

std::string graph_check_sizes(const BuilderState& s) {
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
      if (n.output(k) >= s.value_count) continue;
      const BuilderValue& v = s.values[n.output(k)];
      uint64_t count = 1;
      bool over = false;
      for (uint64_t d = 0; d < v.rank && d < kBuilderRank; ++d)
        over |= __builtin_mul_overflow(count, v.dims[d], &count) || count >= kMaxValueElements;
      if (over)
        return "unsupported " + node_text(s, i) + ": its output '" + text_of(v.name, v.name_len) +
               "' has 2^31 elements or more, which the engines do not hold";
    }
  }
  return std::string();
}

}  // namespace vorn
