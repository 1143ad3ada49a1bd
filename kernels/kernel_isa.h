// Which instruction-set form the CPU engine's kernels run: decided once
// when an engine is created, from the record of platform/cpu_features.h,
// and kept in the engine state; a kernel with several forms picks its own
// from that one field (in its prepare step where it has a plan, else when it
// runs). Every form of a kernel gives the same bits: a multiply-add fused in
// one form is fmaf in the others. Tests compare the forms by creating the
// engine under an IsaCap.
#pragma once
#include "platform/cpu_features.h"

namespace vorn {

// The widest form the record offers.
inline KernelIsa kernel_isa_of_this_cpu() { return cpu_features().widest; }

// At least AVX2 with fused multiply-add.
inline bool isa_has_avx2(KernelIsa isa) { return isa != KernelIsa::kPortable; }

}  // namespace vorn
