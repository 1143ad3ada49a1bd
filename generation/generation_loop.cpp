#include "generation/generation_loop.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"
#include "generation/generation_trace.h"
#include "generation/loop_feed.h"
#include "generation/loop_request.h"
#include "generation/sampler.h"
#include "generation/text_stream.h"
#include "generation/vn_constraint.h"
#include "generation/vn_processor.h"
#include "gpu/vn_graph.h"
#include "platform/half.h"

namespace vorn {

namespace {

using json = nlohmann::json;

// The finish texts of a generation.
constexpr const char* kTextEos = "eos";
constexpr const char* kTextStop = "stop_sequence";
constexpr const char* kTextLength = "length";
constexpr const char* kTextCancelled = "cancelled";

double ms_since(double start) { return (monotonic_seconds_alt() - start) * 1000.0; }

void logits_to_f32(const VNTensor& logits, uint64_t activation, uint64_t vocab, std::vector<float>& out) {
  if (logits.shape.empty() || logits.count < vocab || logits.dtype != activation) throw_inference("Logits shape");
  const uint8_t* at = logits.contents() + (logits.count - vocab) * element_size(activation);
  out.resize(vocab);
  if (activation == kElemF16) {
    for (uint64_t i = 0; i < vocab; ++i) {
      uint16_t h;
      std::memcpy(&h, at + 2 * i, 2);
      out[i] = half_to_float(h);
    }
  } else {
    std::memcpy(out.data(), at, vocab * 4);
  }
}

struct StreamDeleter {
  void operator()(TextStream* s) const { text_stream_destroy(s); }
};

bool is_cancel(const VNError& e) { return std::strcmp(e.category(), vn_category::kCancelled) == 0; }

json profile_json(const std::vector<VNProfileRecord>& records) {
  json out = json::array();
  for (const VNProfileRecord& r : records)
    out.push_back(
        {{"node", r.node}, {"op", r.op}, {"group", r.group}, {"input_shape", r.input_shape}, {"gpu_ms", r.gpu_ms}});
  return out;
}

// The record of one pass, turned into a "runs" entry when the generation
// ends.
struct StepRecord {
  uint64_t step = 0;
  double wallMs = 0, encodeMs = 0, gpuMs = 0;
  int64_t token = 0;
  json outputs;  // the step's trace manifest
  std::vector<VNProfileRecord> profile;
  double selectionMs = 0, traceWriteMs = 0, prepareMs = 0;
};

// One generation from its request to its result: the prefill (the inputs
// bound, the KV cache reserved, the first feed: the prompt, or what follows
// the prefix the cache already holds), one step per pass (run the graph,
// pick the token, record, stream, test the ends, feed the next pass), and
// the finish (the reason settled, the stream flushed, the result
// dictionary).
class Generation {
 public:
  Generation(VNGraph& g, KvCache& cache, bool reuse, const LoopRequest& request, const GenerationLoopObjects& objects,
             const char* output_dir)
      : g_(g),
        cache_(cache),
        reuse_(reuse),
        request_(request),
        objects_(objects),
        inv_(objects.invocation),
        outputDir_(output_dir),
        act_(g.activation()),
        feed_(g, request),
        rng_(request.sampling.seed) {}

  // Binds the prepared inputs, reserves the KV cache for the prompt and the
  // budget, opens the text stream and builds the first pass's feed, reusing
  // what the cache holds when it may (start: when the generation began, for
  // the input preparation time).
  void prefill(double start);
  // One pass and its token; false once the generation has ended.
  bool step();
  // The finish reason settled, the stream flushed, the KV cache forgotten
  // after a cancellation, and the result dictionary.
  json finish(double start);

 private:
  void openStream();
  bool cancelled() const {
    return inv_ != nullptr && inv_->session != nullptr && inv_->session->cancel.load(std::memory_order_acquire) != 0;
  }
  // The token of a pass's logits, masked and sampled (or forced); false
  // when the token-mask callback stops the generation.
  bool select(const VNRunResult& r, int64_t* token, uint64_t* vocab);
  // The token's text through the stream and the ends a token can reach;
  // false when the generation ends here.
  bool emit(int64_t token);
  bool end(const char* reason) {
    finish_ = reason;
    return false;
  }

  VNGraph& g_;
  KvCache& cache_;
  const bool reuse_;
  const LoopRequest& request_;
  const GenerationLoopObjects& objects_;
  GenerationInvocation* const inv_;
  const char* const outputDir_;
  const uint64_t act_;

  LoopFeed feed_;
  json tensorMs_ = json::object(), stageMs_ = json::object();
  double inputPrepareMs_ = 0;
  uint64_t reused_ = 0;

