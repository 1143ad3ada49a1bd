// Conformance against ONNX Runtime: every fixture case is converted, run on
// the CPU through the C interface and compared with the reference outputs.
// The fixture and comparison tests below run on every build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <set>

#include "conformance/compare.h"
#include "conformance/conformance_run.h"
#include "conformance/fixture_manifest.h"
#include "vorn.h"

namespace vorn::conformance {
namespace {

const Manifest& manifest() {
  static const Manifest m = [] {
    Manifest loaded;
    std::string error;
    if (!read_manifest(fixture_dir() + "/manifest.json", &loaded, &error)) loaded.cases.clear();
    return loaded;
  }();
  return m;
}

const Case* find_case(const std::string& name) {
  for (const Case& c : manifest().cases) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// Documented refusals: case name -> text the converter's message holds.
std::map<std::string, std::string> documented_refusals() {
  std::map<std::string, std::string> out;
  std::ifstream in(std::string(VORN_SOURCE_DIR) + "/tests/conformance/refusals.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    size_t start = line.find_first_not_of(' ', colon + 1);
    out[line.substr(0, colon)] = start == std::string::npos ? "" : line.substr(start);
  }
  return out;
}

TensorData f32_tensor(std::vector<int64_t> shape, std::vector<float> values) {
  TensorData t;
  t.name = "t";
  t.shape = std::move(shape);
  t.f32 = std::move(values);
  return t;
}

TensorData i64_tensor(std::vector<int64_t> shape, std::vector<int64_t> values) {
  TensorData t;
  t.name = "t";
  t.dtype = DType::kI64;
  t.shape = std::move(shape);
  t.i64 = std::move(values);
  return t;
}

// ---------------------------------------------------------------------------
// The comparison rule
// ---------------------------------------------------------------------------

TEST(ConformanceCompare, BoundScalesWithTheLargestReferenceValue) {
  Tolerance tol;
  TensorData ref = f32_tensor({4}, {100.0f, -3.0f, 0.5f, 0.0f});
  TensorData got = ref;
  got.f32[1] += 0.0099f;  // below 1e-4 * 100 + 1e-5
  Comparison c = compare_tensor(got, ref, tol);
  EXPECT_TRUE(c.ok) << c.message;
  EXPECT_NEAR(c.bound, 0.01001, 1e-9);
  EXPECT_EQ(c.worst_index, 1);
  got.f32[1] = ref.f32[1] + 0.0102f;
  c = compare_tensor(got, ref, tol);
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.message.find("max |diff|"), std::string::npos);
}

TEST(ConformanceCompare, AllZeroReferenceAllowsOnlyTheAbsoluteTerm) {
  Tolerance tol;
  TensorData ref = f32_tensor({2, 2}, {0, 0, 0, 0});
  TensorData got = ref;
  got.f32[3] = 9e-6f;
  EXPECT_TRUE(compare_tensor(got, ref, tol).ok);
  got.f32[3] = -2e-5f;
  EXPECT_FALSE(compare_tensor(got, ref, tol).ok);
}

TEST(ConformanceCompare, ShapeAndCountMismatchesFail) {
  Tolerance tol;
  TensorData ref = f32_tensor({2, 3}, {1, 2, 3, 4, 5, 6});
  TensorData got = f32_tensor({3, 2}, {1, 2, 3, 4, 5, 6});
  Comparison c = compare_tensor(got, ref, tol);
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.message.find("shape [3, 2], reference [2, 3]"), std::string::npos) << c.message;
  got = f32_tensor({2, 3}, {1, 2, 3, 4, 5});
  EXPECT_FALSE(compare_tensor(got, ref, tol).ok);
}

TEST(ConformanceCompare, NonFiniteValuesMatchOnlyThemselves) {
  Tolerance tol;
  TensorData ref = f32_tensor({3}, {1.0f, INFINITY, -2.0f});
  TensorData got = ref;
  EXPECT_TRUE(compare_tensor(got, ref, tol).ok);
  got.f32[0] = NAN;
  EXPECT_FALSE(compare_tensor(got, ref, tol).ok);
  got = ref;
  got.f32[1] = 3.4e38f;
  EXPECT_FALSE(compare_tensor(got, ref, tol).ok);
}

TEST(ConformanceCompare, IntegerResultsMatchExactlyWhetherI64OrF32) {
  Tolerance tol;
  TensorData ref = i64_tensor({3}, {7, 0, 1234567});
  EXPECT_TRUE(compare_tensor(ref, ref, tol).ok);
  TensorData as_f32 = f32_tensor({3}, {7.0f, 0.0f, 1234567.0f});
  EXPECT_TRUE(compare_tensor(as_f32, ref, tol).ok);
  as_f32.f32[0] = 7.0001f;  // within any float tolerance, still a wrong index
  Comparison c = compare_tensor(as_f32, ref, tol);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.worst_index, 0);
  TensorData off = ref;
  off.i64[2] = 1234566;
  EXPECT_FALSE(compare_tensor(off, ref, tol).ok);
}

