#include "generation/generation_loop.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/vn_error.h"
#include "container/records.h"
#include "generation/generation_trace.h"
#include "generation/sampler.h"
#include "generation/sampling_params.h"
#include "generation/text_stream.h"
#include "generation/vn_constraint.h"
#include "generation/vn_processor.h"
#include "gpu/vn_graph.h"
#include "platform/half.h"

namespace vorn {

namespace {

using json = nlohmann::json;
using Feed = std::map<std::string, VNTensorRef>;

// Names of the prepared inputs the loop knows.
constexpr const char* kInputIds = "input_ids";
constexpr const char* kPositionIds = "position_ids";
constexpr const char* kTextMask = "text_attention_mask";
constexpr const char* kPixelValues = "pixel_values";
constexpr const char* kImagePositions = "image_token_positions";
constexpr const char* kVisionInputs[] = {kPixelValues, "patch_position_ids", "vision_attention_mask",
                                         kImagePositions};

// The finish texts of a generation.
constexpr const char* kTextEos = "eos";
constexpr const char* kTextStop = "stop_sequence";
constexpr const char* kTextLength = "length";
constexpr const char* kTextCancelled = "cancelled";

constexpr uint64_t kMaxNewTokens = 8192;
constexpr uint64_t kDefaultContext = 2048;
// Boundary captures keep this many entries of their second dimension.
constexpr uint64_t kTraceBoundaryRows = 8;

double ms_since(double start) { return (monotonic_seconds_alt() - start) * 1000.0; }

uint64_t kind_size(uint64_t kind) { return kind == kElemF16 ? 2 : kind == kElemF32 ? 4 : 8; }

const json& entry(const json& dict, const char* key) {
  static const json kAbsent;
  auto it = dict.find(key);
  return it == dict.end() ? kAbsent : *it;
}

// A whole number that fits the given range, else the fallback.
uint64_t whole(const json& value, uint64_t fallback) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer()) return value.get<int64_t>() < 0 ? UINT64_MAX : uint64_t(value.get<int64_t>());
  if (value.is_number_float()) {
    const double d = value.get<double>();
    return d >= 0 && d < 1.8e19 && double(uint64_t(d)) == d ? uint64_t(d) : UINT64_MAX;
  }
  return fallback;
}

// The loop's refusals of an input say which input, and why: the request
// files of the batch command are written by hand as often as by a tool.
[[noreturn]] void refuse_input(const std::string& name, const std::string& why) {
  throw_inference("Input data length: " + name + " " + why);
}

std::vector<uint64_t> shape_of(const std::string& name, const json& spec) {
  const json& shape = entry(spec, "shape");
  if (!shape.is_array()) refuse_input(name, "has no shape");
  std::vector<uint64_t> dims;
  for (const json& d : shape) {
    const uint64_t v = whole(d, UINT64_MAX);
    if (v == UINT64_MAX) throw_inference("Invalid dimension");
    dims.push_back(v);
  }
  return dims;
}

