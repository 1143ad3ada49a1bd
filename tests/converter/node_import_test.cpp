// Node import: every mapped operator, the attribute words, the defaults that
// follow the ONNX opset, Constant forms, the Conv1d rewrite and the refusals.
#include <gtest/gtest.h>

#include <set>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/node_import.h"
#include "converter/shape_binding.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;
using onnxw::Msg;

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

std::string op_of(const BuilderNode* n) { return std::string(op_name(n->op()).view()); }

Imported all_ops(bool options = true) {
  static ConvertOptions o;
  o = convert_options_init();
  return import_file(fixture("all_ops.onnx"), options ? &o : nullptr);
}

// A one-node model with inputs x0..x(n-1).
std::string one_node(const Msg& node, int inputs = 1, int64_t opset = 17) {
  onnxw::Graph g;
  g.nodes.push_back(node);
  for (int k = 0; k < inputs; ++k) g.inputs.push_back(onnxw::value_info("x" + std::to_string(k), 1, {1, 4}));
  return onnxw::model(g, opset);
}

}  // namespace

TEST(NodeImport, EveryOperatorOfTheFixtureImports) {
  Imported r = all_ops();
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  // Each op_type maps to the operator code of the same name, except the
  // forms that map onto another code.
  const std::pair<const char*, const char*> renamed[] = {
      {"Dropout", "Identity"}, {"MatMulInteger", "MatMul"}, {"ConvInteger", "Conv"}, {"LessOrEqual", "Less"},
      {"GreaterOrEqual", "Greater"}, {"Tile", "Expand"}};
  for (uint64_t i = 0; i < s.node_count; ++i) {
    std::string name(reinterpret_cast<const char*>(s.onnx + s.origin[i].name_offset), s.origin[i].name_length);
    if (name.rfind("n_", 0) != 0) continue;
    std::string op = name.substr(2, name.rfind('_') - 2);
    for (auto& [from, to] : renamed)
      if (op == from) op = to;
    EXPECT_EQ(op_of(&s.nodes[i]), op) << name;
  }
  for (const char* name : {"conv", "conv_same", "convt", "maxpool", "avgpool", "gemm", "hsig", "lrelu", "elu", "selu",
                           "gelu", "transpose", "ln", "bn", "inorm", "concat", "softmax", "argmax", "split",
                           "gather", "rmean", "rmax", "rmin", "rprod", "cumsum", "topk", "s2d", "d2s", "mod_floor",
                           "onehot", "cast", "shape_se", "resize_scales", "resize_sizes", "cos_fill"})
    EXPECT_NE(node_named(s, name), nullptr) << name;
  // Constant nodes make weights, not nodes.
  EXPECT_EQ(node_named(s, "const_t"), nullptr);
  const BuilderValue& ct = s.values[find(s, "const_t")];
  EXPECT_EQ(ct.kind, kValueWeight);
  EXPECT_EQ(f32_at(ct, 1), -2.0f);
  const BuilderValue& cf = s.values[find(s, "const_f")];
  EXPECT_EQ(cf.rank, 1u);
  EXPECT_EQ(f32_at(cf, 0), 3.25f);
  const BuilderValue& ci = s.values[find(s, "const_i")];
  EXPECT_EQ(ci.elem, kElemI64);
  EXPECT_EQ(i64_at(ci, 0), -7);
  // ConstantOfShape keeps its fill value on its output.
  const BuilderValue& fill = s.values[find(s, "cos_fill")];
  EXPECT_EQ(fill.elem, kElemI64);
  EXPECT_EQ(i64_at(fill, 0), 2);
}

