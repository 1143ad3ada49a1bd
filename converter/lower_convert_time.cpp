// Lowering rules of the operators that never reach the engines: shape
// arithmetic (Shape, Reshape, Squeeze, Unsqueeze, Range, ConstantOfShape),
// Pow, and the quantisation operators, each evaluated at conversion or
// rewritten into engine operators.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "converter/conversion_notes.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

bool lower_shape(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  const uint64_t* d = x.dims;
  int64_t r = static_cast<int64_t>(x.rank);
  int64_t start = (n.attr(attr::Shape::kGiven) & 1) ? n.attr_i64(attr::Shape::kStart) : 0, end = (n.attr(attr::Shape::kGiven) & 2) ? n.attr_i64(attr::Shape::kEnd) : r;
  if (start < 0) start += r;
  if (end < 0) end += r;
  if (start < 0) start = 0;
  if (start > r) start = r;
  if (end < start) end = start;
  if (end > r) end = r;
  uint64_t dims_copy[kBuilderRank];
  std::memcpy(dims_copy, d, sizeof dims_copy);
  int64_t* p = i64_result(L, n, static_cast<uint64_t>(end - start));
  if (p != nullptr)
    for (int64_t k = start; k < end; ++k) p[k - start] = static_cast<int64_t>(dims_copy[k]);
  return true;
}

bool lower_reshape(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (L.i64_data(in)) return copy_i64(L, n);
  uint64_t N = elem_count(x);
  uint64_t shp = n.input_count() >= 2 ? n.input(1) : kNoIndex;
  if (L.i64_data(shp)) {
    const BuilderValue& sv = L.v(shp);
    uint64_t r = sv.size / 8;
    if (r > kBuilderRank) return L.refuse("a target rank above 6");
    uint64_t o[kBuilderRank] = {};
    int64_t marked = -1;
    uint64_t P = 1;
    for (uint64_t k = 0; k < r; ++k) {
      int64_t e = raw_i64(sv.data, k);
      if (e == 0) o[k] = k < x.rank ? d[k] : 0;
      else if (e < 0) o[k] = 1, marked = static_cast<int64_t>(k);
      else o[k] = static_cast<uint64_t>(e);
      P *= o[k];
    }
    if (marked >= 0 && P != 0) o[marked] = N / P;
    set_shape(y, r, o);
    L.v(shp).padded_size = kConsumedMark;
  } else {
    if (L.options) return L.refuse_runtime("a shape", shp);
    uint64_t d0 = x.rank > 0 && x.dims[0] > 1 ? x.dims[0] : 1;
    uint64_t o[2] = {d0, N / d0};
    set_shape(y, 2, o);
  }
  return finish_reshape(L, n);
}

bool lower_unsqueeze(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (L.i64_data(in)) return copy_i64(L, n);
  int64_t axes[6];
  uint64_t count = 1;
  axes[0] = n.attr_i64(attr::kAxis);
  if (n.attr(attr::Import::kAxesCount) >= 2) count = 2, axes[1] = n.attr_i64(attr::Import::kSecondAxis);
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (!L.i64_data(n.input(1))) {
      if (L.options) return L.refuse_runtime("axes", n.input(1));
    } else {
      const BuilderValue& av = L.v(n.input(1));
      count = av.size / 8;
      if (count > 2 && L.options) return L.refuse("more than two axes are not supported");
      if (count > 6) count = 6;
      for (uint64_t k = 0; k < count; ++k) axes[k] = raw_i64(av.data, k);
      L.v(n.input(1)).padded_size = kConsumedMark;
    }
  }
  uint64_t r = x.rank + count;
  if (r > kBuilderRank) return L.refuse("an output rank above 6");
  bool at[kBuilderRank] = {};
  for (uint64_t k = 0; k < count; ++k) {
    int64_t a = axes[k] < 0 ? axes[k] + static_cast<int64_t>(r) : axes[k];
    if (a < 0 || a >= static_cast<int64_t>(r) || at[a]) return L.refuse("an axis outside the output rank");
    at[a] = true;
  }
  uint64_t o[kBuilderRank], j = 0;
  for (uint64_t k = 0; k < r; ++k) o[k] = at[k] ? 1 : d[j++];
  set_shape(y, r, o);
  return finish_reshape(L, n);
}

