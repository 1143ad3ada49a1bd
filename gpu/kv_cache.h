// The KV cache of one generative session, kept apart from the graph that
// fills it: the session state owns it and hands it to every forward pass
// (VNGraph::run), whose attention layers reserve and append through it, and
// the generation loop reads and sets what it holds between generations.
//
// Two kinds of state:
//   capacity and figures: how many token rows per head a new cache buffer
//     reserves (set to prompt + budget before a prefill, so that every
//     decode step appends in place), and what the passes since then
//     appended, copied and reserved;
//   reuse: the token ids and image bytes of the sequence the cache was last
//     filled with and its K and V tensors under the names of the graph
//     inputs they feed, so that a prompt that extends that sequence skips
//     its common prefix.
// One thread uses a cache at a time (the session's busy flag sees to it).
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gpu/vn_tensor.h"

namespace vorn {

// The bytes of a generation's image ("pixel_values"); null: none.
using PixelBytes = std::shared_ptr<const std::vector<uint8_t>>;
// KV-cache tensors by the name of the graph input they feed ("past_key.0").
using KvTensors = std::map<std::string, VNTensorRef>;

class KvCache {
 public:
  // --- capacity and figures (the forward pass) ---

  // Cache buffers made from here on reserve at least `tokens` rows per
  // head; the figures start again from 0.
  void reserve(uint64_t tokens);
  uint64_t cacheCapacity() const { return cacheCapacity_; }
  uint64_t cacheWrittenElements() const { return cacheWrittenElements_; }
  uint64_t cacheCopiedElements() const { return cacheCopiedElements_; }
  uint64_t cacheBufferCount() const { return cacheBufferCount_; }
  uint64_t cacheReservedBytes() const { return cacheReservedBytes_; }
  // An attention layer appended `written` elements and copied `copied`
  // elements of history into a new buffer.
  void countAppend(uint64_t written, uint64_t copied) {
    cacheWrittenElements_ += written;
    cacheCopiedElements_ += copied;
  }
  // An attention layer reserved a new cache buffer of `bytes`.
  void countBuffer(uint64_t bytes) {
    ++cacheBufferCount_;
    cacheReservedBytes_ += bytes;
  }

  // --- reuse between generations (the generation loop) ---

  const std::vector<int64_t>& cachedTokens() const { return cachedTokens_; }
  const PixelBytes& cachedPixels() const { return cachedPixels_; }
  const KvTensors& cachedKV() const { return cachedKV_; }
  // How many leading ids of `prompt` the cache holds for the same image
  // bytes: at most prompt.size() - 1, so that a pass always has a token to
  // run; 0 when it holds nothing, or other pixels, or when either side has
  // none (a request without an image never reuses).
  uint64_t reusablePrefix(const std::vector<int64_t>& prompt, const PixelBytes& pixels) const;
  // After the first pass of a generation: the cache holds `tokens` of an
  // image with `pixels` in `tensors`.
  void hold(const std::vector<int64_t>& tokens, PixelBytes pixels, KvTensors tensors);
  // After a decode step: it also holds `token`, now in `tensors`.
  void holdNext(int64_t token, KvTensors tensors);
  // Nothing to reuse (a generation that starts, fails or is cancelled, a
  // reset, an unload).
  void forget();

 private:
  uint64_t cacheCapacity_ = 0;
  uint64_t cacheWrittenElements_ = 0, cacheCopiedElements_ = 0, cacheBufferCount_ = 0, cacheReservedBytes_ = 0;
  std::vector<int64_t> cachedTokens_;
  PixelBytes cachedPixels_;
  KvTensors cachedKV_;
};

}  // namespace vorn
