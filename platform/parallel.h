// Parallel-for over one process-wide worker pool: our stand-in for
// dispatch_apply_f on the high-priority global queue.
//
// The pool is created on the first call that needs it (no static
// initialiser) with one worker fewer than the cores the process may run on,
// or as many as the system lets it start (a process limit); the calling
// thread works too, alone if need be. The workers live until the process
// exits. A worker that runs out of work polls for a
// next dispatch for some tens of microseconds (so back-to-back loops find it
// awake), then sleeps on its own futex word; a dispatch wakes only as many
// sleepers as it has chunks for, each joining thread waking the next few.
// An idle process uses no CPU. A call made from inside a dispatch (on a
// worker, or on the caller while it runs its share) runs its iterations
// serially, so nested loops never wait on themselves. Several threads may
// call at once. The work function must not throw.
#pragma once
#include <cstddef>
#include <type_traits>

namespace vorn {

// Runs work(context, i) for every i in [0, iterations) and returns when all
// have finished. Iterations may run in any order and on any thread.
void dispatch_apply_f(size_t iterations, void* context, void (*work)(void*, size_t));

// Threads that take part in a dispatch: the workers plus the caller.
size_t parallel_thread_count();

// Work whose results would depend on how it is cut (sums split into
// partial sums per block, say) is cut as if for this many threads, whatever
// the pool: the same input then gives the same bits on any number of cores.
// Work whose every output is computed the same way in any cut may follow
// the pool's size.
inline constexpr size_t kPlanThreads = 8;

template <class F>
void parallel_for(size_t iterations, F&& body) {
  using Body = std::remove_reference_t<F>;
  dispatch_apply_f(iterations, const_cast<void*>(static_cast<const void*>(&body)),
                   [](void* ctx, size_t i) { (*static_cast<Body*>(ctx))(i); });
}

}  // namespace vorn
