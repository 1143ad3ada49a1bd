#include "converter/constant_fold.h"

#include <cmath>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/node_import.h"
#include "converter/value_ops.h"

namespace vorn {

namespace {

// Larger results are refused as if they could not be allocated: constant
// folding is for shapes, indices and masks, not for weights.
constexpr uint64_t kMaxFoldElements = uint64_t(1) << 26;

struct Shape {
  uint64_t rank = 0;
  uint64_t dims[kBuilderRank] = {};
};

bool shape_count(const Shape& sh, uint64_t* count) {
  uint64_t c = 1;
  for (uint64_t i = 0; i < sh.rank; ++i) {
    if (__builtin_mul_overflow(c, sh.dims[i], &c)) return false;
  }
  if (c > kMaxFoldElements) return false;
  *count = c;
  return true;
}

// The result buffer of the node's output 0.
struct Out {
  uint64_t kind = kElemF32;
  uint8_t* p = nullptr;
  void f32(uint64_t i, float v) const { std::memcpy(p + 4 * i, &v, 4); }
  void i64(uint64_t i, int64_t v) const { std::memcpy(p + 8 * i, &v, 8); }
  // Copies element j of v into element i, converting to this kind.
  void copy(uint64_t i, const ConstView& v, uint64_t j) const {
    if (kind == kElemI64)
      i64(i, view_i64(v, j));
    else
      f32(i, view_f32(v, j));
  }
};

Shape shape_of(const ConstView& v) {
  Shape s;
  s.rank = v.rank;
  std::memcpy(s.dims, v.dims, sizeof s.dims);
  return s;
}

// Allocates the output; false when the shape is too large or memory runs out.
bool make_out(BuilderState& s, uint64_t value, uint64_t kind, const Shape& sh, Out* out, uint64_t* count) {
  if (sh.rank > kBuilderRank || !shape_count(sh, count)) return false;
  out->kind = kind;
  out->p = builder_set_const_data(s, value, kind, sh.rank, sh.dims);
  return out->p != nullptr;
}

int64_t wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
int64_t wrap_sub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
int64_t wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

int64_t int_binary(uint64_t op, int64_t a, int64_t b, const BuilderNode& n) {
  switch (op) {
    case op::Sub: return wrap_sub(a, b);
    case op::Add: return wrap_add(a, b);
    case op::Mul: return wrap_mul(a, b);
    case op::Div:
      if (b == 0 || (a == INT64_MIN && b == -1)) return b == 0 ? 0 : a;
      return a / b;
    case op::Mod: {
      if (b == 0 || b == -1) return 0;
      int64_t r = a % b;
      // fmod=1 keeps the dividend's sign (C fmod); the default floor-mod
      // takes the divisor's.
      if (n.attr(attr::Mod::kFmod) == 0 && r != 0 && ((r < 0) != (b < 0))) r += b;
      return r;
    }
    case op::Pow: {
      int32_t e = static_cast<int32_t>(static_cast<uint64_t>(b));
      if (e <= 0) return 1;
      int64_t r = a;
      for (int32_t k = 1; k < e; ++k) r = wrap_mul(r, a);
      return r;
    }
    case op::Max: return a > b ? a : b;
    case op::Min: return a < b ? a : b;
    case op::Equal: return a == b;
    case op::Less: return a < b || (a == b && n.attr(attr::Compare::kOrEqual) == 1);
    case op::Greater: return a > b || (a == b && n.attr(attr::Compare::kOrEqual) == 1);
    case op::And: return a != 0 && b != 0;
    case op::Or: return a != 0 || b != 0;
    default: return 0;
  }
}

float float_binary(uint64_t op, float a, float b, const BuilderNode& n) {
  switch (op) {
    case op::Sub: return a - b;
    case op::Add: return a + b;
    case op::Mul: return a * b;
    case op::Div: return a / b;
    // powf rather than exp(b * log(a)), which is NaN for every negative base.
    case op::Pow: return std::pow(a, b);
    case op::Mod: return n.attr(attr::Mod::kFmod) != 0 ? std::fmod(a, b) : a - std::floor(a / b) * b;
    case op::Max: return a <= b ? b : a;
    case op::Min: return b <= a ? b : a;
    case op::Equal: return a == b;
    case op::Less: return a < b || (a == b && n.attr(attr::Compare::kOrEqual) == 1);
    case op::Greater: return a > b || (a == b && n.attr(attr::Compare::kOrEqual) == 1);
    case op::And: return a != 0.0f && b != 0.0f;
    case op::Or: return a != 0.0f || b != 0.0f;
    default: return 0.0f;
  }
}

bool is_comparison(uint64_t op) { return op == op::Equal || op == op::Less || op == op::Greater || op == op::And || op == op::Or; }

int32_t fold_binary(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 2 || n.input(1) == kNoIndex) return kFoldSkipped;
  ConstView a = const_view(s, n.input(0)), b = const_view(s, n.input(1));
  const uint64_t op = n.op();
  const bool ints = a.kind == kElemI64 && b.kind == kElemI64;
  Shape sh;
  if (!broadcast_shapes(a.rank, a.dims, b.rank, b.dims, &sh.rank, sh.dims)) return kFoldFailed;
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, (is_comparison(op) || ints) ? kElemI64 : kElemF32, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t ia = broadcast_source_index(i, sh.rank, sh.dims, a.rank, a.dims);
    uint64_t ib = broadcast_source_index(i, sh.rank, sh.dims, b.rank, b.dims);
    if (ints) {
      out.i64(i, int_binary(op, view_i64(a, ia), view_i64(b, ib), n));
    } else {
      float r = float_binary(op, view_f32(a, ia), view_f32(b, ib), n);
      if (out.kind == kElemI64)
        out.i64(i, r != 0.0f);
      else
        out.f32(i, r);
    }
  }
  return kFoldDone;
}

