#include "cpu/fusion_uses.h"

#include "container/op_codes.h"
#include "kernels/kernel.h"

namespace vorn {

void index_uses(const CpuState& s, ArenaPlanner& p) {
  for (uint64_t id = 0; id < s.value_count; ++id) {
    p.consumer_count[id] = p.writer_count[id] = 0;
    p.producer[id] = p.last_use[id] = p.first_write[id] = -1;
  }
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    const auto at = static_cast<int32_t>(i);
    for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k) {
      const uint64_t id = n.input(k);
      if (id >= s.value_count) continue;
      ++p.consumer_count[id];
      p.last_use[id] = at;
      if (p.producer[id] < 0) p.producer[id] = at;
    }
    for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k) {
      const uint64_t id = n.output(k);
      if (id >= s.value_count) continue;
      ++p.writer_count[id];
      if (p.first_write[id] < 0) p.first_write[id] = at;
    }
  }
}

bool fusion_intermediate(const CpuState& s, const ArenaPlanner& p, uint64_t id) {
  return id < s.value_count && s.values[id].kind() == kValueActivation && p.consumer_count[id] == 1 &&
         p.writer_count[id] == 1;
}

int64_t sole_reader_after(const CpuState& s, const ArenaPlanner& p, uint64_t k) {
  const NodeRecord& n = s.nodes[k];
  const uint64_t t = n.output(0);
  if (n.output_count() != 1 || !fusion_intermediate(s, p, t)) return -1;
  const int32_t j = p.last_use[t];
  if (j < 0 || static_cast<uint64_t>(j) <= k) return -1;
  const NodeRecord& r = s.nodes[j];
  if (r.output_count() != 1 || r.output(0) >= s.value_count) return -1;
  const uint64_t o = r.output(0);
  if (p.writer_count[o] != 1 || (p.producer[o] >= 0 && p.producer[o] <= j)) return -1;
  return j;
}

bool same_count(const CpuState& s, uint64_t a, uint64_t b) {
  return a < s.value_count && b < s.value_count && s.values[a].count() == s.values[b].count();
}

bool f32_weight(const CpuState& s, uint64_t id, uint64_t count) {
  return id < s.value_count && s.values[id].kind() == kValueWeight && s.values[id].elem_kind() == kElemF32 &&
         s.values[id].count() == count && s.data[id] != nullptr;
}

bool compact_nodes(CpuState& s) {
  uint64_t kept = 0;
  for (uint64_t i = 0; i < s.node_count; ++i)
    if (s.nodes[i].op() != kOpNone) s.nodes[kept++] = s.nodes[i];
  const bool changed = kept != s.node_count;
  s.node_count = kept;
  return changed;
}

}  // namespace vorn
