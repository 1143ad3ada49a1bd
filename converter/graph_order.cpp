#include "converter/graph_order.h"

#include <functional>
#include <queue>
#include <string_view>
#include <unordered_map>

#include "converter/protobuf_wire.h"

namespace vorn {

namespace {

struct Proto {
  NodeProtoSpan span;
  std::vector<std::string_view> inputs, outputs;
  std::string_view name, op;
};

// Names, op_type and the links of one NodeProto. Malformed content ends the
// scan quietly: the node's import reports it.
void read_proto(const uint8_t* b, Proto& p) {
  uint64_t pos = p.span.start;
  PbField f;
  while (pb_next(b, p.span.end, pos, f) == PbStep::kField) {
    if (f.wire != kWireLen) continue;
    std::string_view text(reinterpret_cast<const char*>(b + f.start), f.end - f.start);
    if (f.number == 1 && !text.empty()) p.inputs.push_back(text);
    if (f.number == 2) p.outputs.push_back(text);
    if (f.number == 3) p.name = text;
    if (f.number == 4) p.op = text;
  }
}

std::string label(const Proto& p) {
  std::string_view shown = !p.name.empty() || p.outputs.empty() ? p.name : p.outputs[0];
  std::string text = "'";
  text += shown;
  text += "' ";
  text += p.op;
  return text;
}

}  // namespace

std::string onnx_node_order(const uint8_t* b, uint64_t start, uint64_t end, std::vector<NodeProtoSpan>* order,
                            const std::function<const char*(std::string_view)>& defined) {
  order->clear();
  std::vector<Proto> protos;
  uint64_t pos = start;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) break;
    if (st == PbStep::kBad) return "corrupt GraphProto pass 2b";
    if (f.number != 1 || f.wire != kWireLen) continue;
    Proto p;
    p.span = NodeProtoSpan{f.start, f.end, protos.size()};
    read_proto(b, p);
    protos.push_back(std::move(p));
  }
  const uint64_t n = protos.size();
  // The node that writes each name. A name written twice has no one value
  // for its readers to take: the graph is refused, as ONNX asks.
  std::unordered_map<std::string_view, uint64_t> producer;
  producer.reserve(2 * n);
  for (uint64_t i = 0; i < n; ++i)
    for (std::string_view o : protos[i].outputs) {
      if (o.empty()) continue;
      // A graph input or a weight already has its value; a node writing
      // it too would replace what its other readers take.
      if (const char* what = defined ? defined(o) : nullptr) {
        std::string text = "the value '";
        text += o;
        text += "' is ";
        text += what;
        text += " and is written by node " + label(protos[i]);
        return text;
      }
      auto [it, fresh] = producer.emplace(o, i);
      if (!fresh) {
        std::string text = "the value '";
        text += o;
        text += "' is written by node " + label(protos[it->second]);
        if (it->second != i) text += " and again by node " + label(protos[i]);
        else text += " twice";
        return text;
      }
    }
  std::vector<std::vector<uint64_t>> readers(n);
  std::vector<uint64_t> waiting(n, 0);
  for (uint64_t i = 0; i < n; ++i)
    for (std::string_view in : protos[i].inputs) {
      auto it = producer.find(in);
      if (it == producer.end()) continue;
      readers[it->second].push_back(i);
      ++waiting[i];
    }
  // Kahn's walk, always taking the earliest ready node in file order.
  std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> ready;
  for (uint64_t i = 0; i < n; ++i)
    if (waiting[i] == 0) ready.push(i);
  order->reserve(n);
  while (!ready.empty()) {
    uint64_t i = ready.top();
    ready.pop();
    order->push_back(protos[i].span);
    for (uint64_t r : readers[i])
      if (--waiting[r] == 0) ready.push(r);
  }
  if (order->size() == n) return std::string();
  // Some node still waits: walk back through waiting producers until a
  // node repeats; that node lies on a cycle.
  uint64_t at = 0;
  while (waiting[at] == 0) ++at;
  std::vector<uint8_t> seen(n, 0);
  while (!seen[at]) {
    seen[at] = 1;
    for (std::string_view in : protos[at].inputs) {
      auto it = producer.find(in);
      if (it != producer.end() && waiting[it->second] != 0) {
        at = it->second;
        break;
      }
    }
  }
  order->clear();
  return "the graph has a cycle: node " + label(protos[at]) + " depends on its own output";
}

}  // namespace vorn