TEST(ConformanceCompare, TopOneComparesEveryRowAndFirstMaximumWins) {
  TensorData ref = f32_tensor({2, 3}, {0.1f, 0.9f, 0.2f, 0.5f, 0.5f, 0.1f});
  TensorData got = f32_tensor({2, 3}, {0.0f, 0.8f, 0.7f, 0.6f, 0.6f, 0.0f});
  EXPECT_TRUE(compare_top1(got, ref).ok);
  got.f32[5] = 0.7f;
  Comparison c = compare_top1(got, ref);
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.message.find("row 1 top-1 class 2, reference 0"), std::string::npos) << c.message;
}

// ---------------------------------------------------------------------------
// The fixtures
// ---------------------------------------------------------------------------

TEST(ConformanceFixtures, ManifestCoversOperatorsAndArchitecturesAtThreeOpsets) {
  std::string error;
  Manifest m;
  ASSERT_TRUE(read_manifest(fixture_dir() + "/manifest.json", &m, &error)) << error;
  EXPECT_DOUBLE_EQ(m.relative_tolerance, 1e-4);
  EXPECT_DOUBLE_EQ(m.absolute_tolerance, 1e-5);
  size_t ops = 0;
  std::set<std::string> names;
  for (const Case& c : m.cases) {
    EXPECT_TRUE(names.insert(c.name).second) << "duplicate case " << c.name;
    ops += c.kind == "op";
  }
  EXPECT_GE(ops, 100u);
  for (const char* arch : {"resnet_basic", "resnet_bottleneck", "mobilenet_v2",
                           "mobilenet_v3_small", "mobilenet_v3_large", "efficientnet_b0",
                           "shufflenet_v2", "squeezenet_1_1", "regnet", "vit_tiny", "unet_tiny",
                           "yolo_tiny"}) {
    for (int opset : {11, 13, 17}) {
      const std::string name = std::string(arch) + "_op" + std::to_string(opset);
      const Case* c = find_case(name);
      ASSERT_NE(c, nullptr) << name;
      EXPECT_EQ(c->kind, "net");
      EXPECT_EQ(c->opset, opset);
    }
  }
}