bool lower_squeeze(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (L.i64_data(in)) return copy_i64(L, n);
  bool drop[kBuilderRank] = {};
  if (n.input_count() >= 2 && L.valid(n.input(1))) {
    if (!L.i64_data(n.input(1))) {
      if (L.options) return L.refuse_runtime("axes", n.input(1));
    } else {
      const BuilderValue& av = L.v(n.input(1));
      for (uint64_t k = 0; k < av.size / 8; ++k) {
        uint64_t a;
        if (!normalise(raw_i64(av.data, k), x.rank, &a)) return L.refuse("an axis outside the input's rank");
        if (d[a] != 1) {
          if (L.options) return L.refuse("squeezing an axis whose size is not 1");
          continue;
        }
        drop[a] = true;
      }
      L.v(n.input(1)).padded_size = kConsumedMark;
    }
  } else if (n.attr(attr::Import::kAxesCount) != 0) {
    int64_t list[2] = {n.attr_i64(attr::kAxis), n.attr_i64(attr::Import::kSecondAxis)};
    for (uint64_t k = 0; k < n.attr(attr::Import::kAxesCount) && k < 2; ++k) {
      uint64_t a;
      if (!normalise(list[k], x.rank, &a)) return L.refuse("an axis outside the input's rank");
      if (d[a] == 1) drop[a] = true;
      else if (L.options) return L.refuse("squeezing an axis whose size is not 1");
    }
  } else {
    for (uint64_t k = 0; k < x.rank; ++k) drop[k] = d[k] == 1;
  }
  uint64_t o[kBuilderRank], r = 0;
  for (uint64_t k = 0; k < x.rank; ++k)
    if (!drop[k]) o[r++] = d[k];
  if (r == 0) {
    if (L.options && y.kind == kValueGraphOutput) r = 0;
    else o[r++] = 1;
  }
  set_shape(y, r, o);
  return finish_reshape(L, n);
}

bool lower_pow(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  copy_shape(L.v(out), L.v(in));
  float e = -1.0f;
  uint64_t ev = n.input_count() >= 2 ? n.input(1) : kNoIndex;
  if (L.f32_data(ev)) e = raw_f32(L.v(ev).data, 0);
  else if (L.i64_data(ev)) e = static_cast<float>(raw_i64(L.v(ev).data, 0));
  if (L.valid(ev)) L.v(ev).padded_size = kConsumedMark;
  if (L.options) {
    if (e != 2.0f && e != 0.5f && e != 1.0f) return L.stop(kLowerPow);
    if (e == 1.0f) {
      make_identity(n, in);
      return true;
    }
  } else if (e != 2.0f && e != 0.5f) {
    convert_notes().rewrites |= kRewritePowApprox;
  }
  if (e < 1.0f) {
    n.w[0] = op::Sqrt;
    n.w[1] = 1;
    n.w[3] = kNoIndex;
  } else {
    n.w[0] = op::Mul;
    n.w[1] = 2;
    n.w[3] = in;
  }
  return true;
}

