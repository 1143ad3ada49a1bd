// Elementwise evaluators: unary functions, binary functions with
// broadcasting, select and clamp. The output's axes are merged wherever
// every operand steps through them evenly, so a broadcast of a per-channel
// value over NCHW data becomes long runs in which each operand either
// advances, repeats one value, or (rarely) is gathered into a small buffer.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graph_layer_eval.h"
#include "platform/graph_layer_evaluators.h"
#include "platform/half.h"
#include "platform/vector_math.h"

// Elementwise loops are the whole of these evaluators: vectorised as the CPU
// engine's kernels are (NaN handling is written as selects); GCC runs its
// full vectoriser only from -O3 and without trapping math.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3", "no-trapping-math")
#endif

namespace vorn::mpsg {

namespace {

constexpr int64_t kChunk = 1024;
constexpr int64_t kSegment = 16384;  // elements of one work item of a long run

// Output shape and per-operand strides with mergeable axes merged and axes
// of size 1 dropped; at least one axis remains. Fixed arrays: evaluations
// allocate nothing.
struct Walk {
  size_t rank = 0;
  int64_t dims[kMaxRank];
  int64_t strides[kMaxChainOperands][kMaxRank];
  size_t operands = 0;
  int64_t inner_stride(size_t k) const { return strides[k][rank - 1]; }
};

Walk make_walk(const Shape& out, const Value* const* in, size_t count) {
  Walk w;
  w.operands = count;
  int64_t s[kMaxChainOperands][kMaxRank];
  for (size_t k = 0; k < count; ++k) {
    const Value& v = *in[k];
    const size_t lead = out.size() - v.shape.size();
    for (size_t i = 0; i < out.size(); ++i)
      s[k][i] = i < lead || v.shape[i - lead] == 1 ? 0 : v.strides[i - lead];
  }
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 1) continue;
    if (w.rank > 0) {
      bool merge = true;
      for (size_t k = 0; k < count && merge; ++k) merge = w.strides[k][w.rank - 1] == s[k][i] * out[i];
      if (merge) {
        w.dims[w.rank - 1] *= out[i];
        for (size_t k = 0; k < count; ++k) w.strides[k][w.rank - 1] = s[k][i];
        continue;
      }
    }
    w.dims[w.rank] = out[i];
    for (size_t k = 0; k < count; ++k) w.strides[k][w.rank] = s[k][i];
    ++w.rank;
  }
  if (w.rank == 0) {
    w.dims[0] = 1;
    for (size_t k = 0; k < count; ++k) w.strides[k][0] = 0;
    w.rank = 1;
  }
  return w;
}

// One operand's values for a piece of a run: a pointer that advances, one
// repeated value, or a gathered copy in buf.
struct Piece {
  const float* p;
  bool runs;
};

Piece piece(const Value& v, int64_t first, int64_t step, int64_t n, float* buf, bool need_runs) {
  if (step == 0 && !need_runs) {
    read_part(v, first, 1, 1, buf);
    return {buf, false};
  }
  if (step == 1 && v.storage == DataType::kFloat32)
    return {reinterpret_cast<const float*>(v.base) + first, true};
  if (step == 0) {
    float x;
    read_part(v, first, 1, 1, &x);
    std::fill(buf, buf + n, x);
    return {buf, true};
  }
  read_part(v, first, step, n, buf);
  return {buf, true};
}

// Calls body(out offset, operand offsets, n) for every piece of the walk,
// pieces of at most kSegment elements spread over the pool.
template <class Body>
void walk_pieces(const Walk& w, Body body) {
  const int64_t inner = w.dims[w.rank - 1];
  int64_t rows = 1;
  for (size_t d = 0; d + 1 < w.rank; ++d) rows *= w.dims[d];
  const int64_t segs = std::max<int64_t>(1, (inner + kSegment - 1) / kSegment);
  if (inner == 0 || rows == 0) return;
  for_rows(rows * segs, std::min(inner, kSegment), [&](int64_t item) {
    const int64_t r = item / segs, seg = item % segs;
    const int64_t begin = seg * kSegment, n = std::min(kSegment, inner - begin);
    int64_t off[kMaxChainOperands] = {};
    int64_t rest = r;
    for (size_t d = w.rank - 1; d-- > 0;) {
      const int64_t idx = rest % w.dims[d];
      rest /= w.dims[d];
      for (size_t k = 0; k < w.operands; ++k) off[k] += idx * w.strides[k][d];
    }
    for (size_t k = 0; k < w.operands; ++k) off[k] += begin * w.strides[k][w.rank - 1];
    body(r * inner + begin, off, n);
  });
}

