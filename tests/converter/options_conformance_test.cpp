// The hand-built graph of every lowering rule converted in options mode: a
// converted model computes what ONNX Runtime computed (within the manifest's
// tolerance), or the conversion fails with a message naming the node and the
// reason. (The conformance fixtures run the same way in tests/conformance.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "conformance/compare.h"
#include "conformance/fixture_manifest.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"
#include "vorn.h"

namespace vorn {
namespace {

using conformance::Case;
using conformance::DType;
using conformance::TensorData;
using conformance::TensorSpec;

struct Suite {
  std::string dir;       // fixture folder with manifest.json
  std::string refusals;  // file of expected refusals, beside this test
};

// Case name -> a text the refusal must hold.
std::map<std::string, std::string> expected_refusals(const std::string& file) {
  std::map<std::string, std::string> out;
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/converter/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t start = line.find_first_not_of(' ', colon + 1);
    out[line.substr(0, colon)] = start == std::string::npos ? "" : line.substr(start);
  }
  return out;
}

struct Param {
  Suite suite;
  std::string name;
};

void PrintTo(const Param& p, std::ostream* os) { *os << p.name; }

std::vector<Param> params(const Suite& suite) {
  std::vector<Param> out;
  for (const Case& c : manifest_of(suite.dir).cases) out.push_back(Param{suite, c.name});
  return out;
}

const Suite kLowering{std::string(VORN_TEST_DATA) + "/converter_lowering", "lowering_refusals.txt"};
// Graphs as exporters write them: unnamed nodes, unsorted nodes, ScatterND
// reductions, Splits into more than four outputs.
const Suite kGraphs{std::string(VORN_TEST_DATA) + "/converter_graphs", "graph_refusals.txt"};

class OptionsConformance : public ::testing::TestWithParam<Param> {};

TEST_P(OptionsConformance, MatchesOnnxRuntimeOrRefusesNamingTheNode) {
  const std::string& dir = GetParam().suite.dir;
  const conformance::Manifest& manifest = manifest_of(dir);
  const Case* c = nullptr;
  for (const Case& k : manifest.cases)
    if (k.name == GetParam().name) c = &k;
  ASSERT_NE(c, nullptr);
  std::vector<TensorData> inputs(c->inputs.size()), refs(c->outputs.size());
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->inputs[i], &inputs[i], &error)) << error;
  for (size_t i = 0; i < refs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->outputs[i], &refs[i], &error)) << error;

  TempPath out;
  ConvertOptions options = convert_options_init();
  // Every input bound to the shape of its fixture, which settles the
  // dynamic axes of the exported networks.
  ASSERT_EQ(bind_fixture_inputs(*c, &options), "");
  const std::string onnx = dir + "/" + c->model;
  ConvertOutcome converted = convert_onnx_file_with_options(slice_of(onnx), slice_of(out.path), &options);
  std::string text(reinterpret_cast<const char*>(converted.text.ptr), converted.text.len);
  bytes_free(&converted.text);
  const auto refusals = expected_refusals(GetParam().suite.refusals);
  const auto listed = refusals.find(c->name);
  if (converted.status != 0) {
    ASSERT_NE(listed, refusals.end()) << "refused: " << text;
    EXPECT_NE(text.find(listed->second), std::string::npos) << "refusal changed: " << text;
    // The message names the node (or lists the unsupported ones).
    EXPECT_TRUE(text.find(" '") != std::string::npos) << text;
    return;
  }
  EXPECT_EQ(listed, refusals.end()) << "listed as refused, but it converts now";
  EXPECT_NE(text.find("opset "), std::string::npos) << text;
  std::vector<TensorData> got;
  std::string failure = run_model(out.path, inputs, *c, &got);
  ASSERT_TRUE(failure.empty()) << failure;
  ASSERT_EQ(got.size(), refs.size());
  const conformance::Tolerance tol{manifest.relative_tolerance, manifest.absolute_tolerance};
  for (size_t i = 0; i < refs.size(); ++i) {
    conformance::Comparison cmp = compare_tensor(got[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
  if (c->top1) {
    conformance::Comparison cmp = compare_top1(got[0], refs[0]);
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
}

std::string param_name(const ::testing::TestParamInfo<Param>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(LoweringRules, OptionsConformance, ::testing::ValuesIn(params(kLowering)), param_name);
INSTANTIATE_TEST_SUITE_P(ExportedGraphs, OptionsConformance, ::testing::ValuesIn(params(kGraphs)), param_name);

TEST(LoweringFixtures, EveryRuleCaseIsPresent) {
  EXPECT_GE(manifest_of(kLowering.dir).cases.size(), 38u);
  EXPECT_GE(manifest_of(kGraphs.dir).cases.size(), 15u);
}

}  // namespace
}  // namespace vorn
