// Typed meta_kv lookups. Nothing here trusts a record: key and value ranges
// are checked against the pool before they are read, and a malformed value
// reads as missing.
#include <cstring>

#include "container/format.h"
#include "container/meta.h"
#include "container/sections.h"

namespace vorn {

namespace {

SectionView view(const ContainerHandle* h) { return SectionView{h->meta, h->meta_len}; }

bool meta_usable(const ContainerHandle* h) {
  return h != nullptr && h->meta != nullptr && view(h).stride(kSecMeta) >= kStrideMeta;
}

MetaRecord read_record(const SectionView& v, uint64_t i) {
  MetaRecord r;
  std::memcpy(&r, v.record_ptr(kSecMeta, i), sizeof(r));
  return r;
}

// The record of key with the required type, or false.
bool find_typed(const ContainerHandle* h, std::string_view key, uint64_t type, MetaRecord* out) {
  MetaRecord r;
  if (!container_find_meta(h, key, &r) || r.type != type) return false;
  *out = r;
  return true;
}

}  // namespace

uint64_t container_meta_count(const ContainerHandle* h) {
  return meta_usable(h) ? view(h).count(kSecMeta) : 0;
}

uint64_t container_meta_valid_count(const ContainerHandle* h) {
  if (!meta_usable(h)) return 0;
  SectionView v = view(h);
  uint64_t n = 0;
  for (uint64_t i = 0; i < v.count(kSecMeta); ++i) n += read_record(v, i).is_free() ? 0 : 1;
  return n;
}

MetaRecord container_meta_record(const ContainerHandle* h, uint64_t i) {
  if (!meta_usable(h) || i >= view(h).count(kSecMeta)) return MetaRecord{};
  return read_record(view(h), i);
}

Slice container_pool_slice(const ContainerHandle* h, uint64_t offset, uint64_t length) {
  if (h == nullptr || h->meta == nullptr || length == 0) return empty_slice();
  SectionView v = view(h);
  if (!range_fits(offset, length, v.pool_size())) return empty_slice();
  return slice_of(v.pool() + offset, length);
}

const uint8_t* container_meta_value_ptr(const ContainerHandle* h, const MetaRecord& r) {
  if (h == nullptr || h->meta == nullptr) return nullptr;
  SectionView v = view(h);
  if (!range_fits(r.value, r.length, v.pool_size())) return nullptr;
  return v.pool() + r.value;
}

Slice container_meta_key(const ContainerHandle* h, const MetaRecord& r) {
  return container_pool_slice(h, r.key_offset, r.key_length);
}

bool container_find_meta(const ContainerHandle* h, std::string_view key, MetaRecord* out) {
  if (key.empty() || !meta_usable(h)) return false;
  SectionView v = view(h);
  const uint64_t n = v.count(kSecMeta);
  const uint8_t* pool = v.pool();
  const uint64_t pool_size = v.pool_size();
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* rec = v.record_ptr(kSecMeta, i);
    const uint64_t key_off = load_u64(rec);
    if (load_u64(rec + 8) != key.size() || load_u64(rec + 16) == 0) continue;
    if (!range_fits(key_off, key.size(), pool_size)) continue;
    if (std::memcmp(pool + key_off, key.data(), key.size()) != 0) continue;
    if (out != nullptr) std::memcpy(out, rec, sizeof(MetaRecord));
    return true;
  }
  return false;
}

Slice container_meta_str(const ContainerHandle* h, std::string_view key, Slice dflt) {
  MetaRecord r;
  if (!find_typed(h, key, kMetaString, &r)) return dflt;
  const uint8_t* p = container_meta_value_ptr(h, r);
  if (p == nullptr) return dflt;
  return r.length == 0 ? empty_slice() : slice_of(p, r.length);
}

std::string_view container_meta_text(const ContainerHandle* h, std::string_view key, std::string_view dflt) {
  MetaRecord r;
  if (!find_typed(h, key, kMetaString, &r)) return dflt;
  const uint8_t* p = container_meta_value_ptr(h, r);
  if (p == nullptr) return dflt;
  return std::string_view(reinterpret_cast<const char*>(p), size_t(r.length));
}

double container_meta_f64(const ContainerHandle* h, std::string_view key, double dflt) {
  MetaRecord r;
  if (!find_typed(h, key, kMetaF64, &r)) return dflt;
  double d;
  std::memcpy(&d, &r.value, 8);
  return d;
}

int64_t container_meta_i64(const ContainerHandle* h, std::string_view key, int64_t dflt) {
  MetaRecord r;
  return find_typed(h, key, kMetaI64, &r) ? int64_t(r.value) : dflt;
}

bool container_meta_bool(const ContainerHandle* h, std::string_view key, uint32_t dflt) {
  MetaRecord r;
  return find_typed(h, key, kMetaBool, &r) ? r.value != 0 : (dflt & 1) != 0;
}

Slice container_meta_list_item(const ContainerHandle* h, std::string_view key, uint64_t index) {
  MetaRecord r;
  if (!find_typed(h, key, kMetaStringList, &r) || index >= r.items) return empty_slice();
  const uint8_t* p = container_meta_value_ptr(h, r);
  if (p == nullptr) return empty_slice();
  uint64_t pos = 0;
  for (uint64_t item = 0; pos < r.length; ++item) {
    const void* nul = std::memchr(p + pos, 0, size_t(r.length - pos));
    const uint64_t end = nul ? uint64_t(static_cast<const uint8_t*>(nul) - p) : r.length;
    if (item == index) return end == pos ? empty_slice() : slice_of(p + pos, end - pos);
    pos = end + 1;
  }
  return empty_slice();
}

uint64_t container_meta_list_count(const ContainerHandle* h, std::string_view key) {
  MetaRecord r;
  if (!find_typed(h, key, kMetaStringList, &r) || container_meta_value_ptr(h, r) == nullptr) return 0;
  return r.items;
}

const uint8_t* container_meta_f32_array(const ContainerHandle* h, std::string_view key, uint64_t* out_count) {
  MetaRecord r;
  const uint8_t* p = nullptr;
  if (find_typed(h, key, kMetaF32Array, &r)) p = container_meta_value_ptr(h, r);
  if (out_count != nullptr) *out_count = p ? r.length / 4 : 0;
  return p;
}

}  // namespace vorn