TEST(NodeImport, AttributeWords) {
  Imported r = all_ops();
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  auto attrs = [&](const char* name) {
    const BuilderNode* n = node_named(s, name);
    EXPECT_NE(n, nullptr) << name;
    return n;
  };
  const BuilderNode* conv = attrs("conv");
  using Im = attr::Import;
  for (auto [k, v] : {std::pair{Im::kKernelShape, 3}, {Im::kKernelShape + 1, 3}, {Im::kStrides, 2}, {Im::kStrides + 1, 2},
                      {Im::kPads, 1}, {Im::kPads + 1, 1}, {Im::kPads + 2, 1}, {Im::kPads + 3, 1}, {Im::kDilations, 1},
                      {Im::kDilations + 1, 1}, {Im::kGroup, 1}})
    EXPECT_EQ(conv->attr_i64(k), v) << "conv a" << k;
  EXPECT_EQ(attrs("conv_same")->attr(Im::kAutoPad), Im::kSameUpper);
  EXPECT_EQ(attrs("conv_lower")->attr(Im::kAutoPad), Im::kSameLower);
  const BuilderNode* gemm = attrs("gemm");
  EXPECT_EQ(gemm->attr(Im::kTransA), 1u);
  EXPECT_EQ(gemm->attr(Im::kTransB), 1u);
  EXPECT_EQ(gemm->attr_f32(Im::kAlpha), 0.5f);
  EXPECT_EQ(gemm->attr_f32(Im::kBeta), 2.0f);
  EXPECT_EQ(attrs("gemm_default")->attr_f32(Im::kAlpha), 1.0f);
  EXPECT_EQ(attrs("gemm_default")->attr_f32(Im::kBeta), 1.0f);
  EXPECT_EQ(attrs("hsig")->attr_f32(Im::kAlpha), 0.2f);
  EXPECT_EQ(attrs("hsig")->attr_f32(Im::kBeta), 0.5f);
  EXPECT_EQ(attrs("hsig_ab")->attr_f32(Im::kAlpha), 0.25f);
  EXPECT_EQ(attrs("lrelu")->attr_f32(Im::kAlpha), 0.01f);
  EXPECT_EQ(attrs("elu")->attr_f32(Im::kAlpha), 1.0f);
  // ONNX's Selu constants.
  EXPECT_FLOAT_EQ(attrs("selu")->attr_f32(Im::kAlpha), 1.6732632f);
  EXPECT_FLOAT_EQ(attrs("selu")->attr_f32(Im::kGamma), 1.0507010f);
  EXPECT_EQ(attrs("ln")->attr_f32(Im::kEpsilon), 1e-6f);
  EXPECT_EQ(attrs("ln")->attr_i64(attr::Import::kAxis), -1);
  EXPECT_EQ(attrs("bn")->attr_f32(Im::kEpsilon), 1e-5f);
  EXPECT_EQ(attrs("inorm")->attr_f32(Im::kEpsilon), 1e-5f);
  const BuilderNode* tr = attrs("transpose");
  EXPECT_EQ(tr->attr(Im::kListCount), 4u);
  EXPECT_EQ(tr->attr(Im::kList), 0u);
  EXPECT_EQ(tr->attr(Im::kList + 1), 2u);
  EXPECT_EQ(tr->attr(Im::kList + 2), 3u);
  EXPECT_EQ(tr->attr(Im::kList + 3), 1u);
  EXPECT_EQ(attrs("concat")->attr_i64(attr::Import::kAxis), -1);
  // Default axes follow the opset: Softmax -1 from opset 13, Split, ArgMax
  // and Gather 0, TopK and OneHot -1.
  EXPECT_EQ(attrs("softmax")->attr_i64(attr::Import::kAxis), -1);
  EXPECT_EQ(attrs("softmax")->attr(Im::kFlattenedSoftmax), 0u);
  EXPECT_EQ(attrs("argmax")->attr_i64(attr::Import::kAxis), 0);
  EXPECT_EQ(attrs("argmax")->attr(Im::kKeepdims), 0u);
  EXPECT_EQ(attrs("split")->attr_i64(attr::Import::kAxis), 0);
  EXPECT_EQ(attrs("split")->w[10], 2u);
  EXPECT_EQ(attrs("gather")->attr_i64(attr::Import::kAxis), 0);
  EXPECT_EQ(attrs("gather_ax")->attr_i64(attr::Import::kAxis), 1);
  EXPECT_EQ(attrs("topk")->attr_i64(attr::Import::kAxis), -1);
  EXPECT_EQ(attrs("topk")->attr(Im::kSmallest), 0u);
  EXPECT_EQ(attrs("topk_small")->attr(Im::kSmallest), 1u);  // largest=0 kept
  EXPECT_EQ(attrs("topk_small")->attr_i64(attr::Import::kAxis), 1);
  EXPECT_EQ(attrs("onehot")->attr_i64(attr::Import::kAxis), -1);
  const BuilderNode* rmean = attrs("rmean");
  EXPECT_EQ(rmean->attr(Im::kAxesCount), 2u);
  EXPECT_EQ(rmean->attr(Im::kAxis), 2u);
  EXPECT_EQ(rmean->attr(Im::kSecondAxis), 3u);
  EXPECT_EQ(rmean->attr(Im::kKeepdims), 1u);
  EXPECT_EQ(attrs("cumsum")->attr(Im::kExclusive), 1u);
  EXPECT_EQ(attrs("cumsum")->attr(Im::kReverse), 1u);
  EXPECT_EQ(attrs("s2d")->attr(Im::kBlocksize), 2u);
  EXPECT_EQ(attrs("d2s")->attr(Im::kBlocksize), 2u);
  // Mod keeps fmod: 0 floor-mod (the default), 1 C fmod.
  EXPECT_EQ(attrs("mod_floor")->attr(Im::kFmod), 0u);
  EXPECT_EQ(attrs("mod_fmod")->attr(Im::kFmod), 1u);
  const BuilderNode* cast = attrs("cast");
  EXPECT_EQ(op_of(cast), "Identity");
  EXPECT_EQ(cast->attr(attr::kCastTagWord), attr::kCastTag);
  EXPECT_EQ(cast->attr(Im::kTo), attr::Cast::kToInt64);
  const BuilderNode* shape = attrs("shape_se");
  EXPECT_EQ(shape->attr_i64(attr::Import::kStart), -2);
  EXPECT_EQ(shape->attr_i64(attr::Import::kEnd), 4);
  EXPECT_EQ(shape->attr(Im::kStartEndGiven), Im::kStartGivenBit | Im::kEndGivenBit);
  const BuilderNode* rs = attrs("resize_scales");
  EXPECT_EQ(rs->attr(Im::kLinearMode), 1u);
  EXPECT_EQ(rs->attr(Im::kAlignCorners), 1u);
  EXPECT_EQ(rs->input(1), kNone);  // the empty roi input
  EXPECT_EQ(rs->input(2), find(s, "scales"));
  const BuilderNode* rz = attrs("resize_sizes");
  EXPECT_EQ(rz->attr(Im::kLinearMode), 0u);
  EXPECT_EQ(rz->input(3), find(s, "sizes"));
  EXPECT_EQ(rz->w[1], 4u);
  // Integer weights and the or-equal and Tile markers.
  const BuilderNode* mmi = node_named(s, "n_MatMulInteger_46");
  ASSERT_NE(mmi, nullptr);
  EXPECT_EQ(mmi->attr(attr::kIntegerWeightWord), attr::kIntegerWeightMarker);
  EXPECT_EQ(node_named(s, "n_LessOrEqual_48")->attr(attr::Compare::kOrEqual), 1u);
  EXPECT_EQ(node_named(s, "n_Tile_50")->attr(attr::Expand::kTile), 1u);
  // Pad keeps its pads input in its slot but counts one input.
  const BuilderNode* pad = node_named(s, "n_Pad_54");
  EXPECT_EQ(pad->w[1], 1u);
  EXPECT_EQ(pad->input(1), find(s, "x1"));
  EXPECT_EQ(pad->input(2), find(s, "pad_value"));
}

