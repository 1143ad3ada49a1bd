// Unary operators and activations (one loop, one scalar function each), Cast,
// PRelu and Identity.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/spatial_common.h"
#include "kernels/ops/parallel_chunks.h"
#include "kernels/ops/sigmoid_math.h"
#include "platform/cpu_features.h"
#include "platform/vector_exp.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

VORN_VECTORIZE_FILE

namespace vorn {

namespace {


// Two f32 parameters (alpha and beta, gamma, or Clip's bounds), with the
// operator's defaults already applied. Every activation keeps them in the
// same two words.
static_assert(attr::Clip::kMin == attr::Alpha::kAlpha && attr::Clip::kMax == attr::HardSigmoid::kBeta &&
              attr::Selu::kGamma == attr::HardSigmoid::kBeta);
struct UnaryParams {
  float a;
  float b;
};

// Clamp to [0, 1] written so that NaN falls through both tests unchanged.
inline float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

// kHeavy: a libm call per element, so the work is split across the pool
// from a smaller size.
struct ReluOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return x >= 0.0f ? x : 0.0f; } };
struct HardSigmoidOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams p) { return clamp01(p.a * x + p.b); } };
struct HardSwishOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return x * clamp01(x * 0.16666667f + 0.5f); } };
struct LeakyReluOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams p) { return x >= 0.0f ? x : p.a * x; } };
struct ClipOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams p) { return x < p.a ? p.a : (x > p.b ? p.b : x); } };
struct SqrtOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return std::sqrt(x); } };
struct CosOp { static constexpr bool kHeavy = true; static float f(float x, UnaryParams) { return std::cos(x); } };
struct SinOp { static constexpr bool kHeavy = true; static float f(float x, UnaryParams) { return std::sin(x); } };
struct LogOp { static constexpr bool kHeavy = true; static float f(float x, UnaryParams) { return std::log(x); } };
struct AbsOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return std::fabs(x); } };
struct NegOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return -x; } };
struct FloorOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return std::floor(x); } };
struct CeilOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return std::ceil(x); } };
// Halves go to the even neighbour, as ONNX rounds; the test on the fraction
// keeps the result independent of the thread's floating-point rounding mode.
struct RoundOp {
  static constexpr bool kHeavy = false;
  static float f(float x, UnaryParams) {
    float r = std::round(x);
    if (std::fabs(x - std::trunc(x)) == 0.5f) r = 2.0f * std::round(x * 0.5f);
    return r;
  }
};
struct ReciprocalOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return 1.0f / x; } };
struct NotOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return x == 0.0f ? 1.0f : 0.0f; } };
// NaN != 0, so NaN casts to true.
struct CastBoolOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return x != 0.0f ? 1.0f : 0.0f; } };
// Truncation toward zero; adding +0.0 turns the -0.0 of ceil(-0.5) into +0.0.
struct CastTruncOp { static constexpr bool kHeavy = false; static float f(float x, UnaryParams) { return x >= 0.0f ? std::floor(x) : std::ceil(x) + 0.0f; } };

// Operators built on exp: each takes the exponential of platform/
// vector_exp.h inside its own loop and combines x with it, with the same
// steps in the portable form (f) and the AVX2 form (f8), so every form
// gives the same bits wherever blocks and chunks end.
#if defined(__x86_64__)
#define VORN_AVX2_OP [[gnu::target("avx2,fma"), gnu::always_inline]] static inline
struct Params8 {
  __m256 a, b;
};
#endif

struct ExpOp {
  static float f(float x, UnaryParams) { return vexp::exp_scalar(x); }
#if defined(__x86_64__)
  VORN_AVX2_OP __m256 f8(__m256 x, const Params8&) { return vexp::exp_avx2(x); }
#endif
};
// Sigmoid, and x times it (the SiLU mode fusion gives a Sigmoid read only by
// that product); the arithmetic lives in sigmoid_math.h.
template <bool kTimesX>
struct SigmoidOpT {
  static float f(float x, UnaryParams) { return kern::sigmoid_scalar<kTimesX>(x); }
#if defined(__x86_64__)
  VORN_AVX2_OP __m256 f8(__m256 x, const Params8&) { return kern::sigmoid_avx2<kTimesX>(x); }
#endif
};
using SigmoidOp = SigmoidOpT<false>;
using SiluOp = SigmoidOpT<true>;
// p.a = alpha.
struct EluOp {
  static float f(float x, UnaryParams p) { return x >= 0.0f ? x : p.a * (vexp::exp_scalar(x) - 1.0f); }
#if defined(__x86_64__)
  VORN_AVX2_OP __m256 f8(__m256 x, const Params8& p) {
    const __m256 neg = _mm256_mul_ps(p.a, _mm256_sub_ps(vexp::exp_avx2(x), _mm256_set1_ps(1.0f)));
    return _mm256_blendv_ps(neg, x, _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GE_OQ));
  }
