// ReduceMean, ReduceSum, ReduceMax, ReduceMin, ReduceProd and ArgMax over one
// axis. Each output is accumulated in f32 in increasing d, the same order on
// every thread count.
#include <cmath>
#include <cstdint>
#include <limits>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/axis_frame.h"

namespace vorn {

namespace {


// Fold: start(first) gives the accumulator from d = 0 (or the empty value),
// step(acc, x) folds in later elements, finish(acc, D) the output.
struct SumFold {
  static float empty() { return 0.0f; }
  static float first(float x) { return 0.0f + x; }
  static float step(float acc, float x) { return acc + x; }
  static float finish(float acc, uint64_t) { return acc; }
};
struct MeanFold : SumFold {
  static float empty() { return std::numeric_limits<float>::quiet_NaN(); }  // 0 / 0
  static float finish(float acc, uint64_t d) { return acc / static_cast<float>(d); }
};
struct ProdFold {
  static float empty() { return 1.0f; }
  static float first(float x) { return 1.0f * x; }
  static float step(float acc, float x) { return acc * x; }
  static float finish(float acc, uint64_t) { return acc; }
};
// Only a strictly greater (smaller) value replaces the running one, so a NaN
// never replaces it; a NaN at d = 0 stays.
struct MaxFold {
  static float empty() { return -std::numeric_limits<float>::infinity(); }
  static float first(float x) { return x; }
  static float step(float acc, float x) { return x > acc ? x : acc; }
  static float finish(float acc, uint64_t) { return acc; }
};
struct MinFold {
  static float empty() { return std::numeric_limits<float>::infinity(); }
  static float first(float x) { return x; }
  static float step(float acc, float x) { return x < acc ? x : acc; }
  static float finish(float acc, uint64_t) { return acc; }
};

template <class Fold>
void reduce_axis(const float* x, float* y, const AxisFrame& f) {
  if (f.inner == 1 && f.d > 0) {
    // Reducing the last axis: each output folds one contiguous row, kept in
    // a register (the same additions in the same order as below).
    for_chunks(f.outer, kParallelElements, [&](uint64_t begin, uint64_t end) {
      for (uint64_t o = begin; o < end; ++o) {
        const float* row = x + o * f.d;
        float acc = Fold::first(row[0]);
        for (uint64_t d = 1; d < f.d; ++d) acc = Fold::step(acc, row[d]);
        y[o] = Fold::finish(acc, f.d);
      }
    }, f.d);
    return;
  }
  for_axis_segments(f, kParallelElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    float* out = y + o * f.inner;
    if (f.d == 0) {
      for (uint64_t p = p0; p < p1; ++p) out[p] = Fold::empty();
      return;
    }
    const float* base = x + o * f.d * f.inner;
    for (uint64_t p = p0; p < p1; ++p) out[p] = Fold::first(base[p]);
    for (uint64_t d = 1; d < f.d; ++d) {
      const float* row = base + d * f.inner;
      for (uint64_t p = p0; p < p1; ++p) out[p] = Fold::step(out[p], row[p]);
    }
    for (uint64_t p = p0; p < p1; ++p) out[p] = Fold::finish(out[p], f.d);
  });
}

// Index of the first maximum; a NaN never wins unless it sits at d = 0.
void argmax_axis(const float* x, float* y, const AxisFrame& f) {
  for_axis_segments(f, kParallelElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    float* out = y + o * f.inner;
    const float* base = x + o * f.d * f.inner;
    for (uint64_t p = p0; p < p1; ++p) {
      if (f.d < 2) {
        out[p] = 0.0f;
        continue;
      }
      float best = base[p];
      uint64_t at = 0;
      for (uint64_t d = 1; d < f.d; ++d) {
        float v = base[d * f.inner + p];
        if (v > best) {
          best = v;
          at = d;
        }
      }
      out[p] = static_cast<float>(at);
    }
  });
}

}  // namespace

bool cpu_reduce_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Reduce::kAxis), vx.rank(), &axis);
  const AxisFrame f = axis_frame(vx, axis);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  switch (node.op()) {
    case op::ArgMax: argmax_axis(x, y, f); break;
    case op::ReduceMean: reduce_axis<MeanFold>(x, y, f); break;
    case op::ReduceSum: reduce_axis<SumFold>(x, y, f); break;
    case op::ReduceMax: reduce_axis<MaxFold>(x, y, f); break;
    case op::ReduceMin: reduce_axis<MinFold>(x, y, f); break;
    case op::ReduceProd: reduce_axis<ProdFold>(x, y, f); break;
    default: return false;
  }
  return true;
}

bool cpu_reduce_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  if (vx.rank() > 0 && !normalise_axis(node.attr_i64(attr::Reduce::kAxis), vx.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Reduce::kAxis)),
                      static_cast<unsigned long long>(vx.rank()));
  const AxisFrame f = axis_frame(vx, axis);
  if (node_out_value(s, node, 0).count() != f.outer * f.inner)
    return check_fail(msg, cap, "output holds %llu elements, the reduction makes %llu",
                      static_cast<unsigned long long>(node_out_value(s, node, 0).count()),
                      static_cast<unsigned long long>(f.outer * f.inner));
  return true;
}

}  // namespace vorn