int32_t fold_where(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 3 || n.input(1) == kNoIndex || n.input(2) == kNoIndex) return kFoldSkipped;
  ConstView c = const_view(s, n.input(0)), x = const_view(s, n.input(1)), y = const_view(s, n.input(2));
  Shape cx, sh;
  if (!broadcast_shapes(c.rank, c.dims, x.rank, x.dims, &cx.rank, cx.dims) ||
      !broadcast_shapes(cx.rank, cx.dims, y.rank, y.dims, &sh.rank, sh.dims))
    return kFoldFailed;
  Out out;
  uint64_t count;
  const uint64_t kind = x.kind == kElemI64 && y.kind == kElemI64 ? kElemI64 : kElemF32;
  if (!make_out(s, out_v, kind, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) {
    bool take_x = view_f32(c, broadcast_source_index(i, sh.rank, sh.dims, c.rank, c.dims)) != 0.0f;
    if (take_x)
      out.copy(i, x, broadcast_source_index(i, sh.rank, sh.dims, x.rank, x.dims));
    else
      out.copy(i, y, broadcast_source_index(i, sh.rank, sh.dims, y.rank, y.dims));
  }
  return kFoldDone;
}

int32_t fold_shape(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  uint64_t in = n.input(0);
  if (in >= s.value_count) return kFoldSkipped;
  const BuilderValue& v = s.values[in];
  int64_t rank = static_cast<int64_t>(v.rank > kBuilderRank ? kBuilderRank : v.rank);
  int64_t start = (n.attr(attr::Shape::kGiven) & attr::Import::kStartGivenBit) ? n.attr_i64(attr::Shape::kStart) : 0;
  int64_t end = (n.attr(attr::Shape::kGiven) & attr::Import::kEndGivenBit) ? n.attr_i64(attr::Shape::kEnd) : rank;
  if (start < 0) start += rank;
  if (end < 0) end += rank;
  if (start < 0) start = 0;
  if (start > rank) start = rank;
  if (end > rank) end = rank;
  if (end < start) end = start;
  uint64_t dims[kBuilderRank];
  std::memcpy(dims, v.dims, sizeof dims);  // v may be the output itself
  Shape sh;
  sh.rank = 1;
  sh.dims[0] = static_cast<uint64_t>(end - start);
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, kElemI64, sh, &out, &count)) return kFoldFailed;
  for (int64_t k = start; k < end; ++k) out.i64(static_cast<uint64_t>(k - start), static_cast<int64_t>(dims[k]));
  return kFoldDone;
}

