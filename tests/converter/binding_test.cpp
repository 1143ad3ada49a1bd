// --input and --dim parsing, binding of dynamic input dimensions with its
// problem report, and the graph inputs and outputs of both modes.
#include <gtest/gtest.h>

#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/shape_binding.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;

namespace {

std::string add_input(ConvertOptions* o, const std::string& arg) {
  UnitResult r = convert_options_add_input(o, arg.data(), arg.size());
  return r.ok() ? "" : take(r.error);
}
std::string add_dim(ConvertOptions* o, const std::string& arg) {
  UnitResult r = convert_options_add_dim(o, arg.data(), arg.size());
  return r.ok() ? "" : take(r.error);
}

std::string shape_of(const BuilderState& s, const std::string& name) {
  const BuilderValue& v = s.values[find(s, name)];
  return take(shape_text(v.rank, v.dims));
}

}  // namespace

TEST(ConvertOptionsParse, InputArguments) {
  ConvertOptions o = convert_options_init();
  EXPECT_EQ(add_input(&o, "x=1x3x224x224:f32"), "");
  EXPECT_EQ(o.inputs[0].rank, 4u);
  EXPECT_EQ(o.inputs[0].dims[3], 224u);
  EXPECT_EQ(o.inputs[0].kind, 2u);
  EXPECT_EQ(add_input(&o, "y=1x3"), "");
  EXPECT_EQ(o.inputs[1].kind, 0u);
  EXPECT_EQ(add_input(&o, "ids=7:i64"), "");
  EXPECT_EQ(o.inputs[2].kind, 3u);
  const std::string dims_msg = ": dims must be positive integers joined by 'x', at most 6";
  for (const char* bad : {"z=1x0", "z=1xx3", "z=1x", "z=", "z=1x2x3x4x5x6x7", "z=1y2"})
    EXPECT_EQ(add_input(&o, bad), std::string("--input ") + bad + dims_msg);
  EXPECT_EQ(add_input(&o, "z=1x3:f16"), "--input z=1x3:f16: type must be :f32 or :i64");
  EXPECT_EQ(add_input(&o, "=1"), "--input =1: expected name=<d0>x<d1>...[:f32|:i64]");
  EXPECT_EQ(add_input(&o, "noequals"), "--input noequals: expected name=<d0>x<d1>...[:f32|:i64]");
  EXPECT_EQ(add_input(&o, "x=2"), "--input x=2: input given twice");
  EXPECT_EQ(options_find_input(o, reinterpret_cast<const uint8_t*>("y"), 1), 1);
  for (int k = 3; k < 16; ++k) EXPECT_EQ(add_input(&o, "in" + std::to_string(k) + "=1"), "");
  EXPECT_EQ(add_input(&o, "q=garbage"), "--input: at most 16 inputs");
}

TEST(ConvertOptionsParse, DimArguments) {
  ConvertOptions o = convert_options_init();
  EXPECT_EQ(add_dim(&o, "seq=128"), "");
  EXPECT_EQ(o.dims[0].value, 128u);
  for (const char* bad : {"seq=0", "seq=", "=4", "seq=1a", "seq"})
    EXPECT_EQ(add_dim(&o, bad), std::string("--dim ") + bad + ": expected name=<positive integer>");
  EXPECT_EQ(add_dim(&o, "seq=4"), "--dim seq=4: dim given twice");
  for (int k = 1; k < 32; ++k) EXPECT_EQ(add_dim(&o, "d" + std::to_string(k) + "=1"), "");
  EXPECT_EQ(add_dim(&o, "more=1"), "--dim: at most 32 dims");
}

TEST(InputBinding, DynamicBatchBindsToOneWithANote) {
  onnxw::Graph g;
  g.inputs.push_back(onnxw::value_info("image", 1, {0, 3, 224, 224}));
  g.outputs.push_back(onnxw::value_info("out", 1, {0, 1000}, {"batch"}));
  ConvertOptions o = convert_options_init();
  Imported r = import_bytes(onnxw::model(g), &o);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(shape_of(*r.state, "image"), "[1, 3, 224, 224]");
  EXPECT_EQ(r.state->values[find(*r.state, "image")].kind, kValueGraphInput);
  EXPECT_EQ(r.state->values[find(*r.state, "out")].kind, kValueGraphOutput);
  EXPECT_EQ(take(convert_note_dynamic_batch()),
            "dynamic batch (dim 0) bound to 1 for image; bind it with --dim or --input to change");
  convert_notes_reset();
}

