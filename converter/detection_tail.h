// Recognising a detector's post-processing tail (NonMaxSuppression, NonZero,
// thresholds and gathers) before node import, so that it is replaced by one
// YoloNms node.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

struct NmsTailMatch {
  bool found = false;
  uint64_t last_kept = 0;  // ordinal of the last NodeProto to import
  uint64_t input_offset = 0, input_length = 0;  // the tensor feeding the tail
  uint64_t output_value = 0;
  uint64_t detections = 0;
  uint64_t extra_fields = 0;
  uint64_t center_point_box = 0;
  float score_threshold = 0, iou_threshold = 0, divisor = 0, div_scale = 0, cast_scale = 0;
};

NmsTailMatch match_nms_tail(const BuilderState& s, const uint8_t* bytes, uint64_t graph_start, uint64_t graph_end);

// Appends the YoloNms node of a match; false when the tables are full.
bool append_nms_tail_node(BuilderState& s, const NmsTailMatch& m);

}  // namespace vorn
