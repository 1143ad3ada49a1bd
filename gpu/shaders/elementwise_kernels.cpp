// Elementwise kernels: "pointwise" (add, multiply, GELU, SiLU), "linear_bias"
// and "weights_float"; one thread per element.
#include <algorithm>

#include "gpu/shaders/kernels.h"
#include "platform/float_exp.h"
#include "platform/float_tanh.h"
#include "platform/parallel.h"
#include "platform/vector_math.h"

namespace vorn::shaders {

namespace {

bool pointwise_reads_b(uint32_t op) { return op == kPointwiseAdd || op == kPointwiseMul; }

}  // namespace

// Elements [i0, i0 + n) of "pointwise", n at most kElementBlock. Float
// activations are read and written where they lie; half ones pass through a
// block of floats. Each element is read before it is written, so y may be x.
template <class A>
void pointwise_block(const ElementwiseParams& p, const A* x, const A* b, A* y, uint64_t i0, uint64_t n) {
  const uint32_t op = p.op;
  if (n == 0) return;
  if (!pointwise_reads_b(op) && op != kPointwiseGelu && op != kPointwiseSilu) {
    for (uint64_t i = i0; i < i0 + n; ++i) y[i] = x[i];
    return;
  }
  float v[kElementBlock], w[kElementBlock];
  const float* in = v;
  float* out = v;
  if constexpr (sizeof(A) == 4) {
    in = x + i0;
    out = y + i0;
  } else {
    widen_n(x + i0, v, n);
  }
  const float* operand = w;
  if (pointwise_reads_b(op)) {
    const uint64_t at = i0 % p.operand_count;
    if (at + n > p.operand_count)
      widen_cyclic(b, p.operand_count, i0, w, n);
    else if constexpr (sizeof(A) == 4)
      operand = b + at;
    else
      widen_n(b + at, w, n);
  }
  switch (op) {
    case kPointwiseAdd:
      vec_add(in, operand, out, n);
      break;
    case kPointwiseMul:
      vec_mul(in, operand, out, n);
      break;
    case kPointwiseGelu:  // the tanh form, to within an ulp of its exact value
      gelu_tanh_float_n(in, out, n);
      break;
    default:  // SiLU
      for (uint64_t j = 0; j < n; ++j) w[j] = -in[j];
      exp_float_n(w, w, n);
      for (uint64_t j = 0; j < n; ++j) out[j] = in[j] / (1.0f + w[j]);
      break;
  }
  if constexpr (sizeof(A) == 2) narrow_n(v, y + i0, n);
}

// Elements of one piece of work of "pointwise": one call per piece rather
// than per threadgroup of 128, whose call and lookups cost about a third of
// an addition's time.
constexpr uint64_t kPointwisePiece = 64 * kElementBlock;

// The grid's threads below count, one element each, in pieces spread over
// the pool when there are several; each element is computed alone, so how
// the grid is cut changes no bit.
template <class A>
void pointwise(const mtl::KernelArgs& a) {
  const ElementwiseParams& p = params<Kernel::pointwise>(a);
  const uint64_t count = std::min<uint64_t>(p.count, a.grid.width);
  const A* x = a.buffer<const A>(0);
  const A* b = a.buffer<const A>(1);
  A* y = a.buffer<A>(2);
  auto piece = [&](uint64_t k) {
    const uint64_t end = std::min(count, (k + 1) * kPointwisePiece);
    for (uint64_t i0 = k * kPointwisePiece; i0 < end; i0 += kElementBlock)
      pointwise_block(p, x, b, y, i0, std::min(kElementBlock, end - i0));
  };
  const uint64_t pieces = (count + kPointwisePiece - 1) / kPointwisePiece;
  if (pieces > 1)
    parallel_for(size_t(pieces), [&](size_t k) { piece(k); });
  else if (pieces == 1)
    piece(0);
}

template <class A>
bool pointwise_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const ElementwiseParams& p = params<Kernel::pointwise>(a);
  if (pointwise_reads_b(p.op)) {
    if (p.operand_count == 0) return mtl::kernel_refuse("count of b is 0", e);
    if (!require_elements(a, 1, p.operand_count, sizeof(A), e)) return false;
  }
  return require_elements(a, 0, p.count, sizeof(A), e) && require_elements(a, 2, p.count, sizeof(A), e);
}

template <class A>
void linear_bias(const mtl::KernelArgs& a, mtl::Size3 g) {
  const ElementwiseParams& p = params<Kernel::linear_bias>(a);
  const A* x = a.buffer<const A>(0);
  const half* bias = a.buffer<const half>(1);
  A* y = a.buffer<A>(2);
  for_each_block(a, g, p.count, [&](uint64_t i0, uint64_t n) {
    float v[kElementBlock], w[kElementBlock];
    widen_n(x + i0, v, n);
    widen_cyclic(bias, p.operand_count, i0, w, n);
    for (uint64_t j = 0; j < n; ++j) v[j] = v[j] + w[j];
    narrow_n(v, y + i0, n);
  });
}

template <class A>
bool linear_bias_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const ElementwiseParams& p = params<Kernel::linear_bias>(a);
  if (p.operand_count == 0) return mtl::kernel_refuse("N is 0", e);
  return require_elements(a, 0, p.count, sizeof(A), e) && require_elements(a, 1, p.operand_count, 2, e) &&
         require_elements(a, 2, p.count, sizeof(A), e);
}

// Widening of half weights to float, whatever the activation type.
template <class A>
void weights_float(const mtl::KernelArgs& a, mtl::Size3 g) {
  const ThreadRange t = threads_of(a, g);
  const uint64_t count = params<Kernel::weights_float>(a).count;
  const uint64_t end = t.end < count ? t.end : count;
  if (end > t.begin)
    half_to_float_n(&a.buffer<const half>(0)[t.begin].bits, a.buffer<float>(2) + t.begin, end - t.begin);
}

template <class A>
bool weights_float_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const uint64_t count = params<Kernel::weights_float>(a).count;
  return require_elements(a, 0, count, 2, e) && require_elements(a, 2, count, 4, e);
}

VORN_INSTANTIATE_GRID_KERNEL(pointwise)
VORN_INSTANTIATE_KERNEL(linear_bias)
VORN_INSTANTIATE_KERNEL(weights_float)

}  // namespace vorn::shaders
