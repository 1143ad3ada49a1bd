// Re-storing the large F32 weight matrices of a finished container as Q8
// blocks (64 signed bytes and one f32 scale a block), chosen by the operator
// that reads each weight and its role there. Everything else is copied; the
// records, digests and checksum are recomputed. The input is never changed
// and the output is written through a temporary file renamed into place (a
// device or a FIFO is written through, see base/file_write.h).
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

struct QuantizeOutcome {
  uint32_t status;  // 0 success, 1 failure
  ByteString text;  // the summary or the message
};

QuantizeOutcome quantize_pack_q8(Slice input_path, Slice output_path);

// One block of n values (n <= 64): the 64 bytes (zero past n) and the scale.
// A block without finite non-zero values has scale 1 and zero bytes.
void quantize_block_q8(const float* x, uint64_t n, int8_t out[64], float* scale);

}  // namespace vorn
