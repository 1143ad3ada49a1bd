// Shared helpers of the output-constraint tests: small vocabularies, GPT-2's
// real one, compiling with the refusal text as the result, and a reference
// reader that runs the automaton byte by byte through state_set_step alone.
#pragma once
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "generation/constraint.h"
#include "generation/errors.h"
#include "generation/vn_constraint.h"

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

// GPT-2's vocabulary from the committed tokenizer.json: each token's
// byte-level symbols mapped back to bytes, the special token (the end of
// sequence) empty.
inline Vocabulary gpt2_vocabulary() {
  std::ifstream in(std::string(VORN_TEST_DATA) + "/gpt2/tokenizer.json");
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json doc = nlohmann::json::parse(text.str());
  // The byte-level alphabet: printable Latin-1 bytes stand for themselves,
  // the others for code points from U+0100 up, in byte order.
  std::vector<int> byte_of(512, -1);
  int next = 256;
  for (int b = 0; b < 256; ++b) {
    bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE && b <= 0xFF);
    byte_of[printable ? b : next++] = b;
  }
  Vocabulary v;
  v.tokens.resize(doc["model"]["vocab"].size() + doc["added_tokens"].size());
  for (const auto& [symbols, id] : doc["model"]["vocab"].items()) {
    std::string bytes;
    for (size_t i = 0; i < symbols.size();) {
      unsigned char lead = symbols[i];
      int cp = lead < 0x80 ? lead : ((lead & 0x1F) << 6) | (symbols[i + 1] & 0x3F);
      i += lead < 0x80 ? 1 : 2;
      bytes.push_back(static_cast<char>(byte_of.at(cp)));
    }
    v.tokens.at(id.get<size_t>()) = bytes;
  }
  // Added tokens are special: they spell no bytes.
  for (const auto& added : doc["added_tokens"]) {
    v.tokens.at(added["id"].get<size_t>()).clear();
    v.eos.push_back(added["id"].get<int64_t>());
  }
  return v;
}

inline std::unique_ptr<Constraint> compile(const char* schema, uint32_t decimals, const Vocabulary& v,
                                           int32_t max_new_tokens = 8192) {
  auto c = std::make_unique<Constraint>();
  constraint_compile(*c, schema, decimals, v.tokens, v.eos, max_new_tokens);
  return c;
}

// The refusal text, or "" when the schema compiles.
inline std::string refusal(const std::string& schema, int32_t max_new_tokens = 8192) {
  static const Vocabulary v = byte_vocabulary();
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
