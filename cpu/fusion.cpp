#include "cpu/fusion.h"
#include "cpu/fusion_matmul_gelu.h"
#include "cpu/fusion_uses.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/conv_expand_depthwise.h"
#include "kernels/ops/conv_max_pool.h"
#include "platform/parallel.h"

namespace vorn {

namespace {

// Output channels of a Conv with a 4-d output, where the Conv and the
// BatchNormalization kernels agree that dim 1 is the channel; 0 (nothing is
// folded) for other ranks.
uint64_t conv_channels(const CpuState& s, const NodeRecord& conv) {
  const ValueRecord& y = s.values[conv.output(0)];
  return y.rank() == 4 ? y.dim(1) : 0;
}

bool conv_has_bias(const CpuState& s, const NodeRecord& conv) { return node_has_input(s, conv, 2); }

// BatchNormalization at k behind the Conv at k - 1. The folded weight and
// bias replace data another node could also read, so both must be read by
// this Conv alone, and the BatchNormalization must have one scale per
// output channel of the Conv.
bool conv_bn_foldable(const CpuState& s, const ArenaPlanner& p, uint64_t k) {
  const NodeRecord& conv = s.nodes[k - 1];
  const NodeRecord& bn = s.nodes[k];
  if (conv.op() != op::Conv || bn.op() != op::BatchNormalization || conv.input_count() < 2 ||
      bn.input_count() < 3 || conv.output(0) != bn.input(0) || !fusion_intermediate(s, p, bn.input(0)) ||
      !same_count(s, conv.output(0), bn.output(0)) || conv.attr(attr::Conv::kMode) != attr::Conv::kNone)
    return false;
  uint64_t m = conv_channels(s, conv);
  uint64_t w = conv.input(1);
  if (m == 0 || w >= s.value_count || p.consumer_count[w] != 1) return false;
  uint64_t e = s.values[w].count();
  if (!f32_weight(s, w, e) || e < m || e % m != 0) return false;
  if (!f32_weight(s, bn.input(1), m) || !f32_weight(s, bn.input(2), m)) return false;
  if (conv_has_bias(s, conv)) {
    uint64_t b = conv.input(2);
    if (!f32_weight(s, b, m) || p.consumer_count[b] != 1) return false;
  }
  return true;
}

// Conv at k - 2, Relu at k - 1, BatchNormalization at k: the Conv gets the
// three-array epilogue, which takes the place of the scale's data.
bool conv_relu_bn_foldable(const CpuState& s, const ArenaPlanner& p, uint64_t k) {
  if (k < 2) return false;
  const NodeRecord& conv = s.nodes[k - 2];
  const NodeRecord& relu = s.nodes[k - 1];
  const NodeRecord& bn = s.nodes[k];
  if (conv.op() != op::Conv || relu.op() != op::Relu || bn.op() != op::BatchNormalization ||
      bn.input_count() < 3 || conv.output(0) != relu.input(0) || relu.output(0) != bn.input(0) ||
      !fusion_intermediate(s, p, relu.input(0)) || !fusion_intermediate(s, p, bn.input(0)) ||
      !same_count(s, conv.output(0), relu.output(0)) || !same_count(s, relu.output(0), bn.output(0)) ||
      conv.attr(attr::Conv::kMode) != attr::Conv::kNone)
    return false;
  uint64_t m = conv_channels(s, conv);
  uint64_t scale = bn.input(1);
  if (m == 0 || !f32_weight(s, scale, m) || !f32_weight(s, bn.input(2), m) ||
      p.consumer_count[scale] != 1)
    return false;
  return !conv_has_bias(s, conv) || f32_weight(s, conv.input(2), m);
}

void retire(CpuState& s, uint64_t id) { s.values[id].set_bytes(0); }

// Takes bytes from the block; every array starts on a 64-byte boundary.
float* take(uint8_t* block, uint64_t& used, uint64_t bytes) {
  float* at = reinterpret_cast<float*>(block + used);
  used += arena_padded(bytes);
  return at;
}

// Weight `id` now holds the n values of the arrays an epilogue reads; its
// record says so, so that the Conv's own size check sees them all.
void point_at_arrays(CpuState& s, uint64_t id, float* arrays, uint64_t n) {
  s.data[id] = arrays;
  ValueRecord& v = s.values[id];
  for (uint64_t i = 0; i < kMaxRank; ++i) v.set_dim(i, 0);
  v.set_rank(1);
  v.set_dim(0, n);
  v.set_count(n);
  v.set_bytes(4 * n);
}

void fold_conv_bn(CpuState& s, uint64_t k, uint8_t* block, uint64_t& used) {
  NodeRecord& conv = s.nodes[k - 1];
  NodeRecord& bn = s.nodes[k];
  const uint64_t w = conv.input(1);
  const uint64_t m = conv_channels(s, conv);
  const uint64_t e = s.values[w].count();
  const uint64_t per = e / m;
  const float* scale = static_cast<const float*>(s.data[bn.input(1)]);
  const float* shift = static_cast<const float*>(s.data[bn.input(2)]);
  const float* src = static_cast<const float*>(s.data[w]);
  float* folded = take(block, used, e * 4);
  for (uint64_t c = 0; c < m; ++c)
    for (uint64_t i = 0; i < per; ++i) folded[c * per + i] = src[c * per + i] * scale[c];
  s.data[w] = folded;
  if (conv_has_bias(s, conv)) {
    const uint64_t b = conv.input(2);
    const float* bias = static_cast<const float*>(s.data[b]);
    float* nb = take(block, used, m * 4);
    for (uint64_t c = 0; c < m; ++c) nb[c] = shift[c] + scale[c] * bias[c];
    s.data[b] = nb;
  } else {
    conv.set_input(2, bn.input(2));
    conv.set_input_count(3);
  }
  retire(s, conv.output(0));
  conv.set_output(0, bn.output(0));
  bn.set_op(kOpNone);
}

void fold_conv_relu_bn(CpuState& s, uint64_t k, uint8_t* block, uint64_t& used) {
  NodeRecord& conv = s.nodes[k - 2];
  NodeRecord& relu = s.nodes[k - 1];
  NodeRecord& bn = s.nodes[k];
  const uint64_t m = conv_channels(s, conv);
  const uint64_t scale = bn.input(1);
  float* arrays = take(block, used, 3 * m * 4);
  if (conv_has_bias(s, conv))
    std::memcpy(arrays, s.data[conv.input(2)], m * 4);
  else
    std::memset(arrays, 0, m * 4);
  std::memcpy(arrays + m, s.data[scale], m * 4);
  std::memcpy(arrays + 2 * m, s.data[bn.input(2)], m * 4);
  point_at_arrays(s, scale, arrays, 3 * m);
  conv.set_input(2, scale);
  conv.set_input_count(3);
  conv.set_attr(attr::Conv::kMode, attr::Conv::kReluScaleShift);
  retire(s, conv.output(0));
  retire(s, relu.output(0));
  conv.set_output(0, bn.output(0));
  relu.set_op(kOpNone);
  bn.set_op(kOpNone);
}

void fold_batchnorms(CpuState& s, ArenaPlanner& p) {
  uint64_t total = 0;
  for (uint64_t k = 1; k < s.node_count; ++k) {
    if (conv_bn_foldable(s, p, k)) {
      const NodeRecord& conv = s.nodes[k - 1];
      total += arena_padded(s.values[conv.input(1)].bytes());
      if (conv_has_bias(s, conv)) total += arena_padded(conv_channels(s, conv) * 4);
    } else if (conv_relu_bn_foldable(s, p, k)) {
      total += arena_padded(3 * conv_channels(s, s.nodes[k - 2]) * 4);
    }
  }
  if (total == 0) return;
  auto* block = static_cast<uint8_t*>(std::aligned_alloc(64, total));
  if (block == nullptr) return;
  s.fused_weights = block;
  uint64_t used = 0;
  // Both patterns are re-tested on the records as they are now: a fold
  // earlier in the list has already removed its nodes (code 0).
  for (uint64_t k = 1; k < s.node_count; ++k) {
    if (conv_bn_foldable(s, p, k)) {
      const NodeRecord& conv = s.nodes[k - 1];
      uint64_t need = arena_padded(s.values[conv.input(1)].bytes());
      if (conv_has_bias(s, conv)) need += arena_padded(conv_channels(s, conv) * 4);
      if (used + need <= total) fold_conv_bn(s, k, block, used);
    } else if (conv_relu_bn_foldable(s, p, k)) {
      if (used + arena_padded(3 * conv_channels(s, s.nodes[k - 2]) * 4) <= total)
        fold_conv_relu_bn(s, k, block, used);
    }
  }
  compact_nodes(s);
}

// Conv at k and PRelu at k + 1 reading its output (an intermediate), with
// one slope per output channel or one for all, read by this PRelu alone:
// the Conv's epilogue takes the PRelu's test and product, with the bias and
// one slope per channel in a block of their own (a missing bias becomes
// -0, which added to any value leaves it as it was).
uint64_t conv_prelu_channels(const CpuState& s, const ArenaPlanner& p, uint64_t k) {
  const NodeRecord& conv = s.nodes[k];
  const NodeRecord& pr = s.nodes[k + 1];
  if (conv.op() != op::Conv || pr.op() != op::PRelu || pr.input_count() != 2 ||
      conv.attr(attr::Conv::kMode) != attr::Conv::kNone || pr.input(0) != conv.output(0) ||
      !fusion_intermediate(s, p, conv.output(0)) || !same_count(s, conv.output(0), pr.output(0)))
    return 0;
  const uint64_t m = conv_channels(s, conv), slope = pr.input(1);
  if (m == 0 || slope >= s.value_count || p.consumer_count[slope] != 1 || slope == conv.input(2) ||
      (!f32_weight(s, slope, m) && !f32_weight(s, slope, 1)))
    return 0;
  return !conv_has_bias(s, conv) || f32_weight(s, conv.input(2), m) ? m : 0;
}

void fuse_prelus(CpuState& s, const ArenaPlanner& p) {
  uint64_t total = 0;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k)
    if (const uint64_t m = conv_prelu_channels(s, p, k)) total += arena_padded(2 * m * 4);
  if (total == 0) return;
  auto* block = static_cast<uint8_t*>(std::aligned_alloc(64, total));
  if (block == nullptr) return;
  s.fused_slopes = block;
  uint64_t used = 0;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    const uint64_t m = conv_prelu_channels(s, p, k);
    if (m == 0) continue;
    NodeRecord& conv = s.nodes[k];
    NodeRecord& pr = s.nodes[k + 1];
    const uint64_t slope = pr.input(1);
    float* arrays = take(block, used, 2 * m * 4);
    const float* b = conv_has_bias(s, conv) ? static_cast<const float*>(s.data[conv.input(2)]) : nullptr;
    const float* a = static_cast<const float*>(s.data[slope]);
    const bool shared = s.values[slope].count() == 1;
    for (uint64_t c = 0; c < m; ++c) {
      arrays[c] = b != nullptr ? b[c] : -0.0f;
      arrays[m + c] = a[shared ? 0 : c];
    }
    point_at_arrays(s, slope, arrays, 2 * m);
    conv.set_input(2, slope);
    conv.set_input_count(3);
    conv.set_attr(attr::Conv::kMode, attr::Conv::kPRelu);
    retire(s, conv.output(0));
    conv.set_output(0, pr.output(0));
    pr.set_op(kOpNone);
  }
  compact_nodes(s);
}

