// The fixed-size graph records of a tensor model's container: node records
// (section 6) and value records (section 8). Engines work on copies of them.
#pragma once
#include <cstdint>
#include <cstring>

namespace vorn {

constexpr uint64_t kMaxRank = 6;

// ValueKind
enum : uint64_t {
  kValueGraphInput = 1,
  kValueWeight = 2,
  kValueActivation = 3,
  kValueGraphOutput = 4,
};

// ElementKind of container tensors and values.
enum : uint64_t {
  kElemF16 = 1,
  kElemF32 = 2,
  kElemI64 = 3,
  kElemQ8 = 4,
};

// 128 bytes: 16 u64 words, 15 used.
struct ValueRecord {
  uint64_t w[16];

  uint64_t kind() const { return w[0]; }
  uint64_t elem_kind() const { return w[1]; }
  uint64_t rank() const { return w[2]; }
  uint64_t dim(uint64_t i) const { return w[3 + i]; }
  uint64_t count() const { return w[9]; }
  uint64_t bytes() const { return w[10]; }
  uint64_t tensor_index() const { return w[11]; }
  uint64_t data_offset() const { return w[12]; }
  uint64_t name_offset() const { return w[13]; }
  uint64_t name_length() const { return w[14]; }
};
static_assert(sizeof(ValueRecord) == 128);

// 256 bytes: 32 u64 words, 31 used. Attribute word k is record word 15 + k.
struct NodeRecord {
  uint64_t w[32];

  uint64_t op() const { return w[0]; }
  uint64_t input_count() const { return w[1]; }
  uint64_t input(uint64_t i) const { return w[2 + i]; }
  uint64_t output_count() const { return w[10]; }
  uint64_t output(uint64_t i) const { return w[11 + i]; }
  uint64_t attr(uint64_t k) const { return w[15 + k]; }
  int64_t attr_i64(uint64_t k) const { return static_cast<int64_t>(w[15 + k]); }
  // An f32 attribute is the low 32 bits of its word.
  float attr_f32(uint64_t k) const {
    uint32_t bits = static_cast<uint32_t>(w[15 + k]);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
};
static_assert(sizeof(NodeRecord) == 256);

constexpr uint64_t kNodeMaxInputs = 8;
constexpr uint64_t kNodeMaxOutputs = 4;

}  // namespace vorn
