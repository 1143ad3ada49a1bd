// The simulated-quantisation state of one CPU engine: the settings read
// from the environment when the engine was created, the calibration ranges,
// the weights rounded at creation and the scratch for operand copies.
//
// Each engine owns its own state (CpuState::quant): engines created with
// different settings run side by side on different threads without seeing
// each other's settings, ranges or scratch.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kernels/cpu_state.h"
#include "kernels/int8_paths.h"
#include "kernels/quant_round.h"

namespace vorn {

// What the VORN_CPU_Q* variables ask for.
struct CpuQuantConfig {
  CpuQuantType weight = kQuantOff;      // VORN_CPU_QW
  CpuQuantType ends = kQuantOff;        // VORN_CPU_QENDS
  CpuQuantType operand = kQuantOff;     // VORN_CPU_QA
  CpuQuantType activation = kQuantOff;  // VORN_CPU_QT
  int32_t weight_block = 0;             // VORN_CPU_QWG (>= 0)
  int32_t operand_block = 0;            // VORN_CPU_QAG (>= 0)
  bool whole_operand = false;           // VORN_CPU_QAG negative
  bool calibrate = false;               // VORN_CPU_QCAL_OUT set
  int32_t only = -1;                    // VORN_CPU_QT_ONLY
  const char* wide = nullptr;           // VORN_CPU_QT_WIDE (borrowed)
  const char* ranges_out = nullptr;     // VORN_CPU_QCAL_OUT (borrowed)
  const char* ranges_in = nullptr;      // VORN_CPU_QCAL (borrowed)

  bool active() const {
    return weight != kQuantOff || activation != kQuantOff || operand != kQuantOff || calibrate;
  }
};

// Reads the variables (getenv; the texts are borrowed until the state is
// built from them).
CpuQuantConfig cpu_quant_config_from_env();

// A weight's bytes, [start, end).
struct QuantWeightRange {
  uintptr_t start, end;
};

struct CpuQuantState {
  CpuQuantConfig config;  // the borrowed texts are cleared once used
  uint64_t value_count;
  // Ranges by value id: [0, V) max |x|, [V, 2V) min, [2V, 3V) max.
  float* ranges;
  // One flag per value id (and one spare): "u8" activations with 65535 steps.
  uint8_t* wide;
  // The calibration output file (own copy); null outside calibration mode.
  char* ranges_path;
  // Weights handled at creation, sorted and merged; operands inside them are
  // never copied or rounded at run time.
  QuantWeightRange* weights;
  uint64_t weight_count;
  // Operand copies, sized at creation for the largest operand a product of
  // this engine can take.
  float* scratch_a;
  uint64_t capacity_a;
  float* scratch_b;
  uint64_t capacity_b;
  // Products whose operand did not fit its scratch and that therefore ran
  // unrounded (zero with the kernels as built; tests check it).
  uint64_t operand_misses;
  CpuI8State i8;
};

// Builds the engine's state from a configuration: null in *out when the
// configuration asks for nothing. Returns 0, or a status (3 a refused ranges
// file, 7 out of memory) with a NUL-terminated reason in message.
uint32_t cpu_quant_build(CpuState& state, const CpuQuantConfig& config, CpuQuantState** out,
                         char* message, size_t capacity);

void cpu_quant_state_free(CpuQuantState* q);

// True when p lies inside a weight handled at creation.
bool cpu_quant_is_weight(const CpuQuantState& q, const void* p);

}  // namespace vorn
