// Parallel-for over one process-wide worker pool: our stand-in for
// dispatch_apply_f on the high-priority global queue.
//
// The pool is created on the first call that needs it (no static
// initialiser) with one worker fewer than the cores the process may run on,
// or as many as the system lets it start (a process limit); the calling
// thread works too, alone if need be. The workers live until the process
// exits. A dispatch deals its chunks out in lanes of consecutive chunks,
// one lane per thread: each thread runs its own lane first (the caller the
// first, worker i lane i + 1) and then helps with the others, so loops cut
// alike give each thread the same share of consecutive layers, whose
// inputs it wrote itself. A worker that runs out of work polls for a
// next dispatch for some tens of microseconds (so back-to-back loops find it
// awake; longer under a PoolHold), then sleeps on its own futex word; a dispatch wakes only as many
// sleepers as it has chunks for, each joining thread waking the next few.
// An idle process uses no CPU. A call made from inside a dispatch (on a
// worker, or on the caller while it runs its share) runs its iterations
// serially, so nested loops never wait on themselves. Several threads may
// call at once. An exception thrown by an iteration, on whichever thread,
// stops the loop: iterations not yet started are skipped, and once those
// running have returned the caller rethrows the first one thrown.
#pragma once
#include <atomic>
#include <cstddef>
#include <exception>
#include <type_traits>

namespace vorn {

// Runs work(context, i) for every i in [0, iterations) and returns when all
// have finished. Iterations may run in any order and on any thread. When
// one throws, rethrows the first exception once no iteration runs (see
// above).
void dispatch_apply_f(size_t iterations, void* context, void (*work)(void*, size_t));

// Threads that take part in a dispatch: the workers plus the caller.
size_t parallel_thread_count();

// While one lives (on any thread), the pool's workers wait for the next
// dispatch awake, polling with a yield, for up to a couple of milliseconds
// instead of some tens of microseconds, and the caller of a dispatch waits
// for its last helpers the same way; making one wakes the workers that
// sleep (the caller the first two, each of them the next). For a caller about to run many dependent loops back to back (the
// layers of one model pass): a worker that finished its share of a layer
// early then starts the next layer at once, where a sleeping one would
// first need the system to wake it, which on a virtual machine takes tens
// of microseconds per wake. Once the last hold ends, workers go back to
// sleep after the short poll, counted from its end (so the next pass run
// back to back finds them awake): an idle process uses no CPU.
class PoolHold {
 public:
  PoolHold();
  ~PoolHold();
  PoolHold(const PoolHold&) = delete;
  PoolHold& operator=(const PoolHold&) = delete;
};

// Work whose results would depend on how it is cut (sums split into
// partial sums per block, say) is cut as if for this many threads, whatever
// the pool: the same input then gives the same bits on any number of cores.
// Work whose every output is computed the same way in any cut may follow
// the pool's size.
inline constexpr size_t kPlanThreads = 8;

// What worker teams (worker_team.h) need of the pool; nothing else uses it.
namespace pool_hooks {

// The first exception thrown by the iterations of a loop, kept for its
// caller: capture() inside a catch block on any thread, rethrow() on the
// caller once every thread that may capture has finished with the loop
// (their finishing is the hand-over), which also makes it ready for the
// next loop.
class FirstError {
 public:
  void capture() noexcept {
    if (!caught_.exchange(true, std::memory_order_relaxed)) error_ = std::current_exception();
  }
  bool caught() const { return caught_.load(std::memory_order_relaxed); }
  void rethrow() {
    if (!caught()) return;
    std::exception_ptr error = std::move(error_);
    error_ = nullptr;
    caught_.store(false, std::memory_order_relaxed);
    std::rethrow_exception(error);
  }

 private:
  std::atomic<bool> caught_{false};
  std::exception_ptr error_;
};

// While one is installed on a thread, dispatch_apply_f hands that thread's
// loops to it instead of to the pool (the loops of a team's leader).
class LoopRunner {
 public:
  virtual void run_loop(size_t iterations, void* context, void (*work)(void*, size_t)) = 0;

 protected:
  ~LoopRunner() = default;
};
// Installs runner on the calling thread (null removes it); returns the one
// it replaces.
LoopRunner* exchange_loop_runner(LoopRunner* runner);

// True while the calling thread runs iterations of a loop (a worker, or a
// caller during its share): a loop started there runs serially.
bool in_loop();
// Marks the calling thread as running iterations while it lives.
class InLoop {
 public:
  InLoop();
  ~InLoop();
  InLoop(const InLoop&) = delete;
  InLoop& operator=(const InLoop&) = delete;

 private:
  bool was_;
};

// Work for the workers alone, beside the caller: free workers (asleep or
// looking for work) take the seats, one call of work(context, seat) each,
// while the caller goes on. withdraw (or the destructor) stops handing out
// seats and returns once every seat taken has returned; a seat's work must
// therefore end when the caller asks it to, and must not throw.
struct PostedJob;
class WorkerPosting {
 public:
  WorkerPosting(size_t seats, void* context, void (*work)(void*, size_t));
  ~WorkerPosting() { withdraw(); }
  WorkerPosting(const WorkerPosting&) = delete;
  WorkerPosting& operator=(const WorkerPosting&) = delete;
  void withdraw();

 private:
  PostedJob* job_;
};

}  // namespace pool_hooks

template <class F>
void parallel_for(size_t iterations, F&& body) {
  using Body = std::remove_reference_t<F>;
  dispatch_apply_f(iterations, const_cast<void*>(static_cast<const void*>(&body)),
                   [](void* ctx, size_t i) { (*static_cast<Body*>(ctx))(i); });
}

}  // namespace vorn