// Outputs whose innermost merged run is this short are walked in blocks of
// kChunk elements across rows instead, each operand gathered block by block
// (a per-row piece would cost more than its few elements).
constexpr int64_t kShortRun = 32;

bool short_runs(const Walk& w) { return w.rank > 1 && w.dims[w.rank - 1] < kShortRun; }

// n values of operand k for the output elements o, o + 1, ... (row-major
// over the walk's dims), gathered into buf.
void gather(const Walk& w, size_t k, const Value& v, int64_t o, int64_t n, float* buf) {
  int64_t idx[kMaxRank];
  int64_t rest = o, off = 0;
  for (size_t d = w.rank; d-- > 0;) {
    idx[d] = rest % w.dims[d];
    rest /= w.dims[d];
    off += idx[d] * w.strides[k][d];
  }
  const size_t last = w.rank - 1;
  const int64_t inner = w.dims[last], step = w.strides[k][last];
  for (int64_t i = 0; i < n;) {
    const int64_t run = std::min(inner - idx[last], n - i);
    read_part(v, off, step, run, buf + i);
    i += run;
    off += run * step;
    idx[last] += run;
    if (idx[last] < inner) continue;
    off -= inner * step;
    idx[last] = 0;
    for (size_t d = last; d-- > 0;) {
      off += w.strides[k][d];
      if (++idx[d] < w.dims[d]) break;
      off -= w.dims[d] * w.strides[k][d];
      idx[d] = 0;
    }
  }
}

// Calls body(o, n) for blocks of at most kChunk output elements, spread
// over the pool.
template <class Body>
void walk_blocks(const Walk& w, Body body) {
  int64_t total = 1;
  for (size_t d = 0; d < w.rank; ++d) total *= w.dims[d];
  for_rows((total + kChunk - 1) / kChunk, kChunk, [&](int64_t b) { body(b * kChunk, std::min(kChunk, total - b * kChunk)); });
}

// --- functions ----------------------------------------------------------

float round_half_even(float x) {
  float r = std::round(x);
  if (std::fabs(x - std::trunc(x)) == 0.5f) r = 2.0f * std::round(x * 0.5f);
  return r;
}

void unary_block(UnaryFunction f, float param, const float* x, float* y, int64_t n) {
  switch (f) {
    case UnaryFunction::kReLU:
      for (int64_t i = 0; i < n; ++i) y[i] = x[i] >= 0.0f ? x[i] : 0.0f;
      break;
    case UnaryFunction::kLeakyReLU:
      for (int64_t i = 0; i < n; ++i) y[i] = x[i] >= 0.0f ? x[i] : param * x[i];
      break;
    case UnaryFunction::kSigmoid: vec_sigmoid(x, y, size_t(n)); break;
    case UnaryFunction::kSiLU: vec_silu(x, y, size_t(n)); break;
    case UnaryFunction::kErf: vec_erf(x, y, size_t(n)); break;
    case UnaryFunction::kSquareRoot:
      for (int64_t i = 0; i < n; ++i) y[i] = std::sqrt(x[i]);
      break;
    case UnaryFunction::kExponent: vec_exp(x, y, size_t(n)); break;
    case UnaryFunction::kTanh:
      for (int64_t i = 0; i < n; ++i) y[i] = std::tanh(x[i]);
      break;
    case UnaryFunction::kCos:
      for (int64_t i = 0; i < n; ++i) y[i] = std::cos(x[i]);
      break;
    case UnaryFunction::kSin:
      for (int64_t i = 0; i < n; ++i) y[i] = std::sin(x[i]);
      break;
    case UnaryFunction::kLogarithm:
      for (int64_t i = 0; i < n; ++i) y[i] = std::log(x[i]);
      break;
    case UnaryFunction::kAbsolute:
      for (int64_t i = 0; i < n; ++i) y[i] = std::fabs(x[i]);
      break;
    case UnaryFunction::kNegative:
      for (int64_t i = 0; i < n; ++i) y[i] = -x[i];
      break;
    case UnaryFunction::kFloor:
      for (int64_t i = 0; i < n; ++i) y[i] = std::floor(x[i]);
      break;
    case UnaryFunction::kCeil:
      for (int64_t i = 0; i < n; ++i) y[i] = std::ceil(x[i]);
      break;
    case UnaryFunction::kRound:
      for (int64_t i = 0; i < n; ++i) y[i] = round_half_even(x[i]);
      break;
    case UnaryFunction::kReciprocal:
      for (int64_t i = 0; i < n; ++i) y[i] = 1.0f / x[i];
      break;
    case UnaryFunction::kTruncate:
      for (int64_t i = 0; i < n; ++i) y[i] = x[i] >= 0.0f ? std::floor(x[i]) : std::ceil(x[i]) + 0.0f;
      break;
  }
}

