// Shared pieces of the operator checks that run once at engine creation.
//
// A check refuses a node whose records would let its kernel read or write
// outside a buffer; once a node passes, its kernel trusts the records. The
// checks never look at activation data (it does not exist yet) and read a
// weight's data only where an operator takes a setting from it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/records.h"
#include "kernels/cpu_state.h"

namespace vorn {

// Writes a printf-style reason into the message buffer and returns false, so
// a check can end with `return check_fail(...)`.
bool check_fail(char* message, size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The node names between min_in and max_in inputs and between min_out and
// max_out outputs, every one an id below the value count whose record is
// self-consistent: rank at most 6, element count equal to the product of its
// dims (no overflow), byte size room for that many f32 values.
bool check_node_values(const CpuState& state, const NodeRecord& node, uint64_t min_in,
                       uint64_t max_in, uint64_t min_out, uint64_t max_out, char* message,
                       size_t capacity);

// Product of dims [from, to) of a record that passed check_node_values.
inline uint64_t dims_product(const ValueRecord& v, uint64_t from, uint64_t to) {
  uint64_t p = 1;
  for (uint64_t i = from; i < to && i < v.rank(); ++i) p *= v.dim(i);
  return p;
}

// A signed axis with the rank added once when negative; false when the result
// is not in [0, rank).
bool normalise_axis(int64_t axis, uint64_t rank, uint64_t* out);

// A record's dims right-aligned into six entries, missing leading axes 1.
void padded_dims(const ValueRecord& v, uint64_t out[kMaxRank]);

}  // namespace vorn
