#include "platform/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/parallel_trace.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vorn {

namespace {

// How long a thread keeps polling for more work before it sleeps: long
// enough to bridge the gap between back-to-back layers, short enough that
// an idle process costs nothing measurable.
constexpr auto kSpin = std::chrono::microseconds(50);
// The same under a PoolHold: longer than any gap a model pass leaves
// between two parallel layers while it runs small ones on the caller, and
// still short beside a pass of parallel layers.
constexpr auto kHeldSpin = std::chrono::milliseconds(2);

inline void pause() {
#if defined(__x86_64__)
  _mm_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Polling threads yield: on a busy machine the threads they wait for may
// be queued behind them on the same core. Under a PoolHold they pause
// instead for the first stretch of a poll, which covers the gap between
// most consecutive layers of a pass: a yield is a system call, and a
// thread back from one finds the next layer later than one that paused.
// Past it they yield, so that on a busy machine a pass still leaves its
// caller the core (pausing in every poll, held or not, took the
// generative half's decode steps from 50 to 130 ms at load 35).
constexpr auto kHeldPause = std::chrono::microseconds(50);
inline void cpu_relax(bool pausing) {
  if (pausing) {
    pause();
  } else {
    std::this_thread::yield();
  }
}

// The pool's mutex guards a few pointer moves at a time: a thread that
// finds it taken retries for about a microsecond before it sleeps, as a
// dispatch's joining workers all reach for it at once, and a sleeper costs
// its waker a system call and itself a wake-up.
class PoolMutex {
 public:
  void lock() {
    for (unsigned i = 0; i < kTries; ++i) {
      if (m_.try_lock()) return;
      pause();
    }
    m_.lock();
  }
  void unlock() { m_.unlock(); }

 private:
  static constexpr unsigned kTries = 32;
  std::mutex m_;
};

// A job's chunks are dealt out in lanes, one per thread up to this many:
// each thread takes the chunks of its own lane first (a thread's seat
// names it: the caller 0, worker i i + 1) and then those left in the
// others. Loops cut the same way then give each thread the same share of
// consecutive nodes (the same output rows or columns), whose inputs it
// wrote itself and still holds in its cache; which thread runs a chunk
// changes no result.
constexpr size_t kMaxLanes = 64;
struct alignas(64) Lane {
  std::atomic<size_t> next{0};  // next chunk to hand out
  size_t end = 0;               // one past the lane's last chunk
};

struct Job {
  size_t iterations;
  size_t chunk;
  void* context;
  void (*work)(void*, size_t);
  Job* next_job = nullptr;  // in the pool's list, guarded by the pool mutex
  size_t to_wake = 0;       // sleepers still to wake for it, same guard
  // Whether a thread joining it should take the lock to wake more
  // sleepers (to_wake is not zero and some sleep).
  std::atomic<bool> wakes_pending{false};
  size_t lanes = 1;
  Lane lane[kMaxLanes];
  // Workers that took this job under the pool mutex while it was listed,
  // so once the caller has unlisted it the count only falls. (A worker
  // that joins it as the latest job names it in its own Worker::joined
  // instead.) The job may leave the caller's stack once both are clear.
  alignas(64) std::atomic<uint32_t> refs{0};
  pool_hooks::FirstError error;
  trace::Slot* trace = nullptr;  // while the timeline is on
};

// What a worker shares with the other threads, in a cache line of its
// own: a dispatch's joining workers then write nothing any other of them
// writes (eight threads incrementing one counter in turn took as long as
// the rest of a dispatch).
struct alignas(64) Worker {
  std::atomic<uint32_t> wake{0};  // futex word: 1 = told to look for work
  // Polling for a next dispatch, to be counted by its caller: a thread
  // that finds one need not be woken.
  std::atomic<bool> polling{false};
  // The job this worker joined as the latest one, until it has run its
  // chunks: the job's caller waits until no worker names it.
  std::atomic<Job*> joined{nullptr};
  size_t seat = 0;
};

// Cuts the job's iterations into chunks of job.chunk and deals them out in
// lanes of consecutive chunks, as even as they go.
void deal_lanes(Job& job, size_t threads) {
  const size_t chunks = (job.iterations + job.chunk - 1) / job.chunk;
  job.lanes = std::max<size_t>(1, std::min({threads, kMaxLanes, chunks}));
  for (size_t k = 0; k < job.lanes; ++k) {
    job.lane[k].next.store(k * chunks / job.lanes, std::memory_order_relaxed);
    job.lane[k].end = (k + 1) * chunks / job.lanes;
  }
}

bool has_chunks(const Job& job) {
  for (size_t k = 0; k < job.lanes; ++k)
    if (job.lane[k].next.load(std::memory_order_relaxed) < job.lane[k].end) return true;
  return false;
}

// Set while a thread runs iterations of a job (a worker, or a caller inside
// its own dispatch): a dispatch from there runs serially, so nested loops
// never queue behind themselves.
thread_local bool t_in_worker = false;
// This thread's seat in the pool: 0 for a caller, i + 1 for worker i.
thread_local size_t t_seat = 0;

class Pool {
 public:
  // Starts as many of the workers as the system lets it: under a process
  // limit or address-space pressure a thread may fail to start, and the
  // pool then runs with those it has (none: the caller works alone). Never
  // throws.
  explicit Pool(size_t workers) noexcept {
    trace::init();
    try {
      workers_ = std::make_unique<Worker[]>(workers);
      idle_.reserve(workers);
      threads_.reserve(workers);
    } catch (const std::bad_alloc&) {
      return;
    }
    for (size_t i = 0; i < workers; ++i) {
      Worker* w = &workers_[i];
      w->seat = i + 1;
      try {
        threads_.emplace_back([this, w] {
          t_seat = w->seat;
          worker_loop(*w);
        });
      } catch (const std::exception&) {
        break;  // std::system_error from the system, or std::bad_alloc
      }
      // Named here rather than in the thread so the name is there as soon
      // as the pool is: profilers and the idle test tell our workers by it.
      pthread_setname_np(threads_.back().native_handle(), "vorn-worker");
    }
  }
  // The pool lives until process exit; workers are detached there so that
  // exit never waits on a sleeping thread.
  ~Pool() = delete;

  size_t thread_count() const { return threads_.size() + 1; }

  void run(Job& job) {
    if (trace::g_ring != nullptr) {
      job.trace = &trace::g_ring[trace::g_next.fetch_add(1, std::memory_order_relaxed) % trace::kSlots];
      *job.trace = trace::Slot{};
      job.trace->posted = trace::now_ns();
      job.trace->iterations = job.iterations;
      job.trace->work = reinterpret_cast<uintptr_t>(job.work);
    }
    post(job, 1);
    t_in_worker = true;
    run_chunks(job);
    t_in_worker = false;
    if (job.trace != nullptr) job.trace->caller_done = trace::now_ns();
    retire(job);
    if (job.trace != nullptr) job.trace->returned = trace::now_ns();
    job.error.rethrow();
  }

  void hold() {
    Worker* woken[kFanOut];
    size_t n;
    {
      std::lock_guard<PoolMutex> lock(mu_);
      held_.fetch_add(1, std::memory_order_relaxed);
      // Woken now, the workers are awake by the pass's first parallel
      // layer; a worker woken without a job polls before it sleeps again.
      // The caller wakes only the first few and each of those the next
      // few, as for a job: a system call per sleeper would hold up the
      // pass's first layer by tens of microseconds.
      hold_to_wake_ = idle_.size();
      n = wake_for_hold_locked(woken);
    }
    notify(woken, n);
  }
  void unhold() {
    // The short poll restarts when the last hold ends, so a caller that
    // starts its next held pass within it (a model run back to back) finds
    // the workers awake rather than waking each again.
    released_.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    held_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Lists the job and wakes sleepers for the chunks that threads already
  // polling for work will not pick up, less the caller_takes chunks the
  // caller runs itself.
  void post(Job& job, size_t caller_takes) {
    Worker* woken[kFanOut];
    size_t n_woken;
    {
      std::lock_guard<PoolMutex> lock(mu_);
      job.next_job = nullptr;
      if (tail_ != nullptr) {
        tail_->next_job = &job;
      } else {
        head_ = &job;
      }
      tail_ = &job;
      latest_.store(&job, std::memory_order_seq_cst);
      listed_.fetch_add(1, std::memory_order_relaxed);
      published_.fetch_add(1, std::memory_order_release);
      size_t chunks = (job.iterations + job.chunk - 1) / job.chunk;
      size_t polling = polling_count();
      size_t wanted = chunks > caller_takes ? chunks - caller_takes : 0;
      job.to_wake = wanted > polling ? wanted - polling : 0;
      if (job.trace != nullptr) {
        job.trace->chunks = static_cast<uint32_t>(chunks);
        job.trace->polling = static_cast<uint32_t>(polling);
        job.trace->woken = static_cast<uint32_t>(job.to_wake);
      }
      n_woken = wake_some_locked(job, woken);
    }
    notify(woken, n_woken);
  }

  // Unlists the job (no thread takes a chunk of it from now on) and waits
  // for the threads that hold one.
  void retire(Job& job) {
    {
      std::lock_guard<PoolMutex> lock(mu_);
      unlist_locked(&job);
      if (latest_.load(std::memory_order_relaxed) == &job) latest_.store(nullptr, std::memory_order_seq_cst);
    }
    wait_for_helpers(job);
  }

 private:
  // Each thread joining a job wakes at most this many sleepers, so waking
  // fans out over the workers instead of delaying the caller by a system
  // call per worker, and stops as soon as the job runs out of chunks.
  static constexpr size_t kFanOut = 2;

  size_t wake_some_locked(Job& job, Worker** out) {
    size_t n = std::min({job.to_wake, idle_.size(), kFanOut});
    for (size_t i = 0; i < n; ++i) {
      out[i] = idle_.back();
      idle_.pop_back();
      out[i]->wake.store(1, std::memory_order_relaxed);
    }
    job.to_wake -= n;
    job.wakes_pending.store(job.to_wake != 0 && !idle_.empty(), std::memory_order_relaxed);
    return n;
  }

  // Sleepers still to wake for a hold: up to kFanOut of them.
  size_t wake_for_hold_locked(Worker** out) {
    size_t n = std::min({hold_to_wake_, idle_.size(), kFanOut});
    for (size_t i = 0; i < n; ++i) {
      out[i] = idle_.back();
      idle_.pop_back();
      out[i]->wake.store(1, std::memory_order_relaxed);
    }
    hold_to_wake_ = n < hold_to_wake_ && !idle_.empty() ? hold_to_wake_ - n : 0;
    return n;
  }

  static void notify(Worker** woken, size_t n) {
    for (size_t i = 0; i < n; ++i) woken[i]->wake.notify_one();
  }

  // Runs the chunks of the thread's own lane, then those left in the
  // others, in seat order.
  static void run_chunks(Job& job) {
    if (job.trace != nullptr) {
      traced_chunks(job);
      return;
    }
    chunks_of(job, nullptr);
  }

  // run_chunks with the thread's part of the timeline recorded.
  static void traced_chunks(Job& job) {
    trace::Seat seat;
    chunks_of(job, &seat);
    if (seat.chunks == 0 || t_seat >= trace::kSeats) return;
    const int64_t woken = trace::g_woken_at[t_seat];
    seat.woken = woken >= job.trace->posted ? woken : 0;
    job.trace->seat[t_seat] = seat;
  }

  static void chunks_of(Job& job, trace::Seat* seat) {
    const size_t first = t_seat % job.lanes;
    for (size_t k = 0; k < job.lanes; ++k) {
      Lane& lane = job.lane[(first + k) % job.lanes];
      for (;;) {
        if (lane.next.load(std::memory_order_relaxed) >= lane.end) break;
        const size_t c = lane.next.fetch_add(1, std::memory_order_relaxed);
        if (c >= lane.end) break;
        const size_t begin = c * job.chunk;
        const size_t end = std::min(job.iterations, begin + job.chunk);
        int64_t began = 0;
        if (seat != nullptr) {
          began = trace::now_ns();
          if (seat->chunks == 0) seat->first = began;
        }
        try {
          for (size_t i = begin; i < end; ++i) job.work(job.context, i);
          if (seat != nullptr) {
            seat->last = trace::now_ns();
            if (seat->chunks < trace::Seat::kChunks) {
              seat->chunk[seat->chunks] = static_cast<uint32_t>(c);
              seat->took[seat->chunks] = static_cast<uint32_t>(seat->last - began);
            }
            ++seat->chunks;
          }
        } catch (...) {
          // No chunk is handed out after this one: the loop has failed.
          job.error.capture();
          for (size_t j = 0; j < job.lanes; ++j) job.lane[j].next.store(job.lane[j].end, std::memory_order_relaxed);
          return;
        }
      }
    }
  }

  void unlist_locked(Job* job) {
    Job* prev = nullptr;
    for (Job* j = head_; j != nullptr; prev = j, j = j->next_job) {
      if (j != job) continue;
      (prev != nullptr ? prev->next_job : head_) = j->next_job;
      if (tail_ == j) tail_ = prev;
      listed_.fetch_sub(1, std::memory_order_relaxed);
      return;
    }
  }

  // A listed job that still has iterations to hand out, with a reference
  // taken; nullptr when there is none.
  Job* take_job_locked() {
    for (Job* j = head_; j != nullptr; j = j->next_job) {
      if (has_chunks(*j)) {
        j->refs.fetch_add(1, std::memory_order_relaxed);
        return j;
      }
    }
    return nullptr;
  }

  // The job posted last, named in self.joined, when it still has chunks
  // and no sleepers to wake: a thread that has just seen it published
  // joins it without the lock, which the caller and the other joining
  // threads would otherwise all wait for in turn. The worker names the job
  // before it looks again that the job is still the latest; the caller
  // unlisting it clears latest_ before it looks at the names: one of the
  // two sees the other's store, so either the worker stays out or the
  // caller waits for it. (A job posted since at the same address is the
  // one the worker then joins, named as it should be.)
  Job* take_latest(Worker& self) {
    Job* job = latest_.load(std::memory_order_seq_cst);
    if (job == nullptr) return nullptr;
    self.joined.store(job, std::memory_order_seq_cst);
    if (latest_.load(std::memory_order_seq_cst) != job || job->wakes_pending.load(std::memory_order_relaxed) ||
        !has_chunks(*job)) {
      leave(self);
      return nullptr;
    }
    return job;
  }

  // Ends what take_latest began; the job may be gone after it.
  void leave(Worker& self) {
    self.joined.store(nullptr, std::memory_order_seq_cst);
    if (done_waiters_.load(std::memory_order_seq_cst) != 0) {
      done_.fetch_add(1, std::memory_order_seq_cst);
      done_.notify_all();
    }
  }

  size_t polling_count() const {
    size_t n = 0;
    for (size_t i = 0; i < threads_.size(); ++i) n += workers_[i].polling.load(std::memory_order_relaxed) ? 1 : 0;
    return n;
  }

  // Whether some worker still runs chunks of the job.
  bool helped(const Job& job) const {
    if (job.refs.load(std::memory_order_seq_cst) != 0) return true;
    for (size_t i = 0; i < threads_.size(); ++i)
      if (workers_[i].joined.load(std::memory_order_seq_cst) == &job) return true;
    return false;
  }

  void release(Job* job) {
    // After this decrement the job may be gone: only pool memory is
    // touched from here on.
    if (job->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      done_.fetch_add(1, std::memory_order_seq_cst);
      if (done_waiters_.load(std::memory_order_seq_cst) != 0) done_.notify_all();
    }
  }

  // Whether a poll that started at `start` has run its time: kSpin (from
  // the end of the last hold, when that came later), or kHeldSpin while a
  // PoolHold lives.
  // Sets pausing to whether the poll pauses (see cpu_relax) until it looks
  // again.
  bool poll_over(std::chrono::steady_clock::time_point start, bool& pausing) const {
    const auto now = std::chrono::steady_clock::now();
    const auto spent = now - start;
    pausing = false;
    if (held_.load(std::memory_order_relaxed) != 0) {
      pausing = spent < kHeldPause;
      return spent > kHeldSpin;
    }
    const auto released = std::chrono::steady_clock::duration(released_.load(std::memory_order_relaxed));
    return spent > kSpin && now.time_since_epoch() - released > kSpin;
  }

  void wait_for_helpers(Job& job) {
    // Helpers usually finish within a few microseconds of the caller.
    const auto start = std::chrono::steady_clock::now();
    bool pausing = held_.load(std::memory_order_relaxed) != 0;
    for (unsigned spin = 0; helped(job); ++spin) {
      if ((spin & 7) == 7 && poll_over(start, pausing)) break;
      cpu_relax(pausing);
    }
    if (!helped(job)) return;
    done_waiters_.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
      uint32_t seen = done_.load(std::memory_order_seq_cst);
      if (!helped(job)) break;
      done_.wait(seen, std::memory_order_seq_cst);
    }
    done_waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Polls for newly published work for a short while; true when some came.
  bool poll_for_work(Worker& self, uint32_t seen) {
    self.polling.store(true, std::memory_order_relaxed);
    const auto start = std::chrono::steady_clock::now();
    bool pausing = held_.load(std::memory_order_relaxed) != 0;
    bool found = false;
    for (unsigned spin = 0;; ++spin) {
      if (published_.load(std::memory_order_acquire) != seen) {
        found = true;
        break;
      }
      if ((spin & 7) == 7 && poll_over(start, pausing)) break;
      cpu_relax(pausing);
    }
    self.polling.store(false, std::memory_order_relaxed);
    return found;
  }

  void worker_loop(Worker& self) {
    t_in_worker = true;
    bool may_poll = false;  // after work, or once woken
    for (;;) {
      Job* job;
      uint32_t seen;
      Worker* woken[kFanOut];
      size_t n_woken = 0;
      if (may_poll) {
        seen = published_.load(std::memory_order_acquire);
        job = take_latest(self);
        if (job != nullptr) {
          run_chunks(*job);
          leave(self);
          may_poll = listed_.load(std::memory_order_relaxed) > 1 ||
                     published_.load(std::memory_order_acquire) != seen || poll_for_work(self, seen);
          continue;
        }
      }
      {
        std::unique_lock<PoolMutex> lock(mu_);
        job = take_job_locked();
        if (job != nullptr) {
          n_woken = wake_some_locked(*job, woken);
        } else if (hold_to_wake_ != 0) {
          n_woken = wake_for_hold_locked(woken);
        }
        seen = published_.load(std::memory_order_relaxed);
        if (job == nullptr && !may_poll) {
          self.wake.store(0, std::memory_order_relaxed);
          idle_.push_back(&self);
          lock.unlock();
          notify(woken, n_woken);
          while (self.wake.load(std::memory_order_acquire) == 0) self.wake.wait(0, std::memory_order_acquire);
          if (trace::g_ring != nullptr && self.seat < trace::kSeats) trace::g_woken_at[self.seat] = trace::now_ns();
          // Woken, it polls before sleeping again, also when the job or the
          // hold it was woken for is gone: were it back among the sleepers
          // at once, the next wake of a hold would find it again rather
          // than one still asleep.
          may_poll = true;
          continue;
        }
      }
      if (job == nullptr) notify(woken, n_woken);
      if (job != nullptr) {
        notify(woken, n_woken);
        run_chunks(*job);
        release(job);
        // With no job listed but the one just run, and none published
        // since it was taken, there is nothing to look for under the lock,
        // which the job's caller is about to take to unlist it.
        if (listed_.load(std::memory_order_relaxed) <= 1 && published_.load(std::memory_order_acquire) == seen) {
          may_poll = poll_for_work(self, seen);
          continue;
        }
        may_poll = true;
        continue;
      }
      may_poll = poll_for_work(self, seen);
    }
  }

  // Grouped in cache lines by who writes them and when, so that the
  // caller's taking the lock or counting a waiter does not take from the
  // polling workers the line they watch for the next dispatch.
  // Written at hold and unhold, read by every poll.
  alignas(64) std::atomic<uint32_t> held_{0};  // PoolHolds alive
  // When a PoolHold last ended, steady_clock ticks since its epoch.
  std::atomic<std::chrono::steady_clock::rep> released_{0};
  // Written once per dispatch by its caller, watched by the polling workers.
  alignas(64) std::atomic<uint32_t> published_{0};
  std::atomic<size_t> listed_{0};  // jobs in the list
  std::atomic<Job*> latest_{nullptr};  // the job posted last while listed
  // Guarded by the mutex.
  alignas(64) PoolMutex mu_;
  Job* head_ = nullptr;  // jobs being dispatched, oldest first
  Job* tail_ = nullptr;
  std::vector<Worker*> idle_;  // sleeping workers
  size_t hold_to_wake_ = 0;    // sleepers a hold still wakes
  alignas(64) std::atomic<uint32_t> done_{0};
  std::atomic<uint32_t> done_waiters_{0};
  // Set when the pool is made.
  alignas(64) std::unique_ptr<Worker[]> workers_;
  std::vector<std::thread> threads_;
};

// The cores this process may run on (its affinity mask, which container
// limits and taskset narrow), else what the machine reports.
size_t usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

Pool& pool() {
  // Function-local static: built on first use in storage of its own (so
  // making it allocates nothing that could fail), never destroyed (workers
  // sleep forever once the process has no more work).
  alignas(Pool) static unsigned char storage[sizeof(Pool)];
  static Pool* p = [] {
    size_t cores = usable_cores();
    return new (storage) Pool(cores > 1 ? cores - 1 : 0);
  }();
  return *p;
}

// The loop runner installed on this thread (a team's leader), if any.
thread_local pool_hooks::LoopRunner* t_runner = nullptr;

}  // namespace

namespace pool_hooks {

struct PostedJob : Job {};

LoopRunner* exchange_loop_runner(LoopRunner* runner) {
  LoopRunner* previous = t_runner;
  t_runner = runner;
  return previous;
}

bool in_loop() { return t_in_worker; }

InLoop::InLoop() : was_(t_in_worker) { t_in_worker = true; }
InLoop::~InLoop() { t_in_worker = was_; }

WorkerPosting::WorkerPosting(size_t seats, void* context, void (*work)(void*, size_t)) : job_(nullptr) {
  if (seats == 0) return;
  job_ = new PostedJob;
  job_->iterations = seats;
  job_->chunk = 1;
  job_->context = context;
  job_->work = work;
  deal_lanes(*job_, 1);  // seats go to whichever worker is free
  pool().post(*job_, 0);
}

void WorkerPosting::withdraw() {
  if (job_ == nullptr) return;
  pool().retire(*job_);
  delete job_;
  job_ = nullptr;
}

}  // namespace pool_hooks

size_t parallel_thread_count() { return pool().thread_count(); }

PoolHold::PoolHold() { pool().hold(); }
PoolHold::~PoolHold() { pool().unhold(); }

void dispatch_apply_f(size_t iterations, void* context, void (*work)(void*, size_t)) {
  if (iterations == 0) return;
  if (iterations == 1 || t_in_worker) {
    for (size_t i = 0; i < iterations; ++i) work(context, i);
    return;
  }
  if (t_runner != nullptr) {
    t_runner->run_loop(iterations, context, work);
    return;
  }
  Pool& p = pool();
  size_t threads = p.thread_count();
  if (threads == 1) {
    for (size_t i = 0; i < iterations; ++i) work(context, i);
    return;
  }
  Job job;
  job.iterations = iterations;
  // A few chunks per thread keeps uneven iterations balanced while large
  // counts of tiny iterations do not all meet on one counter.
  job.chunk = std::max<size_t>(1, iterations / (threads * 4));
  job.context = context;
  job.work = work;
  deal_lanes(job, threads);
  p.run(job);
}

}  // namespace vorn
