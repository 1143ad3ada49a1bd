// The worker team: many dependent loops back to back, members busy
// elsewhere or asleep, nested and concurrent teams, and idle members that
// sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/parallel.h"
#include "platform/worker_team.h"
#include "reference/process_status.h"

namespace vorn {
namespace {

// Loop k adds loop k-1's neighbouring value into every element: each loop
// reads what the whole previous one wrote, so a loop that started before
// the last ended, or an iteration run twice or never, changes the result.
std::vector<uint64_t> dependent_loops(size_t loops, size_t width) {
  std::vector<uint64_t> a(width, 1), b(width);
  for (size_t k = 0; k < loops; ++k) {
    const size_t n = (k * 37) % width + 1;  // 1 .. width iterations
    parallel_for(n, [&](size_t i) { b[i] = a[i] + a[(i + 1) % n] + k; });
    for (size_t i = n; i < width; ++i) b[i] = a[i];
    std::swap(a, b);
  }
  return a;
}

std::vector<uint64_t> dependent_loops_serial(size_t loops, size_t width) {
  std::vector<uint64_t> a(width, 1), b(width);
  for (size_t k = 0; k < loops; ++k) {
    const size_t n = (k * 37) % width + 1;
    for (size_t i = 0; i < n; ++i) b[i] = a[i] + a[(i + 1) % n] + k;
    for (size_t i = n; i < width; ++i) b[i] = a[i];
    std::swap(a, b);
  }
  return a;
}

TEST(WorkerTeam, ThousandsOfDependentLoopsRunInOrder) {
  const auto want = dependent_loops_serial(3000, 300);
  WorkerTeam team;
  EXPECT_TRUE(team.active());
  EXPECT_EQ(dependent_loops(3000, 300), want);
  EXPECT_EQ(team.loops(), 3000u - 10);  // a loop of one iteration runs on the leader alone
}

TEST(WorkerTeam, LoopsFinishWhileWorkersAreBusyElsewhere) {
  if (parallel_thread_count() < 2) GTEST_SKIP() << "one core";
  // Another thread's loop holds every worker for a while (as a member the
  // system has taken off its core): the team's loops do not wait for them,
  // and the workers join once they are free.
  std::atomic<bool> release{false};
  std::atomic<size_t> holding{0};
  std::thread other([&] {
    parallel_for(parallel_thread_count() * 4, [&](size_t) {
      holding.fetch_add(1);
      while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
  });
  while (holding.load() < 2) std::this_thread::yield();
  const auto want = dependent_loops_serial(500, 64);
  {
    WorkerTeam team;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(dependent_loops(500, 64), want);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    release.store(true);
    EXPECT_EQ(dependent_loops(500, 64), want);
  }
  other.join();
}

TEST(WorkerTeam, EveryIterationRunsOnceAndAFailureStaysInItsLoop) {
  // Loops of up to as many iterations as threads hand each one to a seat
  // first, longer ones from one counter: both run each iteration once, and
  // an iteration that throws fails only its own loop.
  const size_t threads = parallel_thread_count();
  WorkerTeam team;
  for (const size_t n : {size_t(2), threads > 2 ? threads - 1 : 3, threads, threads + 1, 4 * threads + 3}) {
    std::vector<std::atomic<int>> runs(n);
    for (int loop = 0; loop < 500; ++loop) parallel_for(n, [&](size_t i) { runs[i].fetch_add(1); });
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 500) << n << " iterations, iteration " << i;
    EXPECT_THROW(parallel_for(n, [&](size_t i) {
                   if (i == n - 1) throw std::runtime_error("iteration");
                 }),
                 std::runtime_error)
        << n << " iterations";
    std::atomic<size_t> after{0};
    parallel_for(n, [&](size_t) { after.fetch_add(1); });
    EXPECT_EQ(after.load(), n);
  }
}

TEST(WorkerTeam, NestedTeamsAndLoopsRunOnTheirThread) {
  WorkerTeam outer;
  WorkerTeam inner;
  EXPECT_TRUE(outer.active());
  EXPECT_FALSE(inner.active());
  std::atomic<int> foreign{0};
  parallel_for(16, [&](size_t) {
    const auto self = std::this_thread::get_id();
    WorkerTeam in_loop;
    if (in_loop.active()) foreign.fetch_add(100);
    parallel_for(8, [&](size_t) {
      if (std::this_thread::get_id() != self) foreign.fetch_add(1);
    });
  });
  EXPECT_EQ(foreign.load(), 0);
  EXPECT_EQ(outer.loops(), 1u);
}

TEST(WorkerTeam, ConcurrentTeamsShareTheWorkers) {
  const auto want = dependent_loops_serial(400, 100);
  std::atomic<int> wrong{0};
  auto lead = [&] {
    WorkerTeam team;
    if (dependent_loops(400, 100) != want) wrong.fetch_add(1);
  };
  std::vector<std::thread> leaders;
  for (int i = 0; i < 3; ++i) leaders.emplace_back(lead);
  lead();
  for (auto& t : leaders) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(WorkerTeam, IdleMembersSleep) {
  // A team whose leader has gone quiet (as between two commands that take
  // long on the leader alone) keeps its members asleep, and so does the
  // pool once the team has ended.
  {
    WorkerTeam team;
    dependent_loops(200, 64);
    long before = test::thread_ticks("vorn-worker").first;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto during = test::thread_ticks("vorn-worker").first;
    EXPECT_LE(during - before, 10) << "ticks used by the members of an idle team";
    dependent_loops(200, 64);
  }
  const auto [before, workers] = test::thread_ticks("vorn-worker");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(test::thread_ticks("vorn-worker").first - before, 10) << "ticks used by idle workers";
  EXPECT_EQ(size_t(workers), parallel_thread_count() - 1);
}

}  // namespace
}  // namespace vorn
