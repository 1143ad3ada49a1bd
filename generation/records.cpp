#include "generation/records.h"

#include <cstdlib>

namespace vorn {

GenerationRequest generation_request_default() {
  GenerationRequest request{};
  request.max_new_tokens = 64;
  request.sampling = sampling_params_default();
  request.image_longest_edge = 512;
  return request;
}

void generation_result_free(GenerationResult* result) {
  if (result == nullptr) return;
  std::free(result->answer);
  std::free(result->token_ids);
  std::free(result->token_log_probabilities);
  *result = GenerationResult{};
}

}  // namespace vorn
