// Reference loops for the reductions and selection operators over one axis,
// written from their definitions (a tensor seen as [outer, D, inner]).
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "container/op_codes.h"
#include "reference/elementwise_reference.h"

namespace vorn::ref {

struct Frame {
  uint64_t outer = 1, d = 1, inner = 1;
};

inline Frame frame_of(const Dims& dims, uint64_t axis) {
  Frame f;
  for (uint64_t a = 0; a < axis; ++a) f.outer *= dims[a];
  f.d = dims.empty() ? 1 : dims[axis];
  for (uint64_t a = axis + 1; a < dims.size(); ++a) f.inner *= dims[a];
  return f;
}

inline float at(const std::vector<float>& x, const Frame& f, uint64_t o, uint64_t d, uint64_t p) {
  return x[(o * f.d + d) * f.inner + p];
}

// code: ArgMax or one of the reductions.
inline std::vector<float> reduce(const std::vector<float>& x, const Dims& dims, uint64_t axis, uint64_t code) {
  const Frame f = frame_of(dims, axis);
  std::vector<float> y(f.outer * f.inner);
  for (uint64_t o = 0; o < f.outer; ++o) {
    for (uint64_t p = 0; p < f.inner; ++p) {
      float r = 0;
      switch (code) {
        case op::ReduceSum:
        case op::ReduceMean: {
          float s = 0.0f;
          for (uint64_t d = 0; d < f.d; ++d) s += at(x, f, o, d, p);
          r = code == op::ReduceSum ? s : s / static_cast<float>(f.d);
          break;
        }
        case op::ReduceProd: {
          float s = 1.0f;
          for (uint64_t d = 0; d < f.d; ++d) s *= at(x, f, o, d, p);
          r = s;
          break;
        }
        case op::ReduceMax:
        case op::ReduceMin: {
          if (f.d == 0) {
            r = code == op::ReduceMax ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
            break;
          }
          r = at(x, f, o, 0, p);
          for (uint64_t d = 1; d < f.d; ++d) {
            const float v = at(x, f, o, d, p);
            if (code == op::ReduceMax ? v > r : v < r) r = v;
          }
          break;
        }
        case op::ArgMax: {
          uint64_t best = 0;
          for (uint64_t d = 1; d < f.d; ++d)
            if (at(x, f, o, d, p) > at(x, f, o, best, p)) best = d;
          r = static_cast<float>(best);
          break;
        }
      }
      y[o * f.inner + p] = r;
    }
  }
  return y;
}

inline std::vector<float> softmax(const std::vector<float>& x, const Dims& dims, uint64_t axis) {
  const Frame f = frame_of(dims, axis);
  std::vector<float> y(x.size());
  for (uint64_t o = 0; o < f.outer; ++o) {
    for (uint64_t p = 0; p < f.inner; ++p) {
      float m = -3.4028235e38f;
      for (uint64_t d = 0; d < f.d; ++d)
        if (at(x, f, o, d, p) > m) m = at(x, f, o, d, p);
      float s = 0.0f;
      for (uint64_t d = 0; d < f.d; ++d) {
        const float e = std::exp(at(x, f, o, d, p) - m);
        y[(o * f.d + d) * f.inner + p] = e;
        s += e;
      }
      for (uint64_t d = 0; d < f.d; ++d) y[(o * f.d + d) * f.inner + p] /= s;
    }
  }
  return y;
}

inline std::vector<float> cumsum(const std::vector<float>& x, const Dims& dims, uint64_t axis, bool exclusive,
                                 bool reverse) {
  const Frame f = frame_of(dims, axis);
  std::vector<float> y(x.size());
  for (uint64_t o = 0; o < f.outer; ++o) {
    for (uint64_t p = 0; p < f.inner; ++p) {
      float s = 0.0f;
      for (uint64_t k = 0; k < f.d; ++k) {
        const uint64_t d = reverse ? f.d - 1 - k : k;
        const float v = at(x, f, o, d, p);
        if (exclusive) {
          y[(o * f.d + d) * f.inner + p] = s;
          s += v;
        } else {
          s += v;
          y[(o * f.d + d) * f.inner + p] = s;
        }
      }
    }
  }
  return y;
}

// TopK by sorting each line: numbers first (descending for the largest,
// ascending for the smallest), ties by index, NaNs last by index. Places past
// the line's end get the +-1e30 bound and index 0.
inline void topk(const std::vector<float>& x, const Dims& dims, uint64_t axis, uint64_t k, bool largest,
                 std::vector<float>* values, std::vector<float>* indices) {
  const Frame f = frame_of(dims, axis);
  values->assign(f.outer * k * f.inner, 0.0f);
  indices->assign(values->size(), 0.0f);
  for (uint64_t o = 0; o < f.outer; ++o) {
    for (uint64_t p = 0; p < f.inner; ++p) {
      std::vector<uint64_t> order(f.d);
      std::iota(order.begin(), order.end(), 0);
      std::stable_sort(order.begin(), order.end(), [&](uint64_t i, uint64_t j) {
        const float a = at(x, f, o, i, p), b = at(x, f, o, j, p);
        if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) && std::isnan(b);
        return largest ? a > b : a < b;
      });
      for (uint64_t r = 0; r < k; ++r) {
        const uint64_t to = (o * k + r) * f.inner + p;
        if (r < f.d) {
          (*values)[to] = at(x, f, o, order[r], p);
          (*indices)[to] = static_cast<float>(order[r]);
        } else {
          (*values)[to] = largest ? -1e30f : 1e30f;
        }
      }
    }
  }
}

}  // namespace vorn::ref
