#include "container/op_codes.h"

#include <array>
#include <string_view>

namespace vorn {

namespace {

// Index i holds the name of code i + 1.
constexpr std::array<std::string_view, kOpCodeCount> kOpNames = {
#define VORN_OP(code, name) #name,
#include "container/op_codes.inc"
#undef VORN_OP
};

constexpr bool codes_in_order() {
  uint64_t expected = 1;
#define VORN_OP(code, name) \
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

}  // namespace vorn
