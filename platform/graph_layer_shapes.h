// Shape helpers of the graph layer's builders (internal to the graph layer).
#pragma once
#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/graph_layer.h"

namespace vorn::mpsg {

[[noreturn]] inline void refuse(Operation op, const std::string& why) {
  throw std::invalid_argument(std::string(operation_name(op)) + ": " + why);
}

// a counted from the end when negative; refused outside the rank.
inline int64_t axis(Operation op, int64_t a, size_t rank) {
  if (a < 0) a += int64_t(rank);
  if (a < 0 || a >= int64_t(rank)) refuse(op, "axis out of range");
  return a;
}

// Trailing-aligned broadcast of two shapes, or false.
inline bool broadcast(const Shape& a, const Shape& b, Shape* out) {
  const size_t rank = std::max(a.size(), b.size());
  out->assign(rank, 1);
  for (size_t i = 0; i < rank; ++i) {
    const int64_t x = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
    const int64_t y = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
    if (x != y && x != 1 && y != 1) return false;
    (*out)[i] = x == 1 ? y : x;
  }
  return true;
}


}  // namespace vorn::mpsg
