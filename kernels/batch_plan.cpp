#include "kernels/batch_plan.h"

#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/graph_validate.h"

namespace vorn {

namespace {

// The graph's records as the batching rule reads them.
struct Records {
  const ValueRecord* values;
  uint64_t value_count;
};

// The node's axis with the rank of input 0 added once when negative.
int64_t node_axis(const Records& s, const NodeRecord& n) {
  int64_t axis = n.attr_i64(attr::kAxis);
  if (axis < 0) axis += static_cast<int64_t>(s.values[n.input(0)].rank());
  return axis;
}

bool input_batched(const Records& s, const NodeRecord& n, uint64_t k, const uint8_t* batched) {
  return k < n.input_count() && n.input(k) < s.value_count && batched[n.input(k)] != 0;
}

bool node_batch_safe(const Records& s, const NodeRecord& n, const uint8_t* batched) {
  switch (n.op()) {
    case op::Gather:  // always selects rows of dim 0 of its data
      if (input_batched(s, n, 0, batched)) return false;
      return node_axis(s, n) != 0;
    case op::Concat:
    case op::Split:
    case op::Slice:
    case op::Softmax:
    case op::ArgMax:
    case op::ReduceMean:
    case op::ReduceSum:
    case op::ReduceMax:
    case op::ReduceMin:
    case op::ReduceProd:
    case op::CumSum:
    case op::TopK:
    case op::ScatterND:
      return node_axis(s, n) != 0;
    case op::Transpose:  // the batch axis must stay first
      return n.attr(attr::Transpose::kPerm) == 0;
    case op::Flatten:
      return s.values[n.input(0)].dim(0) == s.values[n.output(0)].dim(0);
    case op::DeformUnfold:
    case op::DetrTopK:
    case op::MaskToBoxLogit:
    case op::YoloNms:
      return false;
    default:
      return true;
  }
}

// Marks every value that carries the batch: graph inputs of rank 1 or more
// with dim 0 equal to 1, then in node order the non-weight outputs (rank 1
// or more) of every node that reads a marked value.
void mark_batched(const Records& s, const NodeRecord* nodes, uint64_t node_count, uint8_t* batched) {
  for (uint64_t id = 0; id < s.value_count; ++id) {
    const ValueRecord& v = s.values[id];
    if (v.kind() == kValueGraphInput && v.rank() >= 1 && v.dim(0) == 1) batched[id] = 1;
  }
  for (uint64_t i = 0; i < node_count; ++i) {
    const NodeRecord& n = nodes[i];
    bool any = false;
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k) any |= input_batched(s, n, k, batched);
    if (!any) continue;
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
      uint64_t id = n.output(k);
      if (id >= s.value_count) continue;
      const ValueRecord& v = s.values[id];
      if (v.kind() != kValueWeight && v.rank() != 0) batched[id] = 1;
    }
  }
}

}  // namespace

bool cpu_node_batch_safe(const CpuState& s, const NodeRecord& n, const uint8_t* batched) {
  return node_batch_safe(Records{s.values, s.value_count}, n, batched);
}

bool graph_batch_safe(const ValueRecord* values, uint64_t value_count, const NodeRecord* nodes, uint64_t node_count,
                      uint8_t* batched) {
  const Records r{values, value_count};
  std::memset(batched, 0, value_count);
  mark_batched(r, nodes, node_count, batched);
  for (uint64_t i = 0; i < node_count; ++i)
    if (!node_batch_safe(r, nodes[i], batched)) return false;
  return true;
}

void cpu_settle_batch(CpuState& s, uint64_t requested, uint8_t* batched) {
  const ValueRecord& first = s.values[s.first_input];
  uint64_t d = first.rank() >= 1 ? first.dim(0) : 0;
  if (requested < 2) {
    s.compiled_batch = d < 2 ? 1 : d;
    return;
  }
  if (d != 1) {
    s.compiled_batch = d == 0 ? 1 : d;
    return;
  }
  s.compiled_batch = 1;
  bool ok = graph_batch_safe(s.values, s.value_count, s.nodes, s.node_count, batched);
  // A widened value must stay inside the element limit the validation set.
  for (uint64_t id = 0; id < s.value_count && ok; ++id) {
    uint64_t count = 0;
    if (batched[id] && (__builtin_mul_overflow(s.values[id].count(), requested, &count) ||
                        count >= kCpuMaxElements ||
                        s.values[id].dim(0) > kCpuMaxElements / requested))
      ok = false;
  }
  if (ok) {
    s.compiled_batch = requested;
    for (uint64_t id = 0; id < s.value_count; ++id) {
      if (!batched[id]) continue;
      ValueRecord& v = s.values[id];
      v.w[3] *= requested;
      v.w[9] *= requested;
      v.w[10] *= requested;
    }
  }
  std::memset(batched, 0, s.value_count);
}

}  // namespace vorn
