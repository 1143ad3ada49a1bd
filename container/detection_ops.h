// The fixed sizes of the system's own detection operators, which the
// converter's rewrites build graphs around and the engines' kernels read.
#pragma once
#include <cstdint>

namespace vorn {

// DetrTopK keeps the best kDetrKeep queries of a set-prediction head.
inline constexpr uint64_t kDetrKeep = 300;
// MaskToBoxLogit reads kMaskCount masks of kMaskSide x kMaskSide values.
inline constexpr uint64_t kMaskCount = 300;
inline constexpr uint64_t kMaskSide = 200;

}  // namespace vorn
