// The dispatch table of the CPU engine, made from the kernel list of each
// family (kernels/ops/<family>_ops.inc) and checked against the operator
// list: every operator has a kernel exactly when its family is not Lowered,
// and each is listed with its own family.
#include "container/op_codes.h"
#include "kernels/kernel.h"

namespace vorn {

#define VORN_CPU_OP(name, kernel, prepare)                                     \
  bool kernel(CpuState& state, const NodeRecord& node, const NodePlan& plan); \
  bool prepare(const CpuState& state, const NodeRecord& node, NodePlan& plan, char* message, size_t capacity);
#include "kernels/ops/conv_ops.inc"
#include "kernels/ops/detection_ops.inc"
#include "kernels/ops/elementwise_ops.inc"
#include "kernels/ops/layout_ops.inc"
#include "kernels/ops/norm_ops.inc"
#include "kernels/ops/pool_ops.inc"
#include "kernels/ops/reduce_ops.inc"
#include "kernels/ops/resize_ops.inc"
#undef VORN_CPU_OP

namespace {

struct OpTable {
  CpuOpEntry entries[kOpCodeCount + 1];
  // Which codes the lists name. Kept apart from the kernel pointers because
  // a function's address compared with null is no constant expression when
  // null checks are kept (gcc's -fsanitize=undefined).
  bool listed[kOpCodeCount + 1];
  // The first operator listed twice, under the wrong family, or missing
  // from its family's list; 0 when the table agrees with the operator list.
  uint64_t fault = 0;

  constexpr void add(uint64_t code, OpFamily family, CpuKernel kernel, CpuPrepare prepare) {
    if (op_family(code) != family || listed[code]) fault = fault ? fault : code;
    entries[code] = CpuOpEntry{code, kernel, prepare};
    listed[code] = true;
  }
};

constexpr OpTable build_table() {
  OpTable t{};
  for (uint64_t c = 0; c <= kOpCodeCount; ++c) t.entries[c] = CpuOpEntry{c, nullptr, nullptr};
#define VORN_CPU_OP(name, kernel, prepare) t.add(op::name, family_of_list, &kernel, &prepare);
  {
    constexpr OpFamily family_of_list = OpFamily::kConv;
#include "kernels/ops/conv_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kDetection;
#include "kernels/ops/detection_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kElementwise;
#include "kernels/ops/elementwise_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kLayout;
#include "kernels/ops/layout_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kNorm;
#include "kernels/ops/norm_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kPool;
#include "kernels/ops/pool_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kReduce;
#include "kernels/ops/reduce_ops.inc"
  }
  {
    constexpr OpFamily family_of_list = OpFamily::kResize;
#include "kernels/ops/resize_ops.inc"
  }
#undef VORN_CPU_OP
  for (uint64_t c = 1; c <= kOpCodeCount && t.fault == 0; ++c)
    if (t.listed[c] != (op_family(c) != OpFamily::kLowered)) t.fault = c;
  return t;
}

constexpr OpTable kTable = build_table();
static_assert(kTable.fault == 0, "the kernel lists must name every engine operator once, in its own family");

}  // namespace

const CpuOpEntry* cpu_op_entry(uint64_t code) {
  if (code > kOpCodeCount || kTable.entries[code].kernel == nullptr) return nullptr;
  return &kTable.entries[code];
}

}  // namespace vorn
