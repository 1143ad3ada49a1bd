// The converter's entry points: one ONNX file in, one .vorn container out.
// Each call runs the whole pipeline (read, bind, import, match the detection
// tail, lower, check, summarise, write) and reports a failure as one message.
// The container is written to a temporary file renamed into place, so a
// failed conversion leaves nothing at the output path (a device or a FIFO is
// written through, see base/file_write.h).
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "base/result.h"
#include "converter/convert_options.h"

namespace vorn {

struct ConvertOutcome {
  uint32_t status;  // 0 success, 1 failure
  ByteString text;  // the summary on success, the message on failure
};

using ConvertResult = Result<bool, ByteString>;

// Legacy mode; option_word bits 32..63 the batch (0 read as 1), bits 0..31
// the size word of dynamic input dimensions.
ConvertResult convert_onnx_file(Slice onnx_path, Slice vorn_path, uint64_t option_word);
ConvertResult convert_onnx_file_with_flags(Slice onnx_path, Slice vorn_path, uint32_t size_word, uint64_t batch);
// Options mode: constants folded, and what cannot be lowered exactly refused.
ConvertOutcome convert_onnx_file_with_options(Slice onnx_path, Slice vorn_path, const ConvertOptions* options);
ConvertOutcome convert_onnx_impl(Slice onnx_path, Slice vorn_path, uint64_t option_word,
                                 const ConvertOptions* options);

}  // namespace vorn
