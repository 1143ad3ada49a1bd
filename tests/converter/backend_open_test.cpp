// Every container the converter writes for the fixture suites (the
// conformance cases, the lowering rules and the exported graphs) opens on
// both engines, in both conversion modes: what a session's open would
// refuse is refused by the converter instead, naming the node. The GPU
// engine may still refuse an operator it does not lower, with its own text.
// The exported graphs also compute ONNX Runtime's numbers: in options mode
// on the GPU engine (the options test runs them on the CPU), in legacy mode
// on the CPU engine.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "conformance/compare.h"
#include "conformance/fixture_manifest.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"
#include "tests/converter/run_helpers.h"

namespace vorn {
namespace {

using conformance::Case;
using conformance::TensorData;

struct Suite {
  const char* name;
  std::string dir;
  bool compare;  // outputs against the references (see above)
};

const std::vector<Suite>& suites() {
  static const std::vector<Suite> all = {
      {"conformance", conformance::fixture_dir(), false},
      {"lowering", std::string(VORN_TEST_DATA) + "/converter_lowering", false},
      {"graphs", std::string(VORN_TEST_DATA) + "/converter_graphs", true},
  };
  return all;
}

struct Param {
  const Suite* suite;
  Case c;
  bool options_mode;
};

void PrintTo(const Param& p, std::ostream* os) { *os << p.suite->name << "/" << p.c.name; }

std::vector<Param> params() {
  std::vector<Param> out;
  for (const Suite& s : suites())
    for (const Case& c : manifest_of(s.dir).cases)
      for (bool options_mode : {true, false}) {
        // The conformance test itself runs its cases in options mode on both engines.
        if (options_mode && s.name == std::string("conformance")) continue;
        out.push_back(Param{&s, c, options_mode});
      }
  return out;
}

// "" when converted, else the converter's message.
std::string convert(const std::string& onnx, const Case& c, bool options_mode, const std::string& out) {
  std::string text;
  if (options_mode) {
    ConvertOptions options = convert_options_init();
    const std::string unbound = bind_fixture_inputs(c, &options);
    if (!unbound.empty()) return "cannot bind " + unbound;
    ConvertOutcome r = convert_onnx_file_with_options(slice_of(onnx), slice_of(out), &options);
    if (r.status != 0) text.assign(reinterpret_cast<const char*>(r.text.ptr), r.text.len);
    bytes_free(&r.text);
    return text;
  }
  ConvertResult r = convert_onnx_file(slice_of(onnx), slice_of(out), 0);
  if (!r.ok()) {
    text.assign(reinterpret_cast<const char*>(r.error.ptr), r.error.len);
    bytes_free(&r.error);
  }
  return text;
}

// "" when the container opens on the backend, else the session's text.
std::string open_on(const std::string& path, uint32_t backend) {
  VornSession* session = vorn_session_new(nullptr);
  vorn_session_set_backend(session, backend);
  std::string error;
  if (!vorn_session_open(session, path.data(), path.size()))
    error.assign(vorn_session_error_message_ptr(session), vorn_session_error_message_len(session));
  vorn_session_free(session);
  return error;
}

class BackendOpen : public ::testing::TestWithParam<Param> {};

TEST_P(BackendOpen, WrittenContainersOpenOnBothEngines) {
  const Param& p = GetParam();
  const std::string& dir = p.suite->dir;
  std::vector<TensorData> inputs(p.c.inputs.size()), refs(p.c.outputs.size());
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_TRUE(read_tensor(dir, p.c.inputs[i], &inputs[i], &error)) << error;
  for (size_t i = 0; i < refs.size(); ++i) ASSERT_TRUE(read_tensor(dir, p.c.outputs[i], &refs[i], &error)) << error;
  TempPath out;
  const std::string refused = convert(dir + "/" + p.c.model, p.c, p.options_mode, out.path);
  if (!refused.empty()) {
    // A refusal names what it refuses (a node, a value or the inputs).
    EXPECT_NE(refused.find('\''), std::string::npos) << refused;
    return;
  }
  const std::string cpu = open_on(out.path, VORN_BACKEND_CPU);
  EXPECT_EQ(cpu, "") << "the CPU engine refused a written container";
  const conformance::Tolerance tol{manifest_of(dir).relative_tolerance, manifest_of(dir).absolute_tolerance};
  if (!p.options_mode && p.suite->compare && cpu.empty()) {
    std::vector<TensorData> got;
    ASSERT_EQ(run_model(out.path, inputs, p.c, &got), "");
    ASSERT_EQ(got.size(), refs.size());
    for (size_t i = 0; i < refs.size(); ++i) {
      // Legacy mode keeps reduced axes whatever keepdims says: the values
      // are compared in order.
      if (conformance::element_count(got[i].shape) == conformance::element_count(refs[i].shape))
        got[i].shape = refs[i].shape;
      conformance::Comparison cmp = compare_tensor(got[i], refs[i], tol);
      EXPECT_TRUE(cmp.ok) << "CPU, legacy mode: " << cmp.message;
    }
  }
  const std::string gpu = open_on(out.path, VORN_BACKEND_GPU);
  if (gpu == "unsupported op in MPS backend") return;
  ASSERT_EQ(gpu, "") << "the GPU engine refused a written container";
  if (!p.options_mode || !p.suite->compare) return;
  std::vector<TensorData> got;
  ASSERT_EQ(run_model(out.path, inputs, p.c, &got, VORN_BACKEND_GPU), "");
  ASSERT_EQ(got.size(), refs.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    conformance::Comparison cmp = compare_tensor(got[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << "GPU: " << cmp.message;
  }
}

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
  return std::string(info.param.suite->name) + "_" + info.param.c.name + (info.param.options_mode ? "" : "_legacy");
}

INSTANTIATE_TEST_SUITE_P(Suites, BackendOpen, ::testing::ValuesIn(params()), param_name);

}  // namespace
}  // namespace vorn
