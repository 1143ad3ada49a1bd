// The text stream: stop strings split across tokens and overlapping,
// characters split across tokens, ill-formed bytes, and the callback's stop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "generation/text_stream.h"

namespace vorn {
namespace {

struct Collector {
  std::vector<std::string> pieces;
  std::vector<uint64_t> values;
  int32_t answer = 0;  // what the callback returns
};

int32_t collect(void* context, const uint8_t* bytes, uint64_t length, uint64_t value) {
  auto* c = static_cast<Collector*>(context);
  c->pieces.emplace_back(reinterpret_cast<const char*>(bytes), length);
  c->values.push_back(value);
  return c->answer;
}

struct Case {
  const char* name;
  std::vector<const char*> stops;
  std::vector<std::string> appends;
  std::vector<uint32_t> states;       // after each append
  std::vector<std::string> pieces;    // everything the callback saw, finish included
  uint32_t finish_state;
};

const std::string kFffd = "\xEF\xBF\xBD";

TEST(TextStream, Cases) {
  const Case cases[] = {
      {"stop held then completed", {"END"}, {"abcEN", "D more"}, {0, 1}, {"abc"}, 1},
      {"earliest stop wins", {"xy", "b"}, {"abxy"}, {1}, {"a"}, 1},
      {"euro sign a byte at a time", {}, {"\xE2", "\x82", "\xAC"}, {0, 0, 0}, {"\xE2\x82\xAC"}, 0},
      {"unfinished character at the end", {}, {"ok\xE2\x82"}, {0}, {"ok", kFffd}, 0},
      {"lead byte then ASCII", {}, {"\xE2", "A"}, {0, 0}, {kFffd + "A"}, 0},
      {"emoji split in two", {}, {"\xF0\x9F", "\x98\x80!"}, {0, 0}, {"\xF0\x9F\x98\x80!"}, 0},
      {"ill-formed bytes", {}, {"a\xFF" "b\xC0\xAF\xED\xA0\x80"}, {0}, {"a" + kFffd + "b" + kFffd + kFffd + kFffd + kFffd + kFffd}, 0},
      {"stop at the very start", {"Hi"}, {"Hi there"}, {1}, {}, 1},
      {"stop split over the last tokens", {"END"}, {"abc", "E", "N", "D"}, {0, 0, 0, 1}, {"abc"}, 1},
      {"overlapping stops across three tokens", {"abcd", "bcx"}, {"zab", "c", "x"}, {0, 0, 1}, {"z", "a"}, 1},
      {"stop with a split character", {"\xE2\x86\x92" "end"}, {"go\xE2\x86", "\x92" "en", "d!"}, {0, 0, 1}, {"go"}, 1},
      {"held prefix that never completes", {"END"}, {"xEN"}, {0}, {"x", "EN"}, 0},
      {"stop inside one token after text", {"<stop>"}, {"one two<stop>three"}, {1}, {"one two"}, 1},
      {"character cut by a stop", {"X"}, {"a\xE2\x82X"}, {1}, {"a" + kFffd}, 1},
      {"stop that is the whole output at the end", {"!"}, {"done", "!"}, {0, 1}, {"done"}, 1},
  };
  for (const Case& c : cases) {
    Collector got;
    TextStream* s = text_stream_create(c.stops.data(), c.stops.size(), collect, &got);
    ASSERT_NE(s, nullptr) << c.name;
    for (size_t i = 0; i < c.appends.size(); ++i) {
      const std::string& a = c.appends[i];
      EXPECT_EQ(text_stream_append(s, reinterpret_cast<const uint8_t*>(a.data()), a.size(), 100 + i), c.states[i])
          << c.name << " append " << i;
    }
    EXPECT_EQ(text_stream_finish(s), c.finish_state) << c.name;
    EXPECT_EQ(got.pieces, c.pieces) << c.name;
    std::string all;
    for (const auto& p : c.pieces) all += p;
    EXPECT_EQ(std::string(text_stream_text(s), text_stream_length(s)), all) << c.name;
    text_stream_destroy(s);
  }
}

TEST(TextStream, CallbackStopsTheStream) {
  Collector got;
  got.answer = 1;
  TextStream* s = text_stream_create(nullptr, 0, collect, &got);
  ASSERT_NE(s, nullptr);
  auto append = [&](const std::string& a, uint64_t v) {
    return text_stream_append(s, reinterpret_cast<const uint8_t*>(a.data()), a.size(), v);
  };
  EXPECT_EQ(append("first", 7), 2u);
  EXPECT_EQ(append("second", 8), 2u);
  EXPECT_EQ(text_stream_finish(s), 2u);
  EXPECT_EQ(got.pieces, std::vector<std::string>{"first"});
  EXPECT_EQ(got.values, std::vector<uint64_t>{7});
  EXPECT_EQ(std::string(text_stream_text(s)), "first");
  text_stream_destroy(s);

  // A stop found while the callback asks to stop during the release before it.
  const char* stops[] = {"END"};
  Collector both;
  both.answer = 1;
  s = text_stream_create(stops, 1, collect, &both);
  EXPECT_EQ(append("abEND", 1), 2u);
  text_stream_destroy(s);
}

TEST(TextStream, ArgumentsAndNoCallback) {
  const char* empty[] = {""};
  const char* missing[] = {nullptr};
  EXPECT_EQ(text_stream_create(empty, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(text_stream_create(missing, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(text_stream_create(nullptr, 2, nullptr, nullptr), nullptr);
  EXPECT_EQ(text_stream_append(nullptr, reinterpret_cast<const uint8_t*>("a"), 1, 0), kStreamFailed);
  EXPECT_EQ(text_stream_finish(nullptr), kStreamFailed);
  EXPECT_EQ(text_stream_length(nullptr), 0u);
  EXPECT_STREQ(text_stream_text(nullptr), "");
  text_stream_destroy(nullptr);

  TextStream* s = text_stream_create(nullptr, 0, nullptr, nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(text_stream_append(s, nullptr, 3, 0), kStreamFailed);
  EXPECT_EQ(text_stream_append(s, nullptr, 0, 0), 0u);
  EXPECT_EQ(text_stream_append(s, reinterpret_cast<const uint8_t*>("h\xC3"), 2, 0), 0u);
  EXPECT_EQ(text_stream_length(s), 1u);  // the whole character waits
  EXPECT_EQ(text_stream_append(s, reinterpret_cast<const uint8_t*>("\xA9"), 1, 0), 0u);
  EXPECT_EQ(std::string(text_stream_text(s)), "h\xC3\xA9");
  text_stream_destroy(s);
}

}  // namespace
}  // namespace vorn