TEST(NodeImport, Conv1dBecomesUnsqueezeConvSqueeze) {
  Imported r = all_ops();
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  uint64_t out = find(s, "conv1d");
  uint64_t unsq = find(s, "conv1d#unsqueeze"), c2d = find(s, "conv1d#conv2d");
  ASSERT_NE(unsq, kNoValue);
  ASSERT_NE(c2d, kNoValue);
  // The weight is read as [O, I, 1, K] from the lowering pass on, which
  // knows whether other nodes read it as it is.
  const BuilderValue& w = s.values[find(s, "w3")];
  EXPECT_EQ(w.rank, 3u);
  EXPECT_EQ(w.dims[2], 3u);
  int found = 0;
  for (uint64_t i = 0; i + 2 < s.node_count; ++i) {
    const BuilderNode &a = s.nodes[i], &b = s.nodes[i + 1], &c = s.nodes[i + 2];
    if (a.op() != op::Unsqueeze || a.output(0) != unsq) continue;
    ++found;
    EXPECT_EQ(a.input(0), find(s, "x1d"));
    EXPECT_EQ(a.attr(attr::Axes::kAxis), 2u);
    EXPECT_EQ(b.op(), op::Conv);
    EXPECT_EQ(b.input(0), unsq);
    EXPECT_EQ(b.output(0), c2d);
    EXPECT_EQ(b.attr(attr::Conv::kKernelH), 1u);
    EXPECT_EQ(b.attr(attr::Conv::kKernelW), 3u);
    EXPECT_EQ(b.attr(attr::Conv::kStrideW), 2u);
    EXPECT_EQ(b.attr(attr::Conv::kPadLeft), 1u);
    EXPECT_EQ(b.attr(attr::Conv::kPadRight), 1u);
    EXPECT_EQ(c.op(), op::Squeeze);
    EXPECT_EQ(c.input(0), c2d);
    EXPECT_EQ(c.output(0), out);
  }
  EXPECT_EQ(found, 1);
}

