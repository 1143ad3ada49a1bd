// Embedding rows: unit length and cosine similarity. Sums are kept in double
// so long rows of large values neither overflow nor lose the small terms.
#include <cmath>

#include "image/postprocess.h"

namespace vorn {

bool l2_normalize_rows(float* values, uint64_t count, uint64_t row) {
  if (values == nullptr || row == 0) return false;
  for (uint64_t start = 0; start + row <= count; start += row) {
    float* v = values + start;
    double s = 0;
    for (uint64_t i = 0; i < row; ++i) s = std::fma(double(v[i]), double(v[i]), s);
    if (!(s > 1e-20) || !std::isfinite(s)) return false;
    double inv = 1.0 / std::sqrt(s);
    for (uint64_t i = 0; i < row; ++i) v[i] = float(double(v[i]) * inv);
  }
  return true;
}

float cosine_similarity(const float* a, const float* b, uint64_t n) {
  double dot = 0, aa = 0, bb = 0;
  for (uint64_t i = 0; i < n; ++i) {
    double x = a[i], y = b[i];
    dot = std::fma(x, y, dot);
    aa = std::fma(x, x, aa);
    bb = std::fma(y, y, bb);
  }
  double p = std::sqrt(aa) * std::sqrt(bb);
  return p > 1e-20 ? float(dot / p) : 0.0f;
}

}  // namespace vorn
