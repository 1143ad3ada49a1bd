// F16 and Q8 weights widened to f32 inside the loader's worker threads.
#include "container/widen.h"

#include <cmath>
#include <cstring>

#include "container/format.h"
#include "container/records.h"

namespace vorn {

namespace {

// Branch-free so the loop vectorises: normal halves rebias the exponent,
// infinities and NaNs keep their payload bits unchanged (no float
// arithmetic touches them, so a signalling NaN is not quietened), and
// subnormals are exact as man * 2^-24.
inline uint32_t half_bits_to_f32_bits(uint16_t h) {
  const uint32_t x = h;
  const uint32_t sign = (x & 0x8000u) << 16;
  const uint32_t em = x & 0x7FFFu;
  const uint32_t normal = (em << 13) + (112u << 23);
  const uint32_t special = (em << 13) | 0x7F800000u;
  const float sub = float(em) * 0x1p-24f;
  uint32_t sub_bits;
  std::memcpy(&sub_bits, &sub, 4);
  const uint32_t r = em >= 0x7C00u ? special : (em >= 0x0400u ? normal : sub_bits);
  return sign | r;
}

bool q8_to_f32(uint64_t rows, uint64_t cols, const uint8_t* src, float* dst) {
  const uint64_t blocks = (cols + kQ8BlockValues - 1) / kQ8BlockValues;
  for (uint64_t r = 0; r < rows; ++r) {
    const uint8_t* row = src + r * blocks * kQ8BlockBytes;
    float* out = dst + r * cols;
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint8_t* block = row + b * kQ8BlockBytes;
      float scale;
      std::memcpy(&scale, block + kQ8BlockValues, 4);
      if (!(scale > 0.0f) || std::isinf(scale)) return false;
      const uint64_t first = b * kQ8BlockValues;
      const uint64_t used = cols - first < kQ8BlockValues ? cols - first : kQ8BlockValues;
      for (uint64_t i = 0; i < kQ8BlockValues; ++i) {
        const int8_t q = int8_t(block[i]);
        if (q == -128 || (i >= used && q != 0)) return false;
      }
      for (uint64_t i = 0; i < used; ++i) out[first + i] = scale * float(int8_t(block[i]));
    }
  }
  return true;
}

}  // namespace

float half_to_f32(uint16_t half) {
  const uint32_t bits = half_bits_to_f32_bits(half);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

bool weights_to_f32(uint64_t kind, uint64_t rows, uint64_t cols, const uint8_t* src, float* dst) {
  if (kind == kElemF16) {
    if (rows == 0 || cols == 0) return true;
    const uint64_t n = rows * cols;
    for (uint64_t i = 0; i < n; ++i) {
      uint16_t h;
      std::memcpy(&h, src + 2 * i, 2);
      const uint32_t bits = half_bits_to_f32_bits(h);
      std::memcpy(dst + i, &bits, 4);
    }
    return true;
  }
  if (kind == kElemQ8) {
    if (rows == 0 || cols == 0) return true;
    return q8_to_f32(rows, cols, src, dst);
  }
  return false;
}

}  // namespace vorn
