#include "container/op_codes.h"
#include "cpu/kernel.h"

namespace vorn {

#define VORN_CPU_OP(code, name, kernel, check)          \
  bool kernel(CpuState& state, const NodeRecord& node); \
  bool check(const CpuState& state, const NodeRecord& node, char* message, size_t capacity);
#include "cpu/kernels/elementwise_ops.inc"
#include "cpu/kernels/layout_ops.inc"
#include "cpu/kernels/reduce_ops.inc"
#include "cpu/kernels/detection_ops.inc"
#include "cpu/kernels/conv_ops.inc"
#include "cpu/kernels/pool_ops.inc"
#include "cpu/kernels/norm_ops.inc"
#include "cpu/kernels/resize_ops.inc"
#undef VORN_CPU_OP

namespace {

constexpr uint64_t kOpCodeLimit = 88;
// Every operator code has a slot; a new code needs a larger table.
static_assert(kOpCodeLimit == kOpCodeCount + 1);

struct OpTable {
  CpuOpEntry entries[kOpCodeLimit];
};

constexpr OpTable build_table() {
  OpTable t{};
  for (uint64_t c = 0; c < kOpCodeLimit; ++c) t.entries[c] = CpuOpEntry{c, nullptr, nullptr};
#define VORN_CPU_OP(code, name, kernel, check) t.entries[code] = CpuOpEntry{code, &kernel, &check};
#include "cpu/kernels/elementwise_ops.inc"
#include "cpu/kernels/layout_ops.inc"
#include "cpu/kernels/reduce_ops.inc"
#include "cpu/kernels/detection_ops.inc"
#include "cpu/kernels/conv_ops.inc"
#include "cpu/kernels/pool_ops.inc"
#include "cpu/kernels/norm_ops.inc"
#include "cpu/kernels/resize_ops.inc"
#undef VORN_CPU_OP
  return t;
}

constexpr OpTable kTable = build_table();

}  // namespace

const CpuOpEntry* cpu_op_entry(uint64_t code) {
  if (code >= kOpCodeLimit || kTable.entries[code].kernel == nullptr) return nullptr;
  return &kTable.entries[code];
}

}  // namespace vorn
