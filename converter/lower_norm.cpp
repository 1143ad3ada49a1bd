// Lowering rules of the normalisation family: BatchNormalization (folded,
// and fused into the Conv before it), LayerNormalization and
// InstanceNormalization.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

bool lower_layer_norm(Lower& L, BuilderNode& n) {
  bool done;
  if (!elementwise_prologue(L, n, &done)) return false;
  if (done) return true;
  const BuilderValue& x = L.v(n.input(0));
  uint64_t axis;
  if (!normalise(n.attr_i64(attr::Norm::kAxis), x.rank, &axis)) return L.refuse("axis outside the input's rank");
  if (L.options && axis + 1 != x.rank) {
    // Normalising over several trailing axes equals normalising their
    // flattened row only when they are all but the last of size 1.
    for (uint64_t d = axis; d + 1 < x.rank; ++d)
      if (x.dims[d] != 1) return L.refuse("normalisation over other axes than the last is not supported");
  }
  n.attr(attr::Norm::kAxis) = ~uint64_t{0};
  return true;
}

bool lower_instance_norm(Lower& L, BuilderNode& n) {
  bool done;
  if (!elementwise_prologue(L, n, &done)) return false;
  if (done) return true;
  if (L.v(n.input(0)).rank != 4 && L.options) return L.refuse("only rank-4 inputs (NCHW) are supported");
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
  const float eps = n.attr_f32(attr::Norm::kEpsilon);
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
  const bool has_bias = cv.input_count() >= 3 && L.valid(cv.input(2));
  if (has_bias && (!L.f32_data(cv.input(2)) || L.v(cv.input(2)).size / 4 < c)) return true;
  float* wp = own_f32(L, w);
  if (wp == nullptr) return true;
  uint64_t per = count / c;
  for (uint64_t k = 0; k < c; ++k)
    for (uint64_t t = 0; t < per; ++t) wp[k * per + t] *= s_new[k];
  if (!has_bias) {
    cv.w[1] = 3;
    cv.w[4] = nb;
  } else {
    // A bias that another node reads too is folded into a copy of its own.
    bool reused = false;
    const uint64_t b = private_weight(L, cv.input(2), out, "#conv_bias", &reused);
    float* bias = b == kNoValue ? nullptr : own_f32(L, b);
    if (bias == nullptr || L.v(b).size / 4 < c) return L.stop(kLowerNoCode);
    for (uint64_t k = 0; k < c; ++k) bias[k] = std::fma(bias[k], s_new[k], b_new[k]);
    cv.w[4] = b;
  }
  cv.w[11] = out;
  L.v(x).rank = 0;
  make_self_identity(n);
  return true;
}

}  // namespace vorn
