// The name-matched rewrites of conversions without options: the states they
// enter, the nodes they drop, replace or bake, and their note bits.
#include <gtest/gtest.h>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/shape_binding.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;

namespace {

onnxw::Graph with_input() {
  onnxw::Graph g;
  g.inputs.push_back(onnxw::value_info("x", 1, {1, 4}));
  return g;
}

}  // namespace

TEST(LegacyRewrites, SwinWindowMasksAreBaked) {
  convert_notes_reset();
  onnxw::Graph g = with_input();
  g.nodes.push_back(onnxw::node("Cast", {"x"}, {"c"}, "/bb/layers.3_1/Cast"));   // enters the n = 1 state
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"dropped"}, "/bb/skip"));
  g.nodes.push_back(onnxw::node("Cast", {"x"}, {"mask"}, "/bb/layers.3/Cast_44"));  // 20 bytes
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"y"}, "after"));
  Imported r = import_bytes(onnxw::model(g));
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  ASSERT_EQ(s.node_count, 1u);  // only "after" remains a node
  const BuilderValue& m = s.values[find(s, "mask")];
  EXPECT_EQ(m.kind, kValueWeight);
  ASSERT_EQ(m.rank, 3u);
  EXPECT_EQ(m.dims[0], 1u);
  // One window that is both the last row and the last column: four regions.
  EXPECT_EQ(f32_at(m, 0 * 144 + 5), 0.0f);       // (0,0) and (0,5): same region
  EXPECT_EQ(f32_at(m, 0 * 144 + 6), -100.0f);    // x = 6 crosses the column split
  EXPECT_EQ(f32_at(m, 0 * 144 + 72), -100.0f);   // y = 6 crosses the row split
  EXPECT_EQ(f32_at(m, 78 * 144 + 143), 0.0f);    // (6,6) and (11,11)
  EXPECT_EQ(convert_notes().rewrites, kRewriteBiRefNet);
  convert_notes_reset();
}

TEST(LegacyRewrites, PadsCumSumAndScatter) {
  convert_notes_reset();
  onnxw::Graph g = with_input();
  g.nodes.push_back(onnxw::node("Mod", {"x", "x"}, {"six"}, "/bb/Mod"));
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"gone"}, "between"));
  g.nodes.push_back(onnxw::node("Pad", {"x", "six"}, {"padded"}, "/bb/Pad"));
  g.nodes.push_back(onnxw::node("ScatterND", {"x", "x", "x"}, {"sc"}, "/bb/scatter"));
  g.nodes.push_back(onnxw::node("CumSum", {"padded", "x"}, {"cs"}, "/squeeze/CumSum"));
  g.nodes.push_back(onnxw::node("Div", {"x", "x"}, {"gone2"}, "/squeeze/Div"));
  g.nodes.push_back(onnxw::node("Pad", {"cs", "x"}, {"pooled"}, "/squeeze/Pad"));
  Imported r = import_bytes(onnxw::model(g));
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  const BuilderValue& six = s.values[find(s, "six")];
  EXPECT_EQ(six.elem, kElemI64);
  EXPECT_EQ(i64_at(six, 0), 6);
  ASSERT_EQ(s.node_count, 3u);
  EXPECT_EQ(s.nodes[0].op(), op::Pad);  // Pad with one input
  EXPECT_EQ(s.nodes[0].input_count(), 1u);
  EXPECT_EQ(s.nodes[1].op(), op::Identity);  // ScatterND under /bb/ as Identity
  EXPECT_EQ(s.nodes[2].op(), op::GlobalAveragePool);   // CumSum/Pad as GlobalAveragePool of the CumSum's input
  EXPECT_EQ(s.nodes[2].input(0), find(s, "padded"));
  EXPECT_EQ(s.nodes[2].output(0), find(s, "pooled"));
  EXPECT_EQ(convert_notes().rewrites, kRewriteBiRefNet | kRewriteNafnet);

  // With options none of this happens, and ScatterElements is refused.
  ConvertOptions o = convert_options_init();
  Imported opt = import_bytes(onnxw::model(g), &o);
  EXPECT_EQ(opt.error, "");
  EXPECT_EQ(opt.state->node_count, 7u);
  convert_notes_reset();
}

TEST(LegacyRewrites, DocLayoutTailAndCut) {
  convert_notes_reset();
  onnxw::Graph g = with_input();
  g.nodes.push_back(onnxw::node("Shape", {"x"}, {"s"}, "Shape.14"));
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"skipped"}, "Relu.3"));
  g.nodes.push_back(onnxw::node("Where", {"x", "x", "x"}, {"w"}, "Where.0"));
  g.nodes.push_back(onnxw::node("Identity", {"w"}, {"logits"}, "Identity.1354"));
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"never"}, "after_stop"));
  Imported r = import_bytes(onnxw::model(g));
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  ASSERT_EQ(s.node_count, 3u);
  EXPECT_EQ(s.nodes[0].op(), op::Mul);
  EXPECT_EQ(s.nodes[0].input(0), find(s, "p2o.pd_op.concat.11.0"));
  EXPECT_EQ(s.nodes[1].op(), op::Sigmoid);
  EXPECT_EQ(s.nodes[2].op(), op::Concat);
  EXPECT_EQ(s.nodes[2].output(0), find(s, "fetch_name_0"));
  EXPECT_EQ(s.nodes[2].attr(attr::Concat::kAxis), 2u);
  EXPECT_EQ(find(s, "never"), kNoValue);
  EXPECT_EQ(convert_notes().rewrites, kRewriteDocLayoutTail);
  convert_notes_reset();

  onnxw::Graph cut = with_input();
  cut.outputs.push_back(onnxw::value_info("det", 1, {1, 300, 6}));
  cut.nodes.push_back(onnxw::node("Relu", {"x"}, {"a"}, "a"));
  cut.nodes.push_back(onnxw::node("Concat", {"a", "a"}, {"cat"}, "cat", {onnxw::attr_i("axis", 1)}));
  cut.nodes.push_back(onnxw::node("Transpose", {"cat"}, {"tr"}, "tr"));
  cut.nodes.push_back(onnxw::node("Sigmoid", {"cat"}, {"sg"}, "sg"));
  cut.nodes.push_back(onnxw::node("ReduceMax", {"sg"}, {"rm"}, "rm"));
  cut.nodes.push_back(onnxw::node("Relu", {"rm"}, {"late"}, "late"));
  Imported c = import_bytes(onnxw::model(cut));
  ASSERT_EQ(c.error, "");
  ASSERT_EQ(c.state->node_count, 3u);
  EXPECT_EQ(c.state->nodes[1].op(), op::Concat);
  EXPECT_EQ(c.state->nodes[1].output(0), find(*c.state, "det"));
  EXPECT_EQ(c.state->nodes[1].attr(attr::Concat::kCornerBoxes), 1u);
  EXPECT_EQ(c.state->nodes[2].op(), op::Sigmoid);
  EXPECT_EQ(convert_notes().rewrites, kRewriteCut300);
  convert_notes_reset();
}
