// The lowering pass: turns the imported graph into the graph the engines
// run. One walk over the nodes infers every output's shape and element
// kind, evaluates shape arithmetic at convert time, rewrites nodes into
// their runtime forms and stops at the first node it cannot lower.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "converter/builder_state.h"

namespace vorn {

// LoweringError codes; the message of each is built by lowering_message.
enum : uint64_t {
  kLowerNoCode = 0,         // an allocation failed
  kLowerGatherIndices = 1,  // constant indices the engines cannot take
  kLowerPad = 2,
  kLowerWhere = 3,
  kLowerRank4 = 4,
  kLowerScatterIndices = 6,
  kLowerFoldFailed = 7,
  kLowerConvertTimeOnly = 8,
  kLowerPow = 9,
  // A node whose ONNX meaning the engines would not reproduce; the reason
  // is in BuilderState::import_detail.
  kLowerRefused = 10,
};

// True when every node was lowered; false with the failing node index and
// the code in the state. The caller sets lowering_error to 0 first.
bool lower_graph(BuilderState& s);

// The failure message of a stopped pass.
ByteString lowering_message(const BuilderState& s);

}  // namespace vorn
