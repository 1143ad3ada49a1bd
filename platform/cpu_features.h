// What the processor we run on can do, asked once. Kernels with a vector
// form compiled for a newer instruction set pick it at run time from here,
// so one build runs everywhere.
#pragma once

#if defined(__x86_64__)
#include <cpuid.h>
#endif

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
  // F16C is asked of CPUID (leaf 1, ecx bit 29) directly: clang's
  // __builtin_cpu_supports does not know the name.
  static const bool yes = [] {
    unsigned a, b, c, d;
    return __builtin_cpu_supports("avx2") && __get_cpuid(1, &a, &b, &c, &d) != 0 && (c & (1u << 29)) != 0;
  }();
  return yes;
#else
  return false;
#endif
}

// AVX-512 Foundation, with the OS saving its registers (x86-64 only; false
// elsewhere).
inline bool cpu_has_avx512f() {
#if defined(__x86_64__)
  static const bool yes = __builtin_cpu_supports("avx512f");
  return yes;
#else
  return false;
#endif
}

}  // namespace vorn
