// A memo of state-set steps for the run-time automaton. The mask walks tens
// of thousands of trie nodes per generated token, and nearly all of them step
// one of a few state sets by one of a few kinds of byte. So sets are interned
// as small numbers, bytes are grouped into classes that no transition tells
// apart, and each (set, class) step is computed once per generation. The memo
// changes no result: a step is the epsilon closure of the byte's targets,
// exactly as state_set_step computes it.
#pragma once
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "generation/constraint.h"

namespace vorn {

class ConstraintStepCache {
 public:
  static constexpr int32_t kDead = -1;  // the empty set
  // Sets kept between walks; past this the memo starts again, so a long
  // generation over a large automaton holds bounded memory.
  static constexpr size_t kMaxSets = 16384;

  // Groups the bytes of `c`'s transitions into classes; `c` must outlive
  // the cache and its states must not change.
  explicit ConstraintStepCache(const Constraint& c);

  // A memo entry: the row of the set a step reaches (the set's number times
  // class_count(); kDead, or kUnknown while not yet computed) with that
  // set's least distance to acceptance, so the mask's walk reads both with
  // one load and goes on from the row without a multiplication.
  struct Step {
    int32_t row;
    int32_t distance;
  };
  static constexpr int32_t kUnknown = -2;

  uint8_t byte_class(uint8_t byte) const { return class_of_[byte]; }
  uint32_t class_count() const { return classes_; }

  // The number of `set` (ascending, no duplicates), kDead when it is empty.
  int32_t intern(const std::vector<int32_t>& set);
  // The set reached from set `from` (not kDead) by a byte of class `cls`.
  int32_t step(int32_t from, uint8_t cls) {
    Step next = steps_[static_cast<size_t>(from) * classes_ + cls];
    if (next.row == kUnknown) next = compute(from * static_cast<int32_t>(classes_), cls);
    return next.row < 0 ? kDead : next.row / static_cast<int32_t>(classes_);
  }
  // The memo as rows of class_count() entries, one row per set; valid until
  // the next compute or trim.
  const Step* rows() const { return steps_.data(); }
  // Fills the memo entry of (row, cls).
  Step compute(int32_t row, uint8_t cls);
  int32_t min_distance(int32_t set) const { return min_distance_[set]; }
  bool holds(int32_t set, int32_t state) const;
  bool has_byte_transition(int32_t set) const;
  void copy_states(int32_t set, std::vector<int32_t>& out) const;

  // Forgets every set when more than kMaxSets are held; numbers handed out
  // before are then invalid.
  void trim();

 private:
  int32_t intern_span(const int32_t* states, size_t count);

  const Constraint& c_;
  uint8_t class_of_[256];
  uint8_t representative_[256];
  uint32_t classes_ = 0;
  std::vector<Step> steps_;  // set * classes_ + class -> the step
  std::vector<int32_t> min_distance_;
  std::vector<uint32_t> set_begin_;  // set i is set_states_[set_begin_[i], set_begin_[i + 1])
  std::vector<int32_t> set_states_;
  std::unordered_multimap<uint64_t, int32_t> index_;  // hash of the states -> set
  // Scratch of compute: the states reached and a per-state visit stamp.
  std::vector<int32_t> work_;
  std::vector<uint32_t> stamp_;
  uint32_t epoch_ = 0;
};

}  // namespace vorn
