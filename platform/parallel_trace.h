// The worker pool's dispatch timeline, for finding where a dispatch's time
// goes (late wake-ups, uneven chunks, slow chunks, the caller's join).
// With VORN_POOL_TRACE=FILE in the environment when the pool is made, every
// dispatch records when it was posted, when each thread started its first
// chunk and finished its last, how long each of its first chunks took,
// when the caller ran out of chunks and when it returned, into a ring made
// with the pool; the ring goes to FILE at exit. Off (the normal case), it
// costs a test per dispatch and per thread joining one.
//
// FILE: a first line "dump_at ADDR" (where dump() was loaded, to turn the
// loop addresses into names with nm and addr2line), then one line per
// dispatch, oldest first:
//   fn LOOP d N it ITERATIONS ch CHUNKS poll POLLING wake TO_WAKE post T0
//   cdone CALLER_DONE ret RETURNED | SEAT CHUNKS FIRST LAST WOKEN C:NS ... | ...
// times in ns, after the dispatch's T0 (WOKEN -1: the thread was awake);
// seat 0 is the caller, seat i + 1 worker i; C:NS the chunks it ran and
// their times. Read by bench/pool_timeline.py.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vorn::trace {

constexpr size_t kSlots = size_t{1} << 16;
constexpr size_t kSeats = 16;

struct Seat {
  int64_t first = 0;  // start of the first chunk run, ns
  int64_t last = 0;   // end of the last chunk run
  uint32_t chunks = 0;
  int64_t woken = 0;  // when the thread last came back from sleep, if it did for this one
  // The first chunks run: their numbers and how long each took, ns.
  static constexpr size_t kChunks = 6;
  uint32_t chunk[kChunks] = {};
  uint32_t took[kChunks] = {};
};

struct Slot {
  int64_t posted = 0;
  int64_t caller_done = 0;
  int64_t returned = 0;
  uint64_t iterations = 0;
  uint32_t chunks = 0;
  uint32_t polling = 0;  // workers polling when it was posted
  uint32_t woken = 0;    // sleepers it asked to wake
  uintptr_t work = 0;    // the loop's function, for naming it
  Seat seat[kSeats];
};

inline Slot* g_ring = nullptr;
inline const char* g_path = nullptr;
inline std::atomic<uint64_t> g_next{0};
// The last time each seat came back from a futex sleep (each seat writes its own).
inline int64_t g_woken_at[kSeats];

inline int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline void dump() {
  FILE* f = std::fopen(g_path, "w");
  if (f == nullptr) return;
  std::fprintf(f, "dump_at %#llx\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&dump)));
  const uint64_t n = g_next.load(std::memory_order_relaxed);
  const uint64_t first = n > kSlots ? n - kSlots : 0;
  for (uint64_t d = first; d < n; ++d) {
    const Slot& s = g_ring[d % kSlots];
    std::fprintf(f, "fn %#llx d %llu it %llu ch %u poll %u wake %u post %lld cdone %lld ret %lld",
                 static_cast<unsigned long long>(s.work), static_cast<unsigned long long>(d),
                 static_cast<unsigned long long>(s.iterations), s.chunks,
                 s.polling, s.woken, static_cast<long long>(s.posted), static_cast<long long>(s.caller_done - s.posted),
                 static_cast<long long>(s.returned - s.posted));
    for (size_t k = 0; k < kSeats; ++k) {
      const Seat& t = s.seat[k];
      if (t.chunks == 0) continue;
      std::fprintf(f, " | %zu %u %lld %lld %lld", k, t.chunks, static_cast<long long>(t.first - s.posted),
                   static_cast<long long>(t.last - s.posted),
                   static_cast<long long>(t.woken != 0 ? t.woken - s.posted : -1));
      for (size_t c = 0; c < std::min<size_t>(t.chunks, Seat::kChunks); ++c) std::fprintf(f, " %u:%u", t.chunk[c], t.took[c]);
    }
    std::fputc('\n', f);
  }
  std::fclose(f);
}

// Turns the timeline on when the environment asks for it; called once,
// when the pool is made.
inline void init() {
  g_path = std::getenv("VORN_POOL_TRACE");
  if (g_path == nullptr || *g_path == 0) return;
  g_ring = static_cast<Slot*>(std::calloc(kSlots, sizeof(Slot)));
  if (g_ring == nullptr) return;
  std::atexit(dump);
}

}  // namespace vorn::trace

