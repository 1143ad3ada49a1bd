// Figures of this process read from /proc, for resource tests and benchmarks.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>

namespace vorn::test {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"); 0 if absent.
inline uint64_t status_bytes(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string key;
  uint64_t kib = 0;
  while (in >> key) {
    if (key == field + ":") {
      in >> kib;
      return kib * 1024;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

}  // namespace vorn::test
