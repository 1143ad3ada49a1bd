// A convolution and the MaxPool that alone reads its output (a network's
// stem), run together in bands of the pool's output rows: each band's
// convolution rows are computed into the workspace and pooled from there
// at once, while they are still in the second-level cache, instead of the
// whole convolution output being written to the arena and read back after
// it has left. The convolution's values are its own node's (the direct
// path's sums, row by row) and the pool folds each window's taps as its
// own node does, so the bits are those of the two nodes run one after the
// other.
#pragma once
#include <cstdint>

#include "kernels/cpu_state.h"
#include "kernels/node_plan.h"
#include "kernels/ops/conv_paths.h"
#include "kernels/ops/pool.h"

namespace vorn {

namespace kern {

// Convolution outputs below this many bytes stay in the second-level
// cache between the two nodes: they run apart.
constexpr int64_t kPoolFuseBytes = int64_t{1} << 20;

// Whether the plans of a convolution and the MaxPool behind it (its output
// the pool's input) run together: the convolution takes the banded direct
// path on the calling thread with no residual, the pool has a window, and
// the convolution's output is at least kPoolFuseBytes.
bool conv_max_pool_applies(const ConvPlan& c, const PoolParams& q);

// Pool output rows per band for a workspace of
// ws_floats values (0: it cannot hold one band), and the workspace floats
// bands of that many rows take (the direct path's padded rows first, then
// the band's convolution rows).
int64_t conv_max_pool_band_rows(const ConvPlan& c, const PoolParams& q, int64_t ws_floats);
int64_t conv_max_pool_floats(const ConvPlan& c, const PoolParams& q, int64_t band_rows);

// One image: the convolution's input xn to the pool's output yn in bands
// of band_rows pool output rows, the convolution rows a band shares with
// the next kept, through the workspace ws. w and bias (null: none) are the
// convolution's.
void run_conv_max_pool(const ConvPlan& c, const PoolParams& q, KernelIsa isa, int64_t band_rows, const float* xn,
                       const float* w, const float* bias, float* ws, float* yn);

}  // namespace kern

// Whether a convolution marked to run with the MaxPool right behind it
// (plans pc, pq) does: their plans allow it, the engine's workspace holds
// a band and the pool's output does not share the convolution input's
// memory.
bool conv_max_pool_runs(const CpuState& s, const NodeRecord& c, const NodePlan& pc, const NodeRecord& q,
                        const NodePlan& pq);

// Runs both nodes of such a pair in bands.
bool conv_max_pool_kernel(CpuState& s, const NodeRecord& c, const NodePlan& pc, const NodeRecord& q,
                          const NodePlan& pq);

}  // namespace vorn
