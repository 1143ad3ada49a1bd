// Soundness both ways over GPT-2's vocabulary, on the committed schemas that
// cover every keyword and nesting form of the subset. Documents that satisfy
// a schema are read byte by byte through the wrapper's mask and advance;
// near misses are refused. Random walks, token by token among the masked
// tokens, always finish within their budget, and end in exactly the
// documents committed in walks.json, which the fixture script has checked
// with a JSON-schema validator (tests/generation/make_constraint_fixtures.py).
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "tests/generation/constraint_fixture.h"

namespace vorn {
namespace {

using nlohmann::json;
using test::Driven;
using test::Vocabulary;

json load(const char* name) {
  std::ifstream in(std::string(VORN_TEST_DATA) + "/constraint/" + name);
  return json::parse(in);
}

const Vocabulary& gpt2() {
  static const Vocabulary v = test::gpt2_vocabulary();
  return v;
}

std::unique_ptr<Constraint> compile_entry(const json& entry, int32_t max_new_tokens = 8192) {
  if (entry.contains("amount")) return test::compile(nullptr, entry["amount"].get<uint32_t>(), gpt2(), max_new_tokens);
  return test::compile(entry["schema"].dump().c_str(), 0, gpt2(), max_new_tokens);
}

// Feeds `doc` one single-byte token at a time; true when every byte was
// taken (and, with `masked`, allowed by the mask first) and the output ends
// accepted.
bool read_bytewise(Driven& d, const std::vector<int64_t>& byte_token, const std::string& doc, bool masked) {
  const uint64_t vocab = gpt2().tokens.size();
  for (size_t i = 0; i < doc.size(); ++i) {
    int64_t token = byte_token[static_cast<uint8_t>(doc[i])];
    if (masked && !d.mask(vocab, 1u << 20)[token]) return false;
    if (d.wrapper.acceptToken(token)) return i + 1 == doc.size();
  }
  return test::holds(d.raw->state_set, d.raw->accept) && d.mask(vocab, 1)[gpt2().eos[0]];
}

TEST(ConstraintSoundness, ConformingDocumentsReadAndNearMissesRefused) {
  const Vocabulary& v = gpt2();
  std::vector<int64_t> byte_token(256);
  for (size_t id = 0; id < v.tokens.size(); ++id)
    if (v.tokens[id].size() == 1) byte_token[static_cast<uint8_t>(v.tokens[id][0])] = static_cast<int64_t>(id);
  json schemas = load("schemas.json");
  int read = 0, refused = 0;
  for (const json& entry : load("documents.json")) {
    auto it = std::find_if(schemas.begin(), schemas.end(), [&](const json& s) { return s["name"] == entry["name"]; });
    Driven d(compile_entry(*it));
    const std::vector<int32_t> start = d.raw->state_set;
    for (const json& doc : entry["accept"]) {
      d.raw->state_set = start;
      EXPECT_TRUE(read_bytewise(d, byte_token, doc.get<std::string>(), doc == entry["accept"][0]))
          << entry["name"] << " " << doc;
      read++;
    }
    for (const json& miss : entry["refuse"]) {
      d.raw->state_set = start;
      bool accepted = false;
      try {
        accepted = read_bytewise(d, byte_token, miss["doc"].get<std::string>(), false);
      } catch (const VNError&) {
      }
      EXPECT_FALSE(accepted) << entry["name"] << " " << miss;
      refused++;
    }
  }
  EXPECT_GT(read, 100);
  EXPECT_GT(refused, 400);
}

uint64_t next_random(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// A generation in miniature: before each token the mask with the tokens
// left, then a uniform choice among the allowed ones. The mask must never
// be empty, and the output must end accepted.
std::string walk(Driven& d, int budget, uint64_t seed, int steps = INT32_MAX) {
  const Vocabulary& v = gpt2();
  std::string doc;
  std::vector<int64_t> allowed;
  for (int step = 0; step < budget; ++step) {
    if (step == steps) return doc;
    std::vector<uint8_t> m = d.mask(v.tokens.size(), budget - step);
    allowed.clear();
    for (size_t id = 0; id < m.size(); ++id)
      if (m[id]) allowed.push_back(static_cast<int64_t>(id));
    if (allowed.empty()) {
      ADD_FAILURE() << "no token left after " << doc;
      break;
    }
    int64_t token = allowed[next_random(seed) % allowed.size()];
    doc += v.tokens[token];
    if (d.wrapper.acceptToken(token)) break;
  }
  EXPECT_TRUE(test::holds(d.raw->state_set, d.raw->accept)) << doc;
  return doc;
}

TEST(ConstraintSoundness, RandomWalksFinishInCheckedDocuments) {
  json walks = json::object();
  int checked_masks = 0;
  uint64_t schema_index = 0;
  for (const json& entry : load("schemas.json")) {
    ++schema_index;
    Driven d(compile_entry(entry));
    const std::vector<int32_t> start = d.raw->state_set;
    int32_t least = kConstraintUnreachable;
    for (int32_t s : start) least = std::min(least, d.raw->distance[s]);
    // Six walks with room to spare, two with the least budget that can
    // finish, one with a little more.
    const int budgets[] = {least + 40, least + 40, least + 40, least + 40, least + 40, least + 40, least, least, least + 2};
    json& docs = walks[entry["name"].get<std::string>()] = json::array();
    for (size_t k = 0; k < std::size(budgets); ++k) {
      d.raw->state_set = start;
      if (k == 0) {
        // The trie walk against token-by-token reading, a few tokens in.
        walk(d, least + 40, 77, 3);
        EXPECT_EQ(d.mask(gpt2().tokens.size(), 50), test::reference_mask(*d.raw, gpt2().tokens.size(), 50))
            << entry["name"];
        ++checked_masks;
        d.raw->state_set = start;
      }
      docs.push_back(walk(d, budgets[k], 1000 * schema_index + k));
    }
  }
  EXPECT_GT(checked_masks, 15);
  if (std::getenv("VORN_WRITE_CONSTRAINT_WALKS")) {
    std::ofstream(std::string(VORN_TEST_DATA) + "/constraint/walks.json") << walks.dump(1, ' ', false) << "\n";
    return;
  }
  json committed = load("walks.json");
  for (const auto& [name, docs] : walks.items()) EXPECT_EQ(docs, committed[name]) << name;
}

}  // namespace
}  // namespace vorn
