// Widening of stored F16 and Q8 weights to the f32 layout the engines use.
#pragma once
#include <cstdint>

namespace vorn {

// Widens rows x cols values of kind 1 (F16) or 4 (Q8) from src into dst
// (rows * cols floats). Kind 2 and any other kind return false. A Q8 block
// with a scale that is not positive and finite, a byte -128, or a non-zero
// byte past the row's end refuses the conversion (dst is then partly
// written). src must hold the stored bytes: rows * cols * 2 for F16,
// rows * ceil(cols / 64) * 68 for Q8.
bool weights_to_f32(uint64_t kind, uint64_t rows, uint64_t cols, const uint8_t* src, float* dst);

}  // namespace vorn
