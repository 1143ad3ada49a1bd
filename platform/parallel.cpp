#include "platform/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn {

namespace {

struct Job {
  size_t iterations;
  void* context;
  void (*work)(void*, size_t);
  std::atomic<size_t> next{0};
  size_t workers_inside = 0;  // guarded by the pool mutex
};

// Set while a thread runs iterations of a job (a worker, or a caller inside
// its own dispatch): a dispatch from there runs serially, so nested loops
// never queue behind themselves.
thread_local bool t_in_worker = false;

class Pool {
 public:
  explicit Pool(size_t workers) {
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) {
      threads_.emplace_back([this] { worker_loop(); });
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
    {
      std::lock_guard<std::mutex> lock(mu_);
      jobs_.push_back(&job);
    }
    // Wake only as many workers as there are iterations beyond the caller's.
    size_t helpers = job.iterations - 1;
    if (helpers >= threads_.size()) {
      wake_.notify_all();
    } else {
      for (size_t i = 0; i < helpers; ++i) wake_.notify_one();
    }
    t_in_worker = true;
    run_iterations(job);
    t_in_worker = false;
    std::unique_lock<std::mutex> lock(mu_);
    remove_locked(&job);
    done_.wait(lock, [&] { return job.workers_inside == 0; });
  }

 private:
  static void run_iterations(Job& job) {
    for (;;) {
      size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
      if (i >= job.iterations) return;
      job.work(job.context, i);
    }
  }

  void remove_locked(Job* job) {
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
      if (*it == job) {
        jobs_.erase(it);
        return;
      }
    }
  }

  void worker_loop() {
    t_in_worker = true;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      wake_.wait(lock, [&] { return !jobs_.empty(); });
      Job* job = jobs_.front();
      ++job->workers_inside;
      lock.unlock();
      run_iterations(*job);
      lock.lock();
      remove_locked(job);
      if (--job->workers_inside == 0) done_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> jobs_;
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
  // Function-local static: built on first use, never destroyed (workers
  // sleep forever once the process has no more work).
  static Pool* p = [] {
    size_t cores = usable_cores();
    return new Pool(cores > 1 ? cores - 1 : 0);
  }();
  return *p;
}

}  // namespace

size_t parallel_thread_count() { return pool().thread_count(); }

void dispatch_apply_f(size_t iterations, void* context, void (*work)(void*, size_t)) {
  if (iterations == 0) return;
  if (iterations == 1 || t_in_worker) {
    for (size_t i = 0; i < iterations; ++i) work(context, i);
    return;
  }
  Pool& p = pool();
  if (p.thread_count() == 1) {
    for (size_t i = 0; i < iterations; ++i) work(context, i);
    return;
  }
  Job job;
  job.iterations = iterations;
  job.context = context;
  job.work = work;
  p.run(job);
}

}  // namespace vorn
