// Lowering rules of the convolution family: Conv (whose sliding window
// MaxPool and AveragePool share), Gemm and MatMul, and integer weights.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "container/attr_words.h"
#include "converter/conversion_notes.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

namespace {

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

namespace {

// The [O, I, K] weight of a Conv imported as a 2-D one over [N, C, 1, L]
// becomes [O, I, 1, K]: in place when this node alone reads it, else as a
// copy (shared by the Convs that need the same one), so that other nodes
// keep reading it as it is.
bool conv1d_weight(Lower& L, BuilderNode& n) {
  bool reused = false;
  const uint64_t w = private_weight(L, n.input(1), n.input(1), "#conv2d", &reused);
  if (w == kNoValue) return L.stop(kLowerNoCode);
  BuilderValue& v = L.v(w);
  if (v.rank == 3) {
    v.dims[3] = v.dims[2];
    v.dims[2] = 1;
    v.rank = 4;
  }
  n.w[3] = w;
  return true;
}

}  // namespace

bool lower_window(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  const BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  if (x.rank != 4) return L.stop(kLowerRank4);
  uint64_t d[4] = {x.dims[0], x.dims[1], x.dims[2], x.dims[3]};
  const uint64_t op = n.op();
  uint64_t k_out = d[1];
  if (op == op::Conv) {
    if (!L.valid(n.input(1))) return L.refuse("the weight is missing");
    if (L.v(n.input(1)).rank == 3 && L.v(n.input(1)).kind == kValueWeight && !conv1d_weight(L, n)) return false;
    const BuilderValue& w = L.v(n.input(1));
    if (w.rank != 4) return L.stop(kLowerRank4);
    if (n.attr(attr::Window::kKernelH) == 0) n.attr(attr::Window::kKernelH) = w.dims[2];
    if (n.attr(attr::Window::kKernelW) == 0) n.attr(attr::Window::kKernelW) = w.dims[3];
    k_out = w.dims[0];
    uint64_t g = n.attr(attr::Conv::kGroups) == 0 ? 1 : n.attr(attr::Conv::kGroups);
    if (L.options && (w.dims[1] * g != d[1] || w.dims[0] % g != 0))
      return L.refuse("weight shape does not match the input channels and groups");
    if (L.options && n.input_count() >= 3 && L.valid(n.input(2)) && elem_count(L.v(n.input(2))) != k_out)
      return L.refuse("bias length differs from the output channels");
  }
  int64_t kh = n.attr_i64(attr::Window::kKernelH), kw = n.attr_i64(attr::Window::kKernelW), sh = n.attr_i64(attr::Window::kStrideH), sw = n.attr_i64(attr::Window::kStrideW);
  int64_t dh = n.attr_i64(attr::Window::kDilationH), dw = n.attr_i64(attr::Window::kDilationW);
  if (sh < 1 || sw < 1 || dh < 1 || dw < 1 || kh < 1 || kw < 1) return L.refuse("a zero kernel, stride or dilation");
  if (n.attr(attr::Window::kAutoPad) == 2 || n.attr(attr::Window::kAutoPad) == 3) {
    int64_t S[2] = {static_cast<int64_t>(d[2]), static_cast<int64_t>(d[3])};
    int64_t st[2] = {sh, sw}, dl[2] = {dh, dw}, k[2] = {kh, kw};
    for (int a = 0; a < 2; ++a) {
      int64_t total = ((S[a] + st[a] - 1) / st[a] - 1) * st[a] + dl[a] * (k[a] - 1) + 1 - S[a];
      if (total < 0) total = 0;
      int64_t small = total / 2, big = total - small;
      n.attr(attr::Window::kPadTop + a) = static_cast<uint64_t>(n.attr(attr::Window::kAutoPad) == 2 ? small : big);
      n.attr(attr::Window::kPadBottom + a) = static_cast<uint64_t>(n.attr(attr::Window::kAutoPad) == 2 ? big : small);
    }
    if (op == op::Conv) n.attr(attr::Window::kAutoPad) = 0;
  }
  int64_t pt = n.attr_i64(attr::Window::kPadTop), pl = n.attr_i64(attr::Window::kPadLeft), pb = n.attr_i64(attr::Window::kPadBottom), pr = n.attr_i64(attr::Window::kPadRight);
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
    n.attr(attr::Window::kPadBottom) = static_cast<uint64_t>(pb);
    n.attr(attr::Window::kPadRight) = static_cast<uint64_t>(pr);
  }
  int64_t oh = (static_cast<int64_t>(d[2]) + pt + pb - dh * (kh - 1) - 1);
  int64_t ow = (static_cast<int64_t>(d[3]) + pl + pr - dw * (kw - 1) - 1);
  if (oh < 0 || ow < 0) return L.refuse("the window is larger than the padded input");
  uint64_t o[4] = {d[0], k_out, static_cast<uint64_t>(oh / sh + 1), static_cast<uint64_t>(ow / sw + 1)};
  if (op == op::MaxPool && L.options && (pt >= kh || pl >= kw || pb >= kh || pr >= kw))
    return L.refuse("padding as large as the window");
  set_shape(y, 4, o);
  if (op == op::Conv && n.attr(attr::kIntegerWeightWord) == attr::kIntegerWeightMarker)
    n.attr(attr::kIntegerWeightWord) = f32_bits(1.0f);
  if (op == op::AveragePool) return average_divisors(L, n, d, o, kh, kw, sh, sw, pt, pl, given_pb, given_pr);
  return true;
}

