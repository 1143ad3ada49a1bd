// A pointwise expansion and the depthwise layer it alone feeds, run
// together in bands of the depthwise layer's output rows: each band's
// input rows are expanded into the workspace and read back from there at
// once, while they are still in the second-level cache, instead of the
// whole expanded tensor being written to the arena and read back after it
// has left. The expansion's values are the same sums as its own node's
// (the convolution product's, panel by panel) and the depthwise layer
// sums each output as its own node does, so the bits are those of the two
// nodes run one after the other.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"
#include "kernels/node_plan.h"
#include "kernels/ops/conv.h"

namespace vorn {

namespace kern {

// Expanded tensors below this many bytes stay in the second-level cache
// between the two nodes: they run apart.
constexpr int64_t kExpandFuseBytes = int64_t{1} << 20;

// Whether the plans of an expansion and the depthwise layer behind it
// (its output their input) run together: the expansion multiplies panels
// of at most kExpandDepthMost input channels with no residual, the
// depthwise layer runs its direct kernel with no residual, both on the
// calling thread, and the expanded tensor is at least kExpandFuseBytes.
constexpr int64_t kExpandDepthMost = 32;
bool expand_depthwise_applies(const ConvPlan& e, const ConvPlan& d);

// Output rows of the depthwise layer per band for a workspace of
// ws_floats values (0: it cannot hold one band), and the workspace floats
// bands of that many rows take.
int64_t expand_depthwise_band_rows(const ConvPlan& e, const ConvPlan& d, int64_t ws_floats);
int64_t expand_depthwise_floats(const ConvPlan& e, const ConvPlan& d, int64_t band_rows);

// One image: the expansion's input xn to the depthwise layer's output yn
// in bands of band_rows output rows, through the workspace ws. ew and eb
// (null: no bias) are the expansion's weights and bias, dw and db the
// depthwise layer's.
void run_expand_depthwise(const ConvPlan& e, const ConvPlan& d, int64_t band_rows, const float* xn, const float* ew,
                          const float* eb, const float* dw, const float* db, float* ws, float* yn);

}  // namespace kern

// Whether an expansion marked to run with the depthwise Conv right behind
// it (plans pe, pd) does: their plans allow it, the engine's workspace
// holds a band and the depthwise output does not share the expansion
// input's memory.
bool conv_expand_depthwise_runs(const CpuState& s, const NodeRecord& e, const NodePlan& pe, const NodeRecord& d,
                                const NodePlan& pd);

// Runs both nodes of such a pair in bands.
bool conv_expand_depthwise_kernel(CpuState& s, const NodeRecord& e, const NodePlan& pe, const NodeRecord& d,
                                  const NodePlan& pd);

}  // namespace vorn
