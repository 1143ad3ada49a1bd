// VORN_BENCH_ISA=avx2 or portable runs the engine in that instruction-set
// form for the whole process (the widest this processor has otherwise), to
// time here the forms a processor without AVX-512 runs. Our drivers hold
// the answer of bench_isa() for as long as they run.
#pragma once
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/cpu_features.h"

namespace bench_ort {

inline std::unique_ptr<vorn::IsaCap> bench_isa() {
  const char* v = std::getenv("VORN_BENCH_ISA");
  if (v == nullptr) return nullptr;
  if (std::strcmp(v, "avx2") == 0) return std::make_unique<vorn::IsaCap>(vorn::KernelIsa::kAvx2);
  if (std::strcmp(v, "portable") == 0) return std::make_unique<vorn::IsaCap>(vorn::KernelIsa::kPortable);
  return nullptr;
}

}  // namespace bench_ort
