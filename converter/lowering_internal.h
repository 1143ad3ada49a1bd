// Shared working state and helpers of the lowering pass and its rules.
#pragma once
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "container/records.h"
#include "converter/builder_state.h"
#include "converter/lowering.h"
#include "converter/value_ops.h"

namespace vorn {

// Constants computed at convert time hold at most this many elements; larger
// results are not evaluated (they are shapes and small tables, not weights).
constexpr uint64_t kMaxConstElements = uint64_t{1} << 26;
bool const_size_ok(uint64_t rank, const uint64_t* dims);

// Scratch mark of value word 16 for inputs a rule consumed as constants.
constexpr uint64_t kConsumedMark = 999;

struct Lower {
  Lower(BuilderState& state, bool options_mode) : s(state), options(options_mode) {}
  BuilderState& s;
  bool options;
  uint64_t node = 0;  // index of the node being lowered
  uint64_t end = 0;   // nodes [0, end) are visited
  uint64_t inserted = 0;  // nodes inserted right after the current one (not visited)

  BuilderValue& v(uint64_t i) { return s.values[i]; }
  bool valid(uint64_t i) const { return i != kNoIndex && i < s.value_count; }
  bool has_data(uint64_t i) const { return valid(i) && s.values[i].data != nullptr && s.values[i].size != 0; }
  bool i64_data(uint64_t i, uint64_t min_bytes = 8) const {
    return valid(i) && s.values[i].elem == kElemI64 && s.values[i].data != nullptr && s.values[i].size >= min_bytes;
  }
  bool f32_data(uint64_t i, uint64_t min_bytes = 4) const {
    return valid(i) && s.values[i].elem != kElemI64 && s.values[i].data != nullptr && s.values[i].size >= min_bytes;
  }
  // Stops the pass with a code (and for kLowerRefused a reason).
  bool stop(uint64_t code);
  bool refuse(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Refuses naming the operand that is not known at convert time:
  // "<what> computed at run time ('<value name>')".
  bool refuse_runtime(const char* what, uint64_t value);
};

inline uint64_t elem_count(const BuilderValue& v) {
  uint64_t c = 1;
  for (uint64_t d = 0; d < v.rank && d < kBuilderRank; ++d) c *= v.dims[d];
  return c;
}
inline void set_shape(BuilderValue& v, uint64_t rank, const uint64_t* dims) {
  v.rank = rank;
  std::memset(v.dims, 0, sizeof v.dims);
  for (uint64_t d = 0; d < rank && d < kBuilderRank; ++d) v.dims[d] = dims[d];
}
// An ONNX axis (negative counts from the end) as an index below rank;
// false when it lies outside.
inline bool normalise(int64_t axis, uint64_t rank, uint64_t* out) {
  int64_t r = static_cast<int64_t>(rank);
  if (axis < 0) axis += r;
  if (axis < 0 || axis >= r) return false;
  *out = static_cast<uint64_t>(axis);
  return true;
}

inline void copy_shape(BuilderValue& to, const BuilderValue& from) { set_shape(to, from.rank, from.dims); }

inline void make_identity(BuilderNode& n, uint64_t input) {
  n.w[0] = op::Identity;
  n.w[1] = 1;
  n.w[2] = input;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  n.attr(attr::kCastTagWord) = 0;  // a plain Identity, not a Cast
}
inline void make_self_identity(BuilderNode& n) { make_identity(n, n.output(0)); }
// The engines' reshape: a one-input Flatten whose output record holds the shape.
inline void make_reshape(BuilderNode& n) {
  n.w[0] = op::Flatten;
  n.w[1] = 1;
  for (int k = 3; k < 10; ++k) n.w[k] = kNoIndex;
  n.attr(attr::kRawSigmoidFlattenWord) = 0;  // the target shape is the output's
}

// Integer arithmetic of convert-time constants wraps like the two's
// complement hardware does rather than overflow.
inline int64_t wrap_add(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
inline int64_t wrap_sub(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
inline int64_t wrap_mul(int64_t a, int64_t b) { return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }
inline int64_t safe_div(int64_t a, int64_t b) { return b == 0 ? 0 : (b == -1 ? wrap_sub(0, a) : a / b); }

// Reads element i of raw constant bytes.
inline int64_t raw_i64(const uint8_t* p, uint64_t i) {
  int64_t x;
  std::memcpy(&x, p + 8 * i, 8);
  return x;
}
inline float raw_f32(const uint8_t* p, uint64_t i) {
  float x;
  std::memcpy(&x, p + 4 * i, 4);
  return x;
}

// Output 0 becomes a convert-time I64 list of count elements and the node an
// Identity of its input 0. Returns the buffer, null when it cannot be had
// (the node is then an Identity with an empty output of rank 0).
int64_t* i64_result(Lower& L, BuilderNode& n, uint64_t count);
// Output value out becomes an F32 weight of this shape; the buffer or null.
float* f32_weight(Lower& L, uint64_t out, uint64_t rank, const uint64_t* dims);
// The F32 weight holding an I64 constant's values, named "<name>#f32".
uint64_t i64_as_f32_weight(Lower& L, uint64_t value);
// Options mode: runtime operands given as I64 constants become F32 weights.
bool promote_i64_operands(Lower& L, BuilderNode& n, uint64_t first, uint64_t last);
// Inserts a node right after the current one (moving the later ones up).
BuilderNode* insert_after_current(Lower& L);
// The integer attribute of the current node's NodeProto; false when absent.
bool node_int_attribute(Lower& L, const char* name, int64_t* out);
// The integer list attribute of the current node's NodeProto: its length
// (at most capacity values copied), -1 when absent.
int64_t node_int_list(Lower& L, const char* name, int64_t* out, uint64_t capacity);
// The value indices of the current node's NodeProto outputs (kNoValue for
// an empty name), at most capacity; returns how many outputs it lists (0
// without a NodeProto).
uint64_t node_outputs(Lower& L, uint64_t* out, uint64_t capacity);
// The integer or string attribute of the current node's NodeProto.
bool node_attribute(Lower& L, const char* name, int64_t* int_out, const uint8_t** text, uint64_t* text_len);

// Shared by several rules: an I64 constant input copied as the node's
// convert-time result; the reshape form, or a reshaped weight when the
// input is one; the first element of a constant (I64, or F32 truncated);
// the comparison and logic operators whose results are 0 or 1; the first
// earlier node writing a value; how many nodes read a value; an owned F32
// copy of a constant's data that may change in place.
bool copy_i64(Lower& L, BuilderNode& n);
bool reshape_weight(Lower& L, BuilderNode& n);
bool finish_reshape(Lower& L, BuilderNode& n);
bool first_i64(Lower& L, uint64_t v, int64_t* out);
bool is_boolean_producer(uint64_t op);
int64_t producer_of(Lower& L, uint64_t v);
uint64_t uses_of(Lower& L, uint64_t v);
float* own_f32(Lower& L, uint64_t v);
void raw_sigmoid_rewrite(Lower& L);
// The weight a rule may rewrite in place for the current node: v itself
// when no other node reads it, otherwise a copy of its data and shape named
// "<name_source's name><suffix>", so that the other readers keep v as it
// is. A copy an earlier node made under that name is handed out again
// (*reused set): it holds the rewrite already. kNoValue when the copy
// cannot be made.
uint64_t private_weight(Lower& L, uint64_t v, uint64_t name_source, const char* suffix, bool* reused);
bool lower_integer_weights(Lower& L, BuilderNode& n);

}  // namespace vorn