// The reshape family: the output takes input 0's elements in order.
int32_t finish_reshape(BuilderState& s, const ConstView& in, const Shape& sh, uint64_t out_v) {
  uint64_t count;
  if (sh.rank > kBuilderRank || !shape_count(sh, &count)) return kFoldFailed;
  if (count != in.count) return kFoldFailed;
  Out out;
  if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
  std::memcpy(out.p, in.data, count * (in.kind == kElemI64 ? 8 : 4));
  return kFoldDone;
}

int32_t fold_flatten(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView in = const_view(s, n.input(0));
  int64_t axis = n.attr_i64(attr::Flatten::kAxis);
  if (axis < 0) axis += static_cast<int64_t>(in.rank);
  if (axis < 0 || axis > static_cast<int64_t>(in.rank)) return kFoldFailed;
  uint64_t outer = 1;
  for (int64_t k = 0; k < axis; ++k) outer *= in.dims[k];
  Shape sh;
  sh.rank = 2;
  sh.dims[0] = outer;
  sh.dims[1] = outer == 0 ? 0 : in.count / outer;
  return finish_reshape(s, in, sh, out_v);
}

int32_t fold_reshape(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 2) return kFoldSkipped;
  int64_t target[6];
  uint64_t len = const_i64_list(s, n.input(1), target);
  if (len == 0) return kFoldSkipped;
  ConstView in = const_view(s, n.input(0));
  Shape sh;
  sh.rank = len;
  int64_t infer = -1;
  uint64_t known = 1;
  for (uint64_t k = 0; k < len; ++k) {
    int64_t t = target[k];
    if (t == -1) {
      if (infer >= 0) sh.dims[infer] = 1;  // several -1: the last is inferred
      infer = static_cast<int64_t>(k);
      continue;
    }
    if (t < -1) return kFoldFailed;
    uint64_t d = t == 0 ? (k < in.rank ? in.dims[k] : 0) : static_cast<uint64_t>(t);
    if (t == 0 && k >= in.rank) return kFoldFailed;
    sh.dims[k] = d;
  }
  for (uint64_t k = 0; k < len; ++k)
    if (static_cast<int64_t>(k) != infer && __builtin_mul_overflow(known, sh.dims[k], &known)) return kFoldFailed;
  if (infer >= 0) sh.dims[infer] = known == 0 ? 0 : in.count / known;
  return finish_reshape(s, in, sh, out_v);
}

// Axes of Squeeze and Unsqueeze: input 1 when present, else the attribute
// form (a1 holds the count; the first axis is a11, the second a3).
uint64_t squeeze_axes(const BuilderState& s, const BuilderNode& n, int64_t* axes) {
  if (n.input_count() >= 2 && n.input(1) != kNoIndex) return const_i64_list(s, n.input(1), axes);
  uint64_t given = n.attr(attr::Import::kAxesCount);
  if (given == 0) return 0;
  axes[0] = n.attr_i64(attr::kAxis);
  if (given >= 2) axes[1] = n.attr_i64(attr::Import::kSecondAxis);
  return given >= 2 ? 2 : 1;
}

int32_t fold_unsqueeze(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView in = const_view(s, n.input(0));
  int64_t axes[6];
  uint64_t na = squeeze_axes(s, n, axes);
  if (n.input_count() >= 2 && n.input(1) != kNoIndex && s.values[n.input(1)].size / 8 > 6) return kFoldSkipped;
  uint64_t out_rank = in.rank + na;
  if (out_rank > kBuilderRank) return kFoldSkipped;
  bool marked[kBuilderRank] = {};
  for (uint64_t k = 0; k < na; ++k) {
    int64_t a = axes[k] < 0 ? axes[k] + static_cast<int64_t>(out_rank) : axes[k];
    if (a < 0 || a >= static_cast<int64_t>(out_rank) || marked[a]) return kFoldFailed;
    marked[a] = true;
  }
  Shape sh;
  sh.rank = out_rank;
  for (uint64_t k = 0, j = 0; k < out_rank; ++k) sh.dims[k] = marked[k] ? 1 : in.dims[j++];
  return finish_reshape(s, in, sh, out_v);
}

