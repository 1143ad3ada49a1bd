#include "session/backend_probe.h"

#include <cstdlib>

#include "gpu/gpu_capabilities.h"
#include "gpu/weight_slot.h"

namespace vorn {

bool backend_probe(const Config* config, uint32_t backend) {
  if (config != nullptr && config->skel_dir_len > 0) setenv("ADSP_LIBRARY_PATH", config->skel_dir, 1);
  switch (backend) {
    case VORN_BACKEND_AUTO:
    case VORN_BACKEND_CPU:
      return true;
    case VORN_BACKEND_GPU: {
      // GPU-shared weights memory is what the GPU engine needs first.
      WeightBuffer b = weight_buffer_alloc(16384, kWeightsGpuShared);
      if (b.tag != 0) return false;
      WeightSlot slot = weight_slot_from_buffer(b);
      weight_slot_release(&slot);
      return true;
    }
    case VORN_BACKEND_NPU:
      return gpu_device_has_ane();
    default:
      return false;
  }
}

}  // namespace vorn
