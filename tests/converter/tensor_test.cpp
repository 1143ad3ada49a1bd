// TensorProto reading: every widened data type against the values numpy
// wrote next to the fixtures, external data, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "container/records.h"
#include "converter/onnx_tensor.h"
#include "import_helpers.h"
#include "onnx_writer.h"

using namespace vorn;
using namespace convtest;
using onnxw::Msg;

namespace {

nlohmann::json expected_values() {
  std::ifstream f(fixture("expected.json"));
  return nlohmann::json::parse(f);
}

// Compares a value's shape and data with the numpy values of expected.json.
void expect_matches(const BuilderState& s, const std::string& name, const nlohmann::json& e) {
  uint64_t i = find(s, name);
  ASSERT_NE(i, kNoValue) << name;
  const BuilderValue& v = s.values[i];
  EXPECT_EQ(v.kind, kValueWeight) << name;
  std::vector<uint64_t> shape = e["shape"].get<std::vector<uint64_t>>();
  std::vector<double> values = e["values"].get<std::vector<double>>();
  if (shape.empty() && v.elem == kElemF32) shape = {1};  // float scalars become [1]
  ASSERT_EQ(v.rank, shape.size()) << name;
  for (size_t d = 0; d < shape.size(); ++d) EXPECT_EQ(v.dims[d], shape[d]) << name;
  uint64_t width = v.elem == kElemI64 ? 8 : 4;
  ASSERT_EQ(v.size, values.size() * width) << name;
  for (size_t k = 0; k < values.size(); ++k) {
    if (v.elem == kElemI64) {
      EXPECT_EQ(i64_at(v, k), static_cast<int64_t>(values[k])) << name << "[" << k << "]";
    } else {
      float got = f32_at(v, k), want = static_cast<float>(values[k]);
      EXPECT_EQ(std::signbit(got), std::signbit(want)) << name;
      EXPECT_EQ(got, want) << name << "[" << k << "]";
    }
  }
}

std::string with_initializer(const Msg& t) {
  onnxw::Graph g;
  g.inits.push_back(t);
  g.inputs.push_back(onnxw::value_info("x", 1, {1}));
  return onnxw::model(g);
}

}  // namespace

TEST(TensorRead, EveryDataTypeWidensAsNumpyDoes) {
  Imported r = import_file(fixture("initializers.onnx"));
  ASSERT_EQ(r.error, "");
  nlohmann::json e = expected_values();
  const char* names[] = {"f32_raw", "f32_typed", "f16_raw", "f16_typed", "i64_raw", "i64_typed", "i64_scalar",
                         "i32_raw", "i32_typed", "i8_raw", "u8_raw", "bool_raw", "i16_raw", "u16_raw",
                         "f64_raw", "f64_typed", "u32_raw", "f32_scalar", "bf16"};
  for (const char* n : names) expect_matches(*r.state, n, e[n]);
  const BuilderState& s = *r.state;
  EXPECT_EQ(s.values[find(s, "i64_scalar")].rank, 0u);
  EXPECT_EQ(s.values[find(s, "i32_raw")].elem, kElemI64);
  EXPECT_EQ(s.values[find(s, "u32_raw")].elem, kElemI64);
  EXPECT_EQ(s.values[find(s, "f16_raw")].elem, kElemF32);
  // FLOAT and INT64 raw data are used in place, not copied.
  for (const char* n : {"f32_raw", "i64_raw"}) {
    const BuilderValue& v = s.values[find(s, n)];
    EXPECT_EQ(v.owned, 0u) << n;
    EXPECT_GE(v.data, s.onnx);
    EXPECT_LE(v.data + v.size, s.onnx + s.onnx_size);
  }
  EXPECT_EQ(s.values[find(s, "i32_raw")].owned, 1u);
}

TEST(TensorRead, HalfPrecisionEdgeValues) {
  struct Case {
    uint16_t half;
    uint32_t bits;
  } cases[] = {{0x3C00, 0x3F800000}, {0x8000, 0x80000000}, {0x0001, 0x33800000}, {0x7C00, 0x7F800000},
               {0x03FF, 0x387FC000}, {0x7E00, 0x7FC00000}};
  for (const Case& c : cases) {
    std::string raw(reinterpret_cast<const char*>(&c.half), 2);
    Imported r = import_bytes(with_initializer(onnxw::tensor("h", 10, {1}, raw)));
    ASSERT_EQ(r.error, "");
    const BuilderValue& v = r.state->values[find(*r.state, "h")];
    uint32_t bits;
    std::memcpy(&bits, v.data, 4);
    EXPECT_EQ(bits, c.bits) << std::hex << c.half;
  }
}

