// The tokenizer against the reference tokenizer's ids and texts on the
// committed corpus (tests/data/gpt2/corpus_expected.json, made by
// make_tokenizer_expected.js), the split rules on their own examples, and
// the merge loop against a plain rendering of the merge rule.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "base/vn_error.h"
#include "generation/documents_fixture.h"
#include "generation/tokenizer.h"
#include "generation/unicode_classes.h"
#include "generation/utf8_codec.h"
#include "generation/vn_processor.h"

namespace vorn {
namespace {

using nlohmann::json;

const Processor& gpt2() {
  static const auto p = processor_config_load(test::gpt2_documents());
  return *p;
}

const json& expected() {
  static const json e = json::parse(test::read_text_file(std::string(VORN_TEST_DATA) + "/gpt2/corpus_expected.json"));
  return e;
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

TEST(Tokenizer, CorpusEqualsTheReference) {
  const json corpus = json::parse(test::read_text_file(std::string(VORN_TEST_DATA) + "/gpt2/corpus.json"));
  const json& docs = corpus["documents"];
  const json& want = expected()["documents"];
  ASSERT_EQ(docs.size(), want.size());
  for (size_t i = 0; i < docs.size(); ++i) {
    const std::string text = docs[i];
    std::vector<int64_t> ids = bpe_encode(gpt2(), text);
    ASSERT_EQ(ids, want[i]["ids"].get<std::vector<int64_t>>()) << i << ": " << json(text).dump();
    EXPECT_EQ(bpe_decode(gpt2(), ids), want[i]["text"].get<std::string>()) << i;
  }
}

// U+000B and U+0085 are white space for the reference but not in our class:
// these texts expect the ids of the split rules with our class.
TEST(Tokenizer, WhiteSpaceClassDivergence) {
  EXPECT_EQ(code_point_class(0x0B), 0u);
  EXPECT_EQ(code_point_class(0x85), 0u);
  for (const json& c : expected()["divergent"])
    EXPECT_EQ(bpe_encode(gpt2(), c["text"].get<std::string>()), c["ids"].get<std::vector<int64_t>>()) << c["text"];
  // Every other difference with the reference's classes is a code point
  // assigned after Unicode 15.0 (our table's ICU): none has a class here.
  for (const json& r : expected()["class_differences"]) {
    uint32_t first = r[0], last = r[1], ours = r[3];
    if (first == 0x0B || first == 0x85) continue;
    EXPECT_EQ(ours, 0u);
    EXPECT_EQ(code_point_class(first), ours);
    EXPECT_EQ(code_point_class(last), ours);
  }
}

TEST(Tokenizer, DecodeEqualsTheReference) {
  for (const json& c : expected()["decode"])
    EXPECT_EQ(bpe_decode(gpt2(), c["ids"].get<std::vector<int64_t>>()), c["text"].get<std::string>()) << c["ids"];
}

TEST(Tokenizer, SplitRules) {
  const std::pair<const char*, std::vector<const char*>> cases[] = {
      {"Hello world", {"Hello", " world"}},
      {"a  b", {"a", " ", " b"}},
      {"a  ", {"a", "  "}},
      {"2024", {"2", "0", "2", "4"}},
      {"x1", {"x", "1"}},
      {"a 1", {"a", " ", "1"}},
      {"don't", {"don", "'t"}},
      {"DON'T", {"DON", "'", "T"}},
      {"we'll they're I'm", {"we", "'ll", " they", "'re", " I", "'m"}},
      {"!!! ok", {"!!!", " ok"}},
      {" !!", {" !!"}},
      {"\t\tx", {"\t", "\t", "x"}},
      {"a \t!", {"a", " ", "\t", "!"}},
  };
  for (const auto& [text, pieces] : cases) {
    std::vector<int64_t> want;
    for (const char* piece : pieces) bpe_merge(gpt2(), piece, want);
    EXPECT_EQ(bpe_encode(gpt2(), text), want) << text;
  }
  EXPECT_TRUE(bpe_encode(gpt2(), "").empty());
}

TEST(Tokenizer, AddedTokensFirst) {
  json docs = test::family_documents();
  docs["config.json"]["text_config"]["vocab_size"] = 50263;
  docs["tokenizer.json"]["added_tokens"].push_back({{"id", 50262}, {"content", "<image><image>"}, {"single_word", false},
                                                   {"lstrip", false}, {"rstrip", false}, {"normalized", false},
                                                   {"special", true}});
  auto p = processor_config_load(docs);
  std::vector<int64_t> want;
  bpe_merge(*p, "wo", want);
  want.push_back(50260);  // <image>
  bpe_merge(*p, "rd", want);
  EXPECT_EQ(bpe_encode(*p, "wo<image>rd"), want);
  // The longer of two contents that start alike wins at the same position.
  EXPECT_EQ(bpe_encode(*p, "<image><image><image>"), (std::vector<int64_t>{50262, 50260}));
  EXPECT_EQ(bpe_encode(*p, "<|im_start|><end_of_utterance>"), (std::vector<int64_t>{50257, 50258}));
}

TEST(Tokenizer, Failures) {
  const Processor& p = gpt2();
  EXPECT_EQ(error_of([&] { bpe_encode(p, "ab\xFF"); }), "Invalid UTF-8 input");
  EXPECT_EQ(error_of([&] { bpe_encode(p, "\xE2\x82"); }), "Invalid UTF-8 input");
  EXPECT_EQ(error_of([&] { token_bytes(p, -1); }), "Decode token out of bounds");
  EXPECT_EQ(error_of([&] { token_bytes(p, 50257); }), "Decode token out of bounds");
  EXPECT_EQ(error_of([&] { bpe_decode(p, {15496, 50257}); }), "Decode ID");
  EXPECT_EQ(token_bytes(p, 50256), "");
  EXPECT_EQ(token_bytes(p, 995), " world");
  // Bytes that end inside a character: one U+FFFD for the cut part.
  const int64_t lead = p.vocab.at("\xC3\xA2");   // the token of byte 0xE2 alone
  const int64_t second = p.vocab.at("\xC4\xA2");  // byte 0x80
  EXPECT_EQ(bpe_decode(p, {15496, lead, second}), "Hello\xEF\xBF\xBD");
  EXPECT_EQ(bpe_decode(p, {lead, second, 15496}), "\xEF\xBF\xBDHello");
  // A vocabulary without the symbol of a byte cannot encode that byte; a
  // token whose text holds a code point that is no byte cannot be decoded.
  json docs = test::gpt2_documents();
  docs["tokenizer.json"]["model"]["vocab"].erase("~");
  docs["tokenizer.json"]["model"]["vocab"]["\xE2\x82\xAC"] = 93;
  auto broken = processor_config_load(docs);
  EXPECT_EQ(error_of([&] { bpe_encode(*broken, "~"); }), "Missing BPE symbol");
  EXPECT_EQ(error_of([&] { token_bytes(*broken, 93); }), "Byte decoding");
  // The object layer's faces of the same failures.
  VNProcessor vn(test::gpt2_documents());
  EXPECT_EQ(vn.tokenBytes(15496), "Hello");
  EXPECT_EQ(vn.decode({15496, 995}), "Hello world");
  try {
    vn.tokenBytes(-5);
    ADD_FAILURE();
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), vn_category::kFrontend);
    EXPECT_STREQ(e.reason(), "Decode token out of bounds");
  }
}

TEST(Tokenizer, Utf8Decode) {
  struct Case {
    std::string bytes;
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // of each U+FFFD or code point
    size_t replacements;
  };
  const Case cases[] = {
      {"\xE2\x82", {{0, 2}}, 1},
      {"\xED\xA0\x80", {{0, 1}, {1, 2}, {2, 3}}, 3},
      {"\xC0\xAF", {{0, 1}, {1, 2}}, 2},
      {"\xF0\x9F\x98", {{0, 3}}, 1},
      {"\xE2\x41", {{0, 1}, {1, 2}}, 1},
      {"\xF4\x90\x80\x80", {{0, 1}, {1, 2}, {2, 3}, {3, 4}}, 4},
      {"a\xE2\x82\xAC", {{0, 1}, {1, 4}}, 0},
  };
  for (const Case& c : cases) {
    auto spans = utf8_decode(c.bytes, true);
    ASSERT_EQ(spans.size(), c.spans.size());
    size_t replacements = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
      EXPECT_EQ(spans[i].start, c.spans[i].first);
      EXPECT_EQ(spans[i].end, c.spans[i].second);
      replacements += spans[i].code_point == kReplacementCharacter;
    }
    EXPECT_EQ(replacements, c.replacements);
    EXPECT_EQ(error_of([&] { utf8_decode(c.bytes, false); }), c.replacements ? "Invalid UTF-8 input" : "");
  }
  for (uint32_t cp : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    auto spans = utf8_decode(utf8_encode(cp), false);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].code_point, cp);
  }
}

