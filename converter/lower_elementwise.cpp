// Lowering rules of the elementwise family: unary and binary operators,
// Clip, PRelu, and Identity and Cast.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

namespace {

float scalar_fold(uint64_t op, float x) {
  switch (op) {
    case op::Sqrt: return std::sqrt(x);
    case op::Exp: return std::exp(x);
    case op::Tanh: return std::tanh(x);
    case op::Cos: return std::cos(x);
    case op::Sin: return std::sin(x);
    case op::Log: return std::log(x);
    case op::Abs: return std::fabs(x);
    case op::Neg: return -x;
    case op::Floor: return std::floor(x);
    case op::Ceil: return std::ceil(x);
    case op::Round: return std::nearbyint(x);  // halves to even, as the kernel rounds
    case op::Reciprocal: return 1.0f / x;
    default: return x;
  }
}

bool scalar_foldable(uint64_t op) {
  switch (op) {
    case op::Sqrt: case op::Exp: case op::Tanh: case op::Cos: case op::Sin: case op::Log: case op::Abs:
    case op::Neg: case op::Floor: case op::Ceil: case op::Round: case op::Reciprocal:
      return true;
    default:
      return false;
  }
}

}  // namespace

// What every elementwise operator does first: int64 constants of Abs, Neg
// and Not are evaluated, the output takes the input's shape, a one-element
// constant input is evaluated, and in options mode an int64 input computed
// at run time is refused. False when the pass stopped; *done when nothing
// is left to do for the node.
bool elementwise_prologue(Lower& L, BuilderNode& n, bool* done) {
  *done = true;
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.options ? L.refuse("input 0 is missing") : true;
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  if ((op == op::Abs || op == op::Neg || op == op::Not) && L.i64_data(in)) {
    const uint8_t* src = x.data;
    uint64_t count = x.size / 8;
    int64_t* p = i64_result(L, n, count);
    if (p != nullptr)
      for (uint64_t i = 0; i < count; ++i) {
        int64_t v = raw_i64(src, i);
        p[i] = op == op::Abs ? (v < 0 ? wrap_sub(0, v) : v) : op == op::Neg ? wrap_sub(0, v) : (v == 0 ? 1 : 0);
      }
    return true;
  }
  copy_shape(y, x);
  if (scalar_foldable(op) && x.elem != kElemI64 && x.data != nullptr && x.size == 4) {
    uint64_t one[1] = {1};
    uint64_t keep_rank = y.rank, keep_dims[kBuilderRank];
    std::memcpy(keep_dims, y.dims, sizeof keep_dims);
    float v = scalar_fold(op, raw_f32(x.data, 0));
    float* p = reinterpret_cast<float*>(builder_set_const_data(L.s, out, kElemF32, 1, one));
    if (p != nullptr) {
      *p = v;
      set_shape(y, keep_rank, keep_dims);
      if (L.options) {
        y.kind = y.kind == kValueGraphOutput ? y.kind : kValueWeight;
        if (y.kind == kValueWeight) make_self_identity(n);
      }
    }
    return true;
  }
  if (L.options && x.elem == kElemI64 && x.kind != kValueGraphInput && x.data == nullptr && op != op::Not)
    return L.refuse("its int64 input is computed at run time");
  *done = false;
  return true;
}

bool lower_unary(Lower& L, BuilderNode& n) {
  bool done;
  return elementwise_prologue(L, n, &done);
}

