// tanh and the tanh form of GELU in float, each the float nearest a
// double-precision evaluation through one exponential: within 1 ulp of the
// exact value over every float (the tests allow 2), the same bits in the
// scalar, AVX2 and every other form (each operation one IEEE double
// operation, the fused ones fused everywhere).
//
//   tanh(x)      = sign(x) (1 - E) / (1 + E), E = exp(-2 |x|); x itself
//                  for |x| < 2^-12, where that is the nearest float
//   gelu_tanh(x) = 0.5 x (1 + tanh(u)) = x / (1 + exp(-2u)),
//                  u = 0.7978845608028654 (x + 0.044715 x^3)
//
// The second form of GELU keeps its accuracy where 1 + tanh(u) cancels
// (x below about -3), which evaluating the first in float does not. NaN
// stays NaN; tanh(+-inf) = +-1, gelu_tanh(+inf) = +inf.
//
// They stand in for vvtanhf and decide the bits of the generative engine's
// GELU ("pointwise"), the one place those kernels left the C library's
// tanhf, whose scalar calls took a sixth of a vision encoder's time.
#pragma once
#include <cstddef>

namespace vorn {

float tanh_float(float x);
float gelu_tanh_float(float x);

// out[i] = f(in[i]); out may equal in.
void tanh_float_n(const float* in, float* out, size_t n);
void gelu_tanh_float_n(const float* in, float* out, size_t n);

}  // namespace vorn
