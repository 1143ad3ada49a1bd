// Typed access to the meta_kv records of an open container. Every getter
// reads the handle's metadata copy only and falls back to the caller's
// default when the key is missing, has another type or is malformed.
#pragma once
#include <cstdint>
#include <string_view>

#include "base/bytes.h"
#include "container/container.h"
#include "container/records.h"

namespace vorn {

// Record count of section 1 (free records included); 0 when its stride is
// below 64.
uint64_t container_meta_count(const ContainerHandle* handle);
// Records whose key length and type are both non-zero.
uint64_t container_meta_valid_count(const ContainerHandle* handle);
// Copy of meta record i; all zero when out of range.
MetaRecord container_meta_record(const ContainerHandle* handle, uint64_t index);

// Slice of the string pool; the shared empty slice when length is 0 or the
// range is not inside the pool.
Slice container_pool_slice(const ContainerHandle* handle, uint64_t offset, uint64_t length);
// Pool bytes of a record's value (value, length), or null when not inside
// the pool.
const uint8_t* container_meta_value_ptr(const ContainerHandle* handle, const MetaRecord& record);
// Key of a record as a pool slice (empty when out of the pool).
Slice container_meta_key(const ContainerHandle* handle, const MetaRecord& record);

// First live record whose key equals key exactly (no prefix matches). An
// empty key is never found. out may be null.
bool container_find_meta(const ContainerHandle* handle, std::string_view key, MetaRecord* out);

// Type 1: the string without its NUL, else dflt.
Slice container_meta_str(const ContainerHandle* handle, std::string_view key, Slice dflt);
// Same, as a string_view (dflt when missing).
std::string_view container_meta_text(const ContainerHandle* handle, std::string_view key,
                                     std::string_view dflt = {});
// Type 2.
double container_meta_f64(const ContainerHandle* handle, std::string_view key, double dflt);
// Type 3.
int64_t container_meta_i64(const ContainerHandle* handle, std::string_view key, int64_t dflt);
// Type 4; a missing key gives the default's lowest bit.
bool container_meta_bool(const ContainerHandle* handle, std::string_view key, uint32_t dflt);
// Type 5: item index without its NUL; the empty slice when missing.
Slice container_meta_list_item(const ContainerHandle* handle, std::string_view key, uint64_t index);
// Type 5: item count (word 6), 0 when missing.
uint64_t container_meta_list_count(const ContainerHandle* handle, std::string_view key);
// Type 6: pointer to the first 4-byte item (4-byte aligned in the pool, but
// read with memcpy: the copy's alignment is the heap's) and the item count
// (byte length / 4); null and 0 when missing.
const uint8_t* container_meta_f32_array(const ContainerHandle* handle, std::string_view key,
                                        uint64_t* out_count);

}  // namespace vorn
