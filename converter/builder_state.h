// The converter's working record: one fixed-capacity block per conversion
// holding the value, node and metadata tables and the words the stages hand
// to each other. Nothing in it grows; every append checks its table.
#pragma once
#include <cstdint>
#include <cstring>

#include "container/attr_words.h"
#include "converter/convert_options.h"

namespace vorn {

constexpr uint64_t kMaxValues = 32768;
constexpr uint64_t kMaxNodes = 16384;
constexpr uint64_t kMaxMetaEntries = 256;
constexpr uint64_t kMaxOpsetImports = 8;
constexpr uint64_t kMaxInt64Inputs = 16;
constexpr uint64_t kNamePoolSize = 262144;
constexpr uint64_t kBuilderRank = 6;
// Returned by the appending lookups when the value table is full.
constexpr uint64_t kNoValue = ~uint64_t{0};
// Unused input and output slots of a node.
constexpr uint64_t kNoIndex = ~uint64_t{0};

// One graph value. Names are borrowed: they point into the ONNX bytes, into
// the state's name pool or at constant texts, which all outlive the state.
struct BuilderValue {
  const uint8_t* name;
  uint64_t name_len;
  uint64_t kind;  // ValueKind, 3 by default
  uint64_t elem;  // ElementKind: 2 F32 by default, 3 I64
  uint64_t rank;
  uint64_t dims[kBuilderRank];
  // Constant data, null when none. It may point straight into the ONNX or
  // external-data bytes, so it is not aligned: read it with memcpy.
  const uint8_t* data;
  uint64_t size;        // data bytes
  uint64_t owned;       // low byte 1: data is a malloc block of this value
  uint64_t tensor_index;  // kNoIndex unless a weight (set by the writer)
  uint64_t weights_offset;  // writer: offset in the weights region
  uint64_t padded_size;     // writer: padded extent; lowering uses it as a scratch mark
  uint64_t pool_offset;     // writer: offset of the name in the string pool
};
static_assert(sizeof(BuilderValue) == 18 * 8);

// One node in the NodeRecord word layout: 0 op, 1 input count, 2..9 inputs,
// 10 output count, 11..14 outputs, 15..30 attribute words a0..a15.
struct BuilderNode {
  uint64_t w[31];

  uint64_t op() const { return w[0]; }
  uint64_t input_count() const { return w[1]; }
  uint64_t input(uint64_t i) const { return w[2 + i]; }
  uint64_t output_count() const { return w[10]; }
  uint64_t output(uint64_t i) const { return w[11 + i]; }
  uint64_t& attr(uint64_t k) { return w[attr::kFirstRecordWord + k]; }
  uint64_t attr(uint64_t k) const { return w[attr::kFirstRecordWord + k]; }
  int64_t attr_i64(uint64_t k) const { return static_cast<int64_t>(w[attr::kFirstRecordWord + k]); }
  float attr_f32(uint64_t k) const {
    uint32_t bits = static_cast<uint32_t>(w[attr::kFirstRecordWord + k]);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
};
static_assert(sizeof(BuilderNode) == 31 * 8);

// A string metadata entry for the container (key and value borrowed).
struct MetaEntry {
  const uint8_t* key;
  uint64_t key_len;
  const uint8_t* value;
  uint64_t value_len;
  uint64_t key_offset;    // writer
  uint64_t value_offset;  // writer
};

// Spans of the ONNX bytes (protobuf messages stay below 2 GiB). Attributes
// that no node word keeps are read back from the NodeProto through it: by
// position, since ONNX node names are optional.
struct NodeOrigin {
  uint32_t name_offset;
  uint32_t name_length;
  uint32_t proto_start;
  uint32_t proto_end;
};

struct OpsetTable {
  uint64_t count;
  uint64_t domain_offset[kMaxOpsetImports];
  uint64_t domain_length[kMaxOpsetImports];
  uint64_t version[kMaxOpsetImports];
};

// Slots of the name-lookup index: open addressing over twice the value
// capacity keeps probe chains short even with a full table.
constexpr uint64_t kNameIndexSlots = 2 * kMaxValues;

struct BuilderState {
  BuilderValue values[kMaxValues];
  uint64_t value_count;
  BuilderNode nodes[kMaxNodes];
  uint64_t node_count;
  MetaEntry meta[kMaxMetaEntries];
  uint64_t meta_count;

