#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/atomics.h"

namespace vorn {
namespace {

// Every operation must give the same value for each ordering argument,
// including values outside 0..3 (treated as the strongest).
constexpr int kOrders[] = {0, 1, 2, 3, 7};

TEST(Atomics, U32OperationsForEveryOrdering) {
  for (int o : kOrders) {
    SCOPED_TRACE(o);
    uint32_t w = 5;
    EXPECT_EQ(atomic_load_u32(&w, o), 5u);
    atomic_store_u32(&w, 9, o);
    EXPECT_EQ(w, 9u);
    EXPECT_EQ(atomic_exchange_u32(&w, 12, o), 9u);
    EXPECT_EQ(atomic_fetch_add_u32(&w, 3, o), 12u);
    EXPECT_EQ(atomic_fetch_sub_u32(&w, 20, o), 15u);
    EXPECT_EQ(w, uint32_t(15 - 20));  // wraps
    w = 0b1100;
    EXPECT_EQ(atomic_fetch_and_u32(&w, 0b1010, o), 0b1100u);
    EXPECT_EQ(atomic_fetch_or_u32(&w, 0b0001, o), 0b1000u);
    EXPECT_EQ(atomic_fetch_xor_u32(&w, 0b1111, o), 0b1001u);
    EXPECT_EQ(w, 0b0110u);
    // CAS returns the value found; it swaps only when that equals expected.
    EXPECT_EQ(atomic_cas_u32(&w, 1, 2, o), 0b0110u);
    EXPECT_EQ(w, 0b0110u);
    EXPECT_EQ(atomic_cas_u32(&w, 0b0110, 2, o), 0b0110u);
    EXPECT_EQ(w, 2u);
    atomic_fence(o);
  }
}

TEST(Atomics, U64OperationsForEveryOrdering) {
  const uint64_t big = uint64_t{1} << 40;
  for (int o : kOrders) {
    SCOPED_TRACE(o);
    uint64_t w = big;
    EXPECT_EQ(atomic_load_u64(&w, o), big);
    atomic_store_u64(&w, big + 1, o);
    EXPECT_EQ(atomic_exchange_u64(&w, big * 2, o), big + 1);
    EXPECT_EQ(atomic_fetch_add_u64(&w, big, o), big * 2);
    EXPECT_EQ(atomic_fetch_sub_u64(&w, big * 4, o), big * 3);
    EXPECT_EQ(w, uint64_t(0) - big);
    w = 0xF0F0;
    EXPECT_EQ(atomic_fetch_and_u64(&w, 0xFF00, o), 0xF0F0u);
    EXPECT_EQ(atomic_fetch_or_u64(&w, big, o), 0xF000u);
    EXPECT_EQ(atomic_fetch_xor_u64(&w, big, o), big | 0xF000u);
    EXPECT_EQ(atomic_cas_u64(&w, 1, 2, o), 0xF000u);
    EXPECT_EQ(atomic_cas_u64(&w, 0xF000, big, o), 0xF000u);
    EXPECT_EQ(w, big);
  }
}

// A busy flag taken by compare-and-swap, as sessions use it: with each
// ordering, contended increments under the flag lose nothing.
TEST(Atomics, CasSpinLockExcludesForEveryOrdering) {
  for (int o : {1, 3}) {
    uint32_t flag = 0;
    uint64_t counter = 0;
    auto worker = [&] {
      for (int i = 0; i < 20000; ++i) {
        while (atomic_cas_u32(&flag, 0, 1, o) != 0) {
        }
        ++counter;
        atomic_store_u32(&flag, 0, 3);
      }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(worker);
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000u) << o;
  }
  for (int o : kOrders) {
    uint64_t total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 10000; ++i) atomic_fetch_add_u64(&total, 1, o);
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(total, 40000u) << o;
  }
}

}  // namespace
}  // namespace vorn