#endif
};
// p.a = alpha, p.b = gamma.
struct SeluOp {
  static float f(float x, UnaryParams p) {
    return x > 0.0f ? p.b * x : p.b * (p.a * (vexp::exp_scalar(x) - 1.0f));
  }
#if defined(__x86_64__)
  VORN_AVX2_OP __m256 f8(__m256 x, const Params8& p) {
    const __m256 neg = _mm256_mul_ps(p.b, _mm256_mul_ps(p.a, _mm256_sub_ps(vexp::exp_avx2(x), _mm256_set1_ps(1.0f))));
    return _mm256_blendv_ps(neg, _mm256_mul_ps(p.b, x), _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_GT_OQ));
  }
#endif
};
// Of a = |x|, with the sign of x put back: below kTanhSmall, a + a^3 P(a^2)
// with P a minimax fit of (tanh(a) - a) / a^3 (no cancellation near 0);
// above, 1 - 2 / (exp(2a) + 1), which is then at least 1/2, so the
// subtraction loses nothing. Within 2 ulp of tanh over the whole float
// range (tests/kernels/elementwise_test.cpp); +-0 and NaN pass, +-inf
// gives +-1.
constexpr float kTanhSmall = 0.55f;
constexpr float kTanhP0 = -0.33333316f, kTanhP1 = 0.13332586f, kTanhP2 = -0.053852309f,
                kTanhP3 = 0.021071678f, kTanhP4 = -0.0062742373f;
struct TanhOp {
  static float f(float x, UnaryParams) {
    const float a = std::fabs(x), z = a * a;
    float q = kTanhP4;
    q = std::fmaf(q, z, kTanhP3);
    q = std::fmaf(q, z, kTanhP2);
    q = std::fmaf(q, z, kTanhP1);
    q = std::fmaf(q, z, kTanhP0);
    const float small = std::fmaf(a * z, q, a);
    const float big = 1.0f - 2.0f / (vexp::exp_scalar(a + a) + 1.0f);
    return std::copysign(a < kTanhSmall ? small : big, x);
  }
#if defined(__x86_64__)
  VORN_AVX2_OP __m256 f8(__m256 x, const Params8&) {
    const __m256 sign = _mm256_set1_ps(-0.0f), one = _mm256_set1_ps(1.0f);
    const __m256 a = _mm256_andnot_ps(sign, x), z = _mm256_mul_ps(a, a);
    __m256 q = _mm256_set1_ps(kTanhP4);
    q = _mm256_fmadd_ps(q, z, _mm256_set1_ps(kTanhP3));
    q = _mm256_fmadd_ps(q, z, _mm256_set1_ps(kTanhP2));
    q = _mm256_fmadd_ps(q, z, _mm256_set1_ps(kTanhP1));
    q = _mm256_fmadd_ps(q, z, _mm256_set1_ps(kTanhP0));
    const __m256 small = _mm256_fmadd_ps(_mm256_mul_ps(a, z), q, a);
    const __m256 e = vexp::exp_avx2(_mm256_add_ps(a, a));
    const __m256 big = _mm256_sub_ps(one, _mm256_div_ps(_mm256_set1_ps(2.0f), _mm256_add_ps(e, one)));
    const __m256 r = _mm256_blendv_ps(big, small, _mm256_cmp_ps(a, _mm256_set1_ps(kTanhSmall), _CMP_LT_OQ));
    return _mm256_or_ps(_mm256_andnot_ps(sign, r), _mm256_and_ps(sign, x));
  }
#endif
};

