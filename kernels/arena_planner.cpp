#include "kernels/arena_planner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"

namespace vorn {

namespace {

constexpr uint64_t kNoBlock = ~uint64_t{0};

bool channel_concat(const NodeRecord& n) {
  return n.op() == op::Concat && (n.attr_i64(attr::Concat::kAxis) == 1 || n.attr_i64(attr::Concat::kAxis) == -3) &&
         n.input_count() >= 2 && n.input_count() <= kNodeMaxInputs;
}

// The inputs of `inner` are the first inputs of `outer`, in order.
bool inputs_prefix(const NodeRecord& inner, const NodeRecord& outer) {
  if (inner.input_count() > outer.input_count()) return false;
  for (uint64_t k = 0; k < inner.input_count(); ++k)
    if (inner.input(k) != outer.input(k)) return false;
  return true;
}

bool unplaced_activation(const ArenaPlanner& p, const CpuState& s, uint64_t id) {
  return id < s.value_count && !p.placed[id] && s.values[id].kind() == kValueActivation;
}

// Smallest recorded block of at least need bytes whose occupant is dead
// before node `bound`; the earlier block wins a tie.
uint64_t best_fit(const ArenaPlanner& p, int32_t bound, uint64_t need) {
  uint64_t best = kNoBlock;
  for (uint64_t b = 0; b < p.block_count; ++b) {
    if (p.block_last_use[b] >= bound || p.block_size[b] < need) continue;
    if (best == kNoBlock || p.block_size[b] < p.block_size[best]) best = b;
  }
  return best;
}

// Finds space for `need` bytes free from node `start` and kept until `end`.
uint64_t take_space(ArenaPlanner& p, uint64_t& cursor, int32_t start, int32_t end, uint64_t need) {
  uint64_t b = best_fit(p, start, need);
  if (b != kNoBlock) {
    p.block_last_use[b] = end;
    return p.block_offset[b];
  }
  uint64_t offset = cursor;
  if (p.block_count < kPlannerMaxBlocks) {
    p.block_offset[p.block_count] = cursor;
    p.block_size[p.block_count] = need;
    p.block_last_use[p.block_count] = end;
    ++p.block_count;
  }
  cursor += need;
  return offset;
}

void place(ArenaPlanner& p, uint64_t id, uint64_t offset) {
  p.offset[id] = offset;
  p.placed[id] = 1;
}

// Places the inputs of channel Concat i back to back inside its output when
// every condition holds; otherwise leaves everything to the main pass.
void place_concat(ArenaPlanner& p, const CpuState& s, uint64_t i, uint64_t& cursor) {
  const NodeRecord& n = s.nodes[i];
  uint64_t out = n.output(0);
  if (!unplaced_activation(p, s, out)) return;
  const ValueRecord& ov = s.values[out];
  if (ov.rank() != 4 || ov.dim(0) != 1) return;
  int32_t start = static_cast<int32_t>(i);
  int32_t end = p.last_use[out];
  uint64_t sum = 0;
  for (uint64_t k = 0; k < n.input_count(); ++k) {
    uint64_t id = n.input(k);
    if (!unplaced_activation(p, s, id) || s.values[id].bytes() % 64 != 0 || p.producer[id] < 0 ||
        id == out)
      return;
    for (uint64_t j = 0; j < k; ++j)
      if (n.input(j) == id) return;
    sum += s.values[id].bytes();
    start = std::min(start, p.first_write[id]);
    end = std::max(end, p.last_use[id]);
  }
  // The inputs must fill the output exactly, or they would spill into space
  // the plan gives to other values.
  if (sum != ov.bytes()) return;
  for (uint64_t j = i + 1; j < s.node_count; ++j) {
    const NodeRecord& later = s.nodes[j];
    if (channel_concat(later) && later.input_count() > n.input_count() && inputs_prefix(n, later))
      return;  // the longer Concat places this one's output with its own
  }
  // Earlier, shorter Concats of a prefix of the inputs share the same place.
  uint64_t nested[64];
  uint64_t nested_count = 0;
  for (uint64_t m = 0; m < i; ++m) {
    const NodeRecord& e = s.nodes[m];
    if (!channel_concat(e) || e.input_count() >= n.input_count() || !inputs_prefix(e, n)) continue;
    uint64_t mo = e.output(0);
    if (!unplaced_activation(p, s, mo) || s.values[mo].rank() != 4 || s.values[mo].dim(0) != 1)
      continue;
    uint64_t prefix = 0;
    bool is_input = false;
    for (uint64_t k = 0; k < n.input_count(); ++k) is_input |= n.input(k) == mo;
    for (uint64_t k = 0; k < e.input_count(); ++k) prefix += s.values[e.input(k)].bytes();
    if (is_input || mo == out || prefix != s.values[mo].bytes() || nested_count == 64) continue;
    nested[nested_count++] = mo;
    start = std::min(start, p.first_write[mo] < 0 ? static_cast<int32_t>(m) : p.first_write[mo]);
    end = std::max(end, p.last_use[mo]);
  }
  uint64_t offset = take_space(p, cursor, start, end, arena_padded(ov.bytes()));
  place(p, out, offset);
  for (uint64_t k = 0; k < nested_count; ++k)
    if (!p.placed[nested[k]]) place(p, nested[k], offset);
  uint64_t at = offset;
  for (uint64_t k = 0; k < n.input_count(); ++k) {
    place(p, n.input(k), at);
    at += s.values[n.input(k)].bytes();
  }
}

}  // namespace

ArenaPlanner* arena_planner_new() {
  return static_cast<ArenaPlanner*>(std::calloc(1, sizeof(ArenaPlanner)));
}

void arena_planner_free(ArenaPlanner* planner) { std::free(planner); }

uint64_t arena_plan(ArenaPlanner& p, const CpuState& s) {
  const uint64_t values = s.value_count;
  for (uint64_t id = 0; id < values; ++id) {
    p.last_use[id] = -1;
    p.producer[id] = -1;
    p.first_write[id] = -1;
    p.offset[id] = 0;
    p.placed[id] = 0;
  }
  p.block_count = 0;
  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    const int32_t at = static_cast<int32_t>(i);
    if (n.output_count() == 1 && n.output(0) < values) p.producer[n.output(0)] = at;
    for (uint64_t k = 0; k < n.input_count() && k < kNodeMaxInputs; ++k)
      if (n.input(k) < values) p.last_use[n.input(k)] = std::max(p.last_use[n.input(k)], at);
    for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k) {
      uint64_t id = n.output(k);
      if (id >= values) continue;
      p.last_use[id] = std::max(p.last_use[id], at);
      if (p.first_write[id] < 0) p.first_write[id] = at;
    }
  }

  // Reserved part: weights take no space, empty values share the zeroed
  // first 64 bytes, graph inputs and outputs never share.
  uint64_t cursor = 64;
  for (uint64_t id = 0; id < values; ++id) {
    const ValueRecord& v = s.values[id];
    if (v.kind() == kValueWeight) {
      p.placed[id] = 1;
    } else if (v.bytes() == 0) {
      place(p, id, 0);
    } else if (v.kind() == kValueGraphInput || v.kind() == kValueGraphOutput) {
      place(p, id, cursor);
      cursor += arena_padded(v.bytes());
    }
  }

  for (uint64_t i = 0; i < s.node_count; ++i)
    if (channel_concat(s.nodes[i])) place_concat(p, s, i, cursor);
  // Concat regions are kept for the whole pass: the main pass never reuses
  // them.
  for (uint64_t b = 0; b < p.block_count; ++b)
    p.block_last_use[b] = static_cast<int32_t>(s.node_count);

  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k) {
      uint64_t id = n.output(k);
      if (id >= values || p.placed[id]) continue;
      uint64_t offset = take_space(p, cursor, static_cast<int32_t>(i), p.last_use[id],
                                   arena_padded(s.values[id].bytes()));
      place(p, id, offset);
    }
  }
  // Activations no node writes keep a place of their own.
  for (uint64_t id = 0; id < values; ++id) {
    if (p.placed[id]) continue;
    place(p, id, cursor);
    cursor += arena_padded(s.values[id].bytes());
  }
  return cursor;
}

bool arena_bind(CpuState& s, const ArenaPlanner& p, uint64_t size) {
  auto* arena = static_cast<uint8_t*>(std::aligned_alloc(64, size));
  if (arena == nullptr) return false;
  std::memset(arena, 0, 64);
  s.arena = arena;
  s.arena_size = size;
  for (uint64_t id = 0; id < s.value_count; ++id)
    if (s.values[id].kind() != kValueWeight) s.data[id] = arena + p.offset[id];
  return true;
}

}  // namespace vorn
