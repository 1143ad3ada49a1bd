// The points where simulated quantisation and calibration plug into the CPU
// engine. The state behind them belongs to one engine (CpuState::quant), so
// two sessions never share settings, ranges or scratch.
//
// Until quantisation is built these keep every engine inactive: no state is
// made, the hooks are never reached by the executor, nothing is written.
#pragma once
#include <cstdint>

#include "cpu/cpu_state.h"

namespace vorn {

// Builds the engine's quantisation state from the environment once the
// arena is planned and the data pointers are set. False only when the state
// was asked for and could not be allocated.
bool cpu_quant_settings(CpuState& state);

// True when this engine rounds or records activations.
bool cpu_quant_active(const CpuState& state);

// Called for the graph input before the first node (op 0) and for every
// non-weight output after its node.
void cpu_activation_hook(CpuState& state, uint64_t value_id, float* data, uint64_t count,
                         uint64_t op);

// Called at the end of every successful pass while active.
void cpu_calibration_write(const CpuState& state);

// Releases the engine's quantisation state; the engine's free calls it.
void cpu_quant_release(CpuState& state);

}  // namespace vorn
