// Graphs as users bring them, converted in both modes: unsorted nodes
// convert, and broken graphs (a cycle, an input nothing provides, an output
// nothing computes, an index outside its axis, a value the engines cannot
// hold, names and counts the runtime's descriptors cannot hold) are refused
// with a message naming the node or value, never written as a container
// that computes something else or that the runtime refuses to open.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "converter/convert.h"
#include "converter/onnx_writer.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"

namespace vorn {
namespace {

using onnxw::node;
using onnxw::value_info;

constexpr int kF32 = 1, kI64 = 7;

std::string i64_bytes(std::vector<int64_t> v) { return onnxw::bytes_of(v); }

// Converts the model in one mode; "" on success, else the message.
std::string convert(const std::string& model, bool options_mode) {
  TempPath onnx, out;
  { std::ofstream(onnx.path, std::ios::binary) << model; }
  std::remove(out.path.c_str());
  std::string text;
  if (options_mode) {
    ConvertOptions options = convert_options_init();
    ConvertOutcome r = convert_onnx_file_with_options(slice_of(onnx.path), slice_of(out.path), &options);
    if (r.status != 0) text.assign(reinterpret_cast<const char*>(r.text.ptr), r.text.len);
    bytes_free(&r.text);
  } else {
    ConvertResult r = convert_onnx_file(slice_of(onnx.path), slice_of(out.path), 0);
    if (!r.ok()) {
      text.assign(reinterpret_cast<const char*>(r.error.ptr), r.error.len);
      bytes_free(&r.error);
    }
  }
  if (!text.empty()) {
    EXPECT_EQ(std::fopen(out.path.c_str(), "rb"), nullptr) << "a refused model was written";
  }
  return text;
}

onnxw::Graph io(std::vector<onnxw::Msg> nodes, const char* out = "y") {
  onnxw::Graph g;
  g.nodes = std::move(nodes);
  g.inputs.push_back(value_info("x", kF32, {1, 2, 4, 4}));
  g.outputs.push_back(value_info(out, kF32, {}, {}, false));
  return g;
}

struct Broken {
  const char* what;
  onnxw::Graph graph;
  const char* message;  // the message holds this
};

TEST(GraphChecks, BrokenGraphsAreRefusedInBothModesNamingTheNode) {
  onnxw::Graph missing_weight = io({node("Conv", {"x", "w"}, {"y"}, "conv")});
  onnxw::Graph gather = io({node("Gather", {"x", "i"}, {"y"}, "", {onnxw::attr_i("axis", 1)})});
  gather.inits.push_back(onnxw::tensor("i", kI64, {}, i64_bytes({2})));
  onnxw::Graph huge = io({node("Expand", {"x", "shape"}, {"y"})});
  huge.inits.push_back(onnxw::tensor("shape", kI64, {4}, i64_bytes({67108864, 2, 4, 4})));
  // What a session's open refuses: names past 63 bytes, more than 64
  // outputs, nodes of more inputs than their operator takes.
  onnxw::Graph long_name = io({node("Relu", {"x"}, {std::string(64, 'n')})}, std::string(64, 'n').c_str());
  onnxw::Graph outputs = io({});
  outputs.outputs.clear();
  for (int k = 0; k < 65; ++k) {
    const std::string y = "y" + std::to_string(k);
    outputs.nodes.push_back(node("Relu", {"x"}, {y}));
    outputs.outputs.push_back(value_info(y, kF32, {}, {}, false));
  }
  const Broken table[] = {
      {"name of 64 bytes", long_name, "has a name of 64 bytes; the runtime's tensor names hold at most 63 bytes"},
      {"65 outputs", outputs, "the graph output 'y64' is the model's 65th; the runtime takes at most 64 graph outputs"},
      {"Max of nine", io({node("Max", {"x", "x", "x", "x", "x", "x", "x", "x", "x"}, {"y"}, "max9")}),
       "'max9' Max (ai.onnx opset 13): more than 8 inputs are not supported"},
      {"self loop", io({node("Add", {"x", "y"}, {"y"})}), "cycle: node 'y' Add depends on its own output"},
      {"cycle", io({node("Relu", {"b"}, {"a"}, "ra"), node("Relu", {"a"}, {"b"}, "rb"),
                    node("Add", {"x", "b"}, {"y"}, "sum")}),
       "cycle: node 'ra' Relu depends on its own output"},
      {"missing weight", missing_weight, "unsupported Conv 'conv': its input 'w' has no producer"},
      {"missing input", io({node("Add", {"x", "ghost"}, {"y"})}), "unsupported Add 'y': its input 'ghost' has no producer"},
      {"output never computed", io({node("Relu", {"x"}, {"r"})}), "the graph output 'y' is computed by no node"},
      {"index past its axis", gather, "Gather 'y'"},
      {"2^31 elements", huge, "unsupported Expand 'y': its output 'y' has 2^31 elements or more"},
  };
  for (const Broken& b : table)
    for (bool options_mode : {true, false}) {
      SCOPED_TRACE(std::string(b.what) + (options_mode ? " (options mode)" : " (legacy mode)"));
      std::string message = convert(onnxw::model(b.graph, 13), options_mode);
      EXPECT_NE(message.find(b.message), std::string::npos) << message;
    }
}

TEST(GraphChecks, UnsortedNodesConvertInBothModes) {
  // The consumer comes first in the file; a chain of four in reverse order.
  onnxw::Graph g = io({node("Relu", {"c"}, {"y"}), node("Neg", {"b"}, {"c"}), node("Abs", {"a"}, {"b"}),
                       node("Sigmoid", {"x"}, {"a"})});
  for (bool options_mode : {true, false}) EXPECT_EQ(convert(onnxw::model(g, 13), options_mode), "");
}

}  // namespace
}  // namespace vorn
