// The chat tool's infer command: the cases of a request file run one by
// one on the model's graph, each writing its outputs into a directory of
// its own, and result.json summarises the run.
#pragma once
#include <string>

namespace vorn {

// Returns 1 when every case ran and result.json was written. A case that
// fails prints "vorn inference: case <i>: <message>" on standard error and
// is listed in result.json as {"name", "error"}; the others still run and
// the result is 0. Any other failure prints "vorn inference: <message>",
// writes no result.json and returns 0.
int run_inference_request(const std::string& model_path, const std::string& request_path,
                          const std::string& output);

}  // namespace vorn
