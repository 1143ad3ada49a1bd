// Fixed numbers of the .vorn container layout: header fields, section slots,
// strides and alignment, plus the little-endian word access every reader and
// writer of the format shares.
#pragma once
#include <cstdint>
#include <cstring>

namespace vorn {

constexpr uint64_t kHeaderSize = 512;
constexpr uint64_t kAlignment = 16384;
constexpr uint64_t kMaxMetadataEnd = 67108864;  // 64 MiB
constexpr uint64_t kSectionCount = 11;
constexpr uint64_t kSectionHeaderSize = 32;
constexpr uint64_t kSectionAlign = 64;
constexpr uint64_t kMaxTensors = 1048576;
constexpr uint64_t kMaxGroups = 65536;
constexpr uint64_t kMaxPadding = 16383;
// "VORN" followed by four zero bytes, read as one little-endian u64.
constexpr uint64_t kMagic = 0x4E524F56ull;

// Header byte offsets.
enum : uint64_t {
  kHdrMagic = 0,
  kHdrVersion = 8,
  kHdrReserved = 16,
  kHdrHeaderSize = 24,
  kHdrFileSize = 32,
  kHdrAlignment = 40,
  kHdrMetaEnd = 48,
  kHdrDataSize = 56,
  kHdrDirectory = 64,  // 11 x {offset, size}
  kHdrMetaDigest = 240,
  kHdrHeaderDigest = 256,
  kHdrDataChecksum = 272,
};

// Section slots.
enum : uint64_t {
  kSecPool = 0,
  kSecMeta = 1,
  kSecElemKinds = 2,
  kSecTensors = 3,
  kSecGroups = 4,
  kSecPlan = 5,
  kSecNodes = 6,
  kSecRanges = 7,
  kSecValues = 8,
  kSecReserved = 9,
  kSecDigests = 10,
};

// Strides the writers use (readers accept larger ones where noted).
enum : uint64_t {
  kStridePool = 1,
  kStrideMeta = 64,
  kStrideElemKind = 64,
  kStrideTensor = 192,
  kStrideGroup = 80,
  kStridePlan = 96,
  kStrideNode = 256,
  kStrideRange = 48,
  kStrideValue = 128,
  kStrideReserved = 64,
  kStrideDigest = 16,
};

// Spare room writers leave for in-place metadata edits.
constexpr uint64_t kPoolSpare = 4096;
constexpr uint64_t kMetaSpareRecords = 64;

inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // the format is little-endian and so is every supported host
}
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// offset <= size and length <= size - offset, without overflow.
inline bool range_fits(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

inline uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// A Q8 block: 64 signed bytes, then the block's f32 scale.
constexpr uint64_t kQ8BlockValues = 64;
constexpr uint64_t kQ8BlockBytes = 68;

// The element-kind table of section 2: one row per kind 1..4.
struct ElementKindRow {
  uint64_t bits, values_per_block, bytes_per_block, scale_kind, scale_offset, zero, klass;
};
inline const ElementKindRow& element_kind_row(uint64_t kind) {
  static constexpr ElementKindRow rows[4] = {
      {16, 1, 2, 0, 0, 0, 1},
      {32, 1, 4, 0, 0, 0, 1},
      {64, 1, 8, 0, 0, 0, 2},
      {8, kQ8BlockValues, kQ8BlockBytes, 2, kQ8BlockValues, 0, 3},
  };
  return rows[kind - 1];
}

// Stored bytes of one row of `cols` (at least 1) values of element kind
// 1..4: whole blocks of the kind's row above. False when that does not fit
// in 64 bits.
inline bool element_row_bytes(uint64_t kind, uint64_t cols, uint64_t* bytes) {
  const ElementKindRow& row = element_kind_row(kind);
  return !__builtin_mul_overflow((cols - 1) / row.values_per_block + 1, row.bytes_per_block, bytes);
}

}  // namespace vorn
