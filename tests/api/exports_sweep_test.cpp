// Every exported function, called with null handles and with out-of-range
// arguments on live handles: nothing crashes, getters answer their neutral
// values, operations answer false, and only the documented error records are
// written. The table is checked against the public header, so a new function
// without a row fails here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "vorn.h"

namespace {

// Live handles for the out-of-range calls.
struct Env {
  VornConfig* config;
  VornFrame* frame;  // 2x2 RGB
  VornSession* session;
  VornInput* input;
  VornOutput* output;
};

constexpr int32_t kBadIndexes[] = {-1, INT32_MIN, 0, 1, 63, 64, 65, 255, 256, INT32_MAX};
constexpr const char* kNullSession = "Null Session handle";
constexpr const char* kNullFrame = "Null Frame handle";

bool empty_text(const char* p, size_t len) { return p != nullptr && p[0] == 0 && len == 0; }

std::string frame_message(const VornFrame* f) {
  return std::string(vorn_frame_error_message_ptr(f), vorn_frame_error_message_len(f));
}
std::string session_message(const VornSession* s) {
  return std::string(vorn_session_error_message_ptr(s), vorn_session_error_message_len(s));
}

using Check = void (*)(Env&);

// Session getters of model inputs and outputs share one shape.
#define TENSOR_GETTERS(kind)                                                                      \
  {"vorn_session_" #kind "_count",                                                               \
   [](Env& e) {                                                                                  \
     EXPECT_EQ(vorn_session_##kind##_count(nullptr), 0u);                                        \
     EXPECT_EQ(vorn_session_##kind##_count(e.session), 0u);                                      \
   }},                                                                                           \
      {"vorn_session_" #kind "_name_ptr",                                                        \
       [](Env& e) {                                                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           EXPECT_STREQ(vorn_session_##kind##_name_ptr(nullptr, i), "");                         \
           EXPECT_STREQ(vorn_session_##kind##_name_ptr(e.session, i), "");                       \
         }                                                                                       \
       }},                                                                                       \
      {"vorn_session_" #kind "_name_len",                                                        \
       [](Env& e) {                                                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           EXPECT_EQ(vorn_session_##kind##_name_len(nullptr, i), 0u);                            \
           EXPECT_EQ(vorn_session_##kind##_name_len(e.session, i), 0u);                          \
         }                                                                                       \
       }},                                                                                       \
      {"vorn_session_" #kind "_dtype",                                                           \
       [](Env& e) {                                                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           EXPECT_EQ(vorn_session_##kind##_dtype(nullptr, i), 0u);                               \
           EXPECT_EQ(vorn_session_##kind##_dtype(e.session, i), 0u);                             \
         }                                                                                       \
       }},                                                                                       \
      {"vorn_session_" #kind "_rank",                                                            \
       [](Env& e) {                                                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           EXPECT_EQ(vorn_session_##kind##_rank(nullptr, i), 0u);                                \
           EXPECT_EQ(vorn_session_##kind##_rank(e.session, i), 0u);                              \
         }                                                                                       \
       }},                                                                                       \
      {"vorn_session_" #kind "_dim",                                                             \
       [](Env& e) {                                                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           for (int32_t a : {-1, 0, 5, 6, INT32_MAX}) {                                          \
             EXPECT_EQ(vorn_session_##kind##_dim(nullptr, i, a), -1);                            \
             EXPECT_EQ(vorn_session_##kind##_dim(e.session, i, a), -1);                          \
           }                                                                                     \
         }                                                                                       \
       }},                                                                                       \
      {"vorn_session_" #kind "_bytes", [](Env& e) {                                              \
         for (int32_t i : kBadIndexes) {                                                         \
           EXPECT_EQ(vorn_session_##kind##_bytes(nullptr, i), 0u);                               \
           EXPECT_EQ(vorn_session_##kind##_bytes(e.session, i), 0u);                             \
         }                                                                                       \
       }}

// Output getters indexed by a box or ranking entry answering a float 0.
#define OUTPUT_FLOAT_AT(fn)                                                                       \
  {#fn, [](Env& e) {                                                                              \
     for (int32_t i : kBadIndexes) {                                                              \
       EXPECT_EQ(fn(nullptr, i), 0.0f);                                                           \
       EXPECT_EQ(fn(e.output, i), 0.0f);                                                          \
     }                                                                                            \
   }}

// Output getters indexed by a tensor slot answering an integer 0.
#define OUTPUT_SLOT_ZERO(fn)                                                                      \
  {#fn, [](Env& e) {                                                                              \
     for (int32_t i : kBadIndexes) {                                                              \
       EXPECT_EQ(fn(nullptr, i), 0u);                                                             \
       EXPECT_EQ(fn(e.output, i), 0u);                                                            \
     }                                                                                            \
   }}

#define OUTPUT_SLOT_NULLPTR(fn)                                                                   \
  {#fn, [](Env& e) {                                                                              \
     for (int32_t i : kBadIndexes) {                                                              \
       EXPECT_EQ(fn(nullptr, i), nullptr);                                                        \
       EXPECT_EQ(fn(e.output, i), nullptr);                                                       \
     }                                                                                            \
   }}

#define OUTPUT_SCALAR(fn, neutral)                                                                \
  {#fn, [](Env& e) {                                                                              \
     EXPECT_EQ(fn(nullptr), neutral);                                                             \
     EXPECT_EQ(fn(e.output), neutral);                                                            \
   }}

// Input setters whose only observable answer is "no crash".
#define INPUT_SETTER(fn, value)                                                                   \
  {#fn, [](Env& e) {                                                                              \
     fn(nullptr, value);                                                                          \
     fn(e.input, value);                                                                          \
   }}

#define SESSION_SETTER(fn, ...)                                                                   \
  {#fn, [](Env& e) {                                                                              \
     fn(nullptr, __VA_ARGS__);                                                                    \
     fn(e.session, __VA_ARGS__);                                                                  \
   }}

// Raw tensor binders: by index and by name, for one element type.
#define INPUT_TENSOR(suffix, type)                                                                \
  {"vorn_input_set_" #suffix,                                                                     \
   [](Env& e) {                                                                                   \
     type v[2] = {};                                                                              \
     EXPECT_FALSE(vorn_input_set_##suffix(nullptr, 0, v, 2, 1));                                  \
     for (uint32_t i : {8u, 9u, UINT32_MAX}) EXPECT_FALSE(vorn_input_set_##suffix(e.input, i, v, 2, 0)); \
     EXPECT_FALSE(vorn_input_set_##suffix(e.input, 0, nullptr, 2, 0));                            \
     EXPECT_FALSE(vorn_input_set_##suffix(e.input, 0, v, 0, 1));                                  \
     EXPECT_FALSE(vorn_input_set_##suffix(e.input, 0, v, UINT64_MAX, 1));                         \
   }},                                                                                            \
      {"vorn_input_set_named_" #suffix, [](Env& e) {                                              \
         type v[2] = {};                                                                          \
         EXPECT_FALSE(vorn_input_set_named_##suffix(nullptr, "x", 1, v, 2, 1));                   \
         EXPECT_FALSE(vorn_input_set_named_##suffix(e.input, "x", 1, nullptr, 2, 0));             \
         EXPECT_FALSE(vorn_input_set_named_##suffix(e.input, nullptr, 5, v, 0, 0));               \
       }}

const std::map<std::string, Check>& sweep_table() {
  static const std::map<std::string, Check> table = {
      // ---- version, probe, configuration
      {"vorn_version", [](Env&) { EXPECT_STREQ(vorn_version(), "0.1.0-ea.1"); }},
      {"vorn_probe_backend",
       [](Env& e) {
         for (uint32_t b : {4u, 7u, 255u, UINT32_MAX}) {
           EXPECT_FALSE(vorn_probe_backend(nullptr, b));
           EXPECT_FALSE(vorn_probe_backend(e.config, b));
         }
         EXPECT_TRUE(vorn_probe_backend(nullptr, VORN_BACKEND_AUTO));
       }},
      {"vorn_config_new", [](Env&) { vorn_config_free(vorn_config_new()); }},
      {"vorn_config_free", [](Env&) { vorn_config_free(nullptr); }},
      {"vorn_config_set_models_dir",
       [](Env& e) {
         vorn_config_set_models_dir(nullptr, "/x", 2);
         vorn_config_set_models_dir(e.config, nullptr, SIZE_MAX);
       }},
      {"vorn_config_set_cache_dir",
       [](Env& e) {
         vorn_config_set_cache_dir(nullptr, "/x", 2);
         vorn_config_set_cache_dir(e.config, nullptr, 99);
       }},
      {"vorn_config_set_skel_dir",
       [](Env& e) {
         vorn_config_set_skel_dir(nullptr, "/x", 2);
         vorn_config_set_skel_dir(e.config, "", 0);
       }},
      {"vorn_config_set_backend",
       [](Env& e) {
         vorn_config_set_backend(nullptr, 1);
         vorn_config_set_backend(e.config, UINT32_MAX);
       }},
      {"vorn_config_set_threads",
       [](Env& e) {
         vorn_config_set_threads(nullptr, 4);
         vorn_config_set_threads(e.config, INT32_MIN);
       }},
      {"vorn_config_set_verify_weights",
       [](Env& e) {
         vorn_config_set_verify_weights(nullptr, 1);
         vorn_config_set_verify_weights(e.config, -1);
       }},

      // ---- frames
      {"vorn_frame_new", [](Env&) { vorn_frame_free(vorn_frame_new()); }},
      {"vorn_frame_free", [](Env&) { vorn_frame_free(nullptr); }},
      {"vorn_frame_set_pixels",
       [](Env& e) {
         uint8_t px[16] = {};
         EXPECT_FALSE(vorn_frame_set_pixels(nullptr, px, 16, 2, 2, 0, VORN_PIXEL_RGB, 1, 0));
         VornFrame* f = vorn_frame_new();
         EXPECT_FALSE(vorn_frame_set_pixels(f, px, 16, 2, 2, 0, 0, 1, 0));
         EXPECT_FALSE(vorn_frame_set_pixels(f, px, 16, 2, 2, 0, UINT32_MAX, 1, 0));
         EXPECT_FALSE(vorn_frame_set_pixels(f, px, 16, 2, 2, 0, VORN_PIXEL_RGB, UINT32_MAX, 1));
         EXPECT_FALSE(vorn_frame_set_pixels(f, px, 16, UINT32_MAX, 1, 0, VORN_PIXEL_GRAY, 1, 0));
         EXPECT_FALSE(vorn_frame_set_pixels(f, px, UINT64_MAX, 1, 3, UINT64_MAX, VORN_PIXEL_GRAY, 1, 0));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_EQ(vorn_frame_data_ptr(f), nullptr);
         vorn_frame_free(f);
         (void)e;
       }},
      {"vorn_frame_load_file",
       [](Env& e) {
         EXPECT_FALSE(vorn_frame_load_file(nullptr, "x.png", 5));
         VornFrame* f = vorn_frame_new();
         EXPECT_FALSE(vorn_frame_load_file(f, nullptr, 5));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_FALSE(vorn_frame_load_file(f, "/nonexistent/vorn/x.png", 23));
         EXPECT_EQ(vorn_frame_error_code(f), 4u);
         vorn_frame_free(f);
         (void)e;
       }},
      {"vorn_frame_load_encoded",
       [](Env& e) {
         uint8_t junk[16] = {1, 2, 3};
         EXPECT_FALSE(vorn_frame_load_encoded(nullptr, junk, 16));
         VornFrame* f = vorn_frame_new();
         EXPECT_FALSE(vorn_frame_load_encoded(f, nullptr, 16));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_FALSE(vorn_frame_load_encoded(f, junk, 7));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_FALSE(vorn_frame_load_encoded(f, junk, 8));
         EXPECT_EQ(vorn_frame_error_code(f), 4u);
         EXPECT_EQ(frame_message(f), "failed to decode encoded image bytes");
         vorn_frame_free(f);
         (void)e;
       }},
      {"vorn_frame_crop_into",
       [](Env& e) {
         EXPECT_FALSE(vorn_frame_crop_into(e.frame, nullptr, 0, 0, 1, 1));
         EXPECT_FALSE(vorn_frame_crop_into(nullptr, nullptr, 0, 0, 1, 1));
         VornFrame* f = vorn_frame_new();
         EXPECT_FALSE(vorn_frame_crop_into(nullptr, f, 0, 0, 1, 1));
         EXPECT_EQ(frame_message(f), "Source frame is empty or null");
         EXPECT_FALSE(vorn_frame_crop_into(e.frame, f, INT32_MAX, INT32_MIN, UINT32_MAX, UINT32_MAX));
         EXPECT_FALSE(vorn_frame_crop_into(e.frame, f, 2, 0, 1, 1));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_TRUE(vorn_frame_crop_into(e.frame, f, INT32_MIN, INT32_MIN, UINT32_MAX, UINT32_MAX));
         EXPECT_EQ(vorn_frame_width(f), 2u);
         vorn_frame_free(f);
       }},
      {"vorn_frame_width", [](Env&) { EXPECT_EQ(vorn_frame_width(nullptr), 0u); }},
      {"vorn_frame_height", [](Env&) { EXPECT_EQ(vorn_frame_height(nullptr), 0u); }},
      {"vorn_frame_format", [](Env&) { EXPECT_EQ(vorn_frame_format(nullptr), 0u); }},
      {"vorn_frame_stride", [](Env&) { EXPECT_EQ(vorn_frame_stride(nullptr), 0u); }},
      {"vorn_frame_data_ptr", [](Env&) { EXPECT_EQ(vorn_frame_data_ptr(nullptr), nullptr); }},
      {"vorn_frame_error_code", [](Env&) { EXPECT_EQ(vorn_frame_error_code(nullptr), 1u); }},
      {"vorn_frame_error_message_ptr", [](Env&) { EXPECT_STREQ(vorn_frame_error_message_ptr(nullptr), kNullFrame); }},
      {"vorn_frame_error_message_len", [](Env&) { EXPECT_EQ(vorn_frame_error_message_len(nullptr), 17u); }},

      // ---- sessions
      {"vorn_session_new", [](Env&) { vorn_session_free(vorn_session_new(nullptr)); }},
      {"vorn_session_free", [](Env&) { vorn_session_free(nullptr); }},
      SESSION_SETTER(vorn_session_set_backend, UINT32_MAX),
      SESSION_SETTER(vorn_session_set_subgraph, nullptr, SIZE_MAX),
      SESSION_SETTER(vorn_session_set_batch_size, UINT32_MAX),
      SESSION_SETTER(vorn_session_set_context_length, 0u),
      SESSION_SETTER(vorn_session_set_activation_fp16, -1),
      SESSION_SETTER(vorn_session_set_warmup, 2),
      SESSION_SETTER(vorn_session_set_resize_mode, UINT32_MAX),
      SESSION_SETTER(vorn_session_set_letterbox_pad, INT32_MIN),
      SESSION_SETTER(vorn_session_set_color_bgr, 9),
      SESSION_SETTER(vorn_session_set_normalization, NAN, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f),
      {"vorn_session_inspect",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_inspect(nullptr, "m.vorn", 6));
         EXPECT_FALSE(vorn_session_inspect(e.session, nullptr, 6));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
         EXPECT_EQ(session_message(e.session), "Empty model path");
       }},
      {"vorn_session_inspect_fd",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_inspect_fd(nullptr, 0, 0, 4096));
         EXPECT_FALSE(vorn_session_inspect_fd(e.session, -1, 0, 4096));
         EXPECT_EQ(session_message(e.session), "Invalid file descriptor or length");
         EXPECT_FALSE(vorn_session_inspect_fd(e.session, 0, UINT64_MAX, 511));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
       }},
      {"vorn_session_open",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_open(nullptr, "m.vorn", 6));
         EXPECT_FALSE(vorn_session_open(e.session, "", 0));
         EXPECT_EQ(session_message(e.session), "Empty model path");
         EXPECT_FALSE(vorn_session_open(e.session, "/nonexistent/vorn/m.vorn", 24));
         EXPECT_NE(vorn_session_error_code(e.session), 0u);
       }},
      {"vorn_session_open_fd",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_open_fd(nullptr, 0, 0, 4096));
         EXPECT_FALSE(vorn_session_open_fd(e.session, INT32_MIN, 0, 0));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
       }},
      {"vorn_session_check_backend",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_check_backend(nullptr, 0));
         EXPECT_FALSE(vorn_session_check_backend(e.session, UINT32_MAX));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
         EXPECT_EQ(session_message(e.session), "Call inspect or open before check_backend");
       }},
      {"vorn_session_unload",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_unload(nullptr));
         EXPECT_TRUE(vorn_session_unload(e.session));  // nothing to unload is fine
       }},
      {"vorn_session_reload",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_reload(nullptr));
         EXPECT_FALSE(vorn_session_reload(e.session));
         EXPECT_EQ(session_message(e.session), "Cannot reload a Session that was never opened");
       }},
      {"vorn_session_reset",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_reset(nullptr));
         EXPECT_TRUE(vorn_session_reset(e.session));
         EXPECT_EQ(vorn_session_error_code(e.session), 0u);
       }},
      {"vorn_session_cancel",
       [](Env& e) {
         vorn_session_cancel(nullptr);
         vorn_session_cancel(e.session);
         EXPECT_TRUE(vorn_session_reset(e.session));
       }},
      {"vorn_session_requested_backend",
       [](Env& e) {
         EXPECT_EQ(vorn_session_requested_backend(nullptr), 0u);
         (void)e;
       }},
      {"vorn_session_active_backend",
       [](Env& e) {
         EXPECT_EQ(vorn_session_active_backend(nullptr), 0u);
         EXPECT_EQ(vorn_session_active_backend(e.session), 0u);
       }},
      {"vorn_session_is_generative",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_is_generative(nullptr));
         EXPECT_FALSE(vorn_session_is_generative(e.session));
       }},
      {"vorn_session_estimated_memory_bytes",
       [](Env& e) {
         EXPECT_EQ(vorn_session_estimated_memory_bytes(nullptr), 0u);
         EXPECT_EQ(vorn_session_estimated_memory_bytes(e.session), 0u);
       }},
      {"vorn_session_subgraph_count",
       [](Env& e) {
         EXPECT_EQ(vorn_session_subgraph_count(nullptr), 0u);
         EXPECT_EQ(vorn_session_subgraph_count(e.session), 0u);
       }},
      {"vorn_session_subgraph_name_ptr",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_STREQ(vorn_session_subgraph_name_ptr(nullptr, i), "");
           EXPECT_STREQ(vorn_session_subgraph_name_ptr(e.session, i), "");
         }
       }},
      {"vorn_session_subgraph_name_len",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_EQ(vorn_session_subgraph_name_len(nullptr, i), 0u);
           EXPECT_EQ(vorn_session_subgraph_name_len(e.session, i), 0u);
         }
       }},
      TENSOR_GETTERS(input),
      TENSOR_GETTERS(output),
      {"vorn_session_has_meta",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_has_meta(nullptr, "task", 4));
         EXPECT_FALSE(vorn_session_has_meta(e.session, nullptr, 4));
         EXPECT_FALSE(vorn_session_has_meta(e.session, "task", 4));
       }},
      {"vorn_session_meta_str_ptr",
       [](Env& e) {
         EXPECT_STREQ(vorn_session_meta_str_ptr(nullptr, "task", 4), "");
         EXPECT_STREQ(vorn_session_meta_str_ptr(e.session, nullptr, 99), "");
       }},
      {"vorn_session_meta_str_len",
       [](Env& e) {
         EXPECT_EQ(vorn_session_meta_str_len(nullptr, "task", 4), 0u);
         EXPECT_EQ(vorn_session_meta_str_len(e.session, "task", 4), 0u);
       }},
      {"vorn_session_meta_i64",
       [](Env& e) {
         EXPECT_EQ(vorn_session_meta_i64(nullptr, "x", 1), 0);
         EXPECT_EQ(vorn_session_meta_i64(e.session, "x", 1), 0);
       }},
      {"vorn_session_meta_f64",
       [](Env& e) {
         EXPECT_EQ(vorn_session_meta_f64(nullptr, "x", 1), 0.0);
         EXPECT_EQ(vorn_session_meta_f64(e.session, "x", 1), 0.0);
       }},
      {"vorn_session_label_count",
       [](Env& e) {
         EXPECT_EQ(vorn_session_label_count(nullptr), 0u);
         EXPECT_EQ(vorn_session_label_count(e.session), 0u);
       }},
      {"vorn_session_label_ptr",
       [](Env& e) {
         for (uint64_t id : {uint64_t(0), uint64_t(1000), UINT64_MAX}) {
           EXPECT_STREQ(vorn_session_label_ptr(nullptr, id), "");
           EXPECT_STREQ(vorn_session_label_ptr(e.session, id), "");
         }
       }},
      {"vorn_session_label_len",
       [](Env& e) {
         EXPECT_EQ(vorn_session_label_len(nullptr, 0), 0u);
         EXPECT_EQ(vorn_session_label_len(e.session, UINT64_MAX), 0u);
       }},
      {"vorn_session_error_code", [](Env&) { EXPECT_EQ(vorn_session_error_code(nullptr), 1u); }},
      {"vorn_session_error_message_ptr",
       [](Env&) { EXPECT_STREQ(vorn_session_error_message_ptr(nullptr), kNullSession); }},
      {"vorn_session_error_message_len", [](Env&) { EXPECT_EQ(vorn_session_error_message_len(nullptr), 19u); }},
      {"vorn_session_run",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_run(nullptr, e.input, e.output));
         EXPECT_FALSE(vorn_session_run(e.session, nullptr, e.output));
         EXPECT_EQ(session_message(e.session), "Input and Output handles are required");
         EXPECT_FALSE(vorn_session_run(e.session, e.input, nullptr));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
         EXPECT_FALSE(vorn_session_run(e.session, e.input, e.output));
         EXPECT_EQ(session_message(e.session), "Session is not opened (or was unloaded)");
       }},
      {"vorn_session_start",
       [](Env& e) {
         EXPECT_FALSE(vorn_session_start(nullptr, e.input, e.output));
         EXPECT_FALSE(vorn_session_start(e.session, e.input, nullptr));
         EXPECT_EQ(session_message(e.session), "Input and Output handles are required");
         EXPECT_FALSE(vorn_session_start(e.session, e.input, e.output));
         EXPECT_EQ(vorn_session_error_code(e.session), 1u);
       }},
      {"vorn_session_next",
       [](Env& e) {
         EXPECT_EQ(vorn_session_next(nullptr, e.output), -1);
         EXPECT_EQ(vorn_session_next(e.session, nullptr), -1);
         EXPECT_EQ(vorn_session_next(e.session, e.output), -1);
         EXPECT_EQ(session_message(e.session), "No active generation stream; call start() first");
       }},

      // ---- inputs
      {"vorn_input_new", [](Env&) { vorn_input_free(vorn_input_new()); }},
      {"vorn_input_clear", [](Env& e) { vorn_input_clear(nullptr); vorn_input_clear(e.input); }},
      {"vorn_input_free", [](Env&) { vorn_input_free(nullptr); }},
      {"vorn_input_set_frame",
       [](Env& e) {
         vorn_input_set_frame(nullptr, e.frame);
         vorn_input_set_frame(e.input, nullptr);
       }},
      {"vorn_input_set_named_frame",
       [](Env& e) {
         vorn_input_set_named_frame(nullptr, "x", 1, e.frame);
         vorn_input_set_named_frame(e.input, nullptr, SIZE_MAX, nullptr);
       }},
      {"vorn_input_add_batch_frame",
       [](Env& e) {
         EXPECT_FALSE(vorn_input_add_batch_frame(nullptr, e.frame));
         EXPECT_FALSE(vorn_input_add_batch_frame(e.input, nullptr));
         vorn_input_clear(e.input);
         for (int i = 0; i < 64; ++i) EXPECT_TRUE(vorn_input_add_batch_frame(e.input, e.frame));
         EXPECT_FALSE(vorn_input_add_batch_frame(e.input, e.frame));
         vorn_input_clear(e.input);
       }},
      INPUT_TENSOR(f32, float),
      INPUT_TENSOR(i64, int64_t),
      INPUT_TENSOR(f16, uint16_t),
      INPUT_TENSOR(u8, uint8_t),
      {"vorn_input_set_prompt",
       [](Env& e) {
         vorn_input_set_prompt(nullptr, "x", 1);
         vorn_input_set_prompt(e.input, nullptr, SIZE_MAX);
       }},
      {"vorn_input_add_message",
       [](Env& e) {
         EXPECT_FALSE(vorn_input_add_message(nullptr, "user", 4, "x", 1));
         vorn_input_clear(e.input);
         for (int i = 0; i < 16; ++i) EXPECT_TRUE(vorn_input_add_message(e.input, nullptr, 3, nullptr, 3));
         EXPECT_FALSE(vorn_input_add_message(e.input, "user", 4, "x", 1));
         vorn_input_clear(e.input);
       }},
      {"vorn_input_add_image_message",
       [](Env& e) {
         EXPECT_FALSE(vorn_input_add_image_message(nullptr, "user", 4, e.frame, "x", 1));
         EXPECT_TRUE(vorn_input_add_image_message(e.input, "user", 4, nullptr, nullptr, 0));
         vorn_input_clear(e.input);
       }},
      INPUT_SETTER(vorn_input_set_max_tokens, UINT32_MAX),
      INPUT_SETTER(vorn_input_set_temperature, NAN),
      INPUT_SETTER(vorn_input_set_top_p, -1.0f),
      INPUT_SETTER(vorn_input_set_top_k, UINT32_MAX),
      INPUT_SETTER(vorn_input_set_min_p, INFINITY),
      INPUT_SETTER(vorn_input_set_repeat_penalty, 0.0f),
      INPUT_SETTER(vorn_input_set_seed, UINT64_MAX),
      INPUT_SETTER(vorn_input_set_amount_decimals, INT32_MIN),
      {"vorn_input_add_stop",
       [](Env& e) {
         EXPECT_FALSE(vorn_input_add_stop(nullptr, "x", 1));
         EXPECT_FALSE(vorn_input_add_stop(e.input, nullptr, 5));
         EXPECT_FALSE(vorn_input_add_stop(e.input, "x", 0));
       }},
      {"vorn_input_set_image_tiled",
       [](Env& e) {
         vorn_input_set_image_tiled(nullptr, 1, 0);
         vorn_input_set_image_tiled(e.input, -1, UINT32_MAX);
       }},
      {"vorn_input_set_json_schema",
       [](Env& e) {
         vorn_input_set_json_schema(nullptr, "{}", 2);
         vorn_input_set_json_schema(e.input, nullptr, SIZE_MAX);
       }},

      // ---- outputs
      {"vorn_output_new", [](Env&) { vorn_output_free(vorn_output_new()); }},
      {"vorn_output_free", [](Env&) { vorn_output_free(nullptr); }},
      OUTPUT_SCALAR(vorn_output_latency_ms, 0.0),
      OUTPUT_SCALAR(vorn_output_backend_used, 0u),
      OUTPUT_SCALAR(vorn_output_scale_x, 1.0f),
      OUTPUT_SCALAR(vorn_output_scale_y, 1.0f),
      OUTPUT_SCALAR(vorn_output_pad_x, 0.0f),
      OUTPUT_SCALAR(vorn_output_pad_y, 0.0f),
      OUTPUT_SCALAR(vorn_output_tensor_count, 0u),
      {"vorn_output_index_of",
       [](Env& e) {
         EXPECT_EQ(vorn_output_index_of(nullptr, "x", 1), -1);
         EXPECT_EQ(vorn_output_index_of(e.output, nullptr, 4), -1);
         EXPECT_EQ(vorn_output_index_of(e.output, "logits", 6), -1);
       }},
      OUTPUT_SLOT_ZERO(vorn_output_dtype),
      OUTPUT_SLOT_ZERO(vorn_output_rank),
      OUTPUT_SLOT_ZERO(vorn_output_elem_count),
      OUTPUT_SLOT_ZERO(vorn_output_f32_len),
      {"vorn_output_dim",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           for (int32_t a : {-1, 0, 6, INT32_MAX}) {
             EXPECT_EQ(vorn_output_dim(nullptr, i, a), -1);
             EXPECT_EQ(vorn_output_dim(e.output, i, a), -1);
           }
         }
       }},
      OUTPUT_SLOT_NULLPTR(vorn_output_f32_ptr),
      OUTPUT_SLOT_NULLPTR(vorn_output_i64_ptr),
      OUTPUT_SLOT_NULLPTR(vorn_output_f16_ptr),
      OUTPUT_SLOT_NULLPTR(vorn_output_u8_ptr),
      {"vorn_output_copy_f32",
       [](Env& e) {
         float dst[4] = {7, 7, 7, 7};
         EXPECT_EQ(vorn_output_copy_f32(nullptr, 0, dst, 4), 0u);
         EXPECT_EQ(vorn_output_copy_f32(e.output, 0, nullptr, 4), 0u);
         EXPECT_EQ(vorn_output_copy_f32(e.output, -1, dst, UINT64_MAX), 0u);
         EXPECT_EQ(vorn_output_copy_f32(e.output, 0, dst, 0), 0u);
         EXPECT_EQ(dst[0], 7.0f);
       }},
      {"vorn_output_copy_i64",
       [](Env& e) {
         int64_t dst[4] = {7, 7, 7, 7};
         EXPECT_EQ(vorn_output_copy_i64(nullptr, 0, dst, 4), 0u);
         EXPECT_EQ(vorn_output_copy_i64(e.output, INT32_MAX, dst, 4), 0u);
         EXPECT_EQ(dst[0], 7);
       }},
      {"vorn_output_compute_top_k",
       [](Env& e) {
         EXPECT_EQ(vorn_output_compute_top_k(nullptr, 0, 5, 1), 0u);
         for (int32_t k : {INT32_MIN, -1, 0, 1, 1000}) EXPECT_EQ(vorn_output_compute_top_k(e.output, 0, k, 0), 0u);
         EXPECT_EQ(vorn_output_compute_top_k(e.output, -1, 5, 0), 0u);
       }},
      {"vorn_output_top_class_id",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_EQ(vorn_output_top_class_id(nullptr, i), UINT32_MAX);
           EXPECT_EQ(vorn_output_top_class_id(e.output, i), UINT32_MAX);
         }
       }},
      OUTPUT_FLOAT_AT(vorn_output_top_score),
      {"vorn_output_top_label_ptr",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_STREQ(vorn_output_top_label_ptr(nullptr, i), "");
           EXPECT_STREQ(vorn_output_top_label_ptr(e.output, i), "");
         }
       }},
      OUTPUT_SLOT_ZERO(vorn_output_top_label_len),
      {"vorn_output_decode_boxes",
       [](Env& e) {
         EXPECT_EQ(vorn_output_decode_boxes(nullptr, 10, 0.5f, 0.5f), 0);
         for (int32_t m : {INT32_MIN, -1, 0, 1, 1000}) EXPECT_EQ(vorn_output_decode_boxes(e.output, m, NAN, NAN), 0);
       }},
      OUTPUT_FLOAT_AT(vorn_output_box_x1),
      OUTPUT_FLOAT_AT(vorn_output_box_y1),
      OUTPUT_FLOAT_AT(vorn_output_box_x2),
      OUTPUT_FLOAT_AT(vorn_output_box_y2),
      OUTPUT_FLOAT_AT(vorn_output_box_score),
      {"vorn_output_box_class_id",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_EQ(vorn_output_box_class_id(nullptr, i), UINT32_MAX);
           EXPECT_EQ(vorn_output_box_class_id(e.output, i), UINT32_MAX);
         }
       }},
      {"vorn_output_box_label_ptr",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_STREQ(vorn_output_box_label_ptr(nullptr, i), "");
           EXPECT_STREQ(vorn_output_box_label_ptr(e.output, i), "");
         }
       }},
      OUTPUT_SLOT_ZERO(vorn_output_box_label_len),
      OUTPUT_SLOT_ZERO(vorn_output_box_landmark_count),
      {"vorn_output_box_landmark_x",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_EQ(vorn_output_box_landmark_x(nullptr, i, 0), 0.0f);
           EXPECT_EQ(vorn_output_box_landmark_x(e.output, 0, i), 0.0f);
         }
       }},
      {"vorn_output_box_landmark_y",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_EQ(vorn_output_box_landmark_y(nullptr, i, 0), 0.0f);
           EXPECT_EQ(vorn_output_box_landmark_y(e.output, 0, i), 0.0f);
         }
       }},
      {"vorn_output_normalize_l2",
       [](Env& e) {
         for (int32_t i : kBadIndexes) {
           EXPECT_FALSE(vorn_output_normalize_l2(nullptr, i));
           EXPECT_FALSE(vorn_output_normalize_l2(e.output, i));
         }
       }},
      {"vorn_output_cosine_similarity",
       [](Env& e) {
         EXPECT_EQ(vorn_output_cosine_similarity(nullptr, 0, nullptr, 0), 0.0f);
         EXPECT_EQ(vorn_output_cosine_similarity(e.output, 0, nullptr, 0), 0.0f);
         EXPECT_EQ(vorn_output_cosine_similarity(e.output, -1, e.output, INT32_MAX), 0.0f);
       }},
      {"vorn_output_to_frame",
       [](Env& e) {
         EXPECT_FALSE(vorn_output_to_frame(e.output, 0, nullptr, 1, 0));
         VornFrame* f = vorn_frame_new();
         EXPECT_FALSE(vorn_output_to_frame(nullptr, 0, f, 255, 0));
         EXPECT_EQ(vorn_frame_error_code(f), 1u);
         EXPECT_EQ(frame_message(f), "Invalid Output handle or tensor_idx");
         EXPECT_FALSE(vorn_output_to_frame(e.output, -1, f, 255, 0));
         EXPECT_EQ(frame_message(f), "Invalid Output handle or tensor_idx");
         vorn_frame_free(f);
       }},
      {"vorn_output_text_ptr",
       [](Env& e) {
         EXPECT_TRUE(empty_text(vorn_output_text_ptr(nullptr), 0));
         EXPECT_TRUE(empty_text(vorn_output_text_ptr(e.output), 0));
       }},
      OUTPUT_SCALAR(vorn_output_text_len, 0u),
      {"vorn_output_full_text_ptr",
       [](Env& e) {
         EXPECT_STREQ(vorn_output_full_text_ptr(nullptr), "");
         EXPECT_STREQ(vorn_output_full_text_ptr(e.output), "");
       }},
      OUTPUT_SCALAR(vorn_output_full_text_len, 0u),
      OUTPUT_SCALAR(vorn_output_finish_reason, 0u),
      OUTPUT_SCALAR(vorn_output_prompt_tokens, 0u),
      OUTPUT_SCALAR(vorn_output_generated_tokens, 0u),
      OUTPUT_SCALAR(vorn_output_cached_prompt_tokens, 0u),
  };
  return table;
}

