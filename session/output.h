// The output record: what a run or a generation produced (tensors with their
// typed copies, the image mapping, timing, texts) and what post-processing
// derived from it (ranked classes, boxes). One zero-filled block owned by the
// application between vorn_output_new and vorn_output_free; the session fills
// it through the functions below, the vorn_output_* accessors read it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "image/box_decode.h"
#include "session/error_record.h"
#include "session/label_blob.h"
#include "vorn.h"

namespace vorn {

constexpr uint32_t kOutputSlots = VORN_MAX_OUTPUT_TENSORS;  // 64
constexpr uint32_t kOutputMaxRank = 6;
constexpr uint32_t kOutputNameCapacity = VORN_MAX_NAME_LEN + 1;  // 64
constexpr uint32_t kOutputTextCapacity = 32;  // decode and task texts
constexpr uint32_t kMaxTopK = VORN_MAX_TOP_K;            // 256
constexpr uint32_t kMaxBoxes = VORN_MAX_BOXES;           // 256
constexpr uint32_t kMaxLandmarks = VORN_MAX_LANDMARKS;   // 17

// One output tensor. The F32 buffer is always there after a run and survives
// output_clear so the next run can reuse it; the I64, F16 and U8 buffers are
// copies made only for tensors of that type. All buffers are malloc'd.
struct OutputTensor {
  char name[kOutputNameCapacity];
  uint64_t name_len;
  uint32_t dtype;  // VornDType
  uint32_t rank;   // at most kOutputMaxRank
  uint64_t dims[kOutputMaxRank];
  uint64_t count;     // elements
  uint64_t capacity;  // elements the F32 buffer holds; never below count
  float* f32;
  int64_t* i64;
  uint16_t* f16;
  uint8_t* u8;
};

// A decoded box in source-image pixels.
using OutputBox = DetectionBox;
static_assert(kMaxLandmarks == kBoxLandmarksMax);

// Where an output was filled: the error record of the session that filled it.
// Shared by reference count between that session and its outputs; the session
// detaches it when it goes away, so an output that outlives its session finds
// no record instead of a freed one.
struct OutputOrigin {
  uint32_t refs;         // atomic; 1 at creation
  ErrorRecord* record;   // null once detached; read and written atomically
};

// A new origin reporting into record, with one reference (the session's).
// Null when memory runs out.
OutputOrigin* output_origin_new(ErrorRecord* record);
void output_origin_retain(OutputOrigin* origin);
// Drops a reference; the last one frees the record. Null is accepted.
void output_origin_release(OutputOrigin* origin);
// Called by the session before it goes away: no output reports into its
// record any more; then drops the session's reference. Null is accepted.
void output_origin_detach(OutputOrigin* origin);
// Records code and message on the origin's session when it is still there;
// false when there is no origin or it was detached.
bool output_origin_report(OutputOrigin* origin, uint32_t code, const char* message);

}  // namespace vorn

struct VornOutput {
  double latency_ms;
  uint32_t backend_used;  // VornBackendKind
  // tensor = source x scale + pad per axis; scale 1 and pad 0 without an image
  float scale_x, scale_y, pad_x, pad_y;
  uint32_t source_width, source_height;  // the image given to the run
  uint32_t input_width, input_height;    // the size it was resized to
  uint8_t corner_boxes;  // model boxes are corners (x1, y1, x2, y2)
  char decode[vorn::kOutputTextCapacity];  // model metadata "decode"
  uint64_t decode_len;
  char task[vorn::kOutputTextCapacity];  // model metadata "task"
  uint64_t task_len;
  vorn::OutputOrigin* origin;  // one reference, or null

  uint64_t tensor_count;
  vorn::OutputTensor tensors[vorn::kOutputSlots];

  // One reference to the session's labels; bytes, length and count are the
  // blob's own fields, copied so lookups need not follow the pointer.
  vorn::LabelBlob* label_blob;
  const char* label_bytes;
  uint64_t label_length;
  uint32_t label_count;

  uint32_t top_k_count;
  uint32_t top_class_ids[vorn::kMaxTopK];
  float top_scores[vorn::kMaxTopK];

  uint32_t box_count;
  vorn::OutputBox boxes[vorn::kMaxBoxes];

  // Generation results; texts are malloc'd and NUL-terminated, or null.
  char* text;
  uint64_t text_len;
  char* full_text;
  uint64_t full_text_len;
  uint32_t finish_reason;  // VornFinishReason
  uint32_t prompt_tokens;
  uint32_t generated_tokens;
  uint32_t cached_prompt_tokens;
};

namespace vorn {

using Output = ::VornOutput;

// A zero-filled output with scales 1.0; null when memory runs out.
Output* output_new();
// output_reset, drops the origin, frees the record. Null is accepted.
void output_free(Output* output);

// Frees the typed copies of every slot (F32 buffers stay for reuse), drops
// the label reference, frees the texts and zeroes the ranked classes, the
// boxes, the finish reason and the token counts.
void output_clear(Output* output);
// output_clear, then frees every F32 buffer and zeroes all slots and the
// tensor count.
void output_reset(Output* output);

// Makes origin (which may be null) the one the output reports to, taking a
// reference and dropping the previous one.
void output_set_origin(Output* output, OutputOrigin* origin);
// Takes a reference to blob (null for none) after dropping the current one,
// and copies its fields.
void output_set_labels(Output* output, LabelBlob* blob);
// Copies the model's corner-box flag and its "decode" and "task" texts (cut
// to 31 bytes).
void output_set_model_texts(Output* output, bool corner_boxes, const char* decode,
                            size_t decode_len, const char* task, size_t task_len);

// Describes slot (below kOutputSlots) and answers its F32 buffer of at least
// max(count, 1) elements: the present buffer when it is large enough (its
// contents are left as they are), else a new zeroed one. The typed copies
// of the slot are freed. Null for a slot out of range or a rank above 6
// (nothing changed), or when memory runs out (the slot then has no buffer).
// The caller sets tensor_count once every slot is prepared.
float* output_prepare_tensor(Output* output, uint32_t slot, const char* name, size_t name_len,
                             uint32_t dtype, uint32_t rank, const uint64_t* dims, uint64_t count);

// Makes the typed copies of every slot below the tensor count whose type asks
// for one: I64 values truncated toward zero, F16 rounded to nearest, U8
// truncated and clamped to 0..255; NaN becomes 0 and values past an integer
// type's range saturate. A copy whose allocation fails is left absent.
void output_make_typed_copies(Output* output);

// Replace the generated texts with copies of (text, len); false when memory
// runs out (the text is then absent).
bool output_set_text(Output* output, const char* text, size_t len);
bool output_set_full_text(Output* output, const char* text, size_t len);

}  // namespace vorn
