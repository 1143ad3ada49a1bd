// Softmax over one axis (X and Y may share a buffer: every element is read
// before it is written). For every position the maximum, the exponentials
// and their f32 sum are formed in increasing d, so a row gives the same bits
// whether it runs alone, in a block of neighbouring positions, or on another
// thread.
#include <cmath>
#include <cstdint>

#include "container/attr_words.h"
#include "cpu/kernel.h"
#include "cpu/kernels/axis_frame.h"
#include "platform/vector_math.h"

namespace vorn {

namespace {

// Positions handled together: their running maxima and sums live on the stack
// and each row of the block is one contiguous, vectorisable pass.
constexpr uint64_t kSoftmaxBlock = 256;

void softmax_block(const float* x, float* y, uint64_t d_count, uint64_t inner, uint64_t n) {
  float m[kSoftmaxBlock], sum[kSoftmaxBlock];
  // The maximum starts at the most negative finite f32 and only a strictly
  // greater value replaces it, so NaNs never become the maximum.
  for (uint64_t p = 0; p < n; ++p) {
    m[p] = -3.4028235e38f;
    sum[p] = 0.0f;
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    const float* row = x + d * inner;
    for (uint64_t p = 0; p < n; ++p) m[p] = row[p] > m[p] ? row[p] : m[p];
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    const float* row = x + d * inner;
    float* out = y + d * inner;
    for (uint64_t p = 0; p < n; ++p) out[p] = row[p] - m[p];
    vec_exp(out, out, n);
    for (uint64_t p = 0; p < n; ++p) sum[p] += out[p];
  }
  for (uint64_t d = 0; d < d_count; ++d) {
    float* out = y + d * inner;
    for (uint64_t p = 0; p < n; ++p) out[p] = out[p] / sum[p];
  }
}

// The common last-axis case: one contiguous row, exponentiated in one call.
void softmax_row(const float* x, float* y, uint64_t d_count) {
  float m = -3.4028235e38f;
  for (uint64_t d = 0; d < d_count; ++d) m = x[d] > m ? x[d] : m;
  for (uint64_t d = 0; d < d_count; ++d) y[d] = x[d] - m;
  vec_exp(y, y, d_count);
  float sum = 0.0f;
  for (uint64_t d = 0; d < d_count; ++d) sum += y[d];
  for (uint64_t d = 0; d < d_count; ++d) y[d] = y[d] / sum;
}

// kRowGroup last-axis rows side by side: the running maxima and sums of
// the rows are independent chains, so the group keeps the adder busy while
// each row still sums in increasing d, with softmax_row's bits.
constexpr uint64_t kRowGroup = 8;

void softmax_row_group(const float* x, float* y, uint64_t d_count) {
  float m[kRowGroup], sum[kRowGroup];
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    m[r] = -3.4028235e38f;
    sum[r] = 0.0f;
  }
  for (uint64_t d = 0; d < d_count; ++d)
    for (uint64_t r = 0; r < kRowGroup; ++r) {
      const float v = x[r * d_count + d];
      m[r] = v > m[r] ? v : m[r];
    }
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    const float* xr = x + r * d_count;
    float* yr = y + r * d_count;
    for (uint64_t d = 0; d < d_count; ++d) yr[d] = xr[d] - m[r];
    vec_exp(yr, yr, d_count);
  }
  for (uint64_t d = 0; d < d_count; ++d)
    for (uint64_t r = 0; r < kRowGroup; ++r) sum[r] += y[r * d_count + d];
  for (uint64_t r = 0; r < kRowGroup; ++r) {
    float* yr = y + r * d_count;
    for (uint64_t d = 0; d < d_count; ++d) yr[d] = yr[d] / sum[r];
  }
}

}  // namespace

bool cpu_softmax_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Softmax::kAxis), vy.rank(), &axis);
  const AxisFrame f = axis_frame(vy, axis);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (f.d == 0) return true;
  if (f.inner == 1) {
    for_chunks(f.outer, kParallelHeavyElements, [&](uint64_t begin, uint64_t end) {
      uint64_t o = begin;
      for (; o + kRowGroup <= end; o += kRowGroup) softmax_row_group(x + o * f.d, y + o * f.d, f.d);
      for (; o < end; ++o) softmax_row(x + o * f.d, y + o * f.d, f.d);
    }, f.d);
    return true;
  }
  for_axis_segments(f, kParallelHeavyElements, [&](uint64_t o, uint64_t p0, uint64_t p1) {
    const uint64_t base = o * f.d * f.inner;
    for (uint64_t p = p0; p < p1; p += kSoftmaxBlock) {
      uint64_t n = p1 - p < kSoftmaxBlock ? p1 - p : kSoftmaxBlock;
      softmax_block(x + base + p, y + base + p, f.d, f.inner, n);
    }
  });
  return true;
}

bool cpu_softmax_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 1, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.count() != vy.count()) return check_fail(msg, cap, "input and output element counts differ");
  uint64_t axis;
  if (vy.rank() > 0 && !normalise_axis(node.attr_i64(attr::Softmax::kAxis), vy.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Softmax::kAxis)),
                      static_cast<unsigned long long>(vy.rank()));
  return true;
}

}  // namespace vorn
