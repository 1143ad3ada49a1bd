// The operations of the generation subsystem that the session layer calls.
// The session keeps only the VlmSession pointer, passes it to these and
// releases it with vlm_close. This build has no generation subsystem: the
// stand-ins in generation_stub.cpp refuse every open, so no VlmSession ever
// exists and the rest only accept null.
#pragma once
#include <cstdint>

namespace vorn {

struct VlmSession;

// Opens a generative model from a path (or a descriptor range the caller
// keeps). On failure stores a VornStatus code and a NUL-terminated message
// cut to the buffer size and answers false.
bool vlm_session_open_path(const char* path, uint32_t context_length, bool fp16,
                           const char* cache_dir, bool verify, VlmSession** out,
                           uint32_t* out_code, char* message, uint64_t message_size);
bool vlm_session_open_fd(int fd, uint64_t offset, uint64_t length, uint32_t context_length,
                         bool fp16, const char* cache_dir, bool verify, VlmSession** out,
                         uint32_t* out_code, char* message, uint64_t message_size);
void vlm_close(VlmSession* vlm);
void vlm_cancel(VlmSession* vlm);
bool vlm_reset(VlmSession* vlm);
bool vlm_unload(VlmSession* vlm);
bool vlm_reload(VlmSession* vlm);

}  // namespace vorn
