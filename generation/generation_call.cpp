#include "generation/generation_call.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/bytes.h"
#include "base/files.h"
#include "base/vn_error.h"
#include "generation/generation_loop.h"
#include "generation/sampling_params.h"
#include "generation/session_state.h"
#include "generation/vn_constraint.h"
#include "vorn.h"

namespace vorn {

namespace {

using json = nlohmann::json;

constexpr uint64_t kMaxMessages = 4096;
constexpr uint64_t kMaxParts = 4096;
constexpr uint64_t kMaxStops = 1024;
constexpr uint64_t kMaxImageBytes = 536870912;

// The finish texts of the loop and the flat interface's reasons.
struct FinishName {
  const char* text;
  uint32_t reason;
};
constexpr FinishName kFinishNames[] = {
    {"eos", kFinishEos}, {"stop_sequence", kFinishStopSequence}, {"cancelled", kFinishCancelled}};

[[noreturn]] void refuse(const char* reason) { throw VNError(vn_category::kArgument, reason); }

json image_part(const ImageSource& image) {
  json part = {{"type", "image"}};
  if (image.kind == kImageSourcePath) {
    part["path"] = checked_utf8(image.path);
    return part;
  }
  if (image.data == nullptr || image.length < 1 || image.length > kMaxImageBytes) refuse("Invalid image bytes");
  const auto* bytes = static_cast<const uint8_t*>(image.data);
  json::binary_t data(std::vector<uint8_t>(bytes, bytes + image.length));
  if (image.kind == kImageSourceEncoded) {
    part["data"] = std::move(data);
  } else if (image.kind == kImageSourcePixels) {
    part["pixels"] = {{"data", std::move(data)},       {"width", image.width},   {"height", image.height},
                      {"stride", image.stride},         {"format", image.format}, {"orientation", image.orientation}};
  } else {
    refuse("Invalid image kind");
  }
  return part;
}

// The state's report of a successful generation.
json session_report(const VNSessionState& state, const json& dict, const json& prepared, const json& result,
                    double preparation_ms) {
  const VNGraph& g = *state.graph;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {{"input_preparation_ms", preparation_ms},
          {"diagnostic_profile", g.profile},
          {"schema_version", 1},
          {"frontend", "native"},
          {"backend", g.backendName()},
          {"backend_policy", state.backend},
          {"weight_dtype", g.weightDtype()},
          {"weight_execution", g.weightExecution()},
          {"activation_dtype", state.params.fp16 ? "fp16" : "fp32"},
          {"device", g.device() != nullptr ? g.device()->name() : std::string()},
          {"answer", result["answer"]},
          {"finish_reason", result["finish_reason"]},
          {"cases", json::array({result})},
          {"image_views", prepared.value("image_views", json(0))},
          {"image_orientations", prepared.value("image_orientations", json::array())},
          {"image_longest_edge", dict["image_longest_edge"]},
          {"image_detail", dict["image_detail"]},
          {"frontend_stages_ms", prepared.value("stages_ms", json::object())},
          {"max_rss_bytes", uint64_t(usage.ru_maxrss) * 1024},
          {"peak_observed_metal_allocated_bytes", g.peakMetalAllocatedBytes}};
}

// Copies the loop's answer, ids and log-probabilities into the result;
// false when memory runs out (nothing is kept then).
bool fill_result(const json& out, GenerationResult* result) {
  const std::string& answer = out["answer"].get_ref<const std::string&>();
  const json& ids = out["generated_token_ids"];
  const json& logprobs = out["token_log_probabilities"];
  const size_t n = ids.size();
  result->answer = static_cast<char*>(std::calloc(answer.size() + 1, 1));
  result->token_ids = static_cast<int64_t*>(std::malloc(std::max<size_t>(n, 1) * sizeof(int64_t)));
  result->token_log_probabilities = static_cast<double*>(std::malloc(std::max<size_t>(n, 1) * sizeof(double)));
  if (result->answer == nullptr || result->token_ids == nullptr || result->token_log_probabilities == nullptr) {
    generation_result_free(result);
    return false;
  }
  std::memcpy(result->answer, answer.data(), answer.size());
  result->answer_length = answer.size();
  result->prompt_tokens = out["prompt_tokens"].get<uint32_t>();
  result->generated_tokens = uint32_t(n);
  for (size_t i = 0; i < n; ++i) {
    result->token_ids[i] = ids[i].get<int64_t>();
    result->token_log_probabilities[i] = i < logprobs.size() ? logprobs[i].get<double>() : 0.0;
  }
  result->finish_reason = kFinishLength;
  const std::string& finish = out["finish_reason"].get_ref<const std::string&>();
  for (const FinishName& f : kFinishNames)
    if (finish == f.text) result->finish_reason = f.reason;
  return true;
}

// Takes the busy flag; false (with code 9) when another operation holds it.
bool take_busy(VlmSession* session, ErrorRecord* error) {
  uint32_t idle = 0;
  if (session->busy.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) return true;
  return error_record_set(error, VORN_STATUS_BUSY, "Session is busy");
}

}  // namespace

json generation_request_dictionary(const VNSessionState* state, const GenerationMessage* messages, uint64_t count,
                                   const GenerationRequest* request) {
  const GenerationRequest defaults = generation_request_default();
  const GenerationRequest& r = request != nullptr ? *request : defaults;
  if (messages == nullptr || count < 1 || count > kMaxMessages) refuse("Messages are required");
  if (r.max_new_tokens == 0 || state == nullptr || r.max_new_tokens > state->params.context_length ||
      !sampling_params_valid(&r.sampling))
    refuse("Invalid generation parameters");
  if (r.stop_count > kMaxStops || (r.stop_count != 0 && r.stops == nullptr)) refuse("Invalid stop sequences");
  json stops = json::array();
  for (uint64_t i = 0; i < r.stop_count; ++i) {
    std::string stop = checked_utf8(r.stops[i]);
    if (stop.empty()) refuse("Empty stop sequence");
    stops.push_back(std::move(stop));
  }
  json list = json::array();
  for (uint64_t m = 0; m < count; ++m) {
    const GenerationMessage& message = messages[m];
    if (message.parts == nullptr || message.part_count < 1 || message.part_count > kMaxParts)
      refuse("Invalid message content");
    json content = json::array();
    for (uint64_t p = 0; p < message.part_count; ++p) {
      const ContentPart& part = message.parts[p];
      if (part.kind == kContentText) {
        content.push_back({{"type", "text"}, {"text", checked_utf8(part.text)}});
      } else if (part.kind == kContentImage && part.image != nullptr) {
        content.push_back(image_part(*part.image));
      } else {
        refuse("Invalid content kind");
      }
    }
    list.push_back({{"role", checked_utf8(message.role)}, {"content", std::move(content)}});
  }
  json dict = {{"causal_mask", true},
               {"messages", std::move(list)},
               {"activation", state->params.fp16 ? "fp16" : "fp32"},
               {"backend", state->backend},
               {"context_length", state->params.context_length},
               {"max_new_tokens", r.max_new_tokens},
               {"image_detail", r.image_tiled ? "tiled" : "single"},
               {"image_longest_edge", r.image_longest_edge},
               {"stop", std::move(stops)}};
  sampling_params_to_dictionary(r.sampling, dict);
  if (r.crop) dict["image_crop"] = {r.crop_box[0], r.crop_box[1], r.crop_box[2], r.crop_box[3]};
  return dict;
}

bool vlm_session_generate(VlmSession* session, const GenerationMessage* messages, uint64_t count,
                          const GenerationRequest* request, TextChunkCallback callback, void* callback_context,
                          GenerationResult* result, ErrorRecord* error) {
  if (result == nullptr) return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Result is required");
  *result = GenerationResult{};
  if (error != nullptr) error_clear(error);
  if (session == nullptr) return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Session is required");
  if (!take_busy(session, error)) return false;
  // A cancel issued before this point is forgotten.
  session->cancel.store(0, std::memory_order_release);
  const std::shared_ptr<VNSessionState> state = session->state;
  VNGraph* graph = state != nullptr ? state->graph.get() : nullptr;
  bool ok = false;
  try {
    if (graph == nullptr) refuse("Session is unloaded; reload before generation");
    const double t0 = monotonic_seconds_alt();
    json dict = generation_request_dictionary(state.get(), messages, count, request);
    std::unique_ptr<VNConstraint> constraint = state->processor->constraintWithParams(request);
    json prepared = state->processor->prepare(dict);
    dict["inputs"] = std::move(prepared["inputs"]);
    const double preparation_ms = (monotonic_seconds_alt() - t0) * 1000.0;
    dict["eos_token_ids"] = state->processor->eos();
    GenerationInvocation invocation{session, callback, callback_context, nullptr, nullptr, 0};
    if (request != nullptr) {
      invocation.mask_callback = request->mask_callback;
      invocation.mask_context = request->mask_context;
      invocation.amount_decimals = request->amount_decimals;
    }
    graph->setCancelFlag(&session->cancel);
    const json out =
        generation_loop(*graph, dict, {state->processor.get(), constraint.get(), &invocation, &state->kvCache}, nullptr,
                        nullptr, kLoopInMemory);
    if (!fill_result(out, result)) {
      error_record_set(error, VORN_STATUS_OUT_OF_MEMORY, "Result allocation failed");
    } else {
      state->lastReport = session_report(*state, dict, prepared, out, preparation_ms);
      result->reused_prompt_tokens = out["kv_cache"]["reused_prompt_tokens"].get<uint32_t>();
      result->total_ms = (monotonic_seconds_alt() - t0) * 1000.0;
      ok = true;
    }
  } catch (...) {
    generation_result_free(result);
    vlm_error_from_exception(std::current_exception(), error);
  }
  if (graph != nullptr) {
    graph->setCancelFlag(nullptr);
    graph->clearPool();
  }
  session->busy.store(0, std::memory_order_release);
  return ok;
}

bool vlm_session_generate_prompt(VlmSession* session, const char* prompt, uint32_t max_new_tokens,
                                 GenerationResult* result, ErrorRecord* error) {
  const ContentPart part{kContentText, prompt, nullptr};
  const GenerationMessage message{"user", &part, 1};
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = max_new_tokens;
  return vlm_session_generate(session, &message, 1, &request, nullptr, nullptr, result, error);
}

bool vlm_session_generate_image_path(VlmSession* session, const char* image_path, const char* prompt,
                                     uint32_t max_new_tokens, uint32_t tiled, uint32_t longest_edge,
                                     GenerationResult* result, ErrorRecord* error) {
  ImageSource image{};
  image.kind = kImageSourcePath;
  image.path = image_path;
  const ContentPart parts[2] = {{kContentImage, nullptr, &image}, {kContentText, prompt, nullptr}};
  const GenerationMessage message{"user", parts, 2};
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = max_new_tokens;
  request.image_tiled = tiled;
  request.image_longest_edge = longest_edge;
  return vlm_session_generate(session, &message, 1, &request, nullptr, nullptr, result, error);
}

bool vlm_session_count_prompt_tokens(VlmSession* session, const GenerationMessage* messages, uint64_t count,
                                     const GenerationRequest* request, uint32_t* out_count, ErrorRecord* error) {
  if (error != nullptr) error_clear(error);
  if (out_count == nullptr)
    return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Token count output is required");
  *out_count = 0;
  if (session == nullptr) return error_record_set(error, VORN_STATUS_INVALID_ARGUMENT, "Session is required");
  if (!take_busy(session, error)) return false;
  bool ok = false;
  try {
    const std::shared_ptr<VNSessionState> state = session->state;
    json dict = generation_request_dictionary(state.get(), messages, count, request);
    dict["count_only"] = true;
    const json prepared = state->processor->prepare(dict);
    *out_count = uint32_t(prepared["prompt_token_ids"].size());
    ok = true;
  } catch (...) {
    vlm_error_from_exception(std::current_exception(), error);
  }
  session->busy.store(0, std::memory_order_release);
  return ok;
}

}  // namespace vorn
