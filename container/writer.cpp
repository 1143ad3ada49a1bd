// The container writer: lays out the eleven sections from offset 512,
// places every tensor on a 16 KiB boundary of the data region, fills the
// load structure so that the reader's validation holds, and signs the
// result (tensor digests, data checksum, metadata and header digests).
#include "container/writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/files.h"
#include "container/digest.h"
#include "container/format.h"

namespace vorn {

namespace {

struct PoolBuilder {
  std::vector<uint8_t> bytes{0};  // offset 0 stays a NUL

  uint64_t add(const void* p, uint64_t n, uint64_t align = 1) {
    while (bytes.size() % align != 0) bytes.push_back(0);
    const uint64_t at = bytes.size();
    const auto* b = static_cast<const uint8_t*>(p);
    if (n > 0) bytes.insert(bytes.end(), b, b + n);
    bytes.push_back(0);
    return at;
  }
  uint64_t add(const std::string& s) { return add(s.data(), s.size()); }
};

bool fail(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
  return false;
}

// XOR of the u32 words of a tensor's padded extent: the padding is zero, so
// a partial last word is completed with zero bytes.
uint32_t fold_padded(Slice data) {
  uint32_t x = xor_fold_u32(data.ptr, data.len);
  const uint64_t whole = data.len / 4 * 4;
  if (whole < data.len) {
    uint8_t tail[4] = {0, 0, 0, 0};
    std::memcpy(tail, data.ptr + whole, data.len - whole);
    x ^= load_u32(tail);
  }
  return x;
}

bool write_fully(int fd, const void* p, uint64_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  while (n > 0) {
    ssize_t w = write(fd, b, n > (uint64_t(1) << 30) ? (size_t(1) << 30) : size_t(n));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    b += w;
    n -= uint64_t(w);
  }
  return true;
}

bool write_zeros(int fd, uint64_t n) {
  static constexpr uint8_t zeros[4096] = {};
  while (n > 0) {
    const uint64_t k = n < sizeof(zeros) ? n : sizeof(zeros);
    if (!write_fully(fd, zeros, k)) return false;
    n -= k;
  }
  return true;
}

}  // namespace

uint64_t tensor_stored_size(uint64_t kind, uint64_t rank, const uint64_t* dims, uint64_t* row_bytes) {
  if ((kind != kElemF16 && kind != kElemF32 && kind != kElemQ8) || rank > kMaxRank) return 0;
  const uint64_t last = rank > 0 ? dims[rank - 1] : 1;
  uint64_t size;
  if (last == 0 || !element_row_bytes(kind, last, &size)) return 0;
  if (row_bytes != nullptr) *row_bytes = size;
  for (uint64_t d = 0; d + 1 < rank; ++d)
    if (dims[d] == 0 || __builtin_mul_overflow(size, dims[d], &size)) return 0;
  return size;
}

WriterMeta WriterMeta::str(std::string key, std::string value) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaString;
  m.bytes = std::move(value);
  return m;
}

WriterMeta WriterMeta::f64(std::string key, double value) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaF64;
  std::memcpy(&m.inline_value, &value, 8);
  return m;
}

WriterMeta WriterMeta::i64(std::string key, int64_t value) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaI64;
  m.inline_value = uint64_t(value);
  return m;
}

WriterMeta WriterMeta::boolean(std::string key, bool value) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaBool;
  m.inline_value = value ? 1 : 0;
  return m;
}

WriterMeta WriterMeta::list(std::string key, const std::vector<std::string>& items) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaStringList;
  for (const std::string& s : items) {
    m.bytes += s;
    m.bytes.push_back('\0');
  }
  m.items = items.size();
  return m;
}

WriterMeta WriterMeta::f32_array(std::string key, const std::vector<float>& values) {
  WriterMeta m;
  m.key = std::move(key);
  m.type = kMetaF32Array;
  m.bytes.assign(reinterpret_cast<const char*>(values.data()), values.size() * 4);
  m.items = values.size();
  return m;
}

