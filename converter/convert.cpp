#include "converter/convert.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/builder_state.h"
#include "converter/container_output.h"
#include "converter/conversion_notes.h"
#include "converter/detection_tail.h"
#include "converter/graph_check.h"
#include "converter/lowering.h"
#include "converter/node_import.h"
#include "converter/onnx_model.h"
#include "converter/onnx_import.h"
#include "converter/shape_binding.h"

namespace vorn {

namespace {

ConvertOutcome fail(const std::string& message) {
  return ConvertOutcome{1, bytes_from_slice(message.data(), message.size())};
}

ConvertOutcome fail(BuilderState* s, ByteString message) {
  builder_free(s);
  return ConvertOutcome{1, message};
}


std::string op_text(uint64_t op) {
  Slice n = op_name(op);
  return std::string(reinterpret_cast<const char*>(n.ptr), n.len);
}

// Reads a whole file; null with *status set when it cannot.
uint8_t* read_whole(const char* path, uint64_t* size, int* status) {
  *size = 0;
  int64_t n = 0;
  const int fd = open_regular_file(path, &n);
  if (fd < 0) return *status = 1, nullptr;
  if (n < 1) {
    ::close(fd);
    return *status = 2, nullptr;
  }
  auto* p = static_cast<uint8_t*>(std::malloc(static_cast<uint64_t>(n)));
  if (p == nullptr) {
    ::close(fd);
    return *status = 3, nullptr;
  }
  bool ok = pread_all(fd, p, static_cast<uint64_t>(n), 0);
  ::close(fd);
  if (!ok) {
    std::free(p);
    return *status = 4, nullptr;
  }
  *size = static_cast<uint64_t>(n);
  *status = 0;
  return p;
}

// Intermediates of rank 0 are either dead (constants consumed at convert
// time, demoted weights) or run-time scalars: the first are recorded empty as
// [0], the second as [1], so every record's count is the product of its dims.
void scalar_and_dead_values(BuilderState& s) {
  std::vector<uint8_t> used(s.value_count, 0);
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const BuilderNode& n = s.nodes[i];
    for (uint64_t k = 0; k < n.input_count() && k < 8; ++k)
      if (n.input(k) < s.value_count) used[n.input(k)] = 1;
    for (uint64_t k = 0; k < n.output_count() && k < 4; ++k)
      if (n.output(k) < s.value_count) used[n.output(k)] = 1;
  }
  for (uint64_t i = 0; i < s.value_count; ++i) {
    BuilderValue& v = s.values[i];
    if (v.rank != 0 || v.kind == kValueWeight) continue;
    v.rank = 1;
    v.dims[0] = used[i] || v.kind != kValueActivation ? 1 : 0;
  }
}

}  // namespace

