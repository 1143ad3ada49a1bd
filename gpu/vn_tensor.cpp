#include "gpu/vn_tensor.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "base/utf8.h"
#include "base/vn_error.h"
#include "container/records.h"

namespace vorn {

namespace {
constexpr uint64_t kMaxDimension = uint64_t(1) << 30;
constexpr uint64_t kMaxRankShape = 6;
}  // namespace

uint64_t element_size(uint64_t dtype) {
  switch (dtype) {
    case kElemF16:
      return 2;
    case kElemF32:
      return 4;
    case kElemI64:
      return 8;
    default:
      return 0;
  }
}

uint64_t shape_element_count(const std::vector<uint64_t>& shape) {
  graph_require(shape.size() <= kMaxRankShape, "Tensor rank exceeds six");
  uint64_t n = 1;
  for (uint64_t d : shape) {
    graph_require(d <= kMaxDimension, "Invalid dimension");
    n *= d;  // both at most 2^30: no wrap
    graph_require(n <= kMaxDimension, "Tensor too large");
  }
  return n;
}

uint64_t activation_element_count(const std::vector<uint64_t>& shape, uint64_t dtype) {
  graph_require(dtype >= kElemF16 && dtype <= kElemI64, "Tensor dtype");
  return shape_element_count(shape);
}

uint64_t shape_last_dim(const std::vector<uint64_t>& shape) {
  graph_require(!shape.empty(), "Scalar not supported here");
  return shape.back();
}

uint64_t shape_dim_at(const std::vector<uint64_t>& shape, uint64_t i) {
  graph_require(i < shape.size(), "Rank mismatch");
  return shape[i];
}

std::string metadata_string_at(const uint8_t* blob, uint64_t length, uint64_t at, uint64_t area_start,
                               uint64_t area_end) {
  graph_require(area_end <= length && at >= area_start && at < area_end, "String bounds");
  const auto* p = static_cast<const uint8_t*>(std::memchr(blob + at, 0, area_end - at));
  graph_require(p != nullptr, "Unterminated string");
  const uint64_t n = uint64_t(p - (blob + at));
  graph_require(utf8_valid(slice_of(blob + at, n)), "Invalid UTF-8");
  return std::string(reinterpret_cast<const char*>(blob + at), n);
}

double check_finite_attribute(uint64_t bits) {
  const double v = std::bit_cast<double>(bits);
  graph_require(std::isfinite(v), "Invalid real attribute");
  return v;
}

void graph_require(bool condition, const char* reason) {
  if (!condition) throw_inference(reason);
}

}  // namespace vorn
