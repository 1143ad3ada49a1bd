#include "gpu/graph_ops.h"

namespace vorn {

namespace {
constexpr GraphOpRow kRows[] = {
#define VORN_GRAPH_OP(code, name, id, attrs, min_in, max_in, outs) {code, name, attrs, min_in, max_in, outs},
#include "gpu/graph_op_table.inc"
#undef VORN_GRAPH_OP
};
constexpr bool rows_in_code_order() {
  for (uint64_t i = 0; i < kGraphOpCount; ++i)
    if (kRows[i].code != i + 1) return false;
  return true;
}
static_assert(rows_in_code_order(), "graph operations are listed by code from 1");
}  // namespace

const GraphOpRow* graph_op_row(uint64_t code) {
  return code >= 1 && code <= kGraphOpCount ? &kRows[code - 1] : nullptr;
}

}  // namespace vorn
