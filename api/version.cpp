#include "vorn.h"

extern "C" {

VORN_API const char* vorn_version(void) { return "0.1.0-ea.1"; }

// This machine has no GPU and no neural engine: AUTO and CPU are always
// there, the others never are.
VORN_API bool vorn_probe_backend(const VornConfig*, uint32_t backend) {
  return backend == VORN_BACKEND_AUTO || backend == VORN_BACKEND_CPU;
}

}  // extern "C"
