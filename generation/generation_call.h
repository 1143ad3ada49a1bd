// One generation on an open session: the busy flag, the chat messages and
// settings as the request dictionary the processor and the loop read, the
// output constraint, prompt and image preparation, the generation loop, and
// the answer, token ids and log-probabilities copied into a result, with a
// report kept on the session. Whatever is raised below becomes an
// ErrorRecord by its category and reason.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>

#include "base/error_record.h"
#include "generation/error_status.h"
#include "generation/records.h"
#include "generation/text_chunk.h"

namespace vorn {

class VNSessionState;

// Runs one generation. request null means the defaults; callback and
// context may be null. On failure the result is freed and error filled; a
// cancelled generation succeeds with finish reason 4.
bool vlm_session_generate(VlmSession* session, const GenerationMessage* messages, uint64_t count,
                          const GenerationRequest* request, TextChunkCallback callback, void* callback_context,
                          GenerationResult* result, ErrorRecord* error);

// The request dictionary of a generation; throws VornArgument with the
// failed check's message.
nlohmann::json generation_request_dictionary(const VNSessionState* state, const GenerationMessage* messages,
                                             uint64_t count, const GenerationRequest* request);

// A one-message text generation with the defaults and max_new_tokens.
bool vlm_session_generate_prompt(VlmSession* session, const char* prompt, uint32_t max_new_tokens,
                                 GenerationResult* result, ErrorRecord* error);
// A one-message generation over an image file and a prompt.
bool vlm_session_generate_image_path(VlmSession* session, const char* image_path, const char* prompt,
                                     uint32_t max_new_tokens, uint32_t tiled, uint32_t longest_edge,
                                     GenerationResult* result, ErrorRecord* error);
// The number of prompt tokens a request would have; works on an unloaded
// session.
bool vlm_session_count_prompt_tokens(VlmSession* session, const GenerationMessage* messages, uint64_t count,
                                     const GenerationRequest* request, uint32_t* out_count, ErrorRecord* error);

}  // namespace vorn
