#include "session/backend_probe.h"
#include "vorn.h"

extern "C" {

VORN_API const char* vorn_version(void) { return "0.1.0-ea.1"; }

VORN_API bool vorn_probe_backend(const VornConfig* config, VornBackendKind backend) {
  return vorn::backend_probe(config, backend);
}

}  // extern "C"
