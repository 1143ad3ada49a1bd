// The generation loop: the request dictionary read once into a LoopRequest
// (loop_request.h), then a prefill (the prepared input tensors bound to the
// graph, the prompt prefix and KV cache of the session's previous generation
// reused when the new prompt extends it), one step per pass (the logits
// masked by a token-mask callback or an output constraint, sampled, streamed
// through the stop strings to the callback) until end-of-sequence, a stop
// string, a completed constraint, the token budget or cancellation, and a
// finish that settles the reason and builds the result dictionary.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>

#include "generation/loop_request.h"
#include "generation/records.h"
#include "gpu/kv_cache.h"

namespace vorn {

class VNGraph;
class VNProcessor;
class VNConstraint;

// The objects a request hands the loop beside its dictionary; each may be
// null. Without a processor there is no text stream and no stop-string
// handling; without an invocation no cancel word or callbacks; without the
// session's KV cache (or without an invocation) no prefix reuse, the
// generation running on a cache of its own.
struct GenerationLoopObjects {
  const VNProcessor* processor = nullptr;
  VNConstraint* constraint = nullptr;
  GenerationInvocation* invocation = nullptr;
  KvCache* cache = nullptr;
};

// Runs one generation and returns its result dictionary ("answer",
// "finish_reason", "token_log_probabilities", "name", "prompt_tokens",
// "generated_token_ids", "runs", "kv_cache", "input_prepare_ms",
// "input_tensor_ms", "input_tensor_stages_ms", "case_wall_ms"). The
// dictionary's input bytes are moved out in memory mode. Throws VNError.
nlohmann::json generation_loop(VNGraph& graph, nlohmann::json& request, const GenerationLoopObjects& objects,
                               const char* request_dir, const char* output_dir, uint32_t mode);

}  // namespace vorn
