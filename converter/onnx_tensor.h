// Reading an ONNX TensorProto into a BuilderValue: shape, element kind and
// constant data, widened to f32 or i64, with external data taken from the
// model's "<model path>.data" file.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "converter/builder_state.h"

namespace vorn {

// ONNX TensorProto.DataType numbers the reader knows.
enum : uint64_t {
  kOnnxFloat = 1,
  kOnnxUint8 = 2,
  kOnnxInt8 = 3,
  kOnnxUint16 = 4,
  kOnnxInt16 = 5,
  kOnnxInt32 = 6,
  kOnnxInt64 = 7,
  kOnnxString = 8,
  kOnnxBool = 9,
  kOnnxFloat16 = 10,
  kOnnxDouble = 11,
  kOnnxUint32 = 12,
  kOnnxUint64 = 13,
  kOnnxBfloat16 = 16,
};

// Why onnx_read_tensor failed (BuilderState::tensor_error).
enum : uint64_t {
  kTensorMalformed = 1,
  kTensorUnsupportedType = 2,  // tensor_error_type holds the data type
  kTensorSizeMismatch = 3,
  kTensorNoExternalFile = 4,
  kTensorExternalRange = 5,
  kTensorExternalLocation = 6,
  kTensorOutOfMemory = 7,
  kTensorRankAbove6 = 8,
  kTensorValueRange = 9,  // a UINT64 element above the i64 range
};

// Flag bit 0: write into value `index` and ignore the tensor's name (node
// attributes). Otherwise the value is found or added by the tensor's name,
// and a tensor without a name is skipped. False when the message is
// malformed or cannot be converted; the reason is in s.tensor_error.
bool onnx_read_tensor(BuilderState& s, uint64_t index, uint32_t flags, const uint8_t* bytes,
                      uint64_t start, uint64_t end);

// The ONNX element kind of a data type (3 I64 for the integer types of 32
// and 64 bits, 2 F32 otherwise).
uint64_t onnx_elem_kind(uint64_t data_type);
// "failed parsing TensorProto" followed by the tensor's name and the reason.
ByteString onnx_tensor_error_text(const BuilderState& s);

}  // namespace vorn
