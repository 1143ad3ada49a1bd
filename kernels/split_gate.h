// Which nodes may spread over the worker pool: those whose work, estimated
// from their shapes when the engine is created, reaches kMinSplitWork.
// Below it a dispatch costs about what it saves (waking workers, caches
// split between cores) and on an otherwise quiet machine, where idle cores
// sleep deeply, often more, so such a node stays on the calling thread
// whatever its kernel's own thresholds would do. The decision is made from
// the node's shape alone, never from the pool's size, and no kernel's
// result depends on how its work is cut: the bits are the same either way.
#pragma once
#include <cstdint>

#include "container/records.h"
#include "kernels/cpu_state.h"

namespace vorn {

// Estimated time of the node on one thread, in picoseconds (a rough model
// per operator class: multiply-adds, elements moved, exponentials, window
// taps).
uint64_t cpu_node_work(const CpuState& state, const NodeRecord& node);

// About 20 microseconds of one thread's work: twice what a dispatch costs
// when it must wake sleeping workers (bench/parallel_bench, "cold").
inline constexpr uint64_t kMinSplitWork = uint64_t{20} * 1000 * 1000;

inline bool cpu_node_stays_serial(const CpuState& state, const NodeRecord& node) {
  return cpu_node_work(state, node) < kMinSplitWork;
}

// Set on the calling thread while the executor runs a node that stays
// there; every split helper of the kernels then runs its work in order on
// that thread.
inline thread_local bool t_cpu_node_serial = false;

inline bool cpu_split_allowed() { return !t_cpu_node_serial; }

class CpuSerialNode {
 public:
  explicit CpuSerialNode(bool serial) : outer_(t_cpu_node_serial) { t_cpu_node_serial = outer_ || serial; }
  ~CpuSerialNode() { t_cpu_node_serial = outer_; }
  CpuSerialNode(const CpuSerialNode&) = delete;
  CpuSerialNode& operator=(const CpuSerialNode&) = delete;

 private:
  bool outer_;
};

}  // namespace vorn
