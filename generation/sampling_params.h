// The sampling settings of one generation and the one test every filler
// (defaults, a request dictionary, the flat interface, the command line)
// applies to them.
#pragma once
#include <cstdint>

#include <nlohmann/json_fwd.hpp>

namespace vorn {

struct SamplingParams {
  double temperature;         // 0 (or -0) is greedy
  double top_p;               // (0, 1]
  double min_p;               // [0, 1]
  double repetition_penalty;  // > 0
  uint32_t top_k;             // 0 = off
  uint32_t repetition_window; // 0 = the whole history
  uint64_t seed;              // the generator's starting state; the sampler never reads it
};

// 0, 1.0, 0, 1.0, 0, 0, 0.
SamplingParams sampling_params_default();

// 1 when every floating field is finite and in its range, 0 otherwise (and
// for null). The integer fields are not tested.
int sampling_params_valid(const SamplingParams* params);

// Starts from the defaults and takes each of "temperature", "top_p",
// "min_p", "repetition_penalty", "top_k", "repetition_window" and "seed"
// that the object holds. Numbers, booleans and numeric strings are read;
// anything else, an integer setting that its field cannot hold, or a result
// that fails sampling_params_valid raises VNError VornFrontend "Invalid
// sampling parameters".
SamplingParams sampling_params_from_dictionary(const nlohmann::json& dictionary);

// Writes every setting into the object under the keys the reader takes, so
// that the two are one list: a request dictionary carries the sampling of
// its GenerationRequest this way.
void sampling_params_to_dictionary(const SamplingParams& params, nlohmann::json& dictionary);

}  // namespace vorn
