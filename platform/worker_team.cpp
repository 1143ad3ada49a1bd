#include "platform/worker_team.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn {

namespace {

// How long a member waits awake for the next loop, and the leader for the
// last chunks, before sleeping: longer than the gap a leader leaves between
// loops while it runs a small command itself, short enough that a member
// whose leader has gone quiet costs nothing measurable.
constexpr auto kSpin = std::chrono::microseconds(50);
constexpr uint32_t kDisband = 1u << 31;
// Chunks of one loop: the chunk count has 16 bits of the claim word.
constexpr uint64_t kMaxChunks = 0xffff;
// Chunks per thread of a loop: a few, so uneven iterations and a member
// taken off its core leave work for the others, while small iterations do
// not all meet on the counter.
constexpr uint64_t kChunksPerThread = 4;

// A pause between polls: it leaves the core's other hardware thread the
// pipeline and gives the system no reason to run anything else.
inline void relax() {
#if defined(__x86_64__)
  _mm_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// The futex calls themselves: the word's value is only a guard against a
// lost wake-up, every datum is handed over through the atomics around them.
void futex_wait(std::atomic<uint32_t>& word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void futex_wake_all(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Polls until done() or the spin time has passed; true when done.
template <class Done>
bool spin_until(const Done& done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned spin = 1;; ++spin) {
    if (done()) return true;
    if (spin % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
    relax();
  }
}

constexpr uint64_t pack(uint32_t loop, uint64_t next, uint64_t chunks) {
  return uint64_t(loop) << 32 | next << 16 | chunks;
}
constexpr uint64_t next_of(uint64_t claim) { return (claim >> 16) & 0xffff; }
constexpr uint32_t loop_of(uint64_t claim) { return uint32_t(claim >> 32); }
// The next-chunk field of a loop whose chunks go by seats (the counter is
// not used): above any chunk count.
constexpr uint64_t kBySeats = 0xffff;
// A seat chunk's word once its chunk is claimed.
constexpr uint32_t kTaken = 1u << 31;
constexpr uint64_t chunks_of(uint64_t claim) { return claim & 0xffff; }

}  // namespace

WorkerTeam::WorkerTeam() {
  if (pool_hooks::in_loop()) return;
  previous_ = pool_hooks::exchange_loop_runner(this);
  if (previous_ != nullptr) {  // this thread leads a team already
    pool_hooks::exchange_loop_runner(previous_);
    return;
  }
  active_ = true;
  const size_t workers = parallel_thread_count() - 1;
  if (workers > 0) posting_.emplace(workers, this, &WorkerTeam::take_seat);
}

WorkerTeam::~WorkerTeam() {
  if (!active_) return;
  pool_hooks::exchange_loop_runner(previous_);
  publish(kDisband);
  posting_.reset();  // returns once every member has left
}

void WorkerTeam::publish(uint32_t epoch) {
  epoch_.store(epoch, std::memory_order_seq_cst);
  if (members_asleep_.load(std::memory_order_seq_cst) != 0) futex_wake_all(epoch_);
}

void WorkerTeam::take_seat(void* team, size_t seat) { static_cast<WorkerTeam*>(team)->member(seat + 1); }

void WorkerTeam::member(size_t seat) {
  uint32_t seen = epoch_.load(std::memory_order_acquire);
  while ((seen & kDisband) == 0) {
    run_chunks(seat);
    auto changed = [&] { return epoch_.load(std::memory_order_acquire) != seen; };
    if (!spin_until(changed)) {
      // Announced before the last look at the word, which the leader
      // changes before it looks at the count: one of them sees the other.
      members_asleep_.fetch_add(1, std::memory_order_seq_cst);
      while (epoch_.load(std::memory_order_seq_cst) == seen) futex_wait(epoch_, seen);
      members_asleep_.fetch_sub(1, std::memory_order_relaxed);
    }
    seen = epoch_.load(std::memory_order_acquire);
  }
}

void WorkerTeam::run_chunk(uint64_t claim, uint64_t c) {
  // The chunk is ours: the loop's fields stay as they are until it has
  // finished. A chunk of a loop that has failed only counts as finished.
  const uint64_t chunks = chunks_of(claim);
  if (!error_.caught()) {
    const size_t begin = c * chunk_;
    const size_t end = std::min(iterations_, begin + chunk_);
    try {
      for (size_t i = begin; i < end; ++i) work_(context_, i);
    } catch (...) {
      error_.capture();
    }
  }
  if (finished_.fetch_add(1, std::memory_order_seq_cst) + 1 == chunks &&
      leader_asleep_.load(std::memory_order_seq_cst) != 0)
    futex_wake_all(finished_);
}

void WorkerTeam::run_chunks(size_t seat) {
  uint64_t claim = claim_.load(std::memory_order_acquire);
  if (next_of(claim) == kBySeats) {
    const uint32_t loop = loop_of(claim);
    const uint64_t chunks = chunks_of(claim);
    auto take = [&](uint64_t c) {
      uint32_t armed = loop;
      // A look first: a chunk already taken costs no write.
      return seat_chunks_[c].loop.load(std::memory_order_relaxed) == loop &&
             seat_chunks_[c].loop.compare_exchange_strong(armed, loop | kTaken, std::memory_order_acquire,
                                                          std::memory_order_relaxed);
    };
    if (seat < chunks && take(seat)) run_chunk(claim, seat);
    for (uint64_t k = 1; k <= chunks; ++k) {
      const uint64_t c = (seat + k) % chunks;
      if (c != seat && take(c)) run_chunk(claim, c);
    }
    return;
  }
  for (;;) {
    const uint64_t chunks = chunks_of(claim);
    if (next_of(claim) >= chunks) return;
    if (!claim_.compare_exchange_weak(claim, claim + (uint64_t{1} << 16), std::memory_order_acquire,
                                      std::memory_order_acquire))
      continue;
    run_chunk(claim, next_of(claim));
    claim = claim_.load(std::memory_order_acquire);
  }
}

void WorkerTeam::wait_for_chunks(uint32_t chunks) {
  auto finished = [&] { return finished_.load(std::memory_order_acquire) == chunks; };
  if (spin_until(finished)) return;
  leader_asleep_.store(1, std::memory_order_seq_cst);
  for (;;) {
    const uint32_t seen = finished_.load(std::memory_order_seq_cst);
    if (seen == chunks) break;
    futex_wait(finished_, seen);
  }
  leader_asleep_.store(0, std::memory_order_relaxed);
}

void WorkerTeam::run_loop(size_t iterations, void* context, void (*work)(void*, size_t)) {
  const uint64_t threads = parallel_thread_count();
  uint64_t chunk = std::max<uint64_t>(1, iterations / (threads * kChunksPerThread));
  chunk = std::max<uint64_t>(chunk, (iterations + kMaxChunks - 1) / kMaxChunks);
  const uint64_t chunks = (iterations + chunk - 1) / chunk;
  iterations_ = iterations;
  chunk_ = chunk;
  context_ = context;
  work_ = work;
  finished_.store(0, std::memory_order_relaxed);
  loop_ = (loop_ + 1) & ~kDisband;
  if (loop_ == 0) loop_ = 1;
  // Chunks by seats when there are no more of them than threads: the
  // words are armed with the loop's number before the loop is published.
  const bool by_seats = chunks <= std::min<uint64_t>(threads, kSeatChunks);
  if (by_seats)
    for (uint64_t c = 0; c < chunks; ++c) seat_chunks_[c].loop.store(loop_, std::memory_order_relaxed);
  claim_.store(pack(loop_, by_seats ? kBySeats : 0, chunks), std::memory_order_release);
  publish(loop_);
  {
    pool_hooks::InLoop in_loop;
    run_chunks(0);
  }
  wait_for_chunks(uint32_t(chunks));
  error_.rethrow();
}

}  // namespace vorn
