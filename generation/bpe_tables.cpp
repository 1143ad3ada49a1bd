#include "generation/bpe_tables.h"

namespace vorn {

void BpeMergeTable::reserve(size_t n) {
  uint64_t capacity = 16;
  while (capacity < 2 * n + 2) capacity *= 2;  // load factor at most 1/2
  keys_.assign(capacity, kEmpty);
  values_.assign(capacity, BpeMerge{0, 0});
  mask_ = capacity - 1;
  size_ = 0;
}

void BpeMergeTable::set(uint32_t left, uint32_t right, BpeMerge merge) {
  if (2 * (size_ + 1) > keys_.size()) {
    // Grow by rehashing; only loads that were not sized beforehand get here.
    std::vector<uint64_t> old_keys;
    std::vector<BpeMerge> old_values;
    old_keys.swap(keys_);
    old_values.swap(values_);
    reserve(old_keys.size());
    for (size_t i = 0; i < old_keys.size(); ++i)
      if (old_keys[i] != kEmpty)
        set(static_cast<uint32_t>(old_keys[i] >> 32), static_cast<uint32_t>(old_keys[i]), old_values[i]);
  }
  uint64_t key = pair_key(left, right);
  for (uint64_t slot = hash(key) & mask_;; slot = (slot + 1) & mask_) {
    if (keys_[slot] == key) {
      values_[slot] = merge;
      return;
    }
    if (keys_[slot] == kEmpty) {
      keys_[slot] = key;
      values_[slot] = merge;
      ++size_;
      return;
    }
  }
}

uint32_t BpeSymbols::intern(const std::string& text) {
  auto [it, inserted] = ids.try_emplace(text, static_cast<uint32_t>(ids.size()));
  return it->second;
}

}  // namespace vorn
