// Which nodes may spread over the worker pool: those whose work, estimated
// from their shapes when the engine is created, reaches their class's
// minimum, in a pass that spreads enough work in all.
// Below it a dispatch costs about what it saves (waking workers, caches
// split between cores) and on an otherwise quiet machine, where idle cores
// sleep deeply, often more, so such a node stays on the calling thread
// whatever its kernel's own thresholds would do. The decision is made from
// the node's shape and the engine's kernel form, never from the pool's size, and no kernel's
// result depends on how its work is cut: the bits are the same either way.
#pragma once
#include <cstdint>

#include "container/records.h"
#include "kernels/cpu_state.h"

namespace vorn {

// Estimated time of the node on one thread in the engine's kernel form, in
// picoseconds (a model per operator class: multiply-adds, elements moved,
// exponentials, window taps).
uint64_t cpu_node_work(const CpuState& state, const NodeRecord& node);

// The least estimated work for which a node spreads over the pool, by
// class: 25 microseconds for the moves, elementwise operations and
// products, 10 for a layer of a wider window, 8 for a pointwise layer and
// 6 for a depthwise one. Up to 25, 20 and 15 (the minimums at which they
// spread alone) such a layer spreads only when the producer of its input
// spreads; behind a node on the calling thread (a channel shuffle, a
// concatenation) it stays there too. Alternated at eight threads on a busy
// host, the lower minimums made fr_landmark 10% and fr_detect 7% faster;
// without the condition on the producer shufflenet_v2_x0_5's layers of
// 9-11 microseconds, between its shuffles, split and left it 15-20% slower.
// A minimum of 20 for every other node left the ViT's LayerNormalization
// and elementwise nodes of 15-40 microseconds split and the model 8% slower
// than 25. Nodes below stay on the calling thread.
inline constexpr uint64_t kMinSplitWork = uint64_t{25} * 1000 * 1000;
inline constexpr uint64_t kMinWindowSplitWork = uint64_t{10} * 1000 * 1000;
inline constexpr uint64_t kMinPointwiseSplitWork = uint64_t{8} * 1000 * 1000;
inline constexpr uint64_t kMinDepthwiseSplitWork = uint64_t{6} * 1000 * 1000;
inline constexpr uint64_t kMinPointwiseAloneWork = uint64_t{20} * 1000 * 1000;
inline constexpr uint64_t kMinDepthwiseAloneWork = uint64_t{15} * 1000 * 1000;
// A BatchNormalization left unfolded (one behind a Concat, in a densely
// connected block) spreads from 1 microsecond: its input was written by the
// threads of the layers before it and lies in their caches, so on the
// calling thread it fetches every byte from other cores (a [832, 14, 14]
// one took 85 microseconds there at eight threads against 27 on one core),
// where spread over them each thread fetches its own channels. Alternated
// at eight threads on a busy host, fr_expression ran 3% faster.
inline constexpr uint64_t kMinAffineSplitWork = uint64_t{1} * 1000 * 1000;
// A GlobalAveragePool behind a layer that spreads spreads from the same
// minimum, for the same reason: mobilenet_v2's [1280, 7, 7] one took 25
// microseconds at eight threads on the calling thread against 14 on one
// core. Behind a node on the calling thread it stays there.

bool cpu_node_stays_serial(const CpuState& state, const NodeRecord& node);

// Whether a pass spreads any node over the pool: only when the nodes that
// reach their minimum add up to enough work, or one of them is large enough
// to pay for its split alone. Such a pass holds the pool's workers awake
// between its layers (PoolHold), without which a split of a few tens of
// microseconds waits longer for sleeping workers to wake than it saves; a
// pass with less keeps every node on the calling thread, where it runs as
// fast as on one core: fr_landmark's three nodes above their minimum (15
// to 42 microseconds, 74 of its 400) ran slower split, held or not, than
// all of it on one core, where the wakeword melspectrogram's two
// convolutions of 50 microseconds, alone in their pass, ran 40% faster
// split over eight.
inline constexpr uint64_t kMinPassSpreadWork = uint64_t{150} * 1000 * 1000;
inline constexpr uint64_t kMinLoneSpreadWork = uint64_t{50} * 1000 * 1000;
bool cpu_pass_spreads(const CpuState& state);

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
