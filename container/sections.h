// Read access to the sections of a metadata image [0, M). Only meaningful
// on an image whose section rules were checked (container_sections_valid),
// which guarantees every record of count records lies inside the image.
#pragma once
#include <cstdint>

#include "container/format.h"

namespace vorn {

struct SectionView {
  const uint8_t* meta;
  uint64_t meta_end;

  uint64_t word(uint64_t offset) const { return load_u64(meta + offset); }
  uint64_t offset(uint64_t s) const { return word(kHdrDirectory + 16 * s); }
  uint64_t size(uint64_t s) const { return word(kHdrDirectory + 16 * s + 8); }
  uint64_t stride(uint64_t s) const { return word(offset(s) + 8); }
  uint64_t count(uint64_t s) const { return word(offset(s) + 16); }
  uint64_t record(uint64_t s, uint64_t j) const { return offset(s) + kSectionHeaderSize + stride(s) * j; }
  const uint8_t* record_ptr(uint64_t s, uint64_t j) const { return meta + record(s, j); }
  uint64_t field(uint64_t s, uint64_t j, uint64_t byte) const { return word(record(s, j) + byte); }
  // Pool bytes and their count (section 0 records are single bytes).
  const uint8_t* pool() const { return meta + offset(kSecPool) + kSectionHeaderSize; }
  uint64_t pool_size() const { return count(kSecPool); }
};

// The section rules and the load-structure validation. On success stores D.
bool sections_valid(const uint8_t* meta, uint64_t meta_end, uint64_t* data_size);

// The two halves of container_header_valid: every field but the digest
// (length must also be below 2^63), and the header digest alone.
bool container_header_fields_valid(const uint8_t* header, uint64_t length);
bool container_header_digest_valid(const uint8_t* header);

}  // namespace vorn