int32_t fold_squeeze(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView in = const_view(s, n.input(0));
  int64_t axes[6];
  uint64_t na = squeeze_axes(s, n, axes);
  bool drop[kBuilderRank] = {};
  if (na == 0) {
    for (uint64_t k = 0; k < in.rank; ++k) drop[k] = in.dims[k] == 1;
  } else {
    for (uint64_t k = 0; k < na; ++k) {
      int64_t a = axes[k] < 0 ? axes[k] + static_cast<int64_t>(in.rank) : axes[k];
      if (a < 0 || a >= static_cast<int64_t>(in.rank)) return kFoldFailed;
      drop[a] = true;
    }
  }
  Shape sh;
  for (uint64_t k = 0; k < in.rank; ++k)
    if (!drop[k]) sh.dims[sh.rank++] = in.dims[k];
  return finish_reshape(s, in, sh, out_v);
}

// Row-major strides of a shape.
void strides_of(const Shape& sh, uint64_t* st) {
  uint64_t acc = 1;
  for (uint64_t k = sh.rank; k-- > 0;) {
    st[k] = acc;
    acc *= sh.dims[k];
  }
}

int32_t fold_transpose(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView in = const_view(s, n.input(0));
  uint64_t perm[kBuilderRank];
  if (n.attr(attr::Transpose::kPermLength) != 0) {
    if (n.attr(attr::Transpose::kPermLength) != in.rank) return kFoldFailed;
    bool seen[kBuilderRank] = {};
    for (uint64_t k = 0; k < in.rank; ++k) {
      perm[k] = n.attr(attr::Transpose::kPerm + k);
      if (perm[k] >= in.rank || seen[perm[k]]) return kFoldFailed;
      seen[perm[k]] = true;
    }
  } else {
    for (uint64_t k = 0; k < in.rank; ++k) perm[k] = in.rank - 1 - k;
  }
  Shape src = shape_of(in), sh;
  sh.rank = in.rank;
  for (uint64_t k = 0; k < in.rank; ++k) sh.dims[k] = in.dims[perm[k]];
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
  uint64_t st[kBuilderRank];
  strides_of(src, st);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t rem = i, src_index = 0;
    for (uint64_t k = sh.rank; k-- > 0;) {
      uint64_t c = rem % sh.dims[k];
      rem /= sh.dims[k];
      src_index += c * st[perm[k]];
    }
    out.copy(i, in, src_index);
  }
  return kFoldDone;
}

int32_t fold_concat(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView views[8];
  uint64_t nv = 0;
  bool any_f32 = false;
  for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) {
    if (n.input(k) == kNoIndex) continue;
    views[nv] = const_view(s, n.input(k));
    any_f32 |= views[nv].kind != kElemI64;
    ++nv;
  }
  if (nv == 0) return kFoldSkipped;
  const ConstView& first = views[0];
  int64_t axis = n.attr_i64(attr::Concat::kAxis);
  if (axis < 0) axis += static_cast<int64_t>(first.rank);
  if (axis < 0 || axis >= static_cast<int64_t>(first.rank)) return kFoldFailed;
  Shape sh = shape_of(first);
  sh.dims[axis] = 0;
  for (uint64_t k = 0; k < nv; ++k) {
    if (views[k].rank != first.rank) return kFoldFailed;
    for (uint64_t d = 0; d < first.rank; ++d)
      if (static_cast<int64_t>(d) != axis && views[k].dims[d] != first.dims[d]) return kFoldFailed;
    sh.dims[axis] += views[k].dims[axis];
  }
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, any_f32 ? kElemF32 : kElemI64, sh, &out, &count)) return kFoldFailed;
  uint64_t outer = 1, inner = 1;
  for (int64_t d = 0; d < axis; ++d) outer *= sh.dims[d];
  for (uint64_t d = static_cast<uint64_t>(axis) + 1; d < sh.rank; ++d) inner *= sh.dims[d];
  uint64_t o = 0;
  for (uint64_t a = 0; a < outer; ++a)
    for (uint64_t k = 0; k < nv; ++k) {
      uint64_t run = views[k].dims[axis] * inner;
      for (uint64_t j = 0; j < run; ++j) out.copy(o++, views[k], a * run + j);
    }
  return kFoldDone;
}