namespace {

// Clip whose min or max is computed at run time: Max(x, min) and Min(., max),
// which both engines run with a one-element operand. A constant bound stays
// in a Clip's words. The node itself becomes the first step; the others are
// inserted after it with their shapes set here.
bool clip_by_max_min(Lower& L, BuilderNode& n, uint64_t lo, uint64_t hi) {
  const uint64_t x = n.input(0), out = n.output(0);
  for (uint64_t b : {lo, hi})
    if (L.valid(b) && !L.has_data(b) && elem_count(L.v(b)) > 1)
      return L.refuse("a bound '%.*s' of more than one element", static_cast<int>(L.v(b).name_len),
                      reinterpret_cast<const char*>(L.v(b).name));
  struct Step {
    uint64_t op, bound;  // bound kNoIndex: a Clip with constant words
    float lo, hi;
  };
  Step steps[2];
  uint64_t count = 0;
  const bool lo_runtime = L.valid(lo) && !L.has_data(lo), hi_runtime = L.valid(hi) && !L.has_data(hi);
  auto constant = [&](uint64_t b, float fallback) {
    if (L.f32_data(b)) return raw_f32(L.v(b).data, 0);
    if (L.i64_data(b)) return static_cast<float>(raw_i64(L.v(b).data, 0));
    return fallback;
  };
  const float lo_c = constant(lo, -3.4028235e38f), hi_c = constant(hi, 3.4028235e38f);
  if (lo_runtime) steps[count++] = Step{op::Max, lo, 0, 0};
  else if (L.valid(lo)) steps[count++] = Step{op::Clip, kNoIndex, lo_c, 3.4028235e38f};
  if (hi_runtime) steps[count++] = Step{op::Min, hi, 0, 0};
  else if (L.valid(hi)) steps[count++] = Step{op::Clip, kNoIndex, -3.4028235e38f, hi_c};
  for (uint64_t b : {lo, hi})
    if (L.valid(b) && L.has_data(b)) L.v(b).padded_size = kConsumedMark;
  uint64_t src = x;
  for (uint64_t k = 0; k < count; ++k) {
    uint64_t dst = out;
    if (k + 1 < count) {
      dst = builder_derive_value(L.s, out, "#clip_low", 9);
      if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
    }
    BuilderNode* step = k == 0 ? &n : insert_after_current(L);
    if (step == nullptr) return L.refuse("the node table is full");
    const BuilderValue& a = L.v(src);
    if (steps[k].bound == kNoIndex) {
      copy_shape(L.v(dst), a);
    } else {
      const BuilderValue& b = L.v(steps[k].bound);
      uint64_t rank, dims[kBuilderRank] = {};
      if (!broadcast_shapes(a.rank, a.dims, b.rank, b.dims, &rank, dims)) return L.refuse("operand shapes do not broadcast");
      set_shape(L.v(dst), rank, dims);
    }
    step->w[0] = steps[k].op;
    step->w[1] = steps[k].bound == kNoIndex ? 1 : 2;
    step->w[2] = src;
    step->w[3] = steps[k].bound;
    for (int j = 4; j < 10; ++j) step->w[j] = kNoIndex;
    step->w[10] = 1;
    step->w[11] = dst;
    for (int j = 12; j < 15; ++j) step->w[j] = kNoIndex;
    builder_default_attrs(*step);
    if (steps[k].bound == kNoIndex) {
      step->attr(attr::Clip::kMin) = f32_bits(steps[k].lo);
      step->attr(attr::Clip::kMax) = f32_bits(steps[k].hi);
    }
    src = dst;
  }
  return true;
}

}  // namespace

bool lower_clip(Lower& L, BuilderNode& n) {
  bool done;
  if (!elementwise_prologue(L, n, &done)) return false;
  if (done) return true;
  const uint64_t lo_in = n.input_count() >= 2 ? n.input(1) : kNoIndex;
  const uint64_t hi_in = n.input_count() >= 3 ? n.input(2) : kNoIndex;
  if ((L.valid(lo_in) && !L.has_data(lo_in)) || (L.valid(hi_in) && !L.has_data(hi_in)))
    return clip_by_max_min(L, n, lo_in, hi_in);
  float lo = -3.4028235e38f, hi = 3.4028235e38f;
  if (n.input_count() >= 2 && L.f32_data(n.input(1))) lo = raw_f32(L.v(n.input(1)).data, 0);
  else if (n.input_count() >= 2 && L.i64_data(n.input(1))) lo = static_cast<float>(raw_i64(L.v(n.input(1)).data, 0));
  if (n.input_count() >= 3 && L.f32_data(n.input(2))) hi = raw_f32(L.v(n.input(2)).data, 0);
  else if (n.input_count() >= 3 && L.i64_data(n.input(2))) hi = static_cast<float>(raw_i64(L.v(n.input(2)).data, 0));
  // Opset 11 and later carry the bounds as inputs; earlier ones as
  // attributes min/max, which node import leaves in words 14 and 15.
  if (n.input_count() >= 2) {
    n.attr(attr::Clip::kMin) = f32_bits(lo);
    n.attr(attr::Clip::kMax) = f32_bits(hi);
  }
  for (uint64_t k = 1; k < 3 && k < n.input_count(); ++k)
    if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
  n.w[1] = 1;
  n.w[3] = n.w[4] = kNoIndex;
  return true;
}

