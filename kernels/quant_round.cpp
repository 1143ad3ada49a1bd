#include "kernels/quant_round.h"

#include <cmath>
#include <cstring>

#include "platform/half.h"

namespace vorn {

namespace {

constexpr float kTinyRange = 1e-30f;

// One value on the symmetric grid (scale = amax / q); NaN stays NaN.
inline float symmetric_one(float x, float q, float amax, float scale) {
  float t = std::rint(x * q / amax);
  t = t < -q ? -q : (t > q ? q : t);
  return x != x ? x : scale * t;
}

// Levels each side of the grid that weights and operands of a type take:
// "i8" 127; "i4", and "u8" and "u16" too, 7. (The unsigned types keep their
// own grids for activations only.)
float symmetric_levels(CpuQuantType type) { return type == kQuantI8 ? 127.0f : 7.0f; }

// One value on the asymmetric grid; NaN stays NaN.
inline float asymmetric_one(float x, float scale, float zp, float steps) {
  float t = std::rint(x / scale) - zp;
  t = t < 0.0f ? 0.0f : (t > steps ? steps : t);
  return x != x ? x : scale * (zp + t);
}

// The asymmetric grid over [lo, hi] (lo <= 0 <= hi, hi > lo).
void asymmetric_apply(float* data, uint64_t n, uint64_t stride, float lo, float hi, float steps) {
  const float scale = (hi - lo) / steps;
  const float zp = std::rint(lo / scale);
  for (uint64_t i = 0; i < n; ++i) data[i * stride] = asymmetric_one(data[i * stride], scale, zp, steps);
}

float set_amax(const float* data, uint64_t n, uint64_t stride) {
  float amax = 0.0f;
  for (uint64_t i = 0; i < n; ++i) {
    const float a = std::fabs(data[i * stride]);
    amax = a > amax ? a : amax;
  }
  return amax;
}

void zero(float* data, uint64_t n, uint64_t stride) {
  for (uint64_t i = 0; i < n; ++i) data[i * stride] = 0.0f;
}

// Blocks of the columns of a row-major matrix (k rows of `cols` values,
// row stride ld): the same sets and arithmetic as quant_vector on each
// column block, but swept row by row over chunks of columns so that every
// access is contiguous.
constexpr uint64_t kColumnChunk = 256;

void column_blocks(float* base, uint64_t cols, uint64_t k, uint64_t ld, CpuQuantType type,
                   uint64_t b) {
  if (type == kQuantF16) {
    for (uint64_t i = 0; i < k; ++i) f16_round_n(base + i * ld, cols);
    return;
  }
  const float q = symmetric_levels(type);
  float amax[kColumnChunk], scale[kColumnChunk];
  for (uint64_t j0 = 0; j0 < cols; j0 += kColumnChunk) {
    const uint64_t w = cols - j0 < kColumnChunk ? cols - j0 : kColumnChunk;
    for (uint64_t i0 = 0; i0 < k; i0 += b) {
      const uint64_t i1 = k - i0 < b ? k : i0 + b;
      for (uint64_t j = 0; j < w; ++j) amax[j] = 0.0f;
      for (uint64_t i = i0; i < i1; ++i) {
        const float* row = base + i * ld + j0;
        for (uint64_t j = 0; j < w; ++j) {
          const float a = std::fabs(row[j]);
          amax[j] = a > amax[j] ? a : amax[j];
        }
      }
      for (uint64_t j = 0; j < w; ++j) scale[j] = amax[j] / q;
      for (uint64_t i = i0; i < i1; ++i) {
        float* row = base + i * ld + j0;
        for (uint64_t j = 0; j < w; ++j)
          row[j] = amax[j] >= kTinyRange ? symmetric_one(row[j], q, amax[j], scale[j]) : 0.0f;
      }
    }
  }
}

}  // namespace

CpuQuantType cpu_quant_type_parse(const char* text) {
  if (text == nullptr) return kQuantOff;
  if (std::strcmp(text, "f16") == 0) return kQuantF16;
  if (std::strcmp(text, "u8") == 0) return kQuantU8;
  if (std::strcmp(text, "i4") == 0) return kQuantI4;
  if (std::strcmp(text, "i8") == 0) return kQuantI8;
  if (std::strcmp(text, "u16") == 0) return kQuantU16;
  return kQuantOff;
}

float f16_round(float x) {
  const float a = std::fabs(x);
  if (x != x) return x;
  if (a >= 65520.0f) return std::copysign(INFINITY, x);
  if (a < 6.1035156e-05f) return std::copysign(std::rint(a * 16777216.0f) * 5.9604645e-08f, x);
  uint32_t bits;
  std::memcpy(&bits, &x, 4);
  bits += 0xFFFu + ((bits >> 13) & 1u);
  bits &= ~0x1FFFu;
  float r;
  std::memcpy(&r, &bits, 4);
  return r;
}

void f16_round_n(float* data, uint64_t n) {
  constexpr uint64_t kChunk = 512;
  uint16_t half[kChunk];
  for (uint64_t i = 0; i < n; i += kChunk) {
    const uint64_t len = n - i < kChunk ? n - i : kChunk;
    float_to_half_n(data + i, half, len);
    half_to_float_n(half, data + i, len);
  }
}

void quant_symmetric(float* data, uint64_t n, uint64_t stride, float amax, float q) {
  if (!(amax >= kTinyRange)) {
    zero(data, n, stride);
    return;
  }
  const float scale = amax / q;
  for (uint64_t i = 0; i < n; ++i) data[i * stride] = symmetric_one(data[i * stride], q, amax, scale);
}

void quant_asymmetric(float* data, uint64_t n, uint64_t stride, float lo, float hi, float steps) {
  lo = lo < 0.0f ? lo : 0.0f;
  hi = hi > 0.0f ? hi : 0.0f;
  if (hi - lo < 1e-6f) hi = lo + 1.0f;
  asymmetric_apply(data, n, stride, lo, hi, steps);
}

void quant_vector(float* data, uint64_t n, uint64_t stride, CpuQuantType type) {
  switch (type) {
    case kQuantOff:
      return;
    case kQuantF16:
      if (stride == 1) {
        f16_round_n(data, n);
        return;
      }
      for (uint64_t i = 0; i < n; ++i) data[i * stride] = f16_round(data[i * stride]);
      return;
    case kQuantI8:
    case kQuantI4:
    case kQuantU8:
    case kQuantU16:
      quant_symmetric(data, n, stride, set_amax(data, n, stride), symmetric_levels(type));
      return;
  }
}

void quant_blocks(float* base, uint64_t rows, uint64_t n, uint64_t row_stride,
                  uint64_t element_stride, CpuQuantType type, int64_t block) {
  if (type == kQuantOff || n == 0) return;
  const uint64_t b = block >= 1 && static_cast<uint64_t>(block) <= n ? static_cast<uint64_t>(block) : n;
  if (row_stride == 1 && element_stride >= rows && rows > 1) {
    column_blocks(base, rows, n, element_stride, type, b);
    return;
  }
  for (uint64_t r = 0; r < rows; ++r) {
    float* row = base + r * row_stride;
    for (uint64_t j = 0; j < n; j += b) {
      const uint64_t len = n - j < b ? n - j : b;
      quant_vector(row + j * element_stride, len, element_stride, type);
    }
  }
}

}  // namespace vorn
