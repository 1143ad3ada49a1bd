#include <gtest/gtest.h>

#include <cstring>

#include "base/bytes.h"
#include "base/files.h"

namespace vorn {
namespace {

TEST(ByteString, GrowthRuleFromEmptyAndPartial) {
  ByteString s = bytes_new();
  EXPECT_EQ(bytes_append(&s, "", 0), 0u);
  EXPECT_EQ(s.ptr, nullptr);
  EXPECT_EQ(s.cap, 0u);
  EXPECT_EQ(bytes_append(&s, "hello", 5), 0u);
  EXPECT_EQ(s.cap, 8u);
  bytes_free(&s);
  EXPECT_EQ(bytes_append(&s, "x", 1), 0u);
  EXPECT_EQ(s.cap, 1u);
  bytes_free(&s);
  s = bytes_with_capacity(4);
  ASSERT_EQ(bytes_append(&s, "abc", 3), 0u);
  ASSERT_EQ(bytes_append(&s, "def", 3), 0u);
  EXPECT_EQ(s.cap, 8u);
  EXPECT_EQ(bytes_as_slice(s).view(), "abcdef");
  bytes_free(&s);
}

TEST(ByteString, OverflowingReserveLeavesStringUnchanged) {
  ByteString s = bytes_from_slice("abc", 3);
  uint8_t* before = s.ptr;
  EXPECT_EQ(bytes_reserve(&s, UINT64_MAX - 1), 1u);
  EXPECT_EQ(s.ptr, before);
  EXPECT_EQ(s.len, 3u);
  EXPECT_EQ(s.cap, 3u);
  bytes_free(&s);
}

TEST(ByteString, GrowthSaturatesNearTwoToThe63) {
  const uint64_t big = uint64_t{1} << 63;
  EXPECT_EQ(grow_capacity(big, big + 5), big + 5);
  EXPECT_EQ(grow_capacity(3, 4), 6u);
  EXPECT_EQ(grow_capacity(0, 0), 0u);
}

TEST(Slice, EmptySlicesShareOneConstantAndCStringRefusesNul) {
  ByteString s = bytes_new();
  Slice a = bytes_as_slice(s);
  Slice b = empty_slice();
  EXPECT_EQ(a.ptr, b.ptr);
  EXPECT_NE(a.ptr, nullptr);
  CString c = slice_to_cstr(slice_of("a\0b", 3));
  EXPECT_EQ(c.tag, 1u);
  c = slice_to_cstr(empty_slice());
  ASSERT_EQ(c.tag, 0u);
  EXPECT_STREQ(cstr_ptr(c), "");
  cstr_free(&c);
}

TEST(XorFold, FoldsWholeWordsOnly) {
  uint8_t bytes[64];
  for (int i = 0; i < 64; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 1);
  for (uint64_t len : {0ull, 3ull, 4ull, 7ull, 33ull, 64ull}) {
    uint32_t want = 0;
    for (uint64_t w = 0; w + 4 <= len; w += 4)
      want ^= uint32_t(bytes[w]) | uint32_t(bytes[w + 1]) << 8 | uint32_t(bytes[w + 2]) << 16 |
              uint32_t(bytes[w + 3]) << 24;
    EXPECT_EQ(xor_fold_u32(bytes, len), want) << len;
  }
}

}  // namespace
}  // namespace vorn
