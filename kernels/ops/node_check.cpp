#include "kernels/ops/node_check.h"

#include <cstdarg>
#include <cstdio>

namespace vorn {

bool check_fail(char* message, size_t capacity, const char* format, ...) {
  if (message != nullptr && capacity > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, capacity, format, args);
    va_end(args);
  }
  return false;
}

namespace {

bool check_record(const CpuState& state, uint64_t id, const char* role, uint64_t slot,
                  char* message, size_t capacity) {
  if (id >= state.value_count)
    return check_fail(message, capacity, "%s %llu names no value", role,
                      static_cast<unsigned long long>(slot));
  const ValueRecord& v = state.values[id];
  if (v.rank() > kMaxRank)
    return check_fail(message, capacity, "%s %llu has rank %llu", role,
                      static_cast<unsigned long long>(slot),
                      static_cast<unsigned long long>(v.rank()));
  uint64_t count = 1;
  for (uint64_t i = 0; i < v.rank(); ++i) {
    if (__builtin_mul_overflow(count, v.dim(i), &count))
      return check_fail(message, capacity, "%s %llu has too many elements", role,
                        static_cast<unsigned long long>(slot));
  }
  if (count != v.count())
    return check_fail(message, capacity, "%s %llu: element count %llu does not match its dims",
                      role, static_cast<unsigned long long>(slot),
                      static_cast<unsigned long long>(v.count()));
  if (count > v.bytes() / 4)
    return check_fail(message, capacity, "%s %llu: byte size too small for its elements", role,
                      static_cast<unsigned long long>(slot));
  return true;
}

}  // namespace

bool check_node_values(const CpuState& state, const NodeRecord& node, uint64_t min_in,
                       uint64_t max_in, uint64_t min_out, uint64_t max_out, char* message,
                       size_t capacity) {
  uint64_t ni = node.input_count(), no = node.output_count();
  if (ni < min_in || ni > max_in || ni > kNodeMaxInputs)
    return check_fail(message, capacity, "expects %llu to %llu inputs, has %llu",
                      static_cast<unsigned long long>(min_in),
                      static_cast<unsigned long long>(max_in), static_cast<unsigned long long>(ni));
  if (no < min_out || no > max_out || no > kNodeMaxOutputs)
    return check_fail(message, capacity, "expects %llu to %llu outputs, has %llu",
                      static_cast<unsigned long long>(min_out),
                      static_cast<unsigned long long>(max_out), static_cast<unsigned long long>(no));
  for (uint64_t k = 0; k < ni; ++k)
    if (!check_record(state, node.input(k), "input", k, message, capacity)) return false;
  for (uint64_t k = 0; k < no; ++k)
    if (!check_record(state, node.output(k), "output", k, message, capacity)) return false;
  return true;
}

bool normalise_axis(int64_t axis, uint64_t rank, uint64_t* out) {
  int64_t r = static_cast<int64_t>(rank);
  if (axis < 0) axis += r;
  if (axis < 0 || axis >= r) return false;
  *out = static_cast<uint64_t>(axis);
  return true;
}

void padded_dims(const ValueRecord& v, uint64_t out[kMaxRank]) {
  uint64_t r = v.rank() > kMaxRank ? kMaxRank : v.rank();
  for (uint64_t i = 0; i < kMaxRank; ++i) out[i] = 1;
  for (uint64_t i = 0; i < r; ++i) out[kMaxRank - r + i] = v.dim(i);
}

}  // namespace vorn
