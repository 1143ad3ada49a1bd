// What the processor we run on can do, asked once. Kernels with a vector
// form compiled for a newer instruction set pick it at run time from here,
// so one build runs everywhere.
#pragma once

namespace vorn {

// AVX2 with fused multiply-add (x86-64 only; false elsewhere).
inline bool cpu_has_avx2_fma() {
#if defined(__x86_64__)
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
#else
  return false;
#endif
}

// AVX2 with the half-float conversions (F16C) (x86-64 only; false elsewhere).
inline bool cpu_has_avx2_f16c() {
#if defined(__x86_64__)
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
  return yes;
#else
  return false;
#endif
}

}  // namespace vorn