bool container_build_metadata(const ContainerSpec& spec, std::vector<uint8_t>* out, ContainerLayout* layout,
                              std::string* error) {
  const uint64_t tensors = spec.tensors.size();
  if (tensors == 0) return fail(error, "a container needs at least one tensor");
  if (tensors > kMaxTensors) return fail(error, "too many tensors");
  std::vector<uint64_t> groups = spec.group_counts;
  if (groups.empty()) groups.push_back(tensors);
  uint64_t sum = 0;
  for (uint64_t c : groups) {
    if (c == 0) return fail(error, "empty load group");
    sum += c;
  }
  if (sum != tensors || groups.size() > kMaxGroups) return fail(error, "load groups do not cover the tensors");
  const uint64_t group_count = groups.size();

  // Tensor sizes and the data-region layout.
  ContainerLayout lay;
  std::vector<uint64_t> row_bytes(tensors);
  uint64_t data_size = 0;
  for (uint64_t t = 0; t < tensors; ++t) {
    const WriterTensor& w = spec.tensors[t];
    const uint64_t b = tensor_stored_size(w.kind, w.rank, w.dims, &row_bytes[t]);
    if (b == 0) return fail(error, "invalid tensor shape or kind");
    if (w.data.len != b) return fail(error, "tensor data size does not match its shape");
    const uint64_t padded = round_up(b, kAlignment);
    lay.tensor_offsets.push_back(data_size);
    lay.padded_sizes.push_back(padded);
    if (__builtin_add_overflow(data_size, padded, &data_size)) return fail(error, "data region too large");
  }

  // String pool.
  PoolBuilder pool;
  std::vector<uint64_t> tensor_names(tensors), value_names(spec.values.size()), group_names(group_count, 0);
  for (uint64_t t = 0; t < tensors; ++t) tensor_names[t] = pool.add(spec.tensors[t].name);
  for (uint64_t i = 0; i < spec.values.size(); ++i) value_names[i] = pool.add(spec.values[i].name);
  std::vector<uint64_t> group_name_pool(group_count, 0);
  if (!spec.group_names_in_meta)
    for (uint64_t g = 0; g < group_count && g < spec.group_names.size(); ++g)
      group_name_pool[g] = pool.add(spec.group_names[g]);
  // Strings kept in the meta_kv section's extent, after its records.
  std::vector<std::string> meta_strings = spec.meta_strings;
  if (spec.group_names_in_meta)
    for (uint64_t g = 0; g < group_count && g < spec.group_names.size(); ++g) meta_strings.push_back(spec.group_names[g]);
  uint64_t meta_strings_bytes = 0;
  for (const std::string& s : meta_strings) meta_strings_bytes += s.size() + 1;
  std::vector<uint64_t> key_offs(spec.meta.size()), value_offs(spec.meta.size());
  for (uint64_t i = 0; i < spec.meta.size(); ++i) {
    const WriterMeta& m = spec.meta[i];
    if (m.key.empty() || m.type < kMetaString || m.type > kMetaBlob) return fail(error, "invalid meta entry");
    key_offs[i] = pool.add(m.key);
    if (MetaRecord::is_pool_type(m.type))
      value_offs[i] = pool.add(m.bytes.data(), m.bytes.size(), m.type == kMetaF32Array ? 4 : 1);
  }
  const uint64_t pool_count = pool.bytes.size() + spec.pool_spare;
  const uint64_t meta_count = spec.meta.size() + spec.meta_spare;

  // Section layout in slot order from 512.
  uint64_t stride[11] = {kStridePool, kStrideMeta, kStrideElemKind, kStrideTensor, kStrideGroup, kStridePlan,
                         kStrideNode, kStrideRange, kStrideValue, kStrideReserved, kStrideDigest};
  uint64_t count[11] = {pool_count, meta_count, 4, tensors, group_count, 1,
                        spec.nodes.size(), 2 * group_count, spec.values.size(), 1, tensors + 1};
  if (spec.raw_nodes) {
    stride[kSecNodes] = spec.raw_nodes->stride;
    count[kSecNodes] = spec.raw_nodes->count;
  }
  if (spec.raw_reserved) {
    stride[kSecReserved] = spec.raw_reserved->stride;
    count[kSecReserved] = spec.raw_reserved->count;
  }
  uint64_t pos = kHeaderSize;
  for (uint64_t s = 0; s < kSectionCount; ++s) {
    if (stride[s] == 0) return fail(error, "a section stride is zero");
    const uint64_t bytes = stride[s] * count[s];
    if ((count[s] != 0 && bytes / count[s] != stride[s]) || bytes > kMaxMetadataEnd ||
        meta_strings_bytes > kMaxMetadataEnd)
      return fail(error, "metadata region too large");
    lay.section_offset[s] = pos;
    lay.section_size[s] = round_up(kSectionHeaderSize + bytes + (s == kSecMeta ? meta_strings_bytes : 0), kSectionAlign);
    pos += lay.section_size[s];
    if (pos > kMaxMetadataEnd) return fail(error, "metadata region too large");
  }
  for (const auto* raw : {&spec.raw_nodes, &spec.raw_reserved})
    if (*raw && (*raw)->bytes.size() != (*raw)->stride * (*raw)->count)
      return fail(error, "raw section size does not match stride and count");
  const uint64_t m = round_up(pos, kAlignment);
  if (m > kMaxMetadataEnd) return fail(error, "metadata region too large");
  lay.meta_end = m;
  lay.data_size = data_size;
  if (__builtin_add_overflow(m, data_size, &lay.file_size) || lay.file_size >= (uint64_t(1) << 63))
    return fail(error, "container too large");
  for (const Slice& blob : spec.trailing) {
    lay.trailing_offsets.push_back(lay.file_size);
    if (blob.len >= (uint64_t(1) << 62)) return fail(error, "container too large");
    lay.file_size = round_up(lay.file_size + blob.len, 16);
    if (lay.file_size >= (uint64_t(1) << 62)) return fail(error, "container too large");
  }

  std::vector<uint8_t>& img = *out;
  img.assign(m, 0);
  uint8_t* h = img.data();
  store_u64(h + kHdrMagic, kMagic);
  store_u64(h + kHdrVersion, 1);
  store_u64(h + kHdrHeaderSize, kHeaderSize);
  store_u64(h + kHdrFileSize, lay.file_size);
  store_u64(h + kHdrAlignment, kAlignment);
  store_u64(h + kHdrMetaEnd, m);
  store_u64(h + kHdrDataSize, lay.file_size - m);
  auto rec = [&](uint64_t s, uint64_t j) { return h + lay.section_offset[s] + kSectionHeaderSize + stride[s] * j; };
  for (uint64_t s = 0; s < kSectionCount; ++s) {
    store_u64(h + kHdrDirectory + 16 * s, lay.section_offset[s]);
    store_u64(h + kHdrDirectory + 16 * s + 8, lay.section_size[s]);
    uint8_t* sh = h + lay.section_offset[s];
    store_u64(sh, 1);
    store_u64(sh + 8, stride[s]);
    store_u64(sh + 16, count[s]);
    store_u64(sh + 24, stride[s] * count[s]);
  }
  const uint64_t pool_abs = lay.section_offset[kSecPool] + kSectionHeaderSize;
  std::memcpy(rec(kSecPool, 0), pool.bytes.data(), pool.bytes.size());

  for (uint64_t i = 0; i < spec.meta.size(); ++i) {
    const WriterMeta& wm = spec.meta[i];
    const bool pooled = MetaRecord::is_pool_type(wm.type);
    MetaRecord r{key_offs[i], wm.key.size(), wm.type, wm.flags, pooled ? value_offs[i] : wm.inline_value,
                 pooled ? wm.bytes.size() : 0, wm.items, 0};
    std::memcpy(rec(kSecMeta, i), &r, sizeof(r));
  }
  {
    uint64_t at = lay.section_offset[kSecMeta] + kSectionHeaderSize + kStrideMeta * meta_count;
    for (const std::string& s : meta_strings) {
      std::memcpy(h + at, s.data(), s.size());
      lay.meta_string_offsets.push_back(at);
      at += s.size() + 1;
    }
  }
  for (uint64_t k = 1; k <= 4; ++k) {
    const ElementKindRow& row = element_kind_row(k);
    const uint64_t words[8] = {0, row.bits, row.values_per_block, row.bytes_per_block, row.scale_kind,
                               row.scale_offset, row.zero, row.klass};
    std::memcpy(rec(kSecElemKinds, k - 1), words, sizeof(words));
  }

  uint32_t checksum = 0;
  uint64_t t = 0;
  for (uint64_t g = 0; g < group_count; ++g) {
    const uint64_t first = t;
    const uint64_t p = lay.tensor_offsets[first];
    uint64_t size = 0;
    for (uint64_t i = 0; i < groups[g]; ++i, ++t) {
      const WriterTensor& w = spec.tensors[t];
      TensorRecord tr{};
      tr.name_offset = tensor_names[t];
      tr.kind = w.kind;
      tr.group = g;
      tr.rank = w.rank;
      for (uint64_t d = 0; d < w.rank; ++d) tr.dims[d] = w.dims[d];
      tr.container_offset = m + lay.tensor_offsets[t];
      tr.byte_size = w.data.len;
      tr.padded_size = lay.padded_sizes[t];
      tr.relative_offset = lay.tensor_offsets[t];
      tr.index = t;
      tr.row_bytes = row_bytes[t];
      std::memcpy(rec(kSecTensors, t), &tr, sizeof(tr));
      size += lay.padded_sizes[t];

      Xxh3Stream digest;
      if (!digest.ok()) return fail(error, "out of memory");
      digest.update(w.data.ptr, w.data.len);
      static constexpr uint8_t zeros[4096] = {};
      for (uint64_t left = lay.padded_sizes[t] - w.data.len; left > 0;) {
        const uint64_t k = left < sizeof(zeros) ? left : sizeof(zeros);
        digest.update(zeros, k);
        left -= k;
      }
      digest.finish(rec(kSecDigests, t));
      checksum ^= fold_padded(w.data);
    }
    uint64_t name = group_name_pool[g] ? pool_abs + group_name_pool[g] : 0;
    if (spec.group_names_in_meta && g < spec.group_names.size())
      name = lay.meta_string_offsets[spec.meta_strings.size() + g];
    const uint64_t grp[8] = {name, 0, first, groups[g], m + p, size, p, g};
    std::memcpy(rec(kSecGroups, g), grp, sizeof(grp));
    const uint64_t direct[6] = {m + p, size, p, g, 0, 0};
    const uint64_t second[6] = {m + p, size, 0, g, g + 1, g & 1};
    std::memcpy(rec(kSecRanges, g), direct, sizeof(direct));
    std::memcpy(rec(kSecRanges, group_count + g), second, sizeof(second));
  }
  const uint64_t plan[8] = {0, 3, 0, group_count, data_size, m, 0, group_count};
  std::memcpy(rec(kSecPlan, 0), plan, sizeof(plan));

  if (spec.raw_nodes) {
    if (!spec.raw_nodes->bytes.empty())
      std::memcpy(rec(kSecNodes, 0), spec.raw_nodes->bytes.data(), spec.raw_nodes->bytes.size());
  } else {
    for (uint64_t i = 0; i < spec.nodes.size(); ++i) std::memcpy(rec(kSecNodes, i), &spec.nodes[i], sizeof(NodeRecord));
  }
  for (uint64_t i = 0; i < spec.values.size(); ++i) {
    ValueRecord v = spec.values[i].record;
    v.w[13] = value_names[i];
    v.w[14] = spec.values[i].name.size();
    if (v.kind() == kValueWeight && v.tensor_index() < tensors) v.w[12] = lay.tensor_offsets[v.tensor_index()];
    std::memcpy(rec(kSecValues, i), &v, sizeof(v));
  }
  if (spec.raw_reserved && !spec.raw_reserved->bytes.empty())
    std::memcpy(rec(kSecReserved, 0), spec.raw_reserved->bytes.data(), spec.raw_reserved->bytes.size());

  // Blobs start and end on 16-byte boundaries (zero-filled), so each folds
  // as a whole number of words in place.
  for (const Slice& blob : spec.trailing) checksum ^= fold_padded(blob);
  store_u32(h + kHdrDataChecksum, checksum);
  container_seal_metadata(h, m);
  if (layout != nullptr) *layout = std::move(lay);
  return true;
}

