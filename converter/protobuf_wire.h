// The protobuf wire format, read in place: varints, field tags and the four
// wire types the converter accepts. Every length is checked against the end
// of its enclosing message before it is used.
#pragma once
#include <cstdint>
#include <cstring>

namespace vorn {

enum : uint32_t { kWireVarint = 0, kWireFixed64 = 1, kWireLen = 2, kWireFixed32 = 5 };

// One decoded field. For kWireLen, [start, end) is the payload; for the
// other types value holds the number (fixed types as their raw bits).
struct PbField {
  uint64_t number;
  uint32_t wire;
  uint64_t value;
  uint64_t start;
  uint64_t end;
};

enum class PbStep { kField, kEnd, kBad };

// Reads a varint up to end. A varint cut short by the end takes the bytes
// read and leaves pos at end; bits past 64 are dropped.
inline uint64_t pb_read_varint(const uint8_t* b, uint64_t end, uint64_t& pos) {
  uint64_t v = 0;
  unsigned shift = 0;
  while (pos < end) {
    uint8_t c = b[pos++];
    if (shift < 64) v |= uint64_t(c & 0x7F) << shift;
    shift += 7;
    if ((c & 0x80) == 0) break;
  }
  return v;
}

// Skips one field value of the given wire type; false for an unknown wire
// type or a value that runs past end.
bool pb_skip_field(const uint8_t* b, uint64_t end, uint64_t& pos, uint32_t wire);

// Reads the next field of [pos, end): kEnd at the end, kBad for an unknown
// wire type or a value running past end (pos is then unspecified).
PbStep pb_next(const uint8_t* b, uint64_t end, uint64_t& pos, PbField& f);

inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace vorn
