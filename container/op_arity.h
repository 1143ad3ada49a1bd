// The input and output counts a node record of each operator may name
// (container/op_arity.inc), the one contract the engines and the converter
// share: a node outside it is refused when an engine is created and never
// written by the converter.
#pragma once
#include <cstdint>

#include "container/op_codes.h"

namespace vorn {

struct OpArity {
  uint8_t min_inputs, max_inputs, min_outputs, max_outputs;
  // False for the lowered operators and for codes that are not operators.
  constexpr bool engine_runs() const { return max_inputs != 0; }
  constexpr bool accepts(uint64_t inputs, uint64_t outputs) const {
    return inputs >= min_inputs && inputs <= max_inputs && outputs >= min_outputs && outputs <= max_outputs;
  }
};

namespace detail {

struct OpArityTable {
  OpArity rows[kOpCodeCount + 1] = {};
  bool consistent = true;  // every engine operator has one row, no lowered one has any
};

constexpr OpArityTable make_op_arity_table() {
  OpArityTable t{};
#define VORN_OP_ARITY(name, min_in, max_in, min_out, max_out)                              \
  if (t.rows[op::name].engine_runs() || op_family(op::name) == OpFamily::kLowered ||       \
      (min_in) < 1 || (max_in) < (min_in) || (min_out) < 1 || (max_out) < (min_out))       \
    t.consistent = false;                                                                  \
  t.rows[op::name] = OpArity{min_in, max_in, min_out, max_out};
#include "container/op_arity.inc"
#undef VORN_OP_ARITY
  for (uint64_t c = 1; c <= kOpCodeCount; ++c)
    if (t.rows[c].engine_runs() != (op_family(c) != OpFamily::kLowered)) t.consistent = false;
  return t;
}

inline constexpr OpArityTable kOpArityTable = make_op_arity_table();
static_assert(kOpArityTable.consistent, "op_arity.inc must list every engine operator once, with sane counts");

}  // namespace detail

// The counts of this operator; all zero (engine_runs() false) for lowered
// operators and for codes outside the operator list.
constexpr OpArity op_arity(uint64_t code) {
  return code >= 1 && code <= kOpCodeCount ? detail::kOpArityTable.rows[code] : OpArity{};
}

}  // namespace vorn
