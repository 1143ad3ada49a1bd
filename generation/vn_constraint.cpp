#include "generation/vn_constraint.h"

#include "generation/constraint_mask.h"

namespace vorn {

VNConstraint::VNConstraint(std::unique_ptr<Constraint> constraint) : constraint_(std::move(constraint)) {}
VNConstraint::~VNConstraint() = default;

void VNConstraint::mask(uint8_t* mask, uint64_t vocab, uint64_t remaining) {
  constraint_boundary([&] { constraint_token_mask(*constraint_, mask, vocab, remaining); });
}

bool VNConstraint::acceptToken(int64_t token) {
  return constraint_boundary([&] { return constraint_accept_token(*constraint_, token); });
}

}  // namespace vorn
