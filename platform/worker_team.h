// A worker team: the pool's workers staying with one caller for a run of
// dependent parallel loops (the commands of a command buffer), consecutive
// loops separated by a barrier instead of a fork and join each.
//
// While a team lives, every loop its maker (the leader) starts with
// dispatch_apply_f runs on the team: the leader publishes the loop, leader
// and members take its iterations in chunks (a loop of no more chunks than
// threads offers chunk i to seat i first, a longer one hands them out from
// one shared counter), and the leader returns once every chunk has
// finished. Between loops a member
// spins briefly for the next one, then sleeps until the leader publishes it;
// the leader, once it has no chunk left, spins briefly and then sleeps
// until the last chunk is done. Nothing yields in a loop. Chunks go to
// whoever asks first, so a member the system has taken off its core holds
// up only the chunk it was running, never a loop it has not reached (the
// others take its share); how a loop is cut depends on its iteration count
// alone, and which thread runs a chunk changes no result. An iteration
// that throws fails its loop as it does in the pool: the chunks not yet
// started are skipped and the leader rethrows the first exception.
//
// Members are the workers that were free when the team was made, or became
// free while it lives; a team that finds none runs its loops on the leader.
// When the team ends its members go back to the pool, which puts them to
// sleep after a short poll: an idle process uses no CPU.
//
// One team per thread at a time: a team made on a thread that already leads
// one, or inside a loop's iteration, stays inactive and leaves the loops to
// the pool as before. Loops started from inside an iteration run serially.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/parallel.h"

namespace vorn {

class WorkerTeam final : private pool_hooks::LoopRunner {
 public:
  WorkerTeam();
  ~WorkerTeam();
  WorkerTeam(const WorkerTeam&) = delete;
  WorkerTeam& operator=(const WorkerTeam&) = delete;

  // False when this team stands aside (see above).
  bool active() const { return active_; }
  // Loops the team has run.
  uint32_t loops() const { return loop_; }

 private:
  void run_loop(size_t iterations, void* context, void (*work)(void*, size_t)) override;
  static void take_seat(void* team, size_t seat);
  void member(size_t seat);
  // Claims and runs chunks of the published loop until none is left.
  void run_chunks(size_t seat);
  // Runs chunk c of the loop whose claim word is claim.
  void run_chunk(uint64_t claim, uint64_t c);
  void wait_for_chunks(uint32_t chunks);
  void publish(uint32_t epoch);

  // The loop being run: written by the leader before it publishes the loop,
  // read only by a thread that has claimed one of its chunks (the leader
  // writes the next loop's only once every chunk has finished).
  size_t iterations_ = 0;
  size_t chunk_ = 0;
  void* context_ = nullptr;
  void (*work_)(void*, size_t) = nullptr;
  uint32_t loop_ = 0;  // leader only: loops published
  pool_hooks::FirstError error_;  // of the current loop

  // The loop's number (high 32 bits), the next chunk to hand out (16 bits)
  // and its chunk count (low 16 bits): a claim is one compare-and-swap that
  // fails when the loop has changed since its reader saw it.
  alignas(64) std::atomic<uint64_t> claim_{0};
  // A loop of no more chunks than the team has seats gives chunk c to the
  // thread of seat c first (the leader's is 0, the members' 1 on): each
  // chunk's word holds the number of the loop that may still claim it, and
  // its claim (a compare-and-swap to that number with kTaken set) is the
  // only write to a line of its own, so that the threads starting a loop
  // do not queue on one word. The thread of seat c claims chunk c first,
  // then any other left.
  static constexpr size_t kSeatChunks = 64;
  struct alignas(64) SeatChunk {
    std::atomic<uint32_t> loop{0};
  };
  SeatChunk seat_chunks_[kSeatChunks];
  // Chunks of the current loop that have finished, and whether the leader
  // sleeps on that word waiting for the last.
  alignas(64) std::atomic<uint32_t> finished_{0};
  std::atomic<uint32_t> leader_asleep_{0};
  // Futex word of the members between loops: the number of the last loop
  // published (low 31 bits) and the disband bit; and how many sleep on it.
  alignas(64) std::atomic<uint32_t> epoch_{0};
  std::atomic<uint32_t> members_asleep_{0};

  alignas(64) bool active_ = false;
  pool_hooks::LoopRunner* previous_ = nullptr;
  std::optional<pool_hooks::WorkerPosting> posting_;
};

}  // namespace vorn
