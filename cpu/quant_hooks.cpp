#include "cpu/quant_hooks.h"

namespace vorn {

bool cpu_quant_settings(CpuState& state) {
  state.quant = nullptr;
  return true;
}

bool cpu_quant_active(const CpuState& state) { return state.quant != nullptr; }

void cpu_activation_hook(CpuState&, uint64_t, float*, uint64_t, uint64_t) {}

void cpu_calibration_write(const CpuState&) {}

void cpu_quant_release(CpuState& state) { state.quant = nullptr; }

}  // namespace vorn
