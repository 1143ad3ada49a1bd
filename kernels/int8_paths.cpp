#include "kernels/int8_paths.h"

#include <cstdio>
#include <cstdlib>

#include "kernels/cpu_state.h"
#include "kernels/quant_state.h"

namespace vorn {

bool cpu_i8_supported() { return false; }

bool cpu_i8_capable() { return cpu_i8_supported(); }

bool cpu_i8_ready(const CpuState& state) {
  return state.quant != nullptr && state.quant->i8.ready;
}

void cpu_i8_prepack(CpuState& state, bool, std::span<const float>) {
  if (state.quant == nullptr) return;
  CpuI8State& i8 = state.quant->i8;
  i8.count = 0;
  i8.ready = false;
  // Without the dot-product instructions nothing is packed, and the switches
  // that only matter for packed weights are not read.
  if (!cpu_i8_capable()) return;
}

int cpu_i8_gemm(CpuState& state, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
                float alpha, const float* a, int64_t, const float*, int64_t, float beta, float*,
                int64_t) {
  if (!cpu_i8_ready(state) || trans_a || trans_b || alpha != 1.0f || beta != 0.0f) return 0;
  const CpuI8State& i8 = state.quant->i8;
  for (uint64_t i = 0; i < i8.count; ++i) {
    const CpuI8Entry& e = i8.entries[i];
    if (e.weight == a && e.rows == static_cast<uint64_t>(m) && e.cols == static_cast<uint64_t>(k) &&
        n > 0) {
      // A packed kernel would run here; none exists on these CPUs.
      return 0;
    }
  }
  return 0;
}

int cpu_i8_conv_fused(CpuState& state, const NodeRecord&, const float*, const float*, float*,
                      const ValueRecord&, const ValueRecord&) {
  if (!cpu_i8_ready(state) || !state.quant->i8.fused) return 0;
  return 0;
}

int cpu_sigmoid_override(const float*, float*, uint64_t) { return 0; }

int i8_scratch_reserve(CpuI8State& i8, uint64_t bytes) {
  if (bytes <= i8.scratch_capacity && (i8.scratch != nullptr || bytes == 0)) return 1;
  std::free(i8.scratch);
  i8.scratch = static_cast<int8_t*>(std::malloc(bytes));
  i8.scratch_capacity = i8.scratch != nullptr ? bytes : 0;
  return i8.scratch != nullptr ? 1 : 0;
}

int cpu_i8_stats_line(char* buffer, size_t capacity, uint64_t calls, double gemm_ms,
                      double pack_ms, double kernel_ms) {
  return std::snprintf(buffer, capacity, "i8stats calls=%llu gemm_ms=%g pack_ms=%g kernel_ms=%g\n",
                       static_cast<unsigned long long>(calls), gemm_ms, pack_ms, kernel_ms);
}

void cpu_i8_release(CpuI8State& i8) {
  for (uint64_t i = 0; i < i8.count; ++i) {
    std::free(i8.entries[i].packed);
    std::free(i8.entries[i].row_scales);
  }
  std::free(i8.entries);
  std::free(i8.scratch);
  i8 = CpuI8State{};
}

}  // namespace vorn
