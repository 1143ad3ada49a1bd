// The constraint at run time, through VNConstraint: the mask against a
// token-by-token reference, end-of-sequence and budget rules, the refusals,
// and the distance table against a breadth-first search over state sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <functional>
#include <set>

#include "base/vn_error.h"
#include "generation/constraint_messages.h"
#include "generation/records.h"
#include "generation/vn_constraint.h"
#include "generation/vn_processor.h"
#include "tests/generation/constraint_fixture.h"

namespace vorn {
namespace {

namespace msg = constraint_message;
using test::Driven;
using test::holds;
using test::reference_mask;
using test::Vocabulary;

std::string frontend_reason(const std::function<void()>& body) {
  try {
    body();
  } catch (const VNError& e) {
    EXPECT_STREQ(e.category(), vn_category::kFrontend);
    return e.reason();
  }
  return "";
}

TEST(ConstraintRuntime, AmountMaskAndCompletion) {
  // "4" twice: tokens with the same bytes are allowed together.
  Vocabulary v = test::byte_vocabulary({"12", "34", "12.", " 1", ".3", "4 ", "4"});
  const uint64_t vocab = v.tokens.size();
  Driven d(test::compile(nullptr, 2, v));
  for (const char* piece : {" 1", "2", ".3"}) {
    EXPECT_EQ(d.mask(vocab, 100), reference_mask(*d.raw, vocab, 100)) << piece;
    EXPECT_FALSE(d.accept(piece, v));
  }
  std::vector<uint8_t> m = d.mask(vocab, 100);
  for (uint64_t id = 0; id < vocab; ++id)
    EXPECT_EQ(m[id], v.tokens[id].size() == 1 && std::isdigit(static_cast<unsigned char>(v.tokens[id][0])))
        << v.tokens[id];
  EXPECT_TRUE(d.accept("4", v));
  // An end-of-sequence id before acceptance is refused.
  Driven early(test::compile(nullptr, 2, v));
  EXPECT_EQ(frontend_reason([&] { early.wrapper.acceptToken(v.eos[0]); }), msg::kPrematureEos);
}

TEST(ConstraintRuntime, NumberEndsOnEndOfSequence) {
  Vocabulary v = test::byte_vocabulary({"12"});
  const uint64_t vocab = v.tokens.size();
  Driven d(test::compile(R"({"type":"number"})", 0, v));
  EXPECT_EQ(d.mask(vocab, 5)[v.eos[0]], 0);
  EXPECT_FALSE(d.accept("12", v));
  std::vector<uint8_t> m = d.mask(vocab, 5);
  EXPECT_EQ(m[v.eos[0]], 1);
  EXPECT_EQ(m, reference_mask(*d.raw, vocab, 5));
  // A budget past 32 bits counts as unlimited, not as what its low bits say.
  EXPECT_EQ(d.mask(vocab, (uint64_t{1} << 32) + 1), m);
  // With one token left only tokens that end in acceptance stay: digits, not
  // "." or "e" which need another.
  m = d.mask(vocab, 1);
  EXPECT_EQ(m, reference_mask(*d.raw, vocab, 1));
  EXPECT_TRUE(m['5'] && m[v.eos[0]] && !m['.'] && !m['e']);
  EXPECT_TRUE(d.wrapper.acceptToken(v.eos[0]));
}

TEST(ConstraintRuntime, MaskKeepsCallerRefusalsAndVocabularyBounds) {
  Vocabulary v = test::byte_vocabulary();
  v.eos.push_back(100000);  // beyond any mask
  Driven d(test::compile(R"({"enum":["ab"]})", 0, v));
  for (const char* piece : {"\"", "a", "b", "\""}) d.accept(piece, v);
  std::vector<uint8_t> m(v.tokens.size(), 7);
  m[v.eos[0]] = 0;
  d.wrapper.mask(m.data(), m.size(), 3);
  EXPECT_EQ(std::count(m.begin(), m.end(), 0), static_cast<long>(m.size()));
  std::fill(m.begin(), m.end(), 7);
  d.wrapper.mask(m.data(), m.size(), 3);
  EXPECT_EQ(std::count(m.begin(), m.end(), 1), 1);
  EXPECT_EQ(m[v.eos[0]], 1);
  // A mask shorter than the vocabulary: nothing is written past it; a
  // longer one: ids the constraint does not know are refused.
  std::vector<uint8_t> shorter(10, 1);
  shorter.push_back(0xEE);
  d.wrapper.mask(shorter.data(), 10, 3);
  EXPECT_EQ(shorter[10], 0xEE);
  std::vector<uint8_t> longer(v.tokens.size() + 5, 1);
  d.wrapper.mask(longer.data(), longer.size(), 3);
  EXPECT_EQ(std::count(longer.begin(), longer.end(), 1), 1);
}

TEST(ConstraintRuntime, Refusals) {
  Vocabulary v = test::byte_vocabulary();
  const int64_t size = static_cast<int64_t>(v.tokens.size());
  Driven d(test::compile(R"({"type":"boolean"})", 0, v));
  std::vector<uint8_t> m(v.tokens.size(), 1);
  EXPECT_EQ(frontend_reason([&] { d.wrapper.mask(m.data(), m.size(), 0); }), msg::kBudgetExhausted);
  EXPECT_EQ(frontend_reason([&] { d.wrapper.acceptToken(-1); }), msg::kTokenOutOfRange);
  EXPECT_EQ(frontend_reason([&] { d.wrapper.acceptToken(size); }), msg::kTokenOutOfRange);
  EXPECT_EQ(frontend_reason([&] { d.accept("x", v); }), msg::kViolation);
  // The set stays empty: every token is refused from now on.
  EXPECT_EQ(d.mask(v.tokens.size(), 10), std::vector<uint8_t>(v.tokens.size(), 0));
  EXPECT_EQ(frontend_reason([&] { d.accept("t", v); }), msg::kViolation);
}

int32_t refuse_all(void*, const int64_t*, uint64_t, uint8_t*, uint64_t) { return 0; }

TEST(ConstraintRuntime, RequestSettingsThroughTheProcessor) {
  VNProcessor processor(test::family_documents());
  const char* stops[] = {"}"};
  const struct {
    const char* schema;
    uint32_t decimals, max_new_tokens;
    bool stop, callback;
    const char* message;  // "" when it compiles
  } cases[] = {
      {nullptr, 0, 64, true, true, ""},  // no constraint, whatever else the request holds
      {R"({"type":"boolean"})", 0, 64, false, false, ""},
      {nullptr, 2, 4, false, false, ""},
      {R"({"type":"boolean"})", 0, 64, true, false, msg::kCombined},
      {nullptr, 2, 64, false, true, msg::kCombined},
      {R"({"type":"boolean"})", 2, 64, false, false, msg::kChooseOne},
      {nullptr, 10, 64, false, false, msg::kAmountDecimals},
      {"{", 0, 64, false, false, msg::kMalformedSchema},
      {nullptr, 2, 3, false, false, msg::kOutputCap},
  };
  for (const auto& tc : cases) {
    GenerationRequest request = generation_request_default();
    request.json_schema = tc.schema;
    request.amount_decimals = tc.decimals;
    request.max_new_tokens = tc.max_new_tokens;
    if (tc.stop) request.stops = stops, request.stop_count = 1;
    if (tc.callback) request.mask_callback = refuse_all;
    std::unique_ptr<VNConstraint> constraint;
    EXPECT_EQ(frontend_reason([&] { constraint = processor.constraintWithParams(&request); }), tc.message);
    bool expected = *tc.message == 0 && (tc.schema || tc.decimals);
    ASSERT_EQ(constraint != nullptr, expected) << tc.message;
    if (!constraint) continue;
    // The end-of-sequence ids are refused until the output is complete.
    std::vector<uint8_t> m(processor.processor().vocab_size(), 1);
    constraint->mask(m.data(), m.size(), tc.max_new_tokens);
    EXPECT_GT(std::count(m.begin(), m.end(), 1), 5);
    for (int64_t eos : processor.eos()) EXPECT_EQ(m[eos], 0);
  }
  EXPECT_EQ(processor.constraintWithParams(nullptr), nullptr);
}

// Least number of single-byte tokens from each state into acceptance, by a
// plain breadth-first search over the state sets those tokens reach.
int32_t searched_distance(const Constraint& c, int32_t state, const std::vector<uint8_t>& spelled) {
  std::set<std::vector<int32_t>> seen;
  std::deque<std::pair<std::vector<int32_t>, int32_t>> queue{{state_set_close(c, {state}), 0}};
  while (!queue.empty()) {
    auto [set, depth] = queue.front();
    queue.pop_front();
    if (holds(set, c.accept)) return depth;
    for (uint8_t b : spelled) {
      auto next = state_set_step(c, set, b);
      if (!next.empty() && seen.insert(next).second) queue.emplace_back(next, depth + 1);
    }
  }
  return kConstraintUnreachable;
}

TEST(ConstraintRuntime, DistancesEqualBreadthFirstSearch) {
  // Without single-byte tokens for "a" to "c" (only "abc" spells them), the
  // enum values "fab" and "cat" cannot be finished.
  Vocabulary v = test::byte_vocabulary({"abc"});
  for (char b = 'a'; b <= 'c'; ++b) v.tokens[static_cast<uint8_t>(b)] = "abc";
  std::vector<uint8_t> spelled;
  int unreachable = 0;
  for (int b = 0; b < 256; ++b)
    if (v.tokens[b].size() == 1) spelled.push_back(static_cast<uint8_t>(b));
  for (const char* schema :
       {R"({"type":"object","properties":{"k":{"type":"string","minLength":2,"maxLength":3},
            "n":{"type":"number"},"e":{"enum":["fab","cat",true]}},"required":["k","n","e"],
            "additionalProperties":false})",
        R"({"type":"array","items":{"anyOf":[{"type":"integer"},{"type":"null"}]},"minItems":2,"maxItems":3})"}) {
    auto c = test::compile(schema, 0, v);
    for (size_t s = 0; s < c->states.size(); ++s) {
      int32_t expected = searched_distance(*c, static_cast<int32_t>(s), spelled);
      EXPECT_EQ(c->distance[s], expected) << schema << " state " << s;
      unreachable += expected == kConstraintUnreachable;
    }
  }
  EXPECT_GT(unreachable, 0);
}

}  // namespace
}  // namespace vorn
