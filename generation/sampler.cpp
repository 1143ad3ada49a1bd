#include "generation/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "platform/thread_kept.h"

namespace vorn {

uint64_t splitmix64_next(uint64_t* state) {
  *state += 0x9E3779B97F4A7C15ull;
  uint64_t z = *state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double splitmix64_uniform(uint64_t* state) { return static_cast<double>(splitmix64_next(state) >> 11) * 0x1.0p-53; }

namespace {

struct Candidate {
  double x;  // the logit after the repetition penalty
  int64_t id;
  double p;  // exp((x - max) / temperature)
};

// The sampling order: the larger x first, the lower id among equal x.
bool before(const Candidate& a, const Candidate& b) { return a.x > b.x || (a.x == b.x && a.id < b.id); }

// A candidate for the radix sort: its key orders x descending (minus zero
// as zero), and the sort is stable over ids taken in ascending order.
struct Keyed {
  uint64_t key;
  int64_t id;
};

uint64_t descending_key(double x) {
  if (x == 0.0) x = 0.0;
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  bits = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);  // ascending with x
  return ~bits;
}

double key_value(uint64_t key) {
  uint64_t bits = ~key;
  bits = (bits >> 63) ? bits & ~(uint64_t{1} << 63) : ~bits;
  double x;
  std::memcpy(&x, &bits, 8);
  return x;
}

// Working memory kept per thread and grown on demand, so a decode loop
// allocates only on its first steps. `seen` is all zero between calls.
struct Scratch {
  std::vector<uint8_t> seen;
  std::vector<Candidate> kept;
  std::vector<Keyed> keyed, keyed_tmp;
};


// Clears the marks of the history window on every way out.
struct SeenMarks {
  uint8_t* seen;
  const int64_t* ids;
  uint64_t count;
  ~SeenMarks() {
    for (uint64_t i = 0; i < count; ++i) seen[ids[i]] = 0;
  }
};

bool any_non_finite(const float* logits, uint64_t vocab) {
  // Branch-free so the whole pass vectorises; the exponent all ones is
  // infinity or NaN.
  uint32_t bad = 0;
  for (uint64_t i = 0; i < vocab; ++i) {
    uint32_t bits;
    std::memcpy(&bits, logits + i, 4);
    bad |= static_cast<uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
  }
  return bad != 0;
}

// The candidates in token order: calls f(id, x) for every allowed token
// with its penalised logit; false when a penalised logit is not finite.
struct CandidateScan {
  const float* logits;
  uint64_t vocab;
  const uint8_t* allow;
  const uint8_t* seen;
  double penalty;

  template <class F>
  bool run(F&& f) const {
    for (uint64_t i = 0; i < vocab; ++i) {
      if (allow != nullptr && allow[i] == 0) continue;
      double x = logits[i];
      if (seen[i]) {
        x = logits[i] < 0.0f ? x * penalty : x / penalty;
        if (!std::isfinite(x)) return false;
      }
      f(i, x);
    }
    return true;
  }
};

// Stable LSD radix sort by key, 8 bits a pass; passes whose digit is the
// same for every item are skipped (logits widened from f32 leave the low
// bytes of most keys equal).
void radix_sort(std::vector<Keyed>& items, std::vector<Keyed>& tmp) {
  const size_t n = items.size();
  if (n == 0) return;
  uint64_t counts[8][256] = {};
  for (const Keyed& k : items)
    for (int d = 0; d < 8; ++d) ++counts[d][(k.key >> (8 * d)) & 0xFF];
  tmp.resize(n);
  for (int d = 0; d < 8; ++d) {
    uint64_t* c = counts[d];
    if (c[(items[0].key >> (8 * d)) & 0xFF] == n) continue;
    uint64_t offset = 0;
    for (int b = 0; b < 256; ++b) {
      uint64_t count = c[b];
      c[b] = offset;
      offset += count;
    }
    for (const Keyed& k : items) tmp[c[(k.key >> (8 * d)) & 0xFF]++] = k;
    items.swap(tmp);
  }
}

// Adds a candidate to the heap of the first k (front: the last of them) and
// answers the bar a later candidate must pass: minus infinity until the heap
// is full, then the front's x. Out of line, so that the scan calling it
// (rarely) keeps its own variables in registers.
[[gnu::noinline]] double heap_insert(std::vector<Candidate>& heap, uint32_t k, const Candidate& c) {
  if (heap.size() < k) {
    heap.push_back(c);
    std::push_heap(heap.begin(), heap.end(), before);
  } else {
    std::pop_heap(heap.begin(), heap.end(), before);
    heap.back() = c;
    std::push_heap(heap.begin(), heap.end(), before);
  }
  return heap.size() < k ? -std::numeric_limits<double>::infinity() : heap.front().x;
}

struct FirstPass {
  uint64_t count = 0;
  int64_t best = -1;
  double max = -std::numeric_limits<double>::infinity();
};

// The best candidate (the first of the largest x; every x is finite, so the
// first candidate passes minus infinity), the count, and with k > 0 the
// first k of the sampling order, kept in a heap whose front is the last of
// them. A later token with an equal x comes after in the order, so only a
// larger x displaces the front; until the heap is full every candidate
// enters (the bar stays at minus infinity). False for a penalised logit
// that is not finite.
[[gnu::noinline]] bool first_pass(const CandidateScan& scan, uint32_t k, std::vector<Candidate>& heap,
                                  FirstPass& result) {
  uint64_t count = 0;
  int64_t best = -1;
  double max = -std::numeric_limits<double>::infinity();
  double bar = k > 0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  const float* logits = scan.logits;
  const uint8_t* allow = scan.allow;
  const uint8_t* seen = scan.seen;
  for (uint64_t i = 0; i < scan.vocab; ++i) {
    if (allow != nullptr && allow[i] == 0) continue;
    double x = logits[i];
    if (seen[i]) {
      x = logits[i] < 0.0f ? x * scan.penalty : x / scan.penalty;
      if (!std::isfinite(x)) return false;
    }
    if (x > max) {
      max = x;
      best = static_cast<int64_t>(i);
    }
    ++count;
    if (x > bar) bar = heap_insert(heap, k, {x, static_cast<int64_t>(i), 0.0});
  }
  result = {count, best, max};
  return true;
}

// Above this top_k, sorting every candidate beats a heap of top_k.
constexpr uint32_t kHeapTopK = 1024;

uint32_t sample(const float* logits, uint64_t vocab, const uint8_t* allow, const int64_t* history,
                uint64_t history_count, const SamplingParams& params, uint64_t* state, SampledToken* out) {
  Scratch* mine = ThreadKept<Scratch>::get();
  Scratch own;
  Scratch& s = mine != nullptr ? *mine : own;
  if (s.seen.size() < vocab) s.seen.resize(vocab, 0);

  uint64_t first = 0;
  if (params.repetition_window != 0 && history_count >= params.repetition_window)
    first = history_count - params.repetition_window;
  const int64_t* window = history + first;
  const uint64_t window_count = history_count - first;
  for (uint64_t i = 0; i < window_count; ++i)
    if (window[i] < 0 || static_cast<uint64_t>(window[i]) >= vocab) return kSampleBadArgument;
  for (uint64_t i = 0; i < window_count; ++i) s.seen[window[i]] = 1;
  SeenMarks clear{s.seen.data(), window, window_count};

  // Any non-finite logit fails the call, a forbidden one too.
  if (any_non_finite(logits, vocab)) return kSampleNonFinite;

  const CandidateScan scan{logits, vocab, allow, s.seen.data(), params.repetition_penalty};
  const bool greedy = params.temperature == 0.0;
  const bool heap_top_k = !greedy && params.top_k != 0 && params.top_k <= kHeapTopK;
  std::vector<Candidate>& kept = s.kept;
  kept.clear();
  if (heap_top_k) kept.reserve(params.top_k);
  FirstPass pass;
  if (!first_pass(scan, heap_top_k ? params.top_k : 0, kept, pass)) return kSampleNonFinite;
  const uint64_t count = pass.count;
  const int64_t best = pass.best;
  const double max = pass.max;
  if (count == 0) return kSampleNoCandidate;

  if (greedy) {
    // The chosen token's log-probability under a plain softmax of every
    // candidate at temperature 1, before any truncation.
    double sum = 0.0;
    scan.run([&](uint64_t, double x) { sum += std::exp(x - max); });
    *out = {best, -std::log(sum)};
    return kSampleOk;
  }

  const double temperature = params.temperature;
  if (heap_top_k) {
    std::sort_heap(kept.begin(), kept.end(), before);
  } else {
    // Every candidate in the sampling order, but those whose p is sure to
    // underflow to 0 (which change no sum and are never drawn) are left out
    // of the sort. The bound is loose: zeros that pass are cut below.
    std::vector<Keyed>& keyed = s.keyed;
    keyed.clear();
    keyed.reserve(count);
    scan.run([&](uint64_t i, double x) {
      if ((x - max) / temperature >= -746.0) keyed.push_back({descending_key(x), static_cast<int64_t>(i)});
    });
    radix_sort(keyed, s.keyed_tmp);
    size_t m = keyed.size();
    if (params.top_k != 0 && params.top_k < m) m = params.top_k;
    kept.resize(m);
    for (size_t j = 0; j < m; ++j) kept[j] = {key_value(keyed[j].key), keyed[j].id, 0.0};
  }
  size_t m = kept.size();
  for (size_t j = 0; j < m; ++j) kept[j].p = std::exp((kept[j].x - max) / temperature);
  // p does not grow along the sorted order: zeros form the tail.
  while (m > 1 && kept[m - 1].p == 0.0) --m;

  double sum = 0.0;
  for (size_t j = 0; j < m; ++j) sum += kept[j].p;
  while (m >= 2 && kept[m - 1].p < params.min_p) sum -= kept[--m].p;
  if (params.top_p < 1.0) {
    const double target = sum * params.top_p;
    double running = 0.0;
    size_t j = 0;
    while (j < m) {
      running += kept[j++].p;
      if (!(running < target)) break;
    }
    m = j;
    sum = running;
  }

  double r = sum * splitmix64_uniform(state);
  size_t chosen = m - 1;  // when rounding leaves r at or above 0: the last candidate, never one of p 0
  for (size_t j = 0; j < m; ++j) {
    r -= kept[j].p;
    if (r < 0.0) {
      chosen = j;
      break;
    }
  }
  *out = {kept[chosen].id, std::log(kept[chosen].p / sum)};
  return kSampleOk;
}

}  // namespace

uint32_t sample_token(const float* logits, uint64_t vocab, const uint8_t* allow, const int64_t* history,
                      uint64_t history_count, const SamplingParams* params, uint64_t* state, SampledToken* out) {
  if (logits == nullptr || state == nullptr || out == nullptr || params == nullptr || vocab == 0 ||
      (history_count > 0 && history == nullptr))
    return kSampleBadArgument;
  if (!sampling_params_valid(params)) return kSampleBadArgument;
  try {
    return sample(logits, vocab, allow, history, history_count, *params, state, out);
  } catch (const std::bad_alloc&) {
    return kSampleNoMemory;
  } catch (const std::length_error&) {
    return kSampleNoMemory;
  }
}

}  // namespace vorn
