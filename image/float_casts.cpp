// Float to integer casts with every input defined: a plain cast of NaN or of
// a value outside the target range is undefined behaviour in C++.
#include <cmath>

#include "image/postprocess.h"

namespace vorn {

int64_t f32_to_i64_trunc(float value) {
  if (std::isnan(value)) return 0;
  // 2^63 is the first float past the range; every float below it converts.
  if (value >= 9223372036854775808.0f) return INT64_MAX;
  if (value < -9223372036854775808.0f) return INT64_MIN;
  return int64_t(value);
}

int32_t f32_to_i32_trunc(float value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0f) return INT32_MAX;
  if (value < -2147483648.0f) return INT32_MIN;
  return int32_t(value);
}

uint8_t f32_to_u8_trunc(float value) {
  if (!(value > 0.0f)) return 0;  // NaN too
  if (value > 255.0f) return 255;
  return uint8_t(value);
}

}  // namespace vorn
