#include "generation/tokenizer.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <stdexcept>

#include "generation/unicode_classes.h"
#include "generation/utf8_codec.h"

namespace vorn {
namespace {

// Per code point of a segment: its class bits plus two marks the split
// tests by identity.
constexpr uint8_t kMarkSpace = 8;       // U+0020
constexpr uint8_t kMarkApostrophe = 16;  // U+0027
constexpr uint8_t kClassBits = kClassLetter | kClassNumber | kClassWhiteSpace;

constexpr uint32_t kNoRank = 0x7FFFFFFF;  // ranks at or above never merge

// Working arrays of one encode call, reused for every segment and pre-token
// so the loop allocates only while they grow.
struct Scratch {
  std::vector<uint8_t> kind;    // class bits and marks per code point
  std::vector<uint64_t> start;  // byte offset per code point, plus the end
  std::vector<uint32_t> sym;
  std::vector<uint32_t> rank;
  std::vector<uint32_t> merged;
  std::vector<uint32_t> next, prev;
};

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

void append_symbol(const Processor& p, uint32_t symbol, std::vector<int64_t>& out) {
  int64_t id = p.symbols.vocab_id[symbol];
  if (id < 0) fail("Missing BPE symbol");
  out.push_back(id);
}

uint32_t pair_rank(const Processor& p, uint32_t left, uint32_t right, uint32_t* merged) {
  const BpeMerge* m = p.merges.find(left, right);
  if (m == nullptr || m->rank >= kNoRank) return kNoRank;
  *merged = m->merged;
  return m->rank;
}

// Short pre-tokens: the symbols in an array with each adjacent pair's rank
// cached, the lowest (leftmost on ties) merged per pass. Quadratic, but
// pre-tokens are mostly a few bytes.
void merge_short(const Processor& p, const uint8_t* bytes, size_t n, Scratch& s, std::vector<int64_t>& out) {
  s.sym.resize(n);
  s.rank.resize(n);
  s.merged.resize(n);
  uint32_t* sym = s.sym.data();
  uint32_t* rank = s.rank.data();
  uint32_t* merged = s.merged.data();
  for (size_t i = 0; i < n; ++i) sym[i] = p.symbols.byte_symbol[bytes[i]];
  for (size_t i = 0; i + 1 < n; ++i) rank[i] = pair_rank(p, sym[i], sym[i + 1], &merged[i]);
  size_t m = n;
  while (m >= 2) {
    size_t best = 0;
    for (size_t i = 1; i + 1 < m; ++i)
      if (rank[i] < rank[best]) best = i;
    if (rank[best] == kNoRank) break;
    sym[best] = merged[best];
    // Drop symbol best + 1; the pair it started moves down with the rest.
    for (size_t i = best + 1; i + 1 < m; ++i) {
      sym[i] = sym[i + 1];
      rank[i] = rank[i + 1];
      merged[i] = merged[i + 1];
    }
    --m;
    if (best > 0) rank[best - 1] = pair_rank(p, sym[best - 1], sym[best], &merged[best - 1]);
    if (best + 1 < m) rank[best] = pair_rank(p, sym[best], sym[best + 1], &merged[best]);
  }
  for (size_t i = 0; i < m; ++i) append_symbol(p, sym[i], out);
}

// Long pre-tokens (very long words, runs of white space): the same merge
// order from a heap of (rank, position) over a linked list of symbols. A
// heap entry is used only while the pair it names still stands; the heap
// always holds every standing pair, so its least valid entry is the lowest
// rank, leftmost pair.
void merge_long(const Processor& p, const uint8_t* bytes, size_t n, Scratch& s, std::vector<int64_t>& out) {
  constexpr uint32_t kNone = UINT32_MAX;
  s.sym.resize(n);
  s.next.resize(n);
  s.prev.resize(n);
  uint32_t* sym = s.sym.data();
  uint32_t* next = s.next.data();
  uint32_t* prev = s.prev.data();
  for (size_t i = 0; i < n; ++i) {
    sym[i] = p.symbols.byte_symbol[bytes[i]];
    next[i] = i + 1 < n ? static_cast<uint32_t>(i + 1) : kNone;
    prev[i] = i > 0 ? static_cast<uint32_t>(i - 1) : kNone;
  }
  struct Entry {
    uint32_t rank, pos, left, right, merged;
    bool operator>(const Entry& o) const { return rank != o.rank ? rank > o.rank : pos > o.pos; }
  };
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  auto push = [&](uint32_t pos) {
    uint32_t right = next[pos];
    if (right == kNone) return;
    uint32_t m;
    uint32_t r = pair_rank(p, sym[pos], sym[right], &m);
    if (r != kNoRank) heap.push({r, pos, sym[pos], sym[right], m});
  };
  for (size_t i = 0; i + 1 < n; ++i) push(static_cast<uint32_t>(i));
  while (!heap.empty()) {
    Entry e = heap.top();
    heap.pop();
    uint32_t right = next[e.pos];
    // sym[pos] is kNone once the position was merged into its left neighbour.
    if (sym[e.pos] != e.left || right == kNone || sym[right] != e.right) continue;
    sym[e.pos] = e.merged;
    sym[right] = kNone;
    next[e.pos] = next[right];
    if (next[right] != kNone) prev[next[right]] = e.pos;
    if (prev[e.pos] != kNone) push(prev[e.pos]);
    push(e.pos);
  }
  for (uint32_t i = 0; i != kNone; i = next[i]) append_symbol(p, sym[i], out);
}

constexpr size_t kShortPiece = 64;

void merge_piece(const Processor& p, const uint8_t* bytes, size_t n, Scratch& s, std::vector<int64_t>& out) {
  if (n == 0) return;
  if (n == 1) {
    append_symbol(p, p.symbols.byte_symbol[bytes[0]], out);
  } else if (n <= kShortPiece) {
    merge_short(p, bytes, n, s, out);
  } else {
    merge_long(p, bytes, n, s, out);
  }
}

// The English contractions, tried in this order at an apostrophe.
constexpr std::string_view kContractions[] = {"'s", "'t", "'re", "'ve", "'m", "'ll", "'d"};

// The end (in code points) of the pre-token that starts at k in the run
// [k, b) of code points without digits (or one digit alone).
size_t piece_end(const uint8_t* text, const uint8_t* kind, const uint64_t* start, size_t k, size_t b) {
  if (kind[k] & kMarkApostrophe) {
    for (std::string_view c : kContractions)
      if (k + c.size() <= b && std::memcmp(text + start[k], c.data(), c.size()) == 0) return k + c.size();
  }
  size_t p = (kind[k] & kMarkSpace) && k + 1 < b ? k + 1 : k;
  uint8_t cls = kind[p] & kClassBits;
  if (cls == kClassLetter || cls == kClassNumber) {
    size_t e = p + 1;
    while (e < b && (kind[e] & kClassBits) == cls) ++e;
    return e;
  }
  if (cls == kClassWhiteSpace) {
    size_t q = k;
    while (q < b && (kind[q] & kClassWhiteSpace)) ++q;
    if (q == b) return b;
    // Before a non-space the run's last white space starts the next piece.
    return q > k + 1 ? q - 1 : q;
  }
  size_t e = p + 1;
  while (e < b && (kind[e] & kClassBits) == 0) ++e;
  return e;
}

void pretokenize_into(const Processor& p, std::string_view segment, Scratch& s, std::vector<int64_t>& out) {
  const auto* text = reinterpret_cast<const uint8_t*>(segment.data());
  const size_t size = segment.size();
  if (size == 0) return;
  s.kind.clear();
  s.start.clear();
  for (uint64_t i = 0; i < size;) {
    uint8_t kind;
    uint32_t length;
    if (text[i] < 0x80) {
      kind = static_cast<uint8_t>(code_point_class(text[i]));
      if (text[i] == ' ') kind |= kMarkSpace;
      if (text[i] == '\'') kind |= kMarkApostrophe;
      length = 1;
    } else {
      Utf8Step step = utf8_step(text, size, i);
      if (!step.ok) fail("Invalid UTF-8 input");
      kind = static_cast<uint8_t>(code_point_class(step.code_point));
      length = step.length;
    }
    s.kind.push_back(kind);
    s.start.push_back(i);
    i += length;
  }
  const size_t n = s.kind.size();
  s.start.push_back(size);
  const uint8_t* kind = s.kind.data();
  const uint64_t* start = s.start.data();
  for (size_t a = 0; a < n;) {
    size_t b = a + 1;
    if (!(kind[a] & kClassNumber))
      while (b < n && !(kind[b] & kClassNumber)) ++b;
    for (size_t k = a; k < b;) {
      size_t e = piece_end(text, kind, start, k, b);
      merge_piece(p, text + start[k], start[e] - start[k], s, out);
      k = e;
    }
    a = b;
  }
}

// Appends the bytes of a non-special token.
void append_token_bytes(const Processor& p, int64_t id, std::string& out) {
  const std::string& text = p.id_to_token[static_cast<size_t>(id)];
  const auto* t = reinterpret_cast<const uint8_t*>(text.data());
  for (uint64_t i = 0; i < text.size();) {
    Utf8Step step = utf8_step(t, text.size(), i);
    if (!step.ok) fail("Invalid UTF-8 input");
    int b = p.unicode_byte(step.code_point);
    if (b < 0) fail("Byte decoding");
    out.push_back(static_cast<char>(b));
    i += step.length;
  }
}

}  // namespace

void bpe_merge(const Processor& processor, std::string_view piece, std::vector<int64_t>& out) {
  Scratch s;
  merge_piece(processor, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), s, out);
}

