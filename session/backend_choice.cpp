// Backend choice and engine creation: the weights slot and its parallel
// load, the optional digest check, and the CPU, GPU or generative engine,
// with AUTO's fall-backs; and the check of whether a loaded model can run on
// a backend.
#include <cstdio>
#include <cstring>

#include "container/format.h"
#include "container/op_codes.h"
#include "cpu/engine.h"
#include "generation/vlm_interface.h"
#include "gpu/gpu_capabilities.h"
#include "gpu/mps_engine.h"
#include "gpu/weight_loader.h"
#include "session/backend_probe.h"
#include "session/session.h"

namespace vorn {

namespace {

bool fail(Session* s, uint32_t code, std::string_view message) {
  error_set(&s->error, code, message);
  return false;
}

uint32_t container_status_code(uint32_t status) {
  switch (status) {
    case kContainerIoFailed: return VORN_STATUS_IO;
    case kContainerAllocFailed: return VORN_STATUS_OUT_OF_MEMORY;
    case kContainerSlotBusy: return VORN_STATUS_BUSY;
    case kContainerTensorHashMismatch: return VORN_STATUS_INTEGRITY;
    default: return VORN_STATUS_INVALID_MODEL;
  }
}

bool fail_status(Session* s, uint32_t status) {
  return fail(s, container_status_code(status), container_status_text(status).view());
}

bool open_generative(Session* s) {
  if (s->requested_backend == VORN_BACKEND_NPU)
    return fail(s, VORN_STATUS_UNSUPPORTED, "Generative LLM/VLM models do not support NPU backend");
  const uint32_t context = s->context_length < 1 ? 2048 : s->context_length;
  const char* cache = s->config.cache_dir_len > 0 ? s->config.cache_dir : nullptr;
  char message[256] = {0};
  uint32_t code = 0;
  VlmSession* vlm = nullptr;
  const bool ok =
      s->source_is_fd
          ? vlm_session_open_fd(s->container.fd, s->container.base, s->source_length, context,
                                s->fp16_activations != 0, cache, s->config.verify_weights != 0,
                                &vlm, &code, message, sizeof message)
          : vlm_session_open_path(s->path, context, s->fp16_activations != 0, cache,
                                  s->config.verify_weights != 0, &vlm, &code, message,
                                  sizeof message);
  if (ok && vlm != nullptr) {
    session_attach_vlm(s, vlm);
    s->active_backend = VORN_BACKEND_GPU;
    s->engine_open = 1;
    error_clear(&s->error);
    return true;
  }
  message[sizeof message - 1] = '\0';
  return fail(s, code < 1 ? VORN_STATUS_INVALID_MODEL : code,
              message[0] != '\0' ? message : "Failed to open generative LLM/VLM session");
}

void attach_gpu_engine(Session* s, MpsState* engine) {
  if (s->gpu_present) mps_engine_free(s->gpu);
  s->gpu = engine;
  s->gpu_present = 1;
  if (!mps_engine_uses_shared_weights(engine)) weight_buffer_drop_gpu(&s->slot);
  if (s->info.output_count >= 2) mps_engine_bind_extra_outputs(engine);
}

// The same contract as the CPU engine's: either the engine batches the
// whole graph (every input carries all n samples), or it runs one compiled
// batch a pass, which only the first input and output can be split into.
bool gpu_engine_fits(const Session* s, const MpsState* engine, char* message) {
  const uint64_t n = s->batch_size < 2 ? 1 : s->batch_size;
  const uint64_t b = n < 2 ? 1 : mps_engine_compiled_batch(engine);
  auto refuse = [&](const char* text) {
    std::snprintf(message, 256, "%s", text);
    return false;
  };
  if (b != n && (b != 1 || s->info.input_count != 1 || s->info.output_count != 1))
    return refuse("Model graph cannot batch all its inputs and outputs in one pass; "
                  "use batch_size 1 for this multi-input or multi-output model");
  for (uint32_t i = 0; i < s->info.input_count; ++i) {
    const TensorDesc& d = s->info.inputs[i];
    uint64_t count = mps_engine_input_count(engine, d.value_index);
    if (b != n && __builtin_mul_overflow(count, n, &count)) count = 0;
    if (count != d.count) return refuse("Model graph does not support batch_size > 1");
  }
  return true;
}

// Creates and attaches the GPU engine, or answers false with the reason in
// message (the engine's text, or the batching refusal).
bool open_gpu_engine(Session* s, bool ignore_precision, char* message) {
  const uint64_t batch = s->batch_size < 2 ? 1 : s->batch_size;
  MpsState* engine = mps_engine_create(&s->container, s->slot.data, s->slot.context, batch, ignore_precision, message);
  if (engine == nullptr) return false;
  if (!gpu_engine_fits(s, engine, message)) {
    mps_engine_free(engine);
    return false;
  }
  attach_gpu_engine(s, engine);
  s->compiled_batch = batch < 2 ? 1 : mps_engine_compiled_batch(engine);
  return true;
}

// The shapes a batched run hands over must be the ones the engine takes:
// either the engine batches the whole graph (every input carries all n
// samples), or it runs one sample a pass, which only the primary input and
// output can be split into.
bool cpu_engine_fits(Session* s, const CpuState& st) {
  const uint64_t n = s->batch_size < 2 ? 1 : s->batch_size;
  // With a batch size of 1 one pass takes the input whole, whatever its dim 0.
  const uint64_t b = (n < 2 || st.compiled_batch == 0) ? 1 : st.compiled_batch;
  if (st.output_count != s->info.output_count)
    return fail(s, VORN_STATUS_INVALID_MODEL, "CPU engine outputs do not match the model description");
  if (b != n && (b != 1 || s->info.input_count != 1 || s->info.output_count != 1))
    return fail(s, VORN_STATUS_UNSUPPORTED,
                "Model graph cannot batch all its inputs and outputs in one pass; "
                "use batch_size 1 for this multi-input or multi-output model");
  for (uint32_t i = 0; i < s->info.input_count; ++i) {
    const TensorDesc& d = s->info.inputs[i];
    if (d.value_index >= st.value_count) return fail(s, VORN_STATUS_INVALID_MODEL, "CPU engine inputs do not match the model description");
    uint64_t count = st.values[d.value_index].count();
    if (b != n && __builtin_mul_overflow(count, n, &count)) count = 0;
    if (count != d.count)
      return fail(s, VORN_STATUS_UNSUPPORTED, "Model graph does not support batch_size > 1");
  }
  return true;
}

bool create_cpu_engine(Session* s) {
  const uint64_t batch = s->batch_size < 2 ? 1 : s->batch_size;
  CpuCreateResult r = cpu_engine_create(&s->container, s->slot.data, batch);
  if (!r.ok()) {
    session_release_engines(s);
    r.error.message[sizeof r.error.message - 1] = '\0';
    return fail(s, VORN_STATUS_INVALID_MODEL, r.error.message);
  }
  CpuState* engine = r.value;
  if (!cpu_engine_fits(s, *engine)) {
    cpu_engine_free(&engine);
    ErrorRecord saved = s->error;
    session_release_engines(s);
    s->error = saved;
    return false;
  }
  cpu_engine_set_cancel_flag(&engine, &s->cancel);
  if (s->cpu_present) cpu_engine_free(&s->cpu);
  s->cpu = engine;
  s->cpu_present = 1;
  // Passes of a run: one when the engine takes all samples at once.
  s->compiled_batch = (batch < 2 || engine->compiled_batch == 0) ? 1 : engine->compiled_batch;
  s->active_backend = VORN_BACKEND_CPU;
  return true;
}

bool single_f32_input(const Session* s) {
  return s->info.input_count == 1 && s->info.inputs[0].dtype == VORN_DTYPE_F32;
}

bool open_tensor_model(Session* s) {
  const uint32_t req = s->requested_backend;
  if (req == VORN_BACKEND_NPU && !single_f32_input(s))
    return fail(s, VORN_STATUS_UNSUPPORTED,
                "The NE backend requires a single F32 input tensor; use GPU, CPU or AUTO for "
                "multi-input or I64/F16/U8 inputs");
  const bool explicit_gpu = req == VORN_BACKEND_GPU || req == VORN_BACKEND_NPU;
  const bool gpu_wanted =
      explicit_gpu || (req == VORN_BACKEND_AUTO && s->recommended_backend != VORN_BACKEND_CPU);

  // The slot takes the data region as loaded, in whole 16 KiB blocks.
  uint64_t length = s->container.data_size == 0 ? kAlignment : s->container.data_size;
  if (length % kAlignment != 0) {
    if (length > UINT64_MAX - kAlignment) return fail_status(s, kContainerAllocFailed);
    length += kAlignment - length % kAlignment;
  }
  session_release_engines(s);
  WeightBuffer buffer{};
  buffer.tag = 1;
  if (gpu_wanted) {
    buffer = weight_buffer_alloc(length, kWeightsGpuShared);
    if (buffer.tag != 0 && explicit_gpu)
      return fail(s, VORN_STATUS_BACKEND_UNAVAILABLE, "GPU/NPU slot allocation failed");
  }
  if (buffer.tag != 0) {
    buffer = weight_buffer_alloc(length, 0);
    if (buffer.tag != 0) return fail_status(s, uint32_t(buffer.data));
  }
  s->slot = weight_slot_from_buffer(buffer);
  s->slot_present = 1;

  // The configuration allows up to 32 threads; the loader takes at most 16.
  uint64_t threads = s->config.threads < 1 ? 8 : s->config.threads;
  if (threads > kMaxLoadThreads) threads = kMaxLoadThreads;
  LoadResult load = weights_load_parallel(&s->container, &s->slot, threads, 0);
  if (load.tag != 0) {
    session_release_engines(s);
    return fail_status(s, load.code);
  }
  if (s->config.verify_weights && !container_verify_tensor_hashes(&s->container, s->slot.data)) {
    session_release_engines(s);
    return fail(s, VORN_STATUS_INTEGRITY, "Weight tensor XXH3-128 hash verification failed");
  }
  if (s->slot.context == nullptr) return create_cpu_engine(s);

  // The engine's last argument says whether it may ignore the model's GPU
  // precision (computing in f32): an explicit GPU request honours it, the
  // neural engine computes in f16 whatever it says, and AUTO tries the
  // model's precision first and f32 after.
  char message[256] = {0};
  if (explicit_gpu) {
    if (!open_gpu_engine(s, req == VORN_BACKEND_NPU, message)) {
      session_release_engines(s);
      message[255] = '\0';
      return fail(s, VORN_STATUS_UNSUPPORTED, message);
    }
    MpsState* engine = s->gpu;
    if (req == VORN_BACKEND_GPU) {
      mps_engine_set_use_npu(engine, false);
      s->active_backend = VORN_BACKEND_GPU;
    } else if (!mps_engine_set_use_npu(engine, true)) {
      session_release_engines(s);
      return fail(s, VORN_STATUS_BACKEND_UNAVAILABLE, "NPU compilation failed for this model");
    } else {
      s->active_backend = VORN_BACKEND_NPU;
    }
    return true;
  }
  // AUTO: engine failures here only mean another engine is tried.
  if (s->recommended_backend == VORN_BACKEND_GPU && !s->fp16_activations) {
    if (!open_gpu_engine(s, false, message) && !open_gpu_engine(s, true, message)) return create_cpu_engine(s);
    mps_engine_set_use_npu(s->gpu, false);
    s->active_backend = mps_engine_active_backend(s->gpu);
    return true;
  }
  if (!open_gpu_engine(s, true, message)) return create_cpu_engine(s);
  if (gpu_device_has_ane() && single_f32_input(s)) mps_engine_set_use_npu(s->gpu, true);
  s->active_backend = mps_engine_active_backend(s->gpu);
  return true;
}

}  // namespace

bool session_open_backend(Session* s) {
  const bool ok = s->generative ? open_generative(s) : open_tensor_model(s);
  if (ok && !s->generative) {
    s->engine_open = 1;
    error_clear(&s->error);
  }
  return ok;
}

bool session_check_backend(Session* s, uint32_t backend) {
  if (s == nullptr) return false;
  if (!s->model_loaded) return fail(s, VORN_STATUS_INVALID_ARGUMENT, "Call inspect or open before check_backend");
  if (backend >= 4) return fail(s, VORN_STATUS_INVALID_ARGUMENT, "Invalid backend constant");
  if (!backend_probe(&s->config, backend))
    return fail(s, VORN_STATUS_BACKEND_UNAVAILABLE, "Requested hardware backend is unavailable on this device");
  if (s->generative) {
    if (backend == VORN_BACKEND_NPU)
      return fail(s, VORN_STATUS_UNSUPPORTED, "Generative LLM/VLM models do not support NPU backend");
    error_clear(&s->error);
    return true;
  }
  if (backend == VORN_BACKEND_NPU) {
    if (s->info.input_count > 1)
      return fail(s, VORN_STATUS_UNSUPPORTED, "The NE backend runs single-input graphs; use GPU, CPU or AUTO");
    if (s->info.input_count == 1 && s->info.inputs[0].dtype == VORN_DTYPE_I64)
      return fail(s, VORN_STATUS_UNSUPPORTED,
                  "The NE backend computes in FP16 and cannot hold I64 inputs exactly; use GPU, CPU or AUTO");
  }
  char message[256];
  size_t used = 0;
  bool refused = false;
  auto append = [&](std::string_view piece) {
    if (used >= 255) return;
    size_t n = piece.size() < 255 - used ? piece.size() : 255 - used;
    std::memcpy(message + used, piece.data(), n);
    used += n;
  };
  append("Unsupported operators for requested backend: ");
  const uint64_t nodes = container_node_count(&s->container);
  for (uint64_t i = 0; i < nodes; ++i) {
    const uint64_t op = container_node_record(&s->container, i).op();
    bool ok = false;
    switch (backend) {
      case VORN_BACKEND_CPU: ok = cpu_op_supported(op) != 0; break;
      case VORN_BACKEND_GPU: ok = mps_op_supported(op, 2); break;
      case VORN_BACKEND_NPU: ok = mps_op_supported(op, 3); break;
      default: ok = cpu_op_supported(op) != 0 || mps_op_supported(op, 2); break;
    }
    if (ok) continue;
    char entry[64];
    std::snprintf(entry, sizeof entry, "%snode_%llu:", refused ? ", " : "", static_cast<unsigned long long>(i));
    append(entry);
    append(op_name(op).view());
    refused = true;
  }
  message[used] = '\0';
  if (refused) return fail(s, VORN_STATUS_UNSUPPORTED, std::string_view(message, used));
  const uint64_t working_set = gpu_recommended_working_set();
  if ((backend == VORN_BACKEND_GPU || backend == VORN_BACKEND_NPU) && working_set != 0 &&
      working_set < s->info.estimated_memory)
    return fail(s, VORN_STATUS_OUT_OF_MEMORY, "Estimated model memory exceeds device recommended working set size");
  error_clear(&s->error);
  return true;
}

}  // namespace vorn
