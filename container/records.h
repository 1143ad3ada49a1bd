// The fixed-size graph records of a tensor model's container: node records
// (section 6) and value records (section 8). Engines work on copies of them.
#pragma once
#include <cstdint>
#include <cstring>

#include "container/attr_words.h"

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

  void set_rank(uint64_t r) { w[2] = r; }
  void set_dim(uint64_t i, uint64_t d) { w[3 + i] = d; }
  void set_count(uint64_t c) { w[9] = c; }
  void set_bytes(uint64_t b) { w[10] = b; }
};
static_assert(sizeof(ValueRecord) == 128);

// 256 bytes: 32 u64 words, 31 used: the operator code, the input count and
// eight input value ids, the output count and four output value ids, then
// the sixteen attribute words (container/attr_words.h names them).
struct NodeRecord {
  uint64_t w[32];

  uint64_t op() const { return w[0]; }
  uint64_t input_count() const { return w[1]; }
  uint64_t input(uint64_t i) const { return w[2 + i]; }
  uint64_t output_count() const { return w[10]; }
  uint64_t output(uint64_t i) const { return w[11 + i]; }
  uint64_t attr(uint64_t k) const { return w[attr::kFirstRecordWord + k]; }
  int64_t attr_i64(uint64_t k) const { return static_cast<int64_t>(attr(k)); }
  // An f32 attribute is the low 32 bits of its word.
  float attr_f32(uint64_t k) const {
    uint32_t bits = static_cast<uint32_t>(attr(k));
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }

  void set_op(uint64_t code) { w[0] = code; }
  void set_input_count(uint64_t n) { w[1] = n; }
  void set_input(uint64_t i, uint64_t id) { w[2 + i] = id; }
  void set_output_count(uint64_t n) { w[10] = n; }
  void set_output(uint64_t i, uint64_t id) { w[11 + i] = id; }
  void set_attr(uint64_t k, uint64_t value) { w[attr::kFirstRecordWord + k] = value; }
};
static_assert(sizeof(NodeRecord) == 256);

constexpr uint64_t kNodeMaxInputs = 8;
constexpr uint64_t kNodeMaxOutputs = 4;

// 192 bytes: the tensor record of section 3.
struct TensorRecord {
  uint64_t name_offset;     // pool offset of a NUL-terminated name
  uint64_t kind;            // ElementKind: F16, F32 or Q8
  uint64_t reserved0;
  uint64_t group;           // load group holding the tensor
  uint64_t rank;            // 0..kMaxRank
  uint64_t dims[kMaxRank];
  uint64_t container_offset;  // M + relative offset
  uint64_t byte_size;         // row bytes * product of all dims but the last
  uint64_t padded_size;       // multiple of 16384, at most byte size + 16383
  uint64_t relative_offset;   // offset inside the data region
  uint64_t reserved1;
  uint64_t index;             // the record's own index
  uint64_t row_bytes;
  uint64_t reserved2[6];
};
static_assert(sizeof(TensorRecord) == 192);

// MetaValueType: how a meta_kv record stores its value.
enum : uint64_t {
  kMetaString = 1,      // pool: offset, byte length, NUL after it
  kMetaF64 = 2,         // inline IEEE double bits
  kMetaI64 = 3,         // inline signed integer
  kMetaBool = 4,        // inline, non-zero is true
  kMetaStringList = 5,  // pool: items each followed by a NUL; word 6 the count
  kMetaF32Array = 6,    // pool: 4-aligned 4-byte items; word 6 the count
  kMetaBlob = 7,        // pool: bytes of unspecified content, NUL after them
};

// Flag bit of a meta record: the metadata editor leaves the key alone.
constexpr uint64_t kMetaFlagImmutable = 2;

// 64 bytes: a meta_kv record of section 1. Free when key_length or type is 0.
struct MetaRecord {
  uint64_t key_offset;
  uint64_t key_length;
  uint64_t type;
  uint64_t flags;
  uint64_t value;    // inline value, or the pool offset of the value bytes
  uint64_t length;   // byte length of a pool value
  uint64_t items;    // item count (string lists, 4-byte arrays)
  uint64_t reserved;
  bool is_free() const { return key_length == 0 || type == 0; }
  static bool is_pool_type(uint64_t t) { return t == kMetaString || t == kMetaStringList || t == kMetaF32Array || t == kMetaBlob; }
};
static_assert(sizeof(MetaRecord) == 64);

}  // namespace vorn
