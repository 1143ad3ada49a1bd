#include "platform/cpu_features.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vorn {

namespace {

CpuFeatures detect() {
  CpuFeatures f{};
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2");
  f.avx2_fma = avx2 && __builtin_cpu_supports("fma");
  f.avx512f = __builtin_cpu_supports("avx512f");
  // F16C is asked of CPUID (leaf 1: OSXSAVE ecx bit 27, AVX 28, F16C 29)
  // directly, clang's __builtin_cpu_supports not knowing the name; the half
  // conversions alone need only AVX, with the OS saving the YMM state (XCR0
  // bits 1 and 2).
  unsigned a, b, c, d;
  if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
    const bool has_f16c = (c & (1u << 29)) != 0;
    f.avx2_f16c = avx2 && has_f16c;
    const unsigned need = (1u << 27) | (1u << 28) | (1u << 29);
    if ((c & need) == need) {
      unsigned lo, hi;
      __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      f.f16c = (lo & 6u) == 6u;
    }
  }
#endif
  f.widest = f.avx512f && f.avx2_fma ? KernelIsa::kAvx512 : f.avx2_fma ? KernelIsa::kAvx2 : KernelIsa::kPortable;
  return f;
}

// Filled on first use; an IsaCap rewrites it in place.
CpuFeatures& record() {
  static CpuFeatures chosen = detect();
  return chosen;
}

}  // namespace

const CpuFeatures& cpu_features() { return record(); }

IsaCap::IsaCap(KernelIsa cap) : previous_(record()) {
  CpuFeatures& f = record();
  if (cap < KernelIsa::kAvx512) f.avx512f = false;
  if (cap < KernelIsa::kAvx2) f.avx2_fma = f.avx2_f16c = f.f16c = false;
  if (cap < f.widest) f.widest = cap;
}

IsaCap::~IsaCap() { record() = previous_; }

}  // namespace vorn
