// Unary operators and activations (one loop, one scalar function each), Cast,
// PRelu and Identity.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "cpu/kernel.h"
#include "cpu/kernels/node_check.h"
#include "cpu/kernels/spatial_common.h"
#include "cpu/kernels/parallel_chunks.h"
#include "platform/cpu_features.h"
#include "platform/vector_math.h"

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
struct TanhOp { static constexpr bool kHeavy = true; static float f(float x, UnaryParams) { return std::tanh(x); } };
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

// Operators built on exp: the exponentials of a block go through one vec_exp
// call, then finish(x, e, p) combines x with its exponential e. vec_exp gives
// each element the same value wherever the block boundaries fall.
struct ExpOp {
  static float arg(float x) { return x; }
  static float finish(float, float e, UnaryParams) { return e; }
};
// Sigmoid, and x times it (the SiLU mode fusion gives a Sigmoid read only by
// that product), for one block whose exponentials e = exp(-x) are known.
// A NaN comes out as the NaN that went in (exp(-x) would flip its sign), so
// x * Sigmoid(x) has the same bits whichever operand of the product the
// compiled multiply propagates. Written with vector operations because the
// compiler will not turn the NaN test into a select in a loop holding a
// division; each lane does the scalar tail's operations, so the results do
// not depend on the vector width or on where blocks end.
#if defined(__x86_64__)
// Eight lanes where the CPU has AVX2 (about twice the four-lane speed, the
// division being most of the work); returns how many elements it did.
template <bool kTimesX>
[[gnu::target("avx2")]] uint64_t sigmoid_block_avx2(const float* x, const float* e, float* y,
                                                    uint64_t len) {
  const __m256 one = _mm256_set1_ps(1.0f);
  uint64_t k = 0;
  for (; k + 8 <= len; k += 8) {
    const __m256 xv = _mm256_loadu_ps(x + k);
    const __m256 nan = _mm256_cmp_ps(xv, xv, _CMP_UNORD_Q);
    __m256 g = _mm256_div_ps(one, _mm256_add_ps(one, _mm256_loadu_ps(e + k)));
    g = _mm256_blendv_ps(g, xv, nan);
    if (kTimesX) g = _mm256_mul_ps(xv, g);
    _mm256_storeu_ps(y + k, g);
  }
  return k;
}

bool cpu_has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

template <bool kTimesX>
void sigmoid_block(const float* x, const float* e, float* y, uint64_t len) {
  uint64_t k = 0;
#if defined(__x86_64__)
  if (cpu_has_avx2()) k = sigmoid_block_avx2<kTimesX>(x, e, y, len);
#endif
#if defined(__SSE2__)
  const __m128 one = _mm_set1_ps(1.0f);
  for (; k + 4 <= len; k += 4) {
    const __m128 xv = _mm_loadu_ps(x + k);
    const __m128 nan = _mm_cmpunord_ps(xv, xv);
    __m128 g = _mm_div_ps(one, _mm_add_ps(one, _mm_loadu_ps(e + k)));
    g = _mm_or_ps(_mm_and_ps(nan, xv), _mm_andnot_ps(nan, g));
    if (kTimesX) g = _mm_mul_ps(xv, g);
    _mm_storeu_ps(y + k, g);
  }
#endif
  for (; k < len; ++k) {
    const float g = 1.0f / (1.0f + e[k]);
    const float v = x[k] != x[k] ? x[k] : g;
    y[k] = kTimesX ? x[k] * v : v;
  }
}
struct SigmoidOp {
  static float arg(float x) { return -x; }
  static void finish_block(const float* x, const float* e, float* y, uint64_t len, UnaryParams) {
    sigmoid_block<false>(x, e, y, len);
  }
};
struct SiluOp {
  static float arg(float x) { return -x; }
  static void finish_block(const float* x, const float* e, float* y, uint64_t len, UnaryParams) {
    sigmoid_block<true>(x, e, y, len);
  }
};
struct EluOp {
  static float arg(float x) { return x; }
  static float finish(float x, float e, UnaryParams p) { return x >= 0.0f ? x : p.a * (e - 1.0f); }
};
// p.a = alpha, p.b = gamma.
struct SeluOp {
  static float arg(float x) { return x; }
  static float finish(float x, float e, UnaryParams p) { return x > 0.0f ? p.b * x : p.b * (p.a * (e - 1.0f)); }
};

