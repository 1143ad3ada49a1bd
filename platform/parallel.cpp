#include "platform/parallel.h"

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

thread_local bool t_in_worker = false;

class Pool {
 public:
  explicit Pool(size_t workers) {
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { worker_loop(); });
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
    wake_.notify_all();
    run_iterations(job);
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

Pool& pool() {
  // Function-local static: built on first use, never destroyed (workers
  // sleep forever once the process has no more work).
  static Pool* p = [] {
    unsigned cores = std::thread::hardware_concurrency();
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
