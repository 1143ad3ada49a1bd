// Evaluating shape and index arithmetic at convert time: a node whose
// inputs are constants (and at least one of them I64 or itself computed at
// convert time) is computed once, its result stored as constant data of its
// output, and the node turned into a self-identity that the lowering pass
// removes.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

// Results of fold_node.
enum : int32_t { kFoldFailed = -1, kFoldSkipped = 0, kFoldDone = 1 };

// 1 when the node was folded, 0 when it is not foldable (nothing changed),
// -1 when its constants contradict the operation (incompatible shapes, an
// axis or index out of range, a zero step, a size mismatch) or the result
// cannot be allocated.
int32_t fold_node(BuilderState& s, uint64_t node);

}  // namespace vorn
