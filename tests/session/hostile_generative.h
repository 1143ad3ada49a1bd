// Hostile generative containers: one valid test model changed in one place
// (the graph block, a node or value record, the documents and their table,
// a weight's kind), with the metadata digests sealed again so the change
// reaches the checks behind them. The unit tests check each refusal's code
// and text; the fuzz target opens every one under AddressSanitizer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/digest.h"
#include "container/format.h"
#include "platform/half.h"

namespace vorn::test {

struct HostileCase {
  const char* name;
  void (*change)(std::vector<uint8_t>& file);
  uint32_t code;
  const char* message;
};

inline uint64_t file_u64(const std::vector<uint8_t>& f, uint64_t at) { return container_read_u64(f.data(), at); }
inline void file_put(std::vector<uint8_t>& f, uint64_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) f[at + i] = uint8_t(v >> (8 * i));
}
inline uint64_t section_at(const std::vector<uint8_t>& f, uint64_t section) { return file_u64(f, 64 + 16 * section); }
// The graph block's header words follow the section header.
inline uint64_t graph_word(const std::vector<uint8_t>& f, int word) { return section_at(f, kSecNodes) + 32 + 8 * word; }
inline uint64_t aux_entry(const std::vector<uint8_t>& f, uint64_t j) {
  const uint64_t aux = section_at(f, kSecReserved);
  return aux + 32 + file_u64(f, aux + 8) * j;
}

inline const std::vector<HostileCase>& hostile_cases() {
  static const std::vector<HostileCase> cases = {
      {"graph node count past the block",
       [](std::vector<uint8_t>& f) { file_put(f, graph_word(f, 0), uint64_t(1) << 40); }, 14, "Graph bounds"},
      {"graph value table before the node table",
       [](std::vector<uint8_t>& f) { file_put(f, graph_word(f, 5), file_u64(f, graph_word(f, 2))); }, 14,
       "Graph bounds"},
      {"value record flags",
       [](std::vector<uint8_t>& f) { file_put(f, file_u64(f, graph_word(f, 5)) + 72, 9); }, 14,
       "Unsupported graph value flags/dtype"},
      {"value bound to a missing weight",
       [](std::vector<uint8_t>& f) {
         const uint64_t table = file_u64(f, graph_word(f, 5)), stride = file_u64(f, graph_word(f, 4));
         for (uint64_t r = table;; r += stride)
           if (file_u64(f, r + 72) & 4) return file_put(f, r + 80, 1u << 20);
       },
       14, "Invalid weight/input binding"},
      {"node operation code",
       [](std::vector<uint8_t>& f) { file_put(f, file_u64(f, graph_word(f, 2)), 999); }, 14,
       "Invalid operation record"},
      {"node input past the values",
       [](std::vector<uint8_t>& f) { file_put(f, file_u64(f, file_u64(f, graph_word(f, 2)) + 32), 1u << 30); }, 14,
       "Graph value index"},
      {"no documents", [](std::vector<uint8_t>& f) { file_put(f, section_at(f, kSecReserved) + 16, 0); }, 3,
       "Missing processor assets in vorn container"},
      {"document past the file", [](std::vector<uint8_t>& f) { file_put(f, aux_entry(f, 0) + 16, f.size() - 8); },
       3, "Aux blob bounds"},
      {"document name past the pool", [](std::vector<uint8_t>& f) { file_put(f, aux_entry(f, 1), 1u << 30); }, 3,
       "Aux name bounds"},
      {"malformed config.json", [](std::vector<uint8_t>& f) { f[file_u64(f, aux_entry(f, 0) + 16)] = 'x'; }, 3,
       "Invalid processor JSON"},
      {"tokenizer.json cut short",
       [](std::vector<uint8_t>& f) { file_put(f, aux_entry(f, 5) + 24, file_u64(f, aux_entry(f, 5) + 24) / 2); }, 3,
       "Invalid processor JSON"},
      {"weight stored as F32",
       [](std::vector<uint8_t>& f) { file_put(f, section_at(f, kSecTensors) + 32 + 8, kElemF32); }, 3,
       "invalid load plan/group coverage"},
  };
  return cases;
}

// The changed model, sealed.
inline std::vector<uint8_t> hostile_model(const std::vector<uint8_t>& model, const HostileCase& c) {
  std::vector<uint8_t> f = model;
  c.change(f);
  container_seal_metadata(f.data(), file_u64(f, 48));
  return f;
}

}  // namespace vorn::test
