// The tensor-model GPU engine as the session layer calls it. This build has
// no GPU engine: the stand-ins in gpu_engine_stub.cpp refuse every creation
// (so AUTO falls back to the CPU and an explicit GPU or NPU request fails)
// and accept only a null engine elsewhere. The device capabilities come from
// gpu/gpu_capabilities.h.
#pragma once
#include <cstdint>

#include "container/container.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/gpu_context.h"

namespace vorn {

struct MpsState;

// Null on failure, with a NUL-terminated reason in message (256 bytes).
MpsState* mps_engine_create(const ContainerHandle* container, void* weights, GpuContext* context,
                            uint64_t batch, bool npu, char* message);
void mps_engine_free(MpsState* engine);
bool mps_engine_set_use_npu(MpsState* engine, bool npu);
uint32_t mps_engine_active_backend(const MpsState* engine);
bool mps_engine_uses_shared_weights(const MpsState* engine);
void mps_engine_bind_extra_outputs(MpsState* engine);
bool mps_engine_set_input(MpsState* engine, uint64_t value_id, const float* data, uint64_t bytes);
bool mps_engine_run(MpsState* engine, const float* input, float* output);
bool mps_engine_run_batch(MpsState* engine, uint64_t n, const float* input, float* output);
const float* mps_engine_output_data(MpsState* engine, uint64_t index);

}  // namespace vorn
