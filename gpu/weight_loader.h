// The parallel weight loader: copies an open container's data region into a
// weight slot with 1..16 threads reading the file by position, widening F16
// and Q8 tensors to f32 when the container has a widening plan.
#pragma once
#include <cstdint>

#include "container/container.h"
#include "gpu/weight_slot.h"

namespace vorn {

struct LoadResult {
  uint32_t tag;   // 0 success, 1 failure
  uint32_t code;  // ContainerStatus on failure
};

constexpr uint64_t kMaxLoadThreads = 16;

// Fills slot from the container with threads workers (the caller is one of
// them). no_cache asks the kernel not to keep the weights in the page
// cache. On success the slot stays busy until weight_slot_unlock.
LoadResult weights_load_parallel(const ContainerHandle* handle, WeightSlot* slot, uint64_t threads,
                                 uint32_t no_cache);

// Advises the kernel about caching of the descriptor's pages; false when the
// descriptor is unusable.
bool fd_set_nocache(int fd, uint32_t flag);

}  // namespace vorn
