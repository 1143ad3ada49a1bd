// Stand-in output functions until the output layer lands: an output can be
// made and freed and reads as one that no run has filled yet (no tensors,
// scales 1.0). The whole file, with its placeholder record, is replaced by
// the output layer.
#include <cstdint>
#include <cstdlib>

#include "api/error_record.h"
#include "api/frame.h"
#include "api/text.h"
#include "session/output.h"
#include "vorn.h"


using namespace vorn;

extern "C" {

VORN_API VornOutput* vorn_output_new(void) { return output_new(); }

VORN_API void vorn_output_free(VornOutput* out) { output_free(out); }

VORN_API double vorn_output_latency_ms(const VornOutput*) { return 0.0; }
VORN_API VornBackendKind vorn_output_backend_used(const VornOutput*) { return 0; }
VORN_API float vorn_output_scale_x(const VornOutput* o) { return o ? o->scale_x : 1.0f; }
VORN_API float vorn_output_scale_y(const VornOutput* o) { return o ? o->scale_y : 1.0f; }
VORN_API float vorn_output_pad_x(const VornOutput*) { return 0.0f; }
VORN_API float vorn_output_pad_y(const VornOutput*) { return 0.0f; }

VORN_API uint32_t vorn_output_tensor_count(const VornOutput*) { return 0; }
VORN_API int32_t vorn_output_index_of(const VornOutput*, const char*, size_t) { return -1; }
VORN_API VornDType vorn_output_dtype(const VornOutput*, int32_t) { return 0; }
VORN_API uint32_t vorn_output_rank(const VornOutput*, int32_t) { return 0; }
VORN_API uint64_t vorn_output_elem_count(const VornOutput*, int32_t) { return 0; }
VORN_API uint64_t vorn_output_f32_len(const VornOutput*, int32_t) { return 0; }
VORN_API int64_t vorn_output_dim(const VornOutput*, int32_t, int32_t) { return -1; }
VORN_API const float* vorn_output_f32_ptr(const VornOutput*, int32_t) { return nullptr; }
VORN_API const int64_t* vorn_output_i64_ptr(const VornOutput*, int32_t) { return nullptr; }
VORN_API const uint16_t* vorn_output_f16_ptr(const VornOutput*, int32_t) { return nullptr; }
VORN_API const uint8_t* vorn_output_u8_ptr(const VornOutput*, int32_t) { return nullptr; }
VORN_API uint64_t vorn_output_copy_f32(const VornOutput*, int32_t, float*, uint64_t) { return 0; }
VORN_API uint64_t vorn_output_copy_i64(const VornOutput*, int32_t, int64_t*, uint64_t) { return 0; }

VORN_API uint32_t vorn_output_compute_top_k(VornOutput*, int32_t, int32_t, int) { return 0; }
VORN_API uint32_t vorn_output_top_class_id(const VornOutput*, int32_t) { return UINT32_MAX; }
VORN_API float vorn_output_top_score(const VornOutput*, int32_t) { return 0.0f; }
VORN_API const char* vorn_output_top_label_ptr(const VornOutput*, int32_t) { return empty_text(); }
VORN_API size_t vorn_output_top_label_len(const VornOutput*, int32_t) { return 0; }

VORN_API int32_t vorn_output_decode_boxes(VornOutput*, int32_t, float, float) { return 0; }
VORN_API float vorn_output_box_x1(const VornOutput*, int32_t) { return 0.0f; }
VORN_API float vorn_output_box_y1(const VornOutput*, int32_t) { return 0.0f; }
VORN_API float vorn_output_box_x2(const VornOutput*, int32_t) { return 0.0f; }
VORN_API float vorn_output_box_y2(const VornOutput*, int32_t) { return 0.0f; }
VORN_API float vorn_output_box_score(const VornOutput*, int32_t) { return 0.0f; }
VORN_API uint32_t vorn_output_box_class_id(const VornOutput*, int32_t) { return UINT32_MAX; }
VORN_API const char* vorn_output_box_label_ptr(const VornOutput*, int32_t) { return empty_text(); }
VORN_API size_t vorn_output_box_label_len(const VornOutput*, int32_t) { return 0; }
VORN_API uint32_t vorn_output_box_landmark_count(const VornOutput*, int32_t) { return 0; }
VORN_API float vorn_output_box_landmark_x(const VornOutput*, int32_t, int32_t) { return 0.0f; }
VORN_API float vorn_output_box_landmark_y(const VornOutput*, int32_t, int32_t) { return 0.0f; }

VORN_API bool vorn_output_normalize_l2(VornOutput*, int32_t) { return false; }
VORN_API float vorn_output_cosine_similarity(const VornOutput*, int32_t, const VornOutput*, int32_t) {
  return 0.0f;
}

// An output without tensors has no slot to turn into pixels.
VORN_API bool vorn_output_to_frame(const VornOutput*, int32_t, VornFrame* frame, float, float) {
  if (frame == nullptr) return false;
  error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid Output handle or tensor_idx");
  return false;
}

VORN_API const char* vorn_output_text_ptr(const VornOutput*) { return empty_text(); }
VORN_API size_t vorn_output_text_len(const VornOutput*) { return 0; }
VORN_API const char* vorn_output_full_text_ptr(const VornOutput*) { return empty_text(); }
VORN_API size_t vorn_output_full_text_len(const VornOutput*) { return 0; }
VORN_API VornFinishReason vorn_output_finish_reason(const VornOutput*) { return 0; }
VORN_API uint32_t vorn_output_prompt_tokens(const VornOutput*) { return 0; }
VORN_API uint32_t vorn_output_generated_tokens(const VornOutput*) { return 0; }
VORN_API uint32_t vorn_output_cached_prompt_tokens(const VornOutput*) { return 0; }

}  // extern "C"
