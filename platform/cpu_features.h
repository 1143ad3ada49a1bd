// Which instruction-set forms the kernels take: one record, filled from what
// the processor has the first time a kernel asks, and read by every kernel
// with a vector form (compiled for a newer instruction set and picked at run
// time, so one build runs everywhere). Every vector form gives its portable
// form's bits, so the record decides speed, never results.
//
// Tests narrow the record with an IsaCap: it is the one way to run the
// portable (or the AVX2) forms on any machine and compare them.
#pragma once
#include <cstdint>

namespace vorn {

// The kernel forms from narrowest to widest; each processor that runs a
// form runs the ones before it.
enum class KernelIsa : uint32_t {
  kPortable = 0,  // the baseline build (and every processor but x86-64)
  kAvx2 = 1,      // AVX2 with fused multiply-add
  kAvx512 = 2,    // AVX-512 Foundation (AVX2 and FMA with it)
};

struct CpuFeatures {
  KernelIsa widest;  // the widest form this processor runs
  bool avx2_fma;     // AVX2 with fused multiply-add
  bool avx2_f16c;    // AVX2 with the half-float conversions (F16C)
  bool f16c;         // AVX with F16C, the OS saving the YMM registers
  bool avx512f;      // AVX-512 Foundation, the OS saving its registers
};

// The record (all false and kPortable but on x86-64).
const CpuFeatures& cpu_features();

inline bool cpu_has_avx2_fma() { return cpu_features().avx2_fma; }
inline bool cpu_has_avx2_f16c() { return cpu_features().avx2_f16c; }
inline bool cpu_has_avx512f() { return cpu_features().avx512f; }

// For tests: while it lives, the record offers no form wider than cap
// (kPortable: every kernel runs its portable loops; kAvx2: nothing of
// AVX-512), and the previous record comes back when it ends. Make one only
// while no kernel runs. A CPU engine keeps the form it was created with.
class IsaCap {
 public:
  explicit IsaCap(KernelIsa cap);
  ~IsaCap();
  IsaCap(const IsaCap&) = delete;
  IsaCap& operator=(const IsaCap&) = delete;

 private:
  CpuFeatures previous_;
};

}  // namespace vorn
