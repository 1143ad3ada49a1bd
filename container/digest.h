// XXH3-128 digests as the container stores them: seed 0, default secret,
// 16 bytes with the low 64 bits first, each half little-endian.
#pragma once
#include <cstdint>

namespace vorn {

void xxh3_128_store(const void* data, uint64_t length, uint8_t out[16]);
bool xxh3_128_matches(const void* data, uint64_t length, const uint8_t stored[16]);

// Streaming form for digests over data that is written piece by piece.
class Xxh3Stream {
 public:
  Xxh3Stream();
  ~Xxh3Stream();
  Xxh3Stream(const Xxh3Stream&) = delete;
  Xxh3Stream& operator=(const Xxh3Stream&) = delete;
  bool ok() const { return state_ != nullptr; }
  void update(const void* data, uint64_t length);
  void finish(uint8_t out[16]);

 private:
  void* state_;
};

// Stores the metadata digest of [512, M) at 240 and then the header digest
// (bytes 256..271 zeroed while hashing) at 256 of a metadata image.
void container_seal_metadata(uint8_t* meta, uint64_t meta_end);

}  // namespace vorn
