// Stand-in session functions until the session layer lands: a session can be
// made, configured a little and asked questions, but no model ever loads, so
// every operation answers the way a session without a model does. The whole
// file, with its placeholder record, is replaced by the session layer.
#include <cstdint>

#include "api/config.h"
#include "api/error_record.h"
#include "api/locked_block.h"
#include "api/text.h"
#include "base/atomics.h"
#include "vorn.h"

struct VornSession {
  VornConfig config;
  uint32_t requested_backend;
  uint32_t cancel;
  uint8_t locked;
  vorn::ErrorRecord error;
};

using namespace vorn;

namespace {

constexpr const char* kUnavailable = "Requested hardware backend is unavailable on this device";

bool refuse_path(VornSession* s, const char* path, size_t len) {
  if (s == nullptr) return false;
  if (text_view(path, len).len == 0) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Empty model path");
  } else {
    error_set(&s->error, VORN_STATUS_BACKEND_UNAVAILABLE, kUnavailable);
  }
  return false;
}

bool refuse_fd(VornSession* s, int fd, uint64_t length) {
  if (s == nullptr) return false;
  if (fd < 0 || length < 512) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid file descriptor or length");
  } else {
    error_set(&s->error, VORN_STATUS_BACKEND_UNAVAILABLE, kUnavailable);
  }
  return false;
}

bool refuse_run(VornSession* s, const VornInput* in, const VornOutput* out) {
  if (s == nullptr) return false;
  if (in == nullptr || out == nullptr) {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Input and Output handles are required");
  } else {
    error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Session is not opened (or was unloaded)");
  }
  return false;
}

}  // namespace

extern "C" {

VORN_API VornSession* vorn_session_new(const VornConfig* config) {
  LockedBlock block = locked_block_new(sizeof(VornSession));
  if (block.ptr == nullptr) return nullptr;
  auto* s = static_cast<VornSession*>(block.ptr);
  if (config != nullptr) {
    s->config = *config;
  } else {
    config_defaults(&s->config);
  }
  s->requested_backend = s->config.backend;
  s->locked = block.locked ? 1 : 0;
  return s;
}

VORN_API void vorn_session_free(VornSession* s) {
  if (s != nullptr) locked_block_free(s, sizeof(VornSession), s->locked != 0);
}

VORN_API void vorn_session_set_backend(VornSession* s, VornBackendKind b) { if (s) s->requested_backend = b; }
VORN_API void vorn_session_set_subgraph(VornSession*, const char*, size_t) {}
VORN_API void vorn_session_set_batch_size(VornSession*, uint32_t) {}
VORN_API void vorn_session_set_context_length(VornSession*, uint32_t) {}
VORN_API void vorn_session_set_activation_fp16(VornSession*, int) {}
VORN_API void vorn_session_set_warmup(VornSession*, int) {}
VORN_API void vorn_session_set_resize_mode(VornSession*, VornResizeMode) {}
VORN_API void vorn_session_set_letterbox_pad(VornSession*, int32_t) {}
VORN_API void vorn_session_set_color_bgr(VornSession*, int) {}
VORN_API void vorn_session_set_normalization(VornSession*, float, float, float, float, float, float, float) {}

VORN_API bool vorn_session_inspect(VornSession* s, const char* p, size_t n) { return refuse_path(s, p, n); }
VORN_API bool vorn_session_open(VornSession* s, const char* p, size_t n) { return refuse_path(s, p, n); }
VORN_API bool vorn_session_inspect_fd(VornSession* s, int fd, uint64_t, uint64_t length) {
  return refuse_fd(s, fd, length);
}
VORN_API bool vorn_session_open_fd(VornSession* s, int fd, uint64_t, uint64_t length) {
  return refuse_fd(s, fd, length);
}

VORN_API bool vorn_session_check_backend(VornSession* s, VornBackendKind) {
  if (s == nullptr) return false;
  error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Call inspect or open before check_backend");
  return false;
}

VORN_API bool vorn_session_unload(VornSession* s) {
  if (s == nullptr) return false;
  error_clear(&s->error);
  return true;
}

VORN_API bool vorn_session_reload(VornSession* s) {
  if (s == nullptr) return false;
  error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "Cannot reload a Session that was never opened");
  return false;
}

