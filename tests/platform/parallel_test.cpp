#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/parallel.h"
#include "platform/worker_team.h"
#include "reference/process_status.h"

namespace vorn {
namespace {

TEST(ParallelFor, EveryIterationRunsExactlyOnce) {
  // Counts around the chunk boundaries (chunks are a few per thread).
  size_t t = parallel_thread_count();
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, size_t{1000}, t, t * 4 - 1, t * 4 + 1,
                   t * 8 + 3, size_t{4099}}) {
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

TEST(ParallelFor, ManyConcurrentDispatchersRunEachIterationOnce) {
  // Several threads dispatch back to back at once, so jobs overlap in the
  // pool, workers move from one job to the next while polling, and callers
  // return while others' helpers are still busy.
  constexpr int kThreads = 6;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  auto dispatcher = [&](int seed) {
    std::vector<std::atomic<int>> hits(257);
    for (int round = 0; round < kRounds; ++round) {
      size_t n = static_cast<size_t>((seed * 31 + round * 17) % 257);
      for (size_t i = 0; i < n; ++i) hits[i].store(0, std::memory_order_relaxed);
      parallel_for(n, [&](size_t i) {
        hits[i].fetch_add(1, std::memory_order_relaxed);
        if (i % 64 == 0) std::this_thread::yield();
      });
      // Every iteration has finished when the call returns.
      for (size_t i = 0; i < n; ++i)
        if (hits[i].load(std::memory_order_relaxed) != 1) failures.fetch_add(1);
    }
  };
  std::vector<std::thread> threads;
  for (int k = 1; k < kThreads; ++k) threads.emplace_back(dispatcher, k);
  dispatcher(0);
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ParallelFor, ReturnsOnlyAfterSlowIterationsFinish) {
  // The job lives on the caller's stack: nothing may touch it after return.
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> finished{0};
    parallel_for(8, [&](size_t i) {
      if (i % 3 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
      finished.fetch_add(1);
    });
    EXPECT_EQ(finished.load(), 8);
  }
}

TEST(ParallelFor, AWorkersExceptionReachesTheCallerOnceTheLoopHasStopped) {
  if (parallel_thread_count() < 2) GTEST_SKIP() << "one core";
  for (bool in_team : {false, true}) {
    std::optional<WorkerTeam> team;
    if (in_team) team.emplace();
    const auto caller = std::this_thread::get_id();
    std::atomic<int> running{0};
    try {
      parallel_for(64, [&](size_t i) {
        running.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        running.fetch_sub(1);
        if (std::this_thread::get_id() != caller) throw std::runtime_error("iteration " + std::to_string(i));
      });
      ADD_FAILURE() << "no exception, team " << in_team;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("iteration ", 0), 0u) << e.what();
      EXPECT_EQ(running.load(), 0) << "returned while iterations ran, team " << in_team;
    }
    // The next loop runs whole.
    std::vector<std::atomic<int>> hits(1000);
    parallel_for(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
    for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i << ", team " << in_team;
  }
}

TEST(ParallelFor, AfterSleepingWorkersWakeForWork) {
  if (parallel_thread_count() < 2) GTEST_SKIP() << "one core";
  // Long after the last dispatch every worker is asleep; a new dispatch
  // must still reach a second thread.
  parallel_for(64, [](size_t) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::atomic<int> arrived{0};
  parallel_for(2, [&](size_t) {
    arrived.fetch_add(1);
    for (int spin = 0; spin < 2000000 && arrived.load() < 2; ++spin) std::this_thread::yield();
  });
  EXPECT_EQ(arrived.load(), 2);
}

TEST(ParallelFor, SpreadsOverThreadsAndNestsSerially) {
  if (parallel_thread_count() < 2) GTEST_SKIP() << "one core";
  // Iterations that wait for each other can only finish if at least two run
  // at the same time.
  std::atomic<int> arrived{0};
  parallel_for(2, [&](size_t) {
    arrived.fetch_add(1);
    for (int spin = 0; spin < 2000000 && arrived.load() < 2; ++spin) std::this_thread::yield();
  });
  EXPECT_EQ(arrived.load(), 2);
  // A loop nested in an iteration runs on that iteration's thread.
  std::atomic<int> foreign{0};
  parallel_for(8, [&](size_t) {
    std::thread::id outer = std::this_thread::get_id();
    parallel_for(8, [&](size_t) {
      if (std::this_thread::get_id() != outer) foreign.fetch_add(1);
    });
  });
  EXPECT_EQ(foreign.load(), 0);
}

TEST(ParallelFor, LoopsCutAlikeRunEachPieceOnTheSameThread) {
  const size_t t = parallel_thread_count();
  if (t < 2 || t > 64) GTEST_SKIP() << "one core, or more threads than lanes";
  PoolHold hold;
  // Iterations that wait for each other make every thread take one piece,
  // its own first: loop after loop, piece i then runs on the same thread.
  auto threads_of_pieces = [&] {
    std::vector<std::thread::id> ran(t);
    std::atomic<size_t> arrived{0};
    parallel_for(t, [&](size_t i) {
      ran[i] = std::this_thread::get_id();
      arrived.fetch_add(1);
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (arrived.load() < t && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    });
    return ran;
  };
  const std::vector<std::thread::id> first = threads_of_pieces();
  for (int loop = 0; loop < 3; ++loop) EXPECT_EQ(threads_of_pieces(), first) << loop;
  EXPECT_EQ(first[0], std::this_thread::get_id());
}

std::pair<long, int> worker_ticks() { return test::thread_ticks("vorn-worker"); }

TEST(ParallelFor, IdleWorkersSleep) {
  parallel_for(64, [](size_t) {});
  auto [before, workers] = worker_ticks();
  EXPECT_EQ(static_cast<size_t>(workers), parallel_thread_count() - 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto [after, again] = worker_ticks();
  EXPECT_EQ(again, workers);  // no thread per call, none lost
  // One spinning worker would burn about 30 ticks (at 100 Hz) in this time;
  // the margin absorbs tick accounting of workers still settling on a busy
  // machine.
  EXPECT_LE(after - before, 10) << "ticks used by idle workers";
  parallel_for(1000, [](size_t) {});
  EXPECT_EQ(worker_ticks().second, workers);
}

TEST(ParallelFor, HeldWorkersRunEveryLoopAndSleepOnceTheHoldEnds) {
  parallel_for(64, [](size_t) {});
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // every worker asleep
  const int workers = worker_ticks().second;
  {
    PoolHold outer;
    std::optional<PoolHold> inner(std::in_place);
    // Loops with gaps on the caller around the short poll and the held one.
    for (int gap_us : {0, 30, 300, 3000}) {
      std::vector<std::atomic<int>> hits(257);
      parallel_for(hits.size(), [&](size_t i) { hits[i].fetch_add(1); });
      for (size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i << ", gap " << gap_us;
      std::this_thread::sleep_for(std::chrono::microseconds(gap_us));
      if (gap_us == 300) inner.reset();  // the outer hold still keeps them
    }
  }
  // Once no hold lives the workers sleep as before (see IdleWorkersSleep).
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto [before, again] = worker_ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(again, workers);
  EXPECT_LE(worker_ticks().first - before, 10) << "ticks used by workers after the hold";
}

// How often each worker has gone to sleep (its voluntary context
// switches), in the order /proc lists them.
std::vector<long> worker_sleeps() {
  std::vector<long> sleeps;
  DIR* d = opendir("/proc/self/task");
  if (d == nullptr) return sleeps;
  while (dirent* e = readdir(d)) {
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string line;
    if (e->d_name[0] == '.' || !std::getline(comm, line) || line != "vorn-worker") continue;
    std::ifstream status(base + "/status");
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sleeps.push_back(std::stol(line.substr(24)));
  }
  closedir(d);
  return sleeps;
}

TEST(ParallelFor, AHoldWakesEverySleepingWorker) {
  if (parallel_thread_count() < 3) GTEST_SKIP() << "fewer than two workers";
  // The caller wakes the first sleepers and each of them the next: every
  // worker must be reached, and sleeps again once the hold's poll is over.
  // On a busy machine a woken worker may wait long for a core, so each
  // attempt looks again until every worker has slept once more or two
  // seconds have passed: a worker the wakes never reach still fails it.
  size_t woken = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    parallel_for(64, [](size_t) {});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // every worker asleep
    const std::vector<long> before = worker_sleeps();
    ASSERT_EQ(before.size(), parallel_thread_count() - 1);
    { PoolHold hold; }
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const std::vector<long> after = worker_sleeps();
      ASSERT_EQ(after.size(), before.size());
      woken = 0;
      for (size_t i = 0; i < before.size(); ++i) woken += after[i] > before[i] ? 1 : 0;
    } while (woken < before.size() && std::chrono::steady_clock::now() < give_up);
    if (woken == before.size()) return;
  }
  ADD_FAILURE() << "a hold left " << parallel_thread_count() - 1 - woken << " workers asleep";
}

// The dispatch timeline, in a child process started with it on: one line
// per dispatch, whose threads ran every chunk once, each within the
// dispatch.
TEST(PoolTrace, Child) {
  if (std::getenv("VORN_POOL_TRACE") == nullptr) GTEST_SKIP() << "runs in the child of PoolTrace.ListsEveryDispatch";
  for (int k = 0; k < 5; ++k) {
    std::atomic<int> sum{0};
    parallel_for(37, [&](size_t i) { sum.fetch_add(int(i)); });
    ASSERT_EQ(sum.load(), 37 * 36 / 2);
  }
}

TEST(PoolTrace, ListsEveryDispatch) {
  if (parallel_thread_count() < 2) GTEST_SKIP() << "one core: no dispatch";
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  const std::string path = testing::TempDir() + "pool_trace_" + std::to_string(getpid()) + ".txt";
  const std::string command = "VORN_POOL_TRACE='" + path + "' '" + self + "' --gtest_filter=PoolTrace.Child >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::ifstream in(path);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line.rfind("dump_at 0x", 0), 0u) << line;
  int dispatches = 0;
  while (std::getline(in, line)) {
    ++dispatches;
    std::istringstream words(line.substr(0, line.find('|')));
    std::string fn, address, d, index, it, iterations, ch;
    long long chunks = 0;
    words >> fn >> address >> d >> index >> it >> iterations >> ch >> chunks;
    EXPECT_EQ(iterations, "37") << line;
    long long ret = -1;
    const size_t at = line.find(" ret ");
    ASSERT_NE(at, std::string::npos) << line;
    ret = std::stoll(line.substr(at + 5));
    long long ran = 0;
    for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', bar + 1)) {
      std::istringstream seat(line.substr(bar + 1));
      long long index_of_seat, count, first, last;
      seat >> index_of_seat >> count >> first >> last;
      ran += count;
      EXPECT_LE(0, first) << line;
      EXPECT_LE(first, last) << line;
      EXPECT_LE(last, ret) << line;
    }
    EXPECT_EQ(ran, chunks) << line;
  }
  EXPECT_EQ(dispatches, 5);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vorn
