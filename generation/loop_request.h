// The request of one generation as the loop runs it: the request dictionary
// (built by the generation call, or read from a batch case's file) read once,
// key by key and in the order the checks have always run, into typed fields;
// each input's bytes found in the dictionary or in the file it names and
// checked against its shape and element kind. The dictionary stays the
// interface between the callers and the loop; nothing after this reads it.
#pragma once
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generation/sampling_params.h"
#include "gpu/kv_cache.h"

namespace vorn {

// How the loop finds its input bytes: in the request dictionary ("data",
// the generation call) or in files ("file", the command-line case runner).
enum GenerationLoopMode : uint32_t {
  kLoopFileMode = 0,
  kLoopInMemory = 1,
};

// Names of the prepared inputs the loop knows.
inline constexpr const char* kInputIds = "input_ids";
inline constexpr const char* kPositionIds = "position_ids";
inline constexpr const char* kTextMask = "text_attention_mask";
inline constexpr const char* kPixelValues = "pixel_values";
inline constexpr const char* kImagePositions = "image_token_positions";
// The vision encoder's inputs, emptied (dimension 0 set to 0) for a pass
// that has no image to encode.
inline constexpr const char* kVisionInputs[] = {kPixelValues, "patch_position_ids", "vision_attention_mask",
                                                kImagePositions};

// One prepared input: its shape, element kind and bytes (count elements).
struct LoopInput {
  std::string name;
  std::vector<uint64_t> shape;
  uint64_t kind = 0;   // ElementKind, 1..3
  uint64_t count = 0;  // elements of shape
  // The bytes: in the request dictionary (memory mode), or in `held` (a
  // file's bytes, and the pixels, which outlive the request for the next
  // generation's prefix comparison).
  const uint8_t* bytes = nullptr;
  std::shared_ptr<const std::vector<uint8_t>> held;
  double readMs = 0;    // reading its file
  double finiteMs = 0;  // checking a file's floats are finite
};

struct LoopRequest {
  std::vector<LoopInput> inputs;   // in the dictionary's order
  PixelBytes pixels;               // the "pixel_values" bytes; null without them
  std::vector<int64_t> promptIds;  // the P ids of "input_ids"
  uint64_t maxNewTokens = 0;       // 1..8192
  std::vector<int64_t> forcedTokens;
  std::vector<std::string> captures;
  bool trace = false;
  SamplingParams sampling{};
  std::vector<std::string> stops;  // none empty
  bool streamToStdout = false;     // "stream": print the text without an invocation
  std::vector<int64_t> eosTokenIds;
  std::string name = "prompt";

  // The input of that name, or null.
  const LoopInput* input(const char* name) const;
};

// Reads the dictionary; in memory mode the pixels' bytes are moved out of
// it. Raises VornInference (or the sampling parameters' VornFrontend) with
// the message of the first check that fails: an input without a shape,
// data or readable file, of another byte length than its shape, or (from a
// file) holding a non-finite float; max_new_tokens outside 1..8192; no
// [1, P] "input_ids" with P + max_new_tokens inside the context budget; a
// "text_attention_mask" of neither 0 nor P x P elements; a forced token that
// is not an integer; an empty or non-text stop string.
LoopRequest read_loop_request(nlohmann::json& dictionary, uint32_t mode, const char* request_dir);

}  // namespace vorn
