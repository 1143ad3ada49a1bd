// The languages the constraint compiler accepts, read through the plain
// state-set steps: amounts, JSON numbers, the schema subset's documents, and
// every refusal with its text.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "generation/constraint_messages.h"
#include "tests/generation/constraint_fixture.h"

namespace vorn {
namespace {

namespace msg = constraint_message;
using test::byte_vocabulary;
using test::reads;
using test::refusal;

struct LanguageCase {
  const char* schema;  // null for an amount
  uint32_t decimals;
  std::vector<std::string> accepted;
  std::vector<std::string> refused;
};

std::string digits(int n) { return std::string(n, '7'); }

TEST(ConstraintLanguage, AcceptsExactlyItsDocuments) {
  const std::string d18 = "1" + digits(17);
  const LanguageCase cases[] = {
      {nullptr, 2, {"0.50", "-12.00", "  \t\n\r7.25", "-0.00", d18 + ".99"},
       {"7.5", "7", "07.50", "+7.50", "7.50 ", "7.505", ".50", "7.", d18 + "0.00", "1e2.00", ""}},
      {nullptr, 1, {"3.1"}, {"3.10", "3"}},
      {nullptr, 9, {"0.123456789"}, {"0.12345678", "0.1234567890"}},
      {R"({"type":"integer"})", 0, {"0", "-0", "42", d18, "-" + d18}, {d18 + "0", "01", "1.0", "1e2", "+1", "-", ""}},
      {R"({"type":"number"})", 0,
       {"1e5", "1.5E+12", "-0.0e-1", "12", "0." + digits(18), "1e99", "1E-0"},
       {"1e123", "1.", ".5", "0." + digits(19), "1e", "1e+", "01.5", "1.5e1.0"}},
      {R"({"type":"null"})", 0, {"null"}, {"nul", "null ", "NULL"}},
      {R"({"type":"boolean","title":"t","description":"d","$schema":"x"})", 0, {"true", "false"}, {"tru", "1"}},
      // Object members in name order, every member present, nothing between tokens.
      {R"({"type":"object","properties":{"b":{"type":"integer"},"a":{"type":"boolean"}},
           "required":["b","a"],"additionalProperties":false})",
       0, {R"({"a":true,"b":-3})"}, {R"({"b":-3,"a":true})", R"({"a": true,"b":-3})", R"({"a":true})", "{}"}},
      {R"({"type":"object","properties":{},"required":[],"additionalProperties":false})", 0, {"{}"}, {"{ }"}},
      {R"({"type":"object","properties":{"\u00e9":{"type":"null"}},"required":["\u00e9"],
           "additionalProperties":false})",
       0, {R"({"\u00e9":null})"}, {"{\"\xC3\xA9\":null}"}},
      // Strings count characters: ASCII, two-character escapes, UTF-8 sequences.
      {R"({"type":"string","maxLength":2})", 0,
       {R"("")", R"("ab")", R"("\n")", "\"\xC3\xA9\"", R"("\/\"")", "\"\xF4\x8F\xBF\xBF\""},
       {R"("abc")", R"("\u0041")", R"("\x")", "\"\x7F\"", "\"\x01\"", "\"\xC0\xAF\"", "\"\xED\xA0\x80\"",
        "\"\xF4\x90\x80\x80\"", "\"\xE0\x9F\xBF\"", "\"\xC3\""}},
      {R"({"type":"string","minLength":1})", 0, {R"("x")", "\"" + std::string(3000, 'y') + "\""}, {R"("")"}},
      {R"({"type":"string","minLength":2,"maxLength":3})", 0, {R"("ab")", R"("abc")"}, {R"("a")", R"("abcd")"}},
      {R"({"type":"array","items":{"type":"null"},"maxItems":2})", 0, {"[]", "[null]", "[null,null]"},
       {"[null,null,null]", "[,]", "[null,]"}},
      {R"({"type":"array","items":{"type":"null"},"minItems":1,"maxItems":2})", 0, {"[null]"}, {"[]"}},
      {R"({"type":"array","items":{"type":"null"},"maxItems":0})", 0, {"[]"}, {"[null]"}},
      // enum and const values are written compactly, non-ASCII only escaped.
      {R"({"enum":["\u00e9",1,null,{"b":1,"a":[true]}]})", 0, {R"("\u00e9")", "1", "null", R"({"a":[true],"b":1})"},
       {"\"\xC3\xA9\"", R"({"b":1,"a":[true]})"}},
      {R"({"const":"x\ny"})", 0, {R"("x\ny")"}, {"\"x\ny\""}},
      {R"({"anyOf":[{"type":"integer"},{"type":"string","maxLength":1}]})", 0, {"5", R"("5")"}, {"5.5", "null"}},
  };
  auto vocab = byte_vocabulary();
  for (const LanguageCase& lc : cases) {
    auto c = test::compile(lc.schema, lc.decimals, vocab);
    for (const std::string& doc : lc.accepted) EXPECT_TRUE(reads(*c, doc)) << lc.schema << " " << doc;
    for (const std::string& doc : lc.refused) EXPECT_FALSE(reads(*c, doc)) << lc.schema << " " << doc;
  }
}