int32_t fold_gather(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 2 || n.input(1) == kNoIndex) return kFoldSkipped;
  ConstView in = const_view(s, n.input(0)), idx = const_view(s, n.input(1));
  int64_t axis = n.attr_i64(attr::Gather::kAxis);
  if (axis < 0) axis += static_cast<int64_t>(in.rank);
  if (axis < 0 || axis >= static_cast<int64_t>(in.rank)) return kFoldFailed;
  const bool scalar = idx.rank == 0 && idx.count == 1;
  Shape sh;
  for (int64_t d = 0; d < axis; ++d) sh.dims[sh.rank++] = in.dims[d];
  if (!scalar) {
    if (sh.rank + idx.rank + (in.rank - axis - 1) > kBuilderRank) return kFoldSkipped;
    for (uint64_t d = 0; d < idx.rank; ++d) sh.dims[sh.rank++] = idx.dims[d];
  }
  if (sh.rank + (in.rank - axis - 1) > kBuilderRank) return kFoldSkipped;
  for (uint64_t d = static_cast<uint64_t>(axis) + 1; d < in.rank; ++d) sh.dims[sh.rank++] = in.dims[d];
  const int64_t size = static_cast<int64_t>(in.dims[axis]);
  for (uint64_t j = 0; j < idx.count; ++j) {
    int64_t v = view_i64(idx, j);
    if (v < 0) v += size;
    if (v < 0 || v >= size) return kFoldFailed;
  }
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
  uint64_t outer = 1, inner = 1;
  for (int64_t d = 0; d < axis; ++d) outer *= in.dims[d];
  for (uint64_t d = static_cast<uint64_t>(axis) + 1; d < in.rank; ++d) inner *= in.dims[d];
  uint64_t o = 0;
  for (uint64_t a = 0; a < outer; ++a)
    for (uint64_t j = 0; j < idx.count; ++j) {
      int64_t v = view_i64(idx, j);
      if (v < 0) v += size;
      for (uint64_t p = 0; p < inner; ++p)
        out.copy(o++, in, (a * static_cast<uint64_t>(size) + static_cast<uint64_t>(v)) * inner + p);
    }
  return kFoldDone;
}

int32_t fold_slice(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 3) return kFoldSkipped;
  int64_t starts[6], ends[6], axes[6], steps[6];
  uint64_t ns = const_i64_list(s, n.input(1), starts);
  if (ns == 0 || const_i64_list(s, n.input(2), ends) != ns) return kFoldSkipped;
  ConstView in = const_view(s, n.input(0));
  uint64_t na = n.input_count() >= 4 ? const_i64_list(s, n.input(3), axes) : 0;
  if (na == 0)
    for (uint64_t k = 0; k < ns; ++k) axes[k] = static_cast<int64_t>(k);
  else if (na != ns)
    return kFoldFailed;
  uint64_t nst = n.input_count() >= 5 ? const_i64_list(s, n.input(4), steps) : 0;
  for (uint64_t k = 0; k < ns; ++k)
    if (nst == 0) steps[k] = 1;
  if (nst != 0 && nst != ns) return kFoldFailed;
  int64_t begin[kBuilderRank] = {}, step[kBuilderRank];
  bool seen[kBuilderRank] = {};
  Shape sh = shape_of(in);
  for (uint64_t k = 0; k < kBuilderRank; ++k) step[k] = 1;
  for (uint64_t k = 0; k < ns; ++k) {
    int64_t a = axes[k] < 0 ? axes[k] + static_cast<int64_t>(in.rank) : axes[k];
    if (a < 0 || a >= static_cast<int64_t>(in.rank) || seen[a] || steps[k] == 0) return kFoldFailed;
    seen[a] = true;
    const __int128 d = static_cast<__int128>(in.dims[a]);
    __int128 st = steps[k], sv = starts[k], ev = ends[k], cnt;
    if (sv < 0) sv += d;
    if (ev < 0) ev += d;
    if (st > 0) {
      sv = sv < 0 ? 0 : (sv > d ? d : sv);
      ev = ev < 0 ? 0 : (ev > d ? d : ev);
      cnt = sv < ev ? (ev - sv + st - 1) / st : 0;
    } else {
      if (sv < 0) sv = -1;
      if (sv > d - 1) sv = d - 1;
      if (ev < 0) ev = -1;
      cnt = sv > ev ? (sv - ev - 1 - st) / (-st) : 0;
    }
    begin[a] = static_cast<int64_t>(sv);
    step[a] = steps[k];
    sh.dims[a] = static_cast<uint64_t>(cnt);
  }
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
  Shape src = shape_of(in);
  uint64_t st[kBuilderRank];
  strides_of(src, st);
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t rem = i;
    int64_t src_index = 0;
    for (uint64_t k = sh.rank; k-- > 0;) {
      int64_t c = static_cast<int64_t>(rem % sh.dims[k]);
      rem /= sh.dims[k];
      src_index += (begin[k] + step[k] * c) * static_cast<int64_t>(st[k]);
    }
    out.copy(i, in, static_cast<uint64_t>(src_index));
  }
  return kFoldDone;
}