TEST(InputBinding, SharedDimParamsAndProblems) {
  // Two inputs share "seq"; binding one binds the other.
  Imported r = import_file(fixture("axes_input_opset13.onnx"), [] {
    static ConvertOptions o = convert_options_init();
    o = convert_options_init();
    convert_options_add_input(&o, "x=2x128x5", 9);
    return &o;
  }());
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(shape_of(*r.state, "x"), "[2, 128, 5]");
  EXPECT_EQ(shape_of(*r.state, "ids"), "[128]");
  ASSERT_EQ(r.state->int64_input_count, 1u);
  EXPECT_EQ(r.state->int64_inputs[0], find(*r.state, "ids"));

  // Every problem at once, in order.
  ConvertOptions o = convert_options_init();
  add_input(&o, "x=2x3x5");      // dim 2 fixed at 5: fine; rank 3 fine
  add_input(&o, "ax=2");          // an initializer, not an input
  add_dim(&o, "unused=3");
  Imported bad = import_file(fixture("axes_input_opset13.onnx"), &o);
  EXPECT_EQ(bad.error,
            "2 input binding problem(s):\n"
            "  --input ax: the model has no input of that name (inputs: x, ids)\n"
            "  --dim unused: no input has a dimension of that name\n");

  onnxw::Graph g;
  g.inputs.push_back(onnxw::value_info("a", 1, {0}, {}));
  g.inputs.push_back(onnxw::value_info("b", 1, {2, 0}, {"", "len"}));
  g.inputs.push_back(onnxw::value_info("c", 10, {4}));
  g.inputs.push_back(onnxw::value_info("d", 1, {}, {}, false));
  g.inputs.push_back(onnxw::value_info("e", 1, {3, 4}));
  ConvertOptions o2 = convert_options_init();
  add_input(&o2, "e=3x5:i64");
  EXPECT_EQ(import_bytes(onnxw::model(g), &o2).error,
            "6 input binding problem(s):\n"
            "  input 'e' dim 1: fixed at 4 in the model, --input gives 5\n"
            "  input 'a' dim 0 (unnamed) is dynamic: bind it with --input a=<dims>\n"
            "  input 'b' dim 1 ('len') is dynamic: bind it with --dim len=<n> or --input b=<dims>\n"
            "  input 'c': element type float16 is not supported; Vorn inputs are float32 or int64\n"
            "  input 'd': the model gives no shape; bind it with --input d=<dims>\n"
            "  input 'e': the model declares float32, --input asks for i64\n");
}

TEST(InputBinding, LegacyOptionWord) {
  onnxw::Graph g;
  g.inputs.push_back(onnxw::value_info("img", 1, {0, 0, 0, 0}));
  g.inputs.push_back(onnxw::value_info("seq", 1, {0, 0}));
  g.outputs.push_back(onnxw::value_info("y", 1, {0, 7}));
  g.outputs.push_back(onnxw::value_info("low_res_masks", 1, {1}));
  uint64_t word = (uint64_t{1} << 32) | (512u << 16) | 384u;
  Imported r = import_bytes(onnxw::model(g), nullptr, word);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(shape_of(*r.state, "img"), "[1, 3, 512, 384]");
  EXPECT_EQ(shape_of(*r.state, "seq"), "[1, 512]");
  EXPECT_EQ(shape_of(*r.state, "y"), "[1, 7]");
  EXPECT_EQ(r.state->values[find(*r.state, "low_res_masks")].kind, kValueActivation);  // dropped
  EXPECT_EQ(convert_notes().rewrites & kRewriteDroppedByName, kRewriteDroppedByName);

  Imported zero = import_bytes(onnxw::model(g), nullptr, 0);
  EXPECT_EQ(shape_of(*zero.state, "img"), "[1, 3, 0, 0]");
  convert_notes_reset();
}

TEST(ShapeText, Forms) {
  uint64_t dims[6] = {1, 3, 224, 224, 0, 0};
  EXPECT_EQ(take(shape_text(4, dims)), "[1, 3, 224, 224]");
  EXPECT_EQ(take(shape_text(0, dims)), "[]");
}
