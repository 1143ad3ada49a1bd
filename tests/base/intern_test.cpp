#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/intern.h"

namespace vorn {
namespace {

TEST(Fnv1a64, KnownValues) {
  EXPECT_EQ(fnv1a64(empty_slice()), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a64(slice_of(std::string_view("a"))), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1a64(slice_of(std::string_view("foobar"))), 0x85944171f73967e8ull);
}

TEST(Intern, SameBytesSamePointer) {
  std::string a = "interned text";
  std::string b = a;
  Slice x = intern(slice_of(a));
  Slice y = intern(slice_of(b));
  EXPECT_EQ(x.ptr, y.ptr);
  EXPECT_EQ(x.view(), "interned text");
  EXPECT_NE(x.ptr, reinterpret_cast<const uint8_t*>(a.data()));  // a copy
  Slice z = intern(slice_of(std::string_view("interned texT")));
  EXPECT_NE(z.ptr, x.ptr);
  // Bytes with NULs inside and a prefix of another entry stay distinct.
  Slice nul = intern(slice_of("a\0b", 3));
  Slice prefix = intern(slice_of("a", 1));
  EXPECT_EQ(nul.len, 3u);
  EXPECT_NE(nul.ptr, prefix.ptr);
  EXPECT_EQ(intern(empty_slice()).ptr, empty_bytes());
}

// Threads interning overlapping sets of texts at once must agree on one
// copy of each.
TEST(Intern, ConcurrentCallersAgree) {
  constexpr int kThreads = 4;
  constexpr int kTexts = 2000;
  std::vector<std::vector<const uint8_t*>> got(kThreads, std::vector<const uint8_t*>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &got] {
      for (int i = 0; i < kTexts; ++i) {
        int k = (t % 2 == 0) ? i : kTexts - 1 - i;  // meet in the middle
        std::string text = "concurrent-" + std::to_string(k);
        Slice s = intern(slice_of(text));
        got[t][k] = s.ptr;
      }
    });
  for (auto& th : threads) th.join();
  for (int i = 0; i < kTexts; ++i) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(got[t][i], got[0][i]) << i;
    std::string want = "concurrent-" + std::to_string(i);
    ASSERT_EQ(std::string_view(reinterpret_cast<const char*>(got[0][i]), want.size()), want);
  }
}

}  // namespace
}  // namespace vorn