TEST(NodeImport, OpsetElevenDefaults) {
  ConvertOptions o = convert_options_init();
  Imported r = import_file(fixture("axes_attr_opset11.onnx"), &o);
  ASSERT_EQ(r.error, "");
  const BuilderState& s = *r.state;
  const BuilderNode* sm = node_named(s, "sm");
  EXPECT_EQ(sm->attr_i64(attr::Import::kAxis), 1);  // axis 1 before opset 13 ...
  EXPECT_EQ(sm->attr(attr::Import::kFlattenedSoftmax), 1u);  // ... over the flattened trailing dims
  const BuilderNode* unsq = node_named(s, "unsq");
  EXPECT_EQ(unsq->attr(attr::Import::kAxesCount), 2u);
  EXPECT_EQ(unsq->attr(attr::Import::kAxis), 0u);
  EXPECT_EQ(unsq->attr(attr::Import::kSecondAxis), 3u);
  const BuilderNode* split = node_named(s, "split");
  EXPECT_EQ(split->attr(attr::Import::kListCount), 2u);
  EXPECT_EQ(split->attr(attr::Import::kList), 1u);
  EXPECT_EQ(split->attr(attr::Import::kList + 1), 2u);
  EXPECT_EQ(split->attr_i64(attr::Import::kAxis), 1);
  const BuilderNode* clip = node_named(s, "clip");
  EXPECT_EQ(clip->input(1), find(s, "lo"));
  EXPECT_EQ(clip->input(2), find(s, "hi"));
}

TEST(NodeImport, RefusedNodesAreReportedTogether) {
  ConvertOptions o = convert_options_init();
  Imported r = import_file(fixture("refused.onnx"), &o);
  EXPECT_EQ(r.error,
            "5 unsupported node(s):\n"
            "  'pad_reflect' Pad (ai.onnx opset 17): Pad mode 'reflect' is not supported\n"
            "  'einsum' Einsum (ai.onnx opset 17): its equation is not interpreted (Einsum converts only in the "
            "legacy [h] [w] form)\n"
            "  'custom_relu' Relu (com.example opset 1): no Vorn lowering for this operator\n"
            "  'resize_asym_linear' Resize (ai.onnx opset 17): linear Resize supports coordinate_transformation_mode "
            "half_pixel, pytorch_half_pixel and align_corners only\n"
            "  'resize_nearest_ceil' Resize (ai.onnx opset 17): nearest Resize supports (half_pixel, "
            "round_prefer_floor or round_prefer_ceil) and (asymmetric, floor or round_prefer_floor) only\n");
}

TEST(NodeImport, ReportListsAtMostOneHundredNodes) {
  for (int count : {100, 150}) {
    onnxw::Graph g;
    for (int k = 0; k < count; ++k) g.nodes.push_back(onnxw::node("YoloNms", {"x0"}, {"y" + std::to_string(k)}));
    g.inputs.push_back(onnxw::value_info("x0", 1, {1, 4}));
    std::string error = import_bytes(onnxw::model(g)).error;
    EXPECT_EQ(error.rfind(std::to_string(count) + " unsupported node(s):\n", 0), 0u);
    size_t lines = 0;
    for (char c : error) lines += c == '\n';
    EXPECT_EQ(lines, count == 100 ? 101u : 102u);
    EXPECT_EQ(error.size() >= 6 && error.substr(error.size() - 6) == "  ...\n", count == 150);
    // Unnamed nodes are named by their first output.
    EXPECT_NE(error.find("  'y7' YoloNms (ai.onnx opset 17): no Vorn lowering for this operator\n"), std::string::npos);
  }
}

