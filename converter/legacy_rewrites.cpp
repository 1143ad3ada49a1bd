#include "converter/legacy_rewrites.h"

namespace vorn {

LegacyStep legacy_rewrite_before(BuilderState&, const uint8_t*, const uint8_t*, uint64_t, const uint8_t*, uint64_t,
                                 uint64_t*, uint64_t, uint64_t*, uint64_t) {
  return LegacyStep::kContinue;
}

bool legacy_rewrite_node(BuilderState&, BuilderNode&, const uint8_t*, uint64_t) { return true; }

}  // namespace vorn
