// DepthToSpace (column-row-depth order) and SpaceToDepth (depth-column-row
// order), both a permuted copy of a six-axis view of the data.
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/kernel.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/permute.h"

namespace vorn {

namespace {


uint64_t block_size(const NodeRecord& node) {
  const uint64_t b = node.attr(attr::DepthSpace::kBlockSize);
  return b == 0 ? 2 : b;
}

}  // namespace

bool cpu_depth_space_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const uint64_t b = block_size(node);
  const uint64_t n = vx.dim(0), h = vx.dim(2), w = vx.dim(3);
  if (node.op() == op::DepthToSpace) {
    // X [N, C, b, b, H, W] -> Y [N, C, H, b, W, b]
    const uint64_t c = vx.dim(1) / (b * b);
    const uint64_t dims[6] = {n, c, b, b, h, w};
    const uint64_t perm[6] = {0, 1, 4, 2, 5, 3};
    permute_copy(node_in(s, node, 0), dims, 6, perm, node_out(s, node, 0));
  } else {
    // X [N, C, H, b, W, b] -> Y [N, b, b, C, H, W]
    const uint64_t c = vx.dim(1);
    const uint64_t dims[6] = {n, c, h / b, b, w / b, b};
    const uint64_t perm[6] = {0, 3, 5, 1, 2, 4};
    permute_copy(node_in(s, node, 0), dims, 6, perm, node_out(s, node, 0));
  }
  return true;
}

bool cpu_depth_space_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 1, 1, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vy = node_out_value(s, node, 0);
  if (vx.rank() != 4 || vy.rank() != 4) return check_fail(msg, cap, "needs rank-4 input and output");
  const uint64_t b = block_size(node);
  uint64_t bb;
  if (b > 65536 || __builtin_mul_overflow(b, b, &bb)) return check_fail(msg, cap, "block size too large");
  const uint64_t n = vx.dim(0), c = vx.dim(1), h = vx.dim(2), w = vx.dim(3);
  bool ok;
  if (node.op() == op::DepthToSpace) {
    ok = c % bb == 0 && vy.dim(0) == n && vy.dim(1) == c / bb && vy.dim(2) == h * b &&
         vy.dim(3) == w * b;
  } else {
    ok = h % b == 0 && w % b == 0 && vy.dim(0) == n && vy.dim(1) == c * bb &&
         vy.dim(2) == h / b && vy.dim(3) == w / b;
  }
  if (!ok)
    return check_fail(msg, cap, "output shape does not match block size %llu",
                      static_cast<unsigned long long>(b));
  if (vx.count() != vy.count()) return check_fail(msg, cap, "input and output element counts differ");
  return true;
}

}  // namespace vorn
