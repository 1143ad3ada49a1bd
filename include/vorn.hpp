// vorn: the C++ binding of the public C interface.
//
// Mirrors vorn.h family by family, for callers that hold handles in
// variables: the handle types below own one C handle each (move-only, freed
// when they go out of scope), every function takes the handle by reference,
// constructors store the new handle into the reference they are given, and
// every text result comes back as one Text record (pointer and length)
// instead of a _ptr/_len pair. Checks, effects, ownership, lifetime and
// threading are those of the C function of the same name (vorn_ + name).
// Header-only; nothing inside the library uses it.
#ifndef VORN_HPP
#define VORN_HPP

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "vorn.h"

namespace vorn::bind {

// A text answered by the library: NUL-terminated, valid as long as the C
// function's _ptr result would be.
struct Text {
  const char* ptr;
  size_t len;
  std::string_view view() const { return {ptr, len}; }
};

// The last result recorded on a session or frame.
struct Error {
  VornStatus code;
  Text message;
  bool ok() const { return code == VORN_STATUS_OK; }
};

// One owned C handle; an empty one holds null, which every function accepts.
template <class H, void (*Free)(H*)>
class Handle {
 public:
  Handle() = default;
  explicit Handle(H* handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Free(handle_); }

  H* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Frees the current handle and takes ownership of another one.
  void reset(H* handle = nullptr) {
    H* old = std::exchange(handle_, handle);
    Free(old);
  }
  // Gives up ownership without freeing.
  H* release() { return std::exchange(handle_, nullptr); }

