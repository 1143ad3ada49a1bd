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

// Polling threads yield rather than pause: on a busy machine the threads
// they wait for may be queued behind them on the same core.
inline void cpu_relax() { std::this_thread::yield(); }

struct Job {
  size_t iterations;
  size_t chunk;
  void* context;
  void (*work)(void*, size_t);
  Job* next_job = nullptr;  // in the pool's list, guarded by the pool mutex
  size_t to_wake = 0;       // sleepers still to wake for it, same guard
  alignas(64) std::atomic<size_t> next{0};
  // Workers that hold a pointer to this job. Taken under the pool mutex
  // while the job is listed, so once the caller has unlisted it the count
  // only falls and the job may leave the caller's stack when it is zero.
  alignas(64) std::atomic<uint32_t> refs{0};
  pool_hooks::FirstError error;
};

struct alignas(64) Worker {
  std::atomic<uint32_t> wake{0};  // futex word: 1 = told to look for work
};

// Set while a thread runs iterations of a job (a worker, or a caller inside
// its own dispatch): a dispatch from there runs serially, so nested loops
// never queue behind themselves.
thread_local bool t_in_worker = false;

class Pool {
 public:
  // Starts as many of the workers as the system lets it: under a process
  // limit or address-space pressure a thread may fail to start, and the
  // pool then runs with those it has (none: the caller works alone). Never
  // throws.
  explicit Pool(size_t workers) noexcept {
    try {
      workers_ = std::make_unique<Worker[]>(workers);
      idle_.reserve(workers);
      threads_.reserve(workers);
    } catch (const std::bad_alloc&) {
      return;
    }
    for (size_t i = 0; i < workers; ++i) {
      Worker* w = &workers_[i];
      try {
        threads_.emplace_back([this, w] { worker_loop(*w); });
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
    post(job, 1);
    t_in_worker = true;
    run_chunks(job);
    t_in_worker = false;
    retire(job);
    job.error.rethrow();
  }

  void hold() {
    Worker* woken[kFanOut];
    size_t n;
    {
      std::lock_guard<std::mutex> lock(mu_);
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
      std::lock_guard<std::mutex> lock(mu_);
      job.next_job = nullptr;
      if (tail_ != nullptr) {
        tail_->next_job = &job;
      } else {
        head_ = &job;
      }
      tail_ = &job;
      listed_.fetch_add(1, std::memory_order_relaxed);
      published_.fetch_add(1, std::memory_order_release);
      size_t chunks = (job.iterations + job.chunk - 1) / job.chunk;
      size_t polling = polling_.load(std::memory_order_relaxed);
      size_t wanted = chunks > caller_takes ? chunks - caller_takes : 0;
      job.to_wake = wanted > polling ? wanted - polling : 0;
      n_woken = wake_some_locked(job, woken);
    }
    notify(woken, n_woken);
  }

  // Unlists the job (no thread takes a chunk of it from now on) and waits
  // for the threads that hold one.
  void retire(Job& job) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      unlist_locked(&job);
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

  static void run_chunks(Job& job) {
    for (;;) {
      size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
      if (begin >= job.iterations) return;
      size_t end = std::min(job.iterations, begin + job.chunk);
      try {
        for (size_t i = begin; i < end; ++i) job.work(job.context, i);
      } catch (...) {
        // No chunk is handed out after this one: the loop has failed.
        job.error.capture();
        job.next.store(job.iterations, std::memory_order_relaxed);
        return;
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
      if (j->next.load(std::memory_order_relaxed) < j->iterations) {
        j->refs.fetch_add(1, std::memory_order_relaxed);
        return j;
      }
    }
    return nullptr;
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
  bool poll_over(std::chrono::steady_clock::time_point start) const {
    const auto now = std::chrono::steady_clock::now();
    const auto spent = now - start;
    if (held_.load(std::memory_order_relaxed) != 0) return spent > kHeldSpin;
    const auto released = std::chrono::steady_clock::duration(released_.load(std::memory_order_relaxed));
    return spent > kSpin && now.time_since_epoch() - released > kSpin;
  }

  void wait_for_helpers(Job& job) {
    // Helpers usually finish within a few microseconds of the caller.
    const auto start = std::chrono::steady_clock::now();
    for (unsigned spin = 0; job.refs.load(std::memory_order_acquire) != 0; ++spin) {
      if ((spin & 7) == 7 && poll_over(start)) break;
      cpu_relax();
    }
    if (job.refs.load(std::memory_order_acquire) == 0) return;
    done_waiters_.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
      uint32_t seen = done_.load(std::memory_order_seq_cst);
      if (job.refs.load(std::memory_order_seq_cst) == 0) break;
      done_.wait(seen, std::memory_order_seq_cst);
    }
    done_waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Polls for newly published work for a short while; true when some came.
  bool poll_for_work(uint32_t seen) {
    polling_.fetch_add(1, std::memory_order_relaxed);
    const auto start = std::chrono::steady_clock::now();
    bool found = false;
    for (unsigned spin = 0;; ++spin) {
      if (published_.load(std::memory_order_acquire) != seen) {
        found = true;
        break;
      }
      if ((spin & 7) == 7 && poll_over(start)) break;
      cpu_relax();
    }
    polling_.fetch_sub(1, std::memory_order_relaxed);
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
      {
        std::unique_lock<std::mutex> lock(mu_);
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
          may_poll = poll_for_work(seen);
          continue;
        }
        may_poll = true;
        continue;
      }
      may_poll = poll_for_work(seen);
    }
  }

  std::mutex mu_;
  Job* head_ = nullptr;  // jobs being dispatched, oldest first
  Job* tail_ = nullptr;
  std::vector<Worker*> idle_;  // sleeping workers, guarded by mu_
  size_t hold_to_wake_ = 0;    // sleepers a hold still wakes, same guard
  std::atomic<uint32_t> published_{0};
  std::atomic<size_t> listed_{0};  // jobs in the list
  std::atomic<size_t> polling_{0};
  std::atomic<uint32_t> held_{0};  // PoolHolds alive
  // When a PoolHold last ended, steady_clock ticks since its epoch.
  std::atomic<std::chrono::steady_clock::rep> released_{0};
  std::atomic<uint32_t> done_{0};
  std::atomic<uint32_t> done_waiters_{0};
  std::unique_ptr<Worker[]> workers_;
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
  p.run(job);
}

}  // namespace vorn
