// exp in float to within 0.502 ulp, giving the same bits on every machine
// and in every form (scalar, AVX2, AVX-512): the result of a double-precision
// evaluation with fused multiply-adds, rounded once to float. Kernels whose
// results are pinned to the exponential of the C library on x86-64 (which
// computes exactly this where the processor has FMA) use it to compute many
// values at once without changing a bit.
//
// Special values: NaN gives the same NaN quietened, +inf and inputs above
// 88.72 give +inf, -inf and inputs below -103.97 give +0, and results in
// the subnormal range are rounded once like any other.
//
// One of the library's two vector exponentials: this one decides the
// exponentials of the generative engine's kernels (gpu/shaders: the SiLU of
// "pointwise", the softmax of "attention_softmax", "attention" and
// "attention_decode64"), which were written against expf and keep its bits.
// The CPU engine and the graph layer use vec_exp (vector_math.h, within
// 2 ulp, cheaper), which stands in for vvexpf; why both stay is said there.
#pragma once
#include <cstddef>

namespace vorn {

float exp_float(float x);

// out[i] = exp_float(in[i]); out may equal in.
void exp_float_n(const float* in, float* out, size_t n);

}  // namespace vorn
