// The rounding primitives of simulated quantisation: values stay f32 but are
// moved onto the grid of a narrower type.
#pragma once
#include <cstdint>

namespace vorn {

// The simulated types, as the VORN_CPU_Q* variables name them.
enum CpuQuantType : uint32_t {
  kQuantOff = 0,
  kQuantF16 = 1,  // "f16": nearest IEEE half-precision value
  kQuantI8 = 2,   // "i8": symmetric, 127 levels each side
  kQuantI4 = 3,   // "i4": symmetric, 7 levels each side
  // The unsigned words give activations an asymmetric grid over their
  // recorded range; weights and operands take the 7-level grid of "i4".
  kQuantU8 = 4,   // "u8": activations asymmetric, 255 steps (65535 for wide ids)
  kQuantU16 = 5,  // "u16": activations asymmetric, 65535 steps
};

// The whole text must be one of "f16", "i8", "i4", "u8", "u16"
// (case-sensitive); anything else, null included, is off.
CpuQuantType cpu_quant_type_parse(const char* text);

// x rounded to the nearest half-precision value, ties to even: infinity of
// x's sign from 65520 up, the half subnormal grid (steps of 2^-24) below
// 2^-14. NaN stays NaN.
float f16_round(float x);

// f16_round over n contiguous values, with the CPU's conversion instructions
// when it has them; the same values as f16_round (a NaN may come back as
// another NaN).
void f16_round_n(float* data, uint64_t n);

// Symmetric rule with a known range: every x becomes
// scale * clamp(rint(x * q / amax), -q, q), scale = amax / q; so values
// beyond the range clamp to +-amax. amax below 1e-30 zeroes the values.
void quant_symmetric(float* data, uint64_t n, uint64_t stride, float amax, float q);

// Asymmetric rule over [lo, hi] widened to hold 0: `steps` steps of
// scale = (hi - lo) / steps from the zero point rint(lo / scale); every x
// becomes scale * (zp + clamp(rint(x / scale) - zp, 0, steps)). A range
// narrower than 1e-6 is taken as [lo, lo + 1].
void quant_asymmetric(float* data, uint64_t n, uint64_t stride, float lo, float hi, float steps);

// Rounds n values at a stride as one set: f16 value by value, every other
// type on the symmetric grid of the set's largest magnitude (127 levels
// each side for "i8", 7 for the rest).
void quant_vector(float* data, uint64_t n, uint64_t stride, CpuQuantType type);

// Rounds `rows` rows of n values (row r starts at base + r * row_stride,
// its values element_stride apart), each row cut into blocks of `block`
// values (0, negative or more than n: one block per row; the last block may
// be shorter), every block rounded as one set by quant_vector's rules.
void quant_blocks(float* base, uint64_t rows, uint64_t n, uint64_t row_stride,
                  uint64_t element_stride, CpuQuantType type, int64_t block);

}  // namespace vorn
