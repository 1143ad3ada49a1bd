// Splits an index range across the worker pool above a size threshold.
//
// Every kernel that uses this computes each output element from its inputs
// alone, whichever chunk it falls in, so the split changes where the work runs
// and never what it produces: results are bit-identical below and above the
// threshold (the kernel tests compare both sides).
#pragma once
#include <algorithm>
#include <cstdint>

#include "kernels/split_gate.h"
#include "platform/parallel.h"

namespace vorn {

// Elementwise work below this many elements stays on the calling thread: a
// dispatch costs a few microseconds, about what 64K cheap f32 operations take.
constexpr uint64_t kParallelElements = 1u << 16;
// Same for operators that call a transcendental function per element.
constexpr uint64_t kParallelHeavyElements = 1u << 13;

// Runs body(begin, end) over [0, n): once with the whole range when n is
// below `threshold` (work units, e.g. elements), else in chunks spread over
// the pool. `unit_cost` scales n into work units when one index stands for a
// row of elements.
template <class F>
void for_chunks(uint64_t n, uint64_t threshold, F&& body, uint64_t unit_cost = 1) {
  if (n == 0) return;
  uint64_t work = n * (unit_cost == 0 ? 1 : unit_cost);
  if (n < 2 || work < threshold || !cpu_split_allowed()) {
    body(uint64_t{0}, n);
    return;
  }
  // A few chunks per thread keeps the load even when some threads start late;
  // no chunk is smaller than half the threshold's worth of work, except that
  // work past the threshold always reaches every thread, and the chunks come
  // in whole rounds of the pool: nine chunks on eight threads would take
  // twice as long as eight.
  uint64_t threads = parallel_thread_count();
  uint64_t by_size = std::max<uint64_t>(1, work / std::max<uint64_t>(1, threshold / 2));
  uint64_t chunks = std::min<uint64_t>({n, threads * 4, std::max(by_size, threads)});
  if (chunks > threads) chunks -= chunks % threads;
  if (chunks < 2) {
    body(uint64_t{0}, n);
    return;
  }
  parallel_for(chunks, [&](size_t i) {
    uint64_t begin = n / chunks * i + std::min<uint64_t>(i, n % chunks);
    uint64_t end = begin + n / chunks + (i < n % chunks ? 1 : 0);
    body(begin, end);
  });
}

}  // namespace vorn