bool lower_gemm(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("input B is missing");
  const BuilderValue& b = L.v(n.input(1));
  if (x.rank != 2 || b.rank != 2) return L.refuse("Gemm needs two matrices");
  uint64_t M = x.dims[n.attr(attr::Gemm::kTransA) ? 1 : 0], K = x.dims[n.attr(attr::Gemm::kTransA) ? 0 : 1];
  uint64_t N = b.dims[n.attr(attr::Gemm::kTransB) ? 0 : 1], KB = b.dims[n.attr(attr::Gemm::kTransB) ? 1 : 0];
  if (L.options && K != KB) return L.refuse("inner dimensions differ");
  uint64_t o[2] = {M, N};
  set_shape(y, 2, o);
  if (n.input_count() >= 3 && L.valid(n.input(2))) {
    const uint64_t z = n.input(2);
    uint64_t c = elem_count(L.v(z));
    if (L.v(z).data != nullptr && L.v(z).size / 4 != c) c = L.v(z).size / 4;
    if (c == 1 && N != 1) {
      // The engines add the addend as one row of N values.
      if (!L.f32_data(z)) return L.refuse("a run-time scalar addend");
      float v = raw_f32(L.v(z).data, 0);
      uint64_t row = builder_derive_value(L.s, z, "#row", 4);
      uint64_t dims[1] = {N};
      float* p = row == kNoValue || row == z ? nullptr : f32_weight(L, row, 1, dims);
      if (p == nullptr) return L.stop(kLowerNoCode);
      for (uint64_t k = 0; k < N; ++k) p[k] = v;
      n.w[4] = row;
    } else if (c != N || (L.v(z).rank == 2 && L.v(z).dims[0] != 1) || L.v(z).rank > 2) {
      // The engines add one row of N values to every row.
      if (L.options) return L.refuse("an addend that is not one row of N values");
    }
  }
  return true;
}

bool lower_matmul(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  const uint64_t* d = x.dims;
  if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("input B is missing");
  const BuilderValue& b = L.v(n.input(1));
  if (n.attr(attr::kIntegerWeightWord) == attr::kIntegerWeightMarker)
    n.attr(attr::kIntegerWeightWord) = f32_bits(1.0f);
  if (L.options) {
    if (x.rank < 2 || b.rank < 2) return L.refuse("one-dimensional operands are not supported");
    if (x.dims[x.rank - 1] != b.dims[b.rank - 2]) return L.refuse("inner dimensions differ");
    // The engines repeat B's matrices over A's batch: B must have one
    // matrix, or exactly A's batch.
    if (b.rank > 2) {
      if (b.rank > x.rank) return L.refuse("B has more batch axes than A");
      for (uint64_t k = 0; k + 2 < b.rank; ++k)
        if (b.dims[k] != x.dims[x.rank - b.rank + k]) {
          bool ones = true;
          for (uint64_t j = 0; j + 2 < b.rank; ++j) ones &= b.dims[j] == 1;
          if (!ones) return L.refuse("batch axes broadcast in a way the engines do not repeat");
          break;
        }
    }
  }
  if (x.rank < 1 || b.rank < 1) return L.refuse("a scalar operand");
  uint64_t o[kBuilderRank];
  for (uint64_t k = 0; k < x.rank; ++k) o[k] = d[k];
  o[x.rank - 1] = b.dims[b.rank - 1];
  set_shape(y, x.rank, o);
  return true;
}

// Integer weights of ConvInteger and MatMulInteger: the weight zero point is
// subtracted once, in place. False (refused) when a zero point of several
// values does not split the weight into as many equal runs.
bool lower_integer_weights(Lower& L, BuilderNode& n) {
  uint64_t w = n.input(1);
  if (L.valid(w)) convert_notes().int8_elements += L.v(w).size / 4;
  const uint64_t zw = n.input_count() >= 4 ? n.input(3) : kNoIndex;
  if (n.input_count() >= 3 && L.valid(n.input(2))) L.v(n.input(2)).padded_size = kConsumedMark;
  if (L.valid(zw) && L.valid(w) && L.f32_data(w) && L.has_data(zw)) {
    // A weight other nodes read too gets the zero point subtracted in a
    // copy of its own, one per zero point.
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "#zp%llu", static_cast<unsigned long long>(zw));
    bool reused = false;
    const uint64_t own = private_weight(L, w, w, suffix, &reused);
    if (own != kNoValue && own != w) {
      n.w[3] = w = own;
      if (!reused) L.v(w).padded_size = 0;
    }
  }
  if (L.valid(zw) && L.valid(w) && L.v(w).padded_size == 0) {
    if (L.f32_data(w) && L.has_data(zw)) {
      float* d = own_f32(L, w);
      const BuilderValue& Z = L.v(zw);
      const bool zi = Z.elem == kElemI64;
      uint64_t m = Z.size / (zi ? 8 : 4), count = L.v(w).size / 4;
      if (m > 1 && count % m != 0)
        return L.refuse("a weight zero point of %llu values for a weight of %llu values",
                        static_cast<unsigned long long>(m), static_cast<unsigned long long>(count));
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
  return true;
}

}  // namespace vorn
