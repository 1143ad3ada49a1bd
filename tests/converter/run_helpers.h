// Shared helpers of the lowering tests: temporary paths, the fixture
// manifests and their input bindings, and running a converted model through
// the C interface.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "conformance/fixture_manifest.h"
#include "converter/convert_options.h"
#include "vorn.h"

namespace vorn {

struct TempPath {
  std::string path;
  TempPath();
  ~TempPath();
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
};

// The manifest of a fixture folder, read once; no cases when it cannot be read.
const conformance::Manifest& manifest_of(const std::string& dir);

// Adds an --input binding per input of the case, with its fixture's shape
// and element type (which settles the dynamic axes of exported networks).
// The argument that failed, or empty.
std::string bind_fixture_inputs(const conformance::Case& c, ConvertOptions* options);

// Opens path on the backend (the CPU unless another is given), binds the
// inputs by name, runs once and reads the outputs the case names. Empty on
// success, else what failed: "open: " and the session's text when the open
// failed.
std::string run_model(const std::string& path, const std::vector<conformance::TensorData>& inputs,
                      const conformance::Case& c, std::vector<conformance::TensorData>* outputs,
                      uint32_t backend = VORN_BACKEND_CPU);

}  // namespace vorn
