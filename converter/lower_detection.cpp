// Lowering rules of the detection family: NonMaxSuppression and the
// YoloNms node of a matched detection tail (DetrTopK and MaskToBoxLogit
// come from model-specific rewrites).
#include "container/attr_words.h"
#include "converter/lowering_internal.h"
#include "converter/lowering_rules.h"

namespace vorn {

bool lower_non_max_suppression(Lower& L, BuilderNode& n) {
  const uint64_t in = n.input(0);
  if (!L.valid(in)) return L.refuse("input 0 is missing");
  BuilderValue& x = L.v(in);
  BuilderValue& y = L.v(n.output(0));
  // The kernel reads a0 (0 meaning 200) and the thresholds of words 14
  // and 15; ONNX selects no box when max_output_boxes_per_class is
  // absent or 0, and its output length depends on the data.
  if (L.options) return L.refuse("its number of selected boxes depends on the data");
  int64_t m = 0;
  if (n.input_count() < 2 || !L.valid(n.input(1))) return L.refuse("the scores are missing");
  if (n.input_count() >= 3 && first_i64(L, n.input(2), &m) && m > 0) n.attr(attr::NonMaxSuppression::kMaxBoxes) = static_cast<uint64_t>(m);
  uint64_t boxes = n.attr(attr::NonMaxSuppression::kMaxBoxes) == 0 ? 100 : n.attr(attr::NonMaxSuppression::kMaxBoxes);
  if (boxes > 256) boxes = 256;
  const BuilderValue& sc = L.v(n.input(1));
  uint64_t rows = x.dims[0] * (sc.rank > 1 ? sc.dims[1] : 1) * boxes;
  uint64_t o[2] = {rows == 0 ? 1 : rows, 3};
  n.w[1] = 2;
  for (int k = 4; k < 10; ++k) n.w[k] = kNoIndex;
  set_shape(y, 2, o);
  return true;
}

bool lower_yolo_nms(Lower& L, BuilderNode& n) {
  uint64_t o[3] = {1, n.attr(attr::YoloNms::kMaxDetections), n.attr(attr::YoloNms::kExtras) + 6};
  set_shape(L.v(n.output(0)), 3, o);
  return true;
}

}  // namespace vorn
