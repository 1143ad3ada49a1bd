#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/vectors.h"

namespace vorn {
namespace {

std::vector<uint32_t> items(const U32Vec& v) {
  auto s = u32vec_as_slice(&v);
  return {s.begin(), s.end()};
}

TEST(U32Vec, GrowthFollowsTheByteStringRule) {
  U32Vec v = u32vec_new();
  std::vector<uint64_t> caps;
  for (uint32_t i = 0; i < 9; ++i) {
    ASSERT_EQ(u32vec_push(&v, i), kStatusOk);
    caps.push_back(v.cap);
  }
  EXPECT_EQ(caps, (std::vector<uint64_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
  const uint32_t more[5] = {9, 10, 11, 12, 13};
  ASSERT_EQ(u32vec_append(&v, more, 5), kStatusOk);
  EXPECT_EQ(v.len, 14u);
  EXPECT_EQ(v.cap, 16u);
  EXPECT_EQ(u32vec_append(&v, nullptr, 0), kStatusOk);
  ASSERT_EQ(u32vec_reserve(&v, 3), kStatusOk);  // needs 17: doubles to 32
  EXPECT_EQ(v.cap, 32u);
  ASSERT_EQ(u32vec_reserve_exact(&v, 40), kStatusOk);
  EXPECT_EQ(v.cap, 40u);
  ASSERT_EQ(u32vec_shrink_to_fit(&v), kStatusOk);
  EXPECT_EQ(v.cap, 14u);
  for (uint32_t i = 0; i < 14; ++i) EXPECT_EQ(u32vec_get(&v, i).value, i);
  u32vec_clear(&v);
  EXPECT_TRUE(u32vec_is_empty(&v));
  ASSERT_EQ(u32vec_shrink_to_fit(&v), kStatusOk);
  EXPECT_EQ(v.ptr, nullptr);
  EXPECT_EQ(v.cap, 0u);
  u32vec_free(&v);
}

TEST(U32Vec, OverflowingSizesFailAndChangeNothing) {
  U32Vec v = u32vec_with_capacity(2);
  ASSERT_EQ(v.cap, 2u);
  u32vec_push(&v, 7);
  uint32_t* before = v.ptr;
  EXPECT_EQ(u32vec_reserve(&v, UINT64_MAX), kStatusOverflow);
  EXPECT_EQ(u32vec_reserve_exact(&v, uint64_t{1} << 62), kStatusOverflow);
  EXPECT_EQ(v.ptr, before);
  EXPECT_EQ(v.len, 1u);
  EXPECT_EQ(v.cap, 2u);
  U32Vec huge = u32vec_with_capacity(uint64_t{1} << 62);
  EXPECT_EQ(huge.ptr, nullptr);
  EXPECT_EQ(huge.cap, 0u);
  EXPECT_EQ(u32vec_with_capacity(0).cap, 0u);
  u32vec_free(&v);

  EXPECT_EQ(vec_size_u32(0).value, 0u);
  EXPECT_FALSE(vec_size_u32((uint64_t{1} << 62) - 1).failed);
  EXPECT_TRUE(vec_size_u32(uint64_t{1} << 62).failed);
  EXPECT_EQ(vec_size_24(3).value, 72u);
  EXPECT_FALSE(vec_size_24(0x0AAAAAAAAAAAAAAAull).failed);
  EXPECT_TRUE(vec_size_24(0x0AAAAAAAAAAAAAABull).failed);
  EXPECT_TRUE(checked_add(UINT64_MAX, 1).failed);
  EXPECT_EQ(checked_add(UINT64_MAX - 1, 1).value, UINT64_MAX);
  EXPECT_EQ(size_max, UINT64_MAX);
}

TEST(U32Vec, PositionsAndIndexesOutOfRange) {
  U32Vec v = u32vec_new();
  uint32_t out = 99;
  // Empty vector: pop, remove and swap_remove report 1.
  EXPECT_EQ(u32vec_pop(&v, &out), 1u);
  EXPECT_EQ(u32vec_remove(&v, 0), 1u);
  EXPECT_EQ(u32vec_swap_remove(&v, 0), 1u);
  EXPECT_TRUE(u32vec_get(&v, 0).failed);
  EXPECT_TRUE(u32vec_at(&v, 0).failed);
  EXPECT_EQ(u32vec_set(&v, 1, 0), kStatusOutOfRange);

  ASSERT_EQ(u32vec_insert(&v, 10, 0), kStatusOk);  // position len appends
  ASSERT_EQ(u32vec_insert(&v, 30, 1), kStatusOk);
  ASSERT_EQ(u32vec_insert(&v, 20, 1), kStatusOk);
  EXPECT_EQ(u32vec_insert(&v, 40, 4), kStatusOutOfRange);  // len + 1
  EXPECT_EQ(items(v), (std::vector<uint32_t>{10, 20, 30}));
  EXPECT_EQ(u32vec_set(&v, 5, 3), kStatusOutOfRange);
  EXPECT_EQ(u32vec_set(&v, 5, 2), kStatusOk);
  EXPECT_EQ(u32vec_remove(&v, 3), 1u);
  EXPECT_EQ(u32vec_swap_remove(&v, 3), 1u);
  EXPECT_EQ(items(v), (std::vector<uint32_t>{10, 20, 5}));

  ASSERT_EQ(u32vec_push(&v, 7), kStatusOk);
  ASSERT_EQ(u32vec_swap_remove(&v, 0, &out), kStatusOk);
  EXPECT_EQ(out, 10u);
  EXPECT_EQ(items(v), (std::vector<uint32_t>{7, 20, 5}));
  ASSERT_EQ(u32vec_remove(&v, 0, &out), kStatusOk);
  EXPECT_EQ(out, 7u);
  EXPECT_EQ(items(v), (std::vector<uint32_t>{20, 5}));
  *u32vec_at(&v, 1).ptr = 6;
  ASSERT_EQ(u32vec_pop(&v, &out), kStatusOk);
  EXPECT_EQ(out, 6u);
  u32vec_truncate(&v, 5);
  EXPECT_EQ(v.len, 1u);
  u32vec_truncate(&v, 0);
  EXPECT_EQ(v.len, 0u);
  u32vec_free(&v);
}

TEST(U32Vec, ForEachFoldAndIterator) {
  U32Vec v = u32vec_new();
  for (uint32_t x : {3u, 1u, 4u, 1u, 5u}) u32vec_push(&v, x);
  EXPECT_EQ(u32vec_fold(&v, 100, [](uint64_t acc, uint32_t x) { return acc * 10 + x; }), 10031415u);
  std::vector<uint32_t> seen;
  u32vec_for_each(&v, [](void* ctx, uint32_t x) { static_cast<std::vector<uint32_t>*>(ctx)->push_back(x); },
                  &seen);
  EXPECT_EQ(seen, items(v));

  U32VecIter* it = u32vec_iter(&v);
  ASSERT_NE(it, nullptr);
  seen.clear();
  while (it->next(it)) seen.push_back(it->current);
  EXPECT_EQ(seen, items(v));
  EXPECT_FALSE(it->next(it));  // stays at the end
  it->release(it);
  u32vec_free(&v);
}

char* owned(const char* text) {
  char* p = static_cast<char*>(std::malloc(std::strlen(text) + 1));
  std::strcpy(p, text);
  return p;
}

TEST(Item24Vec, OwnsItemsAndMovesThemOut) {
  Item24Vec v = item24vec_new();
  ASSERT_EQ(item24vec_push(&v, Item24{owned("a"), 1, 10}), kStatusOk);
  ASSERT_EQ(item24vec_push(&v, Item24{owned("bb"), 2, 20}), kStatusOk);
  ASSERT_EQ(item24vec_push(&v, Item24{owned("ccc"), 3, 30}), kStatusOk);
  EXPECT_EQ(item24vec_fold(&v, 0, [](uint64_t acc, const Item24& it) { return acc + it.word2; }), 60u);
  EXPECT_TRUE(item24vec_at(&v, 3).failed);
  EXPECT_EQ(item24vec_at(&v, 2).ptr->word1, 3u);

  auto bad = item24vec_remove(&v, 3);
  EXPECT_EQ(bad.tag, 1u);
  EXPECT_EQ(bad.error, kStatusOutOfRange);
  auto removed = item24vec_remove(&v, 1);
  ASSERT_EQ(removed.tag, 0u);
  EXPECT_STREQ(static_cast<char*>(removed.value.owned), "bb");
  std::free(removed.value.owned);
  EXPECT_EQ(v.len, 2u);

  Item24VecIter* it = item24vec_iter(&v);
  ASSERT_NE(it, nullptr);
  std::vector<uint64_t> words;
  while (it->next(it)) words.push_back(it->current.word1);
  EXPECT_EQ(words, (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(it->current.owned, nullptr);
  it->release(it);

  EXPECT_EQ(item24vec_reserve_exact(&v, 0x0AAAAAAAAAAAAAABull), kStatusOverflow);
  ASSERT_EQ(item24vec_reserve_exact(&v, 10), kStatusOk);
  EXPECT_EQ(v.cap, 10u);
  item24vec_free(&v);  // frees "a" and "ccc" (checked by the sanitizer build)
  EXPECT_EQ(v.ptr, nullptr);
}

TEST(Item16Vec, PairsAndSlices) {
  Item16Vec v = item16vec_new();
  EXPECT_TRUE(item16vec_get(&v, 0).failed);
  ASSERT_EQ(item16vec_push(&v, 1, 2), kStatusOk);
  ASSERT_EQ(item16vec_push_slice(&v, slice_of("xyz")), kStatusOk);
  EXPECT_EQ(item16vec_get(&v, 0).value, 1u);
  EXPECT_TRUE(item16vec_at(&v, 2).failed);
  EXPECT_EQ(item16_slice(*item16vec_at(&v, 1).ptr).view(), "xyz");
  EXPECT_EQ(item16vec_reserve(&v, uint64_t{1} << 60), kStatusOverflow);
  EXPECT_EQ(v.len, 2u);
  item16vec_free(&v);
}

}  // namespace
}  // namespace vorn
