// The platform's half conversions are already exact and vectorised, so the
// planar entries are those; there is no second, coarser fallback that could
// round half up or turn a NaN into an infinity.
#include "gpu/half_planar.h"

#include "platform/half.h"

namespace vorn {

void f32_to_f16_planar(const float* source, uint16_t* destination, uint64_t count) {
  if (count != 0) float_to_half_n(source, destination, count);
}

void f16_to_f32_planar(const uint16_t* source, float* destination, uint64_t count) {
  if (count != 0) half_to_float_n(source, destination, count);
}

}  // namespace vorn
