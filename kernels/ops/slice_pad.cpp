// Slice (runtime form: one axis, start, length, step) and Pad (zeros after
// the data on axes 1 and 2 of a rank-4 tensor, the form lowering produces).
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

namespace {

using A = attr::Slice;

constexpr uint64_t kShortBlock = 8;

uint64_t slice_step(const NodeRecord& node) {
  int64_t step = node.attr_i64(A::kStep);
  return step <= 1 ? 1 : static_cast<uint64_t>(step);
}

}  // namespace

bool cpu_slice_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(A::kAxis), vx.rank(), &axis);
  const uint64_t outer = dims_product(vx, 0, axis);
  const uint64_t d = vx.dim(axis);
  const uint64_t inner = dims_product(vx, axis + 1, vx.rank());
  const uint64_t start = static_cast<uint64_t>(node.attr_i64(A::kStart));
  const uint64_t len = static_cast<uint64_t>(node.attr_i64(A::kLength));
  const uint64_t step = slice_step(node);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (len == 0 || inner == 0) return true;
  if (step == 1) {
    // One contiguous block per outer index; blocks of a few floats (a box's
    // coordinates out of a detector's rows) are copied in place, where a
    // call to memcpy per block would cost more than the copy.
    const uint64_t block = len * inner;
    for_chunks(outer, kParallelElements, [&](uint64_t begin, uint64_t end) {
      if (block <= kShortBlock) {
        for (uint64_t o = begin; o < end; ++o) {
          const float* from = x + (o * d + start) * inner;
          float* to = y + o * block;
          for (uint64_t j = 0; j < block; ++j) to[j] = from[j];
        }
        return;
      }
      for (uint64_t o = begin; o < end; ++o)
        std::memcpy(y + o * block, x + (o * d + start) * inner, block * sizeof(float));
    }, block);
    return true;
  }
  for_chunks(outer * len, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t r = begin; r < end; ++r) {
      uint64_t o = r / len, k = r % len;
      std::memcpy(y + r * inner, x + (o * d + start + k * step) * inner, inner * sizeof(float));
    }
  }, inner);
  return true;
}

bool cpu_slice_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis;
  if (!normalise_axis(node.attr_i64(A::kAxis), vx.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu",
                      static_cast<long long>(node.attr_i64(A::kAxis)),
                      static_cast<unsigned long long>(vx.rank()));
  const int64_t start = node.attr_i64(A::kStart), len = node.attr_i64(A::kLength);
  const uint64_t d = vx.dim(axis), step = slice_step(node);
  if (start < 0 || len < 0) return check_fail(msg, cap, "negative start or length");
  if (len > 0) {
    uint64_t last;
    if (__builtin_mul_overflow(static_cast<uint64_t>(len - 1), step, &last) ||
        __builtin_add_overflow(last, static_cast<uint64_t>(start), &last) || last >= d)
      return check_fail(msg, cap, "slice reaches past the axis (dim %llu)",
                        static_cast<unsigned long long>(d));
  }
  // Gather by a constant scalar index becomes a Slice that also drops the
  // axis, so only the element count is compared.
  const uint64_t want = dims_product(vx, 0, axis) * static_cast<uint64_t>(len) *
                        dims_product(vx, axis + 1, vx.rank());
  if (node_out_value(s, node, 0).count() != want)
    return check_fail(msg, cap, "output holds %llu elements, the slice makes %llu",
                      static_cast<unsigned long long>(node_out_value(s, node, 0).count()),
                      static_cast<unsigned long long>(want));
  return true;
}

// Each (n, c) plane of X lands at the start of plane (n, c) of Y; Y's extra
// channels and rows stay zero.
bool cpu_pad_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  std::memset(y, 0, vy.count() * sizeof(float));
  const uint64_t plane_x = vx.dim(2) * vx.dim(3);
  const uint64_t plane_y = vy.dim(2) * vx.dim(3);
  const uint64_t cx = vx.dim(1), cy = vy.dim(1);
  if (plane_x == 0) return true;
  for_chunks(vx.dim(0) * cx, kParallelElements * 4, [&](uint64_t begin, uint64_t end) {
    for (uint64_t p = begin; p < end; ++p) {
      uint64_t n = p / cx, c = p % cx;
      std::memcpy(y + (n * cy + c) * plane_y, x + p * plane_x, plane_x * sizeof(float));
    }
  }, plane_x);
  return true;
}

bool cpu_pad_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.rank() != 4 || vy.rank() != 4)
    return check_fail(msg, cap, "only rank-4 padding is supported");
  if (vy.dim(0) != vx.dim(0) || vy.dim(3) != vx.dim(3) || vy.dim(1) < vx.dim(1) ||
      vy.dim(2) < vx.dim(2))
    return check_fail(msg, cap, "only zero padding after the data on axes 1 and 2 is supported");
  return true;
}

}  // namespace vorn
