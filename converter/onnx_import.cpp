#include "converter/onnx_import.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/records.h"
#include "converter/conversion_notes.h"
#include "converter/decompose_ops.h"
#include "converter/graph_order.h"
#include "converter/legacy_rewrites.h"
#include "converter/node_import.h"
#include "converter/onnx_model.h"
#include "converter/onnx_tensor.h"
#include "converter/protobuf_wire.h"
#include "converter/shape_binding.h"

namespace vorn {

namespace {

ByteString text(const std::string& t) { return bytes_from_slice(t.data(), t.size()); }

ImportOutcome failure(BuilderState* s, ByteString message) {
  builder_free(s);
  return ImportOutcome{nullptr, message, 0, 0};
}
ImportOutcome failure(BuilderState* s, const std::string& message) { return failure(s, text(message)); }

// Reads a whole file into a malloc'd buffer; false when it cannot be opened
// or read. size_out is 0 for an empty file (buffer null).
enum class ReadStatus { kOk, kOpen, kEmpty, kMemory, kRead };
ReadStatus read_file(const char* path, uint8_t** out, uint64_t* size_out) {
  *out = nullptr;
  *size_out = 0;
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) return ReadStatus::kOpen;
  if (size < 1) {
    ::close(fd);
    return ReadStatus::kEmpty;
  }
  auto* buf = static_cast<uint8_t*>(std::malloc(static_cast<uint64_t>(size)));
  if (buf == nullptr) {
    ::close(fd);
    return ReadStatus::kMemory;
  }
  bool ok = pread_all(fd, buf, static_cast<uint64_t>(size), 0);
  ::close(fd);
  if (!ok) {
    std::free(buf);
    return ReadStatus::kRead;
  }
  *out = buf;
  *size_out = static_cast<uint64_t>(size);
  return ReadStatus::kOk;
}

}  // namespace