TEST(ConformanceFixtures, EveryCaseHasConsistentFiles) {
  const std::string dir = fixture_dir();
  ASSERT_FALSE(manifest().cases.empty());
  for (const Case& c : manifest().cases) {
    SCOPED_TRACE(c.name);
    std::ifstream model(dir + "/" + c.model, std::ios::binary);
    ASSERT_TRUE(model) << c.model;
    // A ModelProto starts with its ir_version field (field 1, varint).
    EXPECT_EQ(model.get(), 0x08);
    ASSERT_FALSE(c.inputs.empty());
    ASSERT_FALSE(c.outputs.empty());
    std::set<std::string> names;
    for (const TensorSpec& spec : c.inputs) {
      TensorData t;
      std::string error;
      ASSERT_TRUE(read_tensor(dir, spec, &t, &error)) << error;
      EXPECT_TRUE(names.insert(spec.name).second) << spec.name;
      for (float v : t.f32) ASSERT_TRUE(std::isfinite(v)) << spec.file;
    }
    for (const TensorSpec& spec : c.outputs) {
      TensorData t;
      std::string error;
      ASSERT_TRUE(read_tensor(dir, spec, &t, &error)) << error;
      EXPECT_TRUE(names.insert(spec.name).second) << spec.name;
      for (float v : t.f32) ASSERT_TRUE(std::isfinite(v)) << spec.file;
    }
    if (c.top1) {
      EXPECT_EQ(c.outputs[0].dtype, DType::kF32);
      EXPECT_EQ(c.outputs[0].shape.size(), 2u);
    }
  }
}

TEST(ConformanceFixtures, ReaderRejectsFilesOfTheWrongSize) {
  const Case* c = find_case("unary_relu");
  ASSERT_NE(c, nullptr);
  TensorSpec spec = c->inputs[0];
  spec.shape.back() += 1;
  TensorData t;
  std::string error;
  EXPECT_FALSE(read_tensor(fixture_dir(), spec, &t, &error));
  EXPECT_NE(error.find("bytes, shape needs"), std::string::npos) << error;
  spec.shape = {-1};
  EXPECT_FALSE(read_tensor(fixture_dir(), spec, &t, &error));
  spec = c->inputs[0];
  spec.file = "no/such/file.bin";
  EXPECT_FALSE(read_tensor(fixture_dir(), spec, &t, &error));
}

TEST(ConformanceFixtures, MalformedManifestsAreRejectedWithAReason) {
  const std::string path = ::testing::TempDir() + "conformance_manifest_test.json";
  struct Bad {
    const char* text;
    const char* reason;
  };
  const Bad table[] = {
      {"not json", "is not a manifest"},
      {"{\"cases\": 3}", "is not a manifest"},
      {"{\"cases\": [{\"name\": \"a\"}]}", "malformed manifest entry"},
      {"{\"cases\": [{\"name\": \"a\", \"model\": \"m\", \"inputs\": [{\"name\": \"x\", "
       "\"dtype\": \"f16\", \"shape\": [1], \"file\": \"f\"}], \"outputs\": []}]}",
       "unknown dtype"},
      {"{\"cases\": [{\"name\": \"a\", \"model\": \"m\", \"inputs\": [{\"name\": \"x\"}], "
       "\"outputs\": []}]}",
       "lacks name, dtype, shape or file"},
  };
  for (const Bad& bad : table) {
    SCOPED_TRACE(bad.text);
    {
      std::ofstream out(path, std::ios::trunc);
      out << bad.text;
    }
    Manifest m;
    std::string error;
    EXPECT_FALSE(read_manifest(path, &m, &error));
    EXPECT_NE(error.find(bad.reason), std::string::npos) << error;
  }
  Manifest m;
  std::string error;
  EXPECT_FALSE(read_manifest(path + ".missing", &m, &error));
  EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
  std::remove(path.c_str());
}

// The references of a few operators, recomputed from their definitions,
// agree with ONNX Runtime's files under the conformance rule: the reader,
// the rule and the fixtures check each other.
struct Recomputed {
  const char* name;
  float (*unary)(float);
};

float relu(float x) { return x > 0 ? x : 0; }
float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-x)); }
float leaky(float x) { return x > 0 ? x : 0.2f * x; }
float hardswish(float x) { return x * std::fmin(std::fmax(x / 6.0f + 0.5f, 0.0f), 1.0f); }