TEST(TensorRead, ExternalData) {
  Imported r = import_file(fixture("external.onnx"));
  ASSERT_EQ(r.error, "");
  nlohmann::json e = expected_values();
  expect_matches(*r.state, "ext_a", e["ext_a"]);
  expect_matches(*r.state, "ext_b", e["ext_b"]);

  // Hand-built: offset "12a8" reads 128; a missing file and a range past its
  // end are errors, not weights without data.
  auto ext_tensor = [](const std::string& offset, const std::string& length) {
    Msg t;
    t.i(1, 2).u(2, 1).s(8, "w");
    t.m(13, Msg().s(1, "offset").s(2, offset));
    if (!length.empty()) t.m(13, Msg().s(1, "length").s(2, length));
    return with_initializer(t);
  };
  std::string blob(200, '\0');
  float two[2] = {1.5f, -4.0f};
  std::memcpy(&blob[128], two, 8);
  Imported ok = import_bytes(ext_tensor("12a8", "8"), nullptr, 0, &blob);
  ASSERT_EQ(ok.error, "");
  const BuilderValue& w = ok.state->values[find(*ok.state, "w")];
  EXPECT_EQ(f32_at(w, 0), 1.5f);
  EXPECT_EQ(f32_at(w, 1), -4.0f);
  EXPECT_EQ(w.owned, 0u);

  // Only a location: the whole file from offset 0.
  Msg whole;
  whole.i(1, 50).u(2, 1).s(8, "w").m(13, Msg().s(1, "location").s(2, "model.onnx.data"));
  Imported all = import_bytes(with_initializer(whole), nullptr, 0, &blob);
  ASSERT_EQ(all.error, "");
  EXPECT_EQ(f32_at(all.state->values[find(*all.state, "w")], 32), 1.5f);
  Msg located;
  located.i(1, 2).u(2, 1).s(8, "w").u(14, 1);
  EXPECT_EQ(import_bytes(with_initializer(located)).error,
            "failed parsing TensorProto 'w': its data is stored in an external file, but '<model path>.data' "
            "could not be read");

  EXPECT_EQ(import_bytes(ext_tensor("0", "8")).error,
            "failed parsing TensorProto 'w': its data is stored in an external file, but '<model path>.data' "
            "could not be read");
  EXPECT_EQ(import_bytes(ext_tensor("196", "8"), nullptr, 0, &blob).error,
            "failed parsing TensorProto 'w': its external data lies outside the '.data' file");
  // Offsets saturate instead of wrapping around.
  EXPECT_EQ(import_bytes(ext_tensor("99999999999999999999999999", "8"), nullptr, 0, &blob).error,
            "failed parsing TensorProto 'w': its external data lies outside the '.data' file");
  EXPECT_EQ(import_bytes(ext_tensor("0", "18446744073709551615"), nullptr, 0, &blob).error,
            "failed parsing TensorProto 'w': its external data lies outside the '.data' file");
}

TEST(TensorRead, RefusesWhatItCannotRepresent) {
  struct Case {
    Msg tensor;
    const char* error;
  } cases[] = {
      {onnxw::tensor("s", 8, {1}, "abcd"),
       "failed parsing TensorProto 's': data type 8 is not supported (the converter reads float, float16, "
       "bfloat16, double and integer tensors)"},
      {onnxw::tensor("c", 14, {1}, std::string(8, '\0')), "failed parsing TensorProto 'c': data type 14 is not "
                                                         "supported (the converter reads float, float16, bfloat16, "
                                                         "double and integer tensors)"},
      {onnxw::tensor("m", 1, {3}, std::string(8, '\0')), "failed parsing TensorProto 'm': its data does not match its shape"},
      {onnxw::tensor("odd", 1, {1}, std::string(5, '\0')), "failed parsing TensorProto 'odd': its data does not match its shape"},
      {Msg().i(1, 4).u(2, 1).s(8, "nodata"), "failed parsing TensorProto 'nodata': its data does not match its shape"},
      {onnxw::tensor("big", 13, {1}, std::string(8, '\xFF')),
       "failed parsing TensorProto 'big': a UINT64 element does not fit in int64"},
      {Msg().i(1, 1).i(1, 1).i(1, 1).i(1, 1).i(1, 1).i(1, 1).i(1, 2).u(2, 1).s(8, "r7").s(9, std::string(8, '\0')),
       "failed parsing TensorProto 'r7': rank above 6"},
      {Msg().i(1, -1).i(1, -1).u(2, 1).s(8, "neg").s(9, "abcd"), "failed parsing TensorProto 'neg': its data does not match its shape"},
      {Msg().s(8, "trunc").tag(9, 2).varint(10).raw("ab"), "failed parsing TensorProto 'trunc': the message is malformed"},
  };
  for (const Case& c : cases) EXPECT_EQ(import_bytes(with_initializer(c.tensor)).error, c.error);
}

TEST(TensorRead, SevenDimsOfOneAndNamelessTensors) {
  Msg seven;
  for (int k = 0; k < 7; ++k) seven.i(1, 1);
  seven.u(2, 1).s(8, "one").s(9, std::string(4, '\0'));
  Imported r = import_bytes(with_initializer(seven));
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.state->values[find(*r.state, "one")].rank, 6u);

  uint64_t before;
  {
    Imported plain = import_bytes(with_initializer(onnxw::tensor("a", 1, {1}, std::string(4, '\0'))));
    before = plain.state->value_count;
  }
  Imported nameless = import_bytes(with_initializer(Msg().i(1, 1).u(2, 1).s(9, std::string(4, '\0'))));
  ASSERT_EQ(nameless.error, "");
  EXPECT_EQ(nameless.state->value_count, before - 1);
}

TEST(TensorRead, TypedFieldsGatherAcrossOccurrences) {
  // int64_data as single varints and as a packed run, int32_data sign-extended.
  Msg t;
  t.i(1, 4).u(2, 7).s(8, "i").i(7, -1).packed(7, {2, 3}).i(7, 4);
  Msg u;
  u.i(1, 2).u(2, 6).s(8, "j").packed(5, {static_cast<int64_t>(0xFFFFFFFFu), 7});
  onnxw::Graph g;
  g.inits = {t, u};
  g.inputs.push_back(onnxw::value_info("x", 1, {1}));
  Imported r = import_bytes(onnxw::model(g));
  ASSERT_EQ(r.error, "");
  const BuilderValue& i = r.state->values[find(*r.state, "i")];
  ASSERT_EQ(i.size, 32u);
  EXPECT_EQ(i64_at(i, 0), -1);
  EXPECT_EQ(i64_at(i, 3), 4);
  const BuilderValue& j = r.state->values[find(*r.state, "j")];
  EXPECT_EQ(i64_at(j, 0), -1);
  EXPECT_EQ(i64_at(j, 1), 7);
}
