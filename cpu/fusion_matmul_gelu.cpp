#include "cpu/fusion_matmul_gelu.h"
#include "cpu/fusion_uses.h"

#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"

namespace vorn {

namespace {

// A weight of one f32, its bits in *bits.
bool f32_scalar(const CpuState& s, uint64_t id, uint32_t* bits) {
  if (!f32_weight(s, id, 1)) return false;
  std::memcpy(bits, s.data[id], 4);
  return true;
}

bool scalar_is(const CpuState& s, uint64_t id, float want) {
  uint32_t bits, w;
  std::memcpy(&w, &want, 4);
  return f32_scalar(s, id, &bits) && bits == w;
}

// The input of a two-input node other than `t`, or the value count when
// neither input is `t` (or both are).
uint64_t other_input(const CpuState& s, const NodeRecord& n, uint64_t t) {
  if (n.input_count() != 2) return s.value_count;
  if (n.input(0) == t && n.input(1) != t) return n.input(1);
  if (n.input(1) == t && n.input(0) != t) return n.input(0);
  return s.value_count;
}

// No fused operation yet (engine creation clears what a file holds there).
bool unfused(const NodeRecord& n) { return n.attr(attr::Fusion::kMode) == attr::Fusion::kNone; }

// Bias of the Add at j over the product t of n columns: a constant of n
// floats of shape [n] or [1, .., 1, n], either operand of the Add.
uint64_t bias_of(const CpuState& s, const NodeRecord& add, uint64_t t, uint64_t n) {
  const uint64_t b = other_input(s, add, t);
  if (b >= s.value_count) return s.value_count;
  const ValueRecord& v = s.values[b];
  if (v.kind() != kValueWeight || v.elem_kind() != kElemF32 || s.data[b] == nullptr || v.count() != n ||
      v.rank() < 1 || v.dim(v.rank() - 1) != n)
    return s.value_count;
  return b;
}

}  // namespace

void fuse_matmul_biases(CpuState& s, ArenaPlanner& p) {
  if (s.node_count < 2) return;
  index_uses(s, p);
  bool any = false;
  for (uint64_t k = 0; k + 1 < s.node_count; ++k) {
    NodeRecord& mm = s.nodes[k];
    if (mm.op() != op::MatMul || mm.input_count() != 2 || !unfused(mm) || mm.input(1) >= s.value_count ||
        s.values[mm.input(1)].kind() != kValueWeight)
      continue;
    const uint64_t t = mm.output(0);
    const int64_t j = sole_reader_after(s, p, k);
    if (j < 0) continue;
    NodeRecord& add = s.nodes[j];
    if (add.op() != op::Add || add.attr(attr::Add::kMode) != attr::Add::kNone) continue;
    const ValueRecord& y = s.values[t];
    const ValueRecord& b = s.values[mm.input(1)];
    if (y.rank() < 2 || b.rank() < 2 || y.dim(y.rank() - 1) != b.dim(b.rank() - 1) ||
        !same_count(s, t, add.output(0)))
      continue;
    const uint64_t bias = bias_of(s, add, t, y.dim(y.rank() - 1));
    if (bias >= s.value_count) continue;
    mm.set_input(2, bias);
    mm.set_input_count(3);
    mm.set_attr(attr::MatMul::kMode, attr::MatMul::kBias);
    mm.set_output(0, add.output(0));
    s.values[t].set_bytes(0);
    add.set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

void fuse_gelu_chains(CpuState& s, ArenaPlanner& p) {
  if (s.node_count < 5) return;
  index_uses(s, p);
  bool any = false;
  for (uint64_t k = 0; k + 4 < s.node_count; ++k) {
    NodeRecord& div = s.nodes[k];
    uint32_t c;
    if (div.op() != op::Div || div.input_count() != 2 || !f32_scalar(s, div.input(1), &c)) continue;
    const uint64_t x = div.input(0);
    // x must hold the value the Div read when the first Mul reads it.
    if (x >= s.value_count || p.writer_count[x] > 1 || p.first_write[x] >= static_cast<int32_t>(k)) continue;
    const int64_t j1 = sole_reader_after(s, p, k);
    if (j1 < 0 || s.nodes[j1].op() != op::Erf || s.nodes[j1].input_count() != 1 || !unfused(s.nodes[j1]))
      continue;
    const int64_t j2 = sole_reader_after(s, p, j1);
    if (j2 < 0) continue;
    const NodeRecord& add = s.nodes[j2];
    if (add.op() != op::Add || add.attr(attr::Add::kMode) != attr::Add::kNone ||
        !scalar_is(s, other_input(s, add, s.nodes[j1].output(0)), 1.0f))
      continue;
    const int64_t j3 = sole_reader_after(s, p, j2);
    if (j3 < 0) continue;
    const NodeRecord& mx = s.nodes[j3];
    if (mx.op() != op::Mul || other_input(s, mx, add.output(0)) != x) continue;
    const int64_t j4 = sole_reader_after(s, p, j3);
    if (j4 < 0) continue;
    const NodeRecord& mh = s.nodes[j4];
    if (mh.op() != op::Mul || !scalar_is(s, other_input(s, mh, mx.output(0)), 0.5f)) continue;
    const uint64_t out = mh.output(0);
    const uint64_t chain[] = {div.output(0), s.nodes[j1].output(0), add.output(0), mx.output(0), out};
    bool counts = true;
    for (uint64_t v : chain) counts &= same_count(s, x, v);
    if (!counts) continue;
    for (uint64_t i = 0; i + 1 < 5; ++i) s.values[chain[i]].set_bytes(0);
    NodeRecord& erf = s.nodes[j1];
    erf.set_input(0, x);
    erf.set_output(0, out);
    erf.set_attr(attr::Erf::kMode, attr::Erf::kGeluChain);
    erf.set_attr(attr::Erf::kParam, c);
    div = erf;
    erf.set_op(kOpNone);
    s.nodes[j2].set_op(kOpNone);
    s.nodes[j3].set_op(kOpNone);
    s.nodes[j4].set_op(kOpNone);
    any = true;
  }
  if (any) compact_nodes(s);
}

}  // namespace vorn
