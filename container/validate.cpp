// Structural validation of a container's metadata image: the header fields,
// the section directory, and the load structure (element kinds, groups,
// tensors, plan and ranges) that the weight loader will trust.
#include <cstring>

#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "container/sections.h"

namespace vorn {

namespace {

bool header_fields_valid(const uint8_t* h, uint64_t length) {
  if (length < kHeaderSize || length >= (uint64_t(1) << 63)) return false;
  if (load_u64(h + kHdrMagic) != kMagic) return false;
  if (load_u64(h + kHdrVersion) != 1) return false;
  if (load_u64(h + kHdrHeaderSize) != kHeaderSize) return false;
  if (load_u64(h + kHdrFileSize) != length) return false;
  if (load_u64(h + kHdrAlignment) != kAlignment) return false;
  uint64_t m = load_u64(h + kHdrMetaEnd);
  if (m < kHeaderSize || m > kMaxMetadataEnd || m % kAlignment != 0 || m > length) return false;
  return load_u64(h + kHdrDataSize) == length - m;
}

bool header_digest_valid(const uint8_t* h) {
  uint8_t copy[kHeaderSize];
  std::memcpy(copy, h, kHeaderSize);
  std::memset(copy + kHdrHeaderDigest, 0, 16);
  return xxh3_128_matches(copy, kHeaderSize, h + kHdrHeaderDigest);
}

bool section_rules_hold(const SectionView& v) {
  uint64_t prev_end = kHeaderSize;
  for (uint64_t s = 0; s < kSectionCount; ++s) {
    uint64_t off = v.offset(s);
    uint64_t size = v.size(s);
    if (off % kSectionAlign != 0 || off < prev_end || size < kSectionHeaderSize) return false;
    if (!range_fits(off, size, v.meta_end)) return false;
    uint64_t version = v.word(off);
    uint64_t stride = v.word(off + 8);
    uint64_t count = v.word(off + 16);
    uint64_t bytes = v.word(off + 24);
    if (version != 1 || stride == 0 || bytes > size - kSectionHeaderSize || count > bytes / stride)
      return false;
    prev_end = off + size;
  }
  return true;
}

bool kind_row_valid(const SectionView& v, uint64_t kind) {
  if (kind < 1 || kind > 4 || v.count(kSecElemKinds) < kind) return false;
  const ElementKindRow& want = element_kind_row(kind);
  const uint8_t* r = v.record_ptr(kSecElemKinds, kind - 1);
  return load_u64(r + 8) == want.bits && load_u64(r + 16) == want.values_per_block &&
         load_u64(r + 24) == want.bytes_per_block && load_u64(r + 32) == want.scale_kind &&
         load_u64(r + 40) == want.scale_offset && load_u64(r + 48) == want.zero &&
         load_u64(r + 56) == want.klass;
}

// One tensor record against its group's extent [p, group_end).
bool tensor_valid(const SectionView& v, uint64_t t, uint64_t g, uint64_t p, uint64_t group_end,
                  uint64_t m) {
  const uint8_t* r = v.record_ptr(kSecTensors, t);
  uint64_t kind = load_u64(r + 8);
  uint64_t rank = load_u64(r + 32);
  uint64_t b = load_u64(r + 96);
  uint64_t padded = load_u64(r + 104);
  if (kind != kElemF16 && kind != kElemF32 && kind != kElemQ8) return false;
  if (rank > kMaxRank || b == 0 || padded == 0 || padded < b || padded % kAlignment != 0) return false;
  if (!range_fits(p, padded, group_end)) return false;
  if (!kind_row_valid(v, kind)) return false;
  uint64_t last = rank > 0 ? load_u64(r + 40 + 8 * (rank - 1)) : 1;
  uint64_t row_bytes;
  if (last == 0 || !element_row_bytes(kind, last, &row_bytes) || row_bytes > b) return false;
  uint64_t product = row_bytes;
  for (uint64_t d = 0; d + 1 < rank; ++d) {
    uint64_t dim = load_u64(r + 40 + 8 * d);
    if (dim == 0 || dim > b / product) return false;
    product *= dim;
  }
  if (product != b) return false;
  if (load_u64(r + 136) != row_bytes || padded - b > kMaxPadding) return false;
  return load_u64(r + 16) == 0 && load_u64(r + 24) == g && load_u64(r + 88) == m + p &&
         load_u64(r + 112) == p && load_u64(r + 120) == 0 && load_u64(r + 128) == t;
}

bool range_record_is(const SectionView& v, uint64_t j, const uint64_t (&want)[6]) {
  const uint8_t* r = v.record_ptr(kSecRanges, j);
  for (int i = 0; i < 6; ++i)
    if (load_u64(r + 8 * i) != want[i]) return false;
  return true;
}

bool load_structure_valid(const SectionView& v, uint64_t* data_size) {
  uint64_t m = v.meta_end;
  if (v.stride(kSecElemKinds) < 64 || v.stride(kSecTensors) < 192 || v.stride(kSecGroups) < 80 ||
      v.stride(kSecPlan) < 96 || v.stride(kSecRanges) < 48)
    return false;
  if (v.count(kSecPlan) != 1) return false;
  for (uint64_t k = 1; k <= 3; ++k)
    if (!kind_row_valid(v, k)) return false;
  const uint64_t plan = v.record(kSecPlan, 0);
  uint64_t d = v.word(plan + 32);
  uint64_t groups = v.count(kSecGroups);
  uint64_t tensors = v.count(kSecTensors);
  if (groups < 1 || groups > kMaxGroups || tensors > kMaxTensors) return false;
  if (v.count(kSecRanges) != 2 * groups) return false;
  if (v.count(kSecDigests) != tensors + 1 || v.stride(kSecDigests) != kStrideDigest) return false;
  if (v.word(plan + 8) != 3 || v.word(plan + 16) != 0 || v.word(plan + 24) != groups ||
      v.word(plan + 40) != m || v.word(plan + 48) != 0 || v.word(plan + 56) != groups)
    return false;
  if (d == 0 || d % kAlignment != 0 || !range_fits(m, d, v.word(kHdrFileSize))) return false;

  uint64_t p = 0;
  uint64_t t = 0;
  for (uint64_t g = 0; g < groups; ++g) {
    const uint8_t* r = v.record_ptr(kSecGroups, g);
    uint64_t c = load_u64(r + 24);
    uint64_t s = load_u64(r + 40);
    if (load_u64(r + 8) != 0 || load_u64(r + 16) != t) return false;
    if (c == 0 || c > tensors - t) return false;
    if (s == 0 || s % kAlignment != 0 || !range_fits(p, s, d)) return false;
    if (load_u64(r + 32) != m + p || load_u64(r + 48) != p || load_u64(r + 56) != g) return false;
    const uint64_t direct[6] = {m + p, s, p, g, 0, 0};
    const uint64_t second[6] = {m + p, s, 0, g, g + 1, g & 1};
    if (!range_record_is(v, g, direct) || !range_record_is(v, groups + g, second)) return false;
    const uint64_t group_end = p + s;
    for (uint64_t i = 0; i < c; ++i, ++t) {
      if (!tensor_valid(v, t, g, p, group_end, m)) return false;
      p += load_u64(v.record_ptr(kSecTensors, t) + 104);
    }
    if (p != group_end) return false;
  }
  if (p != d || t != tensors) return false;
  *data_size = d;
  return true;
}

}  // namespace

bool container_header_valid(const uint8_t* header, uint64_t length) {
  return header != nullptr && header_fields_valid(header, length) && header_digest_valid(header);
}

bool element_kind_valid(const ContainerHandle* h, uint64_t kind) {
  return h != nullptr && h->meta != nullptr && kind_row_valid(SectionView{h->meta, h->meta_len}, kind);
}

bool container_header_fields_valid(const uint8_t* header, uint64_t length) {
  return header != nullptr && header_fields_valid(header, length);
}

bool container_header_digest_valid(const uint8_t* header) { return header_digest_valid(header); }

bool sections_valid(const uint8_t* meta, uint64_t meta_end, uint64_t* data_size) {
  SectionView v{meta, meta_end};
  return section_rules_hold(v) && load_structure_valid(v, data_size);
}

}  // namespace vorn