bool all_finite(const uint8_t* bytes, uint64_t count, uint64_t kind) {
  for (uint64_t i = 0; i < count; ++i) {
    if (kind == kElemF16) {
      uint16_t h;
      std::memcpy(&h, bytes + 2 * i, 2);
      if ((h & 0x7fff) > 0x7bff) return false;
    } else {
      uint32_t f;
      std::memcpy(&f, bytes + 4 * i, 4);
      if ((f & 0x7fffffff) > 0x7f7fffff) return false;
    }
  }
  return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

// A new tensor of the given shape and kind holding bytes (zeros when null).
VNTensorRef filled(VNGraph& g, const std::vector<uint64_t>& shape, uint64_t kind, const void* bytes) {
  VNTensorRef t = g.tensor(shape, kind);
  const uint64_t n = t->count * kind_size(kind);
  if (n == 0) return t;
  if (bytes != nullptr) std::memcpy(t->contents(), bytes, n);
  else std::memset(t->contents(), 0, n);
  return t;
}

// A copy of a tensor's shape with dimension 0 set to 0: nothing for the
// vision encoder.
VNTensorRef emptied(VNGraph& g, const VNTensorRef& t) {
  std::vector<uint64_t> shape = t->shape;
  if (!shape.empty()) shape[0] = 0;
  return g.tensor(shape, t->dtype);
}

std::vector<int64_t> read_ids(const VNTensor& t) {
  std::vector<int64_t> ids(t.count);
  if (t.count > 0) std::memcpy(ids.data(), t.contents(), t.count * 8);
  return ids;
}

void logits_to_f32(const VNTensor& logits, uint64_t activation, uint64_t vocab, std::vector<float>& out) {
  if (logits.shape.empty() || logits.count < vocab || logits.dtype != activation) throw_inference("Logits shape");
  const uint8_t* at = logits.contents() + (logits.count - vocab) * kind_size(activation);
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

bool cancel_set(const GenerationInvocation* inv) {
  return inv != nullptr && inv->session != nullptr && inv->session->cancel.load(std::memory_order_acquire) != 0;
}

bool is_cancel(const VNError& e) { return std::strcmp(e.category(), vn_category::kCancelled) == 0; }

json profile_json(const std::vector<VNProfileRecord>& records) {
  json out = json::array();
  for (const VNProfileRecord& r : records)
    out.push_back({{"node", r.node}, {"op", r.op}, {"group", r.group}, {"input_shape", r.input_shape},
                   {"gpu_ms", r.gpu_ms}});
  return out;
}

// The tensors of the prefill pass of one step of a traced run: the logits
// of the last position; in the prefill also every capture (a long second
// dimension cut to its first entries) and every KV-cache tensor.
json write_trace(const std::string& dir, uint64_t step, const VNRunResult& r, uint64_t vocab) {
  const std::string step_dir = dir + "/step" + std::to_string(step);
  std::error_code ec;
  std::filesystem::create_directories(step_dir, ec);
  if (ec) throw_inference("Trace directory");
  json outputs = json::object();
  const VNTensor& logits = *r.logits;
  outputs["logits_last"] = trace_write_tensor(logits, "logits_last", step_dir,
                                              (logits.count - vocab) * kind_size(logits.dtype), {1, 1, vocab});
  if (step != 0) return outputs;
  for (const auto& [name, t] : r.captures) {
    const std::string traced = "boundary/" + name;
    if (t->shape.size() >= 2 && t->shape[1] > kTraceBoundaryRows) {
      std::vector<uint64_t> shape = t->shape;
      uint64_t inner = kind_size(t->dtype);
      for (size_t d = 2; d < shape.size(); ++d) inner *= shape[d];
      shape[1] = kTraceBoundaryRows;
      const uint64_t block = kTraceBoundaryRows * inner;
      std::vector<uint8_t> bytes(shape[0] * block);
      for (uint64_t i = 0; i < shape[0]; ++i)
        std::memcpy(bytes.data() + i * block, t->contents() + i * t->shape[1] * inner, block);
      const std::string file = trace_file_name(traced);
      if (!trace_write_file(step_dir, file, bytes.data(), bytes.size())) throw_inference("Writing boundary tensor");
      outputs[traced] = {{"file", file}, {"shape", shape}, {"dtype", t->dtype}};
    } else {
      outputs[traced] = trace_write_tensor(*t, traced, step_dir, 0, t->shape);
    }
  }
  for (const auto& [name, t] : r.cache) outputs[name] = trace_write_tensor(*t, name, step_dir, 0, t->shape);
  return outputs;
}

// The leading common ids of the cached sequence and the prompt, at most
// P - 1, and none when an image token of the prompt lies past them.
uint64_t reusable_prefix(const KvCache& cache, const std::vector<int64_t>& prompt, const VNTensorRef& positions,
                         const PixelBytes& pixels) {
  const uint64_t r = cache.reusablePrefix(prompt, pixels);
  if (r == 0) return 0;
  if (positions != nullptr && positions->count > 0) {
    for (int64_t p : read_ids(*positions))
      if (p < 0 || uint64_t(p) >= r) return 0;
  }
  return r;
}

}  // namespace

json generation_loop(VNGraph& g, json& request, const GenerationLoopObjects& objects, const char* request_dir,
                     const char* output_dir, uint32_t mode) {
  const double t0 = monotonic_seconds_alt();
  GenerationInvocation* inv = objects.invocation;
  const uint64_t act = g.activation();
  if (output_dir != nullptr) {
    std::error_code ec;
    std::filesystem::create_directories(output_dir, ec);
    if (ec) throw_inference(std::string("Output directory ") + output_dir + ": " + ec.message());
  }

  // Binding: every prepared input becomes a graph tensor, its bytes copied
  // once.
  Feed prompt;
  std::shared_ptr<const std::vector<uint8_t>> pixels;
  json tensor_ms = json::object(), stage_ms = json::object();
  const json& inputs = entry(request, "inputs");
  if (!inputs.is_object()) throw_inference("Input data length: no \"inputs\" object");
  for (auto& [name, spec] : request["inputs"].items()) {
    const double start = monotonic_seconds_alt();
    const std::vector<uint64_t> shape = shape_of(name, spec);
    const uint64_t kind = whole(entry(spec, "dtype"), 0);
    VNTensorRef t = g.tensor(shape, kind);
    const double allocated = monotonic_seconds_alt();
    std::vector<uint8_t> file_bytes;
    const std::vector<uint8_t>* bytes = nullptr;
    if (mode == kLoopInMemory) {
      if (spec.is_object() && spec.contains("data") && spec["data"].is_binary()) bytes = &spec["data"].get_binary();
    } else if (spec.is_object() && spec.contains("file") && spec["file"].is_string()) {
      std::string path = spec["file"].get<std::string>();
      if (!path.empty() && path[0] != '/' && request_dir != nullptr) path = std::string(request_dir) + "/" + path;
      if (!read_file(path, &file_bytes)) refuse_input(name, "cannot read " + path);
      bytes = &file_bytes;
    }
    const double read = monotonic_seconds_alt();
    const uint64_t length = t->count * kind_size(kind);
    if (bytes == nullptr) refuse_input(name, mode == kLoopInMemory ? "has no data" : "names no file");
    if (bytes->size() != length)
      refuse_input(name, "holds " + std::to_string(bytes->size()) + " bytes where its shape and dtype need " +
                             std::to_string(length));
    if (length > 0) std::memcpy(t->contents(), bytes->data(), length);
    const double copied = monotonic_seconds_alt();
    if (mode != kLoopInMemory && (kind == kElemF16 || kind == kElemF32) && t->count > 0 &&
        !all_finite(t->contents(), t->count, kind))
      throw_inference("Input contains nonfinite values");
    if (name == kPixelValues) {
      // The pixels stay for the next generation's prefix comparison; the
      // dictionary's bytes are handed over rather than copied again.
      if (mode == kLoopInMemory) {
        pixels = std::make_shared<const std::vector<uint8_t>>(std::move(spec["data"].get_binary()));
        spec["data"] = json::binary({});
      } else {
        pixels = std::make_shared<const std::vector<uint8_t>>(std::move(file_bytes));
      }
    }
    const double done = monotonic_seconds_alt();
    tensor_ms[name] = (done - start) * 1000.0;
    stage_ms[name] = {{"allocation_ms", (allocated - start) * 1000.0},
                      {"file_read_ms", (read - allocated) * 1000.0},
                      {"copy_ms", (copied - read) * 1000.0},
                      {"finite_validation_ms", (done - copied) * 1000.0}};
    prompt[name] = std::move(t);
  }

  const uint64_t max_new = whole(entry(request, "max_new_tokens"), 0);
  if (max_new < 1 || max_new > kMaxNewTokens) throw_inference("max_new_tokens must be 1..8192");
  uint64_t context = whole(entry(request, "context_length"), 0);
  if (context == 0) context = kDefaultContext;
  auto ids_it = prompt.find(kInputIds);
  if (ids_it == prompt.end() || ids_it->second->dtype != kElemI64 || ids_it->second->shape.size() != 2 ||
      ids_it->second->shape[0] != 1 || ids_it->second->shape[1] < 1 ||
      ids_it->second->shape[1] + max_new > context)
    throw_inference("Prompt plus output exceeds context budget");
  const std::vector<int64_t> prompt_ids = read_ids(*ids_it->second);
  const uint64_t P = prompt_ids.size();
  auto mask_it = prompt.find(kTextMask);
  if (mask_it == prompt.end() || (mask_it->second->count != 0 && mask_it->second->count != P * P))
    throw_inference("Initial attention mask");
  const VNTensorRef prompt_mask = mask_it->second;

  // The session's cache, or one of this generation's own.
  KvCache own;
  KvCache& cache = objects.cache != nullptr ? *objects.cache : own;
  const bool reuse = inv != nullptr && objects.cache != nullptr;
  cache.reserve(P + max_new);

  std::vector<int64_t> forced;
  for (const json& v : entry(request, "forced_tokens")) {
    if (!v.is_number_integer()) throw_inference("Forced token out of range");
    forced.push_back(v.get<int64_t>());
  }
  std::vector<std::string> captures;
  for (const json& v : entry(request, "captures"))
    if (v.is_string()) captures.push_back(v.get<std::string>());
  const bool trace = entry(request, "trace").is_boolean() && entry(request, "trace").get<bool>();
  const SamplingParams sampling = sampling_params_from_dictionary(request);
  uint64_t rng = sampling.seed;
  const double input_prepare_ms = ms_since(t0);

  std::vector<std::string> stops;
  for (const json& v : entry(request, "stop")) {
    if (!v.is_string() || v.get_ref<const std::string&>().empty()) throw_inference("Invalid stop sequence");
    stops.push_back(v.get<std::string>());
  }
  std::unique_ptr<TextStream, StreamDeleter> stream;
  if (objects.processor != nullptr) {
    std::vector<const char*> pointers;
    for (const std::string& s : stops) pointers.push_back(s.c_str());
    TextChunkCallback callback = nullptr;
    void* context_ptr = nullptr;
    if (inv != nullptr) {
      callback = inv->callback;
      context_ptr = inv->callback_context;
    } else if (entry(request, "stream").is_boolean() && entry(request, "stream").get<bool>()) {
      callback = stream_to_stdout;
    }
    stream.reset(text_stream_create(pointers.data(), pointers.size(), callback, context_ptr));
    if (stream == nullptr) throw_inference("Stream allocation failed");
  }
  std::vector<int64_t> eos;
  for (const json& v : entry(request, "eos_token_ids"))
    if (v.is_number_integer()) eos.push_back(v.get<int64_t>());

  // Prefix reuse (the session path only): the prompt's leading ids that the
  // previous generation already processed come from its KV cache.
  Feed feed = prompt;
  uint64_t reused = 0;
  if (reuse) {
    auto positions = prompt.find(kImagePositions);
    reused = reusable_prefix(cache, prompt_ids, positions == prompt.end() ? nullptr : positions->second, pixels);
    if (reused > 0) {
      const uint64_t rest = P - reused;
      feed[kInputIds] = filled(g, {1, rest}, kElemI64, prompt_ids.data() + reused);
      auto pos = prompt.find(kPositionIds);
      if (pos == prompt.end() || pos->second->count != P || pos->second->dtype != kElemI64)
        throw_inference("Missing VLM input");
      feed[kPositionIds] = filled(g, {1, rest}, kElemI64, pos->second->contents() + reused * 8);
      feed[kTextMask] = prompt_mask->count == 0
                            ? filled(g, {1, 1, 0, 0}, act, nullptr)
                            : filled(g, {1, 1, rest, P}, act, prompt_mask->contents() + reused * P * kind_size(act));
      for (const char* name : kVisionInputs) {
        auto it = prompt.find(name);
        if (it == prompt.end()) throw_inference("Missing VLM input");
        feed[name] = emptied(g, it->second);
      }
      for (const auto& [name, t] : cache.cachedKV()) {
        auto view = std::make_shared<VNTensor>(*t);
        if (view->shape.size() < 3) throw_inference("Missing VLM input");
        view->shape[2] = reused;
        view->count = shape_element_count(view->shape);
        feed[name] = std::move(view);
      }
    }
    // A generation that fails from here on leaves nothing to reuse.
    cache.forget();
  }

  // Inputs every decode step shares: nothing for the vision encoder, and the
  // empty mask of a causal prompt.
  Feed constants;
  for (const char* name : kVisionInputs) {
    auto it = prompt.find(name);
    if (it != prompt.end()) constants[name] = emptied(g, it->second);
  }
  if (prompt_mask->count == 0) constants[kTextMask] = filled(g, {1, 1, 0, 0}, act, nullptr);
  auto owned_elsewhere = [&](const VNTensorRef& t) {
    for (const auto& [n, p] : prompt)
      if (p == t) return true;
    for (const auto& [n, c] : constants)
      if (c == t) return true;
    return false;
  };

  std::vector<int64_t> history = prompt_ids, generated;
  std::vector<double> log_probabilities;
  std::vector<float> logits;
  std::vector<uint8_t> mask;
  json runs = json::array();
  const char* finish = kTextLength;
  const uint64_t amount = inv != nullptr ? inv->amount_decimals : 0;
  bool finished = false;
  for (uint64_t step = 0; step < max_new && !finished; ++step) {
    if (cancel_set(inv)) {
      finish = kTextCancelled;
      break;
    }
    const double run_start = monotonic_seconds_alt();
    VNRunResult r;
    try {
      r = g.run(feed, step == 0 ? captures : std::vector<std::string>{}, &cache);
    } catch (const VNError& e) {
      if (!is_cancel(e)) throw;
      finish = kTextCancelled;
      break;
    }
    const double wall_ms = ms_since(run_start);
    if (cancel_set(inv)) {
      finish = kTextCancelled;
      break;
    }
    if (reuse) {
      // What this pass holds in its cache: the history before this step.
      if (step == 0)
        cache.hold(prompt_ids, pixels, r.cache);
      else
        cache.holdNext(generated.back(), r.cache);
    }
    const double select_start = monotonic_seconds_alt();
    const uint64_t vocab = r.logits == nullptr || r.logits->shape.empty() ? 0 : r.logits->shape.back();
    if (vocab == 0) throw_inference("Logits shape");
    logits_to_f32(*r.logits, act, vocab, logits);
    const uint8_t* allow = nullptr;
    if (inv != nullptr && inv->mask_callback != nullptr) {
      mask.assign(vocab, 1);
      if (inv->mask_callback(inv->mask_context, generated.data(), generated.size(), mask.data(), vocab) != 0) {
        finish = kTextCancelled;
        break;
      }
      allow = mask.data();
    }
    if (objects.constraint != nullptr) {
      mask.assign(vocab, 1);
      objects.constraint->mask(mask.data(), vocab, max_new - step);
      allow = mask.data();
    }
    SampledToken sampled{};
    const uint32_t status =
        sample_token(logits.data(), vocab, allow, history.data(), history.size(), &sampling, &rng, &sampled);
    if (status == kSampleBadArgument) throw VNError(vn_category::kArgument, "Invalid sampling parameters");
    if (status == kSampleNoCandidate) throw VNError(vn_category::kArgument, "Token mask excludes entire vocabulary");
    if (status == kSampleNonFinite) throw_inference("Nonfinite logits");
    if (status != kSampleOk) throw_inference("Sampling allocation failed");
    int64_t token = sampled.token;
    // A forced token replaces the sampled one; the log-probability stays
    // the sampled token's.
    if (step < forced.size()) {
      token = forced[step];
      if (token < 0 || uint64_t(token) >= vocab) throw_inference("Forced token out of range");
    }
    log_probabilities.push_back(sampled.log_probability);
    generated.push_back(token);
    history.push_back(token);
    const double selection_ms = ms_since(select_start);

    const double trace_start = monotonic_seconds_alt();
    json outputs = json::object();
    if (trace) {
      if (output_dir == nullptr) throw_inference("Trace directory");
      outputs = write_trace(output_dir, step, r, vocab);
    }
    runs.push_back({{"step", step},
                    {"wall_ms", wall_ms},
                    {"encode_ms", g.lastEncodeMs},
                    {"gpu_ms", g.lastGPUms},
                    {"token", token},
                    {"outputs", std::move(outputs)},
                    {"profile", profile_json(g.lastProfile)},
                    {"token_selection_ms", selection_ms},
                    {"trace_write_ms", ms_since(trace_start)},
                    {"decode_state_prepare_ms", 0.0}});

    if (stream != nullptr) {
      std::string bytes = objects.processor->tokenBytes(token);
      size_t skip = 0;
      // An amount never starts with white space, however the model opens it.
      if (amount != 0 && text_stream_length(stream.get()) == 0)
        while (skip < bytes.size() && std::strchr(" \t\n\r", bytes[skip]) != nullptr && bytes[skip] != '\0') ++skip;
      const uint32_t state = text_stream_append(stream.get(), reinterpret_cast<const uint8_t*>(bytes.data()) + skip,
                                                bytes.size() - skip, uint64_t(token));
      if (state == kStreamFailed) throw_inference("Stream allocation failed");
      if (state == kStreamStopString) {
        finish = kTextStop;
        break;
      }
      if (state != kStreamRunning) {
        finish = kTextCancelled;
        break;
      }
    }
    if (forced.empty() && std::find(eos.begin(), eos.end(), token) != eos.end()) {
      finish = kTextEos;
      break;
    }
    if (objects.constraint != nullptr && objects.constraint->acceptToken(token)) {
      finish = step + 1 == max_new ? kTextLength : kTextStop;
      break;
    }
    if (step + 1 == max_new) break;

    const double prepare_start = monotonic_seconds_alt();
    Feed next = prompt;
    const int64_t position = int64_t(P + step);
    next[kInputIds] = filled(g, {1, 1}, kElemI64, &token);
    next[kPositionIds] = filled(g, {1, 1}, kElemI64, &position);
    if (prompt_mask->count == 0) {
      next[kTextMask] = constants[kTextMask];
    } else {
      VNTensorRef m = filled(g, {1, 1, 1, P + step + 1}, act, nullptr);
      std::memcpy(m->contents(), prompt_mask->contents() + (P - 1) * P * kind_size(act), P * kind_size(act));
      next[kTextMask] = std::move(m);
    }
    for (const char* name : kVisionInputs) {
      auto it = constants.find(name);
      if (it == constants.end()) throw_inference("Missing VLM input");
      next[name] = it->second;
    }
    for (const auto& [name, t] : r.cache) next[name] = t;
    for (const auto& [name, t] : feed)
      if (!owned_elsewhere(t)) g.recycle(t);
    g.recycle(r.logits);
    for (const auto& [name, t] : r.captures) g.recycle(t);
    feed = std::move(next);
    runs.back()["decode_state_prepare_ms"] = ms_since(prepare_start);
  }

  if (cancel_set(inv)) finish = kTextCancelled;
  if (stream != nullptr) {
    const uint32_t state = text_stream_finish(stream.get());
    if (state == kStreamFailed) throw_inference("Stream allocation failed");
    if (state == kStreamStopped) finish = kTextCancelled;
  }
  if (std::strcmp(finish, kTextCancelled) == 0) cache.forget();

  json result = json::object();
  result["answer"] = stream != nullptr ? std::string(text_stream_text(stream.get()), text_stream_length(stream.get()))
                                       : std::string();
  result["finish_reason"] = finish;
  result["token_log_probabilities"] = log_probabilities;
  const json& name = entry(request, "name");
  result["name"] = name.is_string() ? name.get<std::string>() : std::string("prompt");
  result["prompt_tokens"] = P;
  result["generated_token_ids"] = generated;
  result["runs"] = std::move(runs);
  result["kv_cache"] = {{"reused_prompt_tokens", reused},
                        {"policy", "preallocated"},
                        {"capacity_tokens", cache.cacheCapacity()},
                        {"buffers", cache.cacheBufferCount()},
                        {"reserved_bytes", cache.cacheReservedBytes()},
                        {"appended_elements", cache.cacheWrittenElements()},
                        {"copied_history_elements", cache.cacheCopiedElements()}};
  result["input_prepare_ms"] = input_prepare_ms;
  result["input_tensor_ms"] = std::move(tensor_ms);
  result["input_tensor_stages_ms"] = std::move(stage_ms);
  result["case_wall_ms"] = ms_since(t0);
  return result;
}

}  // namespace vorn
