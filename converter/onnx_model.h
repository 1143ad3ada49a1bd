// Reading the outer ONNX messages: the ModelProto fields the converter keeps
// (ir_version, opset imports, producer texts and metadata_props, the graph)
// and the header fields of a NodeProto.
#pragma once
#include <cstdint>
#include <string>

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
  uint64_t output_offset, output_length;  // the first output
};

// Name, op_type, domain and first output spans of the NodeProto [start,
// end); the scan stops quietly at anything malformed, keeping the spans found.
void onnx_node_header(const uint8_t* bytes, uint64_t start, uint64_t end, OnnxNodeHeader* out);

// How messages name node i of the state: its ONNX name, or for an unnamed
// node its first output's name (what users see in a graph viewer).
std::string node_label(const BuilderState& s, uint64_t i);

// One NodeProto of the graph as spans of the ONNX bytes, for scans that
// follow tensors from producer to consumer before nodes are imported.
struct OnnxNodeSpan {
  uint64_t op_offset, op_length;
  uint64_t name_offset, name_length;
  uint64_t input_count;  // at most 8 kept
  uint64_t input_offset[8], input_length[8];
  uint64_t output_count;  // at most 4 kept
  uint64_t output_offset[4], output_length[4];
  uint64_t center_point_box;  // the integer attribute of that name, 0 when absent
};

// Fills one span per NodeProto of the GraphProto [start, end), at most
// capacity. Returns the number of NodeProtos (which may exceed capacity),
// or -1 when the GraphProto cannot be scanned.
int64_t onnx_node_spans(const uint8_t* bytes, uint64_t start, uint64_t end, OnnxNodeSpan* spans, uint64_t capacity);

// The first span, in array order, with an output (among its first four)
// named exactly like the span (name_offset, name_length); -1 when none. An
// empty name matches the first empty output.
int64_t onnx_node_by_output(const OnnxNodeSpan* spans, uint64_t count, const uint8_t* bytes, uint64_t name_offset,
                            uint64_t name_length);

}  // namespace vorn