uint64_t u64_to_decimal(uint64_t value, uint8_t* out) {
  uint8_t tmp[20];
  uint64_t n = 0;
  do {
    tmp[n++] = static_cast<uint8_t>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (uint64_t i = 0; i < n; ++i) out[i] = tmp[n - 1 - i];
  return n;
}

ImportOutcome onnx_import_begin(uint8_t* onnx, uint64_t size, uint8_t* external, uint64_t external_size,
                                Slice model_name, uint64_t option_word, const ConvertOptions* options) {
  BuilderState* s = builder_new();
  if (s == nullptr) {
    std::free(onnx);
    std::free(external);
    return failure(nullptr, "out of memory allocating BuilderState");
  }
  s->onnx = onnx;
  s->onnx_size = size;
  s->owns_onnx = 1;
  s->external_data = external;
  s->external_size = external != nullptr ? external_size : 0;
  s->model_name = model_name.ptr;
  s->model_name_len = model_name.len;
  if (options != nullptr) {
    s->options_copy = *options;
    s->options = &s->options_copy;
  }
  const uint8_t* b = onnx;

  OnnxModelInfo info{};
  if (const char* err = onnx_read_model(*s, b, size, &info)) return failure(s, err);

  uint64_t opset = builder_opset_for_domain(*s, nullptr, 0);
  if (opset == 0) return failure(s, "the model imports no default-domain (ai.onnx) opset");
  if (opset < 11 || opset > 20)
    return failure(s, "the model uses ONNX opset " + std::to_string(opset) +
                          "; this converter was written for opsets 11 to 20");
  s->default_opset = opset;
  uint64_t n = u64_to_decimal(opset, reinterpret_cast<uint8_t*>(s->opset_text));
  builder_add_meta(*s, reinterpret_cast<const uint8_t*>("onnx.opset"), 10,
                   reinterpret_cast<const uint8_t*>(s->opset_text), n);
  n = u64_to_decimal(s->ir_version, reinterpret_cast<uint8_t*>(s->ir_version_text));
  builder_add_meta(*s, reinterpret_cast<const uint8_t*>("onnx.ir_version"), 15,
                   reinterpret_cast<const uint8_t*>(s->ir_version_text), n);

  const uint64_t gs = info.graph_start, ge = info.graph_end;
  // Pass 1: every initializer, wherever it lies in the graph.
  {
    uint64_t pos = gs;
    PbField f;
    for (;;) {
      PbStep st = pb_next(b, ge, pos, f);
      if (st == PbStep::kEnd) break;
      if (st == PbStep::kBad) return failure(s, "corrupt GraphProto pass 1");
      if (f.number == 5 && f.wire == kWireLen && !onnx_read_tensor(*s, 0, 0, b, f.start, f.end))
        return failure(s, onnx_tensor_error_text(*s));
    }
  }
  if (s->options != nullptr) {
    BindOutcome bound = bind_input_shapes(*s, b, gs, ge);
    if (bound.status != 0) return failure(s, bound.text);
    bytes_free(&bound.text);
  }
  // Pass 2a: graph inputs and outputs.
  {
    uint64_t pos = gs;
    PbField f;
    for (;;) {
      PbStep st = pb_next(b, ge, pos, f);
      if (st == PbStep::kEnd) break;
      if (st == PbStep::kBad) return failure(s, "corrupt GraphProto pass 2a");
      if (f.wire != kWireLen || (f.number != 11 && f.number != 12)) continue;
      if (s->value_count >= kMaxValues - 63)
        return failure(s, "the model is larger than the converter's limits (16384 nodes, 32768 values)");
      uint32_t is_output = f.number == 12 ? 1 : 0;
      if (!onnx_import_graph_io(*s, b, f.start, f.end, is_output, option_word))
        return failure(s, is_output ? "failed parsing output ValueInfoProto" : "failed parsing input ValueInfoProto");
    }
  }
  return ImportOutcome{s, bytes_new(), gs, ge};
}

ByteString onnx_import_nodes(BuilderState& s, uint64_t gs, uint64_t ge, uint64_t last_kept) {
  const uint8_t* b = s.onnx;
  uint64_t unsupported = 0;
  std::string report;
  std::vector<NodeProtoSpan> order;
  // Before any node is imported the table holds the graph's own values:
  // its inputs, its outputs and its weights.
  auto defined = [&s](std::string_view name) -> const char* {
    const uint64_t v = builder_find_value(s, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    if (v == kNoValue) return nullptr;
    if (s.values[v].kind == kValueGraphInput) return "a graph input";
    if (s.values[v].kind == kValueWeight && s.values[v].data != nullptr) return "a weight of the graph";
    return nullptr;
  };
  std::string unordered = onnx_node_order(b, gs, ge, &order, defined);
  if (!unordered.empty()) return text(unordered);
  for (const NodeProtoSpan& f : order) {
    if (last_kept != UINT64_MAX && f.ordinal > last_kept) continue;
    if (s.node_count >= 16377 || s.value_count >= 32705)
      return text("the model is larger than the converter's limits (16384 nodes, 32768 values)");
    OnnxNodeHeader h;
    onnx_node_header(b, f.start, f.end, &h);
    s.import_reason = 0;
    uint64_t before = s.node_count;
    if (onnx_import_node(s, b, f.start, f.end)) {
      for (uint64_t k = before; k < s.node_count; ++k)
        s.origin[k] = NodeOrigin{static_cast<uint32_t>(h.name_offset), static_cast<uint32_t>(h.name_length),
                                 static_cast<uint32_t>(f.start), static_cast<uint32_t>(f.end)};
      continue;
    }
    if (s.import_reason == kImportTableFull)
      return text("the model is larger than the converter's limits (16384 nodes, 32768 values)");
    ++unsupported;
    if (unsupported > 100) continue;
    std::string domain = h.domain_length == 0 ? "ai.onnx"
                                              : std::string(reinterpret_cast<const char*>(b + h.domain_offset),
                                                            h.domain_length);
    uint64_t node_opset = builder_opset_for_domain(s, b + h.domain_offset, h.domain_length);
    const uint64_t label = h.name_length != 0 ? h.name_offset : h.output_offset;
    const uint64_t label_length = h.name_length != 0 ? h.name_length : h.output_length;
    report += "  '" + std::string(reinterpret_cast<const char*>(b + label), label_length) + "' " +
              std::string(reinterpret_cast<const char*>(b + h.op_offset), h.op_length) + " (" + domain +
              " opset " + std::to_string(node_opset) + "): " + node_import_reason_text(s) + "\n";
  }
  if (unsupported == 0) {
    if (const char* why = layer_norm_statistics(s)) return text(why);
    std::string pending = legacy_rewrite_unfinished(s);
    return pending.empty() ? bytes_new() : text(pending);
  }
  std::string msg = std::to_string(unsupported) + " unsupported node(s):\n" + report;
  if (unsupported > 100) msg += "  ...\n";
  return text(msg);
}

ImportOutcome onnx_import_file(Slice onnx_path, uint64_t option_word, const ConvertOptions* options) {
  convert_notes_reset();
  CString path = slice_to_cstr(onnx_path);
  if (path.tag != 0) return failure(nullptr, "invalid onnx path");
  uint8_t* onnx = nullptr;
  uint64_t size = 0;
  ReadStatus st = read_file(cstr_ptr(path), &onnx, &size);
  if (st != ReadStatus::kOk) {
    cstr_free(&path);
    switch (st) {
      case ReadStatus::kOpen: return failure(nullptr, "failed to open onnx file");
      case ReadStatus::kEmpty: return failure(nullptr, "empty onnx file");
      case ReadStatus::kMemory: return failure(nullptr, "out of memory reading onnx");
      default: return failure(nullptr, "failed reading onnx bytes");
    }
  }
  std::string data_path = std::string(cstr_ptr(path)) + ".data";
  uint8_t* external = nullptr;
  uint64_t external_size = 0;
  if (read_file(data_path.c_str(), &external, &external_size) != ReadStatus::kOk) external = nullptr;
  // The base name, against which external-data locations are checked.
  const uint8_t* p = onnx_path.ptr;
  uint64_t base = onnx_path.len;
  while (base > 0 && p[base - 1] != '/') --base;
  Slice model_name = slice_of(p + base, onnx_path.len - base);
  cstr_free(&path);
  ImportOutcome out = onnx_import_begin(onnx, size, external, external_size, model_name, option_word, options);
  if (out.state == nullptr) return out;
  ByteString err = onnx_import_nodes(*out.state, out.graph_start, out.graph_end, UINT64_MAX);
  // The model name points into the caller's path; it is only needed while
  // tensors are read.
  out.state->model_name = nullptr;
  out.state->model_name_len = 0;
  if (err.len != 0) return failure(out.state, err);
  return out;
}

}  // namespace vorn
