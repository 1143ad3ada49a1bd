// Stand-ins for the generation subsystem until it lands: a generative model
// is recognised and described, but opening it fails with status 12 and says
// why, so an application learns at open time rather than at the first run.
#include <cstring>

#include "session/generation.h"

namespace vorn {

namespace {

constexpr const char* kNoGeneration = "Generative models are not available in this build";

bool refuse(VlmSession** out, uint32_t* out_code, char* message, uint64_t size) {
  if (out != nullptr) *out = nullptr;
  if (out_code != nullptr) *out_code = 12;
  if (message != nullptr && size > 0) {
    uint64_t n = std::strlen(kNoGeneration);
    if (n > size - 1) n = size - 1;
    std::memcpy(message, kNoGeneration, n);
    message[n] = '\0';
  }
  return false;
}

}  // namespace

bool vlm_session_open_path(const char*, uint32_t, bool, const char*, bool, VlmSession** out,
                           uint32_t* out_code, char* message, uint64_t message_size) {
  return refuse(out, out_code, message, message_size);
}

bool vlm_session_open_fd(int, uint64_t, uint64_t, uint32_t, bool, const char*, bool,
                         VlmSession** out, uint32_t* out_code, char* message,
                         uint64_t message_size) {
  return refuse(out, out_code, message, message_size);
}

void vlm_close(VlmSession*) {}
void vlm_cancel(VlmSession*) {}
bool vlm_reset(VlmSession* vlm) { return vlm != nullptr; }
bool vlm_unload(VlmSession* vlm) { return vlm != nullptr; }
bool vlm_reload(VlmSession* vlm) { return vlm != nullptr; }

}  // namespace vorn
