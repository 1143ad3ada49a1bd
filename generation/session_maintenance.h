// Operations on an open generative session between generations: cancel a
// running generation (from any thread), forget the prompt and KV-cache
// reuse state, release the device side of the model (unload) and build it
// again (reload), and release the session. Reset, unload and reload take the
// busy flag and are refused (code 9) while anything else holds it.
#pragma once
#include "base/error_record.h"
#include "generation/records.h"

namespace vorn {

void vlm_session_cancel(VlmSession* session);
bool vlm_session_reset_cache(VlmSession* session, ErrorRecord* error);
bool vlm_session_unload(VlmSession* session, ErrorRecord* error);
bool vlm_session_reload(VlmSession* session, ErrorRecord* error);
// Null-safe; the caller must not release a session in use.
void vlm_session_release(VlmSession* session);

}  // namespace vorn
