// The object-layer face of a compiled output constraint: the generation loop
// asks it for a token mask before each sampling step and tells it each
// sampled token. Failures leave as VNError: "VornFrontend" with the
// constraint's message, or "NSMallocException" when memory ran out.
#pragma once
#include <cstdint>
#include <memory>

#include <new>
#include <stdexcept>

#include "base/vn_error.h"
#include "generation/constraint.h"
#include "generation/constraint_messages.h"

namespace vorn {

class VNConstraint {
 public:
  // Takes ownership of a compiled constraint.
  explicit VNConstraint(std::unique_ptr<Constraint> constraint);
  ~VNConstraint();
  VNConstraint(const VNConstraint&) = delete;
  VNConstraint& operator=(const VNConstraint&) = delete;

  // Clears the entries of `mask` (vocab bytes) of the tokens the constraint
  // refuses with `remaining` tokens left, counting the one to be sampled.
  void mask(uint8_t* mask, uint64_t vocab, uint64_t remaining);
  // Advances by the sampled token; true when the output is complete.
  bool acceptToken(int64_t token);

 private:
  std::unique_ptr<Constraint> constraint_;
};

// Runs `body` and converts what it throws the way every constraint entry of
// the object layer does: an object-layer error passes unchanged, a failed
// allocation becomes "NSMallocException" "Constraint allocation failed", any
// other standard exception "VornFrontend" with its text.
template <typename Body>
auto constraint_boundary(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const VNError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kMalloc, constraint_message::kAllocation);
  } catch (const std::exception& e) {
    throw VNError(vn_category::kFrontend, e.what());
  }
}

}  // namespace vorn
