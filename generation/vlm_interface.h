// The flat surface of the generation layer that the session layer (and
// command-line tools) call: open by path or descriptor, one generation per
// call from chat message records, cancel, reset, unload, reload and close.
// Everything takes plain texts, records and out-pointers; no exception ever
// leaves these functions. Out-pointers that are null are skipped and a
// message buffer of size 0 is never written.
#pragma once
#include <cstdint>
#include <string>

#include "base/error_record.h"
#include "generation/records.h"
#include "generation/text_chunk.h"
#include "image/pixels.h"

namespace vorn {

// One chat message as the session layer hands it over.
struct VlmChatMessage {
  const char* role;
  const char* text;
  uint8_t has_pixels;  // 1: the message carries the pixels below
  const uint8_t* pixels;
  uint64_t length;
  uint32_t width;
  uint32_t height;
  uint64_t stride;
  uint32_t format;       // PixelLayout: 1 RGB, 2 RGBx, 3 BGRx
  uint32_t orientation;  // 1..8, anything else counts as 1
};

inline constexpr uint64_t kVlmMaxMessages = 16;

// One generation. max_new_tokens 0 means 64, image_longest_edge 0 means
// 512; stops are used when both pointer and count are non-zero, the schema
// when not empty, the amount when at least 1. The answer is a malloc'ed
// NUL-terminated copy the caller frees. On failure: code (14 when the layer
// gave none) and message.
bool vlm_generate(VlmSession* session, const VlmChatMessage* messages, uint64_t count, uint32_t max_new_tokens,
                  uint32_t top_k, uint64_t seed, const char* const* stops, uint64_t stop_count, double temperature,
                  double top_p, double min_p, double repetition_penalty, uint8_t tiled,
                  uint32_t image_longest_edge, const char* json_schema, int32_t amount_decimals,
                  TextChunkCallback callback, void* callback_context, char** answer, uint64_t* answer_length,
                  uint32_t* prompt_tokens, uint32_t* generated_tokens, uint32_t* reused_prompt_tokens,
                  uint32_t* finish_reason, double* total_ms, uint32_t* out_code, char* message,
                  uint64_t message_size);

// Opens with context_length when it lies in 64..8192 (else 2048), F16
// activations and digest verification by bit 0 of their words, backend
// "auto".
bool vlm_session_open_path(const char* path, uint32_t context_length, uint64_t fp16, const char* cache_dir,
                           uint64_t verify_weights, VlmSession** out, uint32_t* out_code, char* message,
                           uint64_t message_size);
bool vlm_session_open_fd(int fd, uint64_t base, uint64_t length, uint32_t context_length, uint64_t fp16,
                         const char* cache_dir, uint64_t verify_weights, VlmSession** out, uint32_t* out_code,
                         char* message, uint64_t message_size);

void vlm_close(VlmSession* session);
// Callable from any thread.
void vlm_cancel(VlmSession* session);
bool vlm_reset(VlmSession* session);
bool vlm_unload(VlmSession* session);
bool vlm_reload(VlmSession* session);

// Single-image generations (no caller inside the library).
bool vlm_generate_pixels(VlmSession* session, const PixelView* pixels, const char* prompt, uint32_t max_new_tokens,
                         uint64_t tiled, uint32_t image_longest_edge, uint32_t orientation, GenerationResult* result,
                         ErrorRecord* error);
bool vlm_generate_encoded(VlmSession* session, const uint8_t* bytes, uint64_t length, const char* prompt,
                          uint32_t max_new_tokens, uint64_t tiled, uint32_t image_longest_edge,
                          GenerationResult* result, ErrorRecord* error);

// Checks every tensor of the container in [base, base + length) of fd
// against its digest, reading each tensor's stored extent (the bytes the
// digest covers) in full. progress (may be null) is called with (context,
// index, count) before each tensor and once with (count, count) at the end;
// non-zero cancels (code 10).
using VerifyProgress = int32_t (*)(void* context, uint64_t index, uint64_t count);
bool vlm_verify_model_fd(int fd, uint64_t base, uint64_t length, VerifyProgress progress, void* context,
                         ErrorRecord* error);
bool vlm_open_path_entry(const char* path, const GenerativeOpenParams* params, VlmSession** out,
                         ErrorRecord* error);
bool vlm_open_fd_entry(int fd, uint64_t base, uint64_t length, const GenerativeOpenParams* params, VlmSession** out,
                       ErrorRecord* error);
bool vlm_verify_model_fd_entry(int fd, uint64_t base, uint64_t length, VerifyProgress progress, void* context,
                               ErrorRecord* error);

// Result records of the wrappers below: tag 0 success with the value, 1
// failure with the code and message.
struct VlmCallResult {
  uint32_t tag = 0;
  uint32_t code = 0;
  std::string message;
  VlmSession* session = nullptr;  // the open wrapper's value
  std::string answer;             // the generating wrappers' value
  uint32_t prompt_tokens = 0;
  uint32_t generated_tokens = 0;
};

// Byte strings in, result records out; a NUL inside a text fails with
// code 1 and the message named for it.
VlmCallResult vlm_open_path_result(const char* path, uint64_t length);
VlmCallResult vlm_generate_prompt_result(VlmSession* session, const char* prompt, uint64_t length,
                                         uint32_t max_new_tokens);
VlmCallResult vlm_generate_image_path_result(VlmSession* session, const char* image_path, uint64_t path_length,
                                             const char* prompt, uint64_t prompt_length, uint32_t max_new_tokens,
                                             uint32_t tiled, uint32_t longest_edge);
VlmCallResult vlm_generate_pixels_result(VlmSession* session, const PixelView* pixels, const char* prompt,
                                         uint64_t length, uint32_t max_new_tokens, uint64_t tiled,
                                         uint32_t longest_edge, uint32_t orientation);
VlmCallResult vlm_generate_encoded_result(VlmSession* session, const uint8_t* bytes, uint64_t byte_length,
                                          const char* prompt, uint64_t length, uint32_t max_new_tokens,
                                          uint64_t tiled, uint32_t longest_edge);
void vlm_cancel_ref(VlmSession* const& session);
VlmCallResult vlm_reset_result(VlmSession* session);
VlmCallResult vlm_unload_result(VlmSession* session);
VlmCallResult vlm_reload_result(VlmSession* session);

}  // namespace vorn
