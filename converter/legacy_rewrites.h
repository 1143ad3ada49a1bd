// Rewrites of the legacy mode (conversions without ConvertOptions) that
// recognise particular exported models by their node names and replace
// subgraphs the engines cannot run. Each sets its ConvertRewrite bit.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

enum class LegacyStep {
  kContinue,           // import the node normally
  kAccepted,           // the node was consumed by a rewrite (dropped or replaced)
  kScatterAsIdentity,  // import a ScatterND/ScatterElements as Identity
};

// Runs before the node's operator is mapped; may consume the node.
LegacyStep legacy_rewrite_before(BuilderState& s, const uint8_t* bytes, const uint8_t* name, uint64_t name_len,
                                 const uint8_t* op, uint64_t op_len, uint64_t* inputs, uint64_t input_count,
                                 uint64_t* outputs, uint64_t output_count);
// Runs on the finished node before it is appended; false when the rewrite
// consumed it.
bool legacy_rewrite_node(BuilderState& s, BuilderNode& node, const uint8_t* name, uint64_t name_len);

}  // namespace vorn