TEST(NodeImport, InputsOutputsAndConstants) {
  // Ten inputs keep the first eight; an empty name leaves -1.
  Msg concat = onnxw::node("Concat", {"x0", "", "x0", "x0", "x0", "x0", "x0", "x0", "x9", "x9"}, {"c"}, "c",
                           {onnxw::attr_i("axis", 0)});
  Imported r = import_bytes(one_node(concat));
  ASSERT_EQ(r.error, "");
  const BuilderNode& n = r.state->nodes[0];
  EXPECT_EQ(n.input_count(), 8u);
  EXPECT_EQ(n.input(1), kNone);
  EXPECT_EQ(find(*r.state, "x9"), kNoValue);

  // With options a wide Concat becomes a tree of 8-input Concats; other
  // operators with more than 8 inputs are refused.
  ConvertOptions o = convert_options_init();
  std::vector<std::string> nineteen;
  for (int k = 0; k < 19; ++k) nineteen.push_back("x" + std::to_string(k % 3));
  Imported wide = import_bytes(one_node(onnxw::node("Concat", nineteen, {"c"}, "c", {onnxw::attr_i("axis", 1)}), 3), &o);
  ASSERT_EQ(wide.error, "");
  const BuilderState& ws = *wide.state;
  ASSERT_EQ(ws.node_count, 4u);
  for (uint64_t g = 0; g < 3; ++g) {
    EXPECT_EQ(ws.nodes[g].input_count(), g < 2 ? 8u : 3u);
    EXPECT_EQ(ws.nodes[g].output(0), find(ws, "c#concat" + std::to_string(g)));
    EXPECT_EQ(ws.nodes[g].attr(attr::Concat::kAxis), 1u);
    EXPECT_EQ(ws.nodes[3].input(g), ws.nodes[g].output(0));
  }
  EXPECT_EQ(ws.nodes[2].input(0), find(ws, "x1"));  // input 16 is x1
  EXPECT_EQ(ws.nodes[3].input_count(), 3u);
  EXPECT_EQ(ws.nodes[3].output(0), find(ws, "c"));
  EXPECT_EQ(import_bytes(one_node(onnxw::node("Max", nineteen, {"m"}, "m"), 3), &o).error,
            "1 unsupported node(s):\n  'm' Max (ai.onnx opset 17): more than 8 inputs are not supported (Concat takes "
            "up to 64)\n");
  EXPECT_EQ(import_bytes(one_node(onnxw::node("Gather", {"x0", "x1"}, {"g"}, "g", {onnxw::attr_i("batch_dims", 1)}), 2),
                         &o)
                .error,
            "1 unsupported node(s):\n  'g' Gather (ai.onnx opset 17): batch_dims other than 0 is not supported\n");
  EXPECT_EQ(import_bytes(one_node(onnxw::node("TopK", {"x0"}, {"a", "b", "c", "d", "e"}, "tk")), &o).error,
            "1 unsupported node(s):\n  'tk' TopK (ai.onnx opset 17): more than 4 outputs are not supported\n");
  // Split takes up to 64 outputs, four to a node.
  std::vector<std::string> parts;
  for (int k = 0; k < 65; ++k) parts.push_back("p" + std::to_string(k));
  EXPECT_EQ(import_bytes(one_node(onnxw::node("Split", {"x0"}, parts, "sp")), &o).error,
            "1 unsupported node(s):\n  'sp' Split (ai.onnx opset 17): more than 64 outputs are not supported\n");
  parts.resize(9);
  Imported split = import_bytes(one_node(onnxw::node("Split", {"x0"}, parts, "sp")), &o);
  ASSERT_EQ(split.error, "");
  EXPECT_EQ(split.state->node_count, 3u);
  EXPECT_EQ(split.state->nodes[2].output_count(), 1u);
  EXPECT_EQ(import_bytes(one_node(onnxw::node("Constant", {}, {"k"}, "k", {onnxw::attr_ints("value_ints", {1})})), &o)
                .error,
            "1 unsupported node(s):\n  'k' Constant (ai.onnx opset 17): Constant without a value\n");
  EXPECT_EQ(import_bytes(one_node(onnxw::node("OneHot", {"x0"}, {"o"}, "o"))).error,
            "1 unsupported node(s):\n  'o' OneHot (ai.onnx opset 17): no Vorn lowering for this operator\n");
  // A malformed attribute (a float cut short) is reported as such.
  Msg bad = onnxw::node("Relu", {"x0"}, {"y"}, "r");
  bad.tag(5, 2).varint(7).raw(Msg().s(1, "a").tag(2, 5).raw("\x01").b);
  EXPECT_EQ(import_bytes(one_node(bad)).error,
            "1 unsupported node(s):\n  'r' Relu (ai.onnx opset 17): malformed attribute\n");
  // Einsum converts only in the legacy mode.
  Msg einsum = onnxw::node("Einsum", {"x0", "x0"}, {"e"}, "e", {onnxw::attr_s("equation", "bhwc,wkc->bhwk")});
  Imported legacy = import_bytes(one_node(einsum));
  ASSERT_EQ(legacy.error, "");
  EXPECT_EQ(legacy.state->nodes[0].op(), op::MatMul);
  EXPECT_EQ(legacy.state->nodes[0].attr(attr::Import::kEquationW), 1u);
  EXPECT_NE(convert_notes().rewrites & kRewriteSam, 0u);
  convert_notes_reset();
}

