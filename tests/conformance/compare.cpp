#include "conformance/compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vorn::conformance {
namespace {

std::string shape_text(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

Comparison fail(std::string message) {
  Comparison c;
  c.ok = false;
  c.message = std::move(message);
  return c;
}

size_t value_count(const TensorData& t) {
  return t.dtype == DType::kF32 ? t.f32.size() : t.i64.size();
}

double value_at(const TensorData& t, size_t i) {
  return t.dtype == DType::kF32 ? static_cast<double>(t.f32[i]) : static_cast<double>(t.i64[i]);
}

}  // namespace

Comparison compare_tensor(const TensorData& got, const TensorData& ref, const Tolerance& tol) {
  if (got.shape != ref.shape) {
    return fail("'" + ref.name + "': shape " + shape_text(got.shape) + ", reference " +
                shape_text(ref.shape));
  }
  const size_t n = value_count(ref);
  if (value_count(got) != n || element_count(ref.shape) != static_cast<int64_t>(n)) {
    return fail("'" + ref.name + "': " + std::to_string(value_count(got)) + " values, reference " +
                std::to_string(n));
  }
  Comparison c;
  if (ref.dtype == DType::kI64) {
    for (size_t i = 0; i < n; ++i) {
      bool same = got.dtype == DType::kI64
                      ? got.i64[i] == ref.i64[i]
                      : static_cast<double>(got.f32[i]) == static_cast<double>(ref.i64[i]);
      if (!same) {
        c.ok = false;
        c.worst_index = static_cast<int64_t>(i);
        c.max_abs_diff = std::fabs(value_at(got, i) - value_at(ref, i));
        c.message = "'" + ref.name + "': integer value " + std::to_string(i) + " is " +
                    std::to_string(value_at(got, i)) + ", reference " +
                    std::to_string(ref.i64[i]);
        return c;
      }
    }
    return c;
  }
  double max_ref = 0;
  for (float v : ref.f32) max_ref = std::fmax(max_ref, std::fabs(static_cast<double>(v)));
  c.bound = tol.relative * max_ref + tol.absolute;
  for (size_t i = 0; i < n; ++i) {
    const double g = value_at(got, i);
    const double r = ref.f32[i];
    // Non-finite values match only themselves (ONNX Runtime's infinities).
    if (!std::isfinite(g) || !std::isfinite(r)) {
      if (g == r) continue;
      c.ok = false;
      c.worst_index = static_cast<int64_t>(i);
      c.max_abs_diff = INFINITY;
      break;
    }
    const double d = std::fabs(g - r);
    if (d > c.max_abs_diff) {
      c.max_abs_diff = d;
      c.worst_index = static_cast<int64_t>(i);
    }
  }
  if (c.max_abs_diff > c.bound) {
    c.ok = false;
    char text[256];
    std::snprintf(text, sizeof text, "'%s': max |diff| %.3g at %lld (got %.9g, reference %.9g), "
                  "allowed %.3g", ref.name.c_str(), c.max_abs_diff,
                  static_cast<long long>(c.worst_index), value_at(got, c.worst_index),
                  value_at(ref, c.worst_index), c.bound);
    c.message = text;
  }
  return c;
}

Comparison compare_top1(const TensorData& got, const TensorData& ref) {
  if (got.shape != ref.shape || ref.shape.empty() || ref.dtype != DType::kF32 ||
      value_count(got) != value_count(ref)) {
    return fail("'" + ref.name + "': no comparable class scores");
  }
  const int64_t classes = ref.shape.back();
  if (classes <= 0) return Comparison{};
  const size_t rows = value_count(ref) / static_cast<size_t>(classes);
  for (size_t row = 0; row < rows; ++row) {
    size_t best_got = 0;
    size_t best_ref = 0;
    const size_t base = row * static_cast<size_t>(classes);
    for (size_t k = 1; k < static_cast<size_t>(classes); ++k) {
      if (value_at(got, base + k) > value_at(got, base + best_got)) best_got = k;
      if (ref.f32[base + k] > ref.f32[base + best_ref]) best_ref = k;
    }
    if (best_got != best_ref) {
      return fail("'" + ref.name + "': row " + std::to_string(row) + " top-1 class " +
                  std::to_string(best_got) + ", reference " + std::to_string(best_ref));
    }
  }
  return Comparison{};
}

Comparison compare_mask(const TensorData& got, const TensorData& ref, double threshold, double max_flipped,
                        double mean_relative) {
  const size_t n = value_count(ref);
  if (got.shape != ref.shape || ref.dtype != DType::kF32 || value_count(got) != n || n == 0) {
    return fail("'" + ref.name + "': no comparable map");
  }
  size_t flipped = 0;
  double sum = 0, peak = 0;
  for (size_t i = 0; i < n; ++i) {
    const double g = value_at(got, i), r = ref.f32[i];
    flipped += (g > threshold) != (r > threshold);
    sum += std::fabs(g - r);
    peak = std::max(peak, std::fabs(r));
  }
  const double share = double(flipped) / double(n), mean = sum / double(n);
  if (share > max_flipped || mean > mean_relative * peak) {
    return fail("'" + ref.name + "': " + std::to_string(flipped) + " of " + std::to_string(n) +
                " positions cross " + std::to_string(threshold) + ", mean |diff| " + std::to_string(mean) +
                " against max|ref| " + std::to_string(peak));
  }
  return Comparison{};
}

}  // namespace vorn::conformance
