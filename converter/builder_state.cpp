#include "converter/builder_state.h"

#include <cstdlib>

#include "container/records.h"

namespace vorn {

namespace {

uint64_t name_hash(const uint8_t* p, uint64_t n) {
  uint64_t h = 1469598103934665603ull;
  for (uint64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

// The slot holding (name, len), or the empty slot where it would go.
uint64_t index_slot(const BuilderState& s, const uint8_t* name, uint64_t len) {
  uint64_t slot = name_hash(name, len) & (kNameIndexSlots - 1);
  for (;;) {
    uint32_t e = s.name_index[slot];
    if (e == 0) return slot;
    const BuilderValue& v = s.values[e - 1];
    if (bytes_equal(v.name, v.name_len, name, len)) return slot;
    slot = (slot + 1) & (kNameIndexSlots - 1);
  }
}

}  // namespace

BuilderState* builder_new() {
  return static_cast<BuilderState*>(std::calloc(1, sizeof(BuilderState)));
}

void builder_drop_data(BuilderValue& v) {
  if ((v.owned & 0xFF) == 1 && v.data != nullptr) std::free(const_cast<uint8_t*>(v.data));
  v.data = nullptr;
  v.size = 0;
  v.owned = 0;
}

void builder_free(BuilderState* state) {
  if (state == nullptr) return;
  uint64_t n = state->value_count < kMaxValues ? state->value_count : kMaxValues;
  for (uint64_t i = 0; i < n; ++i) builder_drop_data(state->values[i]);
  std::free(const_cast<uint8_t*>(state->external_data));
  if (state->owns_onnx) std::free(const_cast<uint8_t*>(state->onnx));
  std::free(state);
}

uint64_t builder_find_value(const BuilderState& s, const uint8_t* name, uint64_t len) {
  uint32_t e = s.name_index[index_slot(s, name, len)];
  return e == 0 ? kNoValue : e - 1;
}

uint64_t builder_append_value(BuilderState& s, const uint8_t* name, uint64_t len) {
  if (s.value_count >= kMaxValues) return kNoValue;
  uint64_t i = s.value_count++;
  BuilderValue& v = s.values[i];
  std::memset(&v, 0, sizeof v);
  v.name = name;
  v.name_len = len;
  v.kind = kValueActivation;
  v.elem = kElemF32;
  v.tensor_index = kNoIndex;
  s.convert_time[i] = 0;
  uint64_t slot = index_slot(s, name, len);
  if (s.name_index[slot] == 0) s.name_index[slot] = static_cast<uint32_t>(i + 1);
  return i;
}

uint64_t builder_intern_value(BuilderState& s, const uint8_t* name, uint64_t len) {
  uint64_t found = builder_find_value(s, name, len);
  if (found != kNoValue) return found;
  return builder_append_value(s, name, len);
}

void builder_default_attrs(BuilderNode& n) {
  std::memcpy(&n.w[attr::kFirstRecordWord], attr::kImportDefaults, sizeof attr::kImportDefaults);
}

BuilderNode* builder_append_node(BuilderState& s) {
  if (s.node_count >= kMaxNodes) return nullptr;
  BuilderNode& n = s.nodes[s.node_count++];
  std::memset(&n, 0, sizeof n);
  for (int k = 2; k < 10; ++k) n.w[k] = kNoIndex;
  for (int k = 11; k < 15; ++k) n.w[k] = kNoIndex;
  builder_default_attrs(n);
  return &n;
}

void builder_add_meta(BuilderState& s, const uint8_t* key, uint64_t key_len, const uint8_t* value,
                      uint64_t value_len) {
  if (s.meta_count >= kMaxMetaEntries) return;
  MetaEntry& m = s.meta[s.meta_count++];
  m = MetaEntry{key, key_len, value, value_len, 0, 0};
}

uint64_t builder_opset_for_domain(const BuilderState& s, const uint8_t* domain, uint64_t len) {
  bool want_default = len == 0 || text_equal(domain, len, "ai.onnx");
  for (uint64_t i = 0; i < s.opsets.count && i < kMaxOpsetImports; ++i) {
    uint64_t off = s.opsets.domain_offset[i], dl = s.opsets.domain_length[i];
    const uint8_t* d = s.onnx != nullptr ? s.onnx + off : nullptr;
    bool is_default = dl == 0 || text_equal(d, dl, "ai.onnx");
    if (want_default ? is_default : bytes_equal(d, dl, domain, len)) return s.opsets.version[i];
  }
  return 0;
}

bool builder_const_scalar_f32(const BuilderState& s, const uint8_t* name, uint64_t len, float* out) {
  if (len == 0) return false;
  uint64_t i = builder_find_value(s, name, len);
  if (i == kNoValue) return false;
  const BuilderValue& v = s.values[i];
  if (v.data == nullptr) return false;
  if (v.elem == kElemI64 && v.size >= 8) {
    int64_t x;
    std::memcpy(&x, v.data, 8);
    *out = static_cast<float>(x);
    return true;
  }
  if (v.size >= 4) {
    std::memcpy(out, v.data, 4);
    return true;
  }
  return false;
}

}  // namespace vorn
