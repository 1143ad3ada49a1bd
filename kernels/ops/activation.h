// Erf and Gelu, shared by their kernels and tests.
#pragma once
#include <cstdint>

namespace vorn {

// Whether Erf and Gelu use the polynomial form (the default) rather than the
// math library's erff; read once from VORN_CPU_VMATH ("0" turns it off).
bool cpu_vmath_enabled();

// Erf (gelu false) or Gelu (gelu true) of x[first, end) into y.
void erf_gelu_range(const float* x, float* y, int64_t first, int64_t end, bool gelu);

}  // namespace vorn
