// Output post-processing over fuzzer-described tensors: tensor count, ranks,
// dims (drawn towards the detector shapes) and value counts that may fall
// short of the dims, model texts, label bytes and preprocessing figures.
// Every derived operation runs, so a layout check that lets decoding read
// past a tensor shows up under ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "reference/fuzz_reader.h"
#include "session/label_blob.h"
#include "session/output.h"
#include "vorn.h"

namespace {

using Bytes = vorn::test::FuzzReader;

uint64_t pick_dim(Bytes& in) {
  static constexpr uint64_t kDims[] = {0, 1, 2, 3, 4, 5, 6, 8, 16, 17, 20, 55, 56, 57, 81, 84, 92, 100};
  uint8_t sel = in.take<uint8_t>();
  if (sel < 200) return kDims[sel % (sizeof kDims / sizeof kDims[0])];
  if (sel < 250) return in.take<uint16_t>();
  return in.take<uint64_t>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorn;
  Bytes in{data, size};
  Output* o = output_new();
  if (o == nullptr) return 0;
  uint32_t tensors = in.take<uint8_t>() % 11;
  for (uint32_t t = 0; t < tensors; ++t) {
    uint32_t rank = in.take<uint8_t>() % 6;
    uint64_t dims[6] = {};
    for (uint32_t a = 0; a < rank; ++a) dims[a] = pick_dim(in);
    // Counts stay small so a run costs little; they need not match the dims.
    uint64_t count = in.take<uint16_t>() % 6000;
    float* f = output_prepare_tensor(o, t, "t", 1, VORN_DTYPE_F32, rank, dims, count);
    if (f == nullptr) break;
    uint8_t fill = in.take<uint8_t>();
    for (uint64_t i = 0; i < count; ++i) {
      if (in.n >= 4 && (fill & 1)) {
        f[i] = in.take<float>();
      } else {
        f[i] = float((i * 2654435761u + fill) % 1000) / 500.0f;
      }
    }
    o->tensor_count = t + 1;
  }
  o->input_width = in.take<uint8_t>() % 2 ? in.take<uint16_t>() : 0;
  o->input_height = in.take<uint8_t>() % 2 ? in.take<uint16_t>() : 0;
  o->source_width = in.take<uint16_t>();
  o->source_height = in.take<uint16_t>();
  o->scale_x = in.take<float>();
  o->scale_y = in.take<float>();
  o->pad_x = in.take<float>();
  o->pad_y = in.take<float>();
  static const char* kTexts[] = {"", "scrfd", "xyxy", "yolov8_xyxy", "yolov8_pose", "pose"};
  uint8_t texts = in.take<uint8_t>();
  const char* decode = kTexts[texts % 6];
  const char* task = kTexts[(texts / 6) % 6];
  output_set_model_texts(o, texts & 0x80, decode, std::strlen(decode), task, std::strlen(task));
  uint16_t label_bytes = in.take<uint8_t>();
  if (label_bytes > 0 && label_bytes <= in.n) {
    LabelBlob* blob = label_blob_new(in.p, label_bytes, in.take<uint8_t>());
    output_set_labels(o, blob);
    label_blob_release(blob);
  }
  ErrorRecord record{};
  OutputOrigin* origin = output_origin_new(&record);
  output_set_origin(o, origin);
  output_make_typed_copies(o);

  volatile float sink = 0;
  int32_t boxes = vorn_output_decode_boxes(o, in.take<int16_t>(), in.take<float>(), in.take<float>());
  for (int32_t i = 0; i < boxes; ++i) {
    sink = sink + vorn_output_box_x1(o, i) + vorn_output_box_y2(o, i);
    sink = sink + float(vorn_output_box_label_len(o, i)) + float(vorn_output_box_label_ptr(o, i)[0]);
    for (uint32_t j = 0; j < vorn_output_box_landmark_count(o, i); ++j)
      sink = sink + vorn_output_box_landmark_x(o, i, int32_t(j));
  }
  for (int32_t slot = 0; slot < int32_t(tensors); ++slot) {
    uint32_t k = vorn_output_compute_top_k(o, slot, in.take<int16_t>(), slot & 1);
    for (uint32_t i = 0; i < k; ++i) sink = sink + float(vorn_output_top_label_len(o, int32_t(i)));
    sink = sink + vorn_output_cosine_similarity(o, slot, o, int32_t(tensors) - 1 - slot);
    vorn_output_normalize_l2(o, slot);
    VornFrame* frame = vorn_frame_new();
    if (vorn_output_to_frame(o, slot, frame, in.take<float>(), in.take<float>())) {
      const uint8_t* px = vorn_frame_data_ptr(frame);
      uint64_t n = uint64_t(vorn_frame_width(frame)) * vorn_frame_height(frame) * 3;
      for (uint64_t i = 0; i < n; i += 97) sink = sink + px[i];
      if (n > 0) sink = sink + px[n - 1];
    }
    vorn_frame_free(frame);
  }
  output_origin_detach(origin);
  vorn_output_free(o);
  (void)sink;
  return 0;
}
