// Device context creation. There is no compute device in this build: the
// steps before the device keep their checks (length, fault tokens) so that
// callers see the same codes they would on a machine without a GPU.
#include "gpu/gpu_context.h"

#include <cstdlib>

#include "gpu/test_faults.h"

namespace vorn {

struct GpuContext {
  void* weights;
  void* scratch;
  void* queue;
  void* pipeline;
};

namespace {

uint32_t& last_error_word() {
  static uint32_t word = 0;
  return word;
}

}  // namespace

GpuContext* gpu_context_create(uint64_t length, uint32_t* out_code) {
  uint32_t dummy;
  uint32_t* code = out_code != nullptr ? out_code : &dummy;
  *code = 8;
  if (length == 0 || length > kMaxGpuWeightsLength) {
    *code = 7;
    return nullptr;
  }
  // "gpu.device" and a missing device end here alike.
  (void)test_fault_enabled("gpu.device");
  return nullptr;
}

GpuContext* gpu_context_create_recording_error(uint64_t length) {
  uint32_t code = 0;
  GpuContext* c = gpu_context_create(length, &code);
  last_error_word() = code;
  return c;
}

uint32_t gpu_context_last_error() { return last_error_word(); }

void gpu_context_free(GpuContext* context) {
  if (context == nullptr) return;
  std::free(context->weights);
  std::free(context);
}

void gpu_context_release(GpuContext* context) { gpu_context_free(context); }

void* gpu_context_weights_contents(GpuContext* context) { return context ? context->weights : nullptr; }

void gpu_context_drop_weights(GpuContext* context) {
  if (context == nullptr) return;
  std::free(context->weights);
  context->weights = nullptr;
}

}  // namespace vorn
