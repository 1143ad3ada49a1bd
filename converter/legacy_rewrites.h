// Rewrites of the legacy mode (conversions without ConvertOptions) that
// recognise particular exported models by their node names and replace
// subgraphs the engines cannot run. Each sets its ConvertRewrite bit.
#pragma once
#include <cstdint>
#include <string>

#include "converter/builder_state.h"

namespace vorn {

enum class LegacyStep {
  kContinue,           // import the node normally
  kAccepted,           // the node was consumed by a rewrite (dropped or replaced)
  kScatterAsIdentity,  // import a ScatterND/ScatterElements as Identity
  kRefused,            // the pattern matched only in part; import_detail says why
};

// Runs before the node's operator is mapped; may consume the node.
LegacyStep legacy_rewrite_before(BuilderState& s, const uint8_t* bytes, const uint8_t* name, uint64_t name_len,
                                 const uint8_t* op, uint64_t op_len, uint64_t* inputs, uint64_t input_count,
                                 uint64_t* outputs, uint64_t output_count);
// Runs on the finished node before it is appended; false when the rewrite
// consumed it.
bool legacy_rewrite_node(BuilderState& s, BuilderNode& node, const uint8_t* name, uint64_t name_len);

// After the last node: a rewrite still waiting for its closing node has
// dropped every node since its entry without putting anything in their
// place. Returns why the model is refused, or an empty text when no
// rewrite is pending.
std::string legacy_rewrite_unfinished(const BuilderState& s);

// Lowering of the operators only these rewrites produce (DeformUnfold,
// DetrTopK, MaskToBoxLogit): output shapes, kernel words and the constant
// inputs the engines expect. False when the node does not have the shapes
// of the pattern (the pass then stops with the reason).
struct Lower;
bool lower_deform_unfold(Lower& L, BuilderNode& n);
bool lower_detr_topk(Lower& L, BuilderNode& n);
bool lower_mask_to_box_logit(Lower& L, BuilderNode& n);
// SAM's relative-position tables ([27, 64] or [127, 64] weights gathered by
// an index grid) precomputed as [1, s, 64, s] weights; false when the Gather
// is not one (legacy mode only).
bool lower_relative_position_table(Lower& L, BuilderNode& n);

}  // namespace vorn
