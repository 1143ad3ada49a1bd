// What the fusion passes know of each value while they rewrite the node
// list: how many slots read and write it and where, and the tests built on
// that. The counts and positions live in the planner's tables, which arena
// planning fills afresh after fusion.
#pragma once

#include <cstdint>

#include "kernels/arena_planner.h"
#include "kernels/cpu_state.h"

namespace vorn {

// By value id: consumer_count / writer_count = input / output slots naming
// it; producer = the first node reading it, last_use = the last node
// reading it, first_write = the first node writing it (-1 for none).
void index_uses(const CpuState& s, ArenaPlanner& p);

// An activation written by exactly one node and read by exactly one input
// slot: the value between two nodes that fusion can make disappear.
bool fusion_intermediate(const CpuState& s, const ArenaPlanner& p, uint64_t id);

// The node after k that is the only reader of node k's output 0, or -1. The
// fused node takes k's place, so it writes the reader's output earlier than
// the reader did: that output must have no other writer and must not be
// read before the reader (nor by the reader itself or node k).
int64_t sole_reader_after(const CpuState& s, const ArenaPlanner& p, uint64_t k);

bool same_count(const CpuState& s, uint64_t a, uint64_t b);

// A weight of `count` f32 values with its data loaded.
bool f32_weight(const CpuState& s, uint64_t id, uint64_t count);

// Drops the nodes whose code was cleared; true when any was.
bool compact_nodes(CpuState& s);

}  // namespace vorn
