// Operator fusion at engine creation: BatchNormalization folded into the
// Conv in front of it, x * HardSigmoid(x) turned into HardSwish and
// x * Sigmoid(x) into a Sigmoid in SiLU mode, Relu, LeakyRelu, Clip and
// HardSwish turned into Conv epilogues, a multiplication by a scalar weight
// merged into the addition after it, a Relu merged into the addition in
// front of it, nested channel Concats spliced into one, and, on one
// thread, a large 1x1 expansion marked to run with the grouped Conv it
// feeds and a Conv with a large output marked to run with the MaxPool it
// feeds. Every rewrite does the float operations of the nodes it
// replaces in the same order, so results do not change by a bit. Only the
// engine's copies of the records and its own fused-weights block change,
// never the weight storage.
#pragma once

#include "kernels/arena_planner.h"
#include "kernels/cpu_state.h"

namespace vorn {

// Rewrites and compacts state.nodes. Never fails: a pattern whose
// conditions do not all hold is left alone, and a failed allocation of the
// fused-weights block only skips the folding.
void cpu_fuse(CpuState& state, ArenaPlanner& planner);

}  // namespace vorn
