#include "api/backend_probe.h"

#include <cstdlib>

namespace vorn {

bool backend_probe(const Config* config, uint32_t backend) {
  if (config != nullptr && config->skel_dir_len > 0) setenv("ADSP_LIBRARY_PATH", config->skel_dir, 1);
  switch (backend) {
    case VORN_BACKEND_AUTO:
    case VORN_BACKEND_CPU:
      return true;
    // The device layer of this build has no GPU-shared memory and no neural
    // engine, so neither can be probed into existence.
    case VORN_BACKEND_GPU:
    case VORN_BACKEND_NPU:
    default:
      return false;
  }
}

}  // namespace vorn
