// Bulk f32 <-> f16 conversion of the GPU engine's inputs and outputs (a
// one-row planar image in the system's terms). Narrowing rounds to nearest,
// ties to even, keeps NaN as a quiet NaN of the same sign, and turns values
// beyond the half range into infinities; widening is exact. A count of 0
// converts nothing.
#pragma once
#include <cstdint>

namespace vorn {

void f32_to_f16_planar(const float* source, uint16_t* destination, uint64_t count);
void f16_to_f32_planar(const uint16_t* source, float* destination, uint64_t count);

}  // namespace vorn
