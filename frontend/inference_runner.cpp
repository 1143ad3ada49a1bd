#include "frontend/inference_runner.h"

#include <cstdio>

#include "base/vn_error.h"
#include "frontend/inference_request.h"
#include "frontend/model_file.h"

namespace vorn {

int run_inference_request(const std::string& model_path, const std::string& request_path, const std::string& output) {
  try {
    // The request is checked before the model is touched.
    const nlohmann::json request = read_inference_request(request_path);
    request_activation(request);
    const ModelFile model(model_path);
    (void)output;
    // Building the graph and running the cases come with the generative
    // sessions; until then the command stops here.
    throw VNError(vn_category::kUnsupported, "Generative models are not available in this build");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorn inference: %s\n", e.what());
    return 0;
  }
}

}  // namespace vorn
