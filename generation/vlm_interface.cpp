#include "generation/vlm_interface.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/utf8.h"
#include "generation/generation_call.h"
#include "generation/session_maintenance.h"
#include "generation/session_state.h"
#include "vorn.h"

namespace vorn {

namespace {

constexpr uint32_t kDefaultNewTokens = 64;
constexpr uint32_t kDefaultLongestEdge = 512;
constexpr uint32_t kFlatMinContext = 64;
constexpr uint32_t kRgbLayout = 1;  // PixelLayout of packed RGB
constexpr uint32_t kRgbxLayout = 2;
constexpr uint32_t kBgrxLayout = 3;

// The message cut to the buffer, never inside a character.
void put_message(char* buffer, uint64_t size, const char* text) {
  if (buffer == nullptr || size == 0) return;
  const uint64_t n = utf8_cut(reinterpret_cast<const uint8_t*>(text), std::strlen(text), size - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

bool open_flat(bool by_fd, const char* path, int fd, uint64_t base, uint64_t length, uint32_t context_length,
               uint64_t fp16, const char* cache_dir, uint64_t verify, VlmSession** out, uint32_t* out_code,
               char* message, uint64_t message_size) {
  GenerativeOpenParams params = vlm_open_params_default();
  if (context_length >= kFlatMinContext && context_length <= kOpenMaxContext) params.context_length = context_length;
  params.fp16 = uint32_t(fp16 & 1);
  if (cache_dir != nullptr && cache_dir[0] != '\0') params.cache_dir = cache_dir;
  params.verify_weights = uint32_t(verify & 1);
  ErrorRecord error{};
  // The caller's out-pointer is written only on success.
  VlmSession* session = nullptr;
  VlmSession** target = out != nullptr ? &session : nullptr;
  const bool ok = by_fd ? vlm_open_fd(fd, base, length, &params, target, &error)
                        : vlm_open_path(path, &params, target, &error);
  if (ok) {
    *out = session;
    return true;
  }
  if (out_code != nullptr) *out_code = error.code;
  put_message(message, message_size, error.message);
  return false;
}

}  // namespace

bool vlm_generate(VlmSession* session, const VlmChatMessage* messages, uint64_t count, uint32_t max_new_tokens,
                  uint32_t top_k, uint64_t seed, const char* const* stops, uint64_t stop_count, double temperature,
                  double top_p, double min_p, double repetition_penalty, uint8_t tiled,
                  uint32_t image_longest_edge, const char* json_schema, int32_t amount_decimals,
                  TextChunkCallback callback, void* callback_context, char** answer, uint64_t* answer_length,
                  uint32_t* prompt_tokens, uint32_t* generated_tokens, uint32_t* reused_prompt_tokens,
                  uint32_t* finish_reason, double* total_ms, uint32_t* out_code, char* message,
                  uint64_t message_size) {
  if (session == nullptr || messages == nullptr || count < 1 || count > kVlmMaxMessages) {
    if (out_code != nullptr) *out_code = VORN_STATUS_INVALID_ARGUMENT;
    put_message(message, message_size, "Invalid VLM handle or empty message list");
    return false;
  }
  // Each message: its image (when it carries pixels) before its text.
  std::vector<ImageSource> images(count);
  std::vector<ContentPart> parts(2 * count);
  std::vector<GenerationMessage> list(count);
  for (uint64_t i = 0; i < count; ++i) {
    const VlmChatMessage& m = messages[i];
    ContentPart* p = &parts[2 * i];
    uint64_t n = 0;
    if (m.has_pixels == 1 && m.pixels != nullptr) {
      ImageSource& image = images[i];
      image.kind = kImageSourcePixels;
      image.data = m.pixels;
      image.length = m.length;
      image.width = m.width;
      image.height = m.height;
      image.stride = m.stride;
      image.format = m.format;
      image.orientation = m.orientation >= 1 && m.orientation <= 8 ? m.orientation : 1;
      p[n++] = ContentPart{kContentImage, nullptr, &image};
    }
    p[n++] = ContentPart{kContentText, m.text, nullptr};
    list[i] = GenerationMessage{m.role, p, n};
  }
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = max_new_tokens == 0 ? kDefaultNewTokens : max_new_tokens;
  request.sampling.temperature = temperature;
  request.sampling.top_p = top_p;
  request.sampling.min_p = min_p;
  request.sampling.repetition_penalty = repetition_penalty;
  request.sampling.top_k = top_k;
  request.sampling.seed = seed;
  if (stops != nullptr && stop_count != 0) {
    request.stops = stops;
    request.stop_count = stop_count;
  }
  request.image_tiled = tiled & 1;
  request.image_longest_edge = image_longest_edge == 0 ? kDefaultLongestEdge : image_longest_edge;
  if (json_schema != nullptr && json_schema[0] != '\0') request.json_schema = json_schema;
  if (amount_decimals >= 1) request.amount_decimals = uint32_t(amount_decimals);

  GenerationResult result{};
  ErrorRecord error{};
  if (!vlm_session_generate(session, list.data(), count, &request, callback, callback_context, &result, &error)) {
    if (out_code != nullptr) *out_code = error.code == 0 ? VORN_STATUS_BACKEND_FAILURE : error.code;
    put_message(message, message_size, error.message);
    generation_result_free(&result);
    return false;
  }
  if (answer != nullptr && answer_length != nullptr) {
    // The result's own NUL-terminated buffer goes to the caller: no second
    // allocation that could fail after the generation succeeded.
    *answer = result.answer;
    *answer_length = result.answer_length;
    result.answer = nullptr;
  }
  if (prompt_tokens != nullptr) *prompt_tokens = result.prompt_tokens;
  if (generated_tokens != nullptr) *generated_tokens = result.generated_tokens;
  if (reused_prompt_tokens != nullptr) *reused_prompt_tokens = result.reused_prompt_tokens;
  if (finish_reason != nullptr) *finish_reason = result.finish_reason;
  if (total_ms != nullptr) *total_ms = result.total_ms;
  generation_result_free(&result);
  return true;
}

bool vlm_session_open_path(const char* path, uint32_t context_length, uint64_t fp16, const char* cache_dir,
                           uint64_t verify_weights, VlmSession** out, uint32_t* out_code, char* message,
                           uint64_t message_size) {
  return open_flat(false, path, -1, 0, 0, context_length, fp16, cache_dir, verify_weights, out, out_code, message,
                   message_size);
}

bool vlm_session_open_fd(int fd, uint64_t base, uint64_t length, uint32_t context_length, uint64_t fp16,
                         const char* cache_dir, uint64_t verify_weights, VlmSession** out, uint32_t* out_code,
                         char* message, uint64_t message_size) {
  return open_flat(true, nullptr, fd, base, length, context_length, fp16, cache_dir, verify_weights, out, out_code,
                   message, message_size);
}

void vlm_close(VlmSession* session) { vlm_session_release(session); }

void vlm_cancel(VlmSession* session) { vlm_session_cancel(session); }

bool vlm_reset(VlmSession* session) {
  ErrorRecord scratch{};
  return session != nullptr && vlm_session_reset_cache(session, &scratch);
}

bool vlm_unload(VlmSession* session) {
  ErrorRecord scratch{};
  return session != nullptr && vlm_session_unload(session, &scratch);
}

bool vlm_reload(VlmSession* session) {
  ErrorRecord scratch{};
  return session != nullptr && vlm_session_reload(session, &scratch);
}

namespace {

// One user turn of an image followed by the prompt, with the caller's budget
// and view settings.
bool generate_with_image(VlmSession* session, const ImageSource& image, const char* prompt, uint32_t max_new_tokens,
                         uint64_t tiled, uint32_t image_longest_edge, GenerationResult* result, ErrorRecord* error) {
  const ContentPart parts[2] = {{kContentImage, nullptr, &image}, {kContentText, prompt, nullptr}};
  const GenerationMessage message{"user", parts, 2};
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = max_new_tokens;
  request.image_tiled = uint32_t(tiled & 1);
  request.image_longest_edge = image_longest_edge;
  return vlm_session_generate(session, &message, 1, &request, nullptr, nullptr, result, error);
}

}  // namespace

bool vlm_generate_pixels(VlmSession* session, const PixelView* pixels, const char* prompt, uint32_t max_new_tokens,
                         uint64_t tiled, uint32_t image_longest_edge, uint32_t orientation, GenerationResult* result,
                         ErrorRecord* error) {
  if (pixels == nullptr || !pixels_validate(pixels) || orientation < 1 || orientation > 8)
    return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT,
                            "Invalid pixel dimensions, format, stride, length or orientation");
  ImageSource image{};
  image.kind = kImageSourcePixels;
  image.width = pixels->width;
  image.height = pixels->height;
  image.orientation = orientation;
  uint8_t* converted = nullptr;
  if (pixels->format == kPixelBgr || pixels->format == kPixelGray) {
    const Rgb8Result rgb = pixels_to_rgb8(pixels);
    if (!rgb.ok()) return error_record_set(error, VORN_STATUS_OUT_OF_MEMORY, "RGB conversion allocation failed");
    converted = rgb.value.pixels;
    image.data = converted;
    image.length = rgb.value.length;
    image.stride = uint64_t(pixels->width) * 3;
    image.format = kRgbLayout;
  } else {
    image.data = pixels->data;
    image.length = pixels->length;
    image.stride = pixels->stride;
    image.format = pixels->format == kPixelRgb ? kRgbLayout : pixels->format == kPixelRgba ? kRgbxLayout : kBgrxLayout;
  }
  const bool ok = generate_with_image(session, image, prompt, max_new_tokens, tiled, image_longest_edge, result, error);
  std::free(converted);
  return ok;
}

bool vlm_generate_encoded(VlmSession* session, const uint8_t* bytes, uint64_t length, const char* prompt,
                          uint32_t max_new_tokens, uint64_t tiled, uint32_t image_longest_edge,
                          GenerationResult* result, ErrorRecord* error) {
  if (bytes == nullptr || length < 8 || length > 536870912)
    return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Invalid encoded image pointer or length");
  ImageSource image{};
  image.kind = kImageSourceEncoded;
  image.data = bytes;
  image.length = length;
  return generate_with_image(session, image, prompt, max_new_tokens, tiled, image_longest_edge, result, error);
}

}  // namespace vorn