// PRelu: the slope repeats per channel (dim 1) or is one value.
bool lower_prelu(Lower& L, BuilderNode& n) {
  bool done;
  if (!elementwise_prologue(L, n, &done)) return false;
  if (done) return true;
  const BuilderValue& x = L.v(n.input(0));
  if (L.options && n.input_count() >= 2 && L.valid(n.input(1))) {
    const BuilderValue& sl = L.v(n.input(1));
    uint64_t c = elem_count(sl), ch = x.rank > 1 ? x.dims[1] : 1;
    if (sl.rank > 0 && c != 1 && c != ch) return L.refuse("a slope that is neither per channel nor one value");
    if (sl.rank > 0 && c == ch && c != 1) {
      // [C] slopes broadcast along the last axis in ONNX; per channel
      // only when shaped [C, 1, ...].
      bool per_channel = sl.rank + 1 == x.rank && sl.dims[0] == ch;
      if (!per_channel) return L.refuse("a slope that is neither per channel nor one value");
    }
  }
  return true;
}

bool lower_binary(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t a = n.input(0), b = n.input_count() >= 2 ? n.input(1) : kNoIndex, out = n.output(0);
  if (!L.valid(a) || !L.valid(b)) return L.options ? L.refuse("an operand is missing") : true;
  BuilderValue& va = L.v(a);
  BuilderValue& vb = L.v(b);
  BuilderValue& y = L.v(out);
  if (L.i64_data(a) && L.i64_data(b)) {
    const uint8_t* pa = va.data;
    const uint8_t* pb = vb.data;
    uint64_t na = va.size / 8, nb = vb.size / 8;
    uint64_t count = op == op::Less ? na * nb : (na > nb ? na : nb);
    if (na == 0 || nb == 0) count = 0;
    if (op != op::Less && na != nb && na > 1 && nb > 1) {
      if (L.options) return L.stop(kLowerFoldFailed);
    }
    int64_t* p = i64_result(L, n, count);
    if (p == nullptr) return true;
    for (uint64_t k = 0; k < count; ++k) {
      int64_t x = raw_i64(pa, k % na);
      int64_t z = op == op::Less ? raw_i64(pb, k / na) : raw_i64(pb, k % nb);
      int64_t r = 0;
      switch (op) {
        case op::Sub: r = wrap_sub(x, z); break;
        case op::Div: r = safe_div(x, z); break;
        case op::Add: r = wrap_add(x, z); break;
        case op::Mul: r = wrap_mul(x, z); break;
        case op::Max: r = x > z ? x : z; break;
        case op::Min: r = x < z ? x : z; break;
        case op::Mod: r = z == 0 || z == -1 ? 0 : x - (x / z) * z; break;
        case op::Greater: r = n.attr(attr::Greater::kForm) == 1 ? x >= z : x > z; break;
        case op::Less: r = x < z; break;
        case op::Equal: r = x == z; break;
        case op::And: r = x != 0 && z != 0; break;
        case op::Or: r = x != 0 || z != 0; break;
      }
      p[k] = r;
    }
    return true;
  }
  if (L.options) {
    if ((va.elem == kElemI64 && va.data == nullptr && va.kind != kValueGraphInput) ||
        (vb.elem == kElemI64 && vb.data == nullptr && vb.kind != kValueGraphInput))
      return L.refuse("an int64 operand is computed at run time");
    if (!promote_i64_operands(L, n, 0, 1)) return false;
  } else if (op == op::Add && va.elem != kElemI64 && vb.elem == kElemI64) {
    copy_shape(y, va);
    make_identity(n, a);
    return true;
  } else if ((op == op::Equal || op == op::Less) && va.elem == kElemI64 && vb.elem == kElemI64) {
    make_identity(n, a);
    y.rank = 0;
    return true;
  }
  const BuilderValue& xa = L.v(n.input(0));
  const BuilderValue& xb = L.v(n.input(1));
  uint64_t rank, dims[kBuilderRank] = {};
  if (!broadcast_shapes(xa.rank, xa.dims, xb.rank, xb.dims, &rank, dims)) {
    if (L.options) return L.refuse("operand shapes do not broadcast");
    rank = xa.rank;
    std::memcpy(dims, xa.dims, sizeof dims);
  }
  set_shape(y, rank, dims);
  if (xa.elem != kElemI64 && xb.elem != kElemI64 && xa.data != nullptr && xb.data != nullptr && xa.size == 4 &&
      xb.size == 4 && op != op::Equal && op != op::Less) {
    float x = raw_f32(xa.data, 0), z = raw_f32(xb.data, 0), r = 0;
    switch (op) {
      case op::Sub: r = x - z; break;
      case op::Div: r = x / z; break;
      case op::Add: r = x + z; break;
      case op::Mul: r = x * z; break;
      case op::Max: r = x >= z ? x : z; break;
      case op::Min: r = x <= z ? x : z; break;
      case op::Mod: r = n.attr(attr::Mod::kFmod) != 0 ? std::fmod(x, z) : x - std::floor(x / z) * z; break;
      case op::Greater: r = (n.attr(attr::Greater::kForm) == 1 ? x >= z : x > z) ? 1.0f : 0.0f; break;
      case op::And: r = (x != 0.0f && z != 0.0f) ? 1.0f : 0.0f; break;
      case op::Or: r = (x != 0.0f || z != 0.0f) ? 1.0f : 0.0f; break;
    }
    uint64_t keep_rank = y.rank, keep_dims[kBuilderRank];
    std::memcpy(keep_dims, y.dims, sizeof keep_dims);
    uint64_t one[1] = {1};
    float* p = reinterpret_cast<float*>(builder_set_const_data(L.s, out, kElemF32, 1, one));
    if (p != nullptr) {
      *p = r;
      set_shape(y, keep_rank, keep_dims);
      if (L.options && y.kind != kValueGraphOutput) {
        y.kind = kValueWeight;
        make_self_identity(n);
      }
    }
  }
  if (L.options && op == op::Mod && n.attr(attr::Mod::kFmod) == 0)
    return L.refuse("integer Mod (floor semantics) on run-time values: the engines compute fmod");
  return true;
}

