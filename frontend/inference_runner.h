// The chat tool's infer command: the cases of a request file run one by
// one on the model's graph, each writing its outputs into a directory of
// its own, and result.json summarises the run.
#pragma once
#include <string>

namespace vorn {

// Returns 1 when result.json was written; 0 after "vorn inference:
// <message>" was printed on standard error.
int run_inference_request(const std::string& model_path, const std::string& request_path,
                          const std::string& output);

}  // namespace vorn
