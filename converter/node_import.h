// Importing one ONNX NodeProto as a BuilderNode: op_type to operator code,
// attributes to the sixteen attribute words, names to value indices, and the
// rewrites that recognise nodes by their names.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

// NodeImportReason, left in BuilderState::import_reason on failure.
enum : uint64_t {
  kImportMalformed = 1,
  kImportConstantWithoutValue = 2,
  kImportNoLowering = 3,
  kImportEinsum = 4,
  kImportUnsupportedAttribute = 5,  // detail in import_detail
  kImportBadTensor = 6,             // detail in import_detail
  kImportTableFull = 7,
};

// Attribute words the importer sets beyond the common table, read by the
// lowering pass and the engines:
//   Mod: a13 = fmod (1 C fmod, 0 floor-mod, the ONNX default).
//   TopK: a12 = 1 when largest = 0 (the K smallest).
//   Softmax: a11 defaults to -1 from opset 13 and to 1 before; a13 = 1 marks
//     the pre-13 meaning (softmax over all dims from the axis on, flattened).
//   Split, ArgMax: a11 defaults to 0; LayerNormalization: a11 defaults to -1.
//   Pool nodes: ceil_mode = 1 is refused in options mode.

// True when the node was imported, replaced, dropped by a rewrite or skipped
// after the import stopped; false with the reason in the state.
bool onnx_import_node(BuilderState& s, const uint8_t* bytes, uint64_t start, uint64_t end);

// The report text of a failed node's reason (uses import_detail).
const char* node_import_reason_text(const BuilderState& s);

// The operator code of a default-domain op_type, or 0.
uint64_t onnx_op_code(const uint8_t* op_type, uint64_t len);

}  // namespace vorn