constexpr uint64_t kExpBlock = 256;

template <class Op>
void exp_unary_apply(const float* x, float* y, uint64_t n, UnaryParams p) {
  for_chunks(n, kParallelHeavyElements, [&](uint64_t begin, uint64_t end) {
    float e[kExpBlock];
    for (uint64_t i = begin; i < end; i += kExpBlock) {
      const uint64_t len = std::min(kExpBlock, end - i);
      for (uint64_t k = 0; k < len; ++k) e[k] = Op::arg(x[i + k]);
      vec_exp(e, e, len);
      // x is read again here, so Y may share X's buffer.
      if constexpr (requires { &Op::finish_block; })
        Op::finish_block(x + i, e, y + i, len, p);
      else
        for (uint64_t k = 0; k < len; ++k) y[i + k] = Op::finish(x[i + k], e[k], p);
    }
  });
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
void unary_apply(const float* x, float* y, uint64_t n, UnaryParams p) {
#if defined(__x86_64__)
  const bool wide = !Op::kHeavy && cpu_has_avx2_fma();
#else
  const bool wide = false;
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
    case op::Relu: unary_apply<ReluOp>(x, y, n, p); break;
    case op::Sigmoid:
      if (node.attr(attr::Sigmoid::kMode) == attr::Sigmoid::kSiLU)
        exp_unary_apply<SiluOp>(x, y, n, p);
      else
        exp_unary_apply<SigmoidOp>(x, y, n, p);
      break;
    case op::HardSigmoid: unary_apply<HardSigmoidOp>(x, y, n, p); break;
    case op::HardSwish: unary_apply<HardSwishOp>(x, y, n, p); break;
    case op::LeakyRelu: unary_apply<LeakyReluOp>(x, y, n, p); break;
    case op::Clip: unary_apply<ClipOp>(x, y, n, p); break;
    case op::Sqrt: unary_apply<SqrtOp>(x, y, n, p); break;
    case op::Exp: exp_unary_apply<ExpOp>(x, y, n, p); break;
    case op::Tanh: unary_apply<TanhOp>(x, y, n, p); break;
    case op::Cos: unary_apply<CosOp>(x, y, n, p); break;
    case op::Sin: unary_apply<SinOp>(x, y, n, p); break;
    case op::Log: unary_apply<LogOp>(x, y, n, p); break;
    case op::Abs: unary_apply<AbsOp>(x, y, n, p); break;
    case op::Neg: unary_apply<NegOp>(x, y, n, p); break;
    case op::Floor: unary_apply<FloorOp>(x, y, n, p); break;
    case op::Ceil: unary_apply<CeilOp>(x, y, n, p); break;
    case op::Round: unary_apply<RoundOp>(x, y, n, p); break;
    case op::Reciprocal: unary_apply<ReciprocalOp>(x, y, n, p); break;
    case op::Elu: exp_unary_apply<EluOp>(x, y, n, UnaryParams{f32_or(p.a, 1.0f), 0.0f}); break;
    case op::Selu:
      exp_unary_apply<SeluOp>(x, y, n, UnaryParams{f32_or(p.a, 1.6732632f), f32_or(p.b, 1.0507010f)});
      break;
    case op::Not: unary_apply<NotOp>(x, y, n, p); break;
    case op::Cast:
      if (node.attr(attr::Cast::kTo) == attr::Cast::kToBool)
        unary_apply<CastBoolOp>(x, y, n, p);
      else
        unary_apply<CastTruncOp>(x, y, n, p);
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
