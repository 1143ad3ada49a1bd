// Weights memory of a session: host blocks aligned to the container's 16 KiB
// tensor boundary, or device-shared buffers from a GPU context.
#include "gpu/weight_slot.h"

#include <cstdint>
#include <cstdlib>

#include "base/atomics.h"
#include "container/container.h"
#include "container/format.h"
#include "platform/large_pages.h"

namespace vorn {

namespace {

WeightBuffer failed(uint64_t length, uint32_t code) { return WeightBuffer{1, code, nullptr, length, 0}; }

}  // namespace

WeightBuffer weight_buffer_alloc(uint64_t length, uint32_t flags) {
  if (length == 0 || length % kAlignment != 0) return failed(length, kContainerSlotTooSmall);
  if ((flags & kWeightsGpuShared) != 0) {
    uint32_t code = 0;
    GpuContext* context = gpu_context_create(length, &code);
    if (context == nullptr)
      return failed(length, code == kGpuContextAllocation ? kContainerAllocFailed : kContainerBackendFailed);
    void* contents = gpu_context_weights_contents(context);
    if (contents == nullptr || reinterpret_cast<uintptr_t>(contents) % kAlignment != 0) {
      gpu_context_free(context);
      return failed(length, kContainerBackendFailed);
    }
    return WeightBuffer{0, reinterpret_cast<uint64_t>(contents), context, length, 0};
  }
  void* block = large_pages_alloc(length, kAlignment);
  if (block == nullptr) return failed(length, kContainerAllocFailed);
  return WeightBuffer{0, reinterpret_cast<uint64_t>(block), nullptr, length, 0};
}

WeightSlot weight_slot_from_buffer(const WeightBuffer& buffer) {
  WeightSlot slot;
  if (buffer.tag != 0) return slot;
  slot.data = reinterpret_cast<uint8_t*>(buffer.data);
  slot.context = buffer.context;
  slot.length = buffer.length;
  slot.busy = 0;
  return slot;
}

void weight_buffer_drop_gpu(WeightSlot* slot) {
  if (slot == nullptr || slot->context == nullptr) return;
  gpu_context_drop_weights(slot->context);
  slot->data = nullptr;
}

void weight_slot_unlock(WeightSlot* slot) {
  if (slot != nullptr) atomic_store_u32(&slot->busy, 0, 2);
}

void weight_slot_release(WeightSlot* slot) {
  if (slot == nullptr) return;
  if (slot->context != nullptr)
    gpu_context_free(slot->context);
  else
    large_pages_free(slot->data, slot->length);
}

}  // namespace vorn