struct Add { static float f(float a, float b) { return a + b; } };
struct Sub { static float f(float a, float b) { return a - b; } };
struct Mul { static float f(float a, float b) { return a * b; } };
struct Div { static float f(float a, float b) { return a / b; } };
// A NaN operand makes the comparison false, so b comes out.
struct Max { static float f(float a, float b) { return a >= b ? a : b; } };
struct Min { static float f(float a, float b) { return a <= b ? a : b; } };
struct Modulo {
  static float f(float a, float b) {
    const float r = std::fmod(a, b);
    return (r != 0.0f && ((r < 0.0f) != (b < 0.0f))) ? r + b : r;
  }
};
struct Remainder { static float f(float a, float b) { return std::fmod(a, b); } };
struct Equal { static float f(float a, float b) { return a == b ? 1.0f : 0.0f; } };
struct NotEqual { static float f(float a, float b) { return a != b ? 1.0f : 0.0f; } };
struct Greater { static float f(float a, float b) { return a > b ? 1.0f : 0.0f; } };
struct GreaterOrEqual { static float f(float a, float b) { return a >= b ? 1.0f : 0.0f; } };
struct Less { static float f(float a, float b) { return a < b ? 1.0f : 0.0f; } };
struct LessOrEqual { static float f(float a, float b) { return a <= b ? 1.0f : 0.0f; } };

template <class Op>
void binary_run(Piece a, Piece b, float* y, int64_t n) {
  if (a.runs && b.runs) {
    for (int64_t i = 0; i < n; ++i) y[i] = Op::f(a.p[i], b.p[i]);
  } else if (a.runs) {
    const float bv = b.p[0];
    for (int64_t i = 0; i < n; ++i) y[i] = Op::f(a.p[i], bv);
  } else if (b.runs) {
    const float av = a.p[0];
    for (int64_t i = 0; i < n; ++i) y[i] = Op::f(av, b.p[i]);
  } else {
    const float v = Op::f(a.p[0], b.p[0]);
    for (int64_t i = 0; i < n; ++i) y[i] = v;
  }
}

using BinaryRun = void (*)(Piece, Piece, float*, int64_t);
BinaryRun binary_for(BinaryFunction f) {
  switch (f) {
    case BinaryFunction::kAddition: return binary_run<Add>;
    case BinaryFunction::kSubtraction: return binary_run<Sub>;
    case BinaryFunction::kMultiplication: return binary_run<Mul>;
    case BinaryFunction::kDivision: return binary_run<Div>;
    case BinaryFunction::kMaximum: return binary_run<Max>;
    case BinaryFunction::kMinimum: return binary_run<Min>;
    case BinaryFunction::kModulo: return binary_run<Modulo>;
    case BinaryFunction::kRemainder: return binary_run<Remainder>;
    case BinaryFunction::kEqual: return binary_run<Equal>;
    case BinaryFunction::kNotEqual: return binary_run<NotEqual>;
    case BinaryFunction::kGreater: return binary_run<Greater>;
    case BinaryFunction::kGreaterOrEqual: return binary_run<GreaterOrEqual>;
    case BinaryFunction::kLess: return binary_run<Less>;
    case BinaryFunction::kLessOrEqual: return binary_run<LessOrEqual>;
  }
  return binary_run<Add>;
}

