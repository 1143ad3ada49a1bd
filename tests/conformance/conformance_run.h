// Converting a conformance case with the ONNX converter and running it on
// the CPU through the public C interface.
#pragma once
#include <string>
#include <vector>

#include "conformance/fixture_manifest.h"

namespace vorn::conformance {

struct RunOutcome {
  enum class Status {
    kUnavailable,  // this build has no converter entry point
    kRefused,      // the converter refused the model (message says why)
    kFailed,       // opening or running failed (message from the session)
    kUnsupported,  // the backend refused an operator it does not run (message says which)
    kRan,          // outputs holds one tensor per reference output
  };
  Status status = Status::kUnavailable;
  std::string message;
  uint32_t code = 0;  // the session's status code when opening or running failed
  std::vector<TensorData> outputs;
};

// Whether this build can convert ONNX files at all.
bool converter_available();

// How the case's model is handed to the converter: as committed, with
// every node name removed, or with its nodes in a shuffled order.
enum class ModelForm { kAsWritten, kUnnamed, kShuffled };

// Converts dir/case.model (in the given form) into a temporary .vorn file,
// opens it on the CPU, binds every input by name, runs once and reads the
// outputs named by the case. The temporary files are removed before
// returning.
RunOutcome convert_and_run_on_cpu(const std::string& dir, const Case& c,
                                  const std::vector<TensorData>& inputs,
                                  ModelForm form = ModelForm::kAsWritten);

// The same on a backend (VornBackend). On GPU a model holding an operator
// (or an operator's form) the GPU engine does not lower is kUnsupported.
RunOutcome convert_and_run_on(const std::string& dir, const Case& c, const std::vector<TensorData>& inputs,
                              uint32_t backend);

}  // namespace vorn::conformance
