// What the output handle derives from its tensors: ranked classes, boxes,
// normalised embeddings, similarities and images.
#include <cstdint>
#include <cstdlib>

#include "image/box_decode.h"
#include "image/postprocess.h"
#include "session/frame.h"
#include "session/output.h"
#include "session/output_access.h"
#include "session/text.h"
#include "vorn.h"

using namespace vorn;

namespace {

const OutputBox* box_at(const VornOutput* o, int32_t i) {
  if (o == nullptr || i < 0 || uint32_t(i) >= o->box_count || uint32_t(i) >= kMaxBoxes)
    return nullptr;
  return &o->boxes[i];
}

bool top_at(const VornOutput* o, int32_t i) {
  return o != nullptr && i >= 0 && uint32_t(i) < o->top_k_count && uint32_t(i) < kMaxTopK;
}

const char* label_ptr(std::string_view label) {
  return label.empty() ? empty_text() : label.data();
}

float landmark(const VornOutput* o, int32_t i, int32_t j, bool y) {
  const OutputBox* b = box_at(o, i);
  if (b == nullptr || j < 0 || uint32_t(j) >= b->landmark_count || uint32_t(j) >= kMaxLandmarks)
    return 0.0f;
  return y ? b->landmark_y[j] : b->landmark_x[j];
}

}  // namespace

extern "C" {

VORN_API uint32_t vorn_output_compute_top_k(VornOutput* o, int32_t slot, int32_t k, int softmax) {
  if (o == nullptr || slot < 0 || k < 1) return 0;
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr) return 0;
  TensorView v = output_view(*t);
  if (v.data == nullptr || v.count == 0) {
    o->top_k_count = 0;
    return 0;
  }
  uint32_t kk = uint32_t(k) < kMaxTopK ? uint32_t(k) : kMaxTopK;
  o->top_k_count = top_k_classes(v.data, tensor_row_length(v), kk, softmax != 0, o->top_class_ids,
                                 o->top_scores);
  return o->top_k_count;
}

VORN_API uint32_t vorn_output_top_class_id(const VornOutput* o, int32_t i) {
  return top_at(o, i) ? o->top_class_ids[i] : UINT32_MAX;
}
VORN_API float vorn_output_top_score(const VornOutput* o, int32_t i) {
  return top_at(o, i) ? o->top_scores[i] : 0.0f;
}
VORN_API const char* vorn_output_top_label_ptr(const VornOutput* o, int32_t i) {
  return top_at(o, i) ? label_ptr(output_label(o, o->top_class_ids[i])) : empty_text();
}
VORN_API size_t vorn_output_top_label_len(const VornOutput* o, int32_t i) {
  return top_at(o, i) ? output_label(o, o->top_class_ids[i]).size() : 0;
}

VORN_API int32_t vorn_output_decode_boxes(VornOutput* o, int32_t max_boxes, float score_threshold,
                                          float iou_threshold) {
  if (o == nullptr || max_boxes < 1) return 0;
  uint32_t n = vorn_output_tensor_count(o);
  if (n == 0) return 0;
  o->box_count = 0;
  TensorView views[kOutputSlots];
  for (uint32_t i = 0; i < n; ++i) views[i] = output_view(o->tensors[i]);
  BoxDecodeSetup setup{};
  setup.tensors = views;
  setup.tensor_count = n;
  setup.input_width = o->input_width;
  setup.input_height = o->input_height;
  setup.source_width = o->source_width;
  setup.source_height = o->source_height;
  setup.scale_x = o->scale_x;
  setup.scale_y = o->scale_y;
  setup.pad_x = o->pad_x;
  setup.pad_y = o->pad_y;
  setup.corner_boxes = o->corner_boxes != 0;
  setup.decode = std::string_view(o->decode, size_t(o->decode_len));
  setup.task = std::string_view(o->task, size_t(o->task_len));
  setup.label_count = o->label_count;
  BoxDecodeResult r = decode_boxes(setup, uint32_t(max_boxes), score_threshold, iou_threshold,
                                   o->boxes);
  if (r.count < 0) {
    output_origin_report(o->origin, VORN_STATUS_UNSUPPORTED, r.message);
    return -1;
  }
  o->box_count = uint32_t(r.count);
  return r.count;
}

