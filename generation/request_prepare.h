// Request preparation: one generation request becomes everything the
// generative graph needs before prefill: the rendered chat prompt, its token
// ids, the image views, and the named host tensors (token ids, positions,
// attention masks, normalised pixels, patch positions, image-token positions
// and empty per-layer key/value caches), with image geometry and stage
// timings.
//
// The chat prompt is rendered by fixed rules equal to the model family's
// chat template (which the processor only compares): "<|im_start|>", then
// per message the role capitalised, ":" before a leading image or ": "
// otherwise, the parts, "<end_of_utterance>\n"; finally "Assistant:".
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "generation/frontend_options.h"
#include "generation/host_tensor.h"
#include "generation/processor.h"

namespace vorn {

// Largest conversation and total text of one request.
inline constexpr uint64_t kRequestMaxMessages = 4096;
inline constexpr uint64_t kRequestMaxTextBytes = 65536;
inline constexpr uint32_t kRequestMaxContext = 8192;
inline constexpr uint32_t kRequestMaxLayers = 128;

struct PreparedRequest {
  HostTensorMap tensors;                  // ordered by name
  std::vector<int64_t> prompt_token_ids;
  std::string rendered_prompt;            // UTF-8
  uint32_t image_views = 0;               // 512 x 512 views of the whole request
  uint32_t image_rows = 0;                // tile grid of the last image part, 0 without one
  uint32_t image_cols = 0;
  // "image_decode_resize_ms", "prompt_tokenize_ms", "tensor_prepare_ms" (f64)
  nlohmann::json stages_ms = nlohmann::json::object();
  std::vector<uint32_t> image_orientations;  // EXIF orientation applied to each decoded image
};

// Throws std::runtime_error with the request's own messages ("Invalid
// context/output budget", "Invalid image detail/edge", "Invalid messages",
// "Invalid message role", "Invalid message content", "Invalid content type",
// "Invalid prompt/image marker", the image views' messages, "Prompt plus
// output exceeds context budget", "Image token count", "Patch size", "Layer
// count", the host tensor limits, "Invalid configuration value: <key>" for
// a configuration key that is missing or of the wrong kind), ImageError for
// an image that cannot be read, or the JSON library's error for a message
// that lacks "role", "content", "type" or "text" or holds a mistyped value.
PreparedRequest prepare_request(const FrontendOptions& options, const Processor& processor);

}  // namespace vorn
