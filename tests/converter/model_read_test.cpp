// The wire decoder and the ModelProto/GraphProto reading: opset checks,
// metadata entries, hostile lengths and wire types.
#include <gtest/gtest.h>

#include "converter/onnx_model.h"
#include "converter/protobuf_wire.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;
using onnxw::Msg;

namespace {

onnxw::Graph relu_graph() {
  onnxw::Graph g;
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"y"}, "relu"));
  g.inputs.push_back(onnxw::value_info("x", 1, {1, 4}));
  g.outputs.push_back(onnxw::value_info("y", 1, {1, 4}));
  return g;
}

std::string meta_value(const BuilderState& s, const std::string& key) {
  for (uint64_t i = 0; i < s.meta_count; ++i)
    if (text_equal(s.meta[i].key, s.meta[i].key_len, key.c_str()))
      return std::string(reinterpret_cast<const char*>(s.meta[i].value), s.meta[i].value_len);
  return "<absent>";
}

}  // namespace

TEST(ProtobufWire, VarintsStopAtTheEndOfTheirRange) {
  const uint8_t cut[] = {0xFF, 0xFF};  // continuation bits with no last byte
  uint64_t pos = 0;
  EXPECT_EQ(pb_read_varint(cut, 2, pos), 0x3FFFu);
  EXPECT_EQ(pos, 2u);
  const uint8_t eleven[] = {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
  pos = 0;
  EXPECT_EQ(pb_read_varint(eleven, sizeof eleven, pos), 1u);
  EXPECT_EQ(pos, sizeof eleven);
}

TEST(ProtobufWire, LengthsAndWireTypesAreChecked) {
  PbField f;
  uint64_t pos = 0;
  // Field 1, length 0xFFFFFFFFFFFFFFFF: must not wrap around.
  Msg huge;
  huge.tag(1, 2).varint(~uint64_t{0});
  EXPECT_EQ(pb_next(reinterpret_cast<const uint8_t*>(huge.b.data()), huge.b.size(), pos, f), PbStep::kBad);
  for (uint32_t wire : {3u, 4u, 6u, 7u}) {
    Msg m;
    m.tag(5, wire).varint(0);
    pos = 0;
    EXPECT_EQ(pb_next(reinterpret_cast<const uint8_t*>(m.b.data()), m.b.size(), pos, f), PbStep::kBad) << wire;
    pos = 0;
    EXPECT_FALSE(pb_skip_field(reinterpret_cast<const uint8_t*>(m.b.data()), m.b.size(), pos, wire));
  }
  Msg fixed;
  fixed.tag(2, 1).raw("1234567");  // fixed64 one byte short
  pos = 0;
  EXPECT_EQ(pb_next(reinterpret_cast<const uint8_t*>(fixed.b.data()), fixed.b.size(), pos, f), PbStep::kBad);
}

TEST(ModelRead, OpsetRange) {
  struct Case {
    int64_t opset;
    const char* error;
  } cases[] = {
      {10, "the model uses ONNX opset 10; this converter was written for opsets 11 to 20"},
      {11, ""},
      {20, ""},
      {21, "the model uses ONNX opset 21; this converter was written for opsets 11 to 20"},
  };
  for (const Case& c : cases) {
    Imported r = import_bytes(onnxw::model(relu_graph(), c.opset));
    EXPECT_EQ(r.error, c.error) << c.opset;
    // The committed fixtures made by onnx agree.
    Imported f = import_file(fixture("relu_opset" + std::to_string(c.opset) + ".onnx"));
    EXPECT_EQ(f.error, c.error) << c.opset;
  }
}

TEST(ModelRead, DefaultDomainAndMetadata) {
  Imported r = import_file(fixture("relu_domain_ai_onnx.onnx"));
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(meta_value(*r.state, "onnx.opset"), "13");
  EXPECT_EQ(meta_value(*r.state, "author"), "vorn");
  EXPECT_EQ(meta_value(*r.state, ""), "<absent>");
  EXPECT_EQ(meta_value(*r.state, "onnx.producer_name"), "<absent>");  // empty producer adds nothing

  // Two default-domain imports: the first in file order wins.
  Msg m;
  m.i(1, 7).s(2, "maker").m(8, onnxw::opset("", 13)).m(8, onnxw::opset("ai.onnx", 17));
  Msg prop;
  prop.s(1, "k");
  m.m(14, prop).m(7, relu_graph().build());
  Imported two = import_bytes(m.b);
  ASSERT_EQ(two.error, "");
  EXPECT_EQ(two.state->default_opset, 13u);
  EXPECT_EQ(meta_value(*two.state, "onnx.producer_name"), "maker");
  EXPECT_EQ(meta_value(*two.state, "onnx.ir_version"), "7");
  EXPECT_EQ(meta_value(*two.state, "k"), "");
}

TEST(ModelRead, MalformedModels) {
  std::string good = onnxw::model(relu_graph());
  struct Case {
    std::string bytes;
    const char* error;
  } cases[] = {
      {Msg().i(1, 8).m(8, onnxw::opset("", 13)).b, "no GraphProto found in ONNX"},
      {Msg().m(8, onnxw::opset("", 13)).tag(7, 2).varint(1000).raw("xx").b, "corrupt ModelProto"},
      {Msg().tag(2, 2).varint(50).raw("abc").b, "corrupt ModelProto string"},
      {Msg().tag(14, 2).varint(50).b, "corrupt ModelProto metadata_props"},
      {Msg().tag(8, 2).varint(3).tag(1, 3).varint(0).b, "corrupt ModelProto opset_import"},
      {Msg().tag(9, 3).b, "corrupt ModelProto"},
      {Msg().m(8, onnxw::opset("other", 13)).m(7, relu_graph().build()).b,
       "the model imports no default-domain (ai.onnx) opset"},
      // A GraphProto field of wire type 3 fails the first pass.
      {Msg().m(8, onnxw::opset("", 13)).m(7, Msg().tag(99, 3)).b, "corrupt GraphProto pass 1"},
      {good.substr(0, good.size() - 3), "corrupt ModelProto"},
  };
  for (const Case& c : cases) EXPECT_EQ(import_bytes(c.bytes).error, c.error);
}

TEST(ModelRead, EveryPrefixOfAModelFailsCleanlyOrImports) {
  std::string good = onnxw::model(relu_graph());
  for (size_t n = 1; n < good.size(); ++n) {
    Imported r = import_bytes(good.substr(0, n));
    EXPECT_TRUE(!r.error.empty() || r.state != nullptr) << n;
  }
}

TEST(ModelRead, NodesBeforeInitializersSeeThem) {
  onnxw::Graph g;
  g.nodes.push_back(onnxw::node("Add", {"x", "w"}, {"y"}, "add"));
  std::vector<float> w = {1, 2, 3, 4};
  g.inits.push_back(onnxw::tensor("w", 1, {4}, onnxw::bytes_of(w)));
  g.inputs.push_back(onnxw::value_info("x", 1, {4}));
  g.outputs.push_back(onnxw::value_info("y", 1, {4}));
  // build() writes nodes (field 1) before initializers (field 5).
  Imported r = import_bytes(onnxw::model(g));
  ASSERT_EQ(r.error, "");
  uint64_t wi = find(*r.state, "w");
  ASSERT_NE(wi, kNoValue);
  EXPECT_EQ(r.state->values[wi].kind, 2u);
  EXPECT_EQ(r.state->nodes[0].input(1), wi);
}

TEST(ModelRead, NodeHeaderKeepsSpansFoundBeforeDamage) {
  Msg n = onnxw::node("Relu", {"x"}, {"y"}, "name", {}, "dom");
  n.tag(9, 7);  // unknown wire type at the end
  OnnxNodeHeader h;
  onnx_node_header(reinterpret_cast<const uint8_t*>(n.b.data()), 0, n.b.size(), &h);
  EXPECT_EQ(std::string(n.b.data() + h.name_offset, h.name_length), "name");
  EXPECT_EQ(std::string(n.b.data() + h.op_offset, h.op_length), "Relu");
  EXPECT_EQ(std::string(n.b.data() + h.domain_offset, h.domain_length), "dom");
}

TEST(BuilderState, InterningAndOpsetLookup) {
  StatePtr s(builder_new());
  const uint8_t a[] = {'a'};
  uint64_t i = builder_intern_value(*s, a, 1);
  EXPECT_EQ(builder_intern_value(*s, a, 1), i);
  EXPECT_EQ(s->value_count, 1u);
  EXPECT_EQ(builder_intern_value(*s, a, 0), 1u);
  EXPECT_EQ(builder_intern_value(*s, nullptr, 0), 1u);  // the first empty name
  // The table refuses the value past its capacity.
  s->value_count = kMaxValues;
  const uint8_t b[] = {'b'};
  EXPECT_EQ(builder_intern_value(*s, b, 1), kNoValue);
  s->value_count = 2;
  // A value that owns data is freed by builder_free; owned with null data is skipped.
  s->values[0].owned = 1;
  s->values[0].data = static_cast<uint8_t*>(std::malloc(16));
  s->values[1].owned = 1;
}

TEST(ModelRead, NodeSpansFindProducers) {
  onnxw::Graph g;
  g.nodes.push_back(onnxw::node("Relu", {"x"}, {"a"}, "first"));
  g.nodes.push_back(onnxw::node("NonMaxSuppression", {"a", "b"}, {"sel", "a"}, "nms",
                                {onnxw::attr_i("center_point_box", 1)}));
  g.nodes.push_back(onnxw::node("Sigmoid", {"a"}, {""}, "empty_out"));
  std::string bytes = g.build().b;
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  OnnxNodeSpan spans[4];
  ASSERT_EQ(onnx_node_spans(b, 0, bytes.size(), spans, 4), 3);
  EXPECT_EQ(spans[1].center_point_box, 1u);
  EXPECT_EQ(spans[1].input_count, 2u);
  EXPECT_EQ(std::string(bytes.data() + spans[1].op_offset, spans[1].op_length), "NonMaxSuppression");
  // "a" is produced by both; the first in array order wins.
  EXPECT_EQ(onnx_node_by_output(spans, 3, b, spans[1].input_offset[0], 1), 0);
  EXPECT_EQ(onnx_node_by_output(spans, 3, b, spans[1].output_offset[0], 3), 1);
  EXPECT_EQ(onnx_node_by_output(spans, 3, b, 0, 0), 2);  // the empty name
  EXPECT_EQ(onnx_node_by_output(spans, 3, b, spans[1].input_offset[1], 1), -1);
  EXPECT_EQ(onnx_node_spans(b, 0, bytes.size() - 1, spans, 4), -1);
}

TEST(ModelRead, LimitsStopLargeGraphs) {
  // 16377 imported nodes trip the limit before the next node is read, even
  // though that node would still fit.
  for (int count : {16377, 16378}) {
    onnxw::Graph g;
    g.inputs.push_back(onnxw::value_info("x", 1, {1}));
    for (int k = 0; k < count; ++k) g.nodes.push_back(onnxw::node("Relu", {"x"}, {"y" + std::to_string(k)}));
    Imported r = import_bytes(onnxw::model(g));
    EXPECT_EQ(r.error, count == 16377 ? "" : "the model is larger than the converter's limits (16384 nodes, 32768 values)");
  }
}

TEST(ModelRead, DecimalText) {
  uint8_t out[20];
  struct Case {
    uint64_t v;
    const char* text;
  } cases[] = {{0, "0"}, {7, "7"}, {1234567890, "1234567890"}, {UINT64_MAX, "18446744073709551615"}};
  for (const Case& c : cases) {
    uint64_t n = u64_to_decimal(c.v, out);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), n), c.text);
  }
}