bool lower_range(Lower& L, BuilderNode& n) {
  const uint64_t s0 = n.input(0), s1 = n.input(1), s2 = n.input(2), out = n.output(0);
  if (n.input_count() < 3) return L.refuse("fewer than three inputs");
  const bool f32 = (L.valid(s0) && L.v(s0).elem != kElemI64) || (L.valid(s1) && L.v(s1).elem != kElemI64);
  if (L.options)
    for (uint64_t v : {s0, s1, s2})
      if (!L.has_data(v)) return L.refuse_runtime("start, limit or delta", v);
  if (!f32) {
    int64_t a = L.i64_data(s0) ? raw_i64(L.v(s0).data, 0) : 0;
    int64_t b = L.i64_data(s1) ? raw_i64(L.v(s1).data, 0) : 1;
    int64_t d = L.i64_data(s2) ? raw_i64(L.v(s2).data, 0) : 1;
    if (d == 0) return L.refuse("a zero delta");
    if (!L.options && d < 1) d = 1;
    int64_t span;
    if (__builtin_sub_overflow(b, a, &span) || span == INT64_MIN) return L.refuse("a range too long to hold");
    int64_t count = d > 0 ? (span > 0 ? span / d + (span % d != 0) : 0) : (span < 0 && d != INT64_MIN ? (-span) / (-d) + ((-span) % (-d) != 0) : 0);
    if (!L.options && count == 0) count = 1;
    if (L.options && count == 0) return L.refuse("an empty range");
    if (static_cast<uint64_t>(count) > kMaxConstElements) return L.refuse("a range too long to hold");
    int64_t* p = i64_result(L, n, static_cast<uint64_t>(count));
    if (p != nullptr)
      for (int64_t k = 0; k < count; ++k) p[k] = wrap_add(a, wrap_mul(k, d));
    return true;
  }
  auto first = [&](uint64_t v, float dflt) {
    if (L.f32_data(v)) return raw_f32(L.v(v).data, 0);
    if (L.i64_data(v)) return static_cast<float>(raw_i64(L.v(v).data, 0));
    return dflt;
  };
  float a = first(s0, 0.0f), b = first(s1, 1.0f), d = first(s2, 1.0f);
  if (d == 0.0f) return L.refuse("a zero delta");
  if (!L.options && d <= 0.0f) d = 1.0f;
  // ONNX counts ceil((limit - start) / delta) elements, none when that is
  // not positive.
  double q = std::ceil((static_cast<double>(b) - a) / d);
  if (!(q <= static_cast<double>(kMaxConstElements))) return L.refuse("a range too long to hold");
  uint64_t count = q > 0 ? static_cast<uint64_t>(q) : 0;
  if (count == 0) {
    if (L.options) return L.refuse("an empty range");
    count = 1;
  }
  uint64_t dims[1] = {count};
  float* p = f32_weight(L, out, 1, dims);
  if (p != nullptr)
    for (uint64_t k = 0; k < count; ++k) p[k] = std::fma(static_cast<float>(k), d, a);
  make_self_identity(n);
  return true;
}

bool lower_constant_of_shape(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  uint64_t rank = 1, dims[kBuilderRank] = {1};
  if (L.i64_data(in)) {
    const BuilderValue& s = L.v(in);
    rank = s.size / 8;
    if (rank > kBuilderRank) return L.refuse("a shape of rank above 6");
    for (uint64_t k = 0; k < rank; ++k) {
      int64_t e = raw_i64(s.data, k);
      if (L.options && e < 0) return L.refuse("a negative dimension");
      dims[k] = e < 1 && !L.options ? 1 : static_cast<uint64_t>(e);
    }
  } else if (L.options) {
    return L.refuse_runtime("a shape", in);
  }
  uint64_t count = 1;
  for (uint64_t k = 0; k < rank; ++k) count *= dims[k];
  if (L.options && count == 0) return L.refuse("an empty result");
  BuilderValue& y = L.v(out);
  if (!const_size_ok(rank, dims)) return L.refuse("a result too large to hold");
  if (y.elem == kElemI64) {
    int64_t fill = y.data != nullptr && y.size >= 8 ? raw_i64(y.data, 0) : 0;
    uint64_t one[1] = {count};
    auto* p = reinterpret_cast<int64_t*>(builder_set_const_data(L.s, out, kElemI64, 1, one));
    if (p != nullptr)
      for (uint64_t i = 0; i < count; ++i) p[i] = fill;
    L.v(out).rank = 0;
    if (L.v(out).kind != kValueGraphOutput) L.v(out).kind = kValueActivation;
    make_self_identity(n);
    return true;
  }
  float fill = y.data != nullptr && y.size >= 4 ? raw_f32(y.data, 0) : 0.0f;
  if (!L.options && fill < -1e9f) fill = -1e9f;
  float* p = f32_weight(L, out, rank, dims);
  if (p != nullptr)
    for (uint64_t i = 0; i < count; ++i) p[i] = fill;
  make_self_identity(n);
  return true;
}

