#include "converter/protobuf_wire.h"

namespace vorn {

bool pb_skip_field(const uint8_t* b, uint64_t end, uint64_t& pos, uint32_t wire) {
  switch (wire) {
    case kWireVarint:
      pb_read_varint(b, end, pos);
      return true;
    case kWireFixed64:
      if (pos > end || end - pos < 8) return false;
      pos += 8;
      return true;
    case kWireLen: {
      uint64_t len = pb_read_varint(b, end, pos);
      if (len > end - pos) return false;
      pos += len;
      return true;
    }
    case kWireFixed32:
      if (pos > end || end - pos < 4) return false;
      pos += 4;
      return true;
    default:
      return false;
  }
}

PbStep pb_next(const uint8_t* b, uint64_t end, uint64_t& pos, PbField& f) {
  if (pos >= end) return PbStep::kEnd;
  uint64_t tag = pb_read_varint(b, end, pos);
  f.number = tag >> 3;
  f.wire = static_cast<uint32_t>(tag & 7);
  f.value = 0;
  f.start = f.end = pos;
  switch (f.wire) {
    case kWireVarint:
      f.value = pb_read_varint(b, end, pos);
      break;
    case kWireFixed64:
      if (end - pos < 8) return PbStep::kBad;
      f.value = load_le64(b + pos);
      pos += 8;
      break;
    case kWireFixed32:
      if (end - pos < 4) return PbStep::kBad;
      f.value = load_le32(b + pos);
      pos += 4;
      break;
    case kWireLen: {
      uint64_t len = pb_read_varint(b, end, pos);
      if (len > end - pos) return PbStep::kBad;
      f.start = pos;
      f.end = pos + len;
      pos += len;
      break;
    }
    default:
      return PbStep::kBad;
  }
  f.end = f.wire == kWireLen ? f.end : pos;
  return PbStep::kField;
}

}  // namespace vorn
