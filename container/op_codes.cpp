#include "container/op_codes.h"

#include <array>
#include <string_view>

namespace vorn {

namespace {

// Name lengths, so op_name returns a slice without measuring the text.
constexpr std::array<std::string_view, kOpCodeCount> kOpNames = {
#define VORN_OP(code, name, family, origin) #name,
#include "container/op_codes.inc"
#undef VORN_OP
};

constexpr bool codes_in_order() {
  uint64_t expected = 1;
#define VORN_OP(code, name, family, origin) \
  if (code != expected++) return false;
#include "container/op_codes.inc"
#undef VORN_OP
  return expected == kOpCodeCount + 1;
}
static_assert(codes_in_order(), "one entry per operator code, in code order");
static_assert(kOpNames[op::YoloNms - 1] == "YoloNms" && kOpNames[op::Cast - 1] == "Cast");

constexpr std::string_view kUnknownOp = "UnknownOp";

}  // namespace

Slice op_name(uint64_t code) {
  std::string_view name = (code >= 1 && code <= kOpCodeCount) ? kOpNames[code - 1] : kUnknownOp;
  return Slice{reinterpret_cast<const uint8_t*>(name.data()), name.size()};
}

const char* op_family_name(OpFamily family) {
  switch (family) {
    case OpFamily::kElementwise: return "Elementwise";
    case OpFamily::kLayout: return "Layout";
    case OpFamily::kReduce: return "Reduce";
    case OpFamily::kDetection: return "Detection";
    case OpFamily::kConv: return "Conv";
    case OpFamily::kPool: return "Pool";
    case OpFamily::kNorm: return "Norm";
    case OpFamily::kResize: return "Resize";
    case OpFamily::kLowered: return "Lowered";
    case OpFamily::kNone: break;
  }
  return "None";
}

}  // namespace vorn
