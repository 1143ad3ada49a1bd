// The output handle: creation, the fields a run filled, its tensors and the
// generated texts. Accessors never fail: a null handle or an index out of
// range reads a neutral value.
#include <cstdint>
#include <cstring>

#include "session/output.h"
#include "session/output_access.h"
#include "session/text.h"
#include "vorn.h"

using namespace vorn;

namespace {

const char* text_or_empty(const char* text) { return text != nullptr ? text : empty_text(); }

template <typename T>
uint64_t copy_values(const T* source, uint64_t count, T* destination, uint64_t capacity) {
  if (source == nullptr || destination == nullptr) return 0;
  uint64_t n = capacity < count ? capacity : count;
  if (n > 0) std::memcpy(destination, source, size_t(n) * sizeof(T));
  return n;
}

}  // namespace

extern "C" {

VORN_API VornOutput* vorn_output_new(void) { return output_new(); }
VORN_API void vorn_output_free(VornOutput* output) { output_free(output); }

VORN_API double vorn_output_latency_ms(const VornOutput* o) { return o ? o->latency_ms : 0.0; }
VORN_API VornBackendKind vorn_output_backend_used(const VornOutput* o) {
  return o ? o->backend_used : 0;
}
VORN_API float vorn_output_scale_x(const VornOutput* o) { return o ? o->scale_x : 1.0f; }
VORN_API float vorn_output_scale_y(const VornOutput* o) { return o ? o->scale_y : 1.0f; }
VORN_API float vorn_output_pad_x(const VornOutput* o) { return o ? o->pad_x : 0.0f; }
VORN_API float vorn_output_pad_y(const VornOutput* o) { return o ? o->pad_y : 0.0f; }

VORN_API uint32_t vorn_output_tensor_count(const VornOutput* o) {
  if (o == nullptr) return 0;
  return o->tensor_count < kOutputSlots ? uint32_t(o->tensor_count) : kOutputSlots;
}

VORN_API int32_t vorn_output_index_of(const VornOutput* o, const char* name, size_t len) {
  if (o == nullptr) return -1;
  std::string_view wanted = text_view(name, len).view();
  uint32_t n = vorn_output_tensor_count(o);
  for (uint32_t i = 0; i < n; ++i) {
    const OutputTensor& t = o->tensors[i];
    if (std::string_view(t.name, size_t(t.name_len)) == wanted) return int32_t(i);
  }
  return -1;
}

VORN_API VornDType vorn_output_dtype(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->dtype : 0;
}
VORN_API uint32_t vorn_output_rank(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->rank : 0;
}
VORN_API uint64_t vorn_output_elem_count(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->count : 0;
}
VORN_API uint64_t vorn_output_f32_len(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? output_view(*t).count : 0;
}
VORN_API int64_t vorn_output_dim(const VornOutput* o, int32_t slot, int32_t axis) {
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr || axis < 0 || uint32_t(axis) >= t->rank || uint32_t(axis) >= kOutputMaxRank)
    return -1;
  return int64_t(t->dims[axis]);
}

VORN_API const float* vorn_output_f32_ptr(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->f32 : nullptr;
}
VORN_API const int64_t* vorn_output_i64_ptr(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->i64 : nullptr;
}
VORN_API const uint16_t* vorn_output_f16_ptr(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->f16 : nullptr;
}
VORN_API const uint8_t* vorn_output_u8_ptr(const VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  return t ? t->u8 : nullptr;
}

VORN_API uint64_t vorn_output_copy_f32(const VornOutput* o, int32_t slot, float* destination,
                                       uint64_t capacity) {
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr) return 0;
  TensorView v = output_view(*t);
  return copy_values(v.data, v.count, destination, capacity);
}

// The I64 copy exists only for I64 tensors; other tensors copy nothing.
VORN_API uint64_t vorn_output_copy_i64(const VornOutput* o, int32_t slot, int64_t* destination,
                                       uint64_t capacity) {
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr) return 0;
  return copy_values(t->i64, t->count, destination, capacity);
}

VORN_API const char* vorn_output_text_ptr(const VornOutput* o) {
  return o ? text_or_empty(o->text) : empty_text();
}
VORN_API size_t vorn_output_text_len(const VornOutput* o) {
  return o && o->text ? size_t(o->text_len) : 0;
}
VORN_API const char* vorn_output_full_text_ptr(const VornOutput* o) {
  return o ? text_or_empty(o->full_text) : empty_text();
}
VORN_API size_t vorn_output_full_text_len(const VornOutput* o) {
  return o && o->full_text ? size_t(o->full_text_len) : 0;
}
VORN_API VornFinishReason vorn_output_finish_reason(const VornOutput* o) {
  return o ? o->finish_reason : 0;
}
VORN_API uint32_t vorn_output_prompt_tokens(const VornOutput* o) { return o ? o->prompt_tokens : 0; }
VORN_API uint32_t vorn_output_generated_tokens(const VornOutput* o) {
  return o ? o->generated_tokens : 0;
}
VORN_API uint32_t vorn_output_cached_prompt_tokens(const VornOutput* o) {
  return o ? o->cached_prompt_tokens : 0;
}

}  // extern "C"