VORN_API bool vorn_session_reset(VornSession* s) {
  if (s == nullptr) return false;
  atomic_store_u32(&s->cancel, 0, 2);
  error_clear(&s->error);
  return true;
}

VORN_API void vorn_session_cancel(VornSession* s) {
  if (s != nullptr) atomic_store_u32(&s->cancel, 1, 2);
}

VORN_API VornBackendKind vorn_session_requested_backend(const VornSession* s) { return s ? s->requested_backend : 0; }
VORN_API VornBackendKind vorn_session_active_backend(const VornSession*) { return 0; }
VORN_API bool vorn_session_is_generative(const VornSession*) { return false; }
VORN_API uint64_t vorn_session_estimated_memory_bytes(const VornSession*) { return 0; }
VORN_API uint32_t vorn_session_subgraph_count(const VornSession*) { return 0; }
VORN_API const char* vorn_session_subgraph_name_ptr(const VornSession*, int32_t) { return empty_text(); }
VORN_API size_t vorn_session_subgraph_name_len(const VornSession*, int32_t) { return 0; }

VORN_API uint32_t vorn_session_input_count(const VornSession*) { return 0; }
VORN_API const char* vorn_session_input_name_ptr(const VornSession*, int32_t) { return empty_text(); }
VORN_API size_t vorn_session_input_name_len(const VornSession*, int32_t) { return 0; }
VORN_API VornDType vorn_session_input_dtype(const VornSession*, int32_t) { return 0; }
VORN_API uint32_t vorn_session_input_rank(const VornSession*, int32_t) { return 0; }
VORN_API int64_t vorn_session_input_dim(const VornSession*, int32_t, int32_t) { return -1; }
VORN_API uint64_t vorn_session_input_bytes(const VornSession*, int32_t) { return 0; }
VORN_API uint32_t vorn_session_output_count(const VornSession*) { return 0; }
VORN_API const char* vorn_session_output_name_ptr(const VornSession*, int32_t) { return empty_text(); }
VORN_API size_t vorn_session_output_name_len(const VornSession*, int32_t) { return 0; }
VORN_API VornDType vorn_session_output_dtype(const VornSession*, int32_t) { return 0; }
VORN_API uint32_t vorn_session_output_rank(const VornSession*, int32_t) { return 0; }
VORN_API int64_t vorn_session_output_dim(const VornSession*, int32_t, int32_t) { return -1; }
VORN_API uint64_t vorn_session_output_bytes(const VornSession*, int32_t) { return 0; }

VORN_API bool vorn_session_has_meta(const VornSession*, const char*, size_t) { return false; }
VORN_API const char* vorn_session_meta_str_ptr(VornSession*, const char*, size_t) { return empty_text(); }
VORN_API size_t vorn_session_meta_str_len(VornSession*, const char*, size_t) { return 0; }
VORN_API int64_t vorn_session_meta_i64(const VornSession*, const char*, size_t) { return 0; }
VORN_API double vorn_session_meta_f64(const VornSession*, const char*, size_t) { return 0.0; }
VORN_API uint32_t vorn_session_label_count(const VornSession*) { return 0; }
VORN_API const char* vorn_session_label_ptr(const VornSession*, uint64_t) { return empty_text(); }
VORN_API size_t vorn_session_label_len(const VornSession*, uint64_t) { return 0; }

VORN_API VornStatus vorn_session_error_code(const VornSession* s) {
  return s ? s->error.code : VORN_STATUS_INVALID_ARGUMENT;
}
VORN_API const char* vorn_session_error_message_ptr(const VornSession* s) {
  return s ? s->error.message : "Null Session handle";
}
VORN_API size_t vorn_session_error_message_len(const VornSession* s) {
  return s ? size_t(s->error.length) : 19;
}

VORN_API bool vorn_session_run(VornSession* s, VornInput* in, VornOutput* out) { return refuse_run(s, in, out); }
VORN_API bool vorn_session_start(VornSession* s, VornInput* in, VornOutput* out) { return refuse_run(s, in, out); }

VORN_API int32_t vorn_session_next(VornSession* s, VornOutput* out) {
  if (s == nullptr || out == nullptr) return -1;
  error_set(&s->error, VORN_STATUS_INVALID_ARGUMENT, "No active generation stream; call start() first");
  return -1;
}

}  // extern "C"
