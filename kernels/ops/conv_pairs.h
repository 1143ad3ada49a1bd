// A Conv and the node right behind it that engine creation marked to run
// together (attr::Conv::kFeedsNext): the executor asks here whether a
// marked pair runs together this pass and runs it.
#pragma once

#include "kernels/cpu_state.h"
#include "kernels/node_plan.h"

namespace vorn {

// Whether the marked Conv a (plan pa) and the node b behind it (plan pb)
// run together: the pair the mark names, where its own conditions hold.
bool conv_pair_runs(const CpuState& s, const NodeRecord& a, const NodePlan& pa, const NodeRecord& b,
                    const NodePlan& pb);

// Runs such a pair; false when it cannot (the caller asked conv_pair_runs).
bool conv_pair_kernel(CpuState& s, const NodeRecord& a, const NodePlan& pa, const NodeRecord& b, const NodePlan& pb);

}  // namespace vorn
