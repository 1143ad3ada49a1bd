#include "converter/graph_check.h"

#include <vector>

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

// The nodes whose outputs reach a graph output, walking back from the last
// node (the nodes are in dependency order).
std::vector<uint8_t> live_nodes(const BuilderState& s) {
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

}  // namespace

std::string graph_check_producers(const BuilderState& s, bool lowered) {
  std::vector<uint8_t> produced(s.value_count, 0);
  for (uint64_t i = 0; i < s.value_count; ++i) {
    const BuilderValue& v = s.values[i];
    bool holds = !lowered || (v.data != nullptr && v.size != 0);
    if (v.kind == kValueGraphInput || (v.kind == kValueWeight && holds)) produced[i] = 1;
  }
  std::vector<uint8_t> live = live_nodes(s);
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