// The merge rule as written: symbols as texts, a map keyed by "left right",
// one merge of the lowest rank (leftmost on ties) per full rescan.
std::vector<int64_t> plain_merge(const Processor& p, const std::map<std::string, int32_t>& ranks,
                                 const std::string& piece) {
  std::vector<std::string> sym;
  for (unsigned char b : piece) sym.push_back(p.byte_to_unicode[b]);
  while (sym.size() >= 2) {
    int32_t best = INT32_MAX;
    size_t at = 0;
    for (size_t i = 1; i < sym.size(); ++i) {
      auto it = ranks.find(sym[i - 1] + " " + sym[i]);
      if (it != ranks.end() && it->second < best) {
        best = it->second;
        at = i;
      }
    }
    if (best == INT32_MAX) break;
    sym[at - 1] += sym[at];
    sym.erase(sym.begin() + static_cast<long>(at));
  }
  std::vector<int64_t> ids;
  for (const auto& s : sym) ids.push_back(p.vocab.at(s));
  return ids;
}

TEST(Tokenizer, MergeLoopEqualsThePlainRule) {
  std::map<std::string, int32_t> ranks;
  int32_t rank = 0;
  for (const json& m : test::gpt2_tokenizer_json()["model"]["merges"])
    ranks[m[0].get<std::string>() + " " + m[1].get<std::string>()] = rank++;
  std::mt19937 rng(7);
  const std::string alphabet[] = {"e", "t", "a", "o", "n", " ", "s", "h", "r", "\xC3\xA9", "\xE4\xB8\x80", "1", "!"};
  for (int i = 0; i < 400; ++i) {
    // Lengths on both sides of the short-piece limit (64 bytes).
    size_t n = i < 200 ? 1 + rng() % 20 : 40 + rng() % 260;
    std::string piece;
    while (piece.size() < n) piece += alphabet[rng() % std::size(alphabet)];
    std::vector<int64_t> got;
    bpe_merge(gpt2(), piece, got);
    ASSERT_EQ(got, plain_merge(gpt2(), ranks, piece)) << piece;
  }
}

TEST(Tokenizer, DecodeOfEncodeGivesBackValidText) {
  std::mt19937 rng(11);
  for (int i = 0; i < 300; ++i) {
    std::string text;
    size_t n = 1 + rng() % 80;
    for (size_t k = 0; k < n; ++k) {
      uint32_t cp;
      switch (rng() % 4) {
        case 0: cp = 0x20 + rng() % 0x5F; break;
        case 1: cp = rng() % 0x800; break;
        case 2: cp = rng() % 0x10000; break;
        default: cp = rng() % 0x110000; break;
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'x';
      utf8_append(text, cp);
    }
    EXPECT_EQ(bpe_decode(gpt2(), bpe_encode(gpt2(), text)), text);
  }
}

}  // namespace
}  // namespace vorn
