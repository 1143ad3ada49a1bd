// Operator codes of graph node records (word 0) and their names.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// Codes run from 1 to kOpCodeCount; 0 and anything above are not operators.
inline constexpr uint64_t kOpCodeCount = 87;

// One named constant per code: op::Conv is 5, op::YoloNms 85.
namespace op {
#define VORN_OP(code, name) inline constexpr uint64_t name = code;
#include "container/op_codes.inc"
#undef VORN_OP
}  // namespace op

// The operator's name as a constant text; "UnknownOp" for 0 and every code
// above kOpCodeCount.
Slice op_name(uint64_t code);

}  // namespace vorn
