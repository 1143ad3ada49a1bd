// Index inputs arrive as f32. These turn one into a position on an axis the
// way every indexing operator here does: truncated toward zero, the axis dim
// added once when negative (-1 is the last position), then clamped into the
// axis. NaN reads as 0; values far outside the axis clamp to its ends.
#pragma once
#include <cmath>
#include <cstdint>

namespace vorn {

// dim must be at least 1.
inline uint64_t index_from_f32(float v, uint64_t dim) {
  double t = std::trunc(static_cast<double>(v));
  if (std::isnan(t)) t = 0.0;
  if (t < 0.0) t += static_cast<double>(dim);
  if (t < 0.0) return 0;
  if (t >= static_cast<double>(dim)) return dim - 1;
  return static_cast<uint64_t>(t);
}

}  // namespace vorn
