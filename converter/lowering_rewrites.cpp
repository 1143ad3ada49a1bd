// Rules that change weights or replace nodes by constants: Pow, the
// BatchNormalization fold and fusion into its Conv, DequantizeLinear, Pad,
// Where, ConstantOfShape, Range, Identity and Cast, and the raw-sigmoid
// rewrite of the legacy mode.
#include <cmath>
#include <cstdlib>

#include "converter/conversion_notes.h"
#include "converter/lowering_internal.h"
#include "converter/node_import.h"

namespace vorn {

namespace {

bool is_boolean_producer(uint64_t op) {
  return op == op::Equal || op == op::Less || op == op::Greater || op == op::Not || op == op::And || op == op::Or;
}

// The first node before the current one whose output 0 is value v.
int64_t producer_of(Lower& L, uint64_t v) {
  for (uint64_t i = 0; i < L.node; ++i)
    if (L.s.nodes[i].output(0) == v) return static_cast<int64_t>(i);
  return -1;
}

uint64_t uses_of(Lower& L, uint64_t v) {
  uint64_t c = 0;
  for (uint64_t i = 0; i < L.s.node_count; ++i) {
    const BuilderNode& n = L.s.nodes[i];
    if (n.op() == op::Identity && n.input(0) == n.output(0)) continue;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) c += n.input(k) == v;
  }
  return c;
}

// Owned F32 copy of a constant's data, so it can change in place.
float* own_f32(Lower& L, uint64_t v) {
  BuilderValue& c = L.v(v);
  if (c.data == nullptr || c.elem == kElemI64) return nullptr;
  if (c.owned & 1) return reinterpret_cast<float*>(const_cast<uint8_t*>(c.data));
  auto* p = static_cast<uint8_t*>(std::malloc(c.size == 0 ? 1 : c.size));
  if (p == nullptr) return nullptr;
  std::memcpy(p, c.data, c.size);
  c.data = p;
  c.owned = 1;
  return reinterpret_cast<float*>(p);
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

bool lower_batchnorm(Lower& L, BuilderNode& n) {
  const uint64_t x = n.input(0), out = n.output(0);
  copy_shape(L.v(out), L.v(x));
  if (n.input_count() < 5) {
    if (L.options) return L.refuse("fewer than five inputs");
    return true;
  }
  const uint64_t sc = n.input(1), bi = n.input(2), mean = n.input(3), var = n.input(4);
  for (uint64_t v : {sc, bi, mean, var})
    if (!L.f32_data(v)) return L.refuse("scale, bias, mean and variance must be constants");
  uint64_t c = L.v(sc).size / 4;
  if (L.v(bi).size / 4 != c || L.v(mean).size / 4 != c || L.v(var).size / 4 != c)
    return L.refuse("scale, bias, mean and variance differ in length");
  if (L.options && L.v(x).rank > 1 && L.v(x).dims[1] != c) return L.refuse("a length other than the channels");
  L.v(mean).padded_size = kConsumedMark;
  L.v(var).padded_size = kConsumedMark;
  n.w[1] = 3;
  n.w[5] = n.w[6] = kNoIndex;
  if (c < 1) return true;
  // Scale and bias become the multiplier and addend; fresh buffers keep
  // weights shared with other nodes unchanged.
  const float eps = n.attr_f32(14);
  uint64_t ns = builder_derive_value(L.s, out, "#bn_scale", 9);
  uint64_t nb = builder_derive_value(L.s, out, "#bn_bias", 8);
  if (ns == kNoValue || nb == kNoValue || ns == out || nb == out) return L.stop(kLowerNoCode);
  uint64_t dims[1] = {c};
  const BuilderValue &S = L.v(sc), &B = L.v(bi), &M = L.v(mean), &V = L.v(var);
  const uint8_t *sp = S.data, *bp = B.data, *mp = M.data, *vp = V.data;
  float* s_new = f32_weight(L, ns, 1, dims);
  float* b_new = f32_weight(L, nb, 1, dims);
  if (s_new == nullptr || b_new == nullptr) return L.stop(kLowerNoCode);
  for (uint64_t k = 0; k < c; ++k) {
    float s = raw_f32(sp, k) / std::sqrt(raw_f32(vp, k) + eps);
    b_new[k] = std::fma(-raw_f32(mp, k), s, raw_f32(bp, k));
    s_new[k] = s;
  }
  n.w[3] = ns;
  n.w[4] = nb;
  // Fusion into the Conv that produces x, when nothing else reads x.
  if (L.v(x).kind != kValueActivation || L.node == 0) return true;
  int64_t conv = -1;
  for (uint64_t i = L.node; i-- > 0;)
    if (L.s.nodes[i].op() == op::Conv && L.s.nodes[i].output(0) == x) {
      conv = static_cast<int64_t>(i);
      break;
    }
  if (conv < 0) return true;
  BuilderNode& cv = L.s.nodes[conv];
  const uint64_t w = cv.input(1);
  if (!L.valid(w) || uses_of(L, x) != 1 || uses_of(L, w) != 1) return true;
  BuilderValue& W = L.v(w);
  if (W.kind != kValueWeight || W.elem != kElemF32 || W.data == nullptr) return true;
  uint64_t count = W.size / 4;
  if (count < c || count % c != 0) return true;
  float* wp = own_f32(L, w);
  if (wp == nullptr) return true;
  uint64_t per = count / c;
  for (uint64_t k = 0; k < c; ++k)
    for (uint64_t t = 0; t < per; ++t) wp[k * per + t] *= s_new[k];
  if (cv.input_count() < 3 || !L.valid(cv.input(2))) {
    cv.w[1] = 3;
    cv.w[4] = nb;
  } else {
    float* bias = own_f32(L, cv.input(2));
    if (bias == nullptr || L.v(cv.input(2)).size / 4 < c) return L.stop(kLowerNoCode);
    for (uint64_t k = 0; k < c; ++k) bias[k] = std::fma(bias[k], s_new[k], b_new[k]);
  }
  cv.w[11] = out;
  L.v(x).rank = 0;
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
    int64_t axis = n.attr_i64(11);
    if (n.attr(1) == 0) axis = 1;
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

bool lower_pad(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0), pads = n.w[3];
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  copy_shape(y, x);
  const bool constant = L.valid(pads) && L.v(pads).elem == kElemI64 && L.v(pads).data != nullptr &&
                        L.v(pads).size == 16 * x.rank;
  n.w[1] = 1;
  if (!constant) {
    if (L.options) return L.stop(kLowerPad);
    convert_notes().rewrites |= kRewritePadTables;
    uint64_t p = 0;
    if (x.rank == 4) {
      const uint64_t* d = x.dims;
      if (d[1] == 128 && d[2] == 128 && d[3] == 128) p = 5;
      else if (d[1] == 64 && d[2] == 64 && d[3] == 768) p = 6;
      else if (d[3] >= 192) p = (12 - d[1] % 12) % 12;
    }
    if (p == 0) {
      make_identity(n, in);
      return true;
    }
    y.dims[1] += p, y.dims[2] += p;
    n.attr(6) = n.attr(7) = p;
    return true;
  }
  int64_t pv[12];
  for (uint64_t k = 0; k < 2 * x.rank && k < 12; ++k) pv[k] = raw_i64(L.v(pads).data, k);
  L.v(pads).padded_size = kConsumedMark;
  // The constant_value input (slot 2, kept by node import).
  float fill = 0.0f;
  const uint64_t fill_v = n.w[4];
  if (L.valid(fill_v)) {
    if (L.f32_data(fill_v)) fill = raw_f32(L.v(fill_v).data, 0);
    else if (L.i64_data(fill_v)) fill = static_cast<float>(raw_i64(L.v(fill_v).data, 0));
    else if (L.options) return L.refuse("a padding value computed at run time");
    L.v(fill_v).padded_size = kConsumedMark;
  }
  n.w[4] = kNoIndex;
  bool zero = true;
  for (uint64_t k = 0; k < 2 * x.rank; ++k) zero &= pv[k] == 0;
  if (zero) {
    make_identity(n, in);
    return true;
  }
  if (x.rank != 4) return L.stop(kLowerPad);
  // Zero padding of the two spatial axes in front of a convolution or an
  // average pool is that operator's own padding.
  const bool spatial = pv[0] == 0 && pv[1] == 0 && pv[4] == 0 && pv[5] == 0 && pv[2] >= 0 && pv[3] >= 0 &&
                       pv[6] >= 0 && pv[7] >= 0;
  if (spatial && fill == 0.0f && y.kind == kValueActivation && uses_of(L, out) == 1) {
    for (uint64_t i = L.node + 1; i < L.s.node_count; ++i) {
      BuilderNode& c = L.s.nodes[i];
      if (c.input(0) != out) continue;
      if (c.op() != op::Conv && c.op() != op::AveragePool) break;
      if (c.attr(12) == 2 || c.attr(12) == 3) break;
      c.attr(4) += static_cast<uint64_t>(pv[2]);
      c.attr(5) += static_cast<uint64_t>(pv[3]);
      c.attr(6) += static_cast<uint64_t>(pv[6]);
      c.attr(7) += static_cast<uint64_t>(pv[7]);
      c.w[2] = in;
      make_self_identity(n);
      return true;
    }
  }
  if (spatial) {
    // Zero padding of the spatial axes alone: a depthwise 1 x 1 convolution
    // with unit weights and that padding copies every value exactly.
    const uint64_t C = x.dims[1];
    uint64_t ones = builder_derive_value(L.s, out, "#pad_ones", 9);
    uint64_t wd[4] = {C, 1, 1, 1};
    float* w = ones == kNoValue || ones == out ? nullptr : f32_weight(L, ones, 4, wd);
    if (w == nullptr) return L.stop(kLowerNoCode);
    for (uint64_t c = 0; c < C; ++c) w[c] = 1.0f;
    n.w[0] = op::Conv;
    n.w[1] = 2;
    n.w[3] = ones;
    for (int k = 4; k < 10; ++k) n.w[k] = kNoIndex;
    builder_default_attrs(n);
    n.attr(0) = n.attr(1) = 1;
    n.attr(4) = static_cast<uint64_t>(pv[2]);
    n.attr(5) = static_cast<uint64_t>(pv[3]);
    n.attr(6) = static_cast<uint64_t>(pv[6]);
    n.attr(7) = static_cast<uint64_t>(pv[7]);
    n.attr(10) = C;
    n.attr(11) = 0;
    n.attr(14) = 0;
    n.attr(15) = 0;
    y.dims[2] += static_cast<uint64_t>(pv[2] + pv[6]);
    y.dims[3] += static_cast<uint64_t>(pv[3] + pv[7]);
    if (fill != 0.0f) {
      // A non-zero fill: the zero-padded result plus a constant map that
      // holds the fill on the border and 0 inside.
      const uint64_t H2 = y.dims[2], W2 = y.dims[3];
      uint64_t md[4] = {1, 1, H2, W2};
      uint64_t zeroed = builder_derive_value(L.s, out, "#zero_padded", 12);
      uint64_t border = builder_derive_value(L.s, out, "#border", 7);
      if (zeroed == kNoValue || border == kNoValue || zeroed == out || border == out) return L.stop(kLowerNoCode);
      float* m = f32_weight(L, border, 4, md);
      if (m == nullptr) return L.refuse("a padded output too large for its border map");
      for (uint64_t r = 0; r < H2; ++r)
        for (uint64_t c = 0; c < W2; ++c) {
          bool inside = r >= static_cast<uint64_t>(pv[2]) && r < static_cast<uint64_t>(pv[2]) + x.dims[2] &&
                        c >= static_cast<uint64_t>(pv[3]) && c < static_cast<uint64_t>(pv[3]) + x.dims[3];
          m[r * W2 + c] = inside ? 0.0f : fill;
        }
      copy_shape(L.v(zeroed), L.v(out));
      BuilderNode* add = insert_after_current(L);
      if (add == nullptr) return L.refuse("the node table is full");
      L.s.nodes[L.node].w[11] = zeroed;
      add->w[0] = op::Add, add->w[1] = 2, add->w[2] = zeroed, add->w[3] = border;
      add->w[10] = 1, add->w[11] = out;
    }
    return true;
  }
  if (fill != 0.0f) return L.stop(kLowerPad);
  for (int k = 0; k < 4; ++k)
    if (pv[k] != 0) return L.stop(kLowerPad);
  if (pv[4] != 0 || pv[7] != 0 || pv[5] < 0 || pv[6] < 0) return L.stop(kLowerPad);
  y.dims[1] += static_cast<uint64_t>(pv[5]);
  y.dims[2] += static_cast<uint64_t>(pv[6]);
  n.attr(6) = static_cast<uint64_t>(pv[5]);
  n.attr(7) = static_cast<uint64_t>(pv[6]);
  return true;
}

bool lower_where(Lower& L, BuilderNode& n) {
  const uint64_t c = n.input(0), a = n.input(1), b = n.input(2), out = n.output(0);
  if (n.input_count() < 3 || !L.valid(a) || !L.valid(b)) return L.refuse("fewer than three inputs");
  BuilderValue& y = L.v(out);
  const BuilderValue &C = L.v(c), &A = L.v(a), &B = L.v(b);
  uint64_t r1, d1[kBuilderRank] = {}, rank, dims[kBuilderRank] = {};
  bool shapes = broadcast_shapes(C.rank, C.dims, A.rank, A.dims, &r1, d1) &&
                broadcast_shapes(r1, d1, B.rank, B.dims, &rank, dims);
  if (L.has_data(c) && L.has_data(a) && L.has_data(b)) {
    const bool i64 = C.elem == kElemI64 && A.elem == kElemI64 && B.elem == kElemI64;
    auto elem = [](const BuilderValue& v, uint64_t i) {
      return v.elem == kElemI64 ? static_cast<double>(raw_i64(v.data, i)) : static_cast<double>(raw_f32(v.data, i));
    };
    if (i64 || !shapes) {
      uint64_t nc = C.size / (C.elem == kElemI64 ? 8 : 4), na = A.size / 8, nb = B.size / 8;
      if (!i64) {
        if (L.options) return L.refuse("operand shapes do not broadcast");
        return true;
      }
      uint64_t count = nc > na ? nc : na;
      count = count > nb ? count : nb;
      if (nc == 0 || na == 0 || nb == 0) count = 0;
      const uint8_t *cd = C.data, *ad = A.data, *bd = B.data;
      int64_t* p = i64_result(L, n, count);
      if (p != nullptr)
        for (uint64_t k = 0; k < count; ++k)
          p[k] = raw_i64(cd, k % nc) != 0 ? raw_i64(ad, k % na) : raw_i64(bd, k % nb);
      return true;
    }
    uint64_t count = 1;
    for (uint64_t k = 0; k < rank; ++k) count *= dims[k];
    const BuilderValue Cc = C, Ac = A, Bc = B;
    float* p = f32_weight(L, out, rank, dims);
    if (p != nullptr) {
      for (uint64_t i = 0; i < count; ++i) {
        double cv = elem(Cc, broadcast_source_index(i, rank, dims, Cc.rank, Cc.dims));
        double v = cv != 0 ? elem(Ac, broadcast_source_index(i, rank, dims, Ac.rank, Ac.dims))
                           : elem(Bc, broadcast_source_index(i, rank, dims, Bc.rank, Bc.dims));
        if (!L.options && v < -1e9) v = -1e9;
        p[i] = static_cast<float>(v);
      }
      make_self_identity(n);
    }
    return true;
  }
  if (L.options) {
    if (!shapes) return L.refuse("operand shapes do not broadcast");
    if ((A.elem == kElemI64 && !L.has_data(a) && A.kind != kValueGraphInput) ||
        (B.elem == kElemI64 && !L.has_data(b) && B.kind != kValueGraphInput))
      return L.stop(kLowerWhere);
    if (!promote_i64_operands(L, n, 0, 2)) return false;
    set_shape(y, rank, dims);
    return true;
  }
  int64_t p = producer_of(L, c);
  bool comparison = p >= 0 && is_boolean_producer(L.s.nodes[p].op());
  if (C.rank != 0 && C.data == nullptr && A.elem != kElemI64 && B.elem != kElemI64 && comparison && shapes) {
    set_shape(y, rank, dims);
    return true;
  }
  copy_shape(y, B);
  if (L.valid(c)) L.v(c).padded_size = kConsumedMark;
  convert_notes().rewrites |= kRewriteWhereY;
  make_identity(n, b);
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
    return L.refuse("a shape computed at run time");
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

bool lower_range(Lower& L, BuilderNode& n) {
  const uint64_t s0 = n.input(0), s1 = n.input(1), s2 = n.input(2), out = n.output(0);
  if (n.input_count() < 3) return L.refuse("fewer than three inputs");
  const bool f32 = (L.valid(s0) && L.v(s0).elem != kElemI64) || (L.valid(s1) && L.v(s1).elem != kElemI64);
  if (L.options)
    for (uint64_t v : {s0, s1, s2})
      if (!L.has_data(v)) return L.refuse("start, limit or delta computed at run time");
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

bool lower_identity(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  // Only input 0 is read: Dropout's ratio and the operands of nodes
  // imported as pass-throughs are not inputs of the runtime node.
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  if (in == out) return true;
  const bool cast = n.attr(1) == kCastTag;
  const uint64_t target = n.attr(0);
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
  n.attr(1) = 0;
  const bool integer_target = target == 2 || target == 3 || target == 4 || target == 5 || target == 6 || target == 7 ||
                              target == 12 || target == 13;
  if (L.options) {
    if (x.elem == kElemI64 && x.kind != kValueGraphInput)
      return L.refuse("its int64 input is computed at run time");
    // Integer and boolean targets truncate or test at run time; the engines
    // keep every value as f32, so float targets copy.
    if (target == 9 || (integer_target && x.elem != kElemI64)) {
      n.w[0] = op::Cast;
      n.attr(0) = target;
    }
    return true;
  }
  int64_t p = producer_of(L, in);
  if (target == 9) {
    if (!(p >= 0 && is_boolean_producer(L.s.nodes[p].op()))) n.w[0] = op::Cast, n.attr(0) = target;
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
      if (op != op::ArgMax && op != 63 && op != 64 && op != 65 && op != op::Cast) n.w[0] = op::Cast;
      return true;
    }
  }
  n.w[0] = op::Cast;
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

}  // namespace

// Integer weights of ConvInteger and MatMulInteger: the weight zero point is
// subtracted once, in place.
void lower_integer_weights(Lower& L, BuilderNode& n) {
  const uint64_t w = n.input(1);
  if (L.valid(w)) convert_notes().int8_elements += L.v(w).size / 4;
  const uint64_t zw = n.input_count() >= 4 ? n.input(3) : kNoIndex;
  if (n.input_count() >= 3 && L.valid(n.input(2))) L.v(n.input(2)).padded_size = kConsumedMark;
  if (L.valid(zw) && L.valid(w) && L.v(w).padded_size == 0) {
    if (L.f32_data(w) && L.has_data(zw)) {
      float* d = own_f32(L, w);
      const BuilderValue& Z = L.v(zw);
      const bool zi = Z.elem == kElemI64;
      uint64_t m = Z.size / (zi ? 8 : 4), count = L.v(w).size / 4;
      auto z = [&](uint64_t j) { return zi ? static_cast<float>(raw_i64(Z.data, j)) : raw_f32(Z.data, j); };
      if (d != nullptr && m >= 1)
        for (uint64_t i = 0; i < count; ++i)
          d[i] -= m == 1 ? z(0) : n.op() == op::Conv ? z(i / (count / m)) : z(i % m);
    }
    L.v(w).padded_size = 1;
  }
  if (L.valid(zw)) L.v(zw).padded_size = kConsumedMark;
  n.w[1] = 2;
  n.w[4] = n.w[5] = kNoIndex;
}

bool lower_rewrites(Lower& L, BuilderNode& n) {
  switch (n.op()) {
    case op::Pow: return lower_pow(L, n);
    case op::BatchNormalization: return lower_batchnorm(L, n);
    case op::DequantizeLinear: return lower_dequantize(L, n);
    case op::Pad: return lower_pad(L, n);
    case op::Where: return lower_where(L, n);
    case op::ConstantOfShape: return lower_constant_of_shape(L, n);
    case op::Range: return lower_range(L, n);
    case op::DynamicQuantizeLinear: return lower_dynamic_quantize(L, n);
    case op::Identity: case op::Cast: return lower_identity(L, n);
    default: return true;
  }
}

void raw_sigmoid_rewrite(Lower& L) {
  BuilderState& s = L.s;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    BuilderNode& n = s.nodes[i];
    if (n.op() != op::Concat || n.input_count() != 3 || !L.valid(n.output(0))) continue;
    const BuilderValue& o = s.values[n.output(0)];
    if (o.kind != kValueGraphOutput || o.dims[1] != 25200 || o.dims[2] != 6) continue;
    convert_notes().rewrites |= kRewriteRawSigmoid;
    n.attr(11) = 2;
    for (uint64_t k = 0; k < 3; ++k) {
      uint64_t v = n.input(k);
      for (uint64_t p = 24; p < i; ++p) {
        if (s.nodes[p].output(0) != v || s.nodes[p - 24].op() != op::Conv) continue;
        BuilderNode& f = s.nodes[p - 23];
        uint64_t conv_out = s.nodes[p - 24].output(0);
        uint64_t flat_out = f.output(0);
        f.w[0] = op::Flatten, f.w[1] = 1, f.w[2] = conv_out, f.w[10] = 1, f.attr(15) = 888;
        BuilderNode& g = s.nodes[p - 22];
        g.w[0] = op::Sigmoid, g.w[1] = 1, g.w[2] = flat_out, g.w[10] = 1, g.w[11] = v;
        for (uint64_t q = p - 21; q <= p; ++q) {
          s.nodes[q].w[0] = op::Identity, s.nodes[q].w[1] = 1, s.nodes[q].w[2] = v;
          s.nodes[q].w[10] = 1, s.nodes[q].w[11] = v;
        }
      }
    }
  }
}

}  // namespace vorn
