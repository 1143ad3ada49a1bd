// CpuState: the CPU engine of an open session, one zeroed heap block built by
// engine creation and read by the executor and every kernel.
#pragma once
#include <cstdint>

#include "container/records.h"
#include "kernels/kernel_isa.h"

namespace vorn {

constexpr uint64_t kCpuMaxValues = 32768;
constexpr uint64_t kCpuMaxNodes = 16384;
constexpr uint64_t kCpuMaxOutputs = 64;

struct CpuQuantState;
struct CpuPairRun;
struct NodePlan;

struct CpuState {
  uint64_t compiled_batch;
  uint64_t value_count;
  ValueRecord values[kCpuMaxValues];
  void* data[kCpuMaxValues];
  uint64_t node_count;
  NodeRecord nodes[kCpuMaxNodes];
  uint64_t first_input;
  uint64_t first_output;
  uint64_t output_count;
  uint64_t outputs[kCpuMaxOutputs];
  void* arena;
  uint64_t arena_size;
  float* im2col;
  uint64_t im2col_size;
  void* fused_weights;
  // Bias and slope arrays of the Conv nodes that took in the PRelu behind
  // them (fusion), one 64-byte aligned block; null when none did.
  void* fused_slopes;
  // One plan per node, made by the node's prepare step (kernels/node_plan.h).
  NodePlan* plans;
  uint32_t* cancel_flag;
  // A pass holds the pool's workers awake between its layers
  // (kernels/split_gate.h), decided once the plans are made.
  uint32_t hold_pool;
  // The run of small layers a pass hands to two threads (cpu/pair_run.h);
  // null when none.
  CpuPairRun* pair;
  // Simulated-quantisation settings and scratch of this engine (null when
  // none is active).
  CpuQuantState* quant;

  // Switches read from the environment once, when the engine is created:
  // another thread may call setenv while a pass runs.
  uint32_t fusion_off;   // VORN_CPU_NOFUSE or VORN_CPU_QCAL_OUT present
  uint32_t profile_on;   // VORN_CPU_PROFILE present (empty counts)
  uint32_t quantise_products;  // VORN_CPU_QA: products round their operands
  uint64_t dump_length;  // bytes of dump_dir; 0 means no dump
  char dump_dir[4096];   // VORN_CPU_DUMP, NUL-terminated
  // Length of the weight storage the weight data pointers lie in.
  uint64_t weights_size;
  // The instruction-set form of the kernels (kernels/kernel_isa.h), chosen
  // when the engine is created; a zeroed state runs the portable forms.
  KernelIsa isa;
};

}  // namespace vorn
