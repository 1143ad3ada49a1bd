#include "session/output.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/atomics.h"
#include "image/postprocess.h"
#include "session/input_convert.h"
#include "session/text.h"

namespace vorn {

OutputOrigin* output_origin_new(ErrorRecord* record) {
  auto* origin = static_cast<OutputOrigin*>(std::calloc(1, sizeof(OutputOrigin)));
  if (origin == nullptr) return nullptr;
  origin->refs = 1;
  origin->record = record;
  return origin;
}

void output_origin_retain(OutputOrigin* origin) {
  if (origin != nullptr) atomic_fetch_add_u32(&origin->refs, 1, 0);
}

void output_origin_release(OutputOrigin* origin) {
  if (origin == nullptr) return;
  if (atomic_fetch_sub_u32(&origin->refs, 1, 2) != 1) return;
  atomic_fence(1);
  std::free(origin);
}

void output_origin_detach(OutputOrigin* origin) {
  if (origin == nullptr) return;
  __atomic_store_n(&origin->record, nullptr, __ATOMIC_RELEASE);
  output_origin_release(origin);
}

bool output_origin_report(OutputOrigin* origin, uint32_t code, const char* message) {
  if (origin == nullptr) return false;
  ErrorRecord* record = __atomic_load_n(&origin->record, __ATOMIC_ACQUIRE);
  if (record == nullptr) return false;
  error_set(record, code, message);
  return true;
}

Output* output_new() {
  auto* output = static_cast<Output*>(std::calloc(1, sizeof(Output)));
  if (output == nullptr) return nullptr;
  output->scale_x = output->scale_y = 1.0f;
  return output;
}

void output_free(Output* output) {
  if (output == nullptr) return;
  output_reset(output);
  output_origin_release(output->origin);
  std::free(output);
}

static void free_typed_copies(OutputTensor& t) {
  std::free(t.i64);
  std::free(t.f16);
  std::free(t.u8);
  t.i64 = nullptr;
  t.f16 = nullptr;
  t.u8 = nullptr;
}

void output_clear(Output* output) {
  if (output == nullptr) return;
  for (OutputTensor& t : output->tensors) free_typed_copies(t);
  label_blob_release(output->label_blob);
  output->label_blob = nullptr;
  output->label_bytes = nullptr;
  output->label_length = 0;
  output->label_count = 0;
  std::free(output->text);
  std::free(output->full_text);
  output->text = nullptr;
  output->text_len = 0;
  output->full_text = nullptr;
  output->full_text_len = 0;
  output->top_k_count = 0;
  output->box_count = 0;
  output->finish_reason = 0;
  output->prompt_tokens = 0;
  output->generated_tokens = 0;
  output->cached_prompt_tokens = 0;
}

void output_reset(Output* output) {
  if (output == nullptr) return;
  output_clear(output);
  for (OutputTensor& t : output->tensors) {
    std::free(t.f32);
    std::memset(&t, 0, sizeof t);
  }
  output->tensor_count = 0;
}

void output_set_origin(Output* output, OutputOrigin* origin) {
  if (output == nullptr || output->origin == origin) return;
  output_origin_retain(origin);
  output_origin_release(output->origin);
  output->origin = origin;
}

void output_set_labels(Output* output, LabelBlob* blob) {
  if (output == nullptr) return;
  label_blob_retain(blob);
  label_blob_release(output->label_blob);
  output->label_blob = blob;
  output->label_bytes = blob != nullptr ? blob->bytes : nullptr;
  output->label_length = blob != nullptr ? blob->length : 0;
  output->label_count = blob != nullptr ? blob->count : 0;
}

void output_set_model_texts(Output* output, bool corner_boxes, const char* decode,
                            size_t decode_len, const char* task, size_t task_len) {
  if (output == nullptr) return;
  output->corner_boxes = corner_boxes ? 1 : 0;
  output->decode_len = copy_to_fixed(text_view(decode, decode_len), output->decode);
  output->task_len = copy_to_fixed(text_view(task, task_len), output->task);
}

float* output_prepare_tensor(Output* output, uint32_t slot, const char* name, size_t name_len,
                             uint32_t dtype, uint32_t rank, const uint64_t* dims, uint64_t count) {
  if (output == nullptr || slot >= kOutputSlots || rank > kOutputMaxRank) return nullptr;
  if (rank > 0 && dims == nullptr) return nullptr;
  OutputTensor& t = output->tensors[slot];
  free_typed_copies(t);
  uint64_t need = count > 0 ? count : 1;
  if (t.f32 == nullptr || t.capacity < need) {
    std::free(t.f32);
    t.f32 = nullptr;
    t.capacity = 0;
    t.count = 0;
    if (need > SIZE_MAX / sizeof(float)) return nullptr;
    t.f32 = static_cast<float*>(std::calloc(size_t(need), sizeof(float)));
    if (t.f32 == nullptr) return nullptr;
    t.capacity = need;
  }
  t.name_len = copy_to_fixed(text_view(name, name_len), t.name);
  t.dtype = dtype;
  t.rank = rank;
  std::memset(t.dims, 0, sizeof t.dims);
  for (uint32_t i = 0; i < rank; ++i) t.dims[i] = dims[i];
  t.count = count;
  return t.f32;
}

void output_make_typed_copies(Output* output) {
  if (output == nullptr) return;
  uint64_t slots = output->tensor_count < kOutputSlots ? output->tensor_count : kOutputSlots;
  for (uint64_t j = 0; j < slots; ++j) {
    OutputTensor& t = output->tensors[j];
    uint64_t c = t.count < t.capacity ? t.count : t.capacity;
    if (t.f32 == nullptr || c == 0) continue;
    const float* v = t.f32;
    if (t.dtype == VORN_DTYPE_I64 && c <= SIZE_MAX / sizeof(int64_t)) {
      std::free(t.i64);
      t.i64 = static_cast<int64_t*>(std::malloc(size_t(c) * sizeof(int64_t)));
      if (t.i64 != nullptr)
        for (uint64_t i = 0; i < c; ++i) t.i64[i] = f32_to_i64_trunc(v[i]);
    } else if (t.dtype == VORN_DTYPE_F16 && c <= SIZE_MAX / sizeof(uint16_t)) {
      std::free(t.f16);
      t.f16 = static_cast<uint16_t*>(std::malloc(size_t(c) * sizeof(uint16_t)));
      if (t.f16 != nullptr)
        for (uint64_t i = 0; i < c; ++i) t.f16[i] = f32_to_f16(v[i]);
    } else if (t.dtype == VORN_DTYPE_U8) {
      std::free(t.u8);
      t.u8 = static_cast<uint8_t*>(std::malloc(size_t(c)));
      if (t.u8 != nullptr)
        for (uint64_t i = 0; i < c; ++i) t.u8[i] = f32_to_u8_trunc(v[i]);
    }
  }
}

static bool set_owned_text(char*& field, uint64_t& field_len, const char* text, size_t len) {
  std::free(field);
  field = nullptr;
  field_len = 0;
  if (text == nullptr || len == 0) return true;
  if (len >= SIZE_MAX) return false;
  field = static_cast<char*>(std::malloc(len + 1));
  if (field == nullptr) return false;
  std::memcpy(field, text, len);
  field[len] = '\0';
  field_len = len;
  return true;
}

bool output_set_text(Output* output, const char* text, size_t len) {
  if (output == nullptr) return false;
  return set_owned_text(output->text, output->text_len, text, len);
}

bool output_set_full_text(Output* output, const char* text, size_t len) {
  if (output == nullptr) return false;
  return set_owned_text(output->full_text, output->full_text_len, text, len);
}

}  // namespace vorn