void round_half_in_place(float* p, int64_t n) {
  uint16_t h[kChunk];
  for (int64_t i = 0; i < n; i += kChunk) {
    const size_t m = size_t(std::min(kChunk, n - i));
    float_to_half_n(p + i, h, m);
    half_to_float_n(h, p + i, m);
  }
}

}  // namespace

bool eval_unary(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  const Value* ins[1] = {in[0]};
  const Walk w = make_walk(n.shape, ins, 1);
  float* y = out_floats(out);
  const UnaryFunction f = UnaryFunction(n.ints[0]);
  const bool half = n.type == DataType::kFloat16;
  if (short_runs(w)) {
    walk_blocks(w, [&](int64_t o, int64_t m) {
      float buf[kChunk];
      gather(w, 0, *in[0], o, m, buf);
      unary_block(f, n.real, buf, y + o, m);
      if (half) round_half_in_place(y + o, m);
    });
    return true;
  }
  walk_pieces(w, [&](int64_t o, const int64_t* off, int64_t len) {
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      float buf[kChunk];
      const Piece x = piece(*in[0], off[0] + c * w.inner_stride(0), w.inner_stride(0), m, buf, true);
      unary_block(f, n.real, x.p, y + o + c, m);
      if (half) round_half_in_place(y + o + c, m);
    }
  });
  return true;
}

bool eval_binary_function(BinaryFunction f, const Node& n, const Value* const* in, const Value& out) {
  const Walk w = make_walk(n.shape, in, 2);
  float* y = out_floats(out);
  const BinaryRun run = binary_for(f);
  const bool half = n.type == DataType::kFloat16;
  const int64_t sa = w.inner_stride(0), sb = w.inner_stride(1);
  if (short_runs(w)) {
    walk_blocks(w, [&](int64_t o, int64_t m) {
      float ba[kChunk], bb[kChunk];
      gather(w, 0, *in[0], o, m, ba);
      gather(w, 1, *in[1], o, m, bb);
      run(Piece{ba, true}, Piece{bb, true}, y + o, m);
      if (half) round_half_in_place(y + o, m);
    });
    return true;
  }
  walk_pieces(w, [&](int64_t o, const int64_t* off, int64_t len) {
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      float ba[kChunk], bb[kChunk];
      const Piece a = piece(*in[0], off[0] + c * sa, sa, m, ba, false);
      const Piece b = piece(*in[1], off[1] + c * sb, sb, m, bb, false);
      run(a, b, y + o + c, m);
      if (half) round_half_in_place(y + o + c, m);
    }
  });
  return true;
}

bool eval_binary(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  return eval_binary_function(BinaryFunction(n.ints[0]), n, in, out);
}

bool eval_addition(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  return eval_binary_function(BinaryFunction::kAddition, n, in, out);
}

// select (predicate, onTrue, onFalse) and clamp (x, low, high): three
// operands read as runs.
template <bool kSelect>
bool eval_ternary(const Node& n, const Value* const* in, const Value& out) {
  const Walk w = make_walk(n.shape, in, 3);
  float* y = out_floats(out);
  const bool half = n.type == DataType::kFloat16;
  const bool blocks = short_runs(w);
  auto apply = [&](int64_t o, const int64_t* off, int64_t len) {
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      float b0[kChunk], b1[kChunk], b2[kChunk];
      const float *p0 = b0, *p1 = b1, *p2 = b2;
      if (blocks) {
        gather(w, 0, *in[0], o, m, b0);
        gather(w, 1, *in[1], o, m, b1);
        gather(w, 2, *in[2], o, m, b2);
      } else {
        p0 = piece(*in[0], off[0] + c * w.inner_stride(0), w.inner_stride(0), m, b0, true).p;
        p1 = piece(*in[1], off[1] + c * w.inner_stride(1), w.inner_stride(1), m, b1, true).p;
        p2 = piece(*in[2], off[2] + c * w.inner_stride(2), w.inner_stride(2), m, b2, true).p;
      }
      float* yo = y + o + c;
      if (kSelect) {
        for (int64_t i = 0; i < m; ++i) yo[i] = p0[i] != 0.0f ? p1[i] : p2[i];
      } else {
        for (int64_t i = 0; i < m; ++i) {
          const float v = p0[i] < p1[i] ? p1[i] : p0[i];
          yo[i] = v > p2[i] ? p2[i] : v;
        }
      }
      if (half) round_half_in_place(yo, m);
    }
  };
  if (blocks) {
    walk_blocks(w, [&](int64_t o, int64_t m) { apply(o, nullptr, m); });
  } else {
    walk_pieces(w, apply);
  }
  return true;
}