template <class Op>
void exp_loop_portable(const float* x, float* y, uint64_t begin, uint64_t end, UnaryParams p) {
  for (uint64_t i = begin; i < end; ++i) y[i] = Op::f(x[i], p);
}

#if defined(__x86_64__)
template <class Op>
[[gnu::target("avx2,fma")]] void exp_loop_avx2(const float* x, float* y, uint64_t begin, uint64_t end,
                                              UnaryParams p) {
  const Params8 p8{_mm256_set1_ps(p.a), _mm256_set1_ps(p.b)};
  uint64_t i = begin;
  for (; i + 8 <= end; i += 8) _mm256_storeu_ps(y + i, Op::f8(_mm256_loadu_ps(x + i), p8));
  if (i < end) {
    const int64_t rest = static_cast<int64_t>(end - i);
    vexp::store_first(y + i, rest, Op::f8(vexp::load_first(x + i, rest), p8));
  }
}
#endif

// Y may share X's buffer: each element is read before it is written.
template <class Op>
void exp_unary_apply(KernelIsa isa, const float* x, float* y, uint64_t n, UnaryParams p) {
  auto loop = &exp_loop_portable<Op>;
#if defined(__x86_64__)
  if (isa_has_avx2(isa)) loop = &exp_loop_avx2<Op>;
#else
  (void)isa;
#endif
  for_chunks(n, kParallelHeavyElements, [&](uint64_t begin, uint64_t end) { loop(x, y, begin, end, p); });
}

#if defined(__x86_64__)
// The arithmetic activations on eight lanes: the same compares, selects,
// multiplies and adds in the same order (no FMA in the target), so the
// same bits as the baseline loop (the file is built for the vectoriser,
// which turns the selects into blends).
template <class Op>
[[gnu::target("avx2")]] void unary_loop_avx2(const float* x, float* y, uint64_t begin, uint64_t end, UnaryParams p) {
  for (uint64_t i = begin; i < end; ++i) y[i] = Op::f(x[i], p);
}
#endif

template <class Op>
void unary_apply(KernelIsa isa, const float* x, float* y, uint64_t n, UnaryParams p) {
#if defined(__x86_64__)
  const bool wide = !Op::kHeavy && isa_has_avx2(isa);
#else
  const bool wide = false;
  (void)isa;
#endif
  for_chunks(n, Op::kHeavy ? kParallelHeavyElements : kParallelElements,
             [&](uint64_t begin, uint64_t end) {
#if defined(__x86_64__)
               if (wide) {
                 unary_loop_avx2<Op>(x, y, begin, end, p);
                 return;
               }
#endif
               for (uint64_t i = begin; i < end; ++i) y[i] = Op::f(x[i], p);
             });
}

float f32_or(float v, float fallback) { return v == 0.0f ? fallback : v; }

}  // namespace

bool cpu_unary_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  const uint64_t n = node_out_value(s, node, 0).count();
  UnaryParams p{node.attr_f32(attr::Alpha::kAlpha), node.attr_f32(attr::HardSigmoid::kBeta)};
  switch (node.op()) {
    case op::Relu: unary_apply<ReluOp>(s.isa, x, y, n, p); break;
    case op::Sigmoid:
      if (node.attr(attr::Sigmoid::kMode) == attr::Sigmoid::kSiLU)
        exp_unary_apply<SiluOp>(s.isa, x, y, n, p);
      else
        exp_unary_apply<SigmoidOp>(s.isa, x, y, n, p);
      break;
    case op::HardSigmoid: unary_apply<HardSigmoidOp>(s.isa, x, y, n, p); break;
    case op::HardSwish: unary_apply<HardSwishOp>(s.isa, x, y, n, p); break;
    case op::LeakyRelu: unary_apply<LeakyReluOp>(s.isa, x, y, n, p); break;
    case op::Clip: unary_apply<ClipOp>(s.isa, x, y, n, p); break;
    case op::Sqrt: unary_apply<SqrtOp>(s.isa, x, y, n, p); break;
    case op::Exp: exp_unary_apply<ExpOp>(s.isa, x, y, n, p); break;
    case op::Tanh: exp_unary_apply<TanhOp>(s.isa, x, y, n, p); break;
    case op::Cos: unary_apply<CosOp>(s.isa, x, y, n, p); break;
    case op::Sin: unary_apply<SinOp>(s.isa, x, y, n, p); break;
    case op::Log: unary_apply<LogOp>(s.isa, x, y, n, p); break;
    case op::Abs: unary_apply<AbsOp>(s.isa, x, y, n, p); break;
    case op::Neg: unary_apply<NegOp>(s.isa, x, y, n, p); break;
    case op::Floor: unary_apply<FloorOp>(s.isa, x, y, n, p); break;
    case op::Ceil: unary_apply<CeilOp>(s.isa, x, y, n, p); break;
    case op::Round: unary_apply<RoundOp>(s.isa, x, y, n, p); break;
    case op::Reciprocal: unary_apply<ReciprocalOp>(s.isa, x, y, n, p); break;
    case op::Elu: exp_unary_apply<EluOp>(s.isa, x, y, n, UnaryParams{f32_or(p.a, 1.0f), 0.0f}); break;
    case op::Selu:
      exp_unary_apply<SeluOp>(s.isa, x, y, n, UnaryParams{f32_or(p.a, 1.6732632f), f32_or(p.b, 1.0507010f)});
      break;
    case op::Not: unary_apply<NotOp>(s.isa, x, y, n, p); break;
    case op::Cast:
      if (node.attr(attr::Cast::kTo) == attr::Cast::kToBool)
        unary_apply<CastBoolOp>(s.isa, x, y, n, p);
      else
        unary_apply<CastTruncOp>(s.isa, x, y, n, p);
      break;
    default: return false;
  }
  return true;
}

