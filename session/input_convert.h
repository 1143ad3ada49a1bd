// Element conversions between bound tensors and the f32 the engines compute
// in, and the half-precision conversions of inputs and outputs.
#pragma once
#include <cstdint>

#include "session/input.h"

namespace vorn {

struct CpuState;

// Exact widening: subnormals, infinities and NaN payloads are kept.
float f16_to_f32(uint16_t h);

// Narrowing with ties rounded away from zero (half an ulp is added before the
// low bits are dropped); magnitudes from 65520 up become infinity, values
// below 2^-25 signed zero. NaN stays a quiet NaN of the same sign.
uint16_t f32_to_f16(float f);

// A new malloc'd f32 buffer of the slot's values (F16 widened, I64 rounded,
// U8 as 0..255, F32 copied); 4 bytes for an empty slot; null when memory runs
// out. The caller frees it.
float* input_as_f32(const InputTensor& slot);
// The same for I64 slots only; null for any other type.
float* input_i64_as_f32(const InputTensor& slot);

// Writes an I64 slot's values as f32 straight into graph input value_id of a
// CPU engine. False only when the conversion buffer cannot be allocated; an
// engine that refuses the bytes is not an error here (the run reports it).
bool input_copy_as_f32(CpuState** engine, uint64_t value_id, const InputTensor& slot);

}  // namespace vorn
