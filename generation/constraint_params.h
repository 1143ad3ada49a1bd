// A request's output constraint, compiled over the processor's vocabulary.
#pragma once
#include <memory>

#include "generation/constraint.h"
#include "generation/processor.h"
#include "generation/records.h"

namespace vorn {

// Null when the request sets neither a JSON schema nor an amount. A
// constraint that cannot be compiled throws ConstraintError with its
// message: a request with one never falls back to unconstrained output.
std::unique_ptr<Constraint> constraint_from_params(const Processor& processor, const GenerationRequest& request);

}  // namespace vorn
