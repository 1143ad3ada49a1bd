// Gather, GatherND and ScatterND: index-driven row moves.
#include <cstring>

#include "container/attr_words.h"
#include "kernels/kernel.h"
#include "kernels/ops/index_util.h"
#include "kernels/ops/node_check.h"
#include "kernels/ops/parallel_chunks.h"

namespace vorn {

namespace {

bool mul_ok(uint64_t a, uint64_t b, uint64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// GatherND and the tuple form of ScatterND address X's first K axes with
// tuples of K index values, the indices' last axis.
uint64_t tuple_width(const ValueRecord& indices) {
  if (indices.rank() == 0) return 1;
  uint64_t last = indices.dim(indices.rank() - 1);
  return last <= 1 ? 1 : last;
}

// Row-major element offset of the slice a tuple addresses.
uint64_t tuple_offset(const ValueRecord& vx, const float* tuple, uint64_t k, uint64_t slice) {
  uint64_t off = 0;
  uint64_t stride = slice;
  for (uint64_t a = k; a-- > 0;) {
    off += index_from_f32(tuple[a], vx.dim(a)) * stride;
    stride *= vx.dim(a);
  }
  return off;
}

// Common part of the GatherND and ScatterND tuple checks: K within X's rank,
// every addressed axis non-empty when there is anything to address.
bool check_tuples(const ValueRecord& vx, const ValueRecord& vi, char* msg, size_t cap) {
  uint64_t k = tuple_width(vi);
  if (k > vx.rank())
    return check_fail(msg, cap, "index tuples of %llu values address a rank-%llu input",
                      static_cast<unsigned long long>(k), static_cast<unsigned long long>(vx.rank()));
  if (vi.count() > 0)
    for (uint64_t a = 0; a < k; ++a)
      if (vx.dim(a) == 0) return check_fail(msg, cap, "indices address an empty axis");
  return true;
}

}  // namespace

// Gather along the axis in word 11: Y[o][t][p] = X[o][index t][p]. A negative
// index counts from the end (-1 is the last row); out-of-range indices clamp.
bool cpu_gather_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis = 0;
  normalise_axis(node.attr_i64(attr::Gather::kAxis), vx.rank(), &axis);
  const uint64_t outer = dims_product(vx, 0, axis);
  const uint64_t d = vx.dim(axis);
  const uint64_t inner = dims_product(vx, axis + 1, vx.rank());
  const uint64_t n = node_in_value(s, node, 1).count();
  const float* x = node_in(s, node, 0);
  const float* idx = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  if (inner == 0 || d == 0) return true;
  for_chunks(outer * n, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t row = begin; row < end; ++row) {
      uint64_t o = row / n, t = row % n;
      uint64_t i = index_from_f32(idx[t], d);
      std::memcpy(y + row * inner, x + (o * d + i) * inner, inner * sizeof(float));
    }
  }, inner);
  return true;
}

bool cpu_gather_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 2, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  uint64_t axis;
  if (!normalise_axis(node.attr_i64(attr::Gather::kAxis), vx.rank(), &axis))
    return check_fail(msg, cap, "axis %lld outside rank %llu", static_cast<long long>(node.attr_i64(attr::Gather::kAxis)),
                      static_cast<unsigned long long>(vx.rank()));
  const uint64_t n = node_in_value(s, node, 1).count();
  uint64_t want;
  if (!mul_ok(dims_product(vx, 0, axis), n, &want) ||
      !mul_ok(want, dims_product(vx, axis + 1, vx.rank()), &want))
    return check_fail(msg, cap, "output size overflows");
  if (node_out_value(s, node, 0).count() != want)
    return check_fail(msg, cap, "output holds %llu elements, the gather makes %llu",
                      static_cast<unsigned long long>(node_out_value(s, node, 0).count()),
                      static_cast<unsigned long long>(want));
  if (want > 0 && vx.dim(axis) == 0) return check_fail(msg, cap, "gathers from an empty axis");
  return true;
}

bool cpu_gather_nd_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vi = node_in_value(s, node, 1);
  const uint64_t k = tuple_width(vi);
  const uint64_t slice = dims_product(vx, k, vx.rank());
  const uint64_t tuples = vi.count() / k;
  const float* x = node_in(s, node, 0);
  const float* idx = node_in(s, node, 1);
  float* y = node_out(s, node, 0);
  if (slice == 0) return true;
  for_chunks(tuples, kParallelElements, [&](uint64_t begin, uint64_t end) {
    for (uint64_t t = begin; t < end; ++t)
      std::memcpy(y + t * slice, x + tuple_offset(vx, idx + t * k, k, slice), slice * sizeof(float));
  }, slice);
  return true;
}

