// F16 and Q8 weights widened to f32 inside the loader's worker threads.
#include "container/widen.h"

#include <cmath>
#include <cstring>

#include "container/format.h"
#include "container/records.h"
#include "platform/half.h"

namespace vorn {

namespace {

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

bool weights_to_f32(uint64_t kind, uint64_t rows, uint64_t cols, const uint8_t* src, float* dst) {
  if (kind == kElemF16) {
    if (rows == 0 || cols == 0) return true;
    half_to_float_n(reinterpret_cast<const uint16_t*>(src), dst, size_t(rows * cols));
    return true;
  }
  if (kind == kElemQ8) {
    if (rows == 0 || cols == 0) return true;
    return q8_to_f32(rows, cols, src, dst);
  }
  return false;
}

}  // namespace vorn
