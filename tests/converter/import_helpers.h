// Shared helpers of the converter tests: running the import on bytes or on
// fixture files and looking values up by name.
#pragma once
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "converter/builder_state.h"
#include "converter/onnx_import.h"

namespace convtest {

struct StateDeleter {
  void operator()(vorn::BuilderState* s) const { vorn::builder_free(s); }
};
using StatePtr = std::unique_ptr<vorn::BuilderState, StateDeleter>;

inline std::string take(vorn::ByteString s) {
  std::string out = s.len ? std::string(reinterpret_cast<const char*>(s.ptr), s.len) : std::string();
  vorn::bytes_free(&s);
  return out;
}

struct Imported {
  StatePtr state;
  std::string error;
};

inline uint8_t* heap_copy(const std::string& b) {
  auto* p = static_cast<uint8_t*>(std::malloc(b.size() ? b.size() : 1));
  if (!b.empty()) std::memcpy(p, b.data(), b.size());
  return p;
}

// Runs the import on in-memory bytes; external (when given) plays the part
// of the "<model>.data" file.
inline Imported import_bytes(const std::string& onnx, const vorn::ConvertOptions* options = nullptr,
                             uint64_t word = 0, const std::string* external = nullptr) {
  vorn::ImportOutcome o = vorn::onnx_import_begin(heap_copy(onnx), onnx.size(),
                                                  external ? heap_copy(*external) : nullptr,
                                                  external ? external->size() : 0, vorn::empty_slice(), word, options);
  Imported r;
  if (o.state == nullptr) {
    r.error = take(o.error);
    return r;
  }
  r.state.reset(o.state);
  r.error = take(vorn::onnx_import_nodes(*o.state, o.graph_start, o.graph_end, UINT64_MAX));
  return r;
}

inline std::string fixture(const std::string& name) { return std::string(VORN_TEST_DATA) + "/onnx/" + name; }

inline Imported import_file(const std::string& path, const vorn::ConvertOptions* options = nullptr,
                            uint64_t word = 0) {
  vorn::ImportOutcome o = vorn::onnx_import_file(vorn::slice_of(path), word, options);
  Imported r;
  r.state.reset(o.state);
  r.error = take(o.error);
  return r;
}

inline uint64_t find(const vorn::BuilderState& s, const std::string& name) {
  return vorn::builder_find_value(s, reinterpret_cast<const uint8_t*>(name.data()), name.size());
}

// The first node whose ONNX name is `name`.
inline const vorn::BuilderNode* node_named(const vorn::BuilderState& s, const std::string& name) {
  for (uint64_t i = 0; i < s.node_count; ++i)
    if (s.origin[i].name_length == name.size() &&
        std::memcmp(s.onnx + s.origin[i].name_offset, name.data(), name.size()) == 0)
      return &s.nodes[i];
  return nullptr;
}

inline float f32_at(const vorn::BuilderValue& v, uint64_t i) {
  float f;
  std::memcpy(&f, v.data + 4 * i, 4);
  return f;
}
inline int64_t i64_at(const vorn::BuilderValue& v, uint64_t i) {
  int64_t x;
  std::memcpy(&x, v.data + 8 * i, 8);
  return x;
}

}  // namespace convtest
