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
  uint64_t kk = k < n ? k : n;
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
  // Each pass picks the greatest value ranked after the previous pick in the
  // order (value descending, index ascending), so no picked-flags are needed:
  // an index is still unpicked when its value is below the last pick's, or
  // equal to it at a higher index.
  bool have_prev = false;
  float prev_value = 0;
  uint64_t prev_index = 0;
  bool exhausted = false;
  for (uint64_t r = 0; r < kk; ++r) {
    int64_t best_index = -1;
    float best = kFloor;
    if (!exhausted) {
      for (uint64_t i = 0; i < n; ++i) {
        float v = values[i];
        if (have_prev && !(v < prev_value || (v == prev_value && i > prev_index))) continue;
        if (v > best) {
          best = v;
          best_index = int64_t(i);
        }
      }
    }
    if (best_index < 0) {
      exhausted = true;
      class_ids[r] = UINT32_MAX;
      scores[r] = softmax ? 0.0f : kFloor;
      continue;
    }
    have_prev = true;
    prev_value = best;
    prev_index = uint64_t(best_index);
    class_ids[r] = uint32_t(best_index);
    scores[r] = softmax ? float(softmax_term(best, max_value) / s) : best;
  }
  return uint32_t(kk);
}

}  // namespace vorn