bool container_write_fd(const ContainerSpec& spec, int fd, std::string* error) {
  std::vector<uint8_t> meta;
  ContainerLayout lay;
  if (!container_build_metadata(spec, &meta, &lay, error)) return false;
  if (!write_fully(fd, meta.data(), meta.size())) return fail(error, "failed writing container metadata");
  for (uint64_t t = 0; t < spec.tensors.size(); ++t) {
    const Slice d = spec.tensors[t].data;
    if (!write_fully(fd, d.ptr, d.len) || !write_zeros(fd, lay.padded_sizes[t] - d.len))
      return fail(error, "failed writing container weights");
  }
  for (uint64_t i = 0; i < spec.trailing.size(); ++i) {
    const Slice b = spec.trailing[i];
    const uint64_t end = i + 1 < spec.trailing.size() ? lay.trailing_offsets[i + 1] : lay.file_size;
    if (!write_fully(fd, b.ptr, b.len) || !write_zeros(fd, end - lay.trailing_offsets[i] - b.len))
      return fail(error, "failed writing container blobs");
  }
  return true;
}

bool container_write_file(const ContainerSpec& spec, const char* path, std::string* error) {
  int fd = open(path, os_open_write_flags() | O_CLOEXEC, 0644);
  if (fd < 0) return fail(error, "failed to create container file");
  bool ok = container_write_fd(spec, fd, error);
  if (close(fd) != 0 && ok) ok = fail(error, "failed writing container file");
  return ok;
}

bool container_write_memory(const ContainerSpec& spec, std::vector<uint8_t>* out, std::string* error) {
  ContainerLayout lay;
  if (!container_build_metadata(spec, out, &lay, error)) return false;
  out->resize(lay.file_size, 0);
  for (uint64_t t = 0; t < spec.tensors.size(); ++t) {
    const Slice d = spec.tensors[t].data;
    if (d.len > 0) std::memcpy(out->data() + lay.meta_end + lay.tensor_offsets[t], d.ptr, d.len);
  }
  for (uint64_t i = 0; i < spec.trailing.size(); ++i)
    if (spec.trailing[i].len > 0)
      std::memcpy(out->data() + lay.trailing_offsets[i], spec.trailing[i].ptr, spec.trailing[i].len);
  return true;
}

}  // namespace vorn
