// Shape rules of the elementwise, binary, spatial and reduction operators.
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "converter/lowering_internal.h"

namespace vorn {

namespace {

float scalar_fold(uint64_t op, float x) {
  switch (op) {
    case op::Sqrt: return std::sqrt(x);
    case 45: return std::exp(x);
    case 48: return std::tanh(x);
    case 52: return std::cos(x);
    case 53: return std::sin(x);
    case 59: return std::log(x);
    case 61: return std::fabs(x);
    case 62: return -x;
    case 63: return std::floor(x);
    case 64: return std::ceil(x);
    case 65: return std::round(x);
    case 66: return 1.0f / x;
    default: return x;
  }
}

bool scalar_foldable(uint64_t op) {
  return op == op::Sqrt || op == 45 || op == 48 || op == 52 || op == 53 || (op >= 59 && op <= 66 && op != 60);
}


bool is_text(const uint8_t* p, uint64_t n, const char* t) { return p != nullptr && text_equal(p, n, t); }

// Nearest Resize in options mode. The engines repeat each value by whole
// factors (which equals ONNX's nearest for the rounding modes checked
// here); shrinking by 2, 4 or 8 becomes Slices that pick one source row and
// column of each block, the one ONNX's coordinate mode and rounding select.
bool lower_nearest_resize(Lower& L, BuilderNode& n, uint64_t H, uint64_t W, uint64_t oh, uint64_t ow, bool scaled,
                          float scale_h, float scale_w) {
  const uint8_t *coord = nullptr, *round = nullptr;
  uint64_t coord_len = 0, round_len = 0;
  node_attribute(L, "coordinate_transformation_mode", nullptr, &coord, &coord_len);
  node_attribute(L, "nearest_mode", nullptr, &round, &round_len);
  const bool half_pixel = coord == nullptr || is_text(coord, coord_len, "half_pixel") ||
                          is_text(coord, coord_len, "pytorch_half_pixel");
  const bool asymmetric = is_text(coord, coord_len, "asymmetric");
  const bool prefer_floor = round == nullptr || is_text(round, round_len, "round_prefer_floor");
  const bool prefer_ceil = is_text(round, round_len, "round_prefer_ceil");
  const bool floor_mode = is_text(round, round_len, "floor");
  const bool ceil_mode = is_text(round, round_len, "ceil");
  if (!half_pixel && !asymmetric) return L.refuse("nearest resizing with this coordinate mode is not supported");
  const uint64_t in_size[2] = {H, W}, out_size[2] = {oh, ow};
  const float scale[2] = {scale_h, scale_w};
  bool up = false, down = false;
  uint64_t factor[2] = {1, 1};
  for (int a = 0; a < 2; ++a) {
    uint64_t i = in_size[a], o = out_size[a];
    if (o == i) continue;
    if (o > i && o % i == 0) {
      uint64_t f = o / i;
      if (scaled && scale[a] != static_cast<float>(f)) return L.refuse("a scale that is not the ratio of the sizes");
      // Which source index each output takes: half-pixel rounds to i / f
      // in both rounding directions; asymmetric floors (or rounds a 0.5 tie
      // down for f = 2).
      bool ok = half_pixel ? (prefer_floor || prefer_ceil) : (floor_mode || (prefer_floor && f == 2));
      if (!ok) return L.refuse("nearest resizing with this rounding mode is not supported");
      up = true;
      factor[a] = f;
    } else if (o < i && i % o == 0 && (i / o == 2 || i / o == 4 || i / o == 8)) {
      uint64_t k = i / o;
      if (scaled && scale[a] != 1.0f / static_cast<float>(k)) return L.refuse("a scale that is not the ratio of the sizes");
      down = true;
      factor[a] = k;
    } else {
      return L.refuse("nearest resizing by other than whole factors is not supported");
    }
  }
  if (up && down) return L.refuse("growing one axis and shrinking the other is not supported");
  const uint64_t in = n.input(0), out = n.output(0);
  BuilderValue& x = L.v(in);
  uint64_t o4[4] = {x.dims[0], x.dims[1], oh, ow};
  set_shape(L.v(out), 4, o4);
  for (uint64_t k = 1; k < n.input_count() && k < 8; ++k)
    if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
  if (up) {
    n.attr(2) = oh / H;
    n.attr(3) = ow / W;
    n.attr(12) = 0;
    n.w[1] = 1;
    for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
    return true;
  }
  // Shrinking: output i reads source k*i + offset.
  uint64_t offset[2] = {0, 0};
  for (int a = 0; a < 2; ++a) {
    uint64_t k = factor[a];
    if (k == 1 || asymmetric) continue;
    // half_pixel: the source coordinate is k*i + (k - 1) / 2, a tie for even k.
    offset[a] = prefer_ceil || ceil_mode ? k / 2 : k / 2 - 1;
  }
  uint64_t dims[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  uint64_t src = in;
  int parts = (factor[0] != 1) + (factor[1] != 1);
  int done = 0;
  for (int a = 0; a < 2; ++a) {
    if (factor[a] == 1) continue;
    dims[2 + a] = out_size[a];
    uint64_t dst = out;
    if (++done < parts) {
      dst = builder_derive_value(L.s, out, "#rows", 5);
      if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
      set_shape(L.v(dst), 4, dims);
    }
    BuilderNode* s = done == 1 ? &L.s.nodes[L.node] : insert_after_current(L);
    if (s == nullptr) return L.refuse("the node table is full");
    s->w[0] = op::Slice;
    s->w[1] = 1;
    s->w[2] = src;
    for (int k = 3; k < 10; ++k) s->w[k] = kNoIndex;
    s->w[10] = 1;
    s->w[11] = dst;
    s->attr(11) = 2 + static_cast<uint64_t>(a);
    s->attr(4) = offset[a];
    s->attr(5) = out_size[a];
    s->attr(2) = factor[a];
    src = dst;
  }
  return true;
}


// AveragePool: the kernel divides every window's in-input sum by the whole
// window. ONNX divides by the window clipped to the input (count_include_pad
// 0, the default) or to the padded input (1); where the two differ a Mul by
// a constant map of ratios follows the pool.
bool average_divisors(Lower& L, BuilderNode& n, const uint64_t* d, const uint64_t* o, int64_t kh, int64_t kw,
                      int64_t sh, int64_t sw, int64_t pt, int64_t pl, int64_t pb, int64_t pr) {
  int64_t include = 0;
  node_int_attribute(L, "count_include_pad", &include);
  const int64_t H = static_cast<int64_t>(d[2]), W = static_cast<int64_t>(d[3]);
  const uint64_t oh = o[2], ow = o[3];
  uint64_t map_dims[4] = {1, 1, oh, ow};
  if (!const_size_ok(4, map_dims)) return L.refuse("an output too large for its divisor map");
  std::vector<float> ratio(oh * ow);
  bool differs = false;
  for (uint64_t y = 0; y < oh; ++y)
    for (uint64_t x = 0; x < ow; ++x) {
      int64_t h0 = static_cast<int64_t>(y) * sh - pt, w0 = static_cast<int64_t>(x) * sw - pl;
      int64_t h1 = std::min(h0 + kh, H + pb), w1 = std::min(w0 + kw, W + pr);
      int64_t count = (h1 - h0) * (w1 - w0);
      if (include == 0) {
        h0 = std::max<int64_t>(h0, 0), w0 = std::max<int64_t>(w0, 0);
        h1 = std::min(h1, H), w1 = std::min(w1, W);
        count = (h1 - h0) * (w1 - w0);
      }
      if (count <= 0) return L.refuse("a window that holds no input");
      ratio[y * ow + x] = static_cast<float>(kh * kw) / static_cast<float>(count);
      differs |= count != kh * kw;
    }
  if (!differs) return true;
  const uint64_t out = n.output(0);
  uint64_t sum = builder_derive_value(L.s, out, "#window_sum", 11);
  uint64_t map = builder_derive_value(L.s, out, "#divisors", 9);
  if (sum == kNoValue || map == kNoValue || sum == out || map == out) return L.stop(kLowerNoCode);
  float* p = f32_weight(L, map, 4, map_dims);
  if (p == nullptr) return L.stop(kLowerNoCode);
  std::memcpy(p, ratio.data(), ratio.size() * 4);
  copy_shape(L.v(sum), L.v(out));
  BuilderNode* mul = insert_after_current(L);
  if (mul == nullptr) return L.refuse("the node table is full");
  L.s.nodes[L.node].w[11] = sum;
  mul->w[0] = op::Mul;
  mul->w[1] = 2;
  mul->w[2] = sum;
  mul->w[3] = map;
  mul->w[10] = 1;
  mul->w[11] = out;
  return true;
}

}  // namespace

bool lower_elementwise(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.options ? L.refuse("input 0 is missing") : true;
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  // I64 Abs, Neg and Not of constants.
  if ((op == 61 || op == 62 || op == op::Not) && L.i64_data(in)) {
    const uint8_t* src = x.data;
    uint64_t count = x.size / 8;
    int64_t* p = i64_result(L, n, count);
    if (p != nullptr)
      for (uint64_t i = 0; i < count; ++i) {
        int64_t v = raw_i64(src, i);
        p[i] = op == 61 ? (v < 0 ? wrap_sub(0, v) : v) : op == 62 ? wrap_sub(0, v) : (v == 0 ? 1 : 0);
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
  switch (op) {
    case op::LayerNormalization: {
      uint64_t axis;
      if (!normalise(n.attr_i64(11), x.rank, &axis)) return L.refuse("axis outside the input's rank");
      if (L.options && axis + 1 != x.rank) {
        // Normalising over several trailing axes equals normalising their
        // flattened row only when they are all but the last of size 1.
        for (uint64_t d = axis; d + 1 < x.rank; ++d)
          if (x.dims[d] != 1) return L.refuse("normalisation over other axes than the last is not supported");
      }
      n.attr(11) = ~uint64_t{0};
      break;
    }
    case op::InstanceNormalization:
      if (x.rank != 4) {
        if (L.options) return L.refuse("only rank-4 inputs (NCHW) are supported");
      }
      break;
    case op::Softmax: {
      uint64_t axis;
      if (!normalise(n.attr_i64(11), x.rank, &axis)) {
        if (L.options) return L.refuse("axis outside the input's rank");
        break;
      }
      n.attr(11) = axis;
      uint64_t inner = 1;
      for (uint64_t d = axis + 1; d < x.rank; ++d) inner *= x.dims[d];
      if (n.attr(13) == 1 && inner != 1 && axis + 1 < x.rank) {
        // Before opset 13 Softmax normalises the flattened block from the
        // axis on: run it on a [outer, block] view and reshape back.
        uint64_t outer = 1;
        for (uint64_t d = 0; d < axis; ++d) outer *= x.dims[d];
        uint64_t flat = builder_derive_value(L.s, out, "#softmax2d", 10);
        if (flat == kNoValue || flat == out) return L.stop(kLowerNoCode);
        uint64_t dims[2] = {outer, inner * x.dims[axis]};
        set_shape(L.v(flat), 2, dims);
        BuilderNode* r = insert_after_current(L);
        if (r == nullptr) return L.refuse("the node table is full");
        BuilderNode& sm = L.s.nodes[L.node];
        sm.w[11] = flat;
        sm.attr(11) = 1;
        sm.attr(13) = 0;
        r->w[0] = op::Flatten;
        r->w[1] = 1;
        r->w[2] = flat;
        r->w[10] = 1;
        r->w[11] = out;
      }
      n.attr(13) = 0;
      break;
    }
    case op::Clip: {
      float lo = -3.4028235e38f, hi = 3.4028235e38f;
      if (n.input_count() >= 2 && L.f32_data(n.input(1))) lo = raw_f32(L.v(n.input(1)).data, 0);
      else if (n.input_count() >= 2 && L.i64_data(n.input(1))) lo = static_cast<float>(raw_i64(L.v(n.input(1)).data, 0));
      if (n.input_count() >= 3 && L.f32_data(n.input(2))) hi = raw_f32(L.v(n.input(2)).data, 0);
      else if (n.input_count() >= 3 && L.i64_data(n.input(2))) hi = static_cast<float>(raw_i64(L.v(n.input(2)).data, 0));
      if (L.options)
        for (uint64_t k = 1; k < 3 && k < n.input_count(); ++k)
          if (L.valid(n.input(k)) && !L.has_data(n.input(k))) return L.refuse("bounds computed at run time");
      // Opset 11 and later carry the bounds as inputs; earlier ones as
      // attributes min/max, which node import leaves in words 14 and 15.
      if (n.input_count() >= 2) {
        n.attr(14) = f32_bits(lo);
        n.attr(15) = f32_bits(hi);
      }
      for (uint64_t k = 1; k < 3 && k < n.input_count(); ++k)
        if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
      n.w[1] = 1;
      n.w[3] = n.w[4] = kNoIndex;
      break;
    }
    case 18:  // PRelu: the slope repeats per channel (dim 1) or is one value.
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
      break;
    default:
      break;
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
        case 69: r = x > z ? x : z; break;
        case 70: r = x < z ? x : z; break;
        case op::Mod: r = z == 0 || z == -1 ? 0 : x - (x / z) * z; break;
        case op::Greater: r = n.attr(12) == 1 ? x >= z : x > z; break;
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
      case 69: r = x >= z ? x : z; break;
      case 70: r = x <= z ? x : z; break;
      case op::Mod: r = n.attr(13) != 0 ? std::fmod(x, z) : x - std::floor(x / z) * z; break;
      case op::Greater: r = (n.attr(12) == 1 ? x >= z : x > z) ? 1.0f : 0.0f; break;
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
  if (L.options && op == op::Mod && n.attr(13) == 0)
    return L.refuse("integer Mod (floor semantics) on run-time values: the engines compute fmod");
  return true;
}

bool lower_spatial(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  const bool rank4_op = op == op::Conv || op == op::MaxPool || op == op::AveragePool || op == op::GlobalAveragePool || op == op::ConvTranspose;
  if (rank4_op && x.rank != 4) return L.stop(kLowerRank4);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  switch (op) {
    case op::GlobalAveragePool: {
      uint64_t o[4] = {d[0], d[1], 1, 1};
      set_shape(y, 4, o);
      return true;
    }
    case op::Conv: case op::MaxPool: case op::AveragePool: {
      uint64_t k_out = d[1];
      if (op == op::Conv) {
        if (!L.valid(n.input(1))) return L.refuse("the weight is missing");
        const BuilderValue& w = L.v(n.input(1));
        if (w.rank != 4) return L.stop(kLowerRank4);
        if (n.attr(0) == 0) n.attr(0) = w.dims[2];
        if (n.attr(1) == 0) n.attr(1) = w.dims[3];
        k_out = w.dims[0];
        uint64_t g = n.attr(10) == 0 ? 1 : n.attr(10);
        if (L.options && (w.dims[1] * g != d[1] || w.dims[0] % g != 0))
          return L.refuse("weight shape does not match the input channels and groups");
        if (L.options && n.input_count() >= 3 && L.valid(n.input(2)) && elem_count(L.v(n.input(2))) != k_out)
          return L.refuse("bias length differs from the output channels");
      }
      int64_t kh = n.attr_i64(0), kw = n.attr_i64(1), sh = n.attr_i64(2), sw = n.attr_i64(3);
      int64_t dh = n.attr_i64(8), dw = n.attr_i64(9);
      if (sh < 1 || sw < 1 || dh < 1 || dw < 1 || kh < 1 || kw < 1) return L.refuse("a zero kernel, stride or dilation");
      if (n.attr(12) == 2 || n.attr(12) == 3) {
        int64_t S[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
        int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
        for (int a = 0; a < 2; ++a) {
          int64_t total = ((S[a] + st[a] - 1) / st[a] - 1) * st[a] + dl[a] * (k[a] - 1) + 1 - S[a];
          if (total < 0) total = 0;
          int64_t small = total / 2, big = total - small;
          n.attr(4 + a) = static_cast<uint64_t>(n.attr(12) == 2 ? small : big);
          n.attr(6 + a) = static_cast<uint64_t>(n.attr(12) == 2 ? big : small);
        }
        if (op == op::Conv) n.attr(12) = 0;
      }
      int64_t pt = n.attr_i64(4), pl = n.attr_i64(5), pb = n.attr_i64(6), pr = n.attr_i64(7);
      if (pt < 0 || pl < 0 || pb < 0 || pr < 0) return L.refuse("negative padding");
      const int64_t given_pb = pb, given_pr = pr;
      int64_t ceil_mode = 0;
      if (op != op::Conv && node_int_attribute(L, "ceil_mode", &ceil_mode) && ceil_mode != 0) {
        // Rounding the output size up is padding the end by what the last
        // window needs, as long as that window starts inside the input or
        // its begin padding; the kernel never reads padding.
        int64_t in_size[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
        int64_t k[2] = {kh, kw}, st[2] = {sh, sw}, dl[2] = {dh, dw}, begin[2] = {pt, pl};
        int64_t* end[2] = {&pb, &pr};
        for (int a = 0; a < 2; ++a) {
          int64_t span = in_size[a] + begin[a] + *end[a] - dl[a] * (k[a] - 1) - 1;
          if (span < 0) return L.refuse("the window is larger than the padded input");
          int64_t out_size = (span + st[a] - 1) / st[a] + 1;
          if ((out_size - 1) * st[a] >= in_size[a] + begin[a]) --out_size;
          int64_t need = (out_size - 1) * st[a] + dl[a] * (k[a] - 1) + 1 - (in_size[a] + begin[a]);
          if (need > *end[a]) *end[a] = need;
        }
        n.attr(6) = static_cast<uint64_t>(pb);
        n.attr(7) = static_cast<uint64_t>(pr);
      }
      int64_t oh = (static_cast<int64_t>(d[2]) + pt + pb - dh * (kh - 1) - 1);
      int64_t ow = (static_cast<int64_t>(d[3]) + pl + pr - dw * (kw - 1) - 1);
      if (oh < 0 || ow < 0) return L.refuse("the window is larger than the padded input");
      uint64_t o[4] = {d[0], k_out, static_cast<uint64_t>(oh / sh + 1), static_cast<uint64_t>(ow / sw + 1)};
      if (op == op::MaxPool && L.options && (pt >= kh || pl >= kw || pb >= kh || pr >= kw))
        return L.refuse("padding as large as the window");
      set_shape(y, 4, o);
      if (op == op::Conv && n.attr(15) == 777) n.attr(15) = f32_bits(1.0f);
      if (op == op::AveragePool) return average_divisors(L, n, d, o, kh, kw, sh, sw, pt, pl, given_pb, given_pr);
      return true;
    }
    case op::ConvTranspose: {
      if (!L.valid(n.input(1))) return L.refuse("the weight is missing");
      const BuilderValue& w = L.v(n.input(1));
      if (w.rank != 4) return L.stop(kLowerRank4);
      if (n.attr(0) == 0) n.attr(0) = w.dims[2];
      if (n.attr(1) == 0) n.attr(1) = w.dims[3];
      uint64_t g = n.attr(10) == 0 ? 1 : n.attr(10);
      int64_t kh = n.attr_i64(0), kw = n.attr_i64(1), sh = n.attr_i64(2), sw = n.attr_i64(3);
      int64_t dh = n.attr_i64(8), dw = n.attr_i64(9);
      if (sh < 1 || sw < 1 || dh < 1 || dw < 1 || kh < 1 || kw < 1) return L.refuse("a zero kernel, stride or dilation");
      // output_padding adds rows and columns at the end; output_shape (or
      // auto_pad) fixes the size and the padding is derived from it.
      int64_t extra[2] = {0, 0}, shape[4] = {0, 0, 0, 0};
      int64_t n_extra = node_int_list(L, "output_padding", extra, 2);
      int64_t n_shape = node_int_list(L, "output_shape", shape, 4);
      if (n_extra == 1) extra[1] = extra[0], extra[0] = 0;
      if (n_extra > 2 || n_shape > 4 || extra[0] < 0 || extra[1] < 0) return L.refuse("output_padding or output_shape of another rank");
      if (n_shape >= 2) {
        int64_t want[2] = {shape[n_shape - 2], shape[n_shape - 1]};
        int64_t in_size[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
        int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
        for (int a = 0; a < 2; ++a) {
          int64_t total = st[a] * (in_size[a] - 1) + extra[a] + (k[a] - 1) * dl[a] + 1 - want[a];
          if (total < 0) return L.refuse("an output_shape larger than the convolution reaches");
          bool upper = n.attr(12) == 2;
          n.attr(4 + a) = static_cast<uint64_t>(upper ? total / 2 : total - total / 2);
          n.attr(6 + a) = static_cast<uint64_t>(upper ? total - total / 2 : total / 2);
        }
        extra[0] = extra[1] = 0;
      } else if (n.attr(12) == 2 || n.attr(12) == 3) {
        int64_t in_size[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
        int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
        for (int a = 0; a < 2; ++a) {
          int64_t total = st[a] * (in_size[a] - 1) + extra[a] + (k[a] - 1) * dl[a] + 1 - in_size[a] * st[a];
          if (total < 0) total = 0;
          bool upper = n.attr(12) == 2;
          n.attr(4 + a) = static_cast<uint64_t>(upper ? total / 2 : total - total / 2);
          n.attr(6 + a) = static_cast<uint64_t>(upper ? total - total / 2 : total / 2);
        }
        extra[0] = extra[1] = 0;
      }
      n.attr(12) = 0;
      int64_t oh = sh * (static_cast<int64_t>(d[2]) - 1) - (n.attr_i64(4) + n.attr_i64(6)) + dh * (kh - 1) + 1 + extra[0];
      int64_t ow = sw * (static_cast<int64_t>(d[3]) - 1) - (n.attr_i64(5) + n.attr_i64(7)) + dw * (kw - 1) + 1 + extra[1];
      if (oh < 1 || ow < 1) return L.refuse("an empty output");
      if (L.options && w.dims[0] != d[1]) return L.refuse("weight shape does not match the input channels");
      uint64_t o[4] = {d[0], w.dims[1] * g, static_cast<uint64_t>(oh), static_cast<uint64_t>(ow)};
      set_shape(y, 4, o);
      n.attr(14) = 0;
      return true;
    }
    case op::Resize: {
      if (x.rank != 4) return L.stop(kLowerRank4);
      uint64_t H = d[2], W = d[3];
      if (H > (uint64_t{1} << 32) || W > (uint64_t{1} << 32)) return L.refuse("an input side too large");
      uint64_t oh = 2 * H, ow = 2 * W;
      float scale_h = 0, scale_w = 0;
      bool sized = false, scaled = false, n_c_kept = true;
      for (uint64_t k = 1; k < n.input_count() && k < 8; ++k) {
        uint64_t v = n.input(k);
        if (!L.valid(v)) continue;
        const BuilderValue& c = L.v(v);
        if (c.data == nullptr) {
          if (L.options && c.size == 0 && elem_count(c) != 0 && c.kind != kValueWeight)
            return L.refuse("scales or sizes computed at run time");
          continue;
        }
        if (c.elem != kElemI64 && c.size == 16) {
          float sc[4];
          std::memcpy(sc, c.data, 16);
          for (int a = 2; a < 4; ++a)
            if (!(sc[a] <= 1e6f)) return L.refuse("a scale that is not finite or too large");
          if (sc[2] > 0) oh = static_cast<uint64_t>(sc[2] * static_cast<float>(H) + 0.0001f), scale_h = sc[2];
          if (sc[3] > 0) ow = static_cast<uint64_t>(sc[3] * static_cast<float>(W) + 0.0001f), scale_w = sc[3];
          n_c_kept = sc[0] == 1.0f && sc[1] == 1.0f;
          scaled = true, sized = false;
        } else if (c.elem == kElemI64 && c.size == 32) {
          int64_t sz[4];
          std::memcpy(sz, c.data, 32);
          if (sz[2] != 0) oh = static_cast<uint64_t>(sz[2]);
          if (sz[3] != 0) ow = static_cast<uint64_t>(sz[3]);
          n_c_kept = sz[0] == static_cast<int64_t>(d[0]) && sz[1] == static_cast<int64_t>(d[1]);
          sized = true, scaled = false;
        } else if (L.options && c.size != 0 && (c.elem == kElemI64 ? c.size != 8 * 0 : true) && elem_count(c) != 0 &&
                   k >= 2) {
          return L.refuse("scales or sizes other than four values for N, C, H and W");
        }
      }
      if (L.options) {
        if (!scaled && !sized) return L.refuse("neither constant scales nor constant sizes");
        if (!n_c_kept) return L.refuse("resizing the batch or channel axes is not supported");
        if (oh == 0 || ow == 0) return L.refuse("an empty output");
        if (n.attr(12) == 1) {
          if (oh > 2048 || ow > 2048) return L.refuse("bilinear outputs above 2048 on a side are not supported");
          // The engines sample at out/in; with given scales ONNX samples at
          // the scale itself, which is the same only when it equals out/in.
          if (scaled && n.attr(13) != 1 &&
              ((H != 1 && static_cast<float>(oh) / static_cast<float>(H) != scale_h) ||
               (W != 1 && static_cast<float>(ow) / static_cast<float>(W) != scale_w)))
            return L.refuse("a scale that is not the ratio of the output and input sizes");
        } else if (!(oh == H && ow == W) && !(H == 1 && W == 1)) {
          return lower_nearest_resize(L, n, H, W, oh, ow, scaled, scale_h, scale_w);
        }
      }
      n.attr(2) = oh > H - 1 && H != 0 ? oh / H : 1;
      n.attr(3) = ow > W - 1 && W != 0 ? ow / W : 1;
      if (n.attr(2) == 0) n.attr(2) = 1;
      if (n.attr(3) == 0) n.attr(3) = 1;
      for (uint64_t k = 1; k < n.input_count() && k < 8; ++k)
        if (L.valid(n.input(k))) L.v(n.input(k)).padded_size = kConsumedMark;
      n.w[1] = 1;
      for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
      uint64_t o[4] = {d[0], d[1], oh, ow};
      set_shape(y, 4, o);
      return true;
    }
    case op::DepthToSpace: case op::SpaceToDepth: {
      if (x.rank != 4) return L.stop(kLowerRank4);
      uint64_t b = n.attr(0) == 0 ? 2 : n.attr(0);
      if (op == op::DepthToSpace) {
        if (d[1] % (b * b) != 0) return L.refuse("channels not divisible by the block area");
        uint64_t o[4] = {d[0], d[1] / (b * b), d[2] * b, d[3] * b};
        set_shape(y, 4, o);
        if (n.attr(13) == 1) {
          // DCR order: [N, b, b, C', H, W] transposed to [N, C', H, b, W, b].
          n.attr(13) = 0;
          const uint64_t out = n.output(0);
          uint64_t six = builder_derive_value(L.s, out, "#dcr", 4);
          uint64_t moved = builder_derive_value(L.s, out, "#dcr_t", 6);
          if (six == kNoValue || moved == kNoValue || six == out || moved == out) return L.stop(kLowerNoCode);
          uint64_t s6[6] = {d[0], b, b, d[1] / (b * b), d[2], d[3]};
          uint64_t t6[6] = {d[0], d[1] / (b * b), d[2], b, d[3], b};
          set_shape(L.v(six), 6, s6);
          set_shape(L.v(moved), 6, t6);
          const uint64_t in = n.input(0);
          BuilderNode* t = insert_after_current(L);
          BuilderNode* r = t == nullptr ? nullptr : insert_after_current(L);
          if (r == nullptr) return L.refuse("the node table is full");
          BuilderNode& first = L.s.nodes[L.node];
          first.w[0] = op::Flatten, first.w[1] = 1, first.w[2] = in, first.w[11] = six;
          first.attr(15) = 0;
          t = &L.s.nodes[L.node + 1];
          t->w[0] = op::Transpose, t->w[1] = 1, t->w[2] = six, t->w[10] = 1, t->w[11] = moved;
          const uint64_t perm[6] = {0, 3, 4, 1, 5, 2};
          t->attr(0) = 6;
          for (int k = 0; k < 6; ++k) t->attr(4 + k) = perm[k];
          r->w[0] = op::Flatten, r->w[1] = 1, r->w[2] = moved, r->w[10] = 1, r->w[11] = out;
          return true;
        }
      } else {
        if (d[2] % b != 0 || d[3] % b != 0) return L.refuse("sides not divisible by the block size");
        uint64_t o[4] = {d[0], d[1] * b * b, d[2] / b, d[3] / b};
        set_shape(y, 4, o);
      }
      n.attr(0) = b;
      return true;
    }
    case op::GridSample: {
      if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("the grid is missing");
      const BuilderValue& g = L.v(n.input(1));
      if (L.options) {
        // The engines sample bilinearly with zeros outside and corners not
        // aligned: the ONNX defaults.
        const uint8_t *mode = nullptr, *padding = nullptr;
        uint64_t mode_len = 0, padding_len = 0;
        int64_t align = 0;
        node_attribute(L, "mode", nullptr, &mode, &mode_len);
        node_attribute(L, "padding_mode", nullptr, &padding, &padding_len);
        node_int_attribute(L, "align_corners", &align);
        if (mode != nullptr && !is_text(mode, mode_len, "bilinear") && !is_text(mode, mode_len, "linear"))
          return L.refuse("only bilinear sampling is supported");
        if (padding != nullptr && !is_text(padding, padding_len, "zeros"))
          return L.refuse("only zero padding is supported");
        if (align != 0) return L.refuse("align_corners=1 is not supported");
        if (g.rank != 4 || g.dims[3] != 2 || g.dims[0] != d[0]) return L.refuse("a grid that is not [N, H, W, 2]");
      }
      uint64_t o[4] = {d[0], d[1], g.dims[1], g.dims[2]};
      set_shape(y, 4, o);
      return true;
    }
    default:
      if (L.options) return L.refuse("no Vorn lowering for this operator");
      copy_shape(y, x);
      return true;
  }
}

bool lower_reductions(Lower& L, BuilderNode& n) {
  const uint64_t op = n.op();
  const uint64_t in = n.input(0), out = n.output(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(out);
  if (L.i64_data(in)) {
    const uint8_t* src = x.data;
    uint64_t count = x.size / 8;
    int64_t acc = op == op::ReduceProd ? 1 : 0;
    for (uint64_t i = 0; i < count; ++i) {
      int64_t v = raw_i64(src, i);
      if (op == op::ReduceSum || op == op::ReduceMean) acc = wrap_add(acc, v);
      else if (op == op::ReduceProd) acc = wrap_mul(acc, v);
      else if (i == 0 || (op == op::ReduceMax ? v > acc : v < acc)) acc = v;
    }
    if (op == op::ReduceMean && count != 0) acc = safe_div(acc, static_cast<int64_t>(count));
    int64_t* p = i64_result(L, n, 1);
    if (p != nullptr) p[0] = acc;
    return true;
  }
  // The axes: input 1 (opset 13 ReduceSum, 18 and later) or the attribute.
  int64_t axes[6];
  uint64_t axis_count = 0;
  bool from_input = n.input_count() >= 2 && L.valid(n.input(1));
  if (from_input) {
    if (!L.i64_data(n.input(1))) {
      if (L.options) return L.refuse("axes computed at run time");
    } else {
      axis_count = L.v(n.input(1)).size / 8;
      if (axis_count > 6) return L.refuse("more than six axes");
      for (uint64_t k = 0; k < axis_count; ++k) axes[k] = raw_i64(L.v(n.input(1)).data, k);
    }
    L.v(n.input(1)).padded_size = kConsumedMark;
  } else if (n.attr(1) >= 1) {
    // Import keeps the first two attribute axes in the node; the full list
    // comes from the NodeProto.
    const int64_t listed = node_int_list(L, "axes", axes, 6);
    if (listed > 6) return L.refuse("more than six axes");
    if (listed >= 1) {
      axis_count = static_cast<uint64_t>(listed);
    } else {
      axis_count = n.attr(1) > 2 ? 2 : n.attr(1);
      axes[0] = n.attr_i64(11);
      if (axis_count >= 2) axes[1] = n.attr_i64(3);
      if (n.attr(1) > 2) return L.refuse("more axes than the node records");
    }
  }
  int64_t keepdims = 1;
  if (!node_int_attribute(L, "keepdims", &keepdims)) keepdims = 1;
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  uint64_t norm[6];
  for (uint64_t k = 0; k < axis_count && k < 6; ++k)
    if (!normalise(axes[k], x.rank, &norm[k])) return L.refuse("an axis outside the input's rank");
  if (axis_count == 2 && norm[0] > norm[1]) std::swap(norm[0], norm[1]);
  if (axis_count == 2 && op == op::ReduceMean && x.rank == 4 && norm[0] == 2 && norm[1] == 3) {
    n.w[0] = op::GlobalAveragePool;
    uint64_t o[4] = {x.dims[0], x.dims[1], 1, 1};
    if (keepdims) set_shape(y, 4, o);
    else set_shape(y, 2, o);
    return true;
  }
  if (axis_count != 1 && (L.options || (axis_count >= 2 && op != op::ReduceMean))) {
    // Several axes (none given: all of them) as a chain of one-axis
    // reductions, the last axis first; a mean of equal-sized means is the
    // mean. Without keepdims the last one drops the reduced axes.
    bool reduce[kBuilderRank] = {};
    if (axis_count == 0) {
      int64_t noop = 0;
      if (node_int_attribute(L, "noop_with_empty_axes", &noop) && noop != 0) {
        copy_shape(y, x);
        make_identity(n, in);
        return true;
      }
      for (uint64_t d = 0; d < x.rank; ++d) reduce[d] = true;
    }
    for (uint64_t k = 0; k < axis_count; ++k) {
      if (reduce[norm[k]]) return L.refuse("an axis given twice");
      reduce[norm[k]] = true;
    }
    uint64_t steps[kBuilderRank], count = 0;
    for (uint64_t d = x.rank; d-- > 0;)
      if (reduce[d]) steps[count++] = d;
    if (count == 0) return L.refuse("no axis to reduce");
    uint64_t dims[kBuilderRank];
    std::memcpy(dims, x.dims, sizeof dims);
    const uint64_t rank = x.rank;
    uint64_t src = in;
    for (uint64_t k = 0; k < count; ++k) {
      dims[steps[k]] = 1;
      uint64_t dst = out;
      if (k + 1 < count) {
        char suffix[16];
        int len = std::snprintf(suffix, sizeof suffix, "#reduce%llu", static_cast<unsigned long long>(k));
        dst = builder_derive_value(L.s, out, suffix, static_cast<uint64_t>(len));
        if (dst == kNoValue || dst == out) return L.stop(kLowerNoCode);
        set_shape(L.v(dst), rank, dims);
      } else {
        uint64_t o[kBuilderRank], r = 0;
        for (uint64_t d = 0; d < rank; ++d)
          if (!reduce[d] || keepdims) o[r++] = reduce[d] ? 1 : dims[d];
        if (r == 0) o[r++] = 1;
        set_shape(L.v(out), r, o);
        if (!keepdims && r == 1 && o[0] == 1) L.v(out).rank = 0;
      }
      BuilderNode* step = k == 0 ? &L.s.nodes[L.node] : insert_after_current(L);
      if (step == nullptr) return L.refuse("the node table is full");
      BuilderNode copy = L.s.nodes[L.node];
      if (k != 0) *step = copy;
      step->w[1] = 1;
      step->w[2] = src;
      for (int j = 3; j < 10; ++j) step->w[j] = kNoIndex;
      step->w[10] = 1;
      step->w[11] = dst;
      step->attr(11) = steps[k];
      src = dst;
    }
    return true;
  }
  if (axis_count != 1) {
    if (axis_count >= 2 && op == op::ReduceMean) {
      n.w[0] = op::GlobalAveragePool;
      uint64_t o[4] = {x.dims[0], x.dims[1], 1, 1};
      set_shape(y, 4, o);
      return true;
    }
    if (axis_count == 0) norm[0] = x.rank > 0 ? x.rank - 1 : 0;
  }
  n.attr(11) = norm[0];
  uint64_t o[kBuilderRank], r = 0;
  for (uint64_t d = 0; d < x.rank; ++d) {
    if (d == norm[0]) {
      if (keepdims || !L.options) o[r++] = 1;
    } else {
      o[r++] = x.dims[d];
    }
  }
  set_shape(y, r, o);
  return true;
}

}  // namespace vorn