// The exported names as the public header declares them.
std::set<std::string> header_functions() {
  std::ifstream in(VORN_SOURCE_DIR "/include/vorn.h");
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  std::set<std::string> names;
  std::regex decl(R"(VORN_API[^;(]*?\b(vorn_[a-z0-9_]+)\s*\()");
  for (auto it = std::sregex_iterator(all.begin(), all.end(), decl); it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1].str());
  }
  return names;
}

TEST(ExportsSweepTest, TableCoversThePublicHeader) {
  std::set<std::string> declared = header_functions();
  ASSERT_GT(declared.size(), 150u);
  for (const std::string& name : declared) EXPECT_TRUE(sweep_table().count(name)) << "no sweep row for " << name;
  for (const auto& [name, check] : sweep_table()) EXPECT_TRUE(declared.count(name)) << "not in vorn.h: " << name;
}

TEST(ExportsSweepTest, NullHandlesAndOutOfRangeArguments) {
  Env e{vorn_config_new(), vorn_frame_new(), nullptr, vorn_input_new(), vorn_output_new()};
  e.session = vorn_session_new(e.config);
  uint8_t px[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  ASSERT_TRUE(vorn_frame_set_pixels(e.frame, px, 12, 2, 2, 0, VORN_PIXEL_RGB, 1, 1));
  for (const auto& [name, check] : sweep_table()) {
    SCOPED_TRACE(name);
    check(e);
  }
  // The live handles are still intact afterwards.
  EXPECT_EQ(vorn_frame_width(e.frame), 2u);
  EXPECT_EQ(vorn_frame_data_ptr(e.frame)[11], 12);
  vorn_session_free(e.session);
  vorn_output_free(e.output);
  vorn_input_free(e.input);
  vorn_frame_free(e.frame);
  vorn_config_free(e.config);
}

}  // namespace
