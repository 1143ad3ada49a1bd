// The exported session functions: creation, settings, open and lifecycle,
// the model description getters and runs. The bodies live in session/.
#include <cstdint>

#include "container/meta.h"
#include "session/session.h"
#include "session/text.h"
#include "vorn.h"

using namespace vorn;

namespace {

const TensorDesc* input_desc(const VornSession* s, int32_t index) {
  if (s == nullptr || index < 0 || uint32_t(index) >= s->info.input_count) return nullptr;
  return &s->info.inputs[index];
}

const TensorDesc* output_desc(const VornSession* s, int32_t index) {
  if (s == nullptr || index < 0 || uint32_t(index) >= s->info.output_count) return nullptr;
  return &s->info.outputs[index];
}

int64_t desc_dim(const TensorDesc* d, int32_t axis) {
  if (d == nullptr || axis < 0 || uint32_t(axis) >= d->rank) return -1;
  return d->dims[axis];
}

std::string_view label_of(const VornSession* s, uint64_t id) {
  if (s == nullptr || id > uint64_t(INT64_MAX)) return {};
  return label_lookup(s->label_bytes, s->label_length, s->label_count, int64_t(id));
}

bool has_model(const VornSession* s) { return s != nullptr && s->model_loaded; }

}  // namespace

extern "C" {

VORN_API VornSession* vorn_session_new(const VornConfig* config) { return session_new(config); }
VORN_API void vorn_session_free(VornSession* s) { session_free(s); }

VORN_API void vorn_session_set_backend(VornSession* s, VornBackendKind b) {
  if (s != nullptr) s->requested_backend = b;
}
VORN_API void vorn_session_set_subgraph(VornSession* s, const char* name, size_t len) {
  if (s != nullptr) s->subgraph_len = copy_to_fixed(text_view(name, len), s->subgraph);
}
VORN_API void vorn_session_set_batch_size(VornSession* s, uint32_t n) {
  if (s != nullptr) s->batch_size = n;
}
VORN_API void vorn_session_set_context_length(VornSession* s, uint32_t tokens) {
  if (s != nullptr) s->context_length = tokens;
}
VORN_API void vorn_session_set_activation_fp16(VornSession* s, int on) {
  if (s != nullptr) s->fp16_activations = on != 0;
}
VORN_API void vorn_session_set_warmup(VornSession* s, int on) {
  if (s != nullptr) s->warmup = on != 0;
}
VORN_API void vorn_session_set_resize_mode(VornSession* s, VornResizeMode mode) {
  if (s == nullptr) return;
  s->resize_mode = mode;
  s->resize_mode_set = 1;
}
VORN_API void vorn_session_set_letterbox_pad(VornSession* s, int32_t pad) {
  if (s == nullptr) return;
  s->letterbox_pad = uint8_t(uint32_t(pad) & 0xFFu);
  s->letterbox_pad_set = 1;
}
VORN_API void vorn_session_set_color_bgr(VornSession* s, int bgr) {
  if (s == nullptr) return;
  s->bgr = bgr != 0;
  s->bgr_set = 1;
}
VORN_API void vorn_session_set_normalization(VornSession* s, float scale, float mean0, float mean1,
                                             float mean2, float std0, float std1, float std2) {
  if (s == nullptr) return;
  s->norm = Normalization{scale, {mean0, mean1, mean2}, {std0, std1, std2}};
  s->norm_set = 1;
}

VORN_API bool vorn_session_inspect(VornSession* s, const char* path, size_t len) {
  return session_inspect(s, path, len);
}
VORN_API bool vorn_session_inspect_fd(VornSession* s, int fd, uint64_t offset, uint64_t length) {
  return session_inspect_fd(s, fd, offset, length);
}
VORN_API bool vorn_session_open(VornSession* s, const char* path, size_t len) {
  return session_open(s, path, len);
}
VORN_API bool vorn_session_open_fd(VornSession* s, int fd, uint64_t offset, uint64_t length) {
  return session_open_fd(s, fd, offset, length);
}
VORN_API bool vorn_session_check_backend(VornSession* s, VornBackendKind backend) {
  return session_check_backend(s, backend);
}
VORN_API bool vorn_session_unload(VornSession* s) { return session_unload(s); }
VORN_API bool vorn_session_reload(VornSession* s) { return session_reload(s); }
VORN_API bool vorn_session_reset(VornSession* s) { return session_reset(s); }
VORN_API void vorn_session_cancel(VornSession* s) { session_cancel(s); }

VORN_API VornBackendKind vorn_session_requested_backend(const VornSession* s) {
  return s != nullptr ? s->requested_backend : 0;
}
VORN_API VornBackendKind vorn_session_active_backend(const VornSession* s) {
  return s != nullptr ? s->active_backend : 0;
}
VORN_API bool vorn_session_is_generative(const VornSession* s) { return s != nullptr && s->generative; }
VORN_API uint64_t vorn_session_estimated_memory_bytes(const VornSession* s) {
  return s != nullptr ? s->info.estimated_memory : 0;
}
VORN_API uint32_t vorn_session_subgraph_count(const VornSession* s) { return has_model(s) ? 1 : 0; }
VORN_API const char* vorn_session_subgraph_name_ptr(const VornSession* s, int32_t index) {
  return has_model(s) && index == 0 ? "main" : empty_text();
}
VORN_API size_t vorn_session_subgraph_name_len(const VornSession* s, int32_t index) {
  return has_model(s) && index == 0 ? 4 : 0;
}

VORN_API uint32_t vorn_session_input_count(const VornSession* s) { return s != nullptr ? s->info.input_count : 0; }
VORN_API const char* vorn_session_input_name_ptr(const VornSession* s, int32_t i) {
  const TensorDesc* d = input_desc(s, i);
  return d != nullptr ? d->name : empty_text();
}
VORN_API size_t vorn_session_input_name_len(const VornSession* s, int32_t i) {
  const TensorDesc* d = input_desc(s, i);
  return d != nullptr ? size_t(d->name_len) : 0;
}
VORN_API VornDType vorn_session_input_dtype(const VornSession* s, int32_t i) {
  const TensorDesc* d = input_desc(s, i);
  return d != nullptr ? d->dtype : 0;
}
VORN_API uint32_t vorn_session_input_rank(const VornSession* s, int32_t i) {
  const TensorDesc* d = input_desc(s, i);
  return d != nullptr ? d->rank : 0;
}
VORN_API int64_t vorn_session_input_dim(const VornSession* s, int32_t i, int32_t axis) {
  return desc_dim(input_desc(s, i), axis);
}
VORN_API uint64_t vorn_session_input_bytes(const VornSession* s, int32_t i) {
  const TensorDesc* d = input_desc(s, i);
  return d != nullptr ? d->bytes : 0;
}
VORN_API uint32_t vorn_session_output_count(const VornSession* s) { return s != nullptr ? s->info.output_count : 0; }
VORN_API const char* vorn_session_output_name_ptr(const VornSession* s, int32_t i) {
  const TensorDesc* d = output_desc(s, i);
  return d != nullptr ? d->name : empty_text();
}
VORN_API size_t vorn_session_output_name_len(const VornSession* s, int32_t i) {
  const TensorDesc* d = output_desc(s, i);
  return d != nullptr ? size_t(d->name_len) : 0;
}
VORN_API VornDType vorn_session_output_dtype(const VornSession* s, int32_t i) {
  const TensorDesc* d = output_desc(s, i);
  return d != nullptr ? d->dtype : 0;
}
VORN_API uint32_t vorn_session_output_rank(const VornSession* s, int32_t i) {
  const TensorDesc* d = output_desc(s, i);
  return d != nullptr ? d->rank : 0;
}
VORN_API int64_t vorn_session_output_dim(const VornSession* s, int32_t i, int32_t axis) {
  return desc_dim(output_desc(s, i), axis);
}
VORN_API uint64_t vorn_session_output_bytes(const VornSession* s, int32_t i) {
  const TensorDesc* d = output_desc(s, i);
  return d != nullptr ? d->bytes : 0;
}

VORN_API bool vorn_session_has_meta(const VornSession* s, const char* key, size_t len) {
  if (!has_model(s)) return false;
  return container_find_meta(&s->container, text_view(key, len).view(), nullptr);
}
VORN_API const char* vorn_session_meta_str_ptr(VornSession* s, const char* key, size_t len) {
  size_t n = 0;
  return session_meta_str(s, key, len, &n);
}
VORN_API size_t vorn_session_meta_str_len(VornSession* s, const char* key, size_t len) {
  size_t n = 0;
  session_meta_str(s, key, len, &n);
  return n;
}
VORN_API int64_t vorn_session_meta_i64(const VornSession* s, const char* key, size_t len) {
  if (!has_model(s)) return 0;
  return container_meta_i64(&s->container, text_view(key, len).view(), 0);
}
VORN_API double vorn_session_meta_f64(const VornSession* s, const char* key, size_t len) {
  if (!has_model(s)) return 0.0;
  return container_meta_f64(&s->container, text_view(key, len).view(), 0.0);
}

VORN_API uint32_t vorn_session_label_count(const VornSession* s) { return s != nullptr ? s->label_count : 0; }
VORN_API const char* vorn_session_label_ptr(const VornSession* s, uint64_t id) {
  std::string_view v = label_of(s, id);
  return v.empty() ? empty_text() : v.data();
}
VORN_API size_t vorn_session_label_len(const VornSession* s, uint64_t id) { return label_of(s, id).size(); }

// A call of this thread refused while another thread's operation holds the
// session answers in place of the record (see session_refuse_busy).
VORN_API VornStatus vorn_session_error_code(const VornSession* s) {
  if (s == nullptr) return VORN_STATUS_INVALID_ARGUMENT;
  const ErrorNote* refusal = session_refusal(s);
  return refusal != nullptr ? refusal->code : s->error.code;
}
VORN_API const char* vorn_session_error_message_ptr(const VornSession* s) {
  if (s == nullptr) return "Null Session handle";
  const ErrorNote* refusal = session_refusal(s);
  return refusal != nullptr ? refusal->message : s->error.message;
}
VORN_API size_t vorn_session_error_message_len(const VornSession* s) {
  if (s == nullptr) return 19;
  const ErrorNote* refusal = session_refusal(s);
  return refusal != nullptr ? refusal->length : size_t(s->error.length);
}

VORN_API bool vorn_session_run(VornSession* s, VornInput* in, VornOutput* out) { return session_run(s, in, out); }
VORN_API bool vorn_session_start(VornSession* s, VornInput* in, VornOutput* out) {
  return session_start(s, in, out);
}
VORN_API int32_t vorn_session_next(VornSession* s, VornOutput* out) { return session_next(s, out); }

}  // extern "C"