bool cpu_unary_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  // Clip keeps its bounds in attribute words; stray bound inputs are ignored.
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, 1, msg, cap)) return false;
  if (node_in_value(s, node, 0).count() != node_out_value(s, node, 0).count())
    return check_fail(msg, cap, "input and output element counts differ");
  return true;
}

// PRelu: rows are (batch, channel) pairs of X, and row r takes slope[r mod S],
// so a slope of one value per channel (or a single value) applies as ONNX
// broadcasts it.
bool cpu_prelu_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const float* x = node_in(s, node, 0);
  const float* slope = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  const uint64_t n = node_out_value(s, node, 0).count();
  const uint64_t slopes = node_in_value(s, node, 1).count();
  uint64_t rows = vx.rank() == 0 ? 1 : vx.dim(0) * (vx.rank() > 1 ? vx.dim(1) : 1);
  if (rows == 0 || n == 0) return true;
  const uint64_t len = n / rows;
  for_chunks(rows, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      const float a = slope[r % slopes];
      const float* xr = x + r * len;
      float* yr = y + r * len;
      for (uint64_t i = 0; i < len; ++i) yr[i] = xr[i] >= 0.0f ? xr[i] : a * xr[i];
    }
  }, len);
  return true;
}

bool cpu_prelu_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 2, 1, 1, msg, cap)) return false;
  if (node_in_value(s, node, 0).count() != node_out_value(s, node, 0).count())
    return check_fail(msg, cap, "input and output element counts differ");
  if (node_in_value(s, node, 1).count() == 0) return check_fail(msg, cap, "slope has no elements");
  return true;
}

// Identity copies Y's bytes unless Y is a weight (a folded constant), has rank
// 0 (a placeholder left by lowering) or already is X's buffer.
bool cpu_identity_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vy = node_out_value(s, node, 0);
  void* dst = s.data[node.output(0)];
  const void* src = s.data[node.input(0)];
  if (vy.kind() == kValueWeight || vy.rank() == 0 || dst == src) return true;
  if (vy.bytes() != 0) std::memmove(dst, src, vy.bytes());
  return true;
}

bool cpu_identity_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (node.input_count() < 1 || node.output_count() < 1 || node.input_count() > kNodeMaxInputs ||
      node.output_count() > kNodeMaxOutputs)
    return check_fail(msg, cap, "needs an input and an output");
  if (node.input(0) >= s.value_count || node.output(0) >= s.value_count)
    return check_fail(msg, cap, "names no value");
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vy.kind() == kValueWeight || vy.rank() == 0 || node.input(0) == node.output(0)) return true;
  if (node_in_value(s, node, 0).bytes() < vy.bytes())
    return check_fail(msg, cap, "input holds fewer bytes than the output");
  return true;
}

}  // namespace vorn
