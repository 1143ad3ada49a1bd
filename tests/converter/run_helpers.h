// Shared helpers of the lowering tests: temporary paths and running a
// converted model on the CPU through the C interface.
#pragma once
#include <string>
#include <vector>

#include "conformance/fixture_manifest.h"

namespace vorn {

struct TempPath {
  std::string path;
  TempPath();
  ~TempPath();
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
};

// Opens path on the CPU, binds the inputs by name, runs once and reads the
// outputs the case names. Empty on success, else what failed.
std::string run_model(const std::string& path, const std::vector<conformance::TensorData>& inputs,
                      const conformance::Case& c, std::vector<conformance::TensorData>* outputs);

}  // namespace vorn
