// Fault injection for the failure paths of device and weights memory setup:
// VORN_TEST_FAULTS holds tokens such as "gpu.device" or "gpu.weights",
// matched as substrings, so several can be given at once.
#pragma once

namespace vorn {

bool test_fault_enabled(const char* token);

}  // namespace vorn
