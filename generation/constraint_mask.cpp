#include "generation/constraint_mask.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "generation/errors.h"
#include "generation/constraint_messages.h"
#include "generation/constraint_step_cache.h"

namespace vorn {

namespace msg = constraint_message;

namespace {

bool is_eos(const Constraint& c, int64_t token) {
  return std::find(c.eos_ids.begin(), c.eos_ids.end(), token) != c.eos_ids.end();
}

bool holds_accept(const Constraint& c) {
  return std::binary_search(c.state_set.begin(), c.state_set.end(), c.accept);
}

// One forward scan of the preorder trie: a node steps its parent's set by
// its byte; a dead step refuses the node's whole subtree and skips it; a
// live node's tokens are allowed when the reached set can still finish
// within `budget` single-byte tokens. The stack holds, per depth, the memo
// row of the set reached there, so a step is one load, and the verdicts are
// written in node order, one byte each.
void trie_mask(Constraint& c, int32_t root, int32_t budget) {
  using Step = ConstraintStepCache::Step;
  ConstraintStepCache& cache = *c.cache;
  const ConstraintTrieNode* trie = c.trie.data();
  const uint32_t count = static_cast<uint32_t>(c.trie.size());
  uint8_t* verdict = c.node_allowed.data();
  int32_t* stack = c.walk_stack.data();
  const Step* rows = cache.rows();
  stack[0] = root * static_cast<int32_t>(cache.class_count());
  verdict[0] = 0;  // no token has an empty byte string here
  for (uint32_t i = 1; i < count;) {
    const ConstraintTrieNode node = trie[i];
    int32_t parent = stack[node.depth - 1];
    Step next = rows[parent + node.byte_class];
    if (next.row == ConstraintStepCache::kUnknown) {
      next = cache.compute(parent, static_cast<uint8_t>(node.byte_class));
      rows = cache.rows();
    }
    if (next.row == ConstraintStepCache::kDead) {
      std::memset(verdict + i, 0, node.end - i);
      i = node.end;
      continue;
    }
    stack[node.depth] = next.row;
    verdict[i] = next.distance <= budget;
    ++i;
  }
}

}  // namespace

void constraint_token_mask(Constraint& c, uint8_t* mask, uint64_t vocab, uint64_t remaining) {
  constraint_require(remaining != 0, msg::kBudgetExhausted);
  // Budgets past the 32-bit range are as good as unlimited.
  int32_t budget = static_cast<int32_t>(std::min<uint64_t>(remaining, std::numeric_limits<int32_t>::max())) - 1;
  c.cache->trim();
  int32_t root = c.cache->intern(c.state_set);
  if (root != ConstraintStepCache::kDead)
    trie_mask(c, root, budget);
  else
    std::memset(c.node_allowed.data(), 0, c.node_allowed.size());
  // The end-of-sequence ids are allowed whenever the output is accepted as
  // it stands; keep the caller's word on them before the mask is rewritten.
  const bool accepted = holds_accept(c);
  for (size_t e = 0; e < c.eos_ids.size(); ++e) {
    int64_t id = c.eos_ids[e];
    c.eos_requested[e] = id >= 0 && static_cast<uint64_t>(id) < vocab && mask[id] != 0;
  }
  const uint8_t* verdict = c.node_allowed.data();
  const uint32_t* node_of = c.token_node.data();
  const uint64_t known = std::min<uint64_t>(vocab, c.token_node.size());
  for (uint64_t id = 0; id < known; ++id) mask[id] = (mask[id] != 0) & verdict[node_of[id]];
  if (vocab > known) std::memset(mask + known, 0, vocab - known);  // tokens the constraint does not know
  if (accepted)
    for (size_t e = 0; e < c.eos_ids.size(); ++e)
      if (c.eos_requested[e]) mask[c.eos_ids[e]] = 1;
}

bool constraint_accept_token(Constraint& c, int64_t token) {
  if (is_eos(c, token)) {
    constraint_require(holds_accept(c), msg::kPrematureEos);
    return true;
  }
  constraint_require(token >= 0 && static_cast<uint64_t>(token) < c.token_bytes.size(), msg::kTokenOutOfRange);
  ConstraintStepCache& cache = *c.cache;
  cache.trim();
  int32_t set = cache.intern(c.state_set);
  for (unsigned char byte : c.token_bytes[token]) {
    if (set == ConstraintStepCache::kDead) break;
    set = cache.step(set, cache.byte_class(byte));
  }
  if (set == ConstraintStepCache::kDead) {
    c.state_set.clear();
    throw ConstraintError(msg::kViolation);
  }
  cache.copy_states(set, c.state_set);
  if (!holds_accept(c)) return false;
  return !cache.has_byte_transition(set);
}

}  // namespace vorn
