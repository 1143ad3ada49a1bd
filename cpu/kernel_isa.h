// Which instruction-set form the CPU engine's kernels run: decided once
// when an engine is created, from what the processor has, and kept in the
// engine state; a kernel with several forms picks its own from that one
// field (in its prepare step where it has a plan, else when it runs).
// Every form of a kernel gives the same bits: a multiply-add fused in one
// form is fmaf in the others. Tests set the field to compare the forms.
#pragma once
#include <cstdint>

#include "platform/cpu_features.h"

namespace vorn {

enum class KernelIsa : uint32_t {
  kPortable = 0,  // the baseline build (and every processor but x86-64)
  kAvx2 = 1,      // AVX2 with fused multiply-add
  kAvx512 = 2,    // AVX-512 Foundation (AVX2 and FMA with it)
};

// The widest form this processor runs.
inline KernelIsa kernel_isa_of_this_cpu() {
  if (cpu_has_avx512f() && cpu_has_avx2_fma()) return KernelIsa::kAvx512;
  if (cpu_has_avx2_fma()) return KernelIsa::kAvx2;
  return KernelIsa::kPortable;
}

// At least AVX2 with fused multiply-add.
inline bool isa_has_avx2(KernelIsa isa) { return isa != KernelIsa::kPortable; }

}  // namespace vorn
