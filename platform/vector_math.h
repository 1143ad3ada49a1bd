// Vector helpers over contiguous f32 arrays: our stand-ins for the vDSP and
// vForce calls the CPU kernels make (vDSP_vadd, vDSP_vsadd, vDSP_vsmsa,
// vDSP_vthres, vvexpf), all with unit strides. Every helper may run in place
// (out equal to an input); partially overlapping arrays are not allowed.
#pragma once
#include <cstddef>

namespace vorn {

// out[i] = a[i] + b[i]
void vec_add(const float* a, const float* b, float* out, size_t n);
// out[i] = a[i] * b[i]
void vec_mul(const float* a, const float* b, float* out, size_t n);
// out[i] = a[i] + s
void vec_scalar_add(const float* a, float s, float* out, size_t n);
// out[i] = a[i] * s + t (a multiply then an add, each rounded)
void vec_scalar_mul_add(const float* a, float s, float t, float* out, size_t n);
// out[i] = a[i] when a[i] >= threshold, else 0 (NaN gives 0)
void vec_threshold(const float* a, float threshold, float* out, size_t n);
// out[i] = exp(a[i]), within 2 ulp of the correctly rounded value over the
// whole float range (subnormal results included); NaN stays NaN, large
// inputs give +inf, very negative ones +0.
// Runs 8 wide where the CPU has AVX2 and FMA and 16 wide where it also has
// AVX-512, with the bits of the portable form (the steps are
// platform/vector_exp.h's).
//
// One of the library's two vector exponentials. This one stands in for
// vvexpf and decides the last bits of every exponential of the CPU engine
// (Exp, Softmax, Sigmoid, SiLU and the other exp-based operators of
// kernels/ops) and of the graph layer (its exponent, sigmoid, SiLU, softmax
// and attention: tensor models on the GPU backend, and the generative graph's
// graph-layer attention). The other, exp_float_n (float_exp.h, 0.502 ulp),
// reproduces the C library's expf and decides those of the generative
// engine's own kernels (the SiLU of "pointwise" and the softmax of the
// attention kernels), whose results were fixed against expf. So the two
// backends may differ in a last bit where both take an exponential. They
// are not merged: either choice would change the bits of the other side's
// outputs (the conformance fixtures' comparisons, the generations' logits).
void vec_exp(const float* a, float* out, size_t n);
// out[i] = exp(a[i] + s): vec_scalar_add then vec_exp, bit for bit, in one
// pass (a softmax's shift by its row's maximum).
void vec_exp_shifted(const float* a, float s, float* out, size_t n);
// out[i] = erf(a[i]) by a rational approximation on [-4, 4] (clamped
// outside, where erf is +-1 in float), within a few ulp; NaN stays NaN.
void vec_erf(const float* a, float* out, size_t n);
// One value of vec_erf's approximation, for kernels that fuse it into their
// own loops. Written as selects so those loops vectorise (a NaN passes both
// clamps); always inlined so each caller's loop keeps its own vector form.
[[gnu::always_inline]] inline float erf_rational(float z) {
  z = z < -4.0f ? -4.0f : z;
  z = z > 4.0f ? 4.0f : z;
  const float z2 = z * z;
  float p = -2.72614237e-10f;
  p = p * z2 + 2.77068146e-08f;
  p = p * z2 - 2.10102394e-06f;
  p = p * z2 - 5.69250624e-05f;
  p = p * z2 - 7.34990637e-04f;
  p = p * z2 - 2.95459991e-03f;
  p = p * z2 - 1.60960332e-02f;
  float q = -1.45660715e-05f;
  q = q * z2 - 2.13374049e-04f;
  q = q * z2 - 1.68282702e-03f;
  q = q * z2 - 7.37332925e-03f;
  q = q * z2 - 1.42647391e-02f;
  return z * p / q;
}
// out[i] = 1 / (1 + exp(-a[i])) with vec_exp's exponential; NaN stays
// the NaN that went in.
void vec_sigmoid(const float* a, float* out, size_t n);
// out[i] = a[i] * (1 / (1 + exp(-a[i]))): the same sigmoid, times its input.
void vec_silu(const float* a, float* out, size_t n);
// exp of one value by the same method, for scalar tails elsewhere.
float exp_approx(float x);

}  // namespace vorn
