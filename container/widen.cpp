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
  // Masks instead of branches keep the loop free of control flow.
  const uint32_t is_special = 0u - uint32_t(em >= 0x7C00u);
  const uint32_t is_normal = (0u - uint32_t(em >= 0x0400u)) & ~is_special;
  const uint32_t is_sub = ~(is_special | is_normal);
  return sign | (special & is_special) | (normal & is_normal) | (sub_bits & is_sub);
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
      // A local copy lets the loops vectorise (the output could otherwise
      // alias the source bytes). One pass without branches: -128 anywhere,
      // or a non-zero byte past the row's end, refuses the block.
      int8_t q[kQ8BlockValues];
      std::memcpy(q, block, sizeof(q));
      const uint32_t used32 = uint32_t(used);
      uint8_t bad = 0;
      for (uint32_t i = 0; i < kQ8BlockValues; ++i)
        bad |= uint8_t(q[i] == -128) | (uint8_t(i >= used32) & uint8_t(q[i] != 0));
      if (bad != 0) return false;
      float v[kQ8BlockValues];
      for (uint64_t i = 0; i < kQ8BlockValues; ++i) v[i] = scale * float(q[i]);
      std::memcpy(out + first, v, used * sizeof(float));
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
    // Fixed-size blocks through local buffers: no aliasing between source
    // and destination and a known trip count, so the loop vectorises.
    constexpr uint64_t kBlock = 256;
    uint16_t in[kBlock];
    uint32_t out[kBlock];
    uint64_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
      std::memcpy(in, src + 2 * i, sizeof(in));
      for (uint64_t j = 0; j < kBlock; ++j) out[j] = half_bits_to_f32_bits(in[j]);
      std::memcpy(dst + i, out, sizeof(out));
    }
    for (; i < n; ++i) {
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
