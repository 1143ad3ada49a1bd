#include "frontend/chat_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error_record.h"
#include "base/files.h"
#include "base/vn_error.h"
#include "frontend/chat_options.h"
#include "frontend/chat_request.h"
#include "frontend/generation_report.h"
#include "generation/generation_call.h"
#include "generation/generation_trace.h"
#include "generation/session_maintenance.h"
#include "generation/session_state.h"
#include "vorn.h"

namespace vorn {

namespace {

using json = nlohmann::json;

bool option_flag(const json& options, const char* key) {
  const auto it = options.find(key);
  return it != options.end() && it->is_boolean() && it->get<bool>();
}

// Opens the model named by the options. The session layer's reasons say
// what went wrong, not with which file or why the file could not be read:
// the message names the path, and a file that cannot be opened at all says
// why, as the other commands do.
bool open_model(const char* path, const GenerativeOpenParams& params, VlmSession** session, ErrorRecord* error) {
  const auto refuse = [&](uint32_t code, const char* reason) {
    error_set(error, code, std::string("Cannot open model ") + path + ": " + reason);
    return false;
  };
  int64_t size = 0;
  const int fd = open_regular_file(path, &size);
  if (fd < 0) return refuse(VORN_STATUS_IO, open_failure_text(fd));
  ::close(fd);
  if (vlm_open_path(path, &params, session, error)) return true;
  const std::string reason = error->message;
  return refuse(error->code, reason.c_str());
}

// One generation on the open session from the options; the answer streams
// to standard output when a callback is given.
bool generate_from_options(VlmSession* session, const ChatRequest& chat, TextChunkCallback callback,
                           GenerationResult* result, ErrorRecord* error) {
  return vlm_session_generate(session, chat.messages(), chat.message_count(), &chat.request(), callback, nullptr,
                              result, error);
}

// Opens the model, generates, and writes the report when one is asked for.
bool chat_with_report(const json& options, GenerationResult* result, ErrorRecord* error) {
  const double start = monotonic_seconds_alt();
  VlmSession* session = nullptr;
  try {
    // The request is checked before the model is opened, so a malformed
    // messages file fails without loading any weights.
    const ChatRequest chat(options);
    const GenerativeOpenParams params = chat_open_params(options);
    if (!open_model(options_model_path(options), params, &session, error)) return false;
    VNSessionState& state = *session->state;
    state.graph->configure(options);
    state.graph->setProfile(option_flag(options, "profile"));
    if (!generate_from_options(session, chat, option_flag(options, "stream") ? stream_to_stdout : nullptr, result,
                               error)) {
      vlm_session_release(session);
      return false;
    }
    const auto report_path = options.find("report");
    if (report_path != options.end()) {
      const OpenTimings timings{state.processorMs, state.backendMs, state.readMs, state.metadataMs, state.slotMs};
      const double wall_ms = (monotonic_seconds_alt() - start) * 1000;
      write_generation_report(*report_path, generation_report(state.lastReport, timings, options, wall_ms));
    }
    vlm_session_release(session);
    return true;
  } catch (const std::exception& e) {
    vlm_session_release(session);
    generation_result_free(result);
    vlm_error_from_exception(e, error);
    return false;
  }
}

}  // namespace

int chat_command(const json& options) {
  GenerationResult result{};
  ErrorRecord error{};
  bool ok = chat_with_report(options, &result, &error);
  if (ok) {
    // A streamed answer is already out; only its line end is left.
    if (!option_flag(options, "stream")) std::fwrite(result.answer, 1, result.answer_length, stdout);
    std::fputs("\n", stdout);
    // An answer that did not reach its reader is a failed command, not a
    // quiet success.
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
      std::string why = "Cannot write the answer to standard output";
      if (!flushed) why += std::string(": ") + std::strerror(errno);
      error_set(&error, VORN_STATUS_IO, why);
      ok = false;
    }
  }
  if (!ok) {
    std::fprintf(stderr, "vorn: [%u] %s\n", error.code, error.message);
  }
  generation_result_free(&result);
  return ok ? 1 : 0;
}

}  // namespace vorn
