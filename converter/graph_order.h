// The order in which the NodeProtos of a graph are imported: every node
// after the nodes whose outputs it reads. ONNX asks exporters for sorted
// graphs, but runtimes load unsorted ones and real models ship that way.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn {

// One NodeProto: its byte range in the ONNX bytes and its position among
// the graph's nodes in file order.
struct NodeProtoSpan {
  uint64_t start;
  uint64_t end;
  uint64_t ordinal;
};

// Lists the NodeProtos of the GraphProto [start, end) in dependency order,
// keeping file order wherever the dependencies allow it (a sorted graph
// comes back as it is). Returns an empty text on success; otherwise the
// message: the GraphProto cannot be scanned, two nodes (or two outputs of
// one node) write the same name, a node writes a name that `defined` (when
// given) describes as defined by the graph itself ("a graph input", "a
// weight"), or the nodes form a cycle, named by one node on it.
std::string onnx_node_order(const uint8_t* bytes, uint64_t start, uint64_t end, std::vector<NodeProtoSpan>* order,
                            const std::function<const char*(std::string_view)>& defined = {});

}  // namespace vorn
