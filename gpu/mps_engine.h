// The tensor-model GPU engine: a model's graph lowered, node by node, to one
// graph of the graph layer on the compute device, its weights entering as
// constants, as views of the session's weights buffer, or as views of a
// private copy; run once per compiled batch, inputs in and outputs out as
// f32 whatever the engine's data type. Heavy operators (convolutions,
// pools, detection operators) run on the CPU engine's kernels.
//
// Environment switches, read at creation: VORN_MPS_FEED_WEIGHTS (weights of
// at least VORN_MPS_FEED_MIN elements, default 4096, read in place from the
// weights buffer), VORN_MPS_PRIVATE_WEIGHTS (weights above
// VORN_MPS_PRIVATE_MIN elements, default 1, copied to a private buffer),
// VORN_MPS_EXE (runs through an executable compiled on first use),
// VORN_USE_NE and VORN_BACKEND (the neural engine, which this device lacks).
#pragma once
#include <cstdint>

#include "container/container.h"
#include "gpu/gpu_context.h"

namespace vorn {

struct MpsState;

// Null on failure, with a NUL-terminated reason in message (256 bytes).
// weights is the session's loaded weights memory (the container's data
// region in f32), context the GPU context that owns it. With
// ignore_precision set the engine computes in f32 whatever the model's GPU
// precision says.
MpsState* mps_engine_create(const ContainerHandle* container, void* weights, GpuContext* context,
                            uint64_t batch, bool ignore_precision, char* message);
// mps_engine_create with batch 1 and the precision ignored.
MpsState* mps_engine_create_entry(const ContainerHandle* container, void* weights, GpuContext* context,
                                  char* message);
void mps_engine_free(MpsState* engine);

// The compiled batch (at least 1).
uint64_t mps_engine_compiled_batch(const MpsState* engine);
bool mps_engine_set_use_npu(MpsState* engine, bool npu);
// 2 (GPU), 3 (NPU), or 0 for a null engine.
uint32_t mps_engine_active_backend(MpsState* engine);
// Some weight is read in place from the session's weights buffer.
bool mps_engine_uses_shared_weights(const MpsState* engine);
bool mps_engine_has_private_weights(const MpsState* engine);
// Binds the outputs after the first; true for a non-null engine.
bool mps_engine_bind_extra_outputs(MpsState* engine);
// Copies length bytes into the input with that value id; false for a null
// engine or bytes, an id that is no input, or a length above its size.
bool mps_engine_set_input(MpsState* engine, uint64_t value_id, const float* data, uint64_t length);
// One compiled batch: input (the first input's f32 values) in, the first
// output's f32 values out (or the detections of a YoloNms tail).
bool mps_engine_run(MpsState* engine, const float* input, float* output);
// n samples in chunks of the compiled batch; a last partial chunk reads and
// writes only its valid samples, so the buffers hold n samples.
bool mps_engine_run_batch(MpsState* engine, uint64_t n, const float* input, float* output);
uint64_t mps_engine_output_count(const MpsState* engine);
// Elements one run takes for the input with that value id (0 when it is no
// input), and the shape one run gives output index; false past the count.
uint64_t mps_engine_input_count(const MpsState* engine, uint64_t value_id);
bool mps_engine_output_shape(const MpsState* engine, uint64_t index, uint32_t* rank, uint64_t dims[6],
                             uint64_t* count);
// Host data of output index (0 the first); null past the output count.
const float* mps_engine_output_data(MpsState* engine, uint64_t index);

}  // namespace vorn
