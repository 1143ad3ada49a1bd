// Copies a tensor of up to six axes into the order given by a permutation:
// output axis k is input axis perm[k]. Transpose, DepthToSpace and
// SpaceToDepth are all this copy on a suitable view of their data.
#pragma once
#include <cstdint>

namespace vorn {

// dims are the input's row-major dims; perm must be a permutation of
// [0, rank). x and y must not overlap. With vector_blocks (an engine of an
// AVX2 form or wider) transposing tiles move 8 x 8 blocks in registers.
void permute_copy(const float* x, const uint64_t* dims, uint64_t rank, const uint64_t* perm,
                  float* y, bool vector_blocks = false);

}  // namespace vorn
