// Graphs as users bring them, converted in both modes: unsorted nodes
// convert, and broken graphs (a cycle, an input nothing provides, an output
// nothing computes, an index outside its axis, a value the engines cannot
// hold, names and counts the runtime's descriptors cannot hold) are refused
// with a message naming the node or value, never written as a container
// that computes something else or that the runtime refuses to open.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
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

constexpr int kF32 = 1, kU8 = 2, kI8 = 3, kI64 = 7;

std::string i64_bytes(std::vector<int64_t> v) { return onnxw::bytes_of(v); }
std::string f32_bytes(std::vector<float> v) { return onnxw::bytes_of(v); }

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
  onnxw::Graph no_input = io({node("Constant", {}, {"y"}, "", {onnxw::attr_t("value", onnxw::tensor("", kF32, {2},
                                                                                                   f32_bytes({1, 2})))})});
  no_input.inputs.clear();
  // Constant parts of a Concat that differ off the axis.
  onnxw::Graph parts = io({node("Concat", {"a", "b"}, {"c"}, "cat", {onnxw::attr_i("axis", 0)}),
                           node("Add", {"x", "c"}, {"y"})});
  parts.inits.push_back(onnxw::tensor("a", kF32, {2, 4}, f32_bytes({0, 1, 2, 3, 4, 5, 6, 7})));
  parts.inits.push_back(onnxw::tensor("b", kF32, {1, 1}, f32_bytes({8})));
  // A weight zero point of three values for a weight of four.
  onnxw::Graph zero_point = io({node("Cast", {"x"}, {"q"}, "", {onnxw::attr_i("to", kU8)}),
                                node("ConvInteger", {"q", "w", "xz", "wz"}, {"c"}, "ci"),
                                node("Cast", {"c"}, {"y"}, "", {onnxw::attr_i("to", kF32)})});
  zero_point.inits.push_back(onnxw::tensor("w", kI8, {2, 2, 1, 1}, std::string("\x01\x02\x03\x04", 4)));
  zero_point.inits.push_back(onnxw::tensor("xz", kU8, {}, std::string(1, '\0')));
  zero_point.inits.push_back(onnxw::tensor("wz", kI8, {3}, std::string("\x01\x02\x03", 3)));
  // A weight reshaped to a shape of other than its element count, then read
  // by that shape.
  onnxw::Graph reshaped = io({node("Reshape", {"w", "shape"}, {"r"}, "r"), node("Where", {"r", "a", "b"}, {"c"}),
                              node("Add", {"x", "c"}, {"y"})});
  reshaped.inits.push_back(onnxw::tensor("w", kF32, {2}, f32_bytes({1, 0})));
  reshaped.inits.push_back(onnxw::tensor("shape", kI64, {2}, i64_bytes({4, 4})));
  reshaped.inits.push_back(onnxw::tensor("a", kF32, {4, 4}, f32_bytes(std::vector<float>(16, 1))));
  reshaped.inits.push_back(onnxw::tensor("b", kF32, {4, 4}, f32_bytes(std::vector<float>(16, 2))));
  // Sign is imported as a chain whose constant zero is named "s#zero": here
  // the name of a graph input, which the chain must not turn into a weight.
  onnxw::Graph taken = io({node("Sign", {"x"}, {"s"}, "sign"), node("Add", {"s#zero", "s"}, {"y"})});
  taken.inputs.push_back(value_info("s#zero", kF32, {1, 2, 4, 4}));
  // The model names its BatchNormalization's scale "y#bn_scale", the name the
  // converter gives the folded scale it computes from it.
  onnxw::Graph bn = io({node("BatchNormalization", {"x", "y#bn_scale", "b", "m", "v"}, {"y"}, "bn")});
  bn.inits.push_back(onnxw::tensor("y#bn_scale", kF32, {2}, f32_bytes({1, 2})));
  for (const char* name : {"b", "m", "v"}) bn.inits.push_back(onnxw::tensor(name, kF32, {2}, f32_bytes({0, 1})));
  onnxw::Graph weight_written = io({node("Relu", {"x"}, {"w"}, "relu"), node("Add", {"x", "w"}, {"y"})});
  weight_written.inits.push_back(onnxw::tensor("w", kF32, {4}, f32_bytes({1, 2, 3, 4})));
  const Broken table[] = {
      {"name of 64 bytes", long_name, "has a name of 64 bytes; the runtime's tensor names hold at most 63 bytes"},
      {"65 outputs", outputs, "the graph output 'y64' is the model's 65th; the runtime takes at most 64 graph outputs"},
      {"Max of nine", io({node("Max", {"x", "x", "x", "x", "x", "x", "x", "x", "x"}, {"y"}, "max9")}),
       "'max9' Max (ai.onnx opset 13): more than 8 inputs are not supported"},
      {"self loop", io({node("Add", {"x", "y"}, {"y"})}), "cycle: node 'y' Add depends on its own output"},
      {"cycle", io({node("Relu", {"b"}, {"a"}, "ra"), node("Relu", {"a"}, {"b"}, "rb"),
                    node("Add", {"x", "b"}, {"y"}, "sum")}),
       "cycle: node 'ra' Relu depends on its own output"},
      {"value written twice", io({node("Relu", {"x"}, {"a"}, "first"), node("Neg", {"x"}, {"a"}, "second"),
                                  node("Add", {"a", "x"}, {"y"})}),
       "the value 'a' is written by node 'first' Relu and again by node 'second' Neg"},
      {"a node rewriting what it reads", io({node("Equal", {"x", "x"}, {"e"}, "eq"),
                                             node("Where", {"e", "x", "x"}, {"e"}, "where"), node("Relu", {"x"}, {"y"})}),
       "the value 'e' is written by node 'eq' Equal and again by node 'where' Where"},
      {"a node writing a weight", weight_written, "the value 'w' is a weight of the graph and is written by node 'relu' Relu"},
      {"a node writing a graph input", io({node("Relu", {"x"}, {"r"}), node("Neg", {"r"}, {"x"}, "neg"),
                                           node("Add", {"r", "r"}, {"y"})}),
       "the value 'x' is a graph input and is written by node 'neg' Neg"},
      {"two outputs of one name", io({node("Split", {"x"}, {"s", "s"}, "split"), node("Relu", {"s"}, {"y"})}),
       "the value 's' is written by node 'split' Split twice"},
      {"missing weight", missing_weight, "unsupported Conv 'conv': its input 'w' has no producer"},
      {"missing input", io({node("Add", {"x", "ghost"}, {"y"})}), "unsupported Add 'y': its input 'ghost' has no producer"},
      {"output never computed", io({node("Relu", {"x"}, {"r"})}), "the graph output 'y' is computed by no node"},
      {"index past its axis", gather, "Gather 'y'"},
      {"constant parts of other widths", parts, "unsupported Concat 'cat': inputs differ off the axis"},
      {"zero point of three for four", zero_point,
       "unsupported Conv 'ci': a weight zero point of 3 values for a weight of 4 values"},
      {"weight reshaped to more elements", reshaped, "Reshape 'r'"},
      {"a chain's intermediate name taken", taken,
       "'sign' Sign (ai.onnx opset 13): its intermediate values are named after its output"},
      {"a derived name taken", bn,
       "unsupported BatchNormalization 'bn': the model names a value 'y#bn_scale', a name the converter gives a value "
       "of its own"},
      {"2^31 elements", huge, "unsupported Expand 'y': its output 'y' has 2^31 elements or more"},
      {"no graph input", no_input, "unsupported Constant 'y': the graph has no input"},
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

// Converts the model in one mode and runs x through it on the CPU; the
// outputs named, or the conversion's or the run's message.
std::string convert_and_run(const std::string& model, bool options_mode, const std::vector<float>& x,
                            const std::vector<std::string>& names, std::vector<conformance::TensorData>* outputs) {
  TempPath onnx, out;
  { std::ofstream(onnx.path, std::ios::binary) << model; }
  ConvertOptions options = convert_options_init();
  ConvertOutcome r = options_mode ? convert_onnx_file_with_options(slice_of(onnx.path), slice_of(out.path), &options)
                                  : convert_onnx_impl(slice_of(onnx.path), slice_of(out.path), 0, nullptr);
  std::string text(reinterpret_cast<const char*>(r.text.ptr), r.text.len);
  bytes_free(&r.text);
  if (r.status != 0) return text;
  conformance::Case c;
  for (const std::string& n : names) c.outputs.push_back({n, conformance::DType::kF32, {}, ""});
  conformance::TensorData in;
  in.name = "x";
  in.shape = {1, 2, 4, 4};
  in.f32 = x;
  return run_model(out.path, {in}, c, outputs);
}

struct Computed {
  const char* what;
  onnxw::Graph graph;
  std::vector<std::string> outputs;
  // The expected values of each output, from the input.
  std::function<std::vector<std::vector<float>>(const std::vector<float>&)> expect;
};

// Outputs besides the main one: a Constant that is a graph output, Dropout's
// mask (all true at inference), LayerNormalization's Mean and InvStdDev over
// the last axis. Each is computed in both modes, never left out or unwritten.
TEST(GraphChecks, ConstantAndOptionalOutputsAreComputed) {
  auto graph = [](std::vector<onnxw::Msg> nodes, std::vector<std::string> outs) {
    onnxw::Graph g = io(std::move(nodes));
    g.outputs.clear();
    for (const std::string& o : outs) g.outputs.push_back(value_info(o, kF32, {}, {}, false));
    return g;
  };
  onnxw::Graph layer_norm = graph({node("LayerNormalization", {"x", "scale"}, {"y", "mean", "inv"}, "ln",
                                        {onnxw::attr_f("epsilon", 0.25f)})},
                                  {"y", "mean", "inv"});
  layer_norm.inits.push_back(onnxw::tensor("scale", kF32, {4}, f32_bytes({1, 1, 1, 1})));
  const Computed table[] = {
      {"constant output", graph({node("Relu", {"x"}, {"y"}),
                                 node("Constant", {}, {"z"}, "", {onnxw::attr_t("value", onnxw::tensor("", kF32, {3},
                                                                                         f32_bytes({1, -2, 3})))})},
                                {"y", "z"}),
       {"z"}, [](const std::vector<float>&) { return std::vector<std::vector<float>>{{1, -2, 3}}; }},
      {"dropout mask output", graph({node("Dropout", {"x"}, {"y", "mask"})}, {"y", "mask"}), {"y", "mask"},
       [](const std::vector<float>& x) { return std::vector<std::vector<float>>{x, std::vector<float>(32, 1.0f)}; }},
      {"dropout mask read", graph({node("Dropout", {"x"}, {"d", "mask"}), node("Add", {"d", "mask"}, {"y"})}, {"y"}),
       {"y"},
       [](const std::vector<float>& x) {
         std::vector<float> y = x;
         for (float& v : y) v += 1.0f;
         return std::vector<std::vector<float>>{y};
       }},
      {"layer norm statistics", layer_norm, {"mean", "inv"},
       [](const std::vector<float>& x) {
         std::vector<std::vector<float>> want(2);
         for (size_t row = 0; row < 8; ++row) {
           double mean = 0, var = 0;
           for (size_t k = 0; k < 4; ++k) mean += x[row * 4 + k] / 4.0;
           for (size_t k = 0; k < 4; ++k) var += (x[row * 4 + k] - mean) * (x[row * 4 + k] - mean) / 4.0;
           want[0].push_back(static_cast<float>(mean));
           want[1].push_back(static_cast<float>(1.0 / std::sqrt(var + 0.25)));
         }
         return want;
       }},
  };
  std::vector<float> x(32);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>((i * 7) % 11) - 5.0f;
  for (const Computed& c : table)
    for (bool options_mode : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (options_mode ? " (options mode)" : " (legacy mode)"));
      std::vector<conformance::TensorData> got;
      const std::string failure = convert_and_run(onnxw::model(c.graph, 17), options_mode, x, c.outputs, &got);
      EXPECT_EQ(failure, "");
      const std::vector<std::vector<float>> want = c.expect(x);
      for (size_t k = 0; failure.empty() && k < want.size(); ++k) {
        EXPECT_EQ(got[k].f32.size(), want[k].size()) << c.outputs[k];
        for (size_t i = 0; i < want[k].size() && i < got[k].f32.size(); ++i)
          EXPECT_NEAR(got[k].f32[i], want[k][i], 1e-5) << c.outputs[k] << " [" << i << "]";
      }
    }
}

