// Broadcasting of up to three inputs to one output shape.
//
// Shapes are right-aligned into six axes (missing leading axes 1). The plan
// folds the trailing axes on which every input either runs with the output or
// stays put into one contiguous inner run, so the inner loop of a binary
// operator is a plain vectorisable loop over as many elements as the layout
// allows; the remaining axes are walked as a counter, last axis fastest.
#pragma once
#include <cstdint>

#include "container/records.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

constexpr uint64_t kBroadcastMaxInputs = 3;

// Output rank r = max(rank_a, rank_b). All three arrays are filled with 1, A's
// dims are copied right-aligned into pa (starting at r - rank_a), B's into pb,
// and each po entry is the larger of the two.
uint64_t broadcast_shapes(uint64_t rank_a, const uint64_t* dims_a, uint64_t rank_b,
                          const uint64_t* dims_b, uint64_t pa[kMaxRank], uint64_t pb[kMaxRank],
                          uint64_t po[kMaxRank]);

// True when the padded dims of `in` can be broadcast to `out`: every axis is
// equal or 1 in `in`.
bool broadcasts_to(const uint64_t in[kMaxRank], const uint64_t out[kMaxRank]);

struct BroadcastPlan {
  uint64_t inputs;
  uint64_t total;        // output elements
  uint64_t inner;        // length of the contiguous run
  uint64_t outer_rank;   // axes walked by the counter (the first ones)
  uint64_t outer_dims[kMaxRank];
  uint64_t outer_stride[kBroadcastMaxInputs][kMaxRank];
  bool runs[kBroadcastMaxInputs];  // input advances along the run, else repeats one element
};

// Builds the plan for padded input shapes that broadcast to the padded output
// shape (broadcasts_to holds for each).
void broadcast_plan(BroadcastPlan* plan, const uint64_t out[kMaxRank],
                    const uint64_t in[][kMaxRank], uint64_t inputs);

// Calls run(out_offset, in_offsets, length) for consecutive pieces of the
// output range [begin, end), each inside one inner run: element j of the
// piece is output out_offset + j and reads input k at
// in_offsets[k] + (runs[k] ? j : 0).
template <class Run>
void broadcast_walk(const BroadcastPlan& p, uint64_t begin, uint64_t end, Run&& run) {
  uint64_t j = begin % p.inner;
  uint64_t idx[kMaxRank] = {0, 0, 0, 0, 0, 0};
  uint64_t base[kBroadcastMaxInputs] = {0, 0, 0};
  uint64_t rem = begin / p.inner;
  for (uint64_t a = p.outer_rank; a-- > 0;) {
    idx[a] = rem % p.outer_dims[a];
    rem /= p.outer_dims[a];
    for (uint64_t k = 0; k < p.inputs; ++k) base[k] += idx[a] * p.outer_stride[k][a];
  }
  uint64_t pos = begin;
  while (pos < end) {
    uint64_t off[kBroadcastMaxInputs];
    for (uint64_t k = 0; k < p.inputs; ++k) off[k] = base[k] + (p.runs[k] ? j : 0);
    uint64_t len = p.inner - j;
    if (len > end - pos) len = end - pos;
    run(pos, static_cast<const uint64_t*>(off), len);
    pos += len;
    j = 0;
    // Step the counter, keeping the input offsets in step with it, so a
    // short run costs a few additions rather than a full offset sum.
    for (uint64_t a = p.outer_rank; a-- > 0;) {
      if (++idx[a] < p.outer_dims[a]) {
        for (uint64_t k = 0; k < p.inputs; ++k) base[k] += p.outer_stride[k][a];
        break;
      }
      idx[a] = 0;
      for (uint64_t k = 0; k < p.inputs; ++k) base[k] -= (p.outer_dims[a] - 1) * p.outer_stride[k][a];
    }
  }
}

// The whole output through broadcast_walk, split across the pool when it is
// large; the pieces and their results are the same either way.
template <class Run>
void broadcast_for_each(const BroadcastPlan& p, uint64_t threshold, Run&& run) {
  for_chunks(p.total, threshold,
             [&](uint64_t begin, uint64_t end) { broadcast_walk(p, begin, end, run); });
}

}  // namespace vorn