  std::unique_ptr<TextStream, StreamDeleter> stream_;
  std::vector<int64_t> history_, generated_;
  std::vector<double> logProbabilities_;
  std::vector<float> logits_;
  std::vector<uint8_t> mask_;
  uint64_t rng_;
  std::vector<StepRecord> runs_;
  uint64_t step_ = 0;
  const char* finish_ = kTextLength;
};

void Generation::openStream() {
  if (objects_.processor == nullptr) return;
  std::vector<const char*> pointers;
  for (const std::string& s : request_.stops) pointers.push_back(s.c_str());
  TextChunkCallback callback = nullptr;
  void* context = nullptr;
  if (inv_ != nullptr) {
    callback = inv_->callback;
    context = inv_->callback_context;
  } else if (request_.streamToStdout) {
    callback = stream_to_stdout;
  }
  stream_.reset(text_stream_create(pointers.data(), pointers.size(), callback, context));
  if (stream_ == nullptr) throw_inference("Stream allocation failed");
}

void Generation::prefill(double start) {
  feed_.bind(&tensorMs_, &stageMs_);
  cache_.reserve(request_.promptIds.size() + request_.maxNewTokens);
  inputPrepareMs_ = ms_since(start);
  openStream();
  if (reuse_) {
    // The prompt's leading ids that the previous generation already
    // processed come from its KV cache, the image included or not at all;
    // a generation that fails from here on leaves nothing to reuse.
    reused_ = cache_.reusablePrefix(request_.promptIds, request_.pixels);
    if (!feed_.imageWithin(reused_)) reused_ = 0;
    feed_.start(reused_, cache_.cachedKV());
    cache_.forget();
  } else {
    feed_.start(0, {});
  }
  history_ = request_.promptIds;
}

bool Generation::select(const VNRunResult& r, int64_t* token, uint64_t* vocab) {
  const uint64_t v = r.logits == nullptr || r.logits->shape.empty() ? 0 : r.logits->shape.back();
  if (v == 0) throw_inference("Logits shape");
  logits_to_f32(*r.logits, act_, v, logits_);
  const uint8_t* allow = nullptr;
  if (inv_ != nullptr && inv_->mask_callback != nullptr) {
    mask_.assign(v, 1);
    if (inv_->mask_callback(inv_->mask_context, generated_.data(), generated_.size(), mask_.data(), v) != 0)
      return end(kTextCancelled);
    allow = mask_.data();
  }
  if (objects_.constraint != nullptr) {
    mask_.assign(v, 1);
    objects_.constraint->mask(mask_.data(), v, request_.maxNewTokens - step_);
    allow = mask_.data();
  }
  SampledToken sampled{};
  const uint32_t status =
      sample_token(logits_.data(), v, allow, history_.data(), history_.size(), &request_.sampling, &rng_, &sampled);
  if (status == kSampleBadArgument) throw VNError(vn_category::kArgument, "Invalid sampling parameters");
  if (status == kSampleNoCandidate) throw VNError(vn_category::kArgument, "Token mask excludes entire vocabulary");
  if (status == kSampleNonFinite) throw_inference("Nonfinite logits");
  if (status != kSampleOk) throw_inference("Sampling allocation failed");
  // A forced token replaces the sampled one; the log-probability stays the
  // sampled token's.
  int64_t t = sampled.token;
  if (step_ < request_.forcedTokens.size()) {
    t = request_.forcedTokens[step_];
    if (t < 0 || uint64_t(t) >= v) throw_inference("Forced token out of range");
  }
  logProbabilities_.push_back(sampled.log_probability);
  generated_.push_back(t);
  history_.push_back(t);
  *token = t;
  *vocab = v;
  return true;
}

bool Generation::emit(int64_t token) {
  if (stream_ != nullptr) {
    std::string bytes = objects_.processor->tokenBytes(token);
    size_t skip = 0;
    // An amount never starts with white space, however the model opens it.
    if (inv_ != nullptr && inv_->amount_decimals != 0 && text_stream_length(stream_.get()) == 0)
      while (skip < bytes.size() && std::strchr(" \t\n\r", bytes[skip]) != nullptr && bytes[skip] != '\0') ++skip;
    const uint32_t state = text_stream_append(stream_.get(), reinterpret_cast<const uint8_t*>(bytes.data()) + skip,
                                              bytes.size() - skip, uint64_t(token));
    if (state == kStreamFailed) throw_inference("Stream allocation failed");
    if (state == kStreamStopString) return end(kTextStop);
    if (state != kStreamRunning) return end(kTextCancelled);
  }
  const std::vector<int64_t>& eos = request_.eosTokenIds;
  if (request_.forcedTokens.empty() && std::find(eos.begin(), eos.end(), token) != eos.end()) return end(kTextEos);
  if (objects_.constraint != nullptr && objects_.constraint->acceptToken(token))
    return end(step_ + 1 == request_.maxNewTokens ? kTextLength : kTextStop);
  return step_ + 1 < request_.maxNewTokens;
}

bool Generation::step() {
  if (cancelled()) return end(kTextCancelled);
  const double run_start = monotonic_seconds_alt();
  VNRunResult r;
  try {
    r = g_.run(feed_.current(), step_ == 0 ? request_.captures : std::vector<std::string>{}, &cache_);
  } catch (const VNError& e) {
    if (!is_cancel(e)) throw;
    return end(kTextCancelled);
  }
  const double wall_ms = ms_since(run_start);
  if (cancelled()) return end(kTextCancelled);
  if (reuse_) {
    // What this pass holds in its cache: the history before this step.
    if (step_ == 0)
      cache_.hold(request_.promptIds, request_.pixels, r.cache);
    else
      cache_.holdNext(generated_.back(), r.cache);
  }
  const double select_start = monotonic_seconds_alt();
  int64_t token = 0;
  uint64_t vocab = 0;
  if (!select(r, &token, &vocab)) return false;
  StepRecord& record = runs_.emplace_back();
  record.step = step_;
  record.wallMs = wall_ms;
  record.encodeMs = g_.lastEncodeMs;
  record.gpuMs = g_.lastGPUms;
  record.token = token;
  record.profile = g_.lastProfile;
  record.selectionMs = ms_since(select_start);
  const double trace_start = monotonic_seconds_alt();
  record.outputs = json::object();
  if (request_.trace) {
    if (outputDir_ == nullptr) throw_inference("Trace directory");
    record.outputs = trace_write_step(outputDir_, step_, r, vocab);
  }
  record.traceWriteMs = ms_since(trace_start);
  if (!emit(token)) return false;
  const double prepare_start = monotonic_seconds_alt();
  feed_.advance(r, token, request_.promptIds.size() + step_);
  runs_.back().prepareMs = ms_since(prepare_start);
  ++step_;
  return true;
}

json Generation::finish(double start) {
  if (cancelled()) finish_ = kTextCancelled;
  if (stream_ != nullptr) {
    const uint32_t state = text_stream_finish(stream_.get());
    if (state == kStreamFailed) throw_inference("Stream allocation failed");
    if (state == kStreamStopped) finish_ = kTextCancelled;
  }
  if (std::strcmp(finish_, kTextCancelled) == 0) cache_.forget();

  json runs = json::array();
  for (StepRecord& s : runs_)
    runs.push_back({{"step", s.step},
                    {"wall_ms", s.wallMs},
                    {"encode_ms", s.encodeMs},
                    {"gpu_ms", s.gpuMs},
                    {"token", s.token},
                    {"outputs", std::move(s.outputs)},
                    {"profile", profile_json(s.profile)},
                    {"token_selection_ms", s.selectionMs},
                    {"trace_write_ms", s.traceWriteMs},
                    {"decode_state_prepare_ms", s.prepareMs}});
  json result = json::object();
  result["answer"] = stream_ != nullptr
                         ? std::string(text_stream_text(stream_.get()), text_stream_length(stream_.get()))
                         : std::string();
  result["finish_reason"] = finish_;
  result["token_log_probabilities"] = logProbabilities_;
  result["name"] = request_.name;
  result["prompt_tokens"] = request_.promptIds.size();
  result["generated_token_ids"] = generated_;
  result["runs"] = std::move(runs);
  result["kv_cache"] = {{"reused_prompt_tokens", reused_},
                        {"policy", "preallocated"},
                        {"capacity_tokens", cache_.cacheCapacity()},
                        {"buffers", cache_.cacheBufferCount()},
                        {"reserved_bytes", cache_.cacheReservedBytes()},
                        {"appended_elements", cache_.cacheWrittenElements()},
                        {"copied_history_elements", cache_.cacheCopiedElements()}};
  result["input_prepare_ms"] = inputPrepareMs_;
  result["input_tensor_ms"] = std::move(tensorMs_);
  result["input_tensor_stages_ms"] = std::move(stageMs_);
  result["case_wall_ms"] = ms_since(start);
  return result;
}

}  // namespace

json generation_loop(VNGraph& g, json& dictionary, const GenerationLoopObjects& objects, const char* request_dir,
                     const char* output_dir, uint32_t mode) {
  const double start = monotonic_seconds_alt();
  if (output_dir != nullptr) {
    std::error_code ec;
    std::filesystem::create_directories(output_dir, ec);
    if (ec) throw_inference(std::string("Output directory ") + output_dir + ": " + ec.message());
  }
  const LoopRequest request = read_loop_request(dictionary, mode, request_dir);
  // A request of the session reuses and leaves the session's cache; any
  // other runs on a cache of its own.
  KvCache own;
  KvCache& cache = objects.cache != nullptr ? *objects.cache : own;
  Generation generation(g, cache, objects.cache != nullptr && objects.invocation != nullptr, request, objects,
                        output_dir);
  generation.prefill(start);
  while (generation.step()) {
  }
  return generation.finish(start);
}

}  // namespace vorn
