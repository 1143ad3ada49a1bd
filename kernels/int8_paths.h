// Hooks for running Conv weights as packed int8 with integer dot-product
// instructions. The engines built here treat the CPU as lacking those
// instructions: the capability answers no, nothing is ever packed, and every
// hook declines, so products and convolutions always run in f32. The hooks
// keep their contracts so that callers are written against them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "container/records.h"

namespace vorn {

struct CpuState;

// One packed weight: the key is the weight's data address.
struct CpuI8Entry {
  const float* weight;
  int8_t* packed;
  float* row_scales;
  uint64_t rows, cols;
  float scale;  // calib.amax of the Conv's input / 127, or 0
};

constexpr uint64_t kCpuI8MaxEntries = 4096;

// An engine's int8 packing state: the table of packed weights, the switches
// read when packing, statistics and a scratch buffer.
struct CpuI8State {
  CpuI8Entry* entries;
  uint64_t count;
  bool ready;  // at least one entry
  bool stats;  // VORN_CPU_I8_STATS present
  bool fused;  // VORN_CPU_I8_FUSED present
  uint64_t calls;
  double seconds;
  int8_t* scratch;
  uint64_t scratch_capacity;
};

// Whether the CPU has the int8 dot-product instructions (no, here).
bool cpu_i8_supported();
// What engine creation asks for precision.cpu "int8" and "int8:static".
bool cpu_i8_capable();

// True when the engine holds at least one packed weight.
bool cpu_i8_ready(const CpuState& state);

// Packs the weights of the engine's Conv nodes when the CPU is capable;
// otherwise clears the table and returns. calib_amax holds `calib.amax`
// by value id (empty when the model has none).
void cpu_i8_prepack(CpuState& state, bool int8_requested, std::span<const float> calib_amax);

// Offers a row-major product; 1 when it was computed here, 0 when the
// caller must compute it. Only untransposed products with alpha 1 and beta 0
// whose A is a packed weight of matching shape are taken.
int cpu_i8_gemm(CpuState& state, bool trans_a, bool trans_b, int64_t m, int64_t n, int64_t k,
                float alpha, const float* a, int64_t lda, const float* b, int64_t ldb, float beta,
                float* c, int64_t ldc);

// Offers one image of a Conv node; 1 when computed here. Needs the ready
// flag and VORN_CPU_I8_FUSED (1 x 1 kernels also VORN_CPU_I8_FUSED1X1).
int cpu_i8_conv_fused(CpuState& state, const NodeRecord& node, const float* input,
                      const float* weight, float* output, const ValueRecord& input_value,
                      const ValueRecord& output_value);

// Offers a Sigmoid; 1 when computed here (never: the Sigmoid kernel runs).
int cpu_sigmoid_override(const float* input, float* output, uint64_t count);

// Makes the engine's int8 scratch hold at least `bytes`: 1 when it already
// did or a new block was allocated; 0 (capacity 0, no block) otherwise.
int i8_scratch_reserve(CpuI8State& i8, uint64_t bytes);

// Writes the statistics line ("i8stats calls=... gemm_ms=... pack_ms=...
// kernel_ms=...\n") into buffer; returns its length (as snprintf).
int cpu_i8_stats_line(char* buffer, size_t capacity, uint64_t calls, double gemm_ms,
                      double pack_ms, double kernel_ms);

// Releases the table and scratch.
void cpu_i8_release(CpuI8State& i8);

}  // namespace vorn