bool cpu_gather_nd_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 2, 2, 1, 1, msg, cap)) return false;
  if (node.attr(attr::GatherND::kBatchDims) != 0) return check_fail(msg, cap, "batch_dims other than 0 are not supported");
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vi = node_in_value(s, node, 1);
  if (!check_tuples(vx, vi, msg, cap)) return false;
  const uint64_t k = tuple_width(vi);
  uint64_t want;
  if (!mul_ok(vi.count() / k, dims_product(vx, k, vx.rank()), &want))
    return check_fail(msg, cap, "output size overflows");
  if (node_out_value(s, node, 0).count() != want)
    return check_fail(msg, cap, "output holds %llu elements, the gather makes %llu",
                      static_cast<unsigned long long>(node_out_value(s, node, 0).count()),
                      static_cast<unsigned long long>(want));
  return true;
}

namespace {

// Indices and updates of X's rank: ScatterElements along the axis.
bool scatter_element_form(const ValueRecord& vx, const ValueRecord& vi, const ValueRecord& vu) {
  return vi.rank() == vx.rank() && vu.rank() == vx.rank() && vx.rank() > 0;
}

}  // namespace

bool cpu_scatter_nd_kernel(CpuState& s, const NodeRecord& node, const NodePlan&) {
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vi = node_in_value(s, node, 1);
  const ValueRecord& vu = node_in_value(s, node, 2);
  const float* x = node_in(s, node, 0);
  const float* idx = node_in(s, node, 1);
  const float* upd = node_in(s, node, 2);
  float* y = node_out(s, node, 0);
  if (x != y) std::memmove(y, x, vx.count() * sizeof(float));
  // Updates apply in order so that a repeated index keeps the last one; the
  // loop stays on one thread for that reason.
  if (scatter_element_form(vx, vi, vu)) {
    const uint64_t rank = vx.rank();
    uint64_t axis = 0;
    normalise_axis(node.attr_i64(attr::ScatterND::kAxis), rank, &axis);
    uint64_t ystride[kMaxRank];
    uint64_t st = 1;
    for (uint64_t a = rank; a-- > 0;) {
      ystride[a] = st;
      st *= vx.dim(a);
    }
    uint64_t m[kMaxRank] = {0, 0, 0, 0, 0, 0};
    for (uint64_t e = 0; e < vu.count(); ++e) {
      uint64_t off = 0;
      for (uint64_t a = 0; a < rank; ++a) {
        uint64_t c = a == axis ? index_from_f32(idx[e], vx.dim(a)) : m[a];
        off += c * ystride[a];
      }
      y[off] = upd[e];
      for (uint64_t a = rank; a-- > 0;) {
        if (++m[a] < vu.dim(a)) break;
        m[a] = 0;
      }
    }
    return true;
  }
  const uint64_t k = tuple_width(vi);
  const uint64_t slice = dims_product(vx, k, vx.rank());
  const uint64_t tuples = vi.count() / k;
  for (uint64_t t = 0; t < tuples; ++t)
    std::memcpy(y + tuple_offset(vx, idx + t * k, k, slice), upd + t * slice, slice * sizeof(float));
  return true;
}

bool cpu_scatter_nd_prepare(const CpuState& s, const NodeRecord& node, NodePlan&, char* msg, size_t cap) {
  if (!check_node_values(s, node, 3, 3, 1, 1, msg, cap)) return false;
  const ValueRecord& vx = node_in_value(s, node, 0);
  const ValueRecord& vi = node_in_value(s, node, 1);
  const ValueRecord& vu = node_in_value(s, node, 2);
  if (node_out_value(s, node, 0).count() != vx.count())
    return check_fail(msg, cap, "output and data element counts differ");
  if (scatter_element_form(vx, vi, vu)) {
    uint64_t axis;
    if (!normalise_axis(node.attr_i64(attr::ScatterND::kAxis), vx.rank(), &axis))
      return check_fail(msg, cap, "axis %lld outside rank %llu",
                        static_cast<long long>(node.attr_i64(attr::ScatterND::kAxis)),
                        static_cast<unsigned long long>(vx.rank()));
    for (uint64_t a = 0; a < vx.rank(); ++a) {
      if (vi.dim(a) != vu.dim(a)) return check_fail(msg, cap, "indices and updates differ in shape");
      if (a != axis && vu.dim(a) > vx.dim(a))
        return check_fail(msg, cap, "updates reach past the data on axis %llu",
                          static_cast<unsigned long long>(a));
    }
    if (vu.count() > 0 && vx.dim(axis) == 0) return check_fail(msg, cap, "scatters into an empty axis");
    return true;
  }
  if (!check_tuples(vx, vi, msg, cap)) return false;
  const uint64_t k = tuple_width(vi);
  uint64_t want;
  if (!mul_ok(vi.count() / k, dims_product(vx, k, vx.rank()), &want) || vu.count() != want)
    return check_fail(msg, cap, "updates hold %llu elements, the indices address %llu",
                      static_cast<unsigned long long>(vu.count()), static_cast<unsigned long long>(want));
  return true;
}

}  // namespace vorn
