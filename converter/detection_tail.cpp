#include "converter/detection_tail.h"

#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/onnx_model.h"

namespace vorn {

namespace {

bool op_is(const uint8_t* b, const OnnxNodeSpan& n, const char* op) {
  return text_equal(b + n.op_offset, n.op_length, op);
}

bool constant_of(const BuilderState& s, const uint8_t* b, uint64_t off, uint64_t len, float* out) {
  return len != 0 && builder_const_scalar_f32(s, b + off, len, out);
}

bool has_data(const BuilderState& s, const uint8_t* b, uint64_t off, uint64_t len) {
  uint64_t v = builder_find_value(s, b + off, len);
  return v != kNoValue && s.values[v].data != nullptr;
}

bool same_name(const uint8_t* b, uint64_t o1, uint64_t l1, uint64_t o2, uint64_t l2) {
  return bytes_equal(b + o1, l1, b + o2, l2);
}

}  // namespace

NmsTailMatch match_nms_tail(const BuilderState& s, const uint8_t* b, uint64_t gs, uint64_t ge) {
  NmsTailMatch m;
  uint64_t outputs = 0, out_v = 0;
  for (uint64_t i = 0; i < s.value_count; ++i)
    if (s.values[i].kind == kValueGraphOutput) ++outputs, out_v = i;
  if (outputs != 1) return m;
  const BuilderValue& ov = s.values[out_v];
  if (ov.rank != 3 || ov.dims[0] != 1 || ov.dims[1] < 1 || ov.dims[2] < 6) return m;
  int64_t count = onnx_node_spans(b, gs, ge, nullptr, 0);
  if (count <= 0) return m;
  std::vector<OnnxNodeSpan> spans(static_cast<uint64_t>(count));
  if (onnx_node_spans(b, gs, ge, spans.data(), spans.size()) != count) return m;
  const uint64_t n = spans.size();
  int64_t nms = -1, nonzero = -1;
  for (uint64_t i = 0; i < n; ++i) {
    if (op_is(b, spans[i], "NonMaxSuppression")) {
      if (nms >= 0) return m;
      nms = static_cast<int64_t>(i);
    }
    if (op_is(b, spans[i], "NonZero")) {
      if (nonzero >= 0) return m;
      nonzero = static_cast<int64_t>(i);
    }
  }
  if (nms < 0 || nonzero < 0) return m;
  const OnnxNodeSpan& ns = spans[nms];
  if (ns.input_count < 2) return m;
  // Walk up the scores path to the cut.
  uint64_t off = ns.input_offset[1], len = ns.input_length[1];
  bool seen_reduce = false, seen_threshold = false;
  float score = 0;
  int64_t cut = -1;
  for (int step = 0; step <= 16; ++step) {
    int64_t p = onnx_node_by_output(spans.data(), n, b, off, len);
    if (p < 0) return m;
    const OnnxNodeSpan& ps = spans[p];
    bool pass = op_is(b, ps, "ReduceMax") || op_is(b, ps, "Transpose") || op_is(b, ps, "Unsqueeze") ||
                op_is(b, ps, "Squeeze") || op_is(b, ps, "Reshape") || op_is(b, ps, "Slice") || op_is(b, ps, "Gather");
    if (op_is(b, ps, "Greater")) {
      if (ps.input_count < 2 || !constant_of(s, b, ps.input_offset[1], ps.input_length[1], &score)) return m;
      seen_threshold = true;
      pass = true;
    }
    if (!pass) {
      cut = p;
      break;
    }
    if (step == 16) return m;
    seen_reduce |= op_is(b, ps, "ReduceMax");
    if (ps.input_count < 1) return m;
    off = ps.input_offset[0], len = ps.input_length[0];
  }
  if (cut < 0 || !seen_reduce || !seen_threshold) return m;
  if (cut >= nms || cut >= nonzero) return m;
  // The tail must be self-contained.
  bool makes_output = false;
  for (uint64_t i = static_cast<uint64_t>(cut) + 1; i < n; ++i) {
    const OnnxNodeSpan& t = spans[i];
    for (uint64_t k = 0; k < t.input_count && k < 8; ++k) {
      uint64_t io = t.input_offset[k], il = t.input_length[k];
      if (il == 0) continue;
      if (same_name(b, io, il, off, len) || has_data(s, b, io, il)) continue;
      int64_t p = onnx_node_by_output(spans.data(), n, b, io, il);
      if (p <= cut) return m;
    }
    for (uint64_t k = 0; k < t.output_count && k < 4; ++k)
      if (bytes_equal(b + t.output_offset[k], t.output_length[k], ov.name, ov.name_len)) makes_output = true;
  }
  if (!makes_output) return m;
  if (ns.input_count < 4) return m;
  float iou = 0;
  if (!constant_of(s, b, ns.input_offset[3], ns.input_length[3], &iou)) return m;
  if (ns.input_count >= 5 && ns.input_length[4] != 0) return m;
  // The box decoding constants of the tail.
  bool have_div = false, have_cast = false;
  float divisor = 0, div_scale = 0, cast_scale = 0;
  for (uint64_t i = static_cast<uint64_t>(cut) + 1; i < n && !have_div; ++i) {
    const OnnxNodeSpan& t = spans[i];
    if (!op_is(b, t, "Div") || t.input_count != 2 || t.output_count != 1) continue;
    if (!constant_of(s, b, t.input_offset[1], t.input_length[1], &divisor)) continue;
    for (uint64_t j = i + 1; j < n; ++j) {
      const OnnxNodeSpan& u = spans[j];
      if (op_is(b, u, "Mul") && u.input_count == 2 &&
          same_name(b, u.input_offset[0], u.input_length[0], t.output_offset[0], t.output_length[0]) &&
          constant_of(s, b, u.input_offset[1], u.input_length[1], &div_scale)) {
        have_div = true;
        break;
      }
    }
  }
  for (uint64_t i = static_cast<uint64_t>(cut) + 1; i < n && !have_cast; ++i) {
    const OnnxNodeSpan& t = spans[i];
    if (!op_is(b, t, "Mul") || t.input_count != 2) continue;
    int64_t p = onnx_node_by_output(spans.data(), n, b, t.input_offset[0], t.input_length[0]);
    if (p > cut && op_is(b, spans[p], "Cast") && constant_of(s, b, t.input_offset[1], t.input_length[1], &cast_scale))
      have_cast = true;
  }
  if (!have_div || !have_cast || divisor == 0.0f) return m;
  m.found = true;
  m.last_kept = static_cast<uint64_t>(cut);
  m.input_offset = spans[cut].output_offset[0];
  m.input_length = spans[cut].output_length[0];
  m.output_value = out_v;
  m.detections = ov.dims[1];
  m.extra_fields = ov.dims[2] - 6;
  m.center_point_box = ns.center_point_box;
  m.score_threshold = score;
  m.iou_threshold = iou;
  m.divisor = divisor;
  m.div_scale = div_scale;
  m.cast_scale = cast_scale;
  return m;
}

bool append_nms_tail_node(BuilderState& s, const NmsTailMatch& m) {
  uint64_t in = builder_intern_value(s, s.onnx + m.input_offset, m.input_length);
  if (in == kNoValue) return false;
  BuilderNode* n = builder_append_node(s);
  if (n == nullptr) return false;
  n->w[0] = op::YoloNms;
  n->w[1] = 1;
  n->w[2] = in;
  n->w[10] = 1;
  n->w[11] = m.output_value;
  for (uint64_t k = 0; k < 16; ++k) n->attr(k) = 0;
  using Y = attr::YoloNms;
  n->attr(Y::kMaxDetections) = m.detections;
  n->attr(Y::kExtras) = m.extra_fields;
  // Strides, dilations and group keep the 1 every imported node starts with.
  for (uint64_t k : {attr::Import::kStrides, attr::Import::kStrides + 1, attr::Import::kDilations,
                     attr::Import::kDilations + 1, attr::Import::kGroup})
    n->attr(k) = 1;
  n->attr(Y::kBoxDivisor) = f32_bits(m.divisor);
  n->attr(Y::kBoxScale) = f32_bits(m.div_scale);
  n->attr(Y::kClassOffset) = f32_bits(m.cast_scale);
  n->attr(Y::kCentreForm) = m.center_point_box;
  n->attr(Y::kScoreThreshold) = f32_bits(m.score_threshold);
  n->attr(Y::kIouThreshold) = f32_bits(m.iou_threshold);
  return true;
}

}  // namespace vorn
