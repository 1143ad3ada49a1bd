// The device objects of one model: the weights buffer (shared memory, its
// host pointer is the CPU view of the weights), a scratch buffer for the
// touch pass, a command queue and the touch pipeline. Every step that
// acquires a device object can be made to fail through VORN_TEST_FAULTS
// (test_faults.h), so callers' failure paths run on a working device.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/compute_device.h"

namespace vorn {

struct GpuContext {
  mtl::BufferRef weights;
  mtl::BufferRef scratch;
  mtl::CommandQueueRef queue;
  mtl::PipelineRef touch_pipeline;
};

constexpr uint64_t kMaxGpuWeightsLength = 68719476736ull;  // 64 GiB
// The scratch buffer holds one u32 result per touch thread.
constexpr uint64_t kGpuScratchLength = 131072;

// Out-codes of context creation.
constexpr uint32_t kGpuContextOk = 0;
constexpr uint32_t kGpuContextAllocation = 7;  // bad length, record or buffer allocation failed
constexpr uint32_t kGpuContextDevice = 8;      // device, library, pipeline or queue unavailable

// A context for a weights length of 1 to kMaxGpuWeightsLength bytes, or null
// with *out_code saying why. Nothing is left allocated on failure.
GpuContext* gpu_context_create(uint64_t length, uint32_t* out_code);
// The same, keeping the out-code in a process-wide word (read and written
// atomically: the last store wins).
GpuContext* gpu_context_create_recording_error(uint64_t length);
uint32_t gpu_context_last_error();
// Releases the references in record order, then the record; null is ignored.
void gpu_context_free(GpuContext* context);
void gpu_context_release(GpuContext* context);
const mtl::BufferRef& gpu_context_weights_buffer(const GpuContext* context);
const mtl::CommandQueueRef& gpu_context_queue(const GpuContext* context);
// Host view of the weights buffer (null when it was dropped).
void* gpu_context_weights_contents(GpuContext* context);
// Releases the weights buffer only; the context stays.
void gpu_context_drop_weights(GpuContext* context);
// XOR of the whole u32 words of the first length bytes of the weights buffer,
// computed by the touch kernel; false when no command could run or it failed.
bool gpu_touch_weights(GpuContext* context, uint64_t length, uint32_t* out);

// Releases the object in a slot and empties it; a null slot is ignored.
template <class T>
void gpu_object_release_clear(std::shared_ptr<T>* slot) {
  if (slot != nullptr) slot->reset();
}

}  // namespace vorn
