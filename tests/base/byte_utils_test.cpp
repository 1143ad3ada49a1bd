#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/byte_utils.h"

namespace vorn {
namespace {

Slice S(std::string_view s) { return slice_of(s); }

// Takes ownership and gives back the text.
std::string text(ByteString b) {
  std::string s(bytes_as_slice(b).view());
  bytes_free(&b);
  return s;
}

std::vector<std::string> split(std::string_view s, std::string_view sep) {
  Item16Vec parts = bytes_split(S(s), S(sep));
  std::vector<std::string> out;
  for (uint64_t i = 0; i < parts.len; ++i) out.emplace_back(item16_slice(parts.ptr[i]).view());
  item16vec_free(&parts);
  return out;
}

TEST(ByteUtils, SplitAndJoin) {
  using V = std::vector<std::string>;
  EXPECT_EQ(split("a,b,c", ","), (V{"a", "b", "c"}));
  EXPECT_EQ(split(",x,", ","), (V{"", "x", ""}));
  EXPECT_EQ(split("abc", ","), (V{"abc"}));
  EXPECT_EQ(split("", ","), (V{""}));
  EXPECT_EQ(split("abc", ""), (V{"abc"}));
  EXPECT_EQ(split("a::b:::c", "::"), (V{"a", "b", ":c"}));
  Item16Vec parts = bytes_split(S("foo bar baz"), S(" "));
  EXPECT_EQ(text(bytes_join(parts, S(", "))), "foo, bar, baz");
  item16vec_free(&parts);
  Item16Vec none = item16vec_new();
  EXPECT_EQ(text(bytes_join(none, S(","))), "");
}

TEST(ByteUtils, ReplaceConcatRepeat) {
  EXPECT_EQ(text(bytes_replace(S("aaaa"), S("aa"), S("b"))), "bb");
  EXPECT_EQ(text(bytes_replace(S("hello world"), S("o"), S("0"))), "hell0 w0rld");
  EXPECT_EQ(text(bytes_replace(S("abc"), S(""), S("x"))), "abc");
  EXPECT_EQ(text(bytes_replace(S("abc"), S("abc"), S(""))), "");
  EXPECT_EQ(text(bytes_concat(S("foo"), S("bar"))), "foobar");
  EXPECT_EQ(text(bytes_repeat(S("ab"), 3)), "ababab");
  EXPECT_EQ(text(bytes_repeat(S("ab"), 0)), "");
  ByteString huge = bytes_repeat(S("ab"), UINT64_MAX / 2 + 1);
  EXPECT_EQ(huge.ptr, nullptr);
  EXPECT_EQ(huge.len, 0u);
}

TEST(ByteUtils, CaseAndPadding) {
  EXPECT_EQ(text(bytes_to_lower(S("Hello-WORLD 9"))), "hello-world 9");
  EXPECT_EQ(text(bytes_to_upper(S("Hello-world \xC3\xA9"))), "HELLO-WORLD \xC3\xA9");
  EXPECT_EQ(text(bytes_capitalize(S("foo bar"))), "Foo bar");
  EXPECT_EQ(text(bytes_capitalize(S("1foo"))), "1foo");
  EXPECT_EQ(text(bytes_uncapitalize(S("FOO"))), "fOO");
  EXPECT_EQ(text(bytes_capitalize(S(""))), "");
  EXPECT_EQ(text(bytes_pad_left(S("7"), 3, S("0"))), "007");
  EXPECT_EQ(text(bytes_pad_right(S("ab"), 7, S("xy"))), "abxyxyx");
  EXPECT_EQ(text(bytes_pad_left(S("abcd"), 3, S("0"))), "abcd");
  EXPECT_EQ(text(bytes_pad_left(S("ab"), 5, S(""))), "ab");
}

TEST(ByteUtils, FromUtf8) {
  auto ok = bytes_from_utf8(S("caf\xC3\xA9"));
  ASSERT_EQ(ok.tag, 0u);
  EXPECT_EQ(text(ok.value), "caf\xC3\xA9");
  EXPECT_EQ(bytes_from_utf8(S("\xC0\x80")).tag, 1u);
  EXPECT_EQ(bytes_from_utf8(S("\xED\xA0\x80")).tag, 1u);
}

TEST(ByteString, EditsInPlaceWithStatusWords) {
  ByteString b = bytes_from_slice("hello", 5);
  EXPECT_EQ(bytes_insert(&b, "XY", 2, 6), 2u);
  EXPECT_EQ(bytes_insert(&b, "XY", 2, 5), 0u);
  EXPECT_EQ(bytes_insert(&b, ", ", 2, 0), 0u);
  EXPECT_EQ(bytes_as_slice(b).view(), ", helloXY");
  EXPECT_EQ(bytes_remove_range(&b, 3, 2), 2u);
  EXPECT_EQ(bytes_remove_range(&b, 0, 10), 2u);
  EXPECT_EQ(bytes_remove_range(&b, 0, 2), 0u);
  EXPECT_EQ(bytes_as_slice(b).view(), "helloXY");
  EXPECT_EQ(bytes_push(&b, '!'), 0u);
  EXPECT_EQ(bytes_as_slice(b).view(), "helloXY!");
  bytes_truncate(&b, 5);
  EXPECT_EQ(bytes_len(b), 5u);
  bytes_truncate(&b, 50);
  EXPECT_EQ(bytes_len(b), 5u);
  ByteString c = bytes_clone(b);
  EXPECT_EQ(bytes_capacity(c), 5u);
  EXPECT_EQ(bytes_as_slice(c).view(), "hello");
  EXPECT_EQ(bytes_reserve_exact(&c, 11), 0u);
  EXPECT_EQ(bytes_capacity(c), 11u);
  EXPECT_EQ(bytes_reserve_exact(&c, 3), 0u);
  EXPECT_EQ(bytes_capacity(c), 11u);
  bytes_clear(&b);
  EXPECT_EQ(bytes_len(b), 0u);
  bytes_free(&b);
  bytes_free(&c);
}

}  // namespace
}  // namespace vorn