ConvertOutcome convert_onnx_impl(Slice onnx_path, Slice vorn_path, uint64_t option_word,
                                 const ConvertOptions* options) {
  convert_notes_reset();
  CString path = slice_to_cstr(onnx_path);
  if (path.tag != 0) return fail("invalid onnx path");
  CString out_path = slice_to_cstr(vorn_path);
  if (out_path.tag != 0) {
    cstr_free(&path);
    return fail("invalid vorn path");
  }
  cstr_free(&out_path);
  uint64_t size = 0;
  int status = 0;
  uint8_t* onnx = read_whole(cstr_ptr(path), &size, &status);
  if (onnx == nullptr) {
    cstr_free(&path);
    switch (status) {
      case 1: return fail("failed to open onnx file");
      case 2: return fail("empty onnx file");
      case 3: return fail("out of memory reading onnx");
      default: return fail("failed reading onnx bytes");
    }
  }
  std::string data_path = std::string(cstr_ptr(path)) + ".data";
  cstr_free(&path);
  uint64_t external_size = 0;
  uint8_t* external = read_whole(data_path.c_str(), &external_size, &status);
  const uint8_t* p = onnx_path.ptr;
  uint64_t base = onnx_path.len;
  while (base > 0 && p[base - 1] != '/') --base;
  ImportOutcome begun = onnx_import_begin(onnx, size, external, external_size,
                                          slice_of(p + base, onnx_path.len - base), option_word, options);
  if (begun.state == nullptr) return ConvertOutcome{1, begun.error};
  BuilderState* s = begun.state;

  NmsTailMatch tail = match_nms_tail(*s, s->onnx, begun.graph_start, begun.graph_end);
  ByteString err = onnx_import_nodes(*s, begun.graph_start, begun.graph_end, tail.found ? tail.last_kept : UINT64_MAX);
  s->model_name = nullptr;
  s->model_name_len = 0;
  if (err.len != 0) return fail(s, err);
  bytes_free(&err);
  if (tail.found && !append_nms_tail_node(*s, tail)) {
    builder_free(s);
    return fail("the model is larger than the converter's limits (16384 nodes, 32768 values)");
  }

  std::string unfed = graph_check_producers(*s, false);
  if (!unfed.empty()) {
    builder_free(s);
    return fail(unfed);
  }
  s->lowering_error = 0;
  if (!lower_graph(*s)) return fail(s, lowering_message(*s));

  for (uint64_t i = 0; i < s->node_count; ++i)
    if (s->nodes[i].attr(attr::kCastTagWord) == attr::kCastTag) s->nodes[i].attr(attr::kCastTagWord) = 0;

  if (options != nullptr) {
    for (uint64_t i = 0; i < s->value_count; ++i)
      if (s->convert_time[i] == 1 && s->values[i].kind == kValueActivation) s->values[i].rank = 0;
    for (uint64_t i = 0; i < s->node_count; ++i) {
      const BuilderNode& n = s->nodes[i];
      for (uint64_t k = 0; k < n.output_count() && k < 4; ++k) {
        uint64_t o = n.output(k);
        if (o >= s->value_count) continue;
        const BuilderValue& v = s->values[o];
        if (v.elem == kElemI64 && v.data == nullptr && v.kind != kValueGraphInput) {
          std::string m = "unsupported " + op_text(n.op()) + " '" + node_label(*s, i) +
                          "': its int64 result could not be computed at convert time, and the engines compute "
                          "int64 values as f32 (multi-dimensional index arithmetic is not folded yet)";
          builder_free(s);
          return fail(m);
        }
      }
    }
  }
  std::string unsound = graph_check_inputs(*s);
  if (unsound.empty()) unsound = graph_check_producers(*s, true);
  if (unsound.empty()) unsound = graph_check_sizes(*s);
  if (!unsound.empty()) {
    builder_free(s);
    return fail(unsound);
  }
  scalar_and_dead_values(*s);
  for (uint64_t k = 0; k < s->int64_input_count && k < kMaxInt64Inputs; ++k)
    if (s->int64_inputs[k] < s->value_count) s->values[s->int64_inputs[k]].elem = kElemI64;
  // The records are final: what a session's open would refuse is refused
  // here, where the node can be named.
  std::string refused = graph_check_engines(*s);
  if (!refused.empty()) {
    builder_free(s);
    return fail(refused);
  }

  std::string summary;
  for (uint64_t i = 0; i < s->value_count; ++i) {
    const BuilderValue& v = s->values[i];
    if (v.kind != kValueGraphInput && v.kind != kValueGraphOutput) continue;
    ByteString shape = shape_text(v.rank, v.dims);
    summary += v.kind == kValueGraphInput ? "input " : "output";
    summary += ' ';
    summary.append(reinterpret_cast<const char*>(v.name), v.name_len);
    summary += ' ';
    summary.append(reinterpret_cast<const char*>(shape.ptr), shape.len);
    summary += v.elem == kElemI64 ? " i64\n" : " f32\n";
    bytes_free(&shape);
  }
  summary += "opset " + std::to_string(s->default_opset) + ", ir_version " + std::to_string(s->ir_version) + ", " +
             std::to_string(s->node_count) + " nodes\n";
  if (options == nullptr || options->report_only != 1) {
    ByteString werr = container_output_write(*s, vorn_path);
    if (werr.len != 0) return fail(s, werr);
    bytes_free(&werr);
  }
  builder_free(s);
  return ConvertOutcome{0, bytes_from_slice(summary.data(), summary.size())};
}

ConvertResult convert_onnx_file(Slice onnx_path, Slice vorn_path, uint64_t option_word) {
  ConvertOutcome o = convert_onnx_impl(onnx_path, vorn_path, option_word, nullptr);
  if (o.status != 0) return ConvertResult::failure(o.text);
  bytes_free(&o.text);
  return ConvertResult::success(true);
}

ConvertResult convert_onnx_file_with_flags(Slice onnx_path, Slice vorn_path, uint32_t size_word, uint64_t batch) {
  if (batch == 0) batch = 1;
  return convert_onnx_file(onnx_path, vorn_path, (batch << 32) | size_word);
}

ConvertOutcome convert_onnx_file_with_options(Slice onnx_path, Slice vorn_path, const ConvertOptions* options) {
  return convert_onnx_impl(onnx_path, vorn_path, 0, options);
}

}  // namespace vorn
