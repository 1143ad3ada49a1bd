#include "converter/value_ops.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "container/records.h"

namespace vorn {

bool builder_model_named(const BuilderState& s, uint64_t value) {
  const uint8_t* name = s.values[value].name;
  return s.onnx != nullptr && name >= s.onnx && name < s.onnx + s.onnx_size;
}

uint64_t builder_derive_value(BuilderState& s, uint64_t source, const char* suffix, uint64_t suffix_len) {
  const BuilderValue& src = s.values[source];
  uint64_t len = src.name_len + suffix_len;
  if (len > kNamePoolSize - s.name_pool_used) return source;
  uint8_t* name = s.name_pool + s.name_pool_used;
  if (src.name_len != 0) std::memmove(name, src.name, src.name_len);
  if (suffix_len != 0) std::memcpy(name + src.name_len, suffix, suffix_len);
  // A value the model itself names is not the converter's to fill: the
  // caller would write over a weight or input of the model, or over a value
  // it is still reading.
  const uint64_t existing = builder_find_value(s, name, len);
  if (existing != kNoValue && builder_model_named(s, existing)) {
    s.derived_name_taken = existing + 1;
    return source;
  }
  s.name_pool_used += len;
  return builder_intern_value(s, name, len);
}

bool node_input_is_i64_pairs(const BuilderState& s, uint64_t node, uint64_t n) {
  const BuilderNode& nd = s.nodes[node];
  if (nd.input_count() < 2) return false;
  uint64_t in = nd.input(1);
  if (in >= s.value_count) return false;
  const BuilderValue& v = s.values[in];
  return v.elem == kElemI64 && v.data != nullptr && n <= UINT64_MAX / 16 && v.size == 16 * n;
}

ConstView const_view(const BuilderState& s, uint64_t value) {
  const BuilderValue& v = s.values[value];
  ConstView c{};
  c.kind = v.elem == kElemI64 ? kElemI64 : kElemF32;
  uint64_t width = c.kind == kElemI64 ? 8 : 4;
  c.count = v.data != nullptr ? v.size / width : 0;
  uint64_t expected = 1;
  bool overflow = false;
  for (uint64_t i = 0; i < v.rank && i < kBuilderRank; ++i) {
    if (v.dims[i] != 0 && expected > UINT64_MAX / v.dims[i]) overflow = true;
    expected *= v.dims[i];
  }
  if (!overflow && c.count == expected && v.rank <= kBuilderRank) {
    c.rank = v.rank;
    std::memcpy(c.dims, v.dims, sizeof c.dims);
  } else {
    c.rank = 1;
    c.dims[0] = c.count;
  }
  c.data = v.data;
  return c;
}

uint8_t* builder_set_const_data(BuilderState& s, uint64_t value, uint64_t kind, uint64_t rank,
                                const uint64_t* dims) {
  uint64_t count = 1;
  for (uint64_t i = 0; i < rank; ++i) {
    if (dims[i] != 0 && count > (UINT64_MAX / 16) / dims[i]) return nullptr;
    count *= dims[i];
  }
  uint64_t width = kind == kElemI64 ? 8 : 4;
  auto* p = static_cast<uint8_t*>(std::malloc((count > 0 ? count : 1) * width));
  if (p == nullptr) return nullptr;
  BuilderValue& v = s.values[value];
  builder_drop_data(v);
  v.elem = kind;
  v.rank = rank;
  std::memset(v.dims, 0, sizeof v.dims);
  if (rank != 0) std::memcpy(v.dims, dims, rank * 8);
  v.data = p;
  v.size = count * width;
  v.owned = 1;
  s.convert_time[value] = 1;
  return p;
}

uint64_t broadcast_source_index(uint64_t index, uint64_t out_rank, const uint64_t* out_dims, uint64_t in_rank,
                                const uint64_t* in_dims) {
  uint64_t result = 0, stride = 1;
  for (uint64_t k = out_rank; k-- > 0;) {
    uint64_t od = out_dims[k] == 0 ? 1 : out_dims[k];
    uint64_t r = index % od;
    index /= od;
    uint64_t back = out_rank - 1 - k;
    if (back < in_rank) {
      uint64_t id = in_dims[in_rank - 1 - back];
      if (id != 1) result += r * stride;
      stride *= id;
    }
  }
  return result;
}

bool broadcast_shapes(uint64_t rank_a, const uint64_t* a, uint64_t rank_b, const uint64_t* b, uint64_t* out_rank,
                      uint64_t* out_dims) {
  uint64_t r = rank_a > rank_b ? rank_a : rank_b;
  if (r > kBuilderRank) return false;
  for (uint64_t k = 0; k < r; ++k) {
    uint64_t back = r - 1 - k;
    bool has_a = back < rank_a, has_b = back < rank_b;
    uint64_t da = has_a ? a[rank_a - 1 - back] : 1;
    uint64_t db = has_b ? b[rank_b - 1 - back] : 1;
    if (has_a && has_b && da != 1 && db != 1 && da != db) return false;
    out_dims[k] = da == 1 ? db : da;
  }
  *out_rank = r;
  return true;
}

int64_t f32_to_i64_saturating(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 9.2233720368547758e18f) return INT64_MAX;
  if (f <= -9.2233720368547758e18f) return INT64_MIN;
  return static_cast<int64_t>(f);
}

float view_f32(const ConstView& v, uint64_t i) {
  if (v.kind == kElemI64) {
    int64_t x;
    std::memcpy(&x, v.data + i * 8, 8);
    return static_cast<float>(x);
  }
  float f;
  std::memcpy(&f, v.data + i * 4, 4);
  return f;
}

int64_t view_i64(const ConstView& v, uint64_t i) {
  if (v.kind == kElemI64) {
    int64_t x;
    std::memcpy(&x, v.data + i * 8, 8);
    return x;
  }
  float f;
  std::memcpy(&f, v.data + i * 4, 4);
  return f32_to_i64_saturating(f);
}

uint64_t const_i64_list(const BuilderState& s, uint64_t value, int64_t* out) {
  if (value == kNoIndex || value >= s.value_count) return 0;
  const BuilderValue& v = s.values[value];
  if (v.data == nullptr) return 0;
  ConstView c{};
  c.kind = v.elem == kElemI64 ? kElemI64 : kElemF32;
  c.data = v.data;
  uint64_t count = v.size / (c.kind == kElemI64 ? 8 : 4);
  uint64_t n = count < 6 ? count : 6;
  for (uint64_t i = 0; i < n; ++i) out[i] = view_i64(c, i);
  return n;
}

}  // namespace vorn
