// The one-axis frame of the reduction and selection operators: a tensor seen
// as [outer, D, inner], element (o, d, p) at (o * D + d) * inner + p, and each
// reduction writing position (o, p) at o * inner + p.
#pragma once
#include <algorithm>
#include <cstdint>

#include "container/records.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

struct AxisFrame {
  uint64_t outer;
  uint64_t d;
  uint64_t inner;
};

// The frame of `v` around an axis already normalised for its rank.
inline AxisFrame axis_frame(const ValueRecord& v, uint64_t axis) {
  return AxisFrame{dims_product(v, 0, axis), v.rank() == 0 ? 1 : v.dim(axis),
                   dims_product(v, axis + 1, v.rank())};
}

// Calls segment(o, p_begin, p_end) over all (o, p) positions, split across the
// pool when outer * inner * D is large. Segments never cross an outer index,
// so a kernel walks d outside and p inside, contiguous in memory.
template <class F>
void for_axis_segments(const AxisFrame& f, uint64_t threshold, F&& segment) {
  const uint64_t positions = f.outer * f.inner;
  if (positions == 0) return;
  for_chunks(positions, threshold, [&](uint64_t begin, uint64_t end) {
    uint64_t pos = begin;
    while (pos < end) {
      uint64_t o = pos / f.inner, p = pos % f.inner;
      uint64_t stop = std::min(end - pos, f.inner - p);
      segment(o, p, p + stop);
      pos += stop;
    }
  }, f.d == 0 ? 1 : f.d);
}

}  // namespace vorn