bool lower_dequantize(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  copy_shape(L.v(out), L.v(in));
  const uint64_t sc = n.input_count() >= 2 ? n.input(1) : kNoIndex;
  const uint64_t zp = n.input_count() >= 3 ? n.input(2) : kNoIndex;
  const BuilderValue& X = L.v(in);
  if (!L.has_data(in)) {
    if (L.options) return L.refuse("quantised data computed at run time");
    float s0 = L.f32_data(sc) ? raw_f32(L.v(sc).data, 0) : 1.0f;
    float z0 = L.f32_data(zp) ? raw_f32(L.v(zp).data, 0) : L.i64_data(zp) ? static_cast<float>(raw_i64(L.v(zp).data, 0)) : 0.0f;
    int64_t p = producer_of(L, in);
    if (p >= 0) {
      uint64_t src = L.s.nodes[p].input(0);
      if (L.f32_data(src) && L.v(src).padded_size == 0) {
        // Other readers of the quantised weight keep it: the producer
        // reads a dequantised copy of its own.
        bool reused = false;
        const uint64_t own = private_weight(L, src, in, "#dequantized", &reused);
        if (own != kNoValue) L.s.nodes[p].w[2] = src = own;
      }
      if (L.f32_data(src) && L.v(src).padded_size == 0) {
        float* d = own_f32(L, src);
        if (d != nullptr)
          for (uint64_t i = 0; i < L.v(src).size / 4; ++i) d[i] = s0 * (d[i] - z0);
        L.v(src).padded_size = 1;
      }
    }
    make_identity(n, in);
  } else {
    const bool ints = X.elem == kElemI64;
    const uint64_t count = X.size / (ints ? 8 : 4);
    const uint8_t* xd = X.data;
    const uint64_t s_count = L.has_data(sc) ? L.v(sc).size / 4 : 0;
    const uint64_t z_count = L.has_data(zp) ? L.v(zp).size / (L.v(zp).elem == kElemI64 ? 8 : 4) : 0;
    if (L.options && s_count == 0) return L.refuse("a scale computed at run time");
    // Per-axis scales and zero points run along the attribute axis.
    int64_t axis = n.attr_i64(attr::kAxis);
    if (n.attr(attr::Import::kAxesCount) == 0) axis = 1;
    if (axis < 0) axis += static_cast<int64_t>(X.rank);
    uint64_t inner = 1, axis_dim = 1;
    if (s_count > 1) {
      if (axis < 0 || axis >= static_cast<int64_t>(X.rank)) return L.refuse("axis outside the input's rank");
      axis_dim = X.dims[axis];
      for (uint64_t k = static_cast<uint64_t>(axis) + 1; k < X.rank; ++k) inner *= X.dims[k];
      if (axis_dim != s_count) return L.refuse("scales do not match the axis");
    }
    uint64_t rank = X.rank, dims[kBuilderRank];
    std::memcpy(dims, X.dims, sizeof dims);
    if (rank == 0) rank = 1, dims[0] = count;
    const uint8_t* sd = s_count ? L.v(sc).data : nullptr;
    const uint8_t* zd = z_count ? L.v(zp).data : nullptr;
    const bool z_ints = z_count && L.v(zp).elem == kElemI64;
    float* p = f32_weight(L, out, rank, dims);
    if (p != nullptr) {
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t ch = s_count > 1 ? (i / inner) % axis_dim : 0;
        float s = sd ? raw_f32(sd, ch) : 1.0f;
        float z = 0.0f;
        if (zd) z = z_ints ? static_cast<float>(raw_i64(zd, z_count > 1 ? ch : 0)) : raw_f32(zd, z_count > 1 ? ch : 0);
        float v = ints ? static_cast<float>(raw_i64(xd, i)) : raw_f32(xd, i);
        p[i] = (v - z) * s;
      }
      L.v(out).kind = kValueWeight;
    }
    make_self_identity(n);
  }
  if (L.valid(sc)) L.v(sc).padded_size = kConsumedMark;
  if (L.valid(zp)) L.v(zp).padded_size = kConsumedMark;
  return true;
}

bool lower_dynamic_quantize(Lower& L, BuilderNode& n) {
  if (L.options) return L.refuse("DynamicQuantizeLinear rounds at run time, which the engines do not model");
  const uint64_t in = n.input(0);
  copy_shape(L.v(n.output(0)), L.v(in));
  if (n.output_count() >= 2 && L.valid(n.output(1))) {
    uint64_t one[1] = {1};
    float* p = f32_weight(L, n.output(1), 1, one);
    if (p != nullptr) p[0] = 1.0f;
  }
  if (n.output_count() >= 3 && L.valid(n.output(2))) {
    L.v(n.output(2)).kind = kValueActivation;
    L.v(n.output(2)).rank = 0;
  }
  make_identity(n, in);
  n.w[10] = 1;
  return true;
}

// OneHot runs only on values known at conversion: options mode evaluates
// or refuses it before the rules, and legacy mode leaves it as imported.
bool lower_one_hot(Lower&, BuilderNode&) { return true; }

}  // namespace vorn
