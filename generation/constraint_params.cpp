#include "generation/constraint_params.h"

#include "generation/constraint_messages.h"
#include "generation/tokenizer.h"
#include "generation/vn_constraint.h"
#include "generation/vn_processor.h"

namespace vorn {

std::unique_ptr<Constraint> constraint_from_params(const Processor& processor, const GenerationRequest& request) {
  if (request.json_schema == nullptr && request.amount_decimals == 0) return nullptr;
  constraint_require(request.stop_count == 0 && request.mask_callback == nullptr, constraint_message::kCombined);
  std::vector<std::string> bytes;
  bytes.reserve(processor.vocab_size());
  for (uint64_t id = 0; id < processor.vocab_size(); ++id)
    bytes.push_back(token_bytes(processor, static_cast<int64_t>(id)));
  auto constraint = std::make_unique<Constraint>();
  constraint_compile(*constraint, request.json_schema, request.amount_decimals, std::move(bytes),
                     processor.eos_token_ids, static_cast<int32_t>(request.max_new_tokens));
  return constraint;
}

std::unique_ptr<VNConstraint> VNProcessor::constraintWithParams(const GenerationRequest* request) const {
  return constraint_boundary([&]() -> std::unique_ptr<VNConstraint> {
    auto constraint = constraint_from_params(*processor_, request ? *request : generation_request_default());
    if (!constraint) return nullptr;
    return std::make_unique<VNConstraint>(std::move(constraint));
  });
}

}  // namespace vorn
