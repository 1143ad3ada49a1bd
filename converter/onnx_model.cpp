#include "converter/onnx_model.h"

#include <cstring>

#include "converter/protobuf_wire.h"

namespace vorn {

namespace {

const uint8_t* text(const char* t) { return reinterpret_cast<const uint8_t*>(t); }

void read_metadata_prop(BuilderState& s, const uint8_t* b, uint64_t start, uint64_t end) {
  uint64_t pos = start;
  const uint8_t* key = nullptr;
  const uint8_t* value = nullptr;
  uint64_t key_len = 0, value_len = 0;
  PbField f;
  while (pb_next(b, end, pos, f) == PbStep::kField) {
    if (f.wire != kWireLen) continue;
    if (f.number == 1) {
      key = b + f.start;
      key_len = f.end - f.start;
    } else if (f.number == 2) {
      value = b + f.start;
      value_len = f.end - f.start;
    }
  }
  if (key_len != 0) builder_add_meta(s, key, key_len, value, value_len);
}

bool read_opset_import(BuilderState& s, const uint8_t* b, uint64_t start, uint64_t end) {
  uint64_t pos = start, domain_off = 0, domain_len = 0, version = 0;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) break;
    if (st == PbStep::kBad) return false;
    if (f.number == 1 && f.wire == kWireLen) {
      domain_off = f.start;
      domain_len = f.end - f.start;
    } else if (f.number == 2 && f.wire == kWireVarint) {
      version = f.value;
    }
  }
  OpsetTable& t = s.opsets;
  if (t.count < kMaxOpsetImports) {
    t.domain_offset[t.count] = domain_off;
    t.domain_length[t.count] = domain_len;
    t.version[t.count] = version;
    ++t.count;
  }
  return true;
}

}  // namespace

const char* onnx_read_model(BuilderState& s, const uint8_t* b, uint64_t size, OnnxModelInfo* info) {
  static constexpr const char* kTextKeys[7] = {nullptr, nullptr, "onnx.producer_name",
                                               "onnx.producer_version", "onnx.domain", nullptr,
                                               "onnx.doc_string"};
  bool have_graph = false;
  uint64_t pos = 0;
  while (pos < size) {
    uint64_t tag = pb_read_varint(b, size, pos);
    uint64_t number = tag >> 3;
    uint32_t wire = static_cast<uint32_t>(tag & 7);
    if (wire == kWireLen && (number == 7 || number == 14 || number == 8 ||
                             (number >= 2 && number <= 6 && number != 5))) {
      uint64_t len = pb_read_varint(b, size, pos);
      bool fits = len <= size - pos;
      uint64_t start = pos, end = fits ? pos + len : size;
      if (number == 7) {
        if (!fits) return "corrupt ModelProto";
        info->graph_start = start;
        info->graph_end = end;
        have_graph = true;
      } else if (number == 14) {
        if (!fits) return "corrupt ModelProto metadata_props";
        read_metadata_prop(s, b, start, end);
      } else if (number == 8) {
        if (!fits) return "corrupt ModelProto opset_import";
        if (!read_opset_import(s, b, start, end)) return "corrupt ModelProto opset_import";
      } else {
        if (!fits) return "corrupt ModelProto string";
        if (len != 0) {
          const char* key = kTextKeys[number];
          builder_add_meta(s, text(key), std::strlen(key), b + start, len);
        }
      }
      pos = end;
      continue;
    }
    if (number == 1 && wire == kWireVarint) {
      s.ir_version = pb_read_varint(b, size, pos);
      continue;
    }
    if (!pb_skip_field(b, size, pos, wire)) return "corrupt ModelProto";
  }
  if (!have_graph) return "no GraphProto found in ONNX";
  return nullptr;
}

void onnx_node_header(const uint8_t* b, uint64_t start, uint64_t end, OnnxNodeHeader* out) {
  *out = OnnxNodeHeader{};
  uint64_t pos = start;
  PbField f;
  while (pb_next(b, end, pos, f) == PbStep::kField) {
    if (f.wire != kWireLen) continue;
    uint64_t len = f.end - f.start;
    if (f.number == 3) {
      out->name_offset = f.start;
      out->name_length = len;
    } else if (f.number == 4) {
      out->op_offset = f.start;
      out->op_length = len;
    } else if (f.number == 7) {
      out->domain_offset = f.start;
      out->domain_length = len;
    } else if (f.number == 2 && out->output_offset == 0) {
      out->output_offset = f.start;
      out->output_length = len;
    }
  }
}

std::string node_label(const BuilderState& s, uint64_t i) {
  if (i >= kMaxNodes || s.onnx == nullptr) return std::string();
  const NodeOrigin& o = s.origin[i];
  const char* b = reinterpret_cast<const char*>(s.onnx);
  if (o.name_length != 0) return std::string(b + o.name_offset, o.name_length);
  if (o.proto_end <= o.proto_start) return std::string();
  OnnxNodeHeader h;
  onnx_node_header(s.onnx, o.proto_start, o.proto_end, &h);
  return std::string(b + h.output_offset, h.output_length);
}

namespace {

void fill_span(const uint8_t* b, uint64_t start, uint64_t end, OnnxNodeSpan& n) {
  n = OnnxNodeSpan{};
  uint64_t pos = start;
  PbField f;
  while (pb_next(b, end, pos, f) == PbStep::kField) {
    if (f.wire != kWireLen) continue;
    uint64_t len = f.end - f.start;
    if (f.number == 1 && n.input_count < 8) {
      n.input_offset[n.input_count] = f.start;
      n.input_length[n.input_count++] = len;
    } else if (f.number == 2 && n.output_count < 4) {
      n.output_offset[n.output_count] = f.start;
      n.output_length[n.output_count++] = len;
    } else if (f.number == 3) {
      n.name_offset = f.start, n.name_length = len;
    } else if (f.number == 4) {
      n.op_offset = f.start, n.op_length = len;
    } else if (f.number == 5) {
      uint64_t apos = f.start;
      PbField a;
      bool named = false;
      uint64_t value = 0;
      while (pb_next(b, f.end, apos, a) == PbStep::kField) {
        if (a.number == 1 && a.wire == kWireLen) named = text_equal(b + a.start, a.end - a.start, "center_point_box");
        if (a.number == 3 && a.wire == kWireVarint) value = a.value;
      }
      if (named) n.center_point_box = value;
    }
  }
}

}  // namespace

int64_t onnx_node_spans(const uint8_t* b, uint64_t start, uint64_t end, OnnxNodeSpan* spans, uint64_t capacity) {
  uint64_t pos = start, count = 0;
  PbField f;
  for (;;) {
    PbStep st = pb_next(b, end, pos, f);
    if (st == PbStep::kEnd) break;
    if (st == PbStep::kBad) return -1;
    if (f.number != 1 || f.wire != kWireLen) continue;
    if (count < capacity) fill_span(b, f.start, f.end, spans[count]);
    ++count;
  }
  return static_cast<int64_t>(count);
}

int64_t onnx_node_by_output(const OnnxNodeSpan* spans, uint64_t count, const uint8_t* b, uint64_t name_offset,
                            uint64_t name_length) {
  for (uint64_t i = 0; i < count; ++i) {
    const OnnxNodeSpan& n = spans[i];
    for (uint64_t k = 0; k < n.output_count && k < 4; ++k)
      if (bytes_equal(b + n.output_offset[k], n.output_length[k], b + name_offset, name_length))
        return static_cast<int64_t>(i);
  }
  return -1;
}

}  // namespace vorn
