// Small operations on builder values shared by node import, constant folding
// and lowering: derived values, constant views, replacing constant data and
// the broadcasting primitives.
#pragma once
#include <cstdint>

#include "converter/builder_state.h"

namespace vorn {

struct ConstView {
  uint64_t kind;  // 2 F32 or 3 I64
  uint64_t rank;
  uint64_t dims[kBuilderRank];
  uint64_t count;
  const uint8_t* data;  // borrowed, possibly unaligned; null without data
};

// The value named <source name><suffix>, added when absent. Returns the
// source index itself when the name pool is full or when the model names a
// value so itself (a derived value is the converter's own), kNoValue when
// the value table is full.
uint64_t builder_derive_value(BuilderState& s, uint64_t source, const char* suffix, uint64_t suffix_len);
// The value's name is one of the model's own (it lies in the ONNX bytes).
bool builder_model_named(const BuilderState& s, uint64_t value);
// Input 1 of the node is an I64 constant of exactly 2n elements.
bool node_input_is_i64_pairs(const BuilderState& s, uint64_t node, uint64_t n);
ConstView const_view(const BuilderState& s, uint64_t value);
// Gives the value fresh owned data of this kind and shape (uninitialised)
// and marks it as computed at convert time. Null when it cannot be
// allocated (the value is then unchanged) or the shape's size overflows.
uint8_t* builder_set_const_data(BuilderState& s, uint64_t value, uint64_t kind, uint64_t rank,
                                const uint64_t* dims);
uint64_t broadcast_source_index(uint64_t index, uint64_t out_rank, const uint64_t* out_dims, uint64_t in_rank,
                                const uint64_t* in_dims);
bool broadcast_shapes(uint64_t rank_a, const uint64_t* a, uint64_t rank_b, const uint64_t* b, uint64_t* out_rank,
                      uint64_t* out_dims);
// Up to six leading elements as i64 (f32 truncated toward zero); the count.
uint64_t const_i64_list(const BuilderState& s, uint64_t value, int64_t* out);

// Element i of a view, read as f32 (I64 rounded) or as i64 (F32 truncated
// toward zero, saturating).
float view_f32(const ConstView& v, uint64_t i);
int64_t view_i64(const ConstView& v, uint64_t i);
int64_t f32_to_i64_saturating(float f);

}  // namespace vorn