bool integer_type(uint64_t t) { return t == 2 || t == 3 || t == 4 || t == 5 || t == 6 || t == 7 || t == 12 || t == 13; }
bool float_type(uint64_t t) { return t == 1 || t == 10 || t == 11 || t == 16; }

int32_t fold_unary(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  ConstView in = const_view(s, n.input(0));
  const uint64_t op = n.op();
  const uint64_t t = op == op::Identity ? n.attr(attr::Cast::kTo) : 0;
  uint64_t kind = in.kind;
  if (op == op::Not || integer_type(t) || t == 9) kind = kElemI64;
  else if (float_type(t) || op == op::Sqrt || op == op::Exp || op == op::Log) kind = kElemF32;
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, kind, shape_of(in), &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) {
    if (op == op::Not) {
      out.i64(i, view_f32(in, i) == 0.0f);
    } else if (integer_type(t)) {
      out.i64(i, view_i64(in, i));
    } else if (t == 9) {
      out.i64(i, view_f32(in, i) != 0.0f);
    } else if (float_type(t)) {
      out.f32(i, view_f32(in, i));
    } else if (op == op::Sqrt || op == op::Exp || op == op::Log) {
      float x = view_f32(in, i);
      out.f32(i, op == op::Sqrt ? std::sqrt(x) : op == op::Exp ? std::exp(x) : std::log(x));
    } else if (kind == kElemI64) {
      int64_t x = view_i64(in, i);
      if (op == op::Abs) x = x < 0 ? wrap_sub(0, x) : x;
      if (op == op::Neg) x = wrap_sub(0, x);
      out.i64(i, x);
    } else {
      float x = view_f32(in, i);
      if (op == op::Abs) x = std::fabs(x);
      if (op == op::Neg) x = 0.0f - x;
      if (op == op::Floor) x = std::floor(x);
      if (op == op::Ceil) x = std::ceil(x);
      out.f32(i, x);
    }
  }
  return kFoldDone;
}

int32_t fold_expand(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 2) return kFoldSkipped;
  int64_t list[6];
  uint64_t len = const_i64_list(s, n.input(1), list);
  if (len == 0) return kFoldSkipped;
  ConstView in = const_view(s, n.input(0));
  Shape sh;
  if (n.attr(attr::Expand::kTile) == 1) {  // Tile
    if (len != in.rank) return kFoldFailed;
    sh.rank = len;
    for (uint64_t k = 0; k < len; ++k) {
      if (list[k] < 0 || __builtin_mul_overflow(in.dims[k], static_cast<uint64_t>(list[k]), &sh.dims[k]))
        return kFoldFailed;
    }
    Out out;
    uint64_t count;
    if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
    Shape src = shape_of(in);
    uint64_t st[kBuilderRank];
    strides_of(src, st);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t rem = i, src_index = 0;
      for (uint64_t k = sh.rank; k-- > 0;) {
        uint64_t c = rem % sh.dims[k];
        rem /= sh.dims[k];
        src_index += (c % in.dims[k]) * st[k];
      }
      out.copy(i, in, src_index);
    }
    return kFoldDone;
  }
  uint64_t dims[6];
  for (uint64_t k = 0; k < len; ++k) {
    if (list[k] < 0) return kFoldFailed;
    dims[k] = static_cast<uint64_t>(list[k]);
  }
  if (!broadcast_shapes(in.rank, in.dims, len, dims, &sh.rank, sh.dims)) return kFoldFailed;
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, in.kind, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) out.copy(i, in, broadcast_source_index(i, sh.rank, sh.dims, in.rank, in.dims));
  return kFoldDone;
}

