// Reference loops for the elementwise operators, written from the operator
// definitions: broadcasting by explicit multi-indices and one scalar formula
// per operator. Slow on purpose; kernel tests compare against them.
#pragma once
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "container/op_codes.h"

namespace vorn::ref {

using Dims = std::vector<uint64_t>;

inline uint64_t count_of(const Dims& d) {
  uint64_t n = 1;
  for (uint64_t x : d) n *= x;
  return n;
}

// Numpy broadcasting of two shapes (assumed compatible).
inline Dims broadcast_dims(const Dims& a, const Dims& b) {
  const size_t r = a.size() > b.size() ? a.size() : b.size();
  Dims out(r);
  for (size_t i = 0; i < r; ++i) {
    const uint64_t da = i + a.size() >= r ? a[i + a.size() - r] : 1;
    const uint64_t db = i + b.size() >= r ? b[i + b.size() - r] : 1;
    out[i] = da == 1 ? db : da;
  }
  return out;
}

// Flat index into `in` (right-aligned to `out`) of the element that output
// multi-index `idx` reads: axes where `in` has dim 1 read index 0.
inline uint64_t source_index(const Dims& idx, const Dims& out, const Dims& in) {
  uint64_t flat = 0;
  const size_t shift = out.size() - in.size();
  for (size_t i = 0; i < in.size(); ++i) {
    const uint64_t c = in[i] == 1 ? 0 : idx[i + shift];
    flat = flat * in[i] + c;
  }
  return flat;
}

inline Dims unflatten(uint64_t flat, const Dims& dims) {
  Dims idx(dims.size());
  for (size_t i = dims.size(); i-- > 0;) {
    idx[i] = flat % dims[i];
    flat /= dims[i];
  }
  return idx;
}

inline std::vector<float> broadcast_binary(const std::vector<float>& a, const Dims& da,
                                           const std::vector<float>& b, const Dims& db,
                                           const std::function<float(float, float)>& f) {
  const Dims out = broadcast_dims(da, db);
  std::vector<float> y(count_of(out));
  for (uint64_t i = 0; i < y.size(); ++i) {
    const Dims idx = unflatten(i, out);
    y[i] = f(a[source_index(idx, out, da)], b[source_index(idx, out, db)]);
  }
  return y;
}

// Output element i of X broadcast to `out`.
inline std::vector<float> expand(const std::vector<float>& x, const Dims& dx, const Dims& out) {
  std::vector<float> y(count_of(out));
  for (uint64_t i = 0; i < y.size(); ++i) y[i] = x[source_index(unflatten(i, out), out, dx)];
  return y;
}

// Scalar definitions of the binary operators by operator code (Greater with
// its or-equal word folded into `mode`; for Mod, `mode` is the fmod flag).
inline std::function<float(float, float)> binary_op(uint64_t code, uint64_t mode = 0) {
  switch (code) {
    case op::Sub: return [](float a, float b) { return a - b; };
    case op::Div: return [](float a, float b) { return a / b; };
    case op::Add: return [](float a, float b) { return a + b; };
    case op::Mul: return [](float a, float b) { return a * b; };
    case op::Equal: return [](float a, float b) { return a == b ? 1.0f : 0.0f; };
    case op::Less: return [](float a, float b) { return a < b ? 1.0f : 0.0f; };
    case op::Max: return [](float a, float b) { return std::isnan(a) || std::isnan(b) ? b : (a >= b ? a : b); };
    case op::Min: return [](float a, float b) { return std::isnan(a) || std::isnan(b) ? b : (a <= b ? a : b); };
    case op::Mod:
      if (mode == 1) return [](float a, float b) { return std::fmod(a, b); };
      return [](float a, float b) {  // floor modulo: the remainder takes b's sign
        double r = std::fmod(double(a), double(b));
        if (r != 0 && (r < 0) != (b < 0)) r += b;
        return float(r);
      };
    case op::Greater:
      if (mode == 1) return [](float a, float b) { return a >= b ? 1.0f : 0.0f; };
      if (mode == 2) return [](float a, float b) { return a <= b ? 1.0f : 0.0f; };
      return [](float a, float b) { return a > b ? 1.0f : 0.0f; };
    case op::And: return [](float a, float b) { return (a != 0 && b != 0) ? 1.0f : 0.0f; };
    case op::Or: return [](float a, float b) { return (a != 0 || b != 0) ? 1.0f : 0.0f; };
  }
  return nullptr;
}

struct UnaryRef {
  uint64_t code;
  const char* name;
  float p14, p15;                   // attribute words 14 and 15 as f32
  std::function<float(float)> f;
  bool libm;                        // computed through a libm function (compared within 2 ulp)
};

inline float relu(float x) { return x >= 0 ? x : 0.0f; }
inline float clamp01_nan(float v) { return std::isnan(v) ? v : std::fmin(1.0f, std::fmax(0.0f, v)); }

// Each operator with one parameter set; x is one element.
inline std::vector<UnaryRef> unary_ops() {
  return {
      {op::Relu, "Relu", 0, 0, [](float x) { return relu(x); }, false},
      {op::Sigmoid, "Sigmoid", 0, 0, [](float x) { return 1.0f / (1.0f + std::exp(-x)); }, true},
      {op::HardSigmoid, "HardSigmoid", 0.2f, 0.5f, [](float x) { return clamp01_nan(0.2f * x + 0.5f); }, false},
      {op::HardSwish, "HardSwish", 0, 0, [](float x) { return x * clamp01_nan(x * 0.16666667f + 0.5f); }, false},
      {op::LeakyRelu, "LeakyRelu", 0.1f, 0, [](float x) { return std::isnan(x) ? x : (x >= 0 ? x : 0.1f * x); }, false},
      {op::Clip, "Clip", -1.5f, 2.0f, [](float x) { return std::isnan(x) ? x : std::fmin(2.0f, std::fmax(-1.5f, x)); }, false},
      {op::Sqrt, "Sqrt", 0, 0, [](float x) { return std::sqrt(x); }, false},
      {op::Exp, "Exp", 0, 0, [](float x) { return std::exp(x); }, true},
      {op::Tanh, "Tanh", 0, 0, [](float x) { return std::tanh(x); }, true},
      {op::Cos, "Cos", 0, 0, [](float x) { return std::cos(x); }, true},
      {op::Sin, "Sin", 0, 0, [](float x) { return std::sin(x); }, true},
      {op::Log, "Log", 0, 0, [](float x) { return std::log(x); }, true},
      {op::Abs, "Abs", 0, 0, [](float x) { return std::fabs(x); }, false},
      {op::Neg, "Neg", 0, 0, [](float x) { return -x; }, false},
      {op::Floor, "Floor", 0, 0, [](float x) { return std::floor(x); }, false},
      {op::Ceil, "Ceil", 0, 0, [](float x) { return std::ceil(x); }, false},
      // Default rounding mode: nearest, halves to even.
      {op::Round, "Round", 0, 0, [](float x) { return std::nearbyint(x); }, false},
      {op::Reciprocal, "Reciprocal", 0, 0, [](float x) { return 1.0f / x; }, false},
      {op::Elu, "Elu", 0.7f, 0, [](float x) { return x >= 0 ? x : 0.7f * (std::exp(x) - 1.0f); }, true},
      {op::Selu, "Selu", 1.5f, 1.25f, [](float x) { return x > 0 ? 1.25f * x : 1.25f * (1.5f * (std::exp(x) - 1.0f)); }, true},
      {op::Not, "Not", 0, 0, [](float x) { return x == 0 ? 1.0f : 0.0f; }, false},
  };
}

// Cast: to bool (ONNX type 9) any non-zero (NaN included) is 1; to any other
// type the value is truncated toward zero, with -0.0 results as +0.0 for
// negative inputs.
inline float cast(float x, uint64_t target) {
  if (target == 9) return (x != 0 || std::isnan(x)) ? 1.0f : 0.0f;
  if (std::isnan(x)) return x;
  if (x >= 0) return std::trunc(x);
  const float t = std::trunc(x);
  return t == 0 ? 0.0f : t;
}

// PRelu with one slope per (batch, channel) row, cycling through the slopes.
inline std::vector<float> prelu(const std::vector<float>& x, const Dims& dx,
                                const std::vector<float>& slope) {
  const uint64_t rows = dx.empty() ? 1 : dx[0] * (dx.size() > 1 ? dx[1] : 1);
  std::vector<float> y(x.size());
  if (rows == 0) return y;
  const uint64_t len = x.size() / rows;
  for (uint64_t i = 0; i < x.size(); ++i) {
    const float a = slope[(i / len) % slope.size()];
    y[i] = x[i] >= 0 || std::isnan(x[i]) ? x[i] : a * x[i];
  }
  return y;
}

}  // namespace vorn::ref
