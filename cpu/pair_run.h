// Two threads over a run of small layers that stay on the calling thread.
//
// A model of many layers of a few microseconds on small planes keeps every
// layer on the calling thread (kernels/split_gate.h): split layer by layer,
// each thread would read most of its input from the other core's cache, which
// costs about what the split saves. Here two threads instead keep their own
// part of the data through a run of layers:
// - in row bands, each thread computes the rows of its half of a section's
//   last output and every row of the layers before that those rows need
//   (the windows' overlap computed twice), on band-sized copies of the
//   layers, so it reads only what it wrote itself; the section ends with each
//   half written to the full output, then one barrier;
// - by channels (layers whose planes are too small for bands), each thread
//   computes half of every layer's output channels; a depthwise layer, pool
//   or Add reads only the channels its own thread wrote, and a full
//   convolution, which reads every channel, waits at a barrier first.
// Every output value is computed by the same kernel from the same inputs in
// the same order as on one thread (a band or a channel slice changes how
// much a kernel computes, never how one value is summed): the bits are those
// of the one-thread pass.
//
// Decided once when the engine is created: only with two or more threads in
// the pool, for a pass that spreads nothing over the pool and whose run of
// eligible layers carries at least kPairMinWork of estimated work.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"

namespace vorn {

// Estimated work (picoseconds, as kernels/split_gate.h counts it) from which
// a run of layers is worth two threads: below it the two dispatch ends and
// the barriers cost more than the halves save.
inline constexpr uint64_t kPairMinWork = uint64_t{20} * 1000 * 1000;

// Plans the two-thread run of the state's nodes, if any qualifies, and stores
// it in state.pair (null when none does or an allocation fails: the pass
// then runs every node on the calling thread as before). The state's plans
// must be made.
void cpu_pair_plan(CpuState& state);

// The first node of the planned run, or the node count when there is none.
uint64_t cpu_pair_first(const CpuState& state);

// Runs the planned run (state.pair must be set): the calling thread runs
// one lane and a worker the other. When the worker has not begun a part of
// its lane by the time the caller reaches it, the caller runs that part and
// stops there. Answers the node the pass goes on with (the node after the
// run, or the first the run left to the caller), 0 when a kernel failed.
uint64_t cpu_pair_execute(CpuState& state);

void cpu_pair_free(CpuState& state);

}  // namespace vorn