void fuse_activations(CpuState& s, const ArenaPlanner& p) {
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& a = s.nodes[k];
    const NodeRecord& next = s.nodes[k + 1];
    bool conv = a.op() == op::Conv;
    const bool bn = a.op() == op::BatchNormalization;
    if ((!conv && !bn && a.op() != op::ConvTranspose) || a.attr(attr::Fusion::kMode) != attr::Fusion::kNone)
      continue;
    if (next.input(0) != a.output(0) || !fusion_intermediate(s, p, a.output(0)) ||
        !same_count(s, a.output(0), next.output(0)))
      continue;
    if (bn) {
      // The BatchNormalization kernel applies the Relu kernel's test to
      // each value it has computed.
      if (next.op() != op::Relu) continue;
      a.set_attr(attr::BatchNormalization::kMode, attr::BatchNormalization::kRelu);
    } else if (conv && next.op() == op::LeakyRelu) {
      a.set_attr(attr::Conv::kMode, attr::Conv::kLeakyRelu);
      a.set_attr(attr::Conv::kParam, next.attr(attr::LeakyRelu::kAlpha) & 0xFFFFFFFFu);
    } else if (conv && next.op() == op::Clip) {
      // The Clip kernel takes its bounds from its attribute words alone, so
      // they are constants here whatever inputs the node lists.
      a.set_attr(attr::Conv::kMode, attr::Conv::kClip);
      a.set_attr(attr::Conv::kParam,
                 (next.attr(attr::Clip::kMin) & 0xFFFFFFFFu) | (next.attr(attr::Clip::kMax) << 32));
    } else if (conv && next.op() == op::HardSwish) {
      a.set_attr(attr::Conv::kMode, attr::Conv::kHardSwish);
    } else if (conv && next.op() == op::Sigmoid && next.attr(attr::Sigmoid::kMode) == attr::Sigmoid::kSiLU) {
      a.set_attr(attr::Conv::kMode, attr::Conv::kSiLU);
    } else if (next.op() == op::Relu) {
      static_assert(attr::Conv::kRelu == attr::ConvTranspose::kRelu);
      a.set_attr(attr::Conv::kMode, attr::Conv::kRelu);
    } else {
      continue;
    }
    retire(s, a.output(0));
    a.set_output(0, next.output(0));
    s.nodes[k + 1].set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

void fuse_scaled_adds(CpuState& s, const ArenaPlanner& p) {
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& mul = s.nodes[k];
    const NodeRecord& add = s.nodes[k + 1];
    if (mul.op() != op::Mul || mul.input_count() != 2 || add.op() != op::Add ||
        add.input_count() != 2 || add.attr(attr::Add::kMode) != attr::Add::kNone)
      continue;
    const uint64_t t = mul.output(0);
    if (!fusion_intermediate(s, p, t) || mul.input(0) >= s.value_count || mul.input(1) >= s.value_count)
      continue;
    uint64_t scalar_slot = 2;
    for (uint64_t slot : {uint64_t{1}, uint64_t{0}}) {
      uint64_t id = mul.input(slot);
      uint64_t other = mul.input(1 - slot);
      if (f32_weight(s, id, 1) && s.values[other].count() == s.values[t].count()) {
        scalar_slot = slot;
        break;
      }
    }
    if (scalar_slot == 2) continue;
    const uint64_t x = mul.input(1 - scalar_slot);
    uint64_t y;
    if (add.input(0) == t)
      y = add.input(1);
    else if (add.input(1) == t)
      y = add.input(0);
    else
      continue;
    // The fused kernel is the equal-count path of Add: x, y and the output
    // all hold the same number of elements.
    if (y >= s.value_count || y == t || s.values[y].count() != s.values[x].count() ||
        !same_count(s, x, add.output(0)))
      continue;
    uint32_t bits;
    std::memcpy(&bits, s.data[mul.input(scalar_slot)], 4);
    NodeRecord fused;
    std::memset(&fused, 0, sizeof fused);
    fused.set_op(op::Add);
    fused.set_input_count(2);
    fused.set_input(0, x);
    fused.set_input(1, y);
    fused.set_output_count(1);
    fused.set_output(0, add.output(0));
    fused.set_attr(attr::Add::kMode, attr::Add::kScaledAdd);
    fused.set_attr(attr::Add::kParam, bits);
    retire(s, t);
    s.nodes[k] = fused;
    s.nodes[k + 1].set_op(kOpNone);
    ++k;  // scanning goes on after the removed Add
    any = true;
  }
  if (any) compact_nodes(s);
}

