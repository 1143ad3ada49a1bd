// Whether a backend exists on this device.
#pragma once
#include <cstdint>

#include "session/config.h"

namespace vorn {

// AUTO and CPU always; GPU and NPU only where the device layer has them;
// other values never. A configuration naming an NPU-runtime directory
// publishes it in ADSP_LIBRARY_PATH first, whatever backend is asked.
bool backend_probe(const Config* config, uint32_t backend);

}  // namespace vorn