// A chain of `levels` nested arrays around a null: the innermost schema lies
// `levels` below the top.
std::string nested(int levels) {
  std::string s = R"({"type":"null"})";
  for (int i = 0; i < levels; ++i) s = R"({"type":"array","maxItems":1,"items":)" + s + "}";
  return s;
}

std::string list(int count, const std::string& entry) {
  std::string s;
  for (int i = 0; i < count; ++i) s += (i ? "," : "") + entry;
  return s;
}

std::string object_of(int members, int required) {
  std::string props, names;
  for (int i = 0; i < members; ++i) props += (i ? ",\"p" : "\"p") + std::to_string(i) + R"(":{"type":"null"})";
  for (int i = 0; i < required; ++i) names += (i ? ",\"p" : "\"p") + std::to_string(i) + "\"";
  return R"({"type":"object","properties":{)" + props + R"(},"required":[)" + names +
         R"(],"additionalProperties":false})";
}

TEST(ConstraintLanguage, RefusesWithItsText) {
  const std::string obj = R"({"type":"object","properties":{"a":{"type":"null"}})";
  const std::string padded = R"({"type":"null","title":")";
  const struct {
    std::string schema;
    std::string message;
  } cases[] = {
      {"{\"type\":", msg::kMalformedSchema},
      {R"({"type":"null"} // note)", msg::kMalformedSchema},
      {R"({"type":5})", msg::kMalformedSchema},
      {obj + R"(,"required":[1],"additionalProperties":false})", msg::kMalformedSchema},
      {padded + std::string(65536 - padded.size() - 2, 'x') + "\"}", ""},
      {padded + std::string(65536 - padded.size() - 1, 'x') + "\"}", msg::kSchemaTooLong},
      {"[]", msg::kSchemaDepth},
      {nested(31), ""},
      {nested(32), msg::kSchemaDepth},
      {"{}", msg::kUnsupportedType},
      {R"({"type":"date"})", msg::kUnsupportedType},
      {R"({"type":"integer","minimum":0})", msg::kUnsupportedKeyword},
      {R"({"type":"string","enum":["a"]})", msg::kUnsupportedKeyword},
      {R"({"enum":[1],"const":1})", msg::kUnsupportedKeyword},
      {R"({"type":"string","maxItems":1})", msg::kUnsupportedKeyword},
      {R"({"enum":[]})", msg::kEnumSize},
      {R"({"enum":1})", msg::kEnumSize},
      {R"({"enum":[)" + list(256, "1") + "]}", ""},
      {R"({"enum":[)" + list(257, "1") + "]}", msg::kEnumSize},
      {R"({"anyOf":[]})", msg::kAnyOfSize},
      {R"({"anyOf":[)" + list(32, R"({"type":"null"})") + "]}", ""},
      {R"({"anyOf":[)" + list(33, R"({"type":"null"})") + "]}", msg::kAnyOfSize},
      {R"({"type":"string","maxLength":2.0})", msg::kSizeBound},
      {R"({"type":"string","maxLength":1025})", msg::kSizeBound},
      {R"({"type":"string","minLength":-1})", msg::kSizeBound},
      {R"({"type":"string","minLength":"1"})", msg::kSizeBound},
      {R"({"type":"string","minLength":3,"maxLength":2})", msg::kStringBounds},
      {obj + R"(,"required":["a"]})", msg::kObjectShape},
      {obj + R"(,"required":["a"],"additionalProperties":true})", msg::kObjectShape},
      {obj + R"(,"required":["a"],"additionalProperties":0})", msg::kObjectShape},
      {R"({"type":"object","properties":[],"required":[],"additionalProperties":false})", msg::kObjectShape},
      {obj + R"(,"required":[],"additionalProperties":false})", msg::kEveryRequired},
      {obj + R"(,"required":["b"],"additionalProperties":false})", msg::kEveryRequired},
      {object_of(128, 128), ""},
      {object_of(129, 129), msg::kEveryRequired},
      {R"({"type":"object","properties":{"a":{"type":"null"},"b":{"type":"null"}},"required":["a","a"],
          "additionalProperties":false})",
       msg::kDuplicateRequired},
      {R"({"type":"array","items":{"type":"null"}})", msg::kArrayShape},
      {R"({"type":"array","maxItems":1})", msg::kArrayShape},
      {R"({"type":"array","items":{"type":"null"},"maxItems":65})", msg::kSizeBound},
      {R"({"type":"array","items":{"type":"null"},"minItems":2,"maxItems":1})", msg::kArrayBounds},
      {R"({"type":"array","items":{"type":"string","maxLength":1024},"maxItems":64})", msg::kTooManyStates},
      // One-byte enum values under nested arrays: few states, very many transitions.
      {R"({"type":"array","maxItems":64,"items":{"type":"array","maxItems":64,"items":{"anyOf":[)" +
           list(32, R"({"enum":[)" + list(256, "1") + "]}") + "]}}}",
       msg::kTooManyTransitions},
  };
  for (const auto& tc : cases) EXPECT_EQ(refusal(tc.schema), tc.message) << tc.schema.substr(0, 200);
}

