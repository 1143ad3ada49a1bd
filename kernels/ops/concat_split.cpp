// Flatten, Concat and Split: contiguous block moves.
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

namespace {

// Blocks up to this many floats are moved without a library call.
constexpr uint64_t kShortBlock = 8;

// Moves `rows` blocks of L floats, each read whole before it is written,
// as memmove does.
template <uint64_t L>
void move_blocks_of(const float* src, uint64_t src_step, float* dst, uint64_t dst_step, uint64_t rows) {
  for (uint64_t o = 0; o < rows; ++o) {
    float held[L];
    for (uint64_t j = 0; j < L; ++j) held[j] = src[o * src_step + j];
    for (uint64_t j = 0; j < L; ++j) dst[o * dst_step + j] = held[j];
  }
}

// Blocks of a few floats (a detector's per-anchor columns) are moved in
// place, where a call per block would cost more than the move.
void move_short_blocks(const float* src, uint64_t src_step, float* dst, uint64_t dst_step, uint64_t rows,
                       uint64_t len) {
  using Move = void (*)(const float*, uint64_t, float*, uint64_t, uint64_t);
  static constexpr Move kMoves[kShortBlock] = {&move_blocks_of<1>, &move_blocks_of<2>, &move_blocks_of<3>,
                                               &move_blocks_of<4>, &move_blocks_of<5>, &move_blocks_of<6>,
                                               &move_blocks_of<7>, &move_blocks_of<8>};
  kMoves[len - 1](src, src_step, dst, dst_step, rows);
}

// Copies `rows` blocks of `len` floats from src (blocks src_step apart) to dst
// (blocks dst_step apart). memmove because the arena may place a Concat
// input inside its output; equal addresses are skipped by the callers.
void copy_blocks(const float* src, uint64_t src_step, float* dst, uint64_t dst_step, uint64_t rows,
                 uint64_t len) {
  if (len == 0) return;
  for_chunks(rows, kParallelElements * 4, [&](uint64_t begin, uint64_t end) {
    if (len <= kShortBlock) {
      move_short_blocks(src + begin * src_step, src_step, dst + begin * dst_step, dst_step, end - begin, len);
      return;
    }
    for (uint64_t o = begin; o < end; ++o)
      std::memmove(dst + o * dst_step, src + o * src_step, len * sizeof(float));
  }, len);
}

// Dims of `v` equal those of `ref` except on the axis.
bool same_but_axis(const ValueRecord& v, const ValueRecord& ref, uint64_t axis) {
  if (v.rank() != ref.rank()) return false;
  for (uint64_t i = 0; i < v.rank(); ++i)
    if (i != axis && v.dim(i) != ref.dim(i)) return false;
  return true;
}

}  // namespace

bool cpu_flatten_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const float* x = node_in(s, node, 0);
  float* y = node_out(s, node, 0);
  if (x != y) std::memmove(y, x, node_out_value(s, node, 0).count() * sizeof(float));
  return true;
}

bool cpu_flatten_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 2, 1, 1, msg, cap)) return false;
  if (node_in_value(s, node, 0).count() != node_out_value(s, node, 0).count())
    return check_fail(msg, cap, "input and output element counts differ");
  return true;
}

// Concat: inputs placed one after another along the axis of Y. A copy whose
// source already is its destination (the planner put the input there) is
// skipped.
bool cpu_concat_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Concat::kAxis), vy.rank(), &axis);
  const uint64_t outer = dims_product(vy, 0, axis);
  const uint64_t inner = dims_product(vy, axis + 1, vy.rank());
  const uint64_t big = vy.dim(axis);
  float* y = node_out(s, node, 0);
  uint64_t offset = 0;
  for (uint64_t k = 0; k < node.input_count(); ++k) {
    const uint64_t d = node_in_value(s, node, k).dim(axis);
    const float* x = node_in(s, node, k);
    float* dst = y + offset * inner;
    if (x != dst) copy_blocks(x, d * inner, dst, big * inner, outer, d * inner);
    offset += d;
  }
  return true;
}

bool cpu_concat_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, 1, msg, cap)) return false;
  const ValueRecord& vy = node_out_value(s, node, 0);
  uint64_t axis;
  if (!normalise_axis(node.attr_i64(attr::Concat::kAxis), vy.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Concat::kAxis)),
                      static_cast<unsigned long long>(vy.rank()));
  uint64_t sum = 0;
  for (uint64_t k = 0; k < node.input_count(); ++k) {
    const ValueRecord& vx = node_in_value(s, node, k);
    if (!same_but_axis(vx, vy, axis))
      return check_fail(msg, cap, "input %llu does not match the output off the axis",
                        static_cast<unsigned long long>(k));
    sum += vx.dim(axis);
  }
  if (sum != vy.dim(axis)) return check_fail(msg, cap, "input dims do not add up to the output dim");
  return true;
}

bool cpu_split_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Split::kAxis), vx.rank(), &axis);
  const uint64_t outer = dims_product(vx, 0, axis);
  const uint64_t inner = dims_product(vx, axis + 1, vx.rank());
  const uint64_t big = vx.dim(axis);
  const float* x = node_in(s, node, 0);
  uint64_t offset = 0;
  for (uint64_t k = 0; k < node.output_count(); ++k) {
    const uint64_t d = node_out_value(s, node, k).dim(axis);
    copy_blocks(x + offset * inner, big * inner, node_out(s, node, k), d * inner, outer, d * inner);
    offset += d;
  }
  return true;
}

bool cpu_split_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, kNodeMaxInputs, 1, kNodeMaxOutputs, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis;
  if (!normalise_axis(node.attr_i64(attr::Split::kAxis), vx.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Split::kAxis)),
                      static_cast<unsigned long long>(vx.rank()));
  uint64_t sum = 0;
  for (uint64_t k = 0; k < node.output_count(); ++k) {
    const ValueRecord& vy = node_out_value(s, node, k);
    if (!same_but_axis(vy, vx, axis))
      return check_fail(msg, cap, "output %llu does not match the input off the axis",
                        static_cast<unsigned long long>(k));
    sum += vy.dim(axis);
  }
  if (sum > vx.dim(axis)) return check_fail(msg, cap, "output dims exceed the input dim");
  return true;
}

}  // namespace vorn