TEST(NodeImport, NonMaxSuppressionLimitsInAttributeWords) {
  onnxw::Graph g;
  std::vector<int64_t> max_boxes = {50};
  std::vector<float> iou = {0.45f}, score = {0.25f};
  g.inits.push_back(onnxw::tensor("max", 7, {1}, onnxw::bytes_of(max_boxes)));
  g.inits.push_back(onnxw::tensor("iou", 1, {1}, onnxw::bytes_of(iou)));
  g.inits.push_back(onnxw::tensor("score", 1, {1}, onnxw::bytes_of(score)));
  g.nodes.push_back(onnxw::node("NonMaxSuppression", {"boxes", "scores", "max", "iou", "score"}, {"sel"}, "nms"));
  g.nodes.push_back(onnxw::node("NonMaxSuppression", {"boxes", "scores"}, {"sel2"}, "nms_bare"));
  g.inputs.push_back(onnxw::value_info("boxes", 1, {1, 10, 4}));
  g.inputs.push_back(onnxw::value_info("scores", 1, {1, 2, 10}));
  ConvertOptions o = convert_options_init();
  Imported r = import_bytes(onnxw::model(g), &o);
  ASSERT_EQ(r.error, "");
  const BuilderNode* nms = node_named(*r.state, "nms");
  EXPECT_EQ(nms->attr(attr::NonMaxSuppression::kMaxBoxes), 50u);
  EXPECT_EQ(nms->attr_f32(attr::NonMaxSuppression::kIouThreshold), 0.45f);
  EXPECT_EQ(nms->attr_f32(attr::NonMaxSuppression::kScoreThreshold), 0.25f);
  const BuilderNode* bare = node_named(*r.state, "nms_bare");
  EXPECT_EQ(bare->attr(attr::NonMaxSuppression::kMaxBoxes), 0u);
  EXPECT_EQ(bare->attr_f32(attr::NonMaxSuppression::kIouThreshold), 0.0f);
  EXPECT_EQ(bare->attr(attr::NonMaxSuppression::kScoreThreshold), attr::NonMaxSuppression::kNoScoreThreshold);
  EXPECT_EQ(import_bytes(onnxw::model([] {
                           onnxw::Graph c;
                           c.nodes.push_back(onnxw::node("NonMaxSuppression", {"b", "s"}, {"o"}, "n",
                                                         {onnxw::attr_i("center_point_box", 1)}));
                           c.inputs.push_back(onnxw::value_info("b", 1, {1, 10, 4}));
                           c.inputs.push_back(onnxw::value_info("s", 1, {1, 2, 10}));
                           return c;
                         }()),
                         &o)
                .error,
            "1 unsupported node(s):\n  'n' NonMaxSuppression (ai.onnx opset 17): NonMaxSuppression with "
            "center_point_box=1 is not supported\n");
}

TEST(NodeImport, FixtureCoversEveryMappedOperator) {
  Imported r = all_ops();
  ASSERT_EQ(r.error, "");
  std::set<uint64_t> seen;
  for (uint64_t i = 0; i < r.state->node_count; ++i) seen.insert(r.state->nodes[i].op());
  for (uint64_t code = 1; code <= kOpCodeCount; ++code) {
    Slice name = op_name(code);
    if (onnx_op_code(name.ptr, name.len) == 0) continue;  // produced only by rewrites, or never imported
    EXPECT_TRUE(seen.count(code)) << name.view() << " has no node in all_ops.onnx";
  }
  for (uint64_t code : {op::DeformUnfold, op::DetrTopK, op::MaskToBoxLogit, op::YoloNms, op::Cast}) {
    Slice name = op_name(code);
    EXPECT_EQ(onnx_op_code(name.ptr, name.len), 0u) << name.view();
  }
}
