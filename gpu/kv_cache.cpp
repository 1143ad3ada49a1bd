#include "gpu/kv_cache.h"

#include <algorithm>

namespace vorn {

void KvCache::reserve(uint64_t tokens) {
  cacheCapacity_ = tokens;
  cacheWrittenElements_ = cacheCopiedElements_ = cacheBufferCount_ = cacheReservedBytes_ = 0;
}

uint64_t KvCache::reusablePrefix(const std::vector<int64_t>& prompt, const PixelBytes& pixels) const {
  if (prompt.empty() || cachedTokens_.empty() || cachedPixels_ == nullptr || pixels == nullptr ||
      *cachedPixels_ != *pixels)
    return 0;
  const uint64_t limit = std::min<uint64_t>(cachedTokens_.size(), prompt.size() - 1);
  uint64_t r = 0;
  while (r < limit && cachedTokens_[r] == prompt[r]) ++r;
  return r;
}

void KvCache::hold(const std::vector<int64_t>& tokens, PixelBytes pixels, KvTensors tensors) {
  cachedTokens_ = tokens;
  cachedPixels_ = std::move(pixels);
  cachedKV_ = std::move(tensors);
}

void KvCache::holdNext(int64_t token, KvTensors tensors) {
  cachedTokens_.push_back(token);
  cachedKV_ = std::move(tensors);
}

void KvCache::forget() {
  cachedTokens_.clear();
  cachedKV_.clear();
  cachedPixels_.reset();
}

}  // namespace vorn
