// XXH3-128 through the system's xxHash library, in the container's byte
// order, and the tensor digest check of an open container.
#include <xxhash.h>

#include <cstdlib>
#include <cstring>

#include "base/files.h"
#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "container/sections.h"

namespace vorn {

namespace {

void store_digest(const XXH128_hash_t& d, uint8_t out[16]) {
  store_u64(out, d.low64);
  store_u64(out + 8, d.high64);
}

}  // namespace

void xxh3_128_store(const void* data, uint64_t length, uint8_t out[16]) {
  store_digest(XXH3_128bits(data, size_t(length)), out);
}

bool xxh3_128_matches(const void* data, uint64_t length, const uint8_t stored[16]) {
  uint8_t d[16];
  xxh3_128_store(data, length, d);
  return std::memcmp(d, stored, 16) == 0;
}

Xxh3Stream::Xxh3Stream() : state_(XXH3_createState()) {
  if (state_ != nullptr) XXH3_128bits_reset(static_cast<XXH3_state_t*>(state_));
}

Xxh3Stream::~Xxh3Stream() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void Xxh3Stream::update(const void* data, uint64_t length) {
  if (state_ != nullptr && length > 0) XXH3_128bits_update(static_cast<XXH3_state_t*>(state_), data, size_t(length));
}

void Xxh3Stream::finish(uint8_t out[16]) {
  if (state_ == nullptr) {
    std::memset(out, 0, 16);
    return;
  }
  store_digest(XXH3_128bits_digest(static_cast<XXH3_state_t*>(state_)), out);
}

void container_seal_metadata(uint8_t* meta, uint64_t meta_end) {
  xxh3_128_store(meta + kHeaderSize, meta_end - kHeaderSize, meta + kHdrMetaDigest);
  std::memset(meta + kHdrHeaderDigest, 0, 16);
  uint8_t d[16];
  xxh3_128_store(meta, kHeaderSize, d);
  std::memcpy(meta + kHdrHeaderDigest, d, 16);
}

bool container_verify_tensor_hashes(const ContainerHandle* h, const uint8_t* data) {
  if (h == nullptr || h->meta == nullptr) return false;
  SectionView v{h->meta, h->meta_len};
  const uint64_t tensors = v.count(kSecTensors);
  if (h->widen_plan == nullptr) {
    if (tensors == 0) return true;
    if (data == nullptr) return false;
    for (uint64_t t = 0; t < tensors; ++t) {
      const uint64_t rel = v.field(kSecTensors, t, 112);
      const uint64_t padded = v.field(kSecTensors, t, 104);
      if (!range_fits(rel, padded, h->data_size)) return false;
      if (!xxh3_128_matches(data + rel, padded, v.record_ptr(kSecDigests, t))) return false;
    }
    return true;
  }
  // The loaded data is widened and cannot be hashed: digest the stored
  // bytes again, read from the file.
  for (uint64_t i = 0; i < h->widen_count; ++i) {
    const WidenEntry& e = h->widen_plan[i];
    if (e.tensor_index >= tensors) return false;
    void* buf = std::malloc(e.src_padded ? e.src_padded : 1);
    if (buf == nullptr) return false;
    bool ok = pread_all(h->fd, buf, e.src_padded, h->base + e.src_offset) &&
              xxh3_128_matches(buf, e.src_padded, v.record_ptr(kSecDigests, e.tensor_index));
    std::free(buf);
    if (!ok) return false;
  }
  return true;
}

}  // namespace vorn
