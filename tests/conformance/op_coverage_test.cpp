// One test per engine operator of the operator list, so that an operator
// added to the list without a test fails here. An operator counts as tested
// when a conformance case runs it against ONNX Runtime (the case's
// converted graph holds the operator) or when a kernel test suite named
// after it (<Name>Kernel, e.g. PadKernel) checks its kernel against a
// reference: the system's own operators, which no ONNX model holds, and
// forms the converter makes only from inputs ONNX Runtime cannot compare.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "conformance/fixture_manifest.h"
#include "container/container.h"
#include "container/op_codes.h"
#include "converter/convert.h"
#include "converter/shape_binding.h"

namespace vorn::conformance {
namespace {

// Operator codes in the converted graph of every conformance case.
const std::set<uint64_t>& converted_ops() {
  static const std::set<uint64_t> ops = [] {
    std::set<uint64_t> found;
    Manifest m;
    std::string error;
    if (!read_manifest(fixture_dir() + "/manifest.json", &m, &error)) return found;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-ops-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) return found;
    const std::string path = dir + "/model.vorn";
    for (const Case& c : m.cases) {
      const std::string onnx = fixture_dir() + "/" + c.model;
      ConvertOptions options = convert_options_init();
      ConvertOutcome r = convert_onnx_file_with_options(slice_of(onnx), slice_of(path), &options);
      bytes_free(&r.text);
      if (r.status != 0) continue;
      ContainerResult h = container_open_path(path.c_str());
      if (h.ok()) {
        for (uint64_t i = 0; i < container_node_count(&h.value); ++i)
          found.insert(container_node_record(&h.value, i).op());
        container_close(&h.value);
      }
      unlink(path.c_str());
    }
    rmdir(dir.c_str());
    return found;
  }();
  return ops;
}

// The test suite names of the kernel test executables.
const std::set<std::string>& kernel_suites() {
  static const std::set<std::string> suites = [] {
    std::set<std::string> found;
    for (const char* exe : {KERNEL_TESTS_ELEM, KERNEL_TESTS_CONV}) {
      FILE* p = popen((std::string(exe) + " --gtest_list_tests").c_str(), "r");
      if (p == nullptr) continue;
      char line[512];
      while (std::fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        if (s.empty() || s[0] == ' ') continue;  // a test, not a suite
        found.insert(s.substr(0, s.find_first_of(". \n")));
      }
      pclose(p);
    }
    return found;
  }();
  return suites;
}

// A suite <...Name...>Kernel: the kernel tests of one operator, or of a
// family sharing one kernel (ErfGeluKernel).
bool has_kernel_suite(std::string_view name) {
  for (const std::string& suite : kernel_suites())
    if (suite.ends_with("Kernel") && suite.find(name) != std::string::npos) return true;
  return false;
}

std::vector<uint64_t> engine_operators() {
  std::vector<uint64_t> ops;
  for (const OpInfo& info : kOpList)
    if (info.family != OpFamily::kLowered) ops.push_back(info.code);
  return ops;
}

class EveryOperator : public ::testing::TestWithParam<uint64_t> {};

TEST_P(EveryOperator, HasATest) {
  const uint64_t code = GetParam();
  const std::string_view name = op_name(code).view();
  EXPECT_TRUE(converted_ops().count(code) == 1 || has_kernel_suite(name))
      << "no conformance case runs " << name << " and no kernel test suite names it: add a case to "
      << "tests/conformance/make_fixtures.py, or a " << name << "Kernel suite against a reference";
}

INSTANTIATE_TEST_SUITE_P(OperatorList, EveryOperator, ::testing::ValuesIn(engine_operators()),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                           return std::string(op_name(info.param).view());
                         });

}  // namespace
}  // namespace vorn::conformance
