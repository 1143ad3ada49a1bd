// Operator codes of graph node records (word 0), their names and families,
// all derived from the one operator list in container/op_codes.inc.
#pragma once
#include <cstdint>

#include "base/bytes.h"

namespace vorn {

// Codes run from 1 to kOpCodeCount (one per entry of the list); 0 and
// anything above are not operators.
inline constexpr uint64_t kOpCodeCount = 0
#define VORN_OP(code, name, family, origin) +1
#include "container/op_codes.inc"
#undef VORN_OP
    ;

// Not an operator: engine creation marks the nodes fusion removed with it.
inline constexpr uint64_t kOpNone = 0;

// One named constant per code: op::Conv is 5, op::YoloNms 85.
namespace op {
#define VORN_OP(code, name, family, origin) inline constexpr uint64_t name = code;
#include "container/op_codes.inc"
#undef VORN_OP
}  // namespace op

// The kernel families of the operator list; the CPU engine keeps one kernel
// table per family. kLowered operators have no engine kernel.
enum class OpFamily : uint8_t {
  kNone,  // not an operator code
  kElementwise,
  kLayout,
  kReduce,
  kDetection,
  kConv,
  kPool,
  kNorm,
  kResize,
  kLowered,
};

enum class OpOrigin : uint8_t {
  kNone,  // not an operator code
  kOnnx,  // named after the ONNX operator it stands for
  kOwn,   // the system's own; only converter rewrites produce it
};

struct OpInfo {
  uint64_t code;
  const char* name;
  OpFamily family;
  OpOrigin origin;
};

// The whole list in code order: kOpList[i] describes code i + 1.
inline constexpr OpInfo kOpList[kOpCodeCount] = {
#define VORN_OP(code, name, family, origin) {code, #name, OpFamily::k##family, OpOrigin::k##origin},
#include "container/op_codes.inc"
#undef VORN_OP
};

// The operator's name as a constant text; "UnknownOp" for 0 and every code
// above kOpCodeCount.
Slice op_name(uint64_t code);

// The operator's family and origin; kNone for codes that are not operators.
constexpr OpFamily op_family(uint64_t code) {
  return code >= 1 && code <= kOpCodeCount ? kOpList[code - 1].family : OpFamily::kNone;
}
constexpr OpOrigin op_origin(uint64_t code) {
  return code >= 1 && code <= kOpCodeCount ? kOpList[code - 1].origin : OpOrigin::kNone;
}

// The family's name ("Elementwise", ...); "None" for kNone.
const char* op_family_name(OpFamily family);

}  // namespace vorn
