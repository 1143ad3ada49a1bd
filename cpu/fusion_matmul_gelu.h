// Two fusions made at engine creation, each giving the bits of the nodes it
// replaces: a MatMul whose product feeds only an Add of a constant row of N
// floats takes that row as a bias added to each finished value (the
// product rounds first, then one rounded addition, as the Add did), and
// the five nodes of an exported exact GELU, Div(x, c) -> Erf -> Add(1) ->
// Mul(x) -> Mul(0.5), become one Erf pass in chain mode that does the five
// steps per element in the graph's order.
#pragma once

#include "kernels/arena_planner.h"
#include "kernels/cpu_state.h"

namespace vorn {

// Each rewrites and compacts state.nodes, leaving what does not match.
// Uses the planner's use tables as scratch; they are filled afresh later.
void fuse_matmul_biases(CpuState& state, ArenaPlanner& planner);
void fuse_gelu_chains(CpuState& state, ArenaPlanner& planner);

}  // namespace vorn
