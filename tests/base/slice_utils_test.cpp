#include <gtest/gtest.h>

#include <string>

#include "base/error_record.h"
#include "base/slice_utils.h"
#include "base/utf8.h"
#include "tests/reference/utf8_reference.h"

namespace vorn {
namespace {

Slice S(std::string_view s) { return slice_of(s); }

TEST(SliceUtils, FindCountAndRfind) {
  EXPECT_EQ(slice_find(S("hello world"), S("o w")).value, 4u);
  EXPECT_FALSE(slice_find(S("hello world"), S("o w")).failed);
  EXPECT_TRUE(slice_find(S("hello world"), S("xyz")).failed);
  EXPECT_EQ(slice_find(S("abc"), S("")).value, 0u);
  EXPECT_FALSE(slice_find(S(""), S("")).failed);
  EXPECT_TRUE(slice_find(S("ab"), S("abc")).failed);
  EXPECT_EQ(slice_rfind(S("hello world"), S("o")).value, 7u);
  EXPECT_FALSE(slice_rfind(S("abc"), S("")).failed);
  EXPECT_EQ(slice_count(S("aaaa"), S("aa")), 2u);
  EXPECT_EQ(slice_count(S("aaa"), S("aa")), 1u);
  EXPECT_EQ(slice_count(S("abc"), S("")), 0u);
  EXPECT_TRUE(slice_contains(S("abc"), S("")));
  EXPECT_TRUE(slice_contains(S("abc"), S("bc")));
  EXPECT_FALSE(slice_contains(S("abc"), S("cb")));
}

TEST(SliceUtils, PrefixesSuffixesAndStripping) {
  EXPECT_TRUE(slice_starts_with(S("hello"), S("")));
  EXPECT_TRUE(slice_starts_with(S("hello"), S("he")));
  EXPECT_FALSE(slice_starts_with(S("he"), S("hello")));
  EXPECT_TRUE(slice_ends_with(S("hello"), S("llo")));
  EXPECT_FALSE(slice_ends_with(S("hello"), S("hel")));
  EXPECT_EQ(slice_strip_prefix(S("foobar"), S("foo")).view(), "bar");
  EXPECT_EQ(slice_strip_prefix(S("foobar"), S("bar")).view(), "foobar");
  EXPECT_EQ(slice_strip_suffix(S("foobar"), S("bar")).view(), "foo");
  Slice nothing = slice_strip_prefix(S("foo"), S("foo"));
  EXPECT_EQ(nothing.len, 0u);
  EXPECT_EQ(nothing.ptr, empty_bytes());
}

TEST(SliceUtils, CompareAndCase) {
  EXPECT_TRUE(slice_equals(S("abc"), S("abc")));
  EXPECT_FALSE(slice_equals(S("abc"), S("abd")));
  EXPECT_TRUE(slice_equals_ignore_case(S("HeLLo-1"), S("hello-1")));
  EXPECT_FALSE(slice_equals_ignore_case(S("hello"), S("hell")));
  EXPECT_FALSE(slice_equals_ignore_case(S("["), S("{")));  // not letters
  EXPECT_EQ(slice_compare(S("abc"), S("abd")), -1);
  EXPECT_EQ(slice_compare(S("abd"), S("abc")), 1);
  EXPECT_EQ(slice_compare(S("ab"), S("abc")), -1);
  EXPECT_EQ(slice_compare(S("abc"), S("ab")), 1);
  EXPECT_EQ(slice_compare(S(""), S("")), 0);
  EXPECT_EQ(slice_compare(S("\xff"), S("a")), 1);  // bytes compare unsigned
  EXPECT_EQ(ascii_lower('Q'), 'q');
  EXPECT_EQ(ascii_lower('@'), '@');
  EXPECT_EQ(ascii_lower('['), '[');
}

TEST(SliceUtils, RangesTakesAndDrops) {
  Slice s = S("abcdef");
  EXPECT_EQ(slice_range(s, 1, 4).view(), "bcd");
  EXPECT_EQ(slice_range(s, 4, 4).len, 0u);
  EXPECT_EQ(slice_range(s, 5, 2).len, 0u);
  EXPECT_EQ(slice_range(s, 4, 100).view(), "ef");
  EXPECT_EQ(slice_range(s, 100, 200).len, 0u);
  auto r = slice_range_checked(s, 2, 6);
  ASSERT_EQ(r.tag, 0u);
  EXPECT_EQ(r.value.view(), "cdef");
  EXPECT_EQ(slice_range_checked(s, 3, 2).tag, 1u);
  EXPECT_EQ(slice_range_checked(s, 0, 7).tag, 1u);
  auto empty = slice_range_checked(s, 6, 6);
  ASSERT_EQ(empty.tag, 0u);
  EXPECT_EQ(empty.value.ptr, empty_bytes());
  EXPECT_EQ(slice_at(s, 5).value, uint32_t('f'));
  EXPECT_TRUE(slice_at(s, 6).failed);
  EXPECT_EQ(slice_take(s, 2).view(), "ab");
  EXPECT_EQ(slice_take(s, 10).view(), "abcdef");
  EXPECT_EQ(slice_take_last(s, 2).view(), "ef");
  EXPECT_EQ(slice_take_last(s, 10).view(), "abcdef");
  EXPECT_EQ(slice_drop(s, 2).view(), "cdef");
  EXPECT_EQ(slice_drop(s, 6).len, 0u);
  EXPECT_EQ(slice_drop_last(s, 2).view(), "abcd");
  EXPECT_EQ(slice_drop_last(s, 9).ptr, empty_bytes());
  EXPECT_TRUE(slice_is_empty(slice_drop(s, 9)));
  EXPECT_EQ(slice_len(s), 6u);
}

TEST(SliceUtils, TrimAndAscii) {
  EXPECT_EQ(slice_trim(S(" \tx \n")).view(), "x");
  Slice blank = slice_trim(S("   "));
  EXPECT_EQ(blank.len, 0u);
  EXPECT_EQ(blank.ptr, empty_bytes());
  EXPECT_EQ(slice_trim_start(S("\r\n a b ")).view(), "a b ");
  EXPECT_EQ(slice_trim_end(S(" a b \r\n")).view(), " a b");
  EXPECT_EQ(slice_trim(S("\va\f")).view(), "\va\f");  // only tab, LF, CR, space
  EXPECT_TRUE(is_ascii_space('\r'));
  EXPECT_FALSE(is_ascii_space('\v'));
  EXPECT_TRUE(slice_is_ascii(S("plain text\x7f")));
  EXPECT_FALSE(slice_is_ascii(S("caf\xc3\xa9")));
}

struct Utf8Case {
  const char* bytes;
  size_t len;
  bool valid;
};

TEST(Utf8, StrictValidation) {
  const Utf8Case cases[] = {
      {"", 0, true},
      {"plain", 5, true},
      {"\xC3\xA9", 2, true},              // U+00E9
      {"\xE2\x82\xAC", 3, true},          // U+20AC
      {"\xF0\x9F\x98\x80", 4, true},      // U+1F600
      {"\xF4\x8F\xBF\xBF", 4, true},      // U+10FFFF
      {"\xED\x9F\xBF", 3, true},          // U+D7FF, below the surrogates
      {"\xEE\x80\x80", 3, true},          // U+E000, above them
      {"\x00", 1, true},                  // NUL is a code point
      {"\xC0\x80", 2, false},             // overlong NUL
      {"\xC1\xBF", 2, false},             // overlong
      {"\xE0\x9F\xBF", 3, false},         // overlong 3-byte
      {"\xF0\x8F\xBF\xBF", 4, false},     // overlong 4-byte
      {"\xED\xA0\x80", 3, false},         // surrogate U+D800
      {"\xED\xBF\xBF", 3, false},         // surrogate U+DFFF
      {"\xF4\x90\x80\x80", 4, false},     // U+110000
      {"\xF5\x80\x80\x80", 4, false},     // lead above F4
      {"\xFF", 1, false},
      {"\x80", 1, false},                 // stray continuation
      {"a\xC3", 2, false},                // truncated at the end
      {"\xE2\x82", 2, false},
      {"\xF0\x9F\x98", 3, false},
      {"\xE2\x28\xA1", 3, false},         // bad continuation
      {"\xC3\xA9\xC3", 3, false},
  };
  for (const auto& c : cases) {
    Slice s = slice_of(c.bytes, c.len);
    EXPECT_EQ(utf8_valid(s), c.valid) << testing::PrintToString(std::string(c.bytes, c.len));
  }
}

// Independent check: the reference decoder compared with utf8_valid over
// every 1-, 2- and 3-byte sequence built from interesting bytes.
TEST(Utf8, AgreesWithDecoderOnShortSequences) {
  std::vector<unsigned char> bytes = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                      0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0,
                                      0xF1, 0xF4, 0xF5, 0xFF};
  int checked = 0;
  for (unsigned char a : bytes)
    for (unsigned char b : bytes)
      for (unsigned char c : bytes)
        for (int len = 1; len <= 3; ++len) {
          std::string s;
          s += char(a);
          if (len > 1) s += char(b);
          if (len > 2) s += char(c);
          ASSERT_EQ(utf8_valid(slice_of(s)), ref::utf8_valid(s)) << testing::PrintToString(s);
          ++checked;
        }
  EXPECT_GT(checked, 10000);
}

TEST(Utf8, CountsCodePoints) {
  EXPECT_EQ(utf8_count(S("")), 0u);
  EXPECT_EQ(utf8_count(S("abc")), 3u);
  EXPECT_EQ(utf8_count(S("caf\xC3\xA9 \xF0\x9F\x98\x80")), 6u);
}

// A cut keeps at most max bytes and never ends inside a whole character;
// ill-formed bytes are cut where they fall. Error messages are cut so too.
TEST(Utf8, CutsBeforeACharacterThatWouldCross) {
  struct Case {
    std::string_view text;
    uint64_t max, want;
  };
  const Case cases[] = {
      {"ab", 5, 2},
      {"a\xC3\xA9", 2, 1},
      {"a\xC3\xA9", 3, 3},
      {"a\xE2\x82\xAC", 3, 1},
      {"\xF0\x9F\x98\x80x", 3, 0},
      {"\xF0\x9F\x98\x80x", 4, 4},
      {"ab\x80\x80\x80\x80", 4, 4},
      {"a\xC3z", 2, 2},
  };
  for (const Case& c : cases) {
    const Slice t = S(c.text);
    EXPECT_EQ(utf8_cut(t.ptr, t.len, c.max), c.want) << testing::PrintToString(std::string(c.text)) << " " << c.max;
  }
  ErrorRecord record{};
  error_set(&record, 1, std::string(kErrorMessageMax - 1, 'x') + "\xC3\xA9");
  EXPECT_EQ(record.length, kErrorMessageMax - 1);
  EXPECT_EQ(record.message[record.length], 0);
}

}  // namespace
}  // namespace vorn
