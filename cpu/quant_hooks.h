// The points where simulated quantisation and calibration plug into the CPU
// engine. The state behind them belongs to one engine (CpuState::quant), so
// two sessions never share settings, ranges or scratch; the environment is
// read when each engine is created.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/cpu_state.h"

namespace vorn {

struct CpuQuantConfig;

// Builds the engine's quantisation state from the VORN_CPU_Q* variables once
// the arena is planned and the data pointers are set: reads the ranges file,
// rounds the weights of Conv, Gemm, MatMul and ConvTranspose in place, and
// sizes the operand scratch. Returns 0, or a status (3 the ranges file is
// refused, 7 out of memory) with a NUL-terminated reason in message.
uint32_t cpu_quant_settings(CpuState& state, const CpuQuantConfig& config, char* message, size_t capacity);

// True when this engine rounds or records activations or operands.
bool cpu_quant_active(const CpuState& state);

// Called for the graph input before the first node (op 0) and for every
// non-weight output after its node: records the value's range in
// calibration mode, else rounds it in place by VORN_CPU_QT.
void cpu_activation_hook(CpuState& state, uint64_t value_id, float* data, uint64_t count,
                         uint64_t op);

// Called at the end of every successful pass while active: in calibration
// mode writes the ranges file. False when it could not be written.
bool cpu_calibration_write(const CpuState& state);

// Releases the engine's quantisation state; the engine's free calls it.
void cpu_quant_release(CpuState& state);

}  // namespace vorn
