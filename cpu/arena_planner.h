// The activation arena: one 64-byte aligned block in which every value that
// is not a weight has a fixed place for the life of the engine. Values whose
// lifetimes do not overlap share space (best fit over a list of blocks), and
// the inputs of a channel Concat are laid out back to back inside its output
// so the Concat moves no data. Also sizes the im2col workspace.
#pragma once
#include <cstdint>

#include "cpu/cpu_state.h"

namespace vorn {

constexpr uint64_t kPlannerMaxBlocks = 1024;

// Planning tables for one creation; fixed arrays so planning allocates once.
struct ArenaPlanner {
  int32_t last_use[kCpuMaxValues];        // last node index reading or writing; -1 none
  int32_t consumer_count[kCpuMaxValues];  // input slots naming the value (fusion)
  int32_t producer[kCpuMaxValues];        // node writing it as its only output; -1 none
  int32_t first_write[kCpuMaxValues];     // first node writing it in any slot; -1 none
  int32_t writer_count[kCpuMaxValues];    // output slots naming the value (fusion)
  uint64_t offset[kCpuMaxValues];
  uint8_t placed[kCpuMaxValues];
  uint64_t block_offset[kPlannerMaxBlocks];
  uint64_t block_size[kPlannerMaxBlocks];  // fixed once the block is made
  int32_t block_last_use[kPlannerMaxBlocks];
  uint64_t block_count;
};

// A zeroed planner, or null when it cannot be allocated.
ArenaPlanner* arena_planner_new();
void arena_planner_free(ArenaPlanner* planner);

// Byte size raised to the next multiple of 64.
inline uint64_t arena_padded(uint64_t bytes) { return (bytes + 63) & ~uint64_t{63}; }

// Plans every non-weight value of the (fused) node list; returns the arena
// size in bytes (at least 64: the first 64 bytes are the shared zero area of
// empty values).
uint64_t arena_plan(ArenaPlanner& planner, const CpuState& state);

// Allocates the arena of the planned size, zeroes its first 64 bytes and
// points every non-weight value at its place. False when the allocation
// fails (nothing changed).
bool arena_bind(CpuState& state, const ArenaPlanner& planner, uint64_t size);

// The im2col workspace the convolution kernels share, in bytes (at least
// 64); UINT64_MAX when the graph asks for more than can be addressed.
uint64_t im2col_workspace_size(const CpuState& state);

// Rows of output a Conv lowers at once so that one im2col chunk stays below
// 4194304 f32 values (unless a single row is larger); the kernel and the
// workspace sizing agree through this function.
uint64_t conv_im2col_rows(uint64_t k, uint64_t out_h, uint64_t out_w);

}  // namespace vorn
