// The marked Conv pairs (conv_pairs.h), each kind in a file of its own.
#include "kernels/ops/conv_pairs.h"

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "kernels/ops/conv_expand_depthwise.h"
#include "kernels/ops/conv_max_pool.h"

namespace vorn {

bool conv_pair_runs(const CpuState& s, const NodeRecord& a, const NodePlan& pa, const NodeRecord& b,
                    const NodePlan& pb) {
  if (a.op() != op::Conv) return false;
  switch (a.attr(attr::Conv::kFeedsNext)) {
    case attr::Conv::kNextGrouped: return b.op() == op::Conv && conv_expand_depthwise_runs(s, a, pa, b, pb);
    case attr::Conv::kNextMaxPool: return b.op() == op::MaxPool && conv_max_pool_runs(s, a, pa, b, pb);
    default: return false;
  }
}

bool conv_pair_kernel(CpuState& s, const NodeRecord& a, const NodePlan& pa, const NodeRecord& b, const NodePlan& pb) {
  if (a.op() != op::Conv) return false;
  switch (a.attr(attr::Conv::kFeedsNext)) {
    case attr::Conv::kNextGrouped: return b.op() == op::Conv && conv_expand_depthwise_kernel(s, a, pa, b, pb);
    case attr::Conv::kNextMaxPool: return b.op() == op::MaxPool && conv_max_pool_kernel(s, a, pa, b, pb);
    default: return false;
  }
}

}  // namespace vorn