// Dropout's mask (output 1 of the Identity it was imported as): all true
// at inference, a weight of ones in the input's shape. A graph output gets
// it from an Identity of such a weight at run time.
bool dropout_mask(Lower& L, BuilderNode& n) {
  const uint64_t mask = n.output(1);
  n.w[10] = 1;
  n.w[12] = kNoIndex;
  if (!L.valid(mask)) return true;
  const BuilderValue x = L.v(n.input(0));
  const bool graph_output = L.v(mask).kind == kValueGraphOutput;
  const uint64_t ones = graph_output ? builder_derive_value(L.s, mask, "#ones", 5) : mask;
  if (ones == kNoValue || (graph_output && ones == mask)) return L.stop(kLowerNoCode);
  float* p = f32_weight(L, ones, x.rank, x.dims);
  if (p == nullptr) return L.refuse("the mask cannot be allocated");
  std::fill(p, p + elem_count(x), 1.0f);
  L.v(ones).kind = kValueWeight;
  if (!graph_output) return true;
  BuilderNode* copy = insert_after_current(L);
  if (copy == nullptr) return L.refuse("the node table is full");
  make_identity(*copy, ones);
  copy->w[10] = 1;
  copy->w[11] = mask;
  copy_shape(L.v(mask), x);
  return true;
}

