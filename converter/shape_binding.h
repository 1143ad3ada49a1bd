// Graph inputs and outputs: reading ValueInfoProto, the --input and --dim
// bindings, binding every dynamic input dimension to a concrete size (with a
// report of every problem at once), and registering inputs and outputs.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "base/result.h"
#include "converter/builder_state.h"
#include "converter/convert_options.h"

namespace vorn {

struct OnnxValueInfo {
  const uint8_t* name;
  uint64_t name_len;
  uint64_t elem_type;  // ONNX data type, 0 when absent
  uint8_t has_shape;
  uint64_t rank;
  uint64_t dims[kBuilderRank];  // dim_value, 0 when open
  uint64_t dim_param_offset[kBuilderRank];
  uint64_t dim_param_length[kBuilderRank];
};

using UnitResult = Result<bool, ByteString>;

struct BindOutcome {
  uint32_t status;  // 0 ok, 1 failed
  ByteString text;
};

bool onnx_read_value_info(const uint8_t* bytes, uint64_t start, uint64_t end, OnnxValueInfo* out);

ConvertOptions convert_options_init();
int64_t options_find_input(const ConvertOptions& o, const uint8_t* name, uint64_t len);
// "--input name=<d0>x<d1>...[:f32|:i64]" without the "--input " prefix.
UnitResult convert_options_add_input(ConvertOptions* o, const char* arg, uint64_t len);
// "--dim name=<n>" without the "--dim " prefix.
UnitResult convert_options_add_dim(ConvertOptions* o, const char* arg, uint64_t len);

// Checks the graph inputs of the GraphProto [start, end) against the
// state's options and binds them; every problem is reported in one text.
BindOutcome bind_input_shapes(BuilderState& s, const uint8_t* bytes, uint64_t start, uint64_t end);

// Registers one graph input (is_output 0) or output (1).
bool onnx_import_graph_io(BuilderState& s, const uint8_t* bytes, uint64_t start, uint64_t end,
                          uint32_t is_output, uint64_t option_word);

// "[d0, d1, ...]"; "[]" for rank 0.
ByteString shape_text(uint64_t rank, const uint64_t* dims);

}  // namespace vorn
