// Every conformance fixture converted in options mode: a converted model
// computes what ONNX Runtime computed (within the manifest's tolerance), or
// the conversion fails with a message naming the node and the reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "conformance/compare.h"
#include "conformance/fixture_manifest.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"
#include "vorn.h"

namespace vorn {
namespace {

using conformance::Case;
using conformance::DType;
using conformance::TensorData;
using conformance::TensorSpec;

const conformance::Manifest& manifest() {
  static const conformance::Manifest m = [] {
    conformance::Manifest loaded;
    std::string error;
    if (!conformance::read_manifest(conformance::fixture_dir() + "/manifest.json", &loaded, &error))
      loaded.cases.clear();
    return loaded;
  }();
  return m;
}

// Case name -> a text the refusal must hold.
std::map<std::string, std::string> expected_refusals() {
  std::map<std::string, std::string> out;
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/converter_lowering/options_refusals.txt");
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

struct TempPath {
  std::string path;
  TempPath() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-lower-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd >= 0) close(fd), path = name.data();
  }
  ~TempPath() {
    if (!path.empty()) unlink(path.c_str());
  }
};

struct Handles {
  VornSession* session = vorn_session_new(nullptr);
  VornInput* input = vorn_input_new();
  VornOutput* output = vorn_output_new();
  ~Handles() {
    vorn_output_free(output);
    vorn_input_free(input);
    vorn_session_free(session);
  }
};

std::string session_error(const VornSession* s) {
  return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
}

// Runs a converted model on the CPU; empty on success, else what failed.
std::string run_model(const std::string& path, const std::vector<TensorData>& inputs, const Case& c,
                      std::vector<TensorData>* outputs) {
  Handles h;
  vorn_session_set_backend(h.session, VORN_BACKEND_CPU);
  if (!vorn_session_open(h.session, path.data(), path.size())) return "open: " + session_error(h.session);
  for (const TensorData& t : inputs) {
    bool bound = t.dtype == DType::kF32
                     ? vorn_input_set_named_f32(h.input, t.name.data(), t.name.size(), t.f32.data(), t.f32.size(), 0)
                     : vorn_input_set_named_i64(h.input, t.name.data(), t.name.size(), t.i64.data(), t.i64.size(), 0);
    if (!bound) return "cannot bind input '" + t.name + "'";
  }
  if (!vorn_session_run(h.session, h.input, h.output)) return "run: " + session_error(h.session);
  for (const TensorSpec& spec : c.outputs) {
    int32_t slot = vorn_output_index_of(h.output, spec.name.data(), spec.name.size());
    if (slot < 0) return "no output named '" + spec.name + "'";
    TensorData t;
    t.name = spec.name;
    for (uint32_t a = 0; a < vorn_output_rank(h.output, slot); ++a)
      t.shape.push_back(vorn_output_dim(h.output, slot, static_cast<int32_t>(a)));
    uint64_t count = vorn_output_elem_count(h.output, slot);
    const int64_t* i64 = vorn_output_i64_ptr(h.output, slot);
    if (spec.dtype == DType::kI64 && i64 != nullptr) {
      t.dtype = DType::kI64;
      t.i64.assign(i64, i64 + count);
    } else {
      const float* f = vorn_output_f32_ptr(h.output, slot);
      if (f == nullptr && count != 0) return "output '" + spec.name + "' has no values";
      t.f32.assign(f, f + count);
    }
    outputs->push_back(std::move(t));
  }
  return std::string();
}

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  for (const Case& c : manifest().cases) names.push_back(c.name);
  return names;
}

class OptionsConformance : public ::testing::TestWithParam<std::string> {};

TEST_P(OptionsConformance, MatchesOnnxRuntimeOrRefusesNamingTheNode) {
  const Case* c = nullptr;
  for (const Case& k : manifest().cases)
    if (k.name == GetParam()) c = &k;
  ASSERT_NE(c, nullptr);
  const std::string dir = conformance::fixture_dir();
  std::vector<TensorData> inputs(c->inputs.size()), refs(c->outputs.size());
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->inputs[i], &inputs[i], &error)) << error;
  for (size_t i = 0; i < refs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c->outputs[i], &refs[i], &error)) << error;

  TempPath out;
  ConvertOptions options = convert_options_init();
  const std::string onnx = dir + "/" + c->model;
  ConvertOutcome converted = convert_onnx_file_with_options(slice_of(onnx), slice_of(out.path), &options);
  std::string text(reinterpret_cast<const char*>(converted.text.ptr), converted.text.len);
  bytes_free(&converted.text);
  const auto refusals = expected_refusals();
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
  const conformance::Tolerance tol{manifest().relative_tolerance, manifest().absolute_tolerance};
  for (size_t i = 0; i < refs.size(); ++i) {
    conformance::Comparison cmp = compare_tensor(got[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
  if (c->top1) {
    conformance::Comparison cmp = compare_top1(got[0], refs[0]);
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, OptionsConformance, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace vorn
