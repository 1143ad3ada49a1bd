// TopK (K-round selection, fit for small K) and CumSum over one axis.
#include <cmath>
#include <cstdint>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/axis_frame.h"

namespace vorn {

namespace {

// TopK ranks positions in one total order: numbers by value (descending for
// the largest, ascending for the smallest), equal values by increasing index,
// and NaNs after every number, by index. Round k picks the best position
// ranked after the pick of round k - 1, so no marks are needed and every
// output index is distinct.
inline bool ranks_before(float va, uint64_t ia, float vb, uint64_t ib, bool largest) {
  const bool na = std::isnan(va), nb = std::isnan(vb);
  if (na != nb) return nb;
  if (!na && va != vb) return largest ? va > vb : va < vb;
  return ia < ib;
}

// Rounds past the last position (K above D) write the bound the selection
// starts from and index 0.
constexpr float kTopKBound = 1e30f;

}  // namespace

bool cpu_topk_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::TopK::kAxis), vx.rank(), &axis);
  const AxisFrame fx = axis_frame(vx, axis);
  const uint64_t k_count = vy.rank() == 0 ? 1 : vy.dim(axis);
  const bool largest = node.attr(attr::TopK::kSmallest) == 0;
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  float* yi = node.output_count() >= 2 ? node_out(s, node, 1) : nullptr;
  const AxisFrame work{fx.outer, fx.d * (k_count == 0 ? 1 : k_count), fx.inner};
  for_axis_segments(work, kParallelElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    const float* base = x + o * fx.d * fx.inner;
    for (uint64_t p = p0; p < p1; ++p) {
      bool have_prev = false;
      float prev_v = 0.0f;
      uint64_t prev_i = 0;
      for (uint64_t k = 0; k < k_count; ++k) {
        bool found = false;
        float best_v = 0.0f;
        uint64_t best_i = 0;
        for (uint64_t d = 0; d < fx.d; ++d) {
          const float v = base[d * fx.inner + p];
          if (have_prev && !ranks_before(prev_v, prev_i, v, d, largest)) continue;
          if (!found || ranks_before(v, d, best_v, best_i, largest)) {
            best_v = v;
            best_i = d;
            found = true;
          }
        }
        const uint64_t at = (o * k_count + k) * fx.inner + p;
        if (!found) {
          y[at] = largest ? -kTopKBound : kTopKBound;
          if (yi != nullptr) yi[at] = 0.0f;
          continue;
        }
        y[at] = best_v;
        if (yi != nullptr) yi[at] = static_cast<float>(best_i);
        prev_v = best_v;
        prev_i = best_i;
        have_prev = true;
      }
    }
  });
  return true;
}

bool cpu_topk_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  // K lives in Y's shape; a K input left behind by lowering is not read.
  if (!check_node_values(s, node, 1, 2, 1, 2, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis = 0;
  if (vx.rank() > 0 && !normalise_axis(node.attr_i64(attr::TopK::kAxis), vx.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::TopK::kAxis)),
                      static_cast<unsigned long long>(vx.rank()));
  if (vy.rank() != vx.rank()) return check_fail(msg, cap, "output rank differs from the input rank");
  for (uint64_t a = 0; a < vx.rank(); ++a)
    if (a != axis && vy.dim(a) != vx.dim(a))
      return check_fail(msg, cap, "output dim %llu differs from the input",
                        static_cast<unsigned long long>(a));
  if (node.output_count() >= 2 && node_out_value(s, node, 1).count() != vy.count())
    return check_fail(msg, cap, "index output and value output differ in size");
  return true;
}

namespace {

// The axis comes from input 1 when the node still has one (its element 0,
// truncated), else from the axis word.
bool cumsum_axis(const CpuState& s, const NodeRecord& node, uint64_t rank, uint64_t* axis) {
  int64_t a = node.attr_i64(attr::CumSum::kAxis);
  if (node.input_count() >= 2 && s.data[node.input(1)] != nullptr &&
      s.values[node.input(1)].count() >= 1) {
    const float v = node_in(s, node, 1)[0];
    if (!(std::fabs(v) < 64.0f)) return false;
    a = static_cast<int64_t>(v);
  }
  return normalise_axis(a, rank, axis);
}

}  // namespace

bool cpu_cumsum_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  // The axis may come from an activation, known only now; a bad one fails
  // the pass instead of reading outside X.
  if (vx.rank() > 0 && !cumsum_axis(s, node, vx.rank(), &axis)) return false;
  const AxisFrame f = axis_frame(vx, axis);
  const bool exclusive = node.attr(attr::CumSum::kExclusive) != 0;
  const bool reverse = node.attr(attr::CumSum::kReverse) != 0;
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (f.d == 0) return true;
  for_axis_segments(f, kParallelElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    const float* xb = x + o * f.d * f.inner;
    float* yb = y + o * f.d * f.inner;
    // Walk d in the summing direction; each output is its predecessor plus
    // one element, the same additions a running sum makes.
    for (uint64_t step = 0; step < f.d; ++step) {
      const uint64_t d = reverse ? f.d - 1 - step : step;
      const uint64_t prev = reverse ? d + 1 : d - 1;
      float* out = yb + d * f.inner;
      if (step == 0) {
        for (uint64_t p = p0; p < p1; ++p) out[p] = exclusive ? 0.0f : 0.0f + xb[d * f.inner + p];
      } else {
        const float* before = yb + prev * f.inner;
        const float* add = xb + (exclusive ? prev : d) * f.inner;
        for (uint64_t p = p0; p < p1; ++p) out[p] = before[p] + add[p];
      }
    }
  });
  return true;
}

bool cpu_cumsum_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 2, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  if (node_out_value(s, node, 0).count() != vx.count())
    return check_fail(msg, cap, "input and output element counts differ");
  if (node.input(0) == node.output(0) ||
      (node_in(s, node, 0) != nullptr && node_in(s, node, 0) == node_out(s, node, 0)))
    return check_fail(msg, cap, "input and output share one buffer");
  if (vx.rank() == 0) return true;
  // An axis input computed at run time is checked by the kernel.
  if (node.input_count() >= 2 &&
      (s.values[node.input(1)].kind() != kValueWeight || s.data[node.input(1)] == nullptr))
    return true;
  uint64_t axis;
  if (!cumsum_axis(s, node, vx.rank(), &axis))
    return check_fail(msg, cap, "axis outside rank %llu", static_cast<unsigned long long>(vx.rank()));
  return true;
}

}  // namespace vorn