// Statistics that no node reads and no graph output names cost nothing: the
// node converts alone.
TEST(GraphChecks, LayerNormStatisticsNobodyReadsAreNotComputed) {
  onnxw::Graph g = io({node("LayerNormalization", {"x", "scale"}, {"y", "mean", "inv"})});
  g.inits.push_back(onnxw::tensor("scale", kF32, {4}, f32_bytes({1, 1, 1, 1})));
  TempPath onnx, out;
  { std::ofstream(onnx.path, std::ios::binary) << onnxw::model(g, 17); }
  ConvertOptions options = convert_options_init();
  ConvertOutcome r = convert_onnx_file_with_options(slice_of(onnx.path), slice_of(out.path), &options);
  const std::string summary(reinterpret_cast<const char*>(r.text.ptr), r.text.len);
  bytes_free(&r.text);
  EXPECT_NE(summary.find(", 1 nodes\n"), std::string::npos) << summary;
}

// Dropout in training mode drops values at random: refused unless its ratio
// is a constant 0 (then it passes its input through).
TEST(GraphChecks, DropoutInTrainingModeIsRefusedUnlessItsRatioIsZero) {
  for (float ratio : {0.5f, 0.0f}) {
    onnxw::Graph g = io({node("Dropout", {"x", "ratio", "training"}, {"y"}, "drop")});
    g.inits.push_back(onnxw::tensor("ratio", kF32, {}, f32_bytes({ratio})));
    g.inits.push_back(onnxw::tensor("training", 9, {}, std::string(1, '\1')));
    std::string message = convert(onnxw::model(g, 13), true);
    if (ratio == 0.0f) {
      EXPECT_EQ(message, "");
    } else {
      EXPECT_NE(message.find("'drop' Dropout (ai.onnx opset 13): Dropout in training mode"), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace vorn
