#include "session/input.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/text.h"

namespace vorn {

uint32_t input_element_size(uint32_t dtype) {
  switch (dtype) {
    case VORN_DTYPE_F32: return 4;
    case VORN_DTYPE_I64: return 8;
    case VORN_DTYPE_F16: return 2;
    case VORN_DTYPE_U8: return 1;
    default: return 0;
  }
}

void input_defaults(Input* input) {
  input->max_tokens = 64;
  input->temperature = 0.0f;
  input->top_p = 1.0f;
  input->top_k = 0;
  input->min_p = 0.0f;
  input->repeat_penalty = 1.0f;
  input->seed = 0;
  input->tiled = 0;
  input->tile_size = 512;
  input->amount_decimals = -1;
}

void input_bind_frame(Input* input, const Frame* frame) {
  input->frame_bound = frame != nullptr ? 1 : 0;
  input->frame_by_name = 0;
  input->frame_name[0] = 0;
  input->frame_name_len = 0;
  input->frame = frame;
  input->batch_count = frame != nullptr ? 1 : 0;
  input->batch[0] = frame;
}

namespace {

void slot_release(InputTensor* slot) {
  if (slot->owned) std::free(const_cast<void*>(slot->data));
  slot->owned = 0;
  slot->data = nullptr;
}

// The slot a binding goes to: the last one holding the same model input,
// else the next unused one; -1 when all are taken.
int find_slot(const Input* input, uint32_t index, bool by_name, TextView name) {
  int found = -1;
  for (uint64_t i = 0; i < input->tensor_count && i < VORN_MAX_INPUT_TENSORS; ++i) {
    const InputTensor& t = input->tensors[i];
    if (!t.used || (t.by_name != 0) != by_name) continue;
    if (by_name ? name.view() == std::string_view(t.name, t.name_len) : t.index == index) found = int(i);
  }
  if (found >= 0) return found;
  return input->tensor_count < VORN_MAX_INPUT_TENSORS ? int(input->tensor_count) : -1;
}

}  // namespace

bool input_bind_tensor(Input* input, uint32_t index, bool by_name, const char* name,
                       size_t name_len, uint32_t dtype, const void* data, uint64_t count,
                       bool copy) {
  if ((!by_name && index >= VORN_MAX_INPUT_TENSORS) || data == nullptr || count == 0) return false;
  uint64_t bytes = 0;
  // No object is larger than PTRDIFF_MAX bytes, so a count beyond it cannot
  // describe the caller's memory; refusing it keeps the byte size the run
  // relies on honest and never asks malloc for the impossible.
  if (__builtin_mul_overflow(count, uint64_t(input_element_size(dtype)), &bytes) ||
      bytes > uint64_t(PTRDIFF_MAX)) {
    return false;
  }
  // Names are compared as they are stored: cut to the field's capacity.
  TextView full = text_view(name, name_len);
  TextView key{full.ptr, fixed_length(full, VORN_MAX_NAME_LEN + 1)};
  int at = find_slot(input, index, by_name, key);
  if (at < 0) return false;
  InputTensor* slot = &input->tensors[at];
  bool fresh = uint64_t(at) == input->tensor_count;
  slot_release(slot);
  const void* stored = data;
  if (copy) {
    void* dup = std::malloc(bytes);
    if (dup == nullptr) {
      slot->used = 0;
      return false;
    }
    std::memcpy(dup, data, bytes);
    stored = dup;
  }
  slot->used = 1;
  slot->by_name = by_name ? 1 : 0;
  if (by_name) {
    slot->name_len = copy_to_fixed(key, slot->name);
  } else {
    slot->name[0] = 0;
    slot->name_len = 0;
  }
  slot->index = by_name ? 0 : index;
  slot->dtype = dtype;
  slot->count = count;
  slot->bytes = bytes;
  slot->owned = copy ? 1 : 0;
  slot->data = stored;
  if (fresh) ++input->tensor_count;
  return true;
}

bool input_add_message(Input* input, const char* role, size_t role_len, const char* content,
                       size_t content_len, const Frame* frame) {
  if (input->message_count >= VORN_MAX_MESSAGES) return false;
  TextView text = text_view(content, content_len);
  if (text.len == SIZE_MAX) return false;
  auto* copy = static_cast<char*>(std::malloc(text.len + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, text.ptr, text.len);
  copy[text.len] = 0;
  InputMessage& m = input->messages[input->message_count++];
  m.role_len = copy_to_fixed(text_view(role, role_len), m.role);
  m.content = copy;
  m.content_len = text.len;
  m.frame = frame;
  input->prompt_len = copy_to_fixed(text, input->prompt);
  if (frame != nullptr && !input->frame_bound) input_bind_frame(input, frame);
  return true;
}

bool input_add_stop(Input* input, const char* text, size_t len) {
  TextView stop = text_view(text, len);
  if (stop.len == 0 || input->stop_count >= VORN_MAX_STOPS) return false;
  input->stop_lens[input->stop_count] = copy_to_fixed(stop, input->stops[input->stop_count]);
  ++input->stop_count;
  return true;
}

void input_clear(Input* input) {
  for (InputTensor& slot : input->tensors) {
    slot_release(&slot);
    slot = InputTensor{};
  }
  input->tensor_count = 0;
  for (uint32_t i = 0; i < input->message_count && i < VORN_MAX_MESSAGES; ++i) {
    std::free(input->messages[i].content);
    input->messages[i] = InputMessage{};
  }
  input->message_count = 0;
  input->prompt[0] = 0;
  input->prompt_len = 0;
  input->stop_count = 0;
  for (uint64_t& len : input->stop_lens) len = 0;
  input->json_schema[0] = 0;
  input->json_schema_len = 0;
  input->json_schema_cut = 0;
  input_bind_frame(input, nullptr);
  for (const Frame*& f : input->batch) f = nullptr;
}

}  // namespace vorn
