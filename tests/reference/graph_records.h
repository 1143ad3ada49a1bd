// Value and node records built by hand, the way a container holds them: the
// one place tests spell out the record words.
#pragma once
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "container/records.h"

namespace vorn::test {

inline uint64_t element_bytes(uint64_t elem) {
  return elem == kElemF16 ? 2 : elem == kElemI64 ? 8 : 4;
}

// A value record of the given kind, element kind and dims, with its element
// count and byte size filled in.
inline ValueRecord value_record(uint64_t kind, std::span<const uint64_t> dims, uint64_t elem = kElemF32) {
  ValueRecord v;
  std::memset(&v, 0, sizeof v);
  v.w[0] = kind;
  v.w[1] = elem;
  v.w[2] = dims.size();
  uint64_t count = 1;
  for (size_t i = 0; i < dims.size(); ++i) {
    v.w[3 + i] = dims[i];
    count *= dims[i];
  }
  v.w[9] = count;
  v.w[10] = count * element_bytes(elem);
  return v;
}

// A node record with its inputs, outputs and attribute words (word k of the
// pairs is attribute word k).
inline NodeRecord node_record(uint64_t op, std::span<const uint64_t> inputs,
                              std::span<const uint64_t> outputs,
                              std::span<const std::pair<int, uint64_t>> attrs = {}) {
  NodeRecord n;
  std::memset(&n, 0, sizeof n);
  n.w[0] = op;
  n.w[1] = inputs.size();
  for (size_t i = 0; i < inputs.size(); ++i) n.w[2 + i] = inputs[i];
  n.w[10] = outputs.size();
  for (size_t i = 0; i < outputs.size(); ++i) n.w[11 + i] = outputs[i];
  for (auto [k, word] : attrs) n.set_attr(k, word);
  return n;
}

inline uint64_t f32_word(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}
inline uint64_t i64_word(int64_t v) { return static_cast<uint64_t>(v); }

}  // namespace vorn::test
