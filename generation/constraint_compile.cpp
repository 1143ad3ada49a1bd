// Compiling a request's constraint setting: the automaton, the vocabulary
// trie, the distances to acceptance and the start set.
#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <numeric>

#include <nlohmann/json.hpp>

#include "generation/constraint.h"
#include "generation/errors.h"
#include "generation/constraint_messages.h"
#include "generation/constraint_step_cache.h"
#include "generation/schema_compile.h"

namespace vorn {

namespace msg = constraint_message;

namespace {

// The trie in preorder: sorting the byte strings (then the ids) makes
// every subtree a contiguous run and children come in ascending byte order.
// Tokens with the same bytes share a node.
void build_trie(Constraint& c, const ConstraintStepCache& cache, bool single_byte[256]) {
  std::vector<int32_t> ids;
  for (size_t id = 0; id < c.token_bytes.size(); ++id) {
    const std::string& bytes = c.token_bytes[id];
    if (bytes.empty()) continue;
    if (bytes.size() == 1) single_byte[static_cast<uint8_t>(bytes[0])] = true;
    ids.push_back(static_cast<int32_t>(id));
  }
  std::sort(ids.begin(), ids.end(), [&](int32_t a, int32_t b) {
    int order = c.token_bytes[a].compare(c.token_bytes[b]);
    return order != 0 ? order < 0 : a < b;
  });
  c.trie.assign(1, ConstraintTrieNode{0, 0, 0});
  c.token_node.assign(c.token_bytes.size(), 0);
  std::vector<uint32_t> path{0};  // the nodes from the root to the last one added
  std::string_view previous;
  for (int32_t id : ids) {
    std::string_view bytes = c.token_bytes[id];
    size_t common = 0;
    while (common < bytes.size() && common < previous.size() && bytes[common] == previous[common]) ++common;
    for (; path.size() > common + 1; path.pop_back()) c.trie[path.back()].end = static_cast<uint32_t>(c.trie.size());
    for (size_t depth = common + 1; depth <= bytes.size(); ++depth) {
      path.push_back(static_cast<uint32_t>(c.trie.size()));
      c.trie.push_back(ConstraintTrieNode{0, static_cast<uint32_t>(depth),
                                          cache.byte_class(static_cast<uint8_t>(bytes[depth - 1]))});
    }
    c.token_node[id] = path.back();
    previous = bytes;
  }
  for (uint32_t node : path) c.trie[node].end = static_cast<uint32_t>(c.trie.size());
}

// Least number of single-byte tokens from each state to acceptance: a 0-1
// breadth-first search backwards from the accepting state, where epsilon
// transitions cost nothing and byte transitions that some single-byte token
// can take cost one.
void compute_distances(Constraint& c, const bool single_byte[256]) {
  ByteSet spelled;
  for (unsigned b = 0; b < 256; ++b)
    if (single_byte[b]) spelled.add(static_cast<uint8_t>(b));
  auto usable = [&](const ConstraintTransition& t) {
    if (t.epsilon) return true;
    for (int w = 0; w < 4; ++w)
      if (t.bytes.words[w] & spelled.words[w]) return true;
    return false;
  };
  size_t n = c.states.size();
  std::vector<uint32_t> begin(n + 1, 0);
  for (const ConstraintState& state : c.states)
    for (const ConstraintTransition& t : state)
      if (usable(t)) ++begin[t.target + 1];
  std::partial_sum(begin.begin(), begin.end(), begin.begin());
  struct Edge {
    uint32_t source;
    int32_t cost;
  };
  std::vector<Edge> edges(begin[n]);
  std::vector<uint32_t> fill(begin.begin(), begin.end() - 1);
  for (uint32_t s = 0; s < n; ++s)
    for (const ConstraintTransition& t : c.states[s])
      if (usable(t)) edges[fill[t.target]++] = Edge{s, t.epsilon ? 0 : 1};
  c.distance.assign(n, kConstraintUnreachable);
  c.distance[c.accept] = 0;
  std::deque<uint32_t> queue{static_cast<uint32_t>(c.accept)};
  while (!queue.empty()) {
    uint32_t u = queue.front();
    queue.pop_front();
    for (uint32_t e = begin[u]; e < begin[u + 1]; ++e) {
      const Edge& edge = edges[e];
      if (c.distance[u] + edge.cost >= c.distance[edge.source]) continue;
      c.distance[edge.source] = c.distance[u] + edge.cost;
      if (edge.cost == 0)
        queue.push_front(edge.source);
      else
        queue.push_back(edge.source);
    }
  }
}

void compile_schema(Constraint& c, const char* json_schema) {
  constraint_require(std::strlen(json_schema) <= kConstraintMaxSchemaBytes, msg::kSchemaTooLong);
  try {
    nlohmann::json schema = nlohmann::json::parse(json_schema, nullptr, true, false);
    schema_compile(c, schema, 0, 1, 0);
  } catch (const nlohmann::json::exception&) {
    throw ConstraintError(msg::kMalformedSchema);
  }
}

}  // namespace

void constraint_compile(Constraint& c, const char* json_schema, uint32_t amount_decimals,
                        std::vector<std::string> token_bytes, std::vector<int64_t> eos_ids,
                        int32_t max_new_tokens) {
  c.token_bytes = std::move(token_bytes);
  c.eos_ids = std::move(eos_ids);
  constraint_require((amount_decimals != 0) != (json_schema != nullptr), msg::kChooseOne);
  uint32_t start = constraint_add_state(c);
  c.accept = static_cast<int32_t>(constraint_add_state(c));
  // Any amount of white space before the value, none after it.
  for (uint8_t space : {' ', '\t', '\n', '\r'}) constraint_add_bytes(c, start, start, ByteSet::of(space));
  if (amount_decimals != 0) {
    constraint_require(amount_decimals <= kAmountMaxDecimals, msg::kAmountDecimals);
    amount_automaton(c, start, c.accept, false, amount_decimals);
  } else {
    compile_schema(c, json_schema);
  }
  // Token strings are at most 8 MiB (the tokenizer document's limit), well
  // within a trie node's depth field.
  for (const std::string& bytes : c.token_bytes)
    if (bytes.size() >= (1u << 24)) throw std::bad_alloc();
  c.cache = std::make_unique<ConstraintStepCache>(c);
  bool single_byte[256] = {};
  build_trie(c, *c.cache, single_byte);
  compute_distances(c, single_byte);
  c.state_set = state_set_close(c, {static_cast<int32_t>(start)});
  int32_t least = kConstraintUnreachable;
  for (int32_t s : c.state_set) least = std::min(least, c.distance[s]);
  constraint_require(least <= max_new_tokens, msg::kOutputCap);
  uint32_t depth = 0;
  for (const ConstraintTrieNode& node : c.trie) depth = std::max<uint32_t>(depth, node.depth);
  c.walk_stack.assign(depth + 1, 0);
  c.node_allowed.assign(c.trie.size(), 0);
  c.eos_requested.assign(c.eos_ids.size(), 0);
}

}  // namespace vorn
