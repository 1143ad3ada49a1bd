// The two exception types of the processor core that callers tell apart from
// plain runtime errors: a constraint that cannot be compiled, and an image
// that cannot be read. The object layer turns them into its own categories
// (VornFrontend and VornImage) at each method boundary.
#pragma once
#include <stdexcept>
#include <string>

namespace vorn {

class ConstraintError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vorn
