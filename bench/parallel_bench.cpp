// Dispatch latency of the worker pool: median wall time of parallel_for over
// trivial iterations, and over a realistic split (8 chunks of ~20 us work).
// Run under taskset to see how it scales with the cores the process may use.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/parallel.h"

namespace {

using Clock = std::chrono::steady_clock;

// Busy work of roughly `us` microseconds, calibrated once.
volatile double g_sink = 0;
long g_loops_per_us = 0;

void busy(long loops) {
  double x = 1.0;
  for (long i = 0; i < loops; ++i) x = x * 1.0000001 + 1e-9;
  g_sink = g_sink + x;
}

// The fastest of a few runs, so that a busy machine does not shrink the
// work given to every later measurement.
void calibrate() {
  long loops = 200000;
  double best = 1e30;
  for (int i = 0; i < 10; ++i) {
    auto t0 = Clock::now();
    busy(loops);
    best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  g_loops_per_us = std::max(1L, static_cast<long>(loops / best));
}

template <class F>
double median_us(int reps, F&& f) {
  std::vector<double> t(reps);
  for (int r = 0; r < reps; ++r) {
    if constexpr (std::is_same_v<decltype(f()), double>) {
      t[r] = f();  // the callable timed itself
    } else {
      auto t0 = Clock::now();
      f();
      t[r] = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
  }
  std::sort(t.begin(), t.end());
  return t[reps / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int reps = argc > 1 ? std::atoi(argv[1]) : 20000;
  calibrate();
  std::atomic<long> count{0};
  vorn::parallel_for(64, [&](size_t) { count.fetch_add(1, std::memory_order_relaxed); });  // make the pool
  std::printf("threads %zu\n", vorn::parallel_thread_count());
  for (size_t n : {2u, 8u, 64u}) {
    double m = median_us(reps, [&] {
      vorn::parallel_for(n, [&](size_t) { count.fetch_add(1, std::memory_order_relaxed); });
    });
    std::printf("trivial n=%-3zu median %8.2f us\n", n, m);
  }
  // Small layers: eight iterations of ~2 us and ~20 us, back to back.
  for (long us : {2L, 20L}) {
    long loops = us * g_loops_per_us;
    double serial = median_us(reps / 50 + 1, [&] {
      for (int i = 0; i < 8; ++i) busy(loops);
    });
    double m = median_us(reps / 10 + 1, [&] { vorn::parallel_for(8, [&](size_t) { busy(loops); }); });
    std::printf("8x%-2ldus     median %8.2f us (serial %.2f us)\n", us, m, serial);
  }
  // The same after the workers have gone to sleep (an isolated call).
  for (long us : {0L, 20L}) {
    long loops = us * g_loops_per_us;
    double m = median_us(reps / 40 + 1, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      auto t0 = Clock::now();
      vorn::parallel_for(8, [&](size_t) { busy(loops); });
      return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    });
    std::printf("cold 8x%-2ldus median %8.2f us\n", us, m);
  }
  return 0;
}
