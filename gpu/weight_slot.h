// The memory that receives a model's weights: 16 KiB-aligned host memory or
// a device-shared buffer, with a busy word the loader takes.
#pragma once
#include <cstdint>

#include "gpu/gpu_context.h"

namespace vorn {

// Flag of weight_buffer_alloc: device-shared memory instead of host memory.
constexpr uint32_t kWeightsGpuShared = 1;

struct WeightBuffer {
  uint32_t tag;         // 0 success, 1 failure
  uint64_t data;        // success: host pointer of the memory; failure: ContainerStatus
  GpuContext* context;  // owner of the memory, null for host memory
  uint64_t length;      // the requested length
  uint32_t busy;
};

struct WeightSlot {
  uint8_t* data = nullptr;
  GpuContext* context = nullptr;
  uint64_t length = 0;
  uint32_t busy = 0;
};

// length must be a non-zero multiple of 16384, else code 8 ("slot too
// small"). Host memory failing gives 6; device memory gives 6 when its
// buffer could not be made and 9 otherwise.
WeightBuffer weight_buffer_alloc(uint64_t length, uint32_t flags);
// The session's slot from a successful buffer (busy 0).
WeightSlot weight_slot_from_buffer(const WeightBuffer& buffer);
void weight_buffer_drop_gpu(WeightSlot* slot);
void weight_slot_unlock(WeightSlot* slot);
// Frees the memory (the context with its buffer, or the host block); the
// slot's fields are left as they are.
void weight_slot_release(WeightSlot* slot);

}  // namespace vorn
