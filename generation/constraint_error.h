// The one exception the output-constraint compiler and its run-time automaton
// throw. Its text is the whole message: the object layer passes it on as the
// reason of a "VornFrontend" error, which the generation call reports as an
// invalid request.
#pragma once
#include <stdexcept>
#include <string>

namespace vorn {

class ConstraintError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace vorn
