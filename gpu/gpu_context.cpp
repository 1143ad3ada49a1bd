// Context creation follows the order of the device calls, so that a fault
// token fails exactly its step and everything made before it is released.
#include "gpu/gpu_context.h"

#include <atomic>
#include <new>
#include <string>

#include "gpu/shaders/touch_source.h"
#include "gpu/test_faults.h"

namespace vorn {

namespace {

// Read and written atomically: sessions open on any thread, and a plain word
// written by one while another reads it is a data race.
std::atomic<uint32_t>& last_error_word() {
  static constinit std::atomic<uint32_t> word{0};
  return word;
}

constexpr uint64_t kTouchGroup = 256;

}  // namespace

GpuContext* gpu_context_create(uint64_t length, uint32_t* out_code) {
  uint32_t dummy;
  uint32_t& code = out_code != nullptr ? *out_code : dummy;
  code = kGpuContextDevice;
  if (length == 0 || length > kMaxGpuWeightsLength) {
    code = kGpuContextAllocation;
    return nullptr;
  }
  if (test_fault_enabled("gpu.device")) return nullptr;
  mtl::DeviceRef device = mtl::create_system_default_device();
  if (device == nullptr) return nullptr;
  if (test_fault_enabled("gpu.library")) return nullptr;
  std::string error;
  mtl::LibraryRef library = device->new_library(touch_kernel_source(), mtl::CompileOptions{}, &error);
  if (library == nullptr) return nullptr;
  mtl::FunctionRef function = library->new_function("touch_all");
  if (function == nullptr) return nullptr;
  if (test_fault_enabled("gpu.pipeline")) return nullptr;
  mtl::PipelineRef pipeline = device->new_compute_pipeline_state(function, &error);
  if (pipeline == nullptr) return nullptr;
  GpuContext* context = test_fault_enabled("gpu.host_allocation") ? nullptr : new (std::nothrow) GpuContext();
  if (context == nullptr) {
    code = kGpuContextAllocation;
    return nullptr;
  }
  context->touch_pipeline = std::move(pipeline);
  if (!test_fault_enabled("gpu.queue")) context->queue = device->new_command_queue();
  if (!test_fault_enabled("gpu.weights"))
    context->weights = device->new_buffer(length, mtl::kResourceStorageModeShared);
  // Made even when the queue or the weights buffer is missing.
  context->scratch = device->new_buffer(kGpuScratchLength, mtl::kResourceStorageModeShared);
  if (context->weights == nullptr || context->scratch == nullptr) {
    code = kGpuContextAllocation;
  } else if (context->queue == nullptr) {
    code = kGpuContextDevice;
  } else {
    code = kGpuContextOk;
    return context;
  }
  gpu_context_free(context);
  return nullptr;
}

GpuContext* gpu_context_create_recording_error(uint64_t length) {
  uint32_t code = 0;
  GpuContext* c = gpu_context_create(length, &code);
  last_error_word().store(code, std::memory_order_relaxed);
  return c;
}

uint32_t gpu_context_last_error() { return last_error_word().load(std::memory_order_relaxed); }

void gpu_context_free(GpuContext* context) {
  if (context == nullptr) return;
  gpu_object_release_clear(&context->weights);
  gpu_object_release_clear(&context->scratch);
  gpu_object_release_clear(&context->queue);
  gpu_object_release_clear(&context->touch_pipeline);
  delete context;
}

void gpu_context_release(GpuContext* context) { gpu_context_free(context); }

const mtl::BufferRef& gpu_context_weights_buffer(const GpuContext* context) { return context->weights; }

const mtl::CommandQueueRef& gpu_context_queue(const GpuContext* context) { return context->queue; }

void* gpu_context_weights_contents(GpuContext* context) {
  return context != nullptr && context->weights != nullptr ? context->weights->contents() : nullptr;
}

void gpu_context_drop_weights(GpuContext* context) {
  if (context != nullptr) gpu_object_release_clear(&context->weights);
}

bool gpu_touch_weights(GpuContext* context, uint64_t length, uint32_t* out) {
  if (context == nullptr || context->queue == nullptr || context->weights == nullptr || out == nullptr)
    return false;
  mtl::CommandBufferRef cb = context->queue->command_buffer();
  mtl::ComputeEncoderRef encoder = cb != nullptr ? cb->compute_command_encoder() : nullptr;
  if (encoder == nullptr) return false;
  const uint64_t count = length / 4;  // a tail of 1 to 3 bytes is not read
  encoder->set_compute_pipeline_state(context->touch_pipeline);
  encoder->set_buffer(context->weights, 0, 0);
  encoder->set_buffer(context->scratch, 0, 1);
  encoder->set_bytes(&count, sizeof count, 2);
  encoder->dispatch_threads(mtl::Size3{kTouchThreads, 1, 1}, mtl::Size3{kTouchGroup, 1, 1});
  encoder->end_encoding();
  cb->commit();
  cb->wait_until_completed();
  const auto* results = static_cast<const uint32_t*>(context->scratch->contents());
  if (cb->status() != mtl::CommandBufferStatus::kCompleted || results == nullptr) return false;
  uint32_t x = 0;
  for (uint64_t i = 0; i < kTouchThreads; ++i) x ^= results[i];
  *out = x;
  return true;
}

}  // namespace vorn
