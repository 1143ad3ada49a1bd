// The exported functions of the input handle.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/input.h"
#include "session/text.h"

using namespace vorn;

extern "C" {

VORN_API VornInput* vorn_input_new(void) {
  auto* input = static_cast<Input*>(std::calloc(1, sizeof(Input)));
  if (input != nullptr) input_defaults(input);
  return input;
}

VORN_API void vorn_input_clear(VornInput* input) {
  if (input != nullptr) input_clear(input);
}

VORN_API void vorn_input_free(VornInput* input) {
  if (input == nullptr) return;
  input_clear(input);
  std::free(input);
}

VORN_API void vorn_input_set_frame(VornInput* input, const VornFrame* frame) {
  if (input != nullptr) input_bind_frame(input, frame);
}

VORN_API void vorn_input_set_named_frame(VornInput* input, const char* name, size_t len,
                                         const VornFrame* frame) {
  if (input == nullptr) return;
  input_bind_frame(input, frame);
  input->frame_by_name = 1;
  input->frame_name_len = copy_to_fixed(text_view(name, len), input->frame_name);
}

VORN_API bool vorn_input_add_batch_frame(VornInput* input, const VornFrame* frame) {
  if (input == nullptr || frame == nullptr || input->batch_count >= VORN_MAX_BATCH_FRAMES) return false;
  if (input->batch_count == 0) {
    input->frame_bound = 1;
    input->frame = frame;
  }
  input->batch[input->batch_count++] = frame;
  return true;
}

#define VORN_INPUT_SETTERS(suffix, type, dtype)                                                    \
  VORN_API bool vorn_input_set_##suffix(VornInput* input, uint32_t index, const type* data,        \
                                        uint64_t count, int copy) {                                \
    if (input == nullptr) return false;                                                            \
    return input_bind_tensor(input, index, false, nullptr, 0, dtype, data, count, copy != 0);      \
  }                                                                                                \
  VORN_API bool vorn_input_set_named_##suffix(VornInput* input, const char* name, size_t len,      \
                                              const type* data, uint64_t count, int copy) {        \
    if (input == nullptr) return false;                                                            \
    return input_bind_tensor(input, 0, true, name, len, dtype, data, count, copy != 0);            \
  }

VORN_INPUT_SETTERS(f32, float, VORN_DTYPE_F32)
VORN_INPUT_SETTERS(i64, int64_t, VORN_DTYPE_I64)
VORN_INPUT_SETTERS(f16, uint16_t, VORN_DTYPE_F16)
VORN_INPUT_SETTERS(u8, uint8_t, VORN_DTYPE_U8)
#undef VORN_INPUT_SETTERS

VORN_API void vorn_input_set_prompt(VornInput* input, const char* text, size_t len) {
  if (input != nullptr) input->prompt_len = copy_to_fixed(text_view(text, len), input->prompt);
}

VORN_API bool vorn_input_add_message(VornInput* input, const char* role, size_t role_len,
                                     const char* content, size_t content_len) {
  if (input == nullptr) return false;
  return input_add_message(input, role, role_len, content, content_len, nullptr);
}

VORN_API bool vorn_input_add_image_message(VornInput* input, const char* role, size_t role_len,
                                           const VornFrame* frame, const char* content,
                                           size_t content_len) {
  if (input == nullptr) return false;
  return input_add_message(input, role, role_len, content, content_len, frame);
}

VORN_API void vorn_input_set_max_tokens(VornInput* input, uint32_t v) { if (input) input->max_tokens = v; }
VORN_API void vorn_input_set_temperature(VornInput* input, float v) { if (input) input->temperature = v; }
VORN_API void vorn_input_set_top_p(VornInput* input, float v) { if (input) input->top_p = v; }
VORN_API void vorn_input_set_top_k(VornInput* input, uint32_t v) { if (input) input->top_k = v; }
VORN_API void vorn_input_set_min_p(VornInput* input, float v) { if (input) input->min_p = v; }
VORN_API void vorn_input_set_repeat_penalty(VornInput* input, float v) { if (input) input->repeat_penalty = v; }
VORN_API void vorn_input_set_seed(VornInput* input, uint64_t v) { if (input) input->seed = v; }

VORN_API bool vorn_input_add_stop(VornInput* input, const char* text, size_t len) {
  if (input == nullptr) return false;
  return input_add_stop(input, text, len);
}

VORN_API void vorn_input_set_image_tiled(VornInput* input, int tiled, uint32_t tile_size) {
  if (input == nullptr) return;
  input->tiled = tiled != 0 ? 1 : 0;
  input->tile_size = tile_size;
}

VORN_API void vorn_input_set_json_schema(VornInput* input, const char* text, size_t len) {
  if (input == nullptr) return;
  const TextView view = text_view(text, len);
  input->json_schema_len = copy_to_fixed(view, input->json_schema);
  input->json_schema_cut = view.len > VORN_MAX_SCHEMA_LEN ? 1 : 0;
}

VORN_API void vorn_input_set_amount_decimals(VornInput* input, int32_t decimals) {
  if (input != nullptr) input->amount_decimals = decimals;
}

}  // extern "C"
