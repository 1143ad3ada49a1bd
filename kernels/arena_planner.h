// The activation arena: one 64-byte aligned block in which every value that
// is not a weight has a fixed place for the life of the engine. Values whose
// lifetimes do not overlap share space (best fit over a list of blocks), and
// the inputs of a channel Concat are laid out back to back inside its output
// so the Concat moves no data, through Concats of Concats too (a Concat
// split into a tree of smaller ones, each layer of a densely connected
// block concatenating every earlier layer's output), and a Flatten's output
// may sit on its input's bytes (flatten_views). Also sizes the im2col
// workspace.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"

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
  // Groups of values laid out in one region by channel Concats: each
  // value's offset from its group's root (set by the group's last find),
  // the next member of the group (a ring), and whether the value is a
  // Concat output that only views its inputs' bytes.
  int32_t group_parent[kCpuMaxValues];
  int64_t group_delta[kCpuMaxValues];
  int32_t group_next[kCpuMaxValues];
  uint8_t group_view[kCpuMaxValues];
  // Set by the caller before planning: a Flatten whose input and output
  // are plain activations written once puts its output on its input's
  // bytes (the same floats in the same order), so it moves no data; the
  // input's place is then kept until the output's last reader. Off for an
  // engine whose hooks rewrite each node's outputs in place.
  uint8_t flatten_views;
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

}  // namespace vorn