// Runs `body` on a thread with a 256 KiB stack, as applications' secondary
// threads may have.
void on_small_stack(void (*body)(void*), void* arg) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  struct Call {
    void (*body)(void*);
    void* arg;
  } call{body, arg};
  ASSERT_EQ(pthread_create(&thread, &attr, [](void* p) -> void* {
    auto* c = static_cast<Call*>(p);
    c->body(c->arg);
    return nullptr;
  }, &call), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(ConstraintLanguage, DeeplyNestedValuesOnASmallStack) {
  // A value 16000 arrays deep is a 32000-byte literal: it fits in the state
  // limit; 30000 deep does not.
  std::string results[2];
  on_small_stack([](void* p) {
    auto* out = static_cast<std::string*>(p);
    const int depths[] = {16000, 30000};
    for (int i = 0; i < 2; ++i)
      out[i] = refusal(R"({"enum":[)" + std::string(depths[i], '[') + std::string(depths[i], ']') + "]}", 40000);
  }, results);
  EXPECT_EQ(results[0], "");
  EXPECT_EQ(results[1], msg::kTooManyStates);
}

TEST(ConstraintLanguage, RefusesWhatTheBudgetCannotFinish) {
  // "null" takes four single-byte tokens; without one for "l" it cannot be
  // finished at all.
  EXPECT_EQ(refusal(R"({"type":"null"})", 3), msg::kOutputCap);
  EXPECT_EQ(refusal(R"({"type":"null"})", 4), "");
  auto vocab = byte_vocabulary();
  vocab.tokens['l'] = "ll";
  EXPECT_EQ(refusal(R"({"type":"null"})", 8192, vocab), msg::kOutputCap);
}

}  // namespace
}  // namespace vorn