VORN_API float vorn_output_box_x1(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->x1 : 0.0f;
}
VORN_API float vorn_output_box_y1(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->y1 : 0.0f;
}
VORN_API float vorn_output_box_x2(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->x2 : 0.0f;
}
VORN_API float vorn_output_box_y2(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->y2 : 0.0f;
}
VORN_API float vorn_output_box_score(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->score : 0.0f;
}
VORN_API uint32_t vorn_output_box_class_id(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? uint32_t(b->class_id) : UINT32_MAX;
}
VORN_API const char* vorn_output_box_label_ptr(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? label_ptr(output_label(o, b->class_id)) : empty_text();
}
VORN_API size_t vorn_output_box_label_len(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? output_label(o, b->class_id).size() : 0;
}
VORN_API uint32_t vorn_output_box_landmark_count(const VornOutput* o, int32_t i) {
  const OutputBox* b = box_at(o, i);
  return b ? b->landmark_count : 0;
}
VORN_API float vorn_output_box_landmark_x(const VornOutput* o, int32_t i, int32_t j) {
  return landmark(o, i, j, false);
}
VORN_API float vorn_output_box_landmark_y(const VornOutput* o, int32_t i, int32_t j) {
  return landmark(o, i, j, true);
}

VORN_API bool vorn_output_normalize_l2(VornOutput* o, int32_t slot) {
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr) return false;
  TensorView v = output_view(*t);
  if (v.data == nullptr || v.count == 0) return false;
  return l2_normalize_rows(t->f32, v.count, tensor_row_length(v));
}

VORN_API float vorn_output_cosine_similarity(const VornOutput* a, int32_t slot_a,
                                             const VornOutput* b, int32_t slot_b) {
  const OutputTensor* ta = output_slot(a, slot_a);
  const OutputTensor* tb = output_slot(b, slot_b);
  if (ta == nullptr || tb == nullptr) return 0.0f;
  TensorView va = output_view(*ta), vb = output_view(*tb);
  if (va.data == nullptr || vb.data == nullptr || va.count == 0 || va.count != vb.count ||
      ta->count != tb->count)
    return 0.0f;
  return cosine_similarity(va.data, vb.data, tensor_row_length(va));
}

VORN_API bool vorn_output_to_frame(const VornOutput* o, int32_t slot, VornFrame* frame,
                                   float scale, float offset) {
  if (frame == nullptr) return false;
  const OutputTensor* t = output_slot(o, slot);
  if (t == nullptr) {
    error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Invalid Output handle or tensor_idx");
    return false;
  }
  ImageTensorShape shape{};
  switch (image_tensor_shape(output_view(*t), &shape)) {
    case ImageTensorCheck::ok: break;
    case ImageTensorCheck::not_image:
      error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT, "Output tensor is not an image tensor");
      return false;
    case ImageTensorCheck::bad_channels:
      error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT,
                "Output tensor channels must be 1 or 3");
      return false;
    case ImageTensorCheck::too_large:
      error_set(&frame->error, VORN_STATUS_INVALID_ARGUMENT,
                "Output tensor image is larger than a Frame allows");
      return false;
  }
  size_t bytes = size_t(shape.width) * shape.height * 3;
  auto* rgb = static_cast<uint8_t*>(std::malloc(bytes));
  if (rgb == nullptr) {
    error_set(&frame->error, VORN_STATUS_OUT_OF_MEMORY, "Out of memory allocating output Frame");
    return false;
  }
  planar_to_rgb(t->f32, shape, scale, offset, rgb);
  return frame_adopt_rgb(frame, rgb, shape.width, shape.height);
}

}  // extern "C"