void pretokenize(const Processor& processor, std::string_view segment, std::vector<int64_t>& out) {
  Scratch s;
  pretokenize_into(processor, segment, s, out);
}

std::vector<int64_t> bpe_encode(const Processor& processor, std::string_view text) {
  std::vector<int64_t> ids;
  Scratch s;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t segment = 0;
  for (size_t i = 0; i < n;) {
    const AddedToken* match = nullptr;
    for (uint32_t index : processor.added_by_first_byte[bytes[i]]) {
      const AddedToken& t = processor.added_tokens[index];
      if (t.content.size() <= n - i && std::memcmp(bytes + i, t.content.data(), t.content.size()) == 0) {
        match = &t;
        break;
      }
    }
    if (match == nullptr) {
      ++i;
      continue;
    }
    pretokenize_into(processor, text.substr(segment, i - segment), s, ids);
    ids.push_back(match->id);
    i += match->content.size();
    segment = i;
  }
  pretokenize_into(processor, text.substr(segment), s, ids);
  return ids;
}

std::string token_bytes(const Processor& processor, int64_t id) {
  if (id < 0 || static_cast<uint64_t>(id) >= processor.vocab_size()) fail("Decode token out of bounds");
  std::string out;
  if (!processor.special[static_cast<size_t>(id)]) append_token_bytes(processor, id, out);
  return out;
}

std::string bpe_decode(const Processor& processor, const std::vector<int64_t>& ids) {
  std::string bytes;
  for (int64_t id : ids) {
    if (id < 0 || static_cast<uint64_t>(id) >= processor.vocab_size()) fail("Decode ID");
    if (!processor.special[static_cast<size_t>(id)]) append_token_bytes(processor, id, bytes);
  }
  return utf8_lossy(bytes);
}

}  // namespace vorn
