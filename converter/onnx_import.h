// The reading half of a conversion: the ONNX file (and "<path>.data") into a
// BuilderState with its inputs bound and every node imported, ready for the
// lowering pass. Failures are one message each.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "converter/builder_state.h"
#include "converter/convert_options.h"

namespace vorn {

struct ImportOutcome {
  BuilderState* state;  // null on failure; released with builder_free
  ByteString error;     // the message on failure
  uint64_t graph_start, graph_end;
};

// Steps up to the graph outputs: reads the model, checks the opset (11 to
// 20), reads the initializers, binds the inputs (options mode) and imports
// the graph inputs and outputs. Takes ownership of onnx (malloc'd) and of
// external (malloc'd or null). model_name is the ONNX file's base name,
// against which external-data locations are checked (may be empty).
ImportOutcome onnx_import_begin(uint8_t* onnx, uint64_t size, uint8_t* external, uint64_t external_size,
                                Slice model_name, uint64_t option_word, const ConvertOptions* options);
// Imports the NodeProtos in file order, skipping those after last_kept
// (UINT64_MAX keeps all). On failure returns the message (the unsupported
// node report, a limits or corruption message); empty on success.
ByteString onnx_import_nodes(BuilderState& s, uint64_t graph_start, uint64_t graph_end, uint64_t last_kept);

// Reads onnx_path and "<onnx_path>.data" (when it exists) and runs
// onnx_import_begin and onnx_import_nodes.
ImportOutcome onnx_import_file(Slice onnx_path, uint64_t option_word, const ConvertOptions* options);

// Decimal digits of value, no terminator; returns their count (1 for 0).
uint64_t u64_to_decimal(uint64_t value, uint8_t* out);

}  // namespace vorn
