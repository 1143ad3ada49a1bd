// Detection post-processing of the YoloNms operator, shared by the CPU
// executor and the GPU engine (which runs it on the host after its graph).
//
// Input: f32 candidates laid out attribute-major, `rows` attributes by
// `count` candidates, value a of candidate i at in[a * count + i]: attributes
// 0-3 the box, then the class scores, then `extras` values copied through.
// Output: max_detections rows of extras + 6 values (the four raw box values,
// score, class index, extras), best first; unused rows are zero.
#pragma once
#include <cstddef>
#include <cstdint>

#include "container/records.h"

namespace vorn {

struct CpuState;

struct YoloNmsParams {
  uint64_t extras;          // attribute word 1
  uint64_t max_detections;  // attribute word 0
  float score_threshold;    // attribute word 14: a candidate passes when its best score is greater
  float iou_threshold;      // attribute word 15: suppress when the overlap is greater
  float box_divisor;        // attribute word 4: boxes are divided by it before suppression,
  float box_scale;          // attribute word 5: then multiplied by it,
  float class_offset;       // attribute word 6: then shifted by it times the class index
  uint8_t centre_form;      // attribute word 13 non-zero: boxes are (cx, cy, w, h), else corners
};

// The record as both engines fill it from a YoloNms node.
YoloNmsParams yolo_nms_params_from_node(const NodeRecord& node);

// Returns 1 when the detections were written (also when there are none); 0
// when count is 0, rows is below extras + 5, or scratch memory could not be
// had. The output's max_detections * (extras + 6) values are zeroed first in
// every case (unless that size overflows, which also returns 0).
uint32_t yolo_nms(const float* in, uint64_t rows, uint64_t count, const YoloNmsParams* params,
                  float* out);

// yolo_nms with the scratch taken from `allocate` (memory released with
// free), so tests can make the allocation fail.
using YoloNmsAllocate = void* (*)(size_t);
uint32_t yolo_nms_using(const float* in, uint64_t rows, uint64_t count, const YoloNmsParams* params,
                        float* out, YoloNmsAllocate allocate);

// The YoloNms node on the CPU engine: false (the pass fails) only when the
// scratch allocation fails, the shapes having been checked at creation.
bool cpu_yolo_nms_run(CpuState& state, const NodeRecord& node, YoloNmsAllocate allocate);

}  // namespace vorn