// A chain of elementwise operations in one pass: per piece of the output,
// each link computes into one of two small buffers from the previous link's
// values and external operands, rounding to float16 where its tensor is
// float16, and the last link writes the output.
bool eval_chain(const ChainLink* links, size_t count, const Value* const* ext, size_t ext_count, const Value& out) {
  const Walk w = make_walk(out.shape, ext, ext_count);
  float* y = out_floats(out);
  const bool blocks = short_runs(w);
  auto apply = [&](int64_t o, const int64_t* off, int64_t len) {
    for (int64_t c = 0; c < len; c += kChunk) {
      const int64_t m = std::min(kChunk, len - c);
      float eb[kMaxChainOperands][kChunk];
      Piece ep[kMaxChainOperands];
      for (size_t k = 0; k < ext_count; ++k) {
        if (blocks) {
          gather(w, k, *ext[k], o, m, eb[k]);
          ep[k] = Piece{eb[k], true};
        } else {
          ep[k] = piece(*ext[k], off[k] + c * w.inner_stride(k), w.inner_stride(k), m, eb[k], false);
        }
      }
      float buf[2][kChunk], fill[3][kChunk];
      const float* prev = nullptr;
      for (size_t i = 0; i < count; ++i) {
        const ChainLink& l = links[i];
        const Node& n = *l.node;
        float* dst = i + 1 == count ? y + o + c : buf[i % 2];
        Piece op[3];
        for (size_t a = 0; a < n.inputs.size() && a < 3; ++a) op[a] = l.operand[a] < 0 ? Piece{prev, true} : ep[l.operand[a]];
        // Operations that read every operand as a run get repeated values
        // spread out.
        auto runs = [&](size_t a) {
          if (op[a].runs) return op[a].p;
          std::fill(fill[a], fill[a] + m, op[a].p[0]);
          return static_cast<const float*>(fill[a]);
        };
        switch (n.op) {
          case Operation::kUnary: unary_block(UnaryFunction(n.ints[0]), n.real, runs(0), dst, m); break;
          case Operation::kAddition: binary_run<Add>(op[0], op[1], dst, m); break;
          case Operation::kBinary: binary_for(BinaryFunction(n.ints[0]))(op[0], op[1], dst, m); break;
          case Operation::kSelect: {
            const float *p = runs(0), *t = runs(1), *f = runs(2);
            for (int64_t j = 0; j < m; ++j) dst[j] = p[j] != 0.0f ? t[j] : f[j];
            break;
          }
          default: {  // clamp
            const float *x = runs(0), *lo = runs(1), *hi = runs(2);
            for (int64_t j = 0; j < m; ++j) {
              const float v = x[j] < lo[j] ? lo[j] : x[j];
              dst[j] = v > hi[j] ? hi[j] : v;
            }
          }
        }
        if (n.type == DataType::kFloat16) round_half_in_place(dst, m);
        prev = dst;
      }
    }
  };
  if (blocks) {
    walk_blocks(w, [&](int64_t o, int64_t m) { apply(o, nullptr, m); });
  } else {
    walk_pieces(w, apply);
  }
  return true;
}

bool eval_select(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  return eval_ternary<true>(n, in, out);
}
bool eval_clamp(const Node& n, const Value* const* in, size_t, const Value& out, float*, std::string*) {
  return eval_ternary<false>(n, in, out);
}

}  // namespace vorn::mpsg
