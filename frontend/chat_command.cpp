#include "frontend/chat_command.h"

#include <cstdio>
#include <string>

#include "base/vn_error.h"
#include "frontend/chat_request.h"

namespace vorn {

namespace {

constexpr uint64_t kMessageBytes = 256;

// The status code of a refusal of the request: the generation layer's
// mapping for the categories the request raises.
uint32_t status_of(const VNError& e) {
  if (std::string_view(e.reason()).find("allocation") != std::string_view::npos) return 7;
  const std::string_view category = e.category();
  return category == vn_category::kArgument || category == vn_category::kFrontend ? 1 : 14;
}

}  // namespace

int chat_command(const nlohmann::json& options) {
  uint32_t code = 0;
  char message[kMessageBytes] = "";
  try {
    // The request is checked before the model is opened, so a malformed
    // messages file fails without loading any weights.
    const ChatRequest request(options);
    // Opening the model and generating come with the generative sessions.
    code = 12;
    std::snprintf(message, sizeof message, "%s", "Generative models are not available in this build");
  } catch (const VNError& e) {
    code = status_of(e);
    std::snprintf(message, sizeof message, "%s", e.reason());
  }
  std::fprintf(stderr, "vorn: [%u] %s\n", code, message);
  return 0;
}

}  // namespace vorn
