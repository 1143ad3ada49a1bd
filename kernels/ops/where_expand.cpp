// Where and Expand: broadcasting selection and repetition.
#include <cstring>

#include "kernels/kernel.h"
#include "kernels/ops/broadcast.h"
#include "kernels/ops/node_check.h"

namespace vorn {

namespace {

bool all_counts_match(const CpuState& s, const NodeRecord& node, uint64_t inputs) {
  const uint64_t n = node_out_value(s, node, 0).count();
  for (uint64_t k = 0; k < inputs; ++k)
    if (node_in_value(s, node, k).count() != n) return false;
  return true;
}

void plan_for(const CpuState& s, const NodeRecord& node, uint64_t inputs, BroadcastPlan* plan) {
  uint64_t in[kBroadcastMaxInputs][kMaxRank], out[kMaxRank];
  padded_dims(node_out_value(s, node, 0), out);
  if (all_counts_match(s, node, inputs)) {
    // Equal counts run flat whatever the recorded dims.
    for (uint64_t k = 0; k < inputs; ++k) std::memcpy(in[k], out, sizeof out);
  } else {
    for (uint64_t k = 0; k < inputs; ++k) padded_dims(node_in_value(s, node, k), in[k]);
  }
  broadcast_plan(plan, out, in, inputs);
}

bool check_broadcast_to_output(const CpuState& s, const NodeRecord& node, uint64_t inputs,
                               char* msg, size_t cap) {
  if (all_counts_match(s, node, inputs)) return true;
  uint64_t out[kMaxRank], in[kMaxRank];
  const ValueRecord& vy = node_out_value(s, node, 0);
  padded_dims(vy, out);
  for (uint64_t k = 0; k < inputs; ++k) {
    const ValueRecord& v = node_in_value(s, node, k);
    padded_dims(v, in);
    // An input of higher rank than Y may only add leading axes of 1.
    if (v.rank() > vy.rank())
      for (uint64_t a = 0; a < v.rank() - vy.rank(); ++a)
        if (v.dim(a) != 1) return check_fail(msg, cap, "input %llu does not broadcast to the output",
                                             static_cast<unsigned long long>(k));
    if (!broadcasts_to(in, out))
      return check_fail(msg, cap, "input %llu does not broadcast to the output",
                        static_cast<unsigned long long>(k));
  }
  return true;
}

}  // namespace

// Y = A where the condition is non-zero (NaN counts as non-zero), else B.
bool cpu_where_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  BroadcastPlan plan;
  plan_for(s, node, 3, &plan);
  const float* c = node_in(s, node, 0);
  const float* a = node_in(s, node, 1);
  const float* b = node_in(s, node, 2);
  float* y = node_out(s, node, 0);
  const uint64_t sc = plan.runs[0], sa = plan.runs[1], sb = plan.runs[2];
  broadcast_for_each(plan, kParallelElements, [&](uint64_t o, const uint64_t* off, uint64_t n) {
    const float* cc = c + off[0];
    const float* aa = a + off[1];
    const float* bb = b + off[2];
    float* yy = y + o;
    if (sc && sa && sb) {
      for (uint64_t j = 0; j < n; ++j) yy[j] = cc[j] != 0.0f ? aa[j] : bb[j];
    } else {
      for (uint64_t j = 0; j < n; ++j) yy[j] = cc[j * sc] != 0.0f ? aa[j * sa] : bb[j * sb];
    }
  });
  return true;
}

bool cpu_where_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 3, 3, 1, 1, msg, cap)) return false;
  return check_broadcast_to_output(s, node, 3, msg, cap);
}

bool cpu_expand_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  BroadcastPlan plan;
  plan_for(s, node, 1, &plan);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (x == y) return true;
  broadcast_for_each(plan, kParallelElements, [&](uint64_t o, const uint64_t* off, uint64_t n) {
    if (plan.runs[0]) {
      std::memcpy(y + o, x + off[0], n * sizeof(float));
    } else {
      const float v = x[off[0]];
      for (uint64_t j = 0; j < n; ++j) y[o + j] = v;
    }
  });
  return true;
}

bool cpu_expand_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  // Lowering drops the shape input, but a second input is harmless.
  if (!check_node_values(s, node, 1, 2, 1, 1, msg, cap)) return false;
  return check_broadcast_to_output(s, node, 1, msg, cap);
}

}  // namespace vorn
