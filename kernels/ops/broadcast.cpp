#include "kernels/ops/broadcast.h"

namespace vorn {

uint64_t broadcast_shapes(uint64_t rank_a, const uint64_t* dims_a, uint64_t rank_b,
                          const uint64_t* dims_b, uint64_t pa[kMaxRank], uint64_t pb[kMaxRank],
                          uint64_t po[kMaxRank]) {
  if (rank_a > kMaxRank) rank_a = kMaxRank;
  if (rank_b > kMaxRank) rank_b = kMaxRank;
  uint64_t r = rank_a > rank_b ? rank_a : rank_b;
  for (uint64_t i = 0; i < kMaxRank; ++i) pa[i] = pb[i] = po[i] = 1;
  for (uint64_t i = 0; i < rank_a; ++i) pa[r - rank_a + i] = dims_a[i];
  for (uint64_t i = 0; i < rank_b; ++i) pb[r - rank_b + i] = dims_b[i];
  for (uint64_t i = 0; i < r; ++i) po[i] = pa[i] > pb[i] ? pa[i] : pb[i];
  return r;
}

bool broadcasts_to(const uint64_t in[kMaxRank], const uint64_t out[kMaxRank]) {
  for (uint64_t i = 0; i < kMaxRank; ++i)
    if (in[i] != out[i] && in[i] != 1) return false;
  return true;
}

void broadcast_plan(BroadcastPlan* plan, const uint64_t out[kMaxRank],
                    const uint64_t in[][kMaxRank], uint64_t inputs) {
  BroadcastPlan& p = *plan;
  p = BroadcastPlan{};
  p.inputs = inputs > kBroadcastMaxInputs ? kBroadcastMaxInputs : inputs;
  p.total = 1;
  for (uint64_t a = 0; a < kMaxRank; ++a) p.total *= out[a];

  // Row-major element strides of each input, 0 on axes where it repeats.
  uint64_t stride[kBroadcastMaxInputs][kMaxRank] = {};
  for (uint64_t k = 0; k < p.inputs; ++k) {
    uint64_t s = 1;
    for (uint64_t a = kMaxRank; a-- > 0;) {
      stride[k][a] = in[k][a] == 1 ? 0 : s;
      s *= in[k][a];
    }
  }

  // Axes whose output dim is 1 join any run. The first other axis from the
  // end fixes which inputs run; the run grows backwards while that holds.
  int64_t split = 0;  // axes [0, split) are outer
  uint32_t run_class = 0;
  bool have_class = false;
  p.inner = 1;
  for (int64_t a = static_cast<int64_t>(kMaxRank) - 1; a >= 0; --a) {
    if (out[a] == 1) continue;
    uint32_t cls = 0;
    for (uint64_t k = 0; k < p.inputs; ++k)
      if (in[k][a] == out[a]) cls |= 1u << k;
    if (!have_class) {
      run_class = cls;
      have_class = true;
    } else if (cls != run_class) {
      split = a + 1;
      break;
    }
    p.inner *= out[a];
  }
  for (uint64_t k = 0; k < p.inputs; ++k) p.runs[k] = (run_class >> k) & 1u;
  // A zero-sized output has no runs; keep the division in the walk defined.
  if (p.inner == 0) p.inner = 1;

  p.outer_rank = static_cast<uint64_t>(split);
  for (uint64_t a = 0; a < p.outer_rank; ++a) {
    p.outer_dims[a] = out[a];
    for (uint64_t k = 0; k < p.inputs; ++k) p.outer_stride[k][a] = stride[k][a];
  }
}

}  // namespace vorn
