#include "platform/dispatch_queue.h"

#include <sched.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace vorn {

namespace {

// How long a queue thread waits for work before it ends.
constexpr auto kIdleExit = std::chrono::seconds(3);

struct Queue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::function<void()>> jobs;
  uint32_t threads = 0;  // running, idle ones included
  uint32_t idle = 0;     // waiting for work
  uint32_t max_threads = 2;
};

uint32_t core_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<uint32_t>(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// Made by the first submission and never destroyed: a detached thread may
// still be inside it when the process exits.
Queue& queue() {
  static Queue* q = [] {
    Queue* made = new Queue;
    made->max_threads = std::max<uint32_t>(2, core_count());
    return made;
  }();
  return *q;
}

void queue_thread(Queue* q) {
  std::unique_lock<std::mutex> lock(q->mutex);
  for (;;) {
    if (q->jobs.empty()) {
      ++q->idle;
      const bool got = q->ready.wait_for(lock, kIdleExit, [q] { return !q->jobs.empty(); });
      --q->idle;
      if (!got) {
        --q->threads;
        return;
      }
    }
    std::function<void()> job = std::move(q->jobs.front());
    q->jobs.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // the block's captures go before the lock is taken again
    lock.lock();
  }
}

}  // namespace

struct DispatchGroup::State {
  std::mutex mutex;
  std::condition_variable done;
  uint64_t pending = 0;
};

DispatchGroup::DispatchGroup() : state_(std::make_unique<State>()) {}
DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::wait() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->done.wait(lock, [this] { return state_->pending == 0; });
}

void dispatch_group_async(const std::shared_ptr<DispatchGroup>& group, std::function<void()> block) {
  DispatchGroup::State* state = group->state_.get();
  // The job keeps the group alive until it has signalled it.
  std::function<void()> job = [group, state, block = std::move(block)] {
    block();
    std::lock_guard<std::mutex> lock(state->mutex);
    if (--state->pending == 0) state->done.notify_all();
  };
  {
    std::lock_guard<std::mutex> g(state->mutex);
    ++state->pending;
  }
  Queue& q = queue();
  std::unique_lock<std::mutex> lock(q.mutex);
  if (q.idle <= q.jobs.size() && q.threads < q.max_threads) {
    try {
      std::thread(queue_thread, &q).detach();
      ++q.threads;
    } catch (const std::exception&) {
      // A process limit or address-space pressure (std::system_error or
      // std::bad_alloc): the threads already running take the block; with
      // none, nobody would, so the caller runs it here. Queued blocks
      // always have a thread, so this one overtakes none.
      if (q.threads == 0) {
        lock.unlock();
        job();
        return;
      }
    }
  }
  try {
    q.jobs.push_back(std::move(job));
  } catch (...) {
    std::lock_guard<std::mutex> g(state->mutex);
    if (--state->pending == 0) state->done.notify_all();
    throw;
  }
  q.ready.notify_one();
}

}  // namespace vorn