int32_t fold_constant_of_shape(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  int64_t list[6];
  uint64_t len = const_i64_list(s, n.input(0), list);
  const BuilderValue& o = s.values[out_v];
  const bool i64 = o.elem == kElemI64 && o.data != nullptr && o.size >= 8;
  int64_t fill_i = 0;
  float fill_f = 0.0f;
  if (i64) std::memcpy(&fill_i, o.data, 8);
  else if (o.data != nullptr && o.size >= 4) std::memcpy(&fill_f, o.data, 4);
  Shape sh;
  sh.rank = len;
  for (uint64_t k = 0; k < len; ++k) {
    if (list[k] < 0) return kFoldFailed;
    sh.dims[k] = static_cast<uint64_t>(list[k]);
  }
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, i64 ? kElemI64 : kElemF32, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) {
    if (i64) out.i64(i, fill_i);
    else out.f32(i, fill_f);
  }
  return kFoldDone;
}

int32_t fold_range(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 3 || n.input(1) == kNoIndex || n.input(2) == kNoIndex) return kFoldSkipped;
  ConstView a = const_view(s, n.input(0)), b = const_view(s, n.input(1)), c = const_view(s, n.input(2));
  if (a.count == 0 || b.count == 0 || c.count == 0) return kFoldSkipped;
  Shape sh;
  sh.rank = 1;
  Out out;
  uint64_t count;
  if (a.kind == kElemI64 && b.kind == kElemI64 && c.kind == kElemI64) {
    __int128 start = view_i64(a, 0), limit = view_i64(b, 0), delta = view_i64(c, 0);
    if (delta == 0) return kFoldFailed;
    __int128 k = delta > 0 ? (limit - start + delta - 1) / delta : (limit - start + delta + 1) / delta;
    if (k < 0) k = 0;
    if (k > static_cast<__int128>(kMaxFoldElements)) return kFoldFailed;
    sh.dims[0] = static_cast<uint64_t>(k);
    if (!make_out(s, out_v, kElemI64, sh, &out, &count)) return kFoldFailed;
    for (uint64_t i = 0; i < count; ++i) out.i64(i, static_cast<int64_t>(start + delta * static_cast<__int128>(i)));
    return kFoldDone;
  }
  float start = view_f32(a, 0), limit = view_f32(b, 0), delta = view_f32(c, 0);
  if (delta == 0.0f) return kFoldFailed;
  float k = std::ceil((limit - start) / delta);
  if (!(k > 0.0f)) k = 0.0f;
  if (k > static_cast<float>(kMaxFoldElements)) return kFoldFailed;
  sh.dims[0] = static_cast<uint64_t>(k);
  if (!make_out(s, out_v, kElemF32, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < count; ++i) out.f32(i, start + delta * static_cast<float>(i));
  return kFoldDone;
}

int32_t fold_one_hot(BuilderState& s, const BuilderNode& n, uint64_t out_v) {
  if (n.input_count() < 3 || n.input(1) == kNoIndex || n.input(2) == kNoIndex) return kFoldSkipped;
  ConstView idx = const_view(s, n.input(0)), depth_v = const_view(s, n.input(1)), vals = const_view(s, n.input(2));
  if (depth_v.count == 0) return kFoldSkipped;
  int64_t depth = view_i64(depth_v, 0);
  int64_t axis = n.attr_i64(attr::kAxis);
  const int64_t rank = static_cast<int64_t>(idx.rank);
  if (axis == -1) axis = rank;
  else if (axis < -1) axis += rank + 1;
  if (depth < 1 || rank > 5 || axis != rank) return kFoldSkipped;
  if (vals.count < 2) return kFoldFailed;
  Shape sh = shape_of(idx);
  sh.dims[sh.rank++] = static_cast<uint64_t>(depth);
  Out out;
  uint64_t count;
  if (!make_out(s, out_v, vals.kind, sh, &out, &count)) return kFoldFailed;
  for (uint64_t i = 0; i < idx.count; ++i) {
    int64_t v = view_i64(idx, i);
    if (v < 0) v += depth;
    for (int64_t j = 0; j < depth; ++j) out.copy(i * static_cast<uint64_t>(depth) + static_cast<uint64_t>(j), vals, j == v ? 1 : 0);
  }
  return kFoldDone;
}