TEST(ConformanceFixtures, UnaryReferencesMatchTheirDefinitions) {
  const Recomputed table[] = {{"unary_relu", relu},         {"unary_sigmoid", sigmoid},
                              {"unary_tanh", std::tanh},    {"unary_exp", std::exp},
                              {"unary_erf", std::erf},      {"unary_sqrt", std::sqrt},
                              {"leakyrelu", leaky},         {"hardswish_op14", hardswish}};
  for (const Recomputed& r : table) {
    SCOPED_TRACE(r.name);
    const Case* c = find_case(r.name);
    ASSERT_NE(c, nullptr);
    TensorData x, ref;
    std::string error;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->inputs[0], &x, &error)) << error;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->outputs[0], &ref, &error)) << error;
    TensorData got = x;
    got.name = ref.name;
    for (float& v : got.f32) v = r.unary(v);
    Comparison cmp = compare_tensor(got, ref, Tolerance{});
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
}

TEST(ConformanceFixtures, BroadcastAddAndSoftmaxMatchTheirDefinitions) {
  std::string error;
  {
    const Case* c = find_case("binary_add_bcast");  // [1,3,8,9] + [3,1,1]
    ASSERT_NE(c, nullptr);
    TensorData a, b, ref;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->inputs[0], &a, &error)) << error;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->inputs[1], &b, &error)) << error;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->outputs[0], &ref, &error)) << error;
    TensorData got = ref;
    for (size_t i = 0; i < got.f32.size(); ++i) got.f32[i] = a.f32[i] + b.f32[i / 72];
    Comparison cmp = compare_tensor(got, ref, Tolerance{});
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
  {
    const Case* c = find_case("softmax_op13_axis1");  // [1,5,4,6] over axis 1
    ASSERT_NE(c, nullptr);
    TensorData x, ref;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->inputs[0], &x, &error)) << error;
    ASSERT_TRUE(read_tensor(fixture_dir(), c->outputs[0], &ref, &error)) << error;
    TensorData got = ref;
    for (size_t p = 0; p < 24; ++p) {
      double sum = 0;
      for (size_t k = 0; k < 5; ++k) sum += std::exp(static_cast<double>(x.f32[k * 24 + p]));
      for (size_t k = 0; k < 5; ++k) {
        got.f32[k * 24 + p] = static_cast<float>(std::exp(static_cast<double>(x.f32[k * 24 + p])) / sum);
      }
    }
    Comparison cmp = compare_tensor(got, ref, Tolerance{});
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
}

// ---------------------------------------------------------------------------
// Converted and run on the CPU, one test per case
// ---------------------------------------------------------------------------

// A case with the directory its files are in and the form its model is
// converted in.
struct RunParam {
  std::string dir;
  Case c;
  ModelForm form = ModelForm::kAsWritten;
};

void PrintTo(const RunParam& p, std::ostream* os) { *os << p.c.name; }

// Cases of another manifest, named by VORN_CONFORMANCE_EXTRA (the trained
// models that scripts/fetch_models caches outside the tree).
const Manifest& extra_manifest() {
  static const Manifest m = [] {
    Manifest loaded;
    const char* dir = std::getenv("VORN_CONFORMANCE_EXTRA");
    std::string error;
    if (dir && *dir && !read_manifest(std::string(dir) + "/manifest.json", &loaded, &error)) {
      loaded.cases.clear();
    }
    return loaded;
  }();
  return m;
}

std::vector<RunParam> run_params(bool extra, ModelForm form = ModelForm::kAsWritten) {
  std::vector<RunParam> out;
  const char* extra_dir = std::getenv("VORN_CONFORMANCE_EXTRA");
  for (const Case& c : extra ? extra_manifest().cases : manifest().cases) {
    out.push_back(RunParam{extra ? std::string(extra_dir) : fixture_dir(), c, form});
  }
  return out;
}

class ConformanceRun : public ::testing::TestWithParam<RunParam> {};

