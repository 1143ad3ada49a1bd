// Known-answer checks of the base library's small containers and text
// utilities: each routine runs one operation (or one group of operations
// that only make sense together, such as push and pop) on fixed inputs and
// stops the process with a trap when a result differs from the known answer.
// Nothing in the library calls them; a port or a new toolchain runs them to
// check the foundation before anything is built on it.
#pragma once
#include <span>

namespace vorn {

struct SelfCheck {
  const char* name;  // the operation checked, e.g. "slice_find"
  void (*run)();
};

// Every routine, in the order of the base headers.
std::span<const SelfCheck> self_checks();
// Runs every routine; returns only when all of them pass.
void self_check_all();

}  // namespace vorn
