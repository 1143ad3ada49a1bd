#include "kernels/arena_planner.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "container/attr_words.h"
#include "container/op_codes.h"
#include "platform/large_pages.h"

namespace vorn {

namespace {

constexpr uint64_t kNoBlock = ~uint64_t{0};

bool channel_concat(const NodeRecord& n) {
  return n.op() == op::Concat && (n.attr_i64(attr::Concat::kAxis) == 1 || n.attr_i64(attr::Concat::kAxis) == -3) &&
         n.input_count() >= 1 && n.input_count() <= kNodeMaxInputs;
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

// Channel Concats of batch-1 images move no data when every input sits
// inside the output at its place. Such Concats tie their values into
// groups, each laid out in one region: a value's place is its offset from
// the group's root. A group holds leaves (values some other node writes,
// once) and views (Concat outputs, exactly tiled by their inputs, so by
// leaves); a Concat joins the groups of its output and inputs only when
// the offsets it asks for agree with those already tied and no two leaves
// of the joined group would share a byte. Any other Concat copies.

// The root of id's group; leaves group_delta[id] as id's offset from it.
int32_t group_find(ArenaPlanner& p, int32_t id) {
  int32_t root = id;
  int64_t delta = 0;
  while (p.group_parent[root] != root) {
    delta += p.group_delta[root];
    root = p.group_parent[root];
  }
  // Point the path at the root, each node keeping its offset.
  while (p.group_parent[id] != root && id != root) {
    const int32_t next = p.group_parent[id];
    const int64_t rest = delta - p.group_delta[id];
    p.group_parent[id] = root;
    p.group_delta[id] = delta;
    delta = rest;
    id = next;
  }
  return root;
}

// Concat i's output and inputs, when the node may be made a view: values
// of the arena nobody else writes, inputs distinct, of whole cache lines,
// filling the output exactly.
bool concat_may_view(const ArenaPlanner& p, const CpuState& s, uint64_t i, const uint8_t* writes) {
  const NodeRecord& n = s.nodes[i];
  const uint64_t out = n.output(0);
  if (!unplaced_activation(p, s, out) || writes[out] != 1 || p.first_write[out] != static_cast<int32_t>(i))
    return false;
  const ValueRecord& ov = s.values[out];
  if (ov.rank() != 4 || ov.dim(0) != 1) return false;
  uint64_t sum = 0;
  for (uint64_t k = 0; k < n.input_count(); ++k) {
    const uint64_t id = n.input(k);
    if (!unplaced_activation(p, s, id) || s.values[id].bytes() % 64 != 0 || p.producer[id] < 0 || id == out ||
        writes[id] != 1)
      return false;
    for (uint64_t j = 0; j < k; ++j)
      if (n.input(j) == id) return false;
    sum += s.values[id].bytes();
  }
  return sum == ov.bytes();
}

// Bytes [start, end) of a leaf, from its group's place.
struct Span {
  int64_t start, end;
};

// Joins the groups of Concat i's values when its layout agrees with them;
// `leaves` is scratch of one span per value.
void join_concat(ArenaPlanner& p, const CpuState& s, uint64_t i, Span* leaves) {
  const NodeRecord& n = s.nodes[i];
  const int32_t out = static_cast<int32_t>(n.output(0));
  if (p.group_parent[out] != out || p.group_next[out] != out) return;  // read before it is written
  // Each group's root at its offset from the output's place.
  int32_t roots[kNodeMaxInputs];
  int64_t at[kNodeMaxInputs];
  uint64_t count = 0;
  int64_t rel = 0;
  for (uint64_t k = 0; k < n.input_count(); ++k) {
    const int32_t id = static_cast<int32_t>(n.input(k));
    const int32_t r = group_find(p, id);
    const int64_t root_at = rel - (id == r ? 0 : p.group_delta[id]);
    rel += static_cast<int64_t>(s.values[id].bytes());
    uint64_t j = 0;
    while (j < count && roots[j] != r) ++j;
    if (j < count) {
      if (at[j] != root_at) return;
      continue;
    }
    if (r == out) return;
    roots[count] = r;
    at[count++] = root_at;
  }
  // No two leaves of the joined groups may overlap.
  uint64_t leaf_count = 0;
  for (uint64_t j = 0; j < count; ++j) {
    int32_t m = roots[j];
    do {
      if (!p.group_view[m]) {
        group_find(p, m);
        const int64_t start = at[j] + (m == roots[j] ? 0 : p.group_delta[m]);
        leaves[leaf_count++] = Span{start, start + static_cast<int64_t>(s.values[m].bytes())};
      }
      m = p.group_next[m];
    } while (m != roots[j]);
  }
  std::sort(leaves, leaves + leaf_count, [](const Span& x, const Span& y) { return x.start < y.start; });
  for (uint64_t j = 1; j < leaf_count; ++j)
    if (leaves[j].start < leaves[j - 1].end) return;
  for (uint64_t j = 0; j < count; ++j) {
    p.group_parent[roots[j]] = out;
    p.group_delta[roots[j]] = at[j];
    std::swap(p.group_next[out], p.group_next[roots[j]]);  // splice the rings
  }
  p.group_view[out] = 1;
}

// Gives the group of root a region from the first write of any member to
// the last use of any, and every member its place in it.
void place_group(ArenaPlanner& p, const CpuState& s, int32_t root, uint64_t& cursor) {
  int64_t low = 0, high = 0;
  int32_t start = static_cast<int32_t>(s.node_count), end = -1;
  int32_t m = root;
  do {
    group_find(p, m);
    const int64_t d = m == root ? 0 : p.group_delta[m];
    low = std::min(low, d);
    high = std::max(high, d + static_cast<int64_t>(s.values[m].bytes()));
    if (p.first_write[m] >= 0) start = std::min(start, p.first_write[m]);
    end = std::max(end, p.last_use[m]);
    m = p.group_next[m];
  } while (m != root);
  const uint64_t offset = take_space(p, cursor, start, end, arena_padded(static_cast<uint64_t>(high - low)));
  m = root;
  do {
    place(p, static_cast<uint64_t>(m), offset + static_cast<uint64_t>((m == root ? 0 : p.group_delta[m]) - low));
    m = p.group_next[m];
  } while (m != root);
}

// Lays out every channel Concat that may move no data, in node order.
void place_concats(ArenaPlanner& p, const CpuState& s, uint64_t& cursor) {
  const uint64_t values = s.value_count;
  auto* writes = static_cast<uint8_t*>(std::calloc(values + 1, 1));
  auto* leaves = static_cast<Span*>(std::malloc((values + 1) * sizeof(Span)));
  if (writes != nullptr && leaves != nullptr) {
    for (uint64_t id = 0; id < values; ++id) {
      p.group_parent[id] = static_cast<int32_t>(id);
      p.group_delta[id] = 0;
      p.group_next[id] = static_cast<int32_t>(id);
      p.group_view[id] = 0;
    }
    for (uint64_t i = 0; i < s.node_count; ++i)
      for (uint64_t k = 0; k < s.nodes[i].output_count() && k < kNodeMaxOutputs; ++k)
        if (s.nodes[i].output(k) < values && writes[s.nodes[i].output(k)] < 2) ++writes[s.nodes[i].output(k)];
    for (uint64_t i = 0; i < s.node_count; ++i)
      if (channel_concat(s.nodes[i]) && concat_may_view(p, s, i, writes)) join_concat(p, s, i, leaves);
    for (uint64_t i = 0; i < s.node_count; ++i) {
      const uint64_t out = s.nodes[i].output(0);
      if (!channel_concat(s.nodes[i]) || out >= values || !p.group_view[out] || p.placed[out]) continue;
      place_group(p, s, group_find(p, static_cast<int32_t>(out)), cursor);
    }
  }
  std::free(writes);
  std::free(leaves);
}

// Whether Flatten node i's output may be a view of its input: both plain
// activations of equal, non-zero size written by one output slot each,
// neither in a Concat group.
bool flatten_view(const ArenaPlanner& p, const CpuState& s, uint64_t i, const uint8_t* writes) {
  const NodeRecord& n = s.nodes[i];
  if (n.op() != op::Flatten || n.input_count() < 1 || n.output_count() != 1) return false;
  const uint64_t x = n.input(0), y = n.output(0);
  if (x >= s.value_count || y >= s.value_count || x == y) return false;
  const ValueRecord &vx = s.values[x], &vy = s.values[y];
  return vx.kind() == kValueActivation && vy.kind() == kValueActivation && vx.bytes() == vy.bytes() &&
         vx.bytes() > 0 && writes[x] == 1 && writes[y] == 1 && p.group_next[x] == static_cast<int32_t>(x) &&
         p.group_next[y] == static_cast<int32_t>(y);
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

  place_concats(p, s, cursor);
  // Concat regions are kept for the whole pass: the main pass never reuses
  // them.
  for (uint64_t b = 0; b < p.block_count; ++b)
    p.block_last_use[b] = static_cast<int32_t>(s.node_count);

  // Flatten views: an input's place lives as long as its view's (walked
  // backwards, so a view of a view reaches back to the first input).
  uint8_t* view = nullptr;
  if (p.flatten_views != 0) {
    auto* writes = static_cast<uint8_t*>(std::calloc(values + 1, 1));
    view = static_cast<uint8_t*>(std::calloc(s.node_count + 1, 1));
    if (writes != nullptr && view != nullptr) {
      for (uint64_t i = 0; i < s.node_count; ++i)
        for (uint64_t k = 0; k < s.nodes[i].output_count() && k < kNodeMaxOutputs; ++k)
          if (s.nodes[i].output(k) < values && writes[s.nodes[i].output(k)] < 2) ++writes[s.nodes[i].output(k)];
      for (uint64_t i = s.node_count; i-- > 0;) {
        if (!flatten_view(p, s, i, writes)) continue;
        view[i] = 1;
        const uint64_t x = s.nodes[i].input(0), y = s.nodes[i].output(0);
        p.last_use[x] = std::max(p.last_use[x], p.last_use[y]);
      }
    } else {
      std::free(view);
      view = nullptr;
    }
    std::free(writes);
  }

  for (uint64_t i = 0; i < s.node_count; ++i) {
    const NodeRecord& n = s.nodes[i];
    if (view != nullptr && view[i] != 0 && p.placed[n.input(0)] && !p.placed[n.output(0)]) {
      place(p, n.output(0), p.offset[n.input(0)]);
      continue;
    }
    for (uint64_t k = 0; k < n.output_count() && k < kNodeMaxOutputs; ++k) {
      uint64_t id = n.output(k);
      if (id >= values || p.placed[id]) continue;
      uint64_t offset = take_space(p, cursor, static_cast<int32_t>(i), p.last_use[id],
                                   arena_padded(s.values[id].bytes()));
      place(p, id, offset);
    }
  }
  std::free(view);
  // Activations no node writes keep a place of their own.
  for (uint64_t id = 0; id < values; ++id) {
    if (p.placed[id]) continue;
    place(p, id, cursor);
    cursor += arena_padded(s.values[id].bytes());
  }
  return cursor;
}

bool arena_bind(CpuState& s, const ArenaPlanner& p, uint64_t size) {
  auto* arena = static_cast<uint8_t*>(large_pages_alloc(size));
  if (arena == nullptr) return false;
  std::memset(arena, 0, 64);
  s.arena = arena;
  s.arena_size = size;
  for (uint64_t id = 0; id < s.value_count; ++id)
    if (s.values[id].kind() != kValueWeight) s.data[id] = arena + p.offset[id];
  return true;
}

}  // namespace vorn
