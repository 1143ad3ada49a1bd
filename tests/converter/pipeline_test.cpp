// The conversion pipeline around the lowering pass: the detection-tail
// matcher and its YoloNms node, the summary, report-only, the legacy entry
// points, what a failure leaves at the output path, and lowering rules on
// hand-built builder states.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "container/attr_words.h"
#include "container/container.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/builder_state.h"
#include "converter/conversion_notes.h"
#include "converter/convert.h"
#include "converter/lowering.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"

namespace vorn {
namespace {

std::string data_dir() { return std::string(VORN_TEST_DATA) + "/converter_lowering"; }

std::string take(ByteString* b) {
  std::string t(reinterpret_cast<const char*>(b->ptr), b->len);
  bytes_free(b);
  return t;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ConvertOutcome convert(const std::string& model, const std::string& out, bool report_only = false) {
  ConvertOptions options = convert_options_init();
  options.report_only = report_only ? 1 : 0;
  return convert_onnx_file_with_options(slice_of(data_dir() + "/" + model + "/model.onnx"), slice_of(out), &options);
}

TEST(DetectionTail, BecomesOneYoloNmsNodeWithTheTailsConstants) {
  TempPath out;
  ConvertOutcome r = convert("tail_match", out.path);
  std::string text = take(&r.text);
  ASSERT_EQ(r.status, 0u) << text;
  EXPECT_EQ(text, "input  x0 [1, 7, 20] f32\noutput y0 [1, 10, 7] f32\nopset 13, ir_version 7, 2 nodes\n");
  ContainerResult c = container_open_path(out.path.c_str());
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(container_node_count(&c.value), 2u);
  NodeRecord head = container_node_record(&c.value, 0), nms = container_node_record(&c.value, 1);
  EXPECT_EQ(head.w[0], op::Sigmoid);  // Sigmoid, the cut
  EXPECT_EQ(nms.w[0], op::YoloNms);
  EXPECT_EQ(nms.w[1], 1u);
  EXPECT_EQ(nms.w[2], head.w[11]);
  auto attr = [&](uint64_t k) { return nms.w[attr::kFirstRecordWord + k]; };
  EXPECT_EQ(attr(0), 10u);  // detections
  EXPECT_EQ(attr(1), 1u);   // extra fields: 7 - 6
  EXPECT_EQ(attr(4), f32_bits(640.0f));
  EXPECT_EQ(attr(5), f32_bits(0.5f));
  EXPECT_EQ(attr(6), f32_bits(3.0f));
  EXPECT_EQ(attr(13), 1u);  // center_point_box
  EXPECT_EQ(attr(14), f32_bits(0.25f));
  EXPECT_EQ(attr(15), f32_bits(0.45f));
  ValueRecord y = container_value_record(&c.value, nms.w[11]);
  EXPECT_EQ(y.w[0], kValueGraphOutput);
  EXPECT_EQ(y.w[2], 3u);
  EXPECT_EQ(y.w[4], 10u);
  EXPECT_EQ(y.w[5], 7u);
  container_close(&c.value);
}

TEST(DetectionTail, NearMissesAreImportedNodeByNode) {
  for (const char* model : {"tail_two_outputs", "tail_two_nms", "tail_computed_threshold"}) {
    TempPath out;
    ConvertOutcome r = convert(model, out.path);
    std::string text = take(&r.text);
    EXPECT_EQ(r.status, 1u) << model;
    EXPECT_NE(text.find("'nz' NonZero"), std::string::npos) << model << ": " << text;
  }
}

TEST(Pipeline, ReportOnlyWritesNothing) {
  TempPath out;
  std::remove(out.path.c_str());
  ConvertOutcome r = convert("bn_fused_no_conv_bias", out.path, true);
  std::string text = take(&r.text);
  EXPECT_EQ(r.status, 0u) << text;
  EXPECT_NE(text.find("output y0 [1, 4, 6, 7] f32\n"), std::string::npos) << text;
  EXPECT_EQ(std::fopen(out.path.c_str(), "rb"), nullptr);
}

TEST(Pipeline, ARefusedModelLeavesTheOutputPathAsItWas) {
  TempPath out;
  { std::ofstream(out.path) << "keep me"; }
  ConvertOutcome r = convert("refuse_pow_cube", out.path);
  EXPECT_EQ(r.status, 1u);
  EXPECT_EQ(take(&r.text), "unsupported Pow 'pow3': only constant exponents 2, 0.5 and 1 are supported");
  EXPECT_EQ(file_text(out.path), "keep me");
}

TEST(Pipeline, AnInputWithoutProducerIsRefusedNamingTheNode) {
  TempPath out;
  ConvertOutcome r = convert("dangling_input", out.path);
  EXPECT_EQ(r.status, 1u);
  EXPECT_EQ(take(&r.text),
            "unsupported Add 'add_ghost': its input 'ghost' has no producer (neither a graph input, a weight nor an "
            "earlier node's output)");
}

TEST(Pipeline, PathFailures) {
  TempPath out;
  std::string nul("a\0b", 3);
  ConvertOptions options = convert_options_init();
  ConvertOutcome r = convert_onnx_file_with_options(slice_of(nul), slice_of(out.path), &options);
  EXPECT_EQ(take(&r.text), "invalid onnx path");
  r = convert_onnx_file_with_options(slice_of(data_dir() + "/conv1d/model.onnx"), slice_of(nul), &options);
  EXPECT_EQ(take(&r.text), "invalid vorn path");
  r = convert_onnx_file_with_options(slice_of(data_dir() + "/none.onnx"), slice_of(out.path), &options);
  EXPECT_EQ(take(&r.text), "failed to open onnx file");
}

TEST(Pipeline, LegacyBatchZeroIsBatchOne) {
  TempPath a, b;
  const std::string model = data_dir() + "/conv1d/model.onnx";
  ConvertResult ra = convert_onnx_file_with_flags(slice_of(model), slice_of(a.path), 0, 0);
  ConvertResult rb = convert_onnx_file_with_flags(slice_of(model), slice_of(b.path), 0, 1);
  ASSERT_TRUE(ra.ok() && rb.ok());
  EXPECT_EQ(file_text(a.path), file_text(b.path));
}

// ---------------------------------------------------------------------------
// Rules on hand-built states
// ---------------------------------------------------------------------------

struct State {
  BuilderState* s = builder_new();
  ConvertOptions options = convert_options_init();
  ~State() { builder_free(s); }
  void options_mode() {
    s->options_copy = options;
    s->options = &s->options_copy;
  }
  uint64_t value(const char* name, uint64_t kind, std::vector<uint64_t> dims) {
    uint64_t v = builder_intern_value(*s, reinterpret_cast<const uint8_t*>(name), std::strlen(name));
    s->values[v].kind = kind;
    s->values[v].rank = dims.size();
    for (size_t k = 0; k < dims.size(); ++k) s->values[v].dims[k] = dims[k];
    return v;
  }
  uint64_t constant(const char* name, std::vector<float> data) {
    uint64_t v = value(name, kValueWeight, {data.size()});
    auto* p = static_cast<uint8_t*>(std::malloc(data.size() * 4));
    std::memcpy(p, data.data(), data.size() * 4);
    s->values[v].data = p, s->values[v].size = data.size() * 4, s->values[v].owned = 1;
    return v;
  }
  uint64_t constant_i64(const char* name, std::vector<int64_t> data) {
    uint64_t v = value(name, kValueWeight, {data.size()});
    auto* p = static_cast<uint8_t*>(std::malloc(data.size() * 8));
    std::memcpy(p, data.data(), data.size() * 8);
    s->values[v].elem = kElemI64;
    s->values[v].data = p, s->values[v].size = data.size() * 8, s->values[v].owned = 1;
    return v;
  }
  BuilderNode& node(uint64_t op, std::vector<uint64_t> in, std::vector<uint64_t> out) {
    BuilderNode* n = builder_append_node(*s);
    n->w[0] = op;
    n->w[1] = in.size();
    for (size_t k = 0; k < in.size(); ++k) n->w[2 + k] = in[k];
    n->w[10] = out.size();
    for (size_t k = 0; k < out.size(); ++k) n->w[11 + k] = out[k];
    set_f32(*n, 14, 1.0f);
    set_f32(*n, 15, 1.0f);
    return *n;
  }
  static void set_f32(BuilderNode& n, int k, float f) { n.attr(k) = f32_bits(f); }
  bool lower() {
    s->lowering_error = 0;
    return lower_graph(*s);
  }
};

TEST(LowerRules, PowWithIntegerExponentTwoSquaresInBothModes) {
  for (bool options : {false, true}) {
    State st;
    if (options) st.options_mode();
    uint64_t x = st.value("x", kValueGraphInput, {2, 3});
    uint64_t e = st.constant_i64("e", {2});
    uint64_t y = st.value("y", kValueGraphOutput, {});
    st.node(op::Pow, {x, e}, {y});
    ASSERT_TRUE(st.lower());
    const BuilderNode& n = st.s->nodes[0];
    EXPECT_EQ(n.op(), op::Mul);
    EXPECT_EQ(n.input(0), x);
    EXPECT_EQ(n.input(1), x);
    EXPECT_EQ(st.s->values[y].rank, 2u);
  }
}

// A constant Round folds as the operator computes it: halves to even.
TEST(LowerRules, ConstantRoundFoldsHalvesToEven) {
  const float cases[][2] = {{2.5f, 2.0f}, {-2.5f, -2.0f}, {0.5f, 0.0f}, {1.5f, 2.0f}, {3.7f, 4.0f}, {-0.2f, -0.0f}};
  for (const auto& [in, want] : cases) {
    State st;
    uint64_t c = st.constant("c", {in});
    uint64_t y = st.value("y", kValueGraphOutput, {});
    st.node(op::Round, {c}, {y});
    ASSERT_TRUE(st.lower());
    ASSERT_EQ(st.s->values[y].size, 4u);
    float got;
    std::memcpy(&got, st.s->values[y].data, 4);
    EXPECT_EQ(got, want) << in;
  }
}

TEST(LowerRules, PowCubeStopsOptionsModeAndIsApproximatedInLegacyMode) {
  State legacy;
  convert_notes_reset();
  uint64_t x = legacy.value("x", kValueGraphInput, {4});
  uint64_t e = legacy.constant("e", {3.0f});
  uint64_t y = legacy.value("y", kValueGraphOutput, {});
  legacy.node(op::Pow, {x, e}, {y});
  ASSERT_TRUE(legacy.lower());
  EXPECT_EQ(legacy.s->nodes[0].op(), op::Mul);
  EXPECT_NE(convert_notes().rewrites & 0x100, 0u);

  State opt;
  opt.options_mode();
  x = opt.value("x", kValueGraphInput, {4});
  e = opt.constant("e", {3.0f});
  y = opt.value("y", kValueGraphOutput, {});
  opt.node(op::Pow, {x, e}, {y});
  EXPECT_FALSE(opt.lower());
  EXPECT_EQ(opt.s->lowering_error, kLowerPow);
  EXPECT_EQ(opt.s->failing_node, 0u);
}

TEST(LowerRules, SameUpperPaddingSplitsTheTotalWithTheLargerHalfAtTheEnd) {
  for (uint64_t mode : {attr::Import::kSameUpper, attr::Import::kSameLower}) {
    State st;
    st.options_mode();
    uint64_t x = st.value("x", kValueGraphInput, {1, 1, 8, 8});
    uint64_t w = st.constant("w", std::vector<float>(9, 1.0f));
    st.s->values[w].rank = 4;
    st.s->values[w].dims[0] = 1, st.s->values[w].dims[1] = 1, st.s->values[w].dims[2] = 3, st.s->values[w].dims[3] = 3;
    uint64_t y = st.value("y", kValueGraphOutput, {});
    BuilderNode& n = st.node(op::Conv, {x, w}, {y});
    n.attr(attr::Import::kStrides) = n.attr(attr::Import::kStrides + 1) = 2;
    n.attr(attr::Import::kDilations) = n.attr(attr::Import::kDilations + 1) = 1;
    n.attr(attr::Import::kGroup) = 1;
    n.attr(attr::Import::kAutoPad) = mode;
    ASSERT_TRUE(st.lower());
    const BuilderNode& c = st.s->nodes[0];
    // 8 by stride 2 and kernel 3: total padding 1.
    EXPECT_EQ(c.attr(attr::Conv::kPadTop), mode == attr::Import::kSameUpper ? 0u : 1u);
    EXPECT_EQ(c.attr(attr::Conv::kPadBottom), mode == attr::Import::kSameUpper ? 1u : 0u);
    EXPECT_EQ(st.s->values[y].dims[2], 4u);
    EXPECT_EQ(st.s->values[y].dims[3], 4u);
    EXPECT_EQ(c.attr(attr::Conv::kNoDepthwise), 0u);  // auto_pad does not stay behind
  }
}

TEST(LowerRules, GraphWithoutNodesDemotesEveryWeight) {
  State st;
  uint64_t w = st.constant("w", {1.0f, 2.0f});
  ASSERT_TRUE(st.lower());
  EXPECT_EQ(st.s->values[w].kind, kValueActivation);
  EXPECT_EQ(st.s->values[w].rank, 0u);
}

TEST(LowerRules, TileOfOnesDimsBecomesExpandAndOtherTilesConcats) {
  for (uint64_t d1 : {1u, 2u}) {
    State st;
    st.options_mode();
    uint64_t x = st.value("x", kValueGraphInput, {1, d1, 8, 8});
    uint64_t r = d1 == 1 ? st.constant_i64("r", {1, 3, 1, 1}) : st.constant_i64("r", {1, 3, 1, 2});
    uint64_t y = st.value("y", kValueGraphOutput, {});
    BuilderNode& n = st.node(op::Expand, {x, r}, {y});
    n.attr(attr::Expand::kTile) = 1;
    ASSERT_TRUE(st.lower());
    EXPECT_EQ(st.s->values[y].dims[1], 3 * d1);
    if (d1 == 1) {
      EXPECT_EQ(st.s->values[y].dims[3], 8u);
      ASSERT_EQ(st.s->node_count, 1u);
      EXPECT_EQ(st.s->nodes[0].op(), op::Expand);  // an Expand of the derived shape
    } else {
      EXPECT_EQ(st.s->values[y].dims[3], 16u);
      ASSERT_EQ(st.s->node_count, 2u);  // one Concat per repeated axis
      EXPECT_EQ(st.s->nodes[0].op(), op::Concat);
      EXPECT_EQ(st.s->nodes[0].input_count(), 3u);
      EXPECT_EQ(st.s->nodes[1].input_count(), 2u);
      EXPECT_EQ(st.s->nodes[1].output(0), y);
    }
  }
}

TEST(LowerRules, TileByMoreThanEightStops) {
  for (uint64_t d1 : {2u}) {
    State st;
    st.options_mode();
    uint64_t x = st.value("x", kValueGraphInput, {1, d1, 8, 8});
    uint64_t r = st.constant_i64("r", {1, 9, 1, 1});
    uint64_t y = st.value("y", kValueGraphOutput, {});
    BuilderNode& n = st.node(op::Expand, {x, r}, {y});
    n.attr(attr::Expand::kTile) = 1;
    if (d1 == 1) {
      ASSERT_TRUE(st.lower());
      EXPECT_EQ(st.s->values[y].dims[1], 3u);
      EXPECT_EQ(st.s->values[y].dims[2], 8u);
    } else {
      EXPECT_FALSE(st.lower());
      EXPECT_EQ(st.s->lowering_error, kLowerConvertTimeOnly);
    }
  }
}

TEST(LowerRules, LegacyPadWithRunTimePadsUsesTheTable) {
  State st;
  convert_notes_reset();
  uint64_t x = st.value("x", kValueGraphInput, {1, 130, 130, 192});
  uint64_t p = st.value("p", kValueActivation, {8});
  st.s->values[p].elem = kElemI64;
  uint64_t y = st.value("y", kValueGraphOutput, {});
  BuilderNode& n = st.node(op::Pad, {x}, {y});
  n.w[3] = p;
  ASSERT_TRUE(st.lower());
  EXPECT_EQ(st.s->values[y].dims[1], 132u);
  EXPECT_EQ(st.s->values[y].dims[2], 132u);
  EXPECT_NE(convert_notes().rewrites & 0x80, 0u);
}

TEST(LowerRules, ConstantNhwcPadAndRefusedPads) {
  for (int variant = 0; variant < 2; ++variant) {
    State st;
    uint64_t x = st.value("x", kValueGraphInput, {1, 15, 15, 64});
    uint64_t p = variant == 0 ? st.constant_i64("p", {0, 0, 0, 0, 0, 1, 1, 0})
                              : st.constant_i64("p", {0, 1, 0, 0, 0, 0, 1, 0});
    uint64_t y = st.value("y", kValueGraphOutput, {});
    BuilderNode& n = st.node(op::Pad, {x}, {y});
    n.w[3] = p;
    if (variant == 0) {
      ASSERT_TRUE(st.lower());
      EXPECT_EQ(st.s->values[y].dims[1], 16u);
      EXPECT_EQ(st.s->values[y].dims[2], 16u);
      EXPECT_EQ(st.s->values[y].dims[3], 64u);
    } else {
      EXPECT_FALSE(st.lower());
      EXPECT_EQ(st.s->lowering_error, kLowerPad);
    }
  }
}

TEST(LowerRules, RangeOfFloatsCountsWithCeilAndI64WithCeil) {
  State st;
  st.options_mode();
  uint64_t a = st.constant("a", {0.0f}), b = st.constant("b", {1.0f}), d = st.constant("d", {0.3f});
  uint64_t r = st.value("r", kValueActivation, {});
  uint64_t x = st.value("x", kValueGraphInput, {4});
  uint64_t y = st.value("y", kValueGraphOutput, {});
  st.node(op::Range, {a, b, d}, {r});
  st.node(op::Add, {x, r}, {y});
  ASSERT_TRUE(st.lower());
  EXPECT_EQ(st.s->values[r].kind, kValueWeight);
  ASSERT_EQ(st.s->values[r].size, 16u);  // 0, 0.3, 0.6, 0.9
  float last;
  std::memcpy(&last, st.s->values[r].data + 12, 4);
  EXPECT_NEAR(last, 0.9f, 1e-6f);
  EXPECT_EQ(st.s->node_count, 1u);  // the Range is gone
}

// Rewrites that change a weight's data change it for one node: another node
// reading the same weight keeps the values as the model gives them.
TEST(LowerRules, WeightRewritesLeaveOtherReadersTheirWeight) {
  auto values = [](const BuilderValue& v) {
    std::vector<float> out(v.size / 4);
    if (!out.empty()) std::memcpy(out.data(), v.data, v.size);
    return out;
  };
  for (bool options : {false, true}) {
    // Integer weights read by two MatMuls with their own zero points, and
    // by a plain Add.
    State st;
    if (options) st.options_mode();
    uint64_t x = st.value("x", kValueGraphInput, {1, 2});
    uint64_t w = st.constant("w", {10, 20, 30, 40});
    st.s->values[w].rank = 2, st.s->values[w].dims[0] = 2, st.s->values[w].dims[1] = 2;
    uint64_t z1 = st.constant("z1", {1}), z2 = st.constant("z2", {2});
    uint64_t a = st.value("a", kValueGraphOutput, {}), b = st.value("b", kValueGraphOutput, {});
    uint64_t c = st.value("c", kValueGraphOutput, {});
    for (auto [y, z] : {std::pair{a, z1}, std::pair{b, z2}})
      st.node(op::MatMul, {x, w, kNoIndex, z}, {y}).attr(attr::kIntegerWeightWord) = attr::kIntegerWeightMarker;
    st.node(op::Add, {x, w}, {c});
    ASSERT_TRUE(st.lower());
    EXPECT_EQ(values(st.s->values[st.s->nodes[0].input(1)]), (std::vector<float>{9, 19, 29, 39}));
    EXPECT_EQ(values(st.s->values[st.s->nodes[1].input(1)]), (std::vector<float>{8, 18, 28, 38}));
    EXPECT_EQ(st.s->nodes[2].input(1), w);
    EXPECT_EQ(values(st.s->values[w]), (std::vector<float>{10, 20, 30, 40}));
  }
  // Legacy mode: a DequantizeLinear after a node that reads a weight, which
  // another node reads too.
  State st;
  uint64_t w = st.constant("w", {2, 4, 6});
  uint64_t t = st.value("t", kValueActivation, {}), q = st.value("q", kValueGraphOutput, {});
  uint64_t r = st.value("r", kValueGraphOutput, {});
  uint64_t scale = st.constant("scale", {0.5f}), zero = st.constant("zero", {2});
  st.node(op::Transpose, {w}, {t});
  st.node(op::DequantizeLinear, {t, scale, zero}, {q});
  st.node(op::Neg, {w}, {r});
  ASSERT_TRUE(st.lower());
  EXPECT_EQ(values(st.s->values[st.s->nodes[0].input(0)]), (std::vector<float>{0, 1, 2}));
  EXPECT_EQ(st.s->nodes[2].input(0), w);
  EXPECT_EQ(values(st.s->values[w]), (std::vector<float>{2, 4, 6}));
}

}  // namespace
}  // namespace vorn
