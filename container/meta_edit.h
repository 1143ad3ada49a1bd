// Editing a .vorn file's meta_kv records (set and delete) without converting
// the model again. The file is checked first (header, digests, sections);
// every edit writes the complete new container beside it and renames it
// over, so a crash at any point leaves the old file or the new one. Edits of
// one file are serialised, a path through symbolic links edits the file they
// name, and the file keeps its owner and mode.
#pragma once
#include <cstdint>

#include "base/bytes.h"
#include "base/result.h"

namespace vorn {

using MetaEditResult = Result<uint32_t, ByteString>;  // error: owned message

// Sets key to a typed value (MetaValueType): the inline value for types
// 2..4, the value bytes for pool types 1, 5, 6, 7; flags go to the record
// (kMetaFlagImmutable), items to its item count.
MetaEditResult container_meta_set(Slice path, Slice key, uint64_t value_type, uint64_t flags,
                                  uint64_t inline_value, Slice value, uint64_t items);
MetaEditResult container_meta_delete(Slice path, Slice key);

// One past the last pool byte any record refers to, at most the pool size.
uint64_t container_pool_used_end(const uint8_t* meta, uint64_t meta_end);

// Stores both digests into the image and writes [0, M) at file offset 0.
bool container_write_metadata(int fd, uint8_t* meta, uint64_t meta_end);

}  // namespace vorn
