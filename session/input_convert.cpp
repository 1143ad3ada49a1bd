#include "session/input_convert.h"

#include <cstdlib>
#include <cstring>

#include "cpu/engine.h"
#include "platform/half.h"

namespace vorn {

float f16_to_f32(uint16_t h) { return half_to_float(h); }

uint16_t f32_to_f16(float f) {
  uint32_t x;
  std::memcpy(&x, &f, 4);
  uint16_t sign = uint16_t((x >> 16) & 0x8000u);
  uint32_t exp = (x >> 23) & 0xFFu;
  uint32_t man = x & 0x7FFFFFu;
  // Infinity would hide a NaN from every later check; keep it a NaN.
  if (exp == 0xFF && man != 0) return float_to_half(f);
  if (exp > 142) return uint16_t(sign | 0x7C00u);
  if (exp >= 113) {
    // The carry of the rounding may run into the exponent: up to infinity.
    uint32_t bits = ((exp - 112) << 10 | man >> 13) + (((man & 0x1FFFu) + 0x1000u) >> 13);
    return uint16_t(sign | (bits > 0x7C00u ? 0x7C00u : bits));
  }
  if (exp >= 102) {
    uint32_t full = man | 0x800000u;
    return uint16_t(sign | (((full >> (113 - exp)) + 0x1000u) >> 13));
  }
  return sign;
}

namespace {

float* alloc_f32(uint64_t count) {
  if (count > UINT64_MAX / 4) return nullptr;
  return static_cast<float*>(std::malloc(count == 0 ? 4 : count * 4));
}

}  // namespace

float* input_as_f32(const InputTensor& slot) {
  float* out = alloc_f32(slot.count);
  if (out == nullptr) return nullptr;
  uint64_t n = slot.count;
  switch (slot.dtype) {
    case VORN_DTYPE_F16:
      half_to_float_n(static_cast<const uint16_t*>(slot.data), out, size_t(n));
      break;
    case VORN_DTYPE_I64: {
      const auto* src = static_cast<const int64_t*>(slot.data);
      for (uint64_t i = 0; i < n; ++i) out[i] = float(src[i]);
      break;
    }
    case VORN_DTYPE_U8: {
      const auto* src = static_cast<const uint8_t*>(slot.data);
      for (uint64_t i = 0; i < n; ++i) out[i] = float(src[i]);
      break;
    }
    default:
      if (n > 0) std::memcpy(out, slot.data, n * 4);
      break;
  }
  return out;
}

float* input_i64_as_f32(const InputTensor& slot) {
  if (slot.dtype != VORN_DTYPE_I64) return nullptr;
  return input_as_f32(slot);
}

bool input_copy_as_f32(CpuState** engine, uint64_t value_id, const InputTensor& slot) {
  float* values = input_as_f32(slot);
  if (values == nullptr) return false;
  cpu_engine_set_input(engine, value_id, values, slot.count * 4);
  std::free(values);
  return true;
}

}  // namespace vorn
