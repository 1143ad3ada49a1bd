// Setting and deleting meta_kv keys of a .vorn file. The file is checked
// as fully as the reader checks it before anything is written. An edit that
// fits the spare pool bytes and a free record keeps the section layout; one
// that does not repacks the sections and may move the weights. Either way
// the new container is written whole beside the original and renamed over
// it: rewriting the metadata region in place could be cut short by a crash
// and leave a file that is neither, while after a rename the path names the
// old or the new container whatever happens.
#include "container/meta_edit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/file_replace.h"
#include "base/files.h"
#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "container/records.h"
#include "container/sections.h"

namespace vorn {

namespace {

MetaEditResult fail(std::string_view text) { return MetaEditResult::failure(bytes_from_slice(slice_of(text))); }

// A byte range of the metadata image that something refers to by absolute
// offset: group names, and the names of a generative graph block or an aux
// table. Edits must neither overwrite nor move them.
struct Pinned {
  uint64_t begin, end;
};

struct AbsoluteRefs {
  std::vector<Pinned> names;
  bool graph_block = false;  // section 6 holds absolute table offsets
  bool blobs = false;        // aux entries point past the metadata region
};

void pin_name(const uint8_t* meta, uint64_t m, uint64_t at, AbsoluteRefs* refs) {
  if (at == 0 || at >= m) return;
  const void* nul = std::memchr(meta + at, 0, size_t(m - at));
  const uint64_t end = nul ? uint64_t(static_cast<const uint8_t*>(nul) - meta) + 1 : m;
  refs->names.push_back(Pinned{at, end});
}

AbsoluteRefs absolute_refs(const SectionView& v) {
  AbsoluteRefs refs;
  const uint64_t m = v.meta_end;
  for (uint64_t g = 0; g < v.count(kSecGroups); ++g) pin_name(v.meta, m, v.field(kSecGroups, g, 0), &refs);
  if (v.stride(kSecNodes) != kStrideNode) {
    const uint64_t s = v.offset(kSecNodes);
    refs.graph_block = true;
    if (v.size(kSecNodes) >= 96) {
      const uint64_t count = v.word(s + 56), stride = v.word(s + 64), table = v.word(s + 72);
      for (uint64_t j = 0; j < count && j < 8192 && stride >= 8 && stride <= m && table <= m; ++j) {
        const uint64_t rec = table + stride * j;
        if (rec > m - 8) break;
        pin_name(v.meta, m, v.word(rec), &refs);
      }
    }
  }
  const uint64_t aux = v.offset(kSecReserved);
  const uint64_t aux_stride = v.word(aux + 8);
  if (aux_stride >= 64 && aux_stride <= m) {
    const uint64_t count = v.word(aux + 16);
    for (uint64_t j = 0; j < count && j <= m; ++j) {
      const uint64_t rec = aux + kSectionHeaderSize + aux_stride * j;
      if (rec > m - 32) break;
      pin_name(v.meta, m, v.word(rec), &refs);
      if (v.word(rec + 16) != 0) refs.blobs = true;
    }
  }
  return refs;
}

bool overlaps(const AbsoluteRefs& refs, uint64_t begin, uint64_t end) {
  for (const Pinned& p : refs.names)
    if (p.begin < end && begin < p.end) return true;
  return false;
}

uint64_t pool_used_end(const SectionView& v, const AbsoluteRefs& refs) {
  const uint64_t pool_size = v.pool_size();
  uint64_t end = 1;
  auto take = [&](uint64_t e) {
    if (e <= pool_size && e > end) end = e;
  };
  if (v.stride(kSecValues) >= 120)
    for (uint64_t i = 0; i < v.count(kSecValues); ++i) {
      const uint64_t off = v.field(kSecValues, i, 104), len = v.field(kSecValues, i, 112);
      if (range_fits(off, len, pool_size)) take(off + len + 1);
    }
  for (uint64_t t = 0; t < v.count(kSecTensors); ++t) {
    const uint64_t off = v.field(kSecTensors, t, 0);
    if (off >= pool_size) continue;
    const void* nul = std::memchr(v.pool() + off, 0, size_t(pool_size - off));
    if (nul != nullptr) take(uint64_t(static_cast<const uint8_t*>(nul) - v.pool()) + 1);
  }
  if (v.stride(kSecMeta) >= kStrideMeta)
    for (uint64_t i = 0; i < v.count(kSecMeta); ++i) {
      MetaRecord r;
      std::memcpy(&r, v.record_ptr(kSecMeta, i), sizeof(r));
      if (r.is_free()) continue;
      if (range_fits(r.key_offset, r.key_length, pool_size)) take(r.key_offset + r.key_length + 1);
      if (MetaRecord::is_pool_type(r.type) && range_fits(r.value, r.length, pool_size)) take(r.value + r.length + 1);
    }
  // Names held by absolute offset inside the pool are in use too.
  const uint64_t pool_abs = v.offset(kSecPool) + kSectionHeaderSize;
  for (const Pinned& p : refs.names)
    if (p.begin >= pool_abs) take(p.end - pool_abs);
  return end;
}

// The locked file with its validated metadata image.
struct EditFile {
  FileReplace file;
  std::vector<uint8_t> meta;
  uint64_t m = 0;
  uint64_t size = 0;
};

// Steps common to set and delete: open and lock, header, metadata, and the
// full validation of digests and sections.
const char* load_file(Slice path, EditFile* f) {
  CString c = slice_to_cstr(path);
  if (c.tag != 0) return "invalid vorn path";
  const ReplaceStatus opened = f->file.open(cstr_ptr(c));
  cstr_free(&c);
  if (opened == ReplaceStatus::kLock) return "failed to lock .vorn file for writing";
  if (opened != ReplaceStatus::kOk) return "failed to open .vorn file for writing";
  const int fd = f->file.target_fd();
  if (f->file.target_stat().st_size < int64_t(kHeaderSize)) return "invalid .vorn file size";
  f->size = uint64_t(f->file.target_stat().st_size);
  uint8_t header[kHeaderSize];
  if (!pread_all(fd, header, kHeaderSize, 0) || !container_header_valid(header, f->size)) return "invalid .vorn header";
  f->m = load_u64(header + kHdrMetaEnd);
  try {
    f->meta.assign(f->m, 0);
  } catch (const std::bad_alloc&) {
    return "out of memory reading metadata";
  }
  if (!pread_all(fd, f->meta.data(), f->m, 0)) return "failed reading metadata region";
  if (!xxh3_128_matches(f->meta.data() + kHeaderSize, f->m - kHeaderSize, f->meta.data() + kHdrMetaDigest))
    return "metadata/header hash mismatch";
  uint64_t d;
  if (!sections_valid(f->meta.data(), f->m, &d)) return "invalid .vorn sections";
  return nullptr;
}

struct Found {
  bool found = false;
  uint64_t index = 0;
  bool has_free = false;
  uint64_t free_index = 0;
};

Found find_key(const SectionView& v, Slice key) {
  Found r;
  if (v.stride(kSecMeta) < kStrideMeta) return r;
  const uint64_t pool_size = v.pool_size();
  for (uint64_t i = 0; i < v.count(kSecMeta); ++i) {
    MetaRecord rec;
    std::memcpy(&rec, v.record_ptr(kSecMeta, i), sizeof(rec));
    if (rec.is_free()) {
      if (!r.has_free) r = Found{false, 0, true, i};
      continue;
    }
    if (rec.key_length == key.len && range_fits(rec.key_offset, key.len, pool_size) &&
        std::memcmp(v.pool() + rec.key_offset, key.ptr, key.len) == 0) {
      r.found = true;
      r.index = i;
      return r;
    }
  }
  return r;
}

// Section layout of a repack: pool and meta_kv grow, everything else keeps
// its stride and count.
struct Repack {
  uint64_t stride[11], count[11], offset[11], size[11];
  uint64_t end;
};

Repack layout_repack(const SectionView& v, uint64_t pool_count, uint64_t meta_count) {
  Repack r;
  uint64_t pos = kHeaderSize;
  for (uint64_t s = 0; s < kSectionCount; ++s) {
    r.stride[s] = v.stride(s);
    r.count[s] = v.count(s);
    if (s == kSecPool) r.count[s] = pool_count;
    if (s == kSecMeta) {
      r.stride[s] = kStrideMeta;
      r.count[s] = meta_count;
    }
    r.offset[s] = pos;
    r.size[s] = round_up(kSectionHeaderSize + r.stride[s] * r.count[s], kSectionAlign);
    // Other sections keep at least their old extent, so whatever a section
    // holds past its records (a graph block's tables, an aux table's
    // entries) moves with it intact.
    if (s != kSecPool && s != kSecMeta && v.size(s) > r.size[s]) r.size[s] = v.size(s);
    pos += r.size[s];
  }
  r.end = pos;
  return r;
}

// True when no absolute reference is moved or dropped by the repack.
bool repack_keeps_refs(const SectionView& v, const AbsoluteRefs& refs, const Repack& r, uint64_t new_m) {
  if (refs.graph_block && r.offset[kSecNodes] != v.offset(kSecNodes)) return false;
  if (refs.blobs && new_m != v.meta_end) return false;
  for (const Pinned& p : refs.names) {
    bool kept = false;
    for (uint64_t s = 0; s < kSectionCount && !kept; ++s) {
      const uint64_t begin = v.offset(s);
      uint64_t copied = v.size(s);
      if (s == kSecPool) copied = kSectionHeaderSize + v.stride(s) * v.count(s);
      if (s == kSecMeta) copied = v.stride(s) == kStrideMeta ? kSectionHeaderSize + kStrideMeta * v.count(s) : 0;
      kept = p.begin >= begin && p.end <= begin + copied && r.offset[s] == begin;
    }
    if (!kept) return false;
  }
  return true;
}

std::vector<uint8_t> build_repacked(const SectionView& v, const Repack& r, uint64_t new_m) {
  std::vector<uint8_t> img(new_m, 0);
  std::memcpy(img.data(), v.meta, kHeaderSize);
  for (uint64_t s = 0; s < kSectionCount; ++s) {
    uint8_t* sh = img.data() + r.offset[s];
    store_u64(img.data() + kHdrDirectory + 16 * s, r.offset[s]);
    store_u64(img.data() + kHdrDirectory + 16 * s + 8, r.size[s]);
    store_u64(sh, 1);
    store_u64(sh + 8, r.stride[s]);
    store_u64(sh + 16, r.count[s]);
    store_u64(sh + 24, r.stride[s] * r.count[s]);
    const uint8_t* from = v.meta + v.offset(s) + kSectionHeaderSize;
    if (s == kSecMeta) {
      // Records of a wider stride keep their first 64 bytes.
      if (v.stride(kSecMeta) < kStrideMeta) continue;
      for (uint64_t j = 0; j < v.count(kSecMeta); ++j)
        std::memcpy(sh + kSectionHeaderSize + kStrideMeta * j, from + v.stride(kSecMeta) * j, kStrideMeta);
      continue;
    }
    const uint64_t old_bytes = s == kSecPool ? v.stride(s) * v.count(s) : v.size(s) - kSectionHeaderSize;
    if (old_bytes > 0) std::memcpy(sh + kSectionHeaderSize, from, old_bytes);
  }
  return img;
}

// Moves every absolute data offset of the image by delta = M' - M.
void shift_data_offsets(uint8_t* img, uint64_t old_m, uint64_t new_m) {
  SectionView v{img, new_m};
  const uint64_t delta = new_m - old_m;
  const uint64_t size = load_u64(img + kHdrFileSize) + delta;
  store_u64(img + kHdrFileSize, size);
  store_u64(img + kHdrMetaEnd, new_m);
  store_u64(img + kHdrDataSize, size - new_m);
  auto bump = [&](uint64_t at) { store_u64(img + at, load_u64(img + at) + delta); };
  for (uint64_t t = 0; t < v.count(kSecTensors); ++t) bump(v.record(kSecTensors, t) + 88);
  for (uint64_t g = 0; g < v.count(kSecGroups); ++g) bump(v.record(kSecGroups, g) + 32);
  for (uint64_t j = 0; j < v.count(kSecRanges); ++j) bump(v.record(kSecRanges, j));
  store_u64(img + v.record(kSecPlan, 0) + 40, new_m);
}

// Writes the new container (the sealed metadata image, then the weights
// copied from the old file to the image's data offset) beside the original
// with its owner and mode, flushes it and renames it over. write_failure is
// the text for a failed metadata write.
const char* replace_file(EditFile& f, std::vector<uint8_t>& img, uint64_t new_m, const char* write_failure) {
  switch (f.file.begin()) {
    case ReplaceStatus::kOk: break;
    case ReplaceStatus::kOwner: return "cannot give the new .vorn file the owner and group of the old one";
    default: return "failed creating temporary .vorn file";
  }
  container_seal_metadata(img.data(), new_m);
  if (!f.file.write(img.data(), new_m, 0)) return write_failure;
  switch (f.file.copy(f.m, f.size - f.m, new_m)) {
    case ReplaceStatus::kOk: break;
    case ReplaceStatus::kRead: return "failed reading weights for shift";
    default: return new_m != f.m ? "failed writing shifted weights" : "failed copying weights to the new .vorn file";
  }
  switch (f.file.commit()) {
    case ReplaceStatus::kOk: return nullptr;
    case ReplaceStatus::kRename: return "failed replacing .vorn file";
    default: return write_failure;
  }
}

}  // namespace

uint64_t container_pool_used_end(const uint8_t* meta, uint64_t meta_end) {
  SectionView v{meta, meta_end};
  return pool_used_end(v, absolute_refs(v));
}

bool container_write_metadata(int fd, uint8_t* meta, uint64_t meta_end) {
  container_seal_metadata(meta, meta_end);
  ssize_t w = 0;
  for (uint64_t done = 0; done < meta_end; done += uint64_t(w)) {
    w = pwrite(fd, meta + done, size_t(meta_end - done), off_t(done));
    if (w < 0 && errno == EINTR) w = 0;
    else if (w <= 0) return false;
  }
  return true;
}

MetaEditResult container_meta_set(Slice path, Slice key, uint64_t type, uint64_t flags, uint64_t inline_value,
                                  Slice value, uint64_t items) {
  if (key.len == 0 || type == 0) return fail("meta key and value_type must be non-empty");
  if (type > kMetaBlob) return fail("unsupported meta value type");
  EditFile f;
  if (const char* err = load_file(path, &f)) return fail(err);
  SectionView v{f.meta.data(), f.m};
  const AbsoluteRefs refs = absolute_refs(v);
  const Found found = find_key(v, key);
  if (found.found && (load_u64(v.record_ptr(kSecMeta, found.index) + 24) & kMetaFlagImmutable) != 0)
    return fail("meta key is marked immutable");

  const bool pooled = MetaRecord::is_pool_type(type);
  const uint64_t used = pool_used_end(v, refs);
  uint64_t need = used;
  if ((pooled && __builtin_add_overflow(need, value.len + 8, &need)) ||
      (!found.found && __builtin_add_overflow(need, key.len + 1, &need)) || need > kMaxMetadataEnd)
    return fail("meta value too large");

  std::vector<uint8_t> img;
  uint64_t new_m = f.m;
  uint64_t record_index;
  bool repacked = false;
  if (v.stride(kSecMeta) >= kStrideMeta && (found.found || found.has_free) && need <= v.pool_size()) {
    img = std::move(f.meta);
    record_index = found.found ? found.index : found.free_index;
  } else {
    const uint64_t old_meta = v.stride(kSecMeta) >= kStrideMeta ? v.count(kSecMeta) : 0;
    Repack r = layout_repack(v, need + kPoolSpare, old_meta + kMetaSpareRecords);
    if (r.end > f.m) r = layout_repack(v, need + 256, old_meta + 8);
    new_m = r.end > f.m ? round_up(r.end, kAlignment) : f.m;
    if (new_m > kMaxMetadataEnd) return fail("metadata region too large");
    if (!repack_keeps_refs(v, refs, r, new_m)) return fail("repack would break names held by absolute offset");
    try {
      img = build_repacked(v, r, new_m);
    } catch (const std::bad_alloc&) {
      return fail("out of memory repacking metadata");
    }
    if (new_m != f.m) shift_data_offsets(img.data(), f.m, new_m);
    record_index = found.found ? found.index : old_meta;
    repacked = true;
  }

  // Place key and value after the pool's used end and fill the record.
  SectionView nv{img.data(), new_m};
  uint8_t* pool = img.data() + nv.offset(kSecPool) + kSectionHeaderSize;
  uint64_t pos = used;
  uint64_t key_offset = load_u64(nv.record_ptr(kSecMeta, record_index));
  if (!found.found) {
    key_offset = pos;
    std::memcpy(pool + pos, key.ptr, key.len);
    pool[pos + key.len] = 0;
    pos += key.len + 1;
  }
  uint64_t word4 = inline_value;
  if (pooled) {
    if (type == kMetaF32Array) pos = round_up(pos, 4);
    if (value.len > 0) std::memcpy(pool + pos, value.ptr, value.len);
    pool[pos + value.len] = 0;
    word4 = pos;
    pos += value.len + 1;
  }
  const uint64_t rec_at = nv.record(kSecMeta, record_index);
  const uint64_t pool_abs = nv.offset(kSecPool) + kSectionHeaderSize;
  if (!repacked && (overlaps(refs, rec_at, rec_at + kStrideMeta) || overlaps(refs, pool_abs + used, pool_abs + pos)))
    return fail("edit would overwrite names held by absolute offset");
  const MetaRecord rec{key_offset, key.len, type, flags, word4, value.len, items, 0};
  std::memcpy(img.data() + rec_at, &rec, sizeof(rec));

  uint64_t d;
  if (!sections_valid(img.data(), new_m, &d)) return fail("repacked metadata failed validation");
  if (const char* err = replace_file(f, img, new_m, "failed writing updated metadata to .vorn file")) return fail(err);
  return MetaEditResult::success(0);
}

MetaEditResult container_meta_delete(Slice path, Slice key) {
  if (key.len == 0) return fail("meta key must be non-empty");
  EditFile f;
  if (const char* err = load_file(path, &f)) return fail(err);
  SectionView v{f.meta.data(), f.m};
  const Found found = find_key(v, key);
  if (!found.found) return fail("key not found");
  uint8_t* rec = f.meta.data() + v.record(kSecMeta, found.index);
  if ((load_u64(rec + 24) & kMetaFlagImmutable) != 0) return fail("meta key is marked immutable");
  std::memset(rec, 0, kStrideMeta);
  if (const char* err = replace_file(f, f.meta, f.m, "failed writing metadata")) return fail(err);
  return MetaEditResult::success(0);
}

}  // namespace vorn
