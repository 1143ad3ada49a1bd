// The tables of the rotate-half rotary embedding: for theta, head size d
// and one position, the angle of each channel pair c (c and c + d/2) and
// its cos and sin rounded to the activation type. Angles depend on theta,
// d, the position and c only, so a thread keeps the frequencies of the last
// theta and d it met and the cos and sin of the last position, across
// groups and dispatches: a decode step ropes every layer's queries and keys
// at one position, so each table is made once per thread and step. "rope"
// and the single-row product's rope output step read the same tables.
#pragma once
#include <cstdint>

namespace vorn::shaders {

// The largest d/2 the tables hold.
constexpr uint64_t kRopeTable = 128;

struct RopeTables {
  uint32_t theta_bits = 0;
  uint64_t d = 0;  // 0: no frequencies made
  uint32_t activation_bytes = 0;
  bool has_position = false;
  int64_t position = 0;
  float frequency[kRopeTable], cos_a[kRopeTable], sin_a[kRopeTable];
};

// The calling thread's tables for theta, d (even, d/2 <= kRopeTable) and
// position, cos and sin rounded to A.
template <class A>
const RopeTables& rope_tables(float theta, uint64_t d, int64_t position);

}  // namespace vorn::shaders