  const uint8_t* external_data;
  uint64_t external_size;

  // Name-matched rewrites of node import.
  uint64_t rewrite_state;
  uint64_t sam_embedding;
  uint64_t sam_saved[2];
  uint64_t sam_image;
  uint8_t import_stopped;

  // Written by the lowering pass.
  uint64_t failing_node;
  uint64_t lowering_error;

  uint64_t import_reason;  // NodeImportReason of the node being imported
  char import_detail[256];  // NUL-terminated detail of reasons 5 and 6
  // Why the last tensor read failed (0 malformed); see onnx_tensor.h.
  uint64_t tensor_error;
  uint64_t tensor_error_type;
  uint64_t tensor_error_name_offset;  // into the ONNX bytes
  uint64_t tensor_error_name_length;
  // The model file's base name: external data must be "<it>.data".
  const uint8_t* model_name;
  uint64_t model_name_len;

  ConvertOptions* options;  // &options_copy in options mode; null in legacy mode
  ConvertOptions options_copy;
  const uint8_t* onnx;
  uint8_t owns_onnx;  // builder_free releases the ONNX bytes
  uint64_t onnx_size;
  uint64_t default_opset;  // opset of the default domain, set once the model is read

  // Where each node came from: its NodeProto and the name inside it. Nodes
  // that one NodeProto became share it; appended nodes have none (all 0).
  NodeOrigin origin[kMaxNodes];

  uint64_t ir_version;
  OpsetTable opsets;
  char opset_text[24];
  char ir_version_text[24];

  uint64_t int64_inputs[kMaxInt64Inputs];
  uint64_t int64_input_count;

  uint8_t name_pool[kNamePoolSize];
  uint64_t name_pool_used;
  // One more than the last value of the model's own that a derived name
  // fell on (0 none): the converter needed that name for a value of its own.
  uint64_t derived_name_taken;

  uint8_t convert_time[kMaxValues];  // 1: constant data produced at convert time

  // Name -> first value index + 1 (0 empty).
  uint32_t name_index[kNameIndexSlots];
};

// A zeroed state; null when it cannot be allocated.
BuilderState* builder_new();
// Frees owned value data, the external-data bytes and the block. Null is fine.
void builder_free(BuilderState* state);

// The first value named exactly (name, len), or kNoValue.
uint64_t builder_find_value(const BuilderState& s, const uint8_t* name, uint64_t len);
// Appends a value with the defaults and this name; kNoValue when the table
// is full. Every append goes through here so the name index stays complete.
uint64_t builder_append_value(BuilderState& s, const uint8_t* name, uint64_t len);
// The first value of that name, appended when absent; kNoValue when full.
uint64_t builder_intern_value(BuilderState& s, const uint8_t* name, uint64_t len);
// Appends a node (zeroed, unused slots kNoIndex, default attribute words);
// null when the table is full.
BuilderNode* builder_append_node(BuilderState& s);
// Sets the default attribute words of an imported node.
void builder_default_attrs(BuilderNode& n);
// Appends a string metadata entry; dropped silently past the table.
void builder_add_meta(BuilderState& s, const uint8_t* key, uint64_t key_len, const uint8_t* value,
                      uint64_t value_len);

// Version of the first opset import of that domain; the default domain is
// the empty one or "ai.onnx". 0 when none.
uint64_t builder_opset_for_domain(const BuilderState& s, const uint8_t* domain, uint64_t len);
// First element of the value named (name, len) as f32 (I64 converted).
bool builder_const_scalar_f32(const BuilderState& s, const uint8_t* name, uint64_t len, float* out);

// Releases a value's owned data and clears its data words.
void builder_drop_data(BuilderValue& v);

inline float f32_from_bits(uint64_t w) {
  uint32_t b = static_cast<uint32_t>(w);
  float f;
  std::memcpy(&f, &b, 4);
  return f;
}
inline uint64_t f32_bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}
inline bool bytes_equal(const uint8_t* a, uint64_t alen, const uint8_t* b, uint64_t blen) {
  return alen == blen && (alen == 0 || std::memcmp(a, b, alen) == 0);
}
inline bool text_equal(const uint8_t* a, uint64_t alen, const char* text) {
  return bytes_equal(a, alen, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

}  // namespace vorn
