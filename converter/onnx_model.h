// Reading the outer ONNX messages: the ModelProto fields the converter keeps
// (ir_version, opset imports, producer texts and metadata_props, the graph)
// and the header fields of a NodeProto.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

struct OnnxModelInfo {
  uint64_t graph_start;
  uint64_t graph_end;
};

// Reads the ModelProto [0, size) into the state (ir_version, opsets,
// metadata entries). Returns null on success, else the failure message.
const char* onnx_read_model(BuilderState& s, const uint8_t* bytes, uint64_t size,
                            OnnxModelInfo* info);

struct OnnxNodeHeader {
  uint64_t name_offset, name_length;
  uint64_t op_offset, op_length;
  uint64_t domain_offset, domain_length;
};

// Name, op_type and domain spans of the NodeProto [start, end); the scan
// stops quietly at anything malformed, keeping the spans found.
void onnx_node_header(const uint8_t* bytes, uint64_t start, uint64_t end, OnnxNodeHeader* out);

}  // namespace vorn