// HardSigmoid with the slope and offset of HardSwish (PyTorch exports
// HardSwish(x) as Mul(x, HardSigmoid(x)) with exactly these words).
bool hardswish_gate(const NodeRecord& n) {
  constexpr float kSixth = 0.16666667f;
  constexpr float kHalf = 0.5f;
  uint32_t sixth, half;
  std::memcpy(&sixth, &kSixth, 4);
  std::memcpy(&half, &kHalf, 4);
  return n.op() == op::HardSigmoid && n.attr(attr::HardSigmoid::kAlpha) == sixth &&
         n.attr(attr::HardSigmoid::kBeta) == half;
}

// Gate g = HardSigmoid(a) or Sigmoid(a), read only by Mul(a, g) or Mul(g, a)
// of the same element count: the pair becomes HardSwish(a) or a Sigmoid in
// SiLU mode, in the gate's place, writing the Mul's output. Both kernels
// compute the gate exactly as the gate's own kernel does and then multiply
// a by it (a product of two floats does not depend on their order), so the
// result is the same bit for bit. The Mul must read the `a` the gate read:
// one writer at most (none for a graph input), not after the gate.
void fuse_gated_products(CpuState& s, const ArenaPlanner& p) {
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& gate = s.nodes[k];
    const bool hard = hardswish_gate(gate);
    if (!hard && (gate.op() != op::Sigmoid || gate.attr(attr::Sigmoid::kMode) != attr::Sigmoid::kNone)) continue;
    const uint64_t a = gate.input(0);
    const uint64_t g = gate.output(0);
    if (gate.input_count() != 1 || a >= s.value_count || p.writer_count[a] > 1 ||
        p.first_write[a] > static_cast<int32_t>(k))
      continue;
    const int64_t j = sole_reader_after(s, p, k);
    if (j < 0) continue;
    NodeRecord& mul = s.nodes[j];
    if (mul.op() != op::Mul || mul.input_count() != 2) continue;
    if (!((mul.input(0) == a && mul.input(1) == g) || (mul.input(0) == g && mul.input(1) == a)))
      continue;
    if (!same_count(s, a, g) || !same_count(s, a, mul.output(0))) continue;
    gate.set_op(hard ? op::HardSwish : op::Sigmoid);
    gate.set_attr(attr::Sigmoid::kMode, hard ? attr::Sigmoid::kNone : attr::Sigmoid::kSiLU);
    gate.set_attr(attr::Sigmoid::kParam, 0);
    gate.set_output(0, mul.output(0));
    retire(s, g);
    mul.set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

// Add(x, y) of one element count in inputs and output, whose output is read
// only by a Relu: one Add in Relu mode in the Add's place, writing the
// Relu's output (the residual join of ResNet blocks). The kernel adds, then
// applies the Relu kernel's own test, so NaN still becomes 0 and -0 stays.
void fuse_add_relus(CpuState& s, const ArenaPlanner& p) {
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& add = s.nodes[k];
    if (add.op() != op::Add || add.input_count() != 2 || add.attr(attr::Add::kMode) != attr::Add::kNone)
      continue;
    const int64_t j = sole_reader_after(s, p, k);
    if (j < 0) continue;
    NodeRecord& relu = s.nodes[j];
    const uint64_t t = add.output(0);
    if (relu.op() != op::Relu || relu.input_count() != 1 || relu.input(0) != t) continue;
    if (!same_count(s, add.input(0), t) || !same_count(s, add.input(1), t) ||
        !same_count(s, t, relu.output(0)))
      continue;
    add.set_attr(attr::Add::kMode, attr::Add::kAddRelu);
    add.set_attr(attr::Add::kParam, 0);
    add.set_output(0, relu.output(0));
    retire(s, t);
    relu.set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

// Conv at k whose output is read only by an Add (plain or in Relu mode) of
// equal element counts at j > k: the Conv takes the Add's other input as
// its input 3 and adds it in its epilogue after the bias, then the Relu, as
// the two nodes round, writing the Add's output. The other input must hold
// its final value when the Conv runs: written once, before k, or a graph
// input. A depthwise Conv keeps its Add (its kernel finishes whole planes
// in registers).
void fuse_residual_adds(CpuState& s, const ArenaPlanner& p) {
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& conv = s.nodes[k];
    if (conv.op() != op::Conv || conv.attr(attr::Conv::kMode) != attr::Conv::kNone || conv.input_count() < 2 ||
        conv.input_count() > 3)
      continue;
    const uint64_t t = conv.output(0);
    const uint64_t groups = conv.attr(attr::Conv::kGroups);
    if (t >= s.value_count || (groups > 1 && groups == conv_channels(s, conv))) continue;
    const int64_t j = sole_reader_after(s, p, k);
    if (j < 0) continue;
    NodeRecord& add = s.nodes[j];
    const uint64_t mode = add.attr(attr::Add::kMode);
    if (add.op() != op::Add || add.input_count() != 2 ||
        (mode != attr::Add::kNone && mode != attr::Add::kAddRelu))
      continue;
    if (add.input(0) != t && add.input(1) != t) continue;
    const uint64_t r = add.input(0) == t ? add.input(1) : add.input(0);
    if (r == t || r >= s.value_count || s.values[r].kind() == kValueWeight || s.values[r].elem_kind() != kElemF32 ||
        p.writer_count[r] > 1 || p.first_write[r] >= static_cast<int32_t>(k) || !same_count(s, r, t) ||
        !same_count(s, t, add.output(0)))
      continue;
    if (!conv_has_bias(s, conv)) conv.set_input(2, ~uint64_t{0});
    conv.set_input(3, r);
    conv.set_input_count(4);
    conv.set_attr(attr::Conv::kMode, mode == attr::Add::kAddRelu ? attr::Conv::kAddRelu : attr::Conv::kAdd);
    conv.set_attr(attr::Conv::kParam, 0);
    conv.set_output(0, add.output(0));
    retire(s, t);
    add.set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

bool batch1_channel_concat(const CpuState& s, const NodeRecord& n) {
  if (n.op() != op::Concat || (n.attr_i64(attr::Concat::kAxis) != 1 && n.attr_i64(attr::Concat::kAxis) != -3) ||
      n.input_count() < 2 || n.input_count() > kNodeMaxInputs || n.output(0) >= s.value_count)
    return false;
  const ValueRecord& y = s.values[n.output(0)];
  return y.rank() == 4 && y.dim(0) == 1;
}

void splice_concats(CpuState& s, const ArenaPlanner& p, int32_t* producer) {
  for (uint64_t id = 0; id < s.value_count; ++id) producer[id] = -1;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (n.output_count() == 1 && n.output(0) < s.value_count)
      producer[n.output(0)] = static_cast<int32_t>(i);
  }
  for (uint64_t i = 0; i < s.node_count; ++i) {
    NodeRecord& n = s.nodes[i];
    if (!batch1_channel_concat(s, n)) continue;
    int32_t at = producer[n.input(0)];
    if (at < 0 || static_cast<uint64_t>(at) >= i) continue;
    const NodeRecord& inner = s.nodes[at];
    if (!batch1_channel_concat(s, inner) || p.writer_count[n.input(0)] != 1) continue;
    uint64_t total = inner.input_count() + n.input_count() - 1;
    if (total > kNodeMaxInputs) continue;
    bool stable = true;
    for (uint64_t k = 0; k < inner.input_count(); ++k)
      stable &= inner.input(k) < s.value_count && p.writer_count[inner.input(k)] <= 1;
    if (!stable) continue;
    uint64_t ids[kNodeMaxInputs];
    uint64_t c = 0;
    for (uint64_t k = 0; k < inner.input_count(); ++k) ids[c++] = inner.input(k);
    for (uint64_t k = 1; k < n.input_count(); ++k) ids[c++] = n.input(k);
    for (uint64_t k = 0; k < kNodeMaxInputs; ++k) n.set_input(k, k < c ? ids[k] : 0);
    n.set_input_count(c);
  }
}

// A 1x1 Conv whose output only the grouped Conv right behind it reads is
// marked so the executor may run the two together, band by band (the
// plans decide whether they do). Together, the first one's input is still
// read while the second writes its output, so the second lists that input
// in its residual slot, which it reads only in the residual modes it does
// not have: the arena then keeps the two apart. Only an engine on one
// thread runs pairs together (on more, both layers spread over the pool),
// and only pairs whose expanded tensor would leave the second-level cache.
void mark_expansions(CpuState& s, const ArenaPlanner& p) {
  if (parallel_thread_count() != 1) return;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& a = s.nodes[k];
    NodeRecord& next = s.nodes[k + 1];
    const uint64_t mode = next.attr(attr::Conv::kMode);
    if (a.op() != op::Conv || next.op() != op::Conv || next.input(0) != a.output(0) || next.input_count() != 3 ||
        mode == attr::Conv::kAdd || mode == attr::Conv::kAddRelu || !fusion_intermediate(s, p, a.output(0)) ||
        a.attr(attr::Conv::kKernelH) != 1 || a.attr(attr::Conv::kKernelW) != 1 || a.attr(attr::Conv::kGroups) > 1 ||
        next.attr(attr::Conv::kGroups) <= 1 ||
        s.values[a.output(0)].bytes() < static_cast<uint64_t>(kern::kExpandFuseBytes))
      continue;
    a.set_attr(attr::Conv::kFeedsNext, attr::Conv::kNextGrouped);
    next.set_input(3, a.input(0));
    next.set_input_count(4);
  }
}

// A Conv whose output only the MaxPool right behind it reads is marked so
// the executor may run the two together, band by band (the plans decide
// whether they do): a network's stem, whose output would leave the
// second-level cache between the two. Together, the Conv's input is still
// read while the pool writes its output, so the pool lists that input as
// an input of its own, which it never reads: the arena then keeps the two
// apart. Only an engine on one thread runs pairs together (on more, both
// layers spread over the pool).
void mark_pooled_convs(CpuState& s, const ArenaPlanner& p) {
  if (parallel_thread_count() != 1) return;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& a = s.nodes[k];
    NodeRecord& next = s.nodes[k + 1];
    const uint64_t mode = a.attr(attr::Conv::kMode);
    if (a.op() != op::Conv || next.op() != op::MaxPool || next.input(0) != a.output(0) || next.input_count() != 1 ||
        a.attr(attr::Conv::kFeedsNext) != 0 || mode == attr::Conv::kAdd || mode == attr::Conv::kAddRelu ||
        !fusion_intermediate(s, p, a.output(0)) ||
        s.values[a.output(0)].bytes() < static_cast<uint64_t>(kern::kPoolFuseBytes))
      continue;
    a.set_attr(attr::Conv::kFeedsNext, attr::Conv::kNextMaxPool);
    next.set_input(1, a.input(0));
    next.set_input_count(2);
  }
}

}  // namespace

void cpu_fuse(CpuState& s, ArenaPlanner& p) {
  fuse_matmul_biases(s, p);
  fuse_gelu_chains(s, p);
  index_uses(s, p);
  if (s.node_count >= 2) fold_batchnorms(s, p);
  index_uses(s, p);
  // Before the activation pass, so that a HardSwish made here from a Conv's
  // output becomes that Conv's epilogue.
  if (s.node_count >= 2) fuse_gated_products(s, p);
  index_uses(s, p);
  if (s.node_count >= 2) fuse_prelus(s, p);
  index_uses(s, p);
  if (s.node_count >= 2) fuse_activations(s, p);
  index_uses(s, p);
  if (s.node_count >= 2) fuse_scaled_adds(s, p);
  index_uses(s, p);
  if (s.node_count >= 2) fuse_add_relus(s, p);
  index_uses(s, p);
  // After the Add took its Relu, so a Conv takes both.
  if (s.node_count >= 2) fuse_residual_adds(s, p);
  index_uses(s, p);
  splice_concats(s, p, p.producer);
  index_uses(s, p);
  mark_expansions(s, p);
  mark_pooled_convs(s, p);
}

}  // namespace vorn
