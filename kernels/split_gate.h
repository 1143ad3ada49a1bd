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

// About 40 microseconds by the model above, which runs high for small
// convolutions: such a node takes about a third of its estimate on an
// AVX-512 core (at most twice that on an AVX2 one, half the vector width),
// and with its operands in the calling core's cache a split of it costs
// about what it saves, even with the workers held awake for the pass
// (fr_landmark's 1x1 and depthwise layers, estimated at 20-30, ran no
// faster on eight cores than on one; at 60, mobilenet_v3_small and the
// wakeword embedding lost on eight).
inline constexpr uint64_t kMinSplitWork = uint64_t{40} * 1000 * 1000;

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
