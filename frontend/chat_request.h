// The chat command's generation request: the options dictionary of the chat
// tool becomes the open parameters of the model, the message list (messages,
// their content parts and image sources) and the GenerationRequest that the
// generation call takes. Every text pointer is a view of a string owned by
// the options or by this record, valid while both live.
#pragma once
#include <nlohmann/json.hpp>
#include <vector>

#include "generation/records.h"

namespace vorn {

// context_length (2048 when absent or 0), fp16 for activation "fp16",
// backend ("auto" when absent), no cache directory, no weight check.
GenerativeOpenParams chat_open_params(const nlohmann::json& options);

class ChatRequest {
 public:
  // The "messages" of the options, or one "user" message holding an image
  // item for "image" (when given) and a text item for "prompt". Throws
  // VNError VornArgument "Invalid messages", "Invalid message content",
  // "Invalid role", "Invalid content", "Invalid text", "Image requires path"
  // or "Crop requires four coordinates"; VornFrontend "Invalid sampling
  // parameters"; VornInference "Message allocation failed".
  explicit ChatRequest(const nlohmann::json& options);
  ChatRequest(const ChatRequest&) = delete;
  ChatRequest& operator=(const ChatRequest&) = delete;

  const GenerationMessage* messages() const { return messages_.data(); }
  uint64_t message_count() const { return messages_.size(); }
  const GenerationRequest& request() const { return request_; }

 private:
  nlohmann::json built_;  // the one-message list when the options have no "messages"
  std::vector<GenerationMessage> messages_;
  std::vector<ContentPart> parts_;
  std::vector<ImageSource> images_;
  std::vector<const char*> stops_;
  GenerationRequest request_{};
};

}  // namespace vorn
