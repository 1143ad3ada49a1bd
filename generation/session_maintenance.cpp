#include "generation/session_maintenance.h"

#include "generation/session_state.h"
#include "vorn.h"

namespace vorn {

namespace {

// The common start of reset, unload and reload; on success the caller owns
// the busy flag.
bool begin(VlmSession* session, ErrorRecord* error) {
  if (error != nullptr) error_clear(error);
  if (session == nullptr) return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Session is required");
  uint32_t idle = 0;
  if (!session->busy.compare_exchange_strong(idle, 1, std::memory_order_acq_rel))
    return error_record_set(error, VORN_STATUS_BUSY, "Session is busy");
  return true;
}

bool end(VlmSession* session, bool result) {
  session->busy.store(0, std::memory_order_seq_cst);
  return result;
}

}  // namespace

void vlm_session_cancel(VlmSession* session) {
  if (session != nullptr) session->cancel.store(1, std::memory_order_seq_cst);
}

bool vlm_session_reset_cache(VlmSession* session, ErrorRecord* error) {
  if (!begin(session, error)) return false;
  session->state->kvCache.forget();
  if (VNGraph* g = session->state->graph.get()) g->clearPool();
  session->cancel.store(0, std::memory_order_seq_cst);
  return end(session, true);
}

bool vlm_session_unload(VlmSession* session, ErrorRecord* error) {
  if (!begin(session, error)) return false;
  session->state->releaseGraph();
  return end(session, true);
}

bool vlm_session_reload(VlmSession* session, ErrorRecord* error) {
  if (!begin(session, error)) return false;
  VNSessionState& state = *session->state;
  if (state.graph != nullptr) return end(session, true);
  GenerativeOpenParams params = state.params;
  params.backend = state.backend.c_str();
  VlmSession* fresh = nullptr;
  const bool ok = state.sourceFd < 0
                      ? vlm_open_path(state.path.c_str(), &params, &fresh, error)
                      : vlm_open_fd(state.sourceFd, state.sourceBase, state.sourceLength, &params, &fresh, error);
  if (ok) {
    // The session takes over the new state; the old one (its descriptor
    // included) goes.
    session->state = std::move(fresh->state);
    delete fresh;
  }
  return end(session, ok);
}

void vlm_session_release(VlmSession* session) { delete session; }

}  // namespace vorn