bool foldable_op(uint64_t op) {
  switch (op) {
    case op::Sub: case op::Div: case op::Add: case op::Mul: case op::Pow: case op::Equal: case op::Less: case op::Max: case op::Min: case op::Mod:
    case op::Greater: case op::And: case op::Or: case op::Where: case op::Shape: case op::Flatten: case op::Reshape: case op::Unsqueeze:
    case op::Squeeze: case op::Transpose: case op::Concat: case op::Identity: case op::Gather: case op::Slice: case op::Sqrt: case op::Exp:
    case op::Log: case op::Abs: case op::Neg: case op::Floor: case op::Ceil: case op::Not: case op::Expand: case op::ConstantOfShape:
    case op::Range: case op::OneHot:
      return true;
    default:
      return false;
  }
}

}  // namespace

int32_t fold_node(BuilderState& s, uint64_t index) {
  if (index >= s.node_count) return kFoldSkipped;
  BuilderNode& n = s.nodes[index];
  const uint64_t op = n.op();
  if (n.output_count() == 0 || n.output(0) == kNoIndex || n.output(0) >= s.value_count) return kFoldSkipped;
  const uint64_t out_v = n.output(0);
  const uint64_t inputs = n.input_count() < 8 ? n.input_count() : 8;
  if (inputs == 0 || n.input(0) == kNoIndex) return kFoldSkipped;
  if (!foldable_op(op)) return kFoldSkipped;
  // A node that reads its own output is a finished self-identity (or a
  // cycle): there is nothing to evaluate.
  for (uint64_t k = 0; k < inputs; ++k)
    if (n.input(k) == out_v) return kFoldSkipped;
  if (op != op::Shape) {
    bool flagged = false;
    for (uint64_t k = 0; k < inputs; ++k) {
      uint64_t v = n.input(k);
      if (v == kNoIndex) continue;
      if (v >= s.value_count || s.values[v].data == nullptr) return kFoldSkipped;
      flagged |= s.values[v].elem == kElemI64 || s.convert_time[v] != 0;
    }
    if (op != op::Range && !flagged) return kFoldSkipped;
  }
  int32_t r;
  switch (op) {
    case op::Where: r = fold_where(s, n, out_v); break;
    case op::Shape: r = fold_shape(s, n, out_v); break;
    case op::Flatten: r = fold_flatten(s, n, out_v); break;
    case op::Reshape: r = fold_reshape(s, n, out_v); break;
    case op::Unsqueeze: r = fold_unsqueeze(s, n, out_v); break;
    case op::Squeeze: r = fold_squeeze(s, n, out_v); break;
    case op::Transpose: r = fold_transpose(s, n, out_v); break;
    case op::Concat: r = fold_concat(s, n, out_v); break;
    case op::Gather: r = fold_gather(s, n, out_v); break;
    case op::Slice: r = fold_slice(s, n, out_v); break;
    case op::Expand: r = fold_expand(s, n, out_v); break;
    case op::ConstantOfShape: r = fold_constant_of_shape(s, n, out_v); break;
    case op::Range: r = fold_range(s, n, out_v); break;
    case op::OneHot: r = fold_one_hot(s, n, out_v); break;
    case op::Identity: case op::Sqrt: case op::Exp: case op::Log: case op::Abs: case op::Neg: case op::Floor: case op::Ceil: case op::Not:
      r = fold_unary(s, n, out_v);
      break;
    default: r = fold_binary(s, n, out_v); break;
  }
  if (r != kFoldDone) return r;
  n.attr(attr::Cast::kTo) = 0;
  n.w[2] = out_v;
  n.w[1] = 1;
  n.w[0] = op::Identity;
  return kFoldDone;
}

}  // namespace vorn
