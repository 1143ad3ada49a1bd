// Writing a .vorn container: the converter, the metadata editor and tests
// describe a model as tensors, load groups, meta entries and graph records,
// and the writer lays out the sections, fills the load structure and the
// digests, and writes header, metadata region and data region in that order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "container/records.h"

namespace vorn {

struct WriterTensor {
  std::string name;
  uint64_t kind = kElemF32;  // kElemF16, kElemF32 or kElemQ8
  uint64_t rank = 1;         // 0..6
  uint64_t dims[6] = {};
  // The stored bytes, borrowed until the write returns: exactly row bytes *
  // rows (Q8 rows are ceil(cols / 64) blocks of 68 bytes).
  Slice data{};
};

struct WriterMeta {
  std::string key;
  uint64_t type = kMetaString;  // MetaValueType
  uint64_t flags = 0;           // kMetaFlagImmutable
  uint64_t inline_value = 0;    // f64 bits, i64 or bool (types 2..4)
  std::string bytes;            // pool value (types 1, 5, 6, 7)
  uint64_t items = 0;           // item count (types 5, 6)

  static WriterMeta str(std::string key, std::string value);
  static WriterMeta f64(std::string key, double value);
  static WriterMeta i64(std::string key, int64_t value);
  static WriterMeta boolean(std::string key, bool value);
  static WriterMeta list(std::string key, const std::vector<std::string>& items);
  static WriterMeta f32_array(std::string key, const std::vector<float>& values);
};

// A graph value: the writer fills words 13 and 14 (name) and, for weights,
// word 12 (the tensor's relative offset) from the layout.
struct WriterValue {
  ValueRecord record{};
  std::string name;
};

// A section stored as given (the generative graph block in slot 6, an aux
// table in slot 9): record bytes = stride * count.
struct WriterRawSection {
  uint64_t stride = 0;
  uint64_t count = 0;
  std::vector<uint8_t> bytes;
};

struct ContainerSpec {
  std::vector<WriterTensor> tensors;  // at least one
  // Tensors per load group, in index order; empty means one group holding
  // every tensor. Every entry is non-zero and they sum to the tensor count.
  std::vector<uint64_t> group_counts;
  // Optional group names, stored as absolute offsets of pool strings, or of
  // strings in the meta_kv section's extent when group_names_in_meta is set
  // (where the generative graph looks for them).
  std::vector<std::string> group_names;
  bool group_names_in_meta = false;
  // NUL-terminated strings placed inside the meta_kv section's extent after
  // its records, for structures that name things by absolute offset (graph
  // blocks, aux tables). Their offsets are in ContainerLayout.
  std::vector<WriterMeta> meta;
  std::vector<NodeRecord> nodes;
  std::vector<WriterValue> values;
  std::optional<WriterRawSection> raw_nodes;     // replaces node records
  std::optional<WriterRawSection> raw_reserved;  // replaces the zero record of slot 9
  std::vector<std::string> meta_strings;
  // Byte blobs stored after the data region (files that an aux table names
  // by absolute offset, such as a generative model's configuration
  // documents), borrowed until the write returns. Each starts on a 16-byte
  // boundary; the container ends on one.
  std::vector<Slice> trailing;
  uint64_t pool_spare = 4096;
  uint64_t meta_spare = 64;
};

// Where things landed, for callers that patch absolute offsets (raw
// sections) or check a layout. The layout depends only on the ContainerSpec's sizes
// and counts, so a caller can build once, patch offsets into its raw
// sections and build again.
struct ContainerLayout {
  uint64_t section_offset[11] = {};
  uint64_t section_size[11] = {};
  uint64_t meta_end = 0;   // M
  uint64_t data_size = 0;  // D
  uint64_t file_size = 0;  // L
  std::vector<uint64_t> tensor_offsets;   // relative offsets in the data region
  std::vector<uint64_t> padded_sizes;
  std::vector<uint64_t> meta_string_offsets;  // absolute, one per meta_strings entry
  std::vector<uint64_t> trailing_offsets;     // absolute, one per trailing blob
};

// Builds the header and metadata image [0, M) with every record, digest
// (tensor digests included) and the data checksum filled. error receives a
// message on failure.
bool container_build_metadata(const ContainerSpec& spec, std::vector<uint8_t>* meta,
                              ContainerLayout* layout, std::string* error);

// Writes the whole container to an open descriptor at its current position
// (header, metadata, data), to a new file (mode 0644, created or truncated),
// or to memory.
bool container_write_fd(const ContainerSpec& spec, int fd, std::string* error);
bool container_write_file(const ContainerSpec& spec, const char* path, std::string* error);
bool container_write_memory(const ContainerSpec& spec, std::vector<uint8_t>* out, std::string* error);

// Stored byte size of a tensor of this kind and shape (row bytes * rows), 0
// when the shape is invalid or the size overflows.
uint64_t tensor_stored_size(uint64_t kind, uint64_t rank, const uint64_t* dims, uint64_t* row_bytes);

}  // namespace vorn
