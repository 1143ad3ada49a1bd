// Stand-ins for the tensor-model GPU engine until it lands. Creation fails
// the way it does on a device without a GPU, and the queries answer as such
// a device would.
#include <cstdio>

#include "session/gpu_engine.h"

namespace vorn {

MpsState* mps_engine_create(const ContainerHandle*, void*, GpuContext*, uint64_t, bool,
                            char* message) {
  if (message != nullptr)
    std::snprintf(message, 256, "%s", "GPU engine is not available in this build");
  return nullptr;
}

void mps_engine_free(MpsState*) {}
bool mps_engine_set_use_npu(MpsState*, bool) { return false; }
uint32_t mps_engine_active_backend(const MpsState*) { return 0; }
bool mps_engine_uses_shared_weights(const MpsState*) { return false; }
void mps_engine_bind_extra_outputs(MpsState*) {}
bool mps_engine_set_input(MpsState*, uint64_t, const float*, uint64_t) { return false; }
bool mps_engine_run(MpsState*, const float*, float*) { return false; }
bool mps_engine_run_batch(MpsState*, uint64_t, const float*, float*) { return false; }
const float* mps_engine_output_data(MpsState*, uint64_t) { return nullptr; }

}  // namespace vorn
