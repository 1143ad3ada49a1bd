// The result-record wrappers of the flat generation functions: byte strings
// in, a tagged record with the value or the code and message out.
#include <cstring>

#include "generation/generation_call.h"
#include "generation/session_maintenance.h"
#include "generation/session_state.h"
#include "generation/vlm_interface.h"
#include "vorn.h"

namespace vorn {

namespace {

VlmCallResult failure(uint32_t code, const char* message) {
  VlmCallResult r;
  r.tag = 1;
  r.code = code;
  r.message = message;
  return r;
}

VlmCallResult from_error(bool ok, const ErrorRecord& error) {
  if (ok) return VlmCallResult{};
  return failure(error.code, error.message);
}

// The text of (bytes, length); false when it holds a NUL.
bool text_of(const char* bytes, uint64_t length, std::string* out) {
  if (bytes == nullptr) length = 0;
  if (length > 0 && std::memchr(bytes, 0, length) != nullptr) return false;
  out->assign(bytes != nullptr ? bytes : "", length);
  return true;
}

VlmCallResult answer_of(bool ok, GenerationResult& result, const ErrorRecord& error) {
  VlmCallResult r = from_error(ok, error);
  if (ok) {
    r.answer.assign(result.answer, result.answer_length);
    r.prompt_tokens = result.prompt_tokens;
    r.generated_tokens = result.generated_tokens;
  }
  generation_result_free(&result);
  return r;
}

}  // namespace

VlmCallResult vlm_open_path_result(const char* path, uint64_t length) {
  std::string text;
  if (!text_of(path, length, &text)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Model path contains NUL");
  const GenerativeOpenParams params = vlm_open_params_default();
  ErrorRecord error{};
  VlmSession* session = nullptr;
  VlmCallResult r = from_error(vlm_open_path(text.c_str(), &params, &session, &error), error);
  r.session = session;
  return r;
}

VlmCallResult vlm_generate_prompt_result(VlmSession* session, const char* prompt, uint64_t length,
                                         uint32_t max_new_tokens) {
  std::string text;
  if (!text_of(prompt, length, &text)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Prompt contains NUL");
  GenerationResult result{};
  ErrorRecord error{};
  const bool ok = vlm_session_generate_prompt(session, text.c_str(), max_new_tokens, &result, &error);
  return answer_of(ok, result, error);
}

VlmCallResult vlm_generate_image_path_result(VlmSession* session, const char* image_path, uint64_t path_length,
                                             const char* prompt, uint64_t prompt_length, uint32_t max_new_tokens,
                                             uint32_t tiled, uint32_t longest_edge) {
  std::string path, text;
  if (!text_of(image_path, path_length, &path)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Image path contains NUL");
  if (!text_of(prompt, prompt_length, &text)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Prompt contains NUL");
  GenerationResult result{};
  ErrorRecord error{};
  const bool ok = vlm_session_generate_image_path(session, path.c_str(), text.c_str(), max_new_tokens, tiled,
                                                  longest_edge, &result, &error);
  return answer_of(ok, result, error);
}

VlmCallResult vlm_generate_pixels_result(VlmSession* session, const PixelView* pixels, const char* prompt,
                                         uint64_t length, uint32_t max_new_tokens, uint64_t tiled,
                                         uint32_t longest_edge, uint32_t orientation) {
  std::string text;
  if (!text_of(prompt, length, &text)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Prompt contains NUL");
  GenerationResult result{};
  ErrorRecord error{};
  const bool ok = vlm_generate_pixels(session, pixels, text.c_str(), max_new_tokens, tiled, longest_edge,
                                      orientation, &result, &error);
  return answer_of(ok, result, error);
}

VlmCallResult vlm_generate_encoded_result(VlmSession* session, const uint8_t* bytes, uint64_t byte_length,
                                          const char* prompt, uint64_t length, uint32_t max_new_tokens,
                                          uint64_t tiled, uint32_t longest_edge) {
  std::string text;
  if (!text_of(prompt, length, &text)) return failure(VORN_STATUS_INVALID_ARGUMENT, "Prompt contains NUL");
  GenerationResult result{};
  ErrorRecord error{};
  const bool ok = vlm_generate_encoded(session, bytes, byte_length, text.c_str(), max_new_tokens, tiled,
                                       longest_edge, &result, &error);
  return answer_of(ok, result, error);
}

void vlm_cancel_ref(VlmSession* const& session) { vlm_session_cancel(session); }

VlmCallResult vlm_reset_result(VlmSession* session) {
  ErrorRecord error{};
  return from_error(vlm_session_reset_cache(session, &error), error);
}

VlmCallResult vlm_unload_result(VlmSession* session) {
  ErrorRecord error{};
  return from_error(vlm_session_unload(session, &error), error);
}

VlmCallResult vlm_reload_result(VlmSession* session) {
  ErrorRecord error{};
  return from_error(vlm_session_reload(session, &error), error);
}

}  // namespace vorn
