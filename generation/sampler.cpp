#include "generation/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

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
  double x;    // the logit after the repetition penalty
  int64_t id;
  double p;    // exp((x - max) / temperature), once computed
};

// The sampling order: the larger x first, the lower id among equal x.
bool before(const Candidate& a, const Candidate& b) { return a.x > b.x || (a.x == b.x && a.id < b.id); }

// Working memory kept per thread and grown on demand, so a decode loop
// allocates only on its first steps. `seen` is all zero between calls.
struct Scratch {
  std::vector<uint8_t> seen;
  std::vector<Candidate> candidates;
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

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

uint32_t sample(const float* logits, uint64_t vocab, const uint8_t* allow, const int64_t* history,
                uint64_t history_count, const SamplingParams& params, uint64_t* state, SampledToken* out) {
  Scratch& s = scratch();
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

  std::vector<Candidate>& cand = s.candidates;
  cand.clear();
  cand.reserve(vocab);
  const double penalty = params.repetition_penalty;
  const uint8_t* seen = s.seen.data();
  size_t best = 0;
  for (uint64_t i = 0; i < vocab; ++i) {
    if (allow != nullptr && allow[i] == 0) continue;
    double x = logits[i];
    if (seen[i]) x = logits[i] < 0.0f ? x * penalty : x / penalty;
    if (!std::isfinite(x)) return kSampleNonFinite;
    if (!cand.empty() && x > cand[best].x) best = cand.size();
    cand.push_back({x, static_cast<int64_t>(i), 0.0});
  }
  if (cand.empty()) return kSampleNoCandidate;
  const double max = cand[best].x;

  if (params.temperature == 0.0) {
    // The chosen token's log-probability under a plain softmax of every
    // candidate at temperature 1, before any truncation.
    double sum = 0.0;
    for (const Candidate& c : cand) sum += std::exp(c.x - max);
    *out = {cand[best].id, -std::log(sum)};
    return kSampleOk;
  }

  const double temperature = params.temperature;
  size_t m = cand.size();
  if (params.top_k != 0 && params.top_k < m) {
    // Only the first top_k of the sorted order matter: a heap of top_k
    // selects them in one pass, then they are sorted.
    m = params.top_k;
    std::partial_sort(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(m), cand.end(), before);
    for (size_t j = 0; j < m; ++j) cand[j].p = std::exp((cand[j].x - max) / temperature);
  } else {
    // Every candidate is kept: those whose p underflows to 0 change no sum
    // and are never drawn, so only the others are sorted.
    size_t kept = 0;
    for (size_t j = 0; j < m; ++j) {
      double p = std::exp((cand[j].x - max) / temperature);
      if (p > 0.0) cand[kept++] = {cand[j].x, cand[j].id, p};
    }
    m = kept;
    std::sort(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(m), before);
  }
  // p does not grow along the sorted order: zeros form the tail.
  while (m > 1 && cand[m - 1].p == 0.0) --m;

  double sum = 0.0;
  for (size_t j = 0; j < m; ++j) sum += cand[j].p;
  while (m >= 2 && cand[m - 1].p < params.min_p) sum -= cand[--m].p;
  if (params.top_p < 1.0) {
    const double target = sum * params.top_p;
    double running = 0.0;
    size_t j = 0;
    while (j < m) {
      running += cand[j++].p;
      if (!(running < target)) break;
    }
    m = j;
    sum = running;
  }

  double r = sum * splitmix64_uniform(state);
  size_t chosen = m - 1;  // when rounding leaves r at or above 0: the last candidate, never one of p 0
  for (size_t j = 0; j < m; ++j) {
    r -= cand[j].p;
    if (r < 0.0) {
      chosen = j;
      break;
    }
  }
  *out = {cand[chosen].id, std::log(cand[chosen].p / sum)};
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