 private:
  H* handle_ = nullptr;
};

using Config = Handle<VornConfig, vorn_config_free>;
using Frame = Handle<VornFrame, vorn_frame_free>;
using Session = Handle<VornSession, vorn_session_free>;
using Input = Handle<VornInput, vorn_input_free>;
using Output = Handle<VornOutput, vorn_output_free>;

namespace detail {
inline Text text(const char* ptr, size_t len) { return {ptr != nullptr ? ptr : "", ptr != nullptr ? len : 0}; }
}  // namespace detail

// ---- version and probe ----------------------------------------------------

inline Text version() {
  const char* v = vorn_version();
  return {v, std::char_traits<char>::length(v)};
}
inline bool probe_backend(const Config& config, VornBackendKind backend) {
  return vorn_probe_backend(config.get(), backend);
}
// Display name of a backend: "AUTO", "CPU", "GPU", "NPU", else "NONE".
inline Text backend_name(VornBackendKind backend) {
  switch (backend) {
    case VORN_BACKEND_AUTO: return {"AUTO", 4};
    case VORN_BACKEND_CPU: return {"CPU", 3};
    case VORN_BACKEND_GPU: return {"GPU", 3};
    case VORN_BACKEND_NPU: return {"NPU", 3};
    default: return {"NONE", 4};
  }
}

// ---- configuration ----------------------------------------------------------

// Stores a new configuration into config (freeing what it held); false when
// memory runs out.
inline bool config_new(Config& config) {
  config.reset(vorn_config_new());
  return bool(config);
}
inline void config_free(Config& config) { config.reset(); }
inline void config_set_models_dir(Config& c, std::string_view dir) { vorn_config_set_models_dir(c.get(), dir.data(), dir.size()); }
inline void config_set_cache_dir(Config& c, std::string_view dir) { vorn_config_set_cache_dir(c.get(), dir.data(), dir.size()); }
inline void config_set_skel_dir(Config& c, std::string_view dir) { vorn_config_set_skel_dir(c.get(), dir.data(), dir.size()); }
inline void config_set_backend(Config& c, VornBackendKind backend) { vorn_config_set_backend(c.get(), backend); }
inline void config_set_threads(Config& c, int32_t threads) { vorn_config_set_threads(c.get(), threads); }
inline void config_set_verify_weights(Config& c, bool verify) { vorn_config_set_verify_weights(c.get(), verify ? 1 : 0); }

// ---- frames -----------------------------------------------------------------

inline bool frame_new(Frame& frame) {
  frame.reset(vorn_frame_new());
  return bool(frame);
}
inline void frame_free(Frame& frame) { frame.reset(); }
inline bool frame_set_pixels(Frame& f, const void* data, uint64_t length, uint32_t width, uint32_t height,
                             uint64_t stride, VornPixelFormat format, uint32_t orientation, bool copy) {
  return vorn_frame_set_pixels(f.get(), data, length, width, height, stride, format, orientation, copy ? 1 : 0);
}
inline bool frame_load_file(Frame& f, std::string_view path) { return vorn_frame_load_file(f.get(), path.data(), path.size()); }
inline bool frame_load_encoded(Frame& f, const void* bytes, uint64_t length) {
  return vorn_frame_load_encoded(f.get(), bytes, length);
}
inline bool frame_crop_into(const Frame& source, Frame& destination, int32_t x, int32_t y, uint32_t width,
                            uint32_t height) {
  return vorn_frame_crop_into(source.get(), destination.get(), x, y, width, height);
}
inline uint32_t frame_width(const Frame& f) { return vorn_frame_width(f.get()); }
inline uint32_t frame_height(const Frame& f) { return vorn_frame_height(f.get()); }
inline VornPixelFormat frame_format(const Frame& f) { return vorn_frame_format(f.get()); }
inline uint64_t frame_stride(const Frame& f) { return vorn_frame_stride(f.get()); }
inline const uint8_t* frame_data(const Frame& f) { return vorn_frame_data_ptr(f.get()); }
inline Error frame_error(const Frame& f) {
  return {vorn_frame_error_code(f.get()),
          detail::text(vorn_frame_error_message_ptr(f.get()), vorn_frame_error_message_len(f.get()))};
}

// ---- sessions: creation, settings, opening ------------------------------------

inline bool session_new(Session& session, const Config& config) {
  session.reset(vorn_session_new(config.get()));
  return bool(session);
}
inline bool session_new(Session& session) {
  session.reset(vorn_session_new(nullptr));
  return bool(session);
}
inline void session_free(Session& session) { session.reset(); }
inline void session_set_backend(Session& s, VornBackendKind b) { vorn_session_set_backend(s.get(), b); }
inline void session_set_subgraph(Session& s, std::string_view name) { vorn_session_set_subgraph(s.get(), name.data(), name.size()); }
inline void session_set_batch_size(Session& s, uint32_t n) { vorn_session_set_batch_size(s.get(), n); }
inline void session_set_context_length(Session& s, uint32_t n) { vorn_session_set_context_length(s.get(), n); }
inline void session_set_activation_fp16(Session& s, bool on) { vorn_session_set_activation_fp16(s.get(), on ? 1 : 0); }
inline void session_set_warmup(Session& s, bool on) { vorn_session_set_warmup(s.get(), on ? 1 : 0); }
inline void session_set_resize_mode(Session& s, VornResizeMode mode) { vorn_session_set_resize_mode(s.get(), mode); }
inline void session_set_letterbox_pad(Session& s, int32_t pad) { vorn_session_set_letterbox_pad(s.get(), pad); }
inline void session_set_color_bgr(Session& s, bool bgr) { vorn_session_set_color_bgr(s.get(), bgr ? 1 : 0); }
inline void session_set_normalization(Session& s, float scale, const float (&mean)[3], const float (&std)[3]) {
  vorn_session_set_normalization(s.get(), scale, mean[0], mean[1], mean[2], std[0], std[1], std[2]);
}
inline bool session_inspect(Session& s, std::string_view path) { return vorn_session_inspect(s.get(), path.data(), path.size()); }
inline bool session_inspect_fd(Session& s, int fd, uint64_t offset, uint64_t length) {
  return vorn_session_inspect_fd(s.get(), fd, offset, length);
}
inline bool session_open(Session& s, std::string_view path) { return vorn_session_open(s.get(), path.data(), path.size()); }
inline bool session_open_fd(Session& s, int fd, uint64_t offset, uint64_t length) {
  return vorn_session_open_fd(s.get(), fd, offset, length);
}
inline bool session_check_backend(Session& s, VornBackendKind b) { return vorn_session_check_backend(s.get(), b); }
inline bool session_unload(Session& s) { return vorn_session_unload(s.get()); }
inline bool session_reload(Session& s) { return vorn_session_reload(s.get()); }
inline bool session_reset(Session& s) { return vorn_session_reset(s.get()); }
// Any thread, like vorn_session_cancel.
inline void session_cancel(Session& s) { vorn_session_cancel(s.get()); }

// ---- sessions: model description ---------------------------------------------

// One model input or output as the session describes it.
struct TensorInfo {
  Text name;
  VornDType dtype;
  uint32_t rank;
  int64_t dims[6];  // -1 past the rank
  uint64_t bytes;
};

inline VornBackendKind session_requested_backend(const Session& s) { return vorn_session_requested_backend(s.get()); }
inline VornBackendKind session_active_backend(const Session& s) { return vorn_session_active_backend(s.get()); }
inline bool session_is_generative(const Session& s) { return vorn_session_is_generative(s.get()); }
inline uint64_t session_estimated_memory_bytes(const Session& s) { return vorn_session_estimated_memory_bytes(s.get()); }
inline uint32_t session_subgraph_count(const Session& s) { return vorn_session_subgraph_count(s.get()); }
inline Text session_subgraph_name(const Session& s, int32_t i) {
  return detail::text(vorn_session_subgraph_name_ptr(s.get(), i), vorn_session_subgraph_name_len(s.get(), i));
}
inline uint32_t session_input_count(const Session& s) { return vorn_session_input_count(s.get()); }
inline Text session_input_name(const Session& s, int32_t i) {
  return detail::text(vorn_session_input_name_ptr(s.get(), i), vorn_session_input_name_len(s.get(), i));
}
inline VornDType session_input_dtype(const Session& s, int32_t i) { return vorn_session_input_dtype(s.get(), i); }
inline uint32_t session_input_rank(const Session& s, int32_t i) { return vorn_session_input_rank(s.get(), i); }
inline int64_t session_input_dim(const Session& s, int32_t i, int32_t axis) { return vorn_session_input_dim(s.get(), i, axis); }
inline uint64_t session_input_bytes(const Session& s, int32_t i) { return vorn_session_input_bytes(s.get(), i); }
inline TensorInfo session_input(const Session& s, int32_t i) {
  TensorInfo t{session_input_name(s, i), session_input_dtype(s, i), session_input_rank(s, i), {}, session_input_bytes(s, i)};
  for (int32_t a = 0; a < 6; ++a) t.dims[a] = session_input_dim(s, i, a);
  return t;
}
inline uint32_t session_output_count(const Session& s) { return vorn_session_output_count(s.get()); }
inline Text session_output_name(const Session& s, int32_t i) {
  return detail::text(vorn_session_output_name_ptr(s.get(), i), vorn_session_output_name_len(s.get(), i));
}
inline VornDType session_output_dtype(const Session& s, int32_t i) { return vorn_session_output_dtype(s.get(), i); }
inline uint32_t session_output_rank(const Session& s, int32_t i) { return vorn_session_output_rank(s.get(), i); }
inline int64_t session_output_dim(const Session& s, int32_t i, int32_t axis) { return vorn_session_output_dim(s.get(), i, axis); }
inline uint64_t session_output_bytes(const Session& s, int32_t i) { return vorn_session_output_bytes(s.get(), i); }
inline TensorInfo session_output(const Session& s, int32_t i) {
  TensorInfo t{session_output_name(s, i), session_output_dtype(s, i), session_output_rank(s, i), {}, session_output_bytes(s, i)};
  for (int32_t a = 0; a < 6; ++a) t.dims[a] = session_output_dim(s, i, a);
  return t;
}
inline bool session_has_meta(const Session& s, std::string_view key) { return vorn_session_has_meta(s.get(), key.data(), key.size()); }
inline Text session_meta_str(Session& s, std::string_view key) {
  const char* p = vorn_session_meta_str_ptr(s.get(), key.data(), key.size());
  return detail::text(p, vorn_session_meta_str_len(s.get(), key.data(), key.size()));
}
inline int64_t session_meta_i64(const Session& s, std::string_view key) { return vorn_session_meta_i64(s.get(), key.data(), key.size()); }
inline double session_meta_f64(const Session& s, std::string_view key) { return vorn_session_meta_f64(s.get(), key.data(), key.size()); }
inline uint32_t session_label_count(const Session& s) { return vorn_session_label_count(s.get()); }
inline Text session_label(const Session& s, uint64_t class_id) {
  return detail::text(vorn_session_label_ptr(s.get(), class_id), vorn_session_label_len(s.get(), class_id));
}
inline Error session_error(const Session& s) {
  return {vorn_session_error_code(s.get()),
          detail::text(vorn_session_error_message_ptr(s.get()), vorn_session_error_message_len(s.get()))};
}

// ---- sessions: running ------------------------------------------------------

inline bool session_run(Session& s, Input& in, Output& out) { return vorn_session_run(s.get(), in.get(), out.get()); }
inline bool session_start(Session& s, Input& in, Output& out) { return vorn_session_start(s.get(), in.get(), out.get()); }
// 1 a piece, 0 finished, -1 error.
inline int32_t session_next(Session& s, Output& out) { return vorn_session_next(s.get(), out.get()); }

// ---- inputs -------------------------------------------------------------------

inline bool input_new(Input& input) {
  input.reset(vorn_input_new());
  return bool(input);
}
inline void input_free(Input& input) { input.reset(); }
inline void input_clear(Input& in) { vorn_input_clear(in.get()); }
// The frame stays the caller's and must outlive every run of the input.
inline void input_set_frame(Input& in, const Frame& f) { vorn_input_set_frame(in.get(), f.get()); }
inline void input_set_named_frame(Input& in, std::string_view name, const Frame& f) {
  vorn_input_set_named_frame(in.get(), name.data(), name.size(), f.get());
}
inline bool input_add_batch_frame(Input& in, const Frame& f) { return vorn_input_add_batch_frame(in.get(), f.get()); }
inline bool input_set_f32(Input& in, uint32_t index, const float* data, uint64_t count, bool copy) {
  return vorn_input_set_f32(in.get(), index, data, count, copy ? 1 : 0);
}
inline bool input_set_named_f32(Input& in, std::string_view name, const float* data, uint64_t count, bool copy) {
  return vorn_input_set_named_f32(in.get(), name.data(), name.size(), data, count, copy ? 1 : 0);
}
inline bool input_set_i64(Input& in, uint32_t index, const int64_t* data, uint64_t count, bool copy) {
  return vorn_input_set_i64(in.get(), index, data, count, copy ? 1 : 0);
}
inline bool input_set_named_i64(Input& in, std::string_view name, const int64_t* data, uint64_t count, bool copy) {
  return vorn_input_set_named_i64(in.get(), name.data(), name.size(), data, count, copy ? 1 : 0);
}
inline bool input_set_f16(Input& in, uint32_t index, const uint16_t* data, uint64_t count, bool copy) {
  return vorn_input_set_f16(in.get(), index, data, count, copy ? 1 : 0);
}
inline bool input_set_named_f16(Input& in, std::string_view name, const uint16_t* data, uint64_t count, bool copy) {
  return vorn_input_set_named_f16(in.get(), name.data(), name.size(), data, count, copy ? 1 : 0);
}
inline bool input_set_u8(Input& in, uint32_t index, const uint8_t* data, uint64_t count, bool copy) {
  return vorn_input_set_u8(in.get(), index, data, count, copy ? 1 : 0);
}
inline bool input_set_named_u8(Input& in, std::string_view name, const uint8_t* data, uint64_t count, bool copy) {
  return vorn_input_set_named_u8(in.get(), name.data(), name.size(), data, count, copy ? 1 : 0);
}
inline void input_set_prompt(Input& in, std::string_view text) { vorn_input_set_prompt(in.get(), text.data(), text.size()); }
inline bool input_add_message(Input& in, std::string_view role, std::string_view content) {
  return vorn_input_add_message(in.get(), role.data(), role.size(), content.data(), content.size());
}
inline bool input_add_image_message(Input& in, std::string_view role, const Frame& f, std::string_view content) {
  return vorn_input_add_image_message(in.get(), role.data(), role.size(), f.get(), content.data(), content.size());
}
inline void input_set_max_tokens(Input& in, uint32_t n) { vorn_input_set_max_tokens(in.get(), n); }
inline void input_set_temperature(Input& in, float v) { vorn_input_set_temperature(in.get(), v); }
inline void input_set_top_p(Input& in, float v) { vorn_input_set_top_p(in.get(), v); }
inline void input_set_top_k(Input& in, uint32_t k) { vorn_input_set_top_k(in.get(), k); }
inline void input_set_min_p(Input& in, float v) { vorn_input_set_min_p(in.get(), v); }
inline void input_set_repeat_penalty(Input& in, float v) { vorn_input_set_repeat_penalty(in.get(), v); }
inline void input_set_seed(Input& in, uint64_t seed) { vorn_input_set_seed(in.get(), seed); }
inline bool input_add_stop(Input& in, std::string_view text) { return vorn_input_add_stop(in.get(), text.data(), text.size()); }
inline void input_set_image_tiled(Input& in, bool tiled, uint32_t tile_size) {
  vorn_input_set_image_tiled(in.get(), tiled ? 1 : 0, tile_size);
}
inline void input_set_json_schema(Input& in, std::string_view schema) {
  vorn_input_set_json_schema(in.get(), schema.data(), schema.size());
}
inline void input_set_amount_decimals(Input& in, int32_t decimals) { vorn_input_set_amount_decimals(in.get(), decimals); }

// ---- outputs --------------------------------------------------------------------

// Entry i of the class ranking.
struct TopClass {
  uint32_t class_id;  // all ones out of range
  float score;
  Text label;
};

// Decoded box i, in source-image pixels.
struct Box {
  float x1, y1, x2, y2;
  float score;
  uint32_t class_id;  // all ones out of range
  Text label;
  uint32_t landmark_count;
};

inline bool output_new(Output& output) {
  output.reset(vorn_output_new());
  return bool(output);
}
inline void output_free(Output& output) { output.reset(); }
inline double output_latency_ms(const Output& o) { return vorn_output_latency_ms(o.get()); }
inline VornBackendKind output_backend_used(const Output& o) { return vorn_output_backend_used(o.get()); }
inline float output_scale_x(const Output& o) { return vorn_output_scale_x(o.get()); }
inline float output_scale_y(const Output& o) { return vorn_output_scale_y(o.get()); }
inline float output_pad_x(const Output& o) { return vorn_output_pad_x(o.get()); }
inline float output_pad_y(const Output& o) { return vorn_output_pad_y(o.get()); }
inline uint32_t output_tensor_count(const Output& o) { return vorn_output_tensor_count(o.get()); }
inline int32_t output_index_of(const Output& o, std::string_view name) {
  return vorn_output_index_of(o.get(), name.data(), name.size());
}
inline VornDType output_dtype(const Output& o, int32_t slot) { return vorn_output_dtype(o.get(), slot); }
inline uint32_t output_rank(const Output& o, int32_t slot) { return vorn_output_rank(o.get(), slot); }
inline uint64_t output_elem_count(const Output& o, int32_t slot) { return vorn_output_elem_count(o.get(), slot); }
inline uint64_t output_f32_len(const Output& o, int32_t slot) { return vorn_output_f32_len(o.get(), slot); }
inline int64_t output_dim(const Output& o, int32_t slot, int32_t axis) { return vorn_output_dim(o.get(), slot, axis); }
inline const float* output_f32(const Output& o, int32_t slot) { return vorn_output_f32_ptr(o.get(), slot); }
inline const int64_t* output_i64(const Output& o, int32_t slot) { return vorn_output_i64_ptr(o.get(), slot); }
inline const uint16_t* output_f16(const Output& o, int32_t slot) { return vorn_output_f16_ptr(o.get(), slot); }
inline const uint8_t* output_u8(const Output& o, int32_t slot) { return vorn_output_u8_ptr(o.get(), slot); }
inline uint64_t output_copy_f32(const Output& o, int32_t slot, float* dst, uint64_t capacity) {
  return vorn_output_copy_f32(o.get(), slot, dst, capacity);
}
inline uint64_t output_copy_i64(const Output& o, int32_t slot, int64_t* dst, uint64_t capacity) {
  return vorn_output_copy_i64(o.get(), slot, dst, capacity);
}
inline uint32_t output_compute_top_k(Output& o, int32_t slot, int32_t k, bool softmax) {
  return vorn_output_compute_top_k(o.get(), slot, k, softmax ? 1 : 0);
}
inline TopClass output_top(const Output& o, int32_t i) {
  return {vorn_output_top_class_id(o.get(), i), vorn_output_top_score(o.get(), i),
          detail::text(vorn_output_top_label_ptr(o.get(), i), vorn_output_top_label_len(o.get(), i))};
}
inline int32_t output_decode_boxes(Output& o, int32_t max_boxes, float score_threshold, float iou_threshold) {
  return vorn_output_decode_boxes(o.get(), max_boxes, score_threshold, iou_threshold);
}
inline Box output_box(const Output& o, int32_t i) {
  const VornOutput* h = o.get();
  return {vorn_output_box_x1(h, i),       vorn_output_box_y1(h, i),
          vorn_output_box_x2(h, i),       vorn_output_box_y2(h, i),
          vorn_output_box_score(h, i),    vorn_output_box_class_id(h, i),
          detail::text(vorn_output_box_label_ptr(h, i), vorn_output_box_label_len(h, i)),
          vorn_output_box_landmark_count(h, i)};
}
inline float output_box_landmark_x(const Output& o, int32_t i, int32_t j) { return vorn_output_box_landmark_x(o.get(), i, j); }
inline float output_box_landmark_y(const Output& o, int32_t i, int32_t j) { return vorn_output_box_landmark_y(o.get(), i, j); }
inline bool output_normalize_l2(Output& o, int32_t slot) { return vorn_output_normalize_l2(o.get(), slot); }
inline float output_cosine_similarity(const Output& a, int32_t slot_a, const Output& b, int32_t slot_b) {
  return vorn_output_cosine_similarity(a.get(), slot_a, b.get(), slot_b);
}
inline bool output_to_frame(const Output& o, int32_t slot, Frame& f, float scale, float offset) {
  return vorn_output_to_frame(o.get(), slot, f.get(), scale, offset);
}
inline Text output_text(const Output& o) { return detail::text(vorn_output_text_ptr(o.get()), vorn_output_text_len(o.get())); }
inline Text output_full_text(const Output& o) {
  return detail::text(vorn_output_full_text_ptr(o.get()), vorn_output_full_text_len(o.get()));
}
inline VornFinishReason output_finish_reason(const Output& o) { return vorn_output_finish_reason(o.get()); }
inline uint32_t output_prompt_tokens(const Output& o) { return vorn_output_prompt_tokens(o.get()); }
inline uint32_t output_generated_tokens(const Output& o) { return vorn_output_generated_tokens(o.get()); }
inline uint32_t output_cached_prompt_tokens(const Output& o) { return vorn_output_cached_prompt_tokens(o.get()); }

}  // namespace vorn::bind

#endif  // VORN_HPP
