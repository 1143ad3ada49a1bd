// The device objects of one model: a shared weights buffer, a scratch
// buffer, a command queue and the touch pipeline. This build has no compute
// device yet, so creation fails the way a missing device does.
#pragma once
#include <cstdint>

namespace vorn {

struct GpuContext;

constexpr uint64_t kMaxGpuWeightsLength = 68719476736ull;  // 64 GiB

// Out-code: 0 success; 7 bad length or an allocation failed; 8 device,
// library, pipeline or queue unavailable.
GpuContext* gpu_context_create(uint64_t length, uint32_t* out_code);
GpuContext* gpu_context_create_recording_error(uint64_t length);
uint32_t gpu_context_last_error();
void gpu_context_free(GpuContext* context);
void gpu_context_release(GpuContext* context);
// Host view of the weights buffer (null when it was dropped or absent).
void* gpu_context_weights_contents(GpuContext* context);
// Releases the weights buffer only; the context stays.
void gpu_context_drop_weights(GpuContext* context);

}  // namespace vorn