bool lower_identity(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  if (n.output_count() > 1 && !dropout_mask(L, n)) return false;
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  // Only input 0 is read: Dropout's ratio and the operands of nodes
  // imported as pass-throughs are not inputs of the runtime node.
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  if (in == out) return true;
  const bool cast = n.attr(attr::kCastTagWord) == attr::kCastTag;
  const uint64_t target = n.attr(attr::Cast::kTo);
  copy_shape(y, x);
  if (x.data != nullptr) {
    if (x.size == 0) return true;
    const bool to_int = cast && (target == 6 || target == 7);
    const bool to_float = cast && (target == 1 || target == 10 || target == 11);
    if (to_int && x.elem != kElemI64) {
      uint64_t count = x.size / 4;
      const uint8_t* src = x.data;
      int64_t* p = i64_result(L, n, count);
      if (p != nullptr)
        for (uint64_t i = 0; i < count; ++i) p[i] = f32_to_i64_saturating(std::trunc(raw_f32(src, i)));
      return true;
    }
    if (to_float && x.elem == kElemI64) {
      uint64_t count = x.size / 8;
      uint64_t rank = x.rank, dims[kBuilderRank];
      std::memcpy(dims, x.dims, sizeof dims);
      if (rank == 0 || elem_count(x) != count) rank = 1, dims[0] = count;
      const uint8_t* src = x.data;
      float* p = f32_weight(L, out, rank, dims);
      if (p != nullptr) {
        for (uint64_t i = 0; i < count; ++i) p[i] = static_cast<float>(raw_i64(src, i));
        make_self_identity(n);
      }
      return true;
    }
    if (cast && target == 9) {
      // Booleans of a constant: 1 where non-zero.
      const bool ints = x.elem == kElemI64;
      uint64_t count = x.size / (ints ? 8 : 4);
      uint64_t rank = x.rank, dims[kBuilderRank];
      std::memcpy(dims, x.dims, sizeof dims);
      if (rank == 0 || elem_count(x) != count) rank = 1, dims[0] = count;
      const uint8_t* src = x.data;
      float* p = f32_weight(L, out, rank, dims);
      if (p != nullptr) {
        for (uint64_t i = 0; i < count; ++i) p[i] = (ints ? raw_i64(src, i) != 0 : raw_f32(src, i) != 0.0f) ? 1.0f : 0.0f;
        make_self_identity(n);
      }
      return true;
    }
    auto* p = static_cast<uint8_t*>(std::malloc(x.size));
    if (p == nullptr) return true;
    std::memcpy(p, x.data, x.size);
    builder_drop_data(y);
    y.data = p;
    y.size = x.size;
    y.owned = 1;
    y.elem = x.elem;
    L.s.convert_time[out] = L.s.convert_time[in];
    if (x.elem == kElemI64) {
      y.rank = 0;
      make_identity(n, in);
    } else if (x.kind == kValueWeight && y.kind != kValueGraphOutput) {
      y.kind = kValueWeight;
      make_self_identity(n);
    }
    return true;
  }
  if (!cast) return true;
  n.attr(attr::kCastTagWord) = 0;
  const bool integer_target = target == 2 || target == 3 || target == 4 || target == 5 || target == 6 || target == 7 ||
                              target == 12 || target == 13;
  if (L.options) {
    if (x.elem == kElemI64 && x.kind != kValueGraphInput)
      return L.refuse("its int64 input is computed at run time");
    // Integer and boolean targets truncate or test at run time; the engines
    // keep every value as f32, so float targets copy.
    if (target == 9 || (integer_target && x.elem != kElemI64)) {
      n.w[0] = op::Cast;
      n.attr(attr::Cast::kTo) = target;
    }
    return true;
  }
  int64_t p = producer_of(L, in);
  if (target == 9) {
    if (!(p >= 0 && is_boolean_producer(L.s.nodes[p].op()))) n.w[0] = op::Cast, n.attr(attr::Cast::kTo) = target;
    return true;
  }
  if (!integer_target || x.elem == kElemI64) return true;
  if (L.node == 0) {
    n.w[0] = op::Cast;
    return true;
  }
  if (p >= 0 && is_boolean_producer(L.s.nodes[p].op())) return true;
  for (uint64_t i = 0; i < L.node; ++i) {
    const BuilderNode& q = L.s.nodes[i];
    if (q.op() == op::TopK && q.output_count() >= 2 && q.output(1) == in && (p < 0 || static_cast<int64_t>(i) < p))
      return true;
    if (static_cast<int64_t>(i) == p) {
      uint64_t op = q.op();
      if (op != op::ArgMax && op != op::Floor && op != op::Ceil && op != op::Round && op != op::Cast) n.w[0] = op::Cast;
      return true;
    }
  }
  n.w[0] = op::Cast;
  return true;
}

}  // namespace vorn
