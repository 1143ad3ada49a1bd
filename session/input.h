// The input handle: everything one run needs, stored as given; the run and
// generation paths validate and consume it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "session/frame.h"
#include "vorn.h"

namespace vorn {

struct InputTensor {
  uint8_t used;
  uint8_t by_name;
  char name[VORN_MAX_NAME_LEN + 1];
  uint64_t name_len;
  uint32_t index;  // model input index; 0 for a binding by name
  uint32_t dtype;  // VornDType: F32, I64, F16 or U8
  uint64_t count;  // elements
  uint64_t bytes;  // count x element size
  uint8_t owned;   // data is a private copy freed by the input
  const void* data;
};

struct InputMessage {
  char role[VORN_MAX_ROLE_LEN + 1];
  uint64_t role_len;
  char* content;  // malloc'd, NUL-terminated
  uint64_t content_len;
  const Frame* frame;  // not owned
};

}  // namespace vorn

struct VornInput {
  // Image binding.
  uint8_t frame_bound;
  uint8_t frame_by_name;
  char frame_name[VORN_MAX_NAME_LEN + 1];
  uint64_t frame_name_len;
  const vorn::Frame* frame;
  uint64_t batch_count;
  const vorn::Frame* batch[VORN_MAX_BATCH_FRAMES];
  // Raw tensors.
  uint64_t tensor_count;
  vorn::InputTensor tensors[VORN_MAX_INPUT_TENSORS];
  // Generation.
  char prompt[VORN_MAX_PROMPT_LEN + 1];
  uint64_t prompt_len;
  uint32_t message_count;
  vorn::InputMessage messages[VORN_MAX_MESSAGES];
  uint32_t max_tokens;
  float temperature;
  float top_p;
  uint32_t top_k;
  float min_p;
  float repeat_penalty;
  uint64_t seed;
  uint64_t stop_count;
  char stops[VORN_MAX_STOPS][VORN_MAX_STOP_LEN + 1];
  uint64_t stop_lens[VORN_MAX_STOPS];
  uint8_t tiled;
  uint32_t tile_size;
  char json_schema[VORN_MAX_SCHEMA_LEN + 1];
  uint64_t json_schema_len;
  uint8_t json_schema_cut;  // the caller's schema was longer and was cut
  int32_t amount_decimals;  // -1: no amount constraint
};

namespace vorn {

using Input = ::VornInput;

// The generation settings of a new or cleared input.
void input_defaults(Input* input);
// Binds one frame as the image input (null unbinds), by position.
void input_bind_frame(Input* input, const Frame* frame);

// Size in bytes of one element of a bound tensor type; 0 for other types.
uint32_t input_element_size(uint32_t dtype);

bool input_bind_tensor(Input* input, uint32_t index, bool by_name, const char* name,
                       size_t name_len, uint32_t dtype, const void* data, uint64_t count,
                       bool copy);
bool input_add_message(Input* input, const char* role, size_t role_len, const char* content,
                       size_t content_len, const Frame* frame);
bool input_add_stop(Input* input, const char* text, size_t len);
void input_clear(Input* input);

}  // namespace vorn
