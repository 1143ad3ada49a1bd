#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/parallel.h"

namespace vorn {
namespace {

TEST(ParallelFor, EveryIterationRunsExactlyOnce) {
  for (size_t n : {0u, 1u, 2u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(n);
    parallel_for(n, [&](size_t i) { hits[i].fetch_add(1); });
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(hits[i].load(), 1) << n << " " << i;
  }
}

TEST(ParallelFor, NestedAndConcurrentCallersFinish) {
  std::atomic<long> total{0};
  auto outer = [&] {
    parallel_for(16, [&](size_t) {
      parallel_for(16, [&](size_t j) { total.fetch_add(static_cast<long>(j)); });
    });
  };
  std::thread a(outer), b(outer);
  outer();
  a.join();
  b.join();
  EXPECT_EQ(total.load(), 3L * 16 * 120);
}

}  // namespace
}  // namespace vorn
