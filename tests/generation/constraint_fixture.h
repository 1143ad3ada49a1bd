// Shared helpers of the output-constraint tests: small vocabularies, GPT-2's
// real one, compiling with the refusal text as the result, and a reference
// reader that runs the automaton byte by byte through state_set_step alone.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generation/constraint.h"
#include "generation/errors.h"
#include "generation/vn_constraint.h"
#ifdef VORN_TEST_DATA
#include "generation/vn_processor.h"
#include "tests/generation/documents_fixture.h"
#endif

namespace vorn::test {

struct Vocabulary {
  std::vector<std::string> tokens;
  std::vector<int64_t> eos;
};

// Token b is the single byte b, for every byte; then `extra`; the end of
// sequence is one more id with no bytes.
inline Vocabulary byte_vocabulary(const std::vector<std::string>& extra = {}) {
  Vocabulary v;
  for (int b = 0; b < 256; ++b) v.tokens.push_back(std::string(1, static_cast<char>(b)));
  v.tokens.insert(v.tokens.end(), extra.begin(), extra.end());
  v.eos.push_back(static_cast<int64_t>(v.tokens.size()));
  v.tokens.emplace_back();
  return v;
}

#ifdef VORN_TEST_DATA
// GPT-2's vocabulary (tests/data/gpt2/tokenizer.json) as the processor's
// tokenizer spells it: the end of sequence, a special token, spells no bytes.
inline Vocabulary gpt2_vocabulary() {
  VNProcessor processor(gpt2_documents());
  Vocabulary v;
  for (uint64_t id = 0; id < processor.processor().vocab_size(); ++id)
    v.tokens.push_back(processor.tokenBytes(static_cast<int64_t>(id)));
  v.eos = processor.eos();
  return v;
}
#endif

inline std::unique_ptr<Constraint> compile(const char* schema, uint32_t decimals, const Vocabulary& v,
                                           int32_t max_new_tokens = 8192) {
  auto c = std::make_unique<Constraint>();
  constraint_compile(*c, schema, decimals, v.tokens, v.eos, max_new_tokens);
  return c;
}

// The refusal text, or "" when the schema compiles.
inline std::string refusal(const std::string& schema, int32_t max_new_tokens = 8192,
                           const Vocabulary& v = byte_vocabulary()) {
  try {
    compile(schema.c_str(), 0, v, max_new_tokens);
    return "";
  } catch (const ConstraintError& e) {
    return e.what();
  }
}

// Whether the automaton reads `bytes` from its start into acceptance, by the
// plain state-set steps.
inline bool reads(const Constraint& c, const std::string& bytes) {
  std::vector<int32_t> set = c.state_set;
  for (unsigned char b : bytes) set = state_set_step(c, set, b);
  for (int32_t s : set)
    if (s == c.accept) return true;
  return false;
}

inline bool holds(const std::vector<int32_t>& set, int32_t state) {
  return std::binary_search(set.begin(), set.end(), state);
}

// The mask computed token by token from the plain steps and distances.
inline std::vector<uint8_t> reference_mask(const Constraint& c, uint64_t vocab, int64_t remaining) {
  std::vector<uint8_t> mask(vocab, 0);
  for (uint64_t id = 0; id < vocab && id < c.token_bytes.size(); ++id) {
    if (c.token_bytes[id].empty()) continue;
    std::vector<int32_t> set = c.state_set;
    for (unsigned char b : c.token_bytes[id]) {
      set = state_set_step(c, set, b);
      if (set.empty()) break;
    }
    int64_t least = kConstraintUnreachable;
    for (int32_t s : set) least = std::min<int64_t>(least, c.distance[s]);
    mask[id] = !set.empty() && least <= remaining - 1;
  }
  if (holds(c.state_set, c.accept))
    for (int64_t id : c.eos_ids)
      if (id >= 0 && static_cast<uint64_t>(id) < vocab) mask[id] = 1;
  return mask;
}

// A compiled constraint behind its wrapper, with the raw object kept in
// reach so a test can read (or rewind) the state set the wrapper advances.
struct Driven {
  Constraint* raw;
  VNConstraint wrapper;
  explicit Driven(std::unique_ptr<Constraint> c) : raw(c.get()), wrapper(std::move(c)) {}
  std::vector<uint8_t> mask(uint64_t vocab, uint64_t remaining) {
    std::vector<uint8_t> m(vocab, 1);
    wrapper.mask(m.data(), vocab, remaining);
    return m;
  }
  bool accept(const std::string& bytes, const Vocabulary& v) {
    auto id = std::find(v.tokens.begin(), v.tokens.end(), bytes) - v.tokens.begin();
    return wrapper.acceptToken(id);
  }
};

}  // namespace vorn::test
