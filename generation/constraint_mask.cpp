#include "generation/constraint_mask.h"

#include <algorithm>
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

// One forward scan of the preorder trie: a node steps its parent's set (held
// on the stack at the parent's depth) by its byte, a dead step skips the
// node's whole subtree, and the node's tokens are allowed when the reached
// set can still finish within `budget` single-byte tokens.
void trie_mask(Constraint& c, int32_t root, int32_t budget, uint8_t* allowed, uint64_t vocab) {
  ConstraintStepCache& cache = *c.cache;
  const ConstraintTrieNode* trie = c.trie.data();
  const int32_t* tokens = c.trie_tokens.data();
  int32_t* stack = c.walk_stack.data();
  stack[0] = root;
  const uint32_t count = static_cast<uint32_t>(c.trie.size() - 1);  // without the sentinel
  for (uint32_t i = 1; i < count;) {
    const ConstraintTrieNode& node = trie[i];
    int32_t next = cache.step(stack[node.depth - 1], node.byte_class);
    if (next == ConstraintStepCache::kDead) {
      i = node.end;
      continue;
    }
    stack[node.depth] = next;
    if (cache.min_distance(next) <= budget) {
      for (uint32_t t = node.first_token; t < trie[i + 1].first_token; ++t)
        if (static_cast<uint64_t>(tokens[t]) < vocab) allowed[tokens[t]] = 1;
    }
    ++i;
  }
}

}  // namespace

void constraint_token_mask(Constraint& c, uint8_t* mask, uint64_t vocab, uint64_t remaining) {
  constraint_require(remaining != 0, msg::kBudgetExhausted);
  // Budgets past the 32-bit range are as good as unlimited.
  int32_t budget = static_cast<int32_t>(std::min<uint64_t>(remaining, std::numeric_limits<int32_t>::max())) - 1;
  c.allowed.assign(vocab, 0);
  c.cache->trim();
  int32_t root = c.cache->intern(c.state_set);
  if (root != ConstraintStepCache::kDead) trie_mask(c, root, budget, c.allowed.data(), vocab);
  if (holds_accept(c))
    for (int64_t id : c.eos_ids)
      if (id >= 0 && static_cast<uint64_t>(id) < vocab) c.allowed[id] = 1;
  const uint8_t* allowed = c.allowed.data();
  for (uint64_t id = 0; id < vocab; ++id) mask[id] = (mask[id] != 0) & allowed[id];
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
