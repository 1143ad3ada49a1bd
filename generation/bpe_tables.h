// The merge tables of byte-level BPE in the form the merge loop reads: every
// symbol text (the 256 byte symbols, both sides of every merge and every
// merge's result) gets a small id, and a pair of ids leads to its rank and
// its merged symbol through one open-addressing table. This answers exactly
// what a table keyed by "left right" texts would: symbols never hold a space
// (byte 0x20 stands as U+0120), so no two pairs share a key.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace vorn {

struct BpeMerge {
  uint32_t rank;    // position in the merges list, from 0
  uint32_t merged;  // symbol id of left + right
};

class BpeMergeTable {
 public:
  // Sizes the table for n pairs; call once before the first set.
  void reserve(size_t n);
  // A repeated pair keeps the later value.
  void set(uint32_t left, uint32_t right, BpeMerge merge);

  const BpeMerge* find(uint32_t left, uint32_t right) const {
    if (keys_.empty()) return nullptr;
    uint64_t key = pair_key(left, right);
    for (uint64_t slot = hash(key) & mask_;; slot = (slot + 1) & mask_) {
      uint64_t k = keys_[slot];
      if (k == key) return &values_[slot];
      if (k == kEmpty) return nullptr;
    }
  }
  size_t size() const { return size_; }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  static uint64_t pair_key(uint32_t left, uint32_t right) { return (uint64_t{left} << 32) | right; }
  static uint64_t hash(uint64_t key) { return (key * 0x9E3779B97F4A7C15ull) >> 17; }

  std::vector<uint64_t> keys_;
  std::vector<BpeMerge> values_;
  uint64_t mask_ = 0;
  size_t size_ = 0;
};

struct BpeSymbols {
  std::unordered_map<std::string, uint32_t> ids;  // symbol text -> symbol id
  std::vector<int64_t> vocab_id;                  // per symbol id: its token id, -1 when not in vocab
  std::array<uint32_t, 256> byte_symbol{};        // the symbol of each byte value

  // The id of a symbol text, made on first sight.
  uint32_t intern(const std::string& text);
};

}  // namespace vorn
