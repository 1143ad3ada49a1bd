// Opening a generative model: the parameter check, the container (its
// header, metadata digests and tensor records), a device weights buffer
// filled by the parallel loader, the optional digest check, then the
// processor and the graph in a new session state.
#include "generation/session_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "base/files.h"
#include "base/utf8.h"
#include "base/vn_error.h"
#include "container/container.h"
#include "generation/error_status.h"
#include "gpu/weight_loader.h"
#include "gpu/weight_slot.h"
#include "vorn.h"

namespace vorn {

namespace {

// Status texts of the container reach the caller with the codes the
// generative open gives them.
// A container that does not open is a model that cannot be read (3) unless
// reading or memory failed; a load that fails is an I/O failure unless
// memory ran out.
bool fail_container(ErrorRecord* error, uint32_t status, bool loading) {
  uint32_t code = loading ? VORN_STATUS_IO : VORN_STATUS_INVALID_MODEL;
  if (status == kContainerAllocFailed) code = VORN_STATUS_OUT_OF_MEMORY;
  else if (status == kContainerIoFailed) code = VORN_STATUS_IO;
  return error_record_set(error, code, std::string(container_status_text(status).view()).c_str());
}

double elapsed_ms(double start) { return (monotonic_seconds_alt() - start) * 1000.0; }

// Everything a failed open leaves to release: the weights slot until the
// state owns its context.
struct SlotGuard {
  WeightSlot slot{};
  ~SlotGuard() {
    if (slot.context != nullptr || slot.data != nullptr) weight_slot_release(&slot);
  }
};

VlmSession* vlm_session_create(const char* path, const GenerativeOpenParams* params, GpuContext* context,
                               const ContainerHandle& handle, ErrorRecord* error, double metadata_ms,
                               double slot_ms, double read_ms) {
  try {
    auto state = std::make_shared<VNSessionState>();
    const GenerativeOpenParams p = params != nullptr ? *params : vlm_open_params_default();
    if (path != nullptr) {
      state->path = checked_utf8(path);
      state->has_path = true;
    } else {
      state->sourceFd = fcntl(handle.fd, F_DUPFD_CLOEXEC, 0);
      if (state->sourceFd < 0) throw_inference("Duplicate model descriptor failed");
      state->sourceBase = handle.base;
      if (handle.meta_len < 40) throw_inference("Metadata bounds");
      state->sourceLength = container_read_u64(handle.meta, 32);
    }
    state->backend = p.backend != nullptr ? p.backend : "auto";
    state->params = p;
    state->params.backend = state->backend.c_str();
    // The caller's texts need not outlive the open: the state keeps copies.
    state->params.cache_dir = nullptr;
    if (p.cache_dir != nullptr) {
      state->cacheDir = p.cache_dir;
      state->params.cache_dir = state->cacheDir.c_str();
    }
    state->metadata.assign(handle.meta, handle.meta + handle.meta_len);

    double t = monotonic_seconds_alt();
    state->processor = std::make_shared<VNProcessor>(handle.meta, handle.meta_len, handle.fd, handle.base);
    state->processorMs = elapsed_ms(t);
    state->readMs = read_ms;
    state->metadataMs = metadata_ms;
    state->slotMs = slot_ms;

    t = monotonic_seconds_alt();
    state->graph = std::make_unique<VNGraph>(context, state->metadata.data(), state->metadata.size(),
                                             p.fp16 ? kElemF16 : kElemF32);
    state->graph->configure({{"backend", state->backend}});
    state->backendMs = elapsed_ms(t);

    auto* session = new (std::nothrow) VlmSession;
    if (session == nullptr) {
      state->graph.reset();
      error_record_set(error, VORN_STATUS_OUT_OF_MEMORY, "Session allocation failed");
      return nullptr;
    }
    state->context = context;
    session->state = std::move(state);
    return session;
  } catch (const std::exception& e) {
    vlm_error_from_exception(e, error);
    return nullptr;
  }
}

bool vlm_open_core(const ContainerHandle& handle, const char* path, const GenerativeOpenParams* params,
                   VlmSession** out, ErrorRecord* error, double open_ms) {
  const double start = monotonic_seconds_alt();
  SlotGuard guard;
  const WeightBuffer buffer = weight_buffer_alloc(handle.data_size, kWeightsGpuShared);
  if (buffer.tag != 0) {
    const uint32_t status = uint32_t(buffer.data);
    return error_record_set(error, status == kContainerAllocFailed ? VORN_STATUS_OUT_OF_MEMORY : VORN_STATUS_BACKEND_UNAVAILABLE,
                            std::string(container_status_text(status).view()).c_str());
  }
  guard.slot = weight_slot_from_buffer(buffer);
  const double slot_ms = elapsed_ms(start);
  const double read_start = monotonic_seconds_alt();
  const LoadResult load = weights_load_parallel(&handle, &guard.slot, kOpenLoadThreads, 0);
  if (load.tag != 0) return fail_container(error, load.code, true);
  const double read_ms = elapsed_ms(read_start);
  if (vlm_open_params_verify_weights(params) && !container_verify_tensor_hashes(&handle, guard.slot.data))
    return error_record_set(error, VORN_STATUS_INTEGRITY, "tensor hash mismatch");
  VlmSession* session =
      vlm_session_create(path, params, guard.slot.context, handle, error, open_ms, slot_ms, read_ms);
  if (session == nullptr) return false;
  // The state owns the context (and with it the weights) from here on.
  guard.slot = WeightSlot{};
  *out = session;
  return true;
}

}  // namespace

VNSessionState::~VNSessionState() {
  if (sourceFd >= 0) ::close(sourceFd);
  releaseGraph();
}

void VNSessionState::releaseGraph() {
  kvCache.forget();
  graph.reset();
  if (context != nullptr) {
    gpu_context_release(context);
    context = nullptr;
  }
}

GenerativeOpenParams vlm_open_params_default() {
  return GenerativeOpenParams{kOpenDefaultContext, 0, "auto", nullptr, 0};
}

std::string checked_utf8(const char* text) {
  if (text == nullptr) throw VNError(vn_category::kArgument, "Missing string");
  const std::string_view view(text);
  if (!utf8_valid(slice_of(view))) throw VNError(vn_category::kArgument, "Invalid UTF-8");
  return std::string(view);
}

bool vlm_open_params_check(const char* path, const GenerativeOpenParams* params, VlmSession** out,
                           ErrorRecord* error) {
  if (error != nullptr) error_clear(error);
  if (out != nullptr) *out = nullptr;
  if (path == nullptr || path[0] == '\0' || out == nullptr)
    return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Model path and output are required");
  if (params == nullptr) return true;
  if (params->backend != nullptr) {
    bool known = false;
    for (const char* policy : kBackendPolicies) known = known || std::strcmp(policy, params->backend) == 0;
    if (!known) return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Unknown backend policy");
  }
  if (params->context_length == 0 || params->context_length > kOpenMaxContext || params->fp16 > 1)
    return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Invalid open parameters");
  return true;
}

bool vlm_open_params_verify_weights(const GenerativeOpenParams* params) {
  return params != nullptr && params->verify_weights != 0;
}

bool vlm_open_path(const char* path, const GenerativeOpenParams* params, VlmSession** out, ErrorRecord* error) {
  if (!vlm_open_params_check(path, params, out, error)) return false;
  const double start = monotonic_seconds_alt();
  // Read as stored: a generative model's weights are never widened.
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) return fail_container(error, kContainerIoFailed, false);
  ContainerResult opened = container_open_fd(fd, 0, uint64_t(size), 0);
  ::close(fd);
  if (!opened.ok()) return fail_container(error, opened.error, false);
  ContainerHandle handle = opened.value;
  const bool ok = vlm_open_core(handle, path, params, out, error, elapsed_ms(start));
  container_close(&handle);
  return ok;
}

bool vlm_open_fd(int fd, uint64_t base, uint64_t length, const GenerativeOpenParams* params, VlmSession** out,
                 ErrorRecord* error) {
  if (!vlm_open_params_check("fd", params, out, error)) return false;
  const double start = monotonic_seconds_alt();
  ContainerResult opened = container_open_fd(fd, base, length, 0);
  if (!opened.ok()) return fail_container(error, opened.error, false);
  ContainerHandle handle = opened.value;
  const bool ok = vlm_open_core(handle, nullptr, params, out, error, elapsed_ms(start));
  container_close(&handle);
  return ok;
}

bool vlm_metal_probe(const GenerativeOpenParams* params, ErrorRecord* error) {
  VlmSession* unused = nullptr;
  if (!vlm_open_params_check("probe", params, &unused, error)) return false;
  GpuContext* context = gpu_context_create_recording_error(16384);
  if (context == nullptr) return error_record_set(error, gpu_context_last_error(), "Metal initialization failed");
  gpu_context_release(context);
  return true;
}

}  // namespace vorn
