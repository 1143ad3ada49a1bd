// Background work on a process-wide queue with groups to wait on: our
// stand-in for submitting a block to the user-initiated global queue within
// a dispatch group and waiting for the group.
//
// The queue's threads are started by the first submission that finds no
// idle thread (never at load), at most one per core the process may run on;
// a thread idle for a few seconds ends, so a process that stopped
// submitting keeps no thread and uses no CPU. Blocks run in submission
// order as threads free up; a block must not throw. The queue object is
// never destroyed, so a block still running at process exit touches nothing
// that exit tears down.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace vorn {

class DispatchGroup {
 public:
  DispatchGroup();
  ~DispatchGroup();
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;

  // Blocks until every block submitted within the group has returned. What
  // a block wrote before returning is visible to the waiter afterwards.
  void wait();

 private:
  friend void dispatch_group_async(const std::shared_ptr<DispatchGroup>&, std::function<void()>);
  struct State;
  std::unique_ptr<State> state_;
};

// Queues block to run on a background thread within group (the group stays
// alive until the block has returned, even when its owner lets go of it).
// When no queue thread runs and none can be started (a process limit), the
// block runs on the calling thread before this returns. Throws
// std::bad_alloc when the block cannot be queued; nothing is queued then.
void dispatch_group_async(const std::shared_ptr<DispatchGroup>& group, std::function<void()> block);

}  // namespace vorn
