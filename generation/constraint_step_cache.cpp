#include "generation/constraint_step_cache.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_set>

namespace vorn {

namespace {

struct ByteSetHash {
  size_t operator()(const ByteSet& s) const {
    uint64_t h = 0x9e3779b97f4a7c15ull;
    for (uint64_t w : s.words) h = (h ^ w) * 0xff51afd7ed558ccdull;
    return static_cast<size_t>(h ^ (h >> 32));
  }
};

uint64_t hash_states(const int32_t* states, size_t count) {
  uint64_t h = 0xcbf29ce484222325ull ^ count;
  for (size_t i = 0; i < count; ++i) h = (h ^ static_cast<uint32_t>(states[i])) * 0x100000001b3ull;
  return h ^ (h >> 29);
}

}  // namespace

ConstraintStepCache::ConstraintStepCache(const Constraint& c) : c_(c), stamp_(c.states.size(), 0) {
  // Two bytes share a class when every transition's set holds both or
  // neither: refine the one class of all bytes by each distinct set.
  std::unordered_set<ByteSet, ByteSetHash> sets;
  for (const ConstraintState& state : c.states)
    for (const ConstraintTransition& t : state)
      if (!t.epsilon) sets.insert(t.bytes);
  std::memset(class_of_, 0, sizeof class_of_);
  classes_ = 1;
  for (const ByteSet& s : sets) {
    uint32_t inside[256] = {}, total[256] = {};
    for (unsigned b = 0; b < 256; ++b) {
      ++total[class_of_[b]];
      if (s.has(static_cast<uint8_t>(b))) ++inside[class_of_[b]];
    }
    int32_t split[256];
    std::fill(split, split + 256, -1);
    for (unsigned b = 0; b < 256; ++b) {
      uint8_t old = class_of_[b];
      if (!s.has(static_cast<uint8_t>(b)) || inside[old] == total[old]) continue;
      if (split[old] < 0) split[old] = static_cast<int32_t>(classes_++);
      class_of_[b] = static_cast<uint8_t>(split[old]);
    }
  }
  for (int b = 255; b >= 0; --b) representative_[class_of_[b]] = static_cast<uint8_t>(b);
  set_begin_.push_back(0);
}

void ConstraintStepCache::trim() {
  if (min_distance_.size() <= kMaxSets) return;
  steps_.clear();
  min_distance_.clear();
  set_begin_.assign(1, 0);
  set_states_.clear();
  index_.clear();
}

int32_t ConstraintStepCache::intern(const std::vector<int32_t>& set) {
  return set.empty() ? kDead : intern_span(set.data(), set.size());
}

int32_t ConstraintStepCache::intern_span(const int32_t* states, size_t count) {
  uint64_t h = hash_states(states, count);
  auto [lo, hi] = index_.equal_range(h);
  for (auto it = lo; it != hi; ++it) {
    int32_t id = it->second;
    size_t begin = set_begin_[id], n = set_begin_[id + 1] - begin;
    if (n == count && std::equal(states, states + count, set_states_.begin() + begin)) return id;
  }
  // Rows are numbered in 32 bits: more sets than that could not be held
  // anyway.
  if ((min_distance_.size() + 1) * classes_ > static_cast<size_t>(INT32_MAX)) throw std::bad_alloc();
  int32_t id = static_cast<int32_t>(min_distance_.size());
  int32_t least = kConstraintUnreachable;
  for (size_t i = 0; i < count; ++i) least = std::min(least, c_.distance[states[i]]);
  set_states_.insert(set_states_.end(), states, states + count);
  set_begin_.push_back(static_cast<uint32_t>(set_states_.size()));
  min_distance_.push_back(least);
  steps_.resize(steps_.size() + classes_, Step{kUnknown, 0});
  index_.emplace(h, id);
  return id;
}

ConstraintStepCache::Step ConstraintStepCache::compute(int32_t row, uint8_t cls) {
  int32_t from = row / static_cast<int32_t>(classes_);
  uint8_t byte = representative_[cls];
  if (++epoch_ == 0) {
    std::fill(stamp_.begin(), stamp_.end(), 0);
    epoch_ = 1;
  }
  work_.clear();
  for (uint32_t i = set_begin_[from]; i < set_begin_[from + 1]; ++i) {
    for (const ConstraintTransition& t : c_.states[set_states_[i]]) {
      if (t.epsilon || !t.bytes.has(byte) || stamp_[t.target] == epoch_) continue;
      stamp_[t.target] = epoch_;
      work_.push_back(static_cast<int32_t>(t.target));
    }
  }
  for (size_t i = 0; i < work_.size(); ++i) {
    for (const ConstraintTransition& t : c_.states[work_[i]]) {
      if (!t.epsilon || stamp_[t.target] == epoch_) continue;
      stamp_[t.target] = epoch_;
      work_.push_back(static_cast<int32_t>(t.target));
    }
  }
  std::sort(work_.begin(), work_.end());
  int32_t next = work_.empty() ? kDead : intern_span(work_.data(), work_.size());
  Step step = next == kDead ? Step{kDead, kConstraintUnreachable}
                            : Step{next * static_cast<int32_t>(classes_), min_distance_[next]};
  steps_[static_cast<size_t>(row) + cls] = step;
  return step;
}

bool ConstraintStepCache::holds(int32_t set, int32_t state) const {
  auto begin = set_states_.begin() + set_begin_[set], end = set_states_.begin() + set_begin_[set + 1];
  return std::binary_search(begin, end, state);
}

bool ConstraintStepCache::has_byte_transition(int32_t set) const {
  for (uint32_t i = set_begin_[set]; i < set_begin_[set + 1]; ++i)
    for (const ConstraintTransition& t : c_.states[set_states_[i]])
      if (!t.epsilon) return true;
  return false;
}

void ConstraintStepCache::copy_states(int32_t set, std::vector<int32_t>& out) const {
  out.assign(set_states_.begin() + set_begin_[set], set_states_.begin() + set_begin_[set + 1]);
}

}  // namespace vorn
