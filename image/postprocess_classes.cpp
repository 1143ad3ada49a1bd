// Ranked classes of a score row.
#include <cmath>

#include "image/postprocess.h"

namespace vorn {

uint64_t tensor_row_length(const TensorView& t) {
  if (t.rank > 1 && t.dims != nullptr && t.dims[0] > 1 && t.count % t.dims[0] == 0)
    return t.count / t.dims[0];
  return t.count;
}

namespace {

constexpr float kFloor = -1e30f;

// exp(v - m) for the softmax, with the limits of an infinite maximum made
// explicit: exp(inf - inf) would be NaN, where the infinite entries share
// all of the mass.
inline double softmax_term(float v, float m) {
  if (std::isinf(m) && m > 0) return v == m ? 1.0 : 0.0;
  return std::exp(double(v) - double(m));
}

}  // namespace

uint32_t top_k_classes(const float* values, uint64_t n, uint32_t k, bool softmax,
                       uint32_t* class_ids, float* scores) {
  const uint64_t kk = k < n ? k : n;
  if (kk == 0) return 0;
  double s = 1;
  float max_value = -INFINITY;
  if (softmax) {
    for (uint64_t i = 0; i < n; ++i)
      if (values[i] > max_value) max_value = values[i];
    double sum = 0;
    for (uint64_t i = 0; i < n; ++i)
      if (!std::isnan(values[i])) sum += softmax_term(values[i], max_value);
    s = sum > 0 ? sum : 1.0;
  }
  // One pass keeps the kk best seen so far in rank order (value descending,
  // index ascending). Scanning upward, a value enters only when it beats the
  // last kept one strictly, and lands after the kept values it equals, so the
  // result is the same as kk passes picking the greatest remaining value.
  uint32_t kept = 0;
  for (uint64_t i = 0; i < n; ++i) {
    const float v = values[i];
    if (!(v > kFloor)) continue;  // NaN and the floor are never ranked
    if (kept == kk && !(v > scores[kept - 1])) continue;
    uint32_t at = kept < kk ? kept : kept - 1;
    while (at > 0 && v > scores[at - 1]) {
      scores[at] = scores[at - 1];
      class_ids[at] = class_ids[at - 1];
      --at;
    }
    scores[at] = v;
    class_ids[at] = uint32_t(i);
    if (kept < kk) ++kept;
  }
  for (uint32_t r = 0; r < kept; ++r)
    if (softmax) scores[r] = float(softmax_term(scores[r], max_value) / s);
  for (uint64_t r = kept; r < kk; ++r) {
    class_ids[r] = UINT32_MAX;
    scores[r] = softmax ? 0.0f : kFloor;
  }
  return uint32_t(kk);
}

}  // namespace vorn
