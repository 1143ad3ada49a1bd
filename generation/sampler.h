// The next-token sampler: drops tokens the mask forbids, penalises tokens of
// a recent window of the history, then takes the most likely token
// (temperature 0) or draws one after temperature, top-k, min-p and top-p,
// with a SplitMix64 generator whose one word of state the caller owns.
// Every failure is a status; nothing is thrown and nothing is kept between
// calls but the caller's generator state.
#pragma once
#include <cstdint>

#include "generation/sampling_params.h"

namespace vorn {

struct SampledToken {
  int64_t token;
  double log_probability;  // natural logarithm
};

enum SampleStatus : uint32_t {
  kSampleOk = 0,
  kSampleBadArgument = 1,  // a null pointer, vocab 0, invalid settings, a history id outside the vocabulary
  kSampleNonFinite = 2,    // a NaN or infinite logit (even a forbidden one), or one the penalty made infinite
  kSampleNoCandidate = 3,  // the mask forbids every token
  kSampleNoMemory = 4,
};

// SplitMix64: advances the state by 0x9E3779B97F4A7C15 and returns the
// mixed 64-bit value (0xE220A8397B1DCDAF first from state 0).
uint64_t splitmix64_next(uint64_t* state);
// A uniform double in [0, 1) from the next value's top 53 bits.
double splitmix64_uniform(uint64_t* state);

// logits: one f32 per token; allow: one byte per token (0 forbidden) or
// null; history: the ids so far (prompt and generated). out is written only
// on success; the generator state is advanced only by a draw (not in greedy
// mode).
uint32_t sample_token(const float* logits, uint64_t vocab, const uint8_t* allow, const int64_t* history,
                      uint64_t history_count, const SamplingParams* params, uint64_t* state, SampledToken* out);

}  // namespace vorn