// The trained models are judged by people as well: each output's worst
// difference and its bound go to the log.
void log_trained(const RunParam& p, const char* what, const TensorSpec& output, const Comparison& cmp) {
  if (p.dir == fixture_dir()) return;
  std::printf("[ trained  ] %s %s '%s': max |diff| %.3g, allowed %.3g\n", p.c.name.c_str(), what,
              output.name.c_str(), cmp.max_abs_diff, cmp.bound);
}

TEST_P(ConformanceRun, MatchesOnnxRuntime) {
  const Case* c = &GetParam().c;
  const std::string& dir = GetParam().dir;
  std::vector<TensorData> inputs(c->inputs.size());
  std::vector<TensorData> refs(c->outputs.size());
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) {
    ASSERT_TRUE(read_tensor(dir, c->inputs[i], &inputs[i], &error)) << error;
  }
  for (size_t i = 0; i < refs.size(); ++i) {
    ASSERT_TRUE(read_tensor(dir, c->outputs[i], &refs[i], &error)) << error;
  }
  RunOutcome run = convert_and_run_on_cpu(dir, *c, inputs, GetParam().form);
  if (run.status == RunOutcome::Status::kUnavailable) GTEST_SKIP() << run.message;
  const auto refusals = documented_refusals();
  const auto listed = refusals.find(c->name);
  if (run.status == RunOutcome::Status::kRefused) {
    ASSERT_NE(listed, refusals.end()) << "conversion failed: " << run.message;
    EXPECT_NE(run.message.find(listed->second), std::string::npos)
        << "refusal message changed: " << run.message;
    // The node is named, by its first output when it has no name.
    EXPECT_NE(run.message.find(" '"), std::string::npos) << run.message;
    EXPECT_EQ(run.message.find("''"), std::string::npos) << run.message;
    return;
  }
  EXPECT_EQ(listed, refusals.end()) << "listed as refused, but it converts now";
  ASSERT_EQ(run.status, RunOutcome::Status::kRan) << run.message;
  ASSERT_EQ(run.outputs.size(), refs.size());
  const Tolerance tol{manifest().relative_tolerance, manifest().absolute_tolerance};
  for (size_t i = 0; i < refs.size(); ++i) {
    Comparison cmp = compare_tensor(run.outputs[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << cmp.message;
    log_trained(GetParam(), "CPU", c->outputs[i], cmp);
  }
  if (c->top1) {
    Comparison cmp = compare_top1(run.outputs[0], refs[0]);
    EXPECT_TRUE(cmp.ok) << cmp.message;
  }
  if (GetParam().form == ModelForm::kShuffled) {
    // Sorting restores an order that computes the very same bits.
    RunOutcome sorted = convert_and_run_on_cpu(dir, *c, inputs);
    ASSERT_EQ(sorted.outputs.size(), run.outputs.size());
    for (size_t i = 0; i < run.outputs.size(); ++i) {
      EXPECT_EQ(run.outputs[i].f32, sorted.outputs[i].f32) << c->outputs[i].name;
      EXPECT_EQ(run.outputs[i].i64, sorted.outputs[i].i64) << c->outputs[i].name;
    }
  }
}

std::string param_name(const ::testing::TestParamInfo<RunParam>& info) { return info.param.c.name; }

INSTANTIATE_TEST_SUITE_P(Cases, ConformanceRun, ::testing::ValuesIn(run_params(false)), param_name);
// Exporters often leave node names empty and sometimes write nodes out of
// dependency order: the same cases converted that way compute the same.
INSTANTIATE_TEST_SUITE_P(Unnamed, ConformanceRun, ::testing::ValuesIn(run_params(false, ModelForm::kUnnamed)),
                         param_name);
INSTANTIATE_TEST_SUITE_P(Shuffled, ConformanceRun, ::testing::ValuesIn(run_params(false, ModelForm::kShuffled)),
                         param_name);
INSTANTIATE_TEST_SUITE_P(Trained, ConformanceRun, ::testing::ValuesIn(run_params(true)), param_name);

// ---------------------------------------------------------------------------
// The same cases on the GPU engine: in f32 under the suite's rule, in half
// precision (f16:fast) within 1e-2 x max|ref| with the same top-1, or for a
// probability map the same mask at its threshold. A model
// holding an operator the GPU engine does not lower is refused at open with
// the engine's text, and AUTO then runs it on the CPU.
// ---------------------------------------------------------------------------

class ConformanceGpu : public ::testing::TestWithParam<RunParam> {};

void expect_matches(const Case& c, const RunOutcome& run, const std::vector<TensorData>& refs, const Tolerance& tol,
                    const char* what) {
  ASSERT_EQ(run.status, RunOutcome::Status::kRan) << what << ": " << run.message;
  ASSERT_EQ(run.outputs.size(), refs.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    Comparison cmp = compare_tensor(run.outputs[i], refs[i], tol);
    EXPECT_TRUE(cmp.ok) << what << ": " << cmp.message;
    log_trained(ConformanceGpu::GetParam(), (std::string("GPU ") + what).c_str(), c.outputs[i], cmp);
  }
  if (c.top1) {
    Comparison cmp = compare_top1(run.outputs[0], refs[0]);
    EXPECT_TRUE(cmp.ok) << what << ": " << cmp.message;
  }
}

TEST_P(ConformanceGpu, MatchesOnnxRuntimeInF32AndHalf) {
  const Case& c = GetParam().c;
  const std::string& dir = GetParam().dir;
  std::vector<TensorData> inputs(c.inputs.size()), refs(c.outputs.size());
  std::string error;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c.inputs[i], &inputs[i], &error)) << error;
  for (size_t i = 0; i < refs.size(); ++i) ASSERT_TRUE(read_tensor(dir, c.outputs[i], &refs[i], &error)) << error;
  const Tolerance tol{manifest().relative_tolerance, manifest().absolute_tolerance};
  RunOutcome run = convert_and_run_on(dir, c, inputs, VORN_BACKEND_GPU);
  if (run.status == RunOutcome::Status::kUnavailable) GTEST_SKIP() << run.message;
  if (run.status == RunOutcome::Status::kRefused) return;  // the CPU cases check the refusal
  if (run.status == RunOutcome::Status::kUnsupported) {
    expect_matches(c, convert_and_run_on(dir, c, inputs, VORN_BACKEND_AUTO), refs, tol, "AUTO");
    return;
  }
  expect_matches(c, run, refs, tol, "f32");
  setenv("VORN_PRECISION_GPU_METAL", "f16:fast", 1);
  RunOutcome half = convert_and_run_on(dir, c, inputs, VORN_BACKEND_GPU);
  unsetenv("VORN_PRECISION_GPU_METAL");
  if (c.mask_threshold <= 0) {
    expect_matches(c, half, refs, Tolerance{1e-2, 0}, "f16");
    return;
  }
  // A detector's map ends in a steep sigmoid: at the edges of the text an
  // f16 rounding of each operation moves single positions by up to 0.5 (as
  // any engine rounding there does), so the map is judged by what users take
  // from it, the mask at their threshold.
  ASSERT_EQ(half.status, RunOutcome::Status::kRan) << "f16: " << half.message;
  Comparison cmp = compare_mask(half.outputs[0], refs[0], c.mask_threshold, 0.005, 1e-2);
  EXPECT_TRUE(cmp.ok) << "f16: " << cmp.message;
}

INSTANTIATE_TEST_SUITE_P(Cases, ConformanceGpu, ::testing::ValuesIn(run_params(false)), param_name);
INSTANTIATE_TEST_SUITE_P(Trained, ConformanceGpu, ::testing::ValuesIn(run_params(true)), param_name);

}  // namespace
}  // namespace vorn::conformance
