#include "gpu/test_faults.h"

#include <cstdlib>
#include <cstring>

namespace vorn {

bool test_fault_enabled(const char* token) {
  const char* faults = std::getenv("VORN_TEST_FAULTS");
  return faults != nullptr && token != nullptr && std::strstr(faults, token) != nullptr;
}

}  // namespace vorn
