// Digests of everything a generation produces, to compare two builds (or two
// core counts) bit for bit: one line per case, the case's tokens and the
// XXH3-128 digest of its answer, token ids, log-probabilities, finish
// reason, KV-cache figures and, where the case is traced, every step's
// logits and the prefill's captures and KV-cache tensors.
//
// For each small test model (F16 and Q8 weights, patch and shuffle
// variants), FP32 and FP16 activations and every backend policy:
//   trace/<chat>: the reference chat through the generation loop with
//     traces (all logits of every step, captures at the layer boundaries);
//   call/<chat>/...: the chat through the generation call, greedy, then
//     continued by a second turn that reuses the first one's KV cache, then
//     with sampling, stop strings, a JSON schema and an amount.
//
//   generation_digest [case filter (substring)]
// Compare builds with: taskset -c 0 build/bench/generation_digest > a.txt, the
// same with the other build and at other core counts, then diff;
// VORN_BENCH_ISA=avx2 or portable runs every case in that form.
#include <xxhash.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "generation/generation_call.h"
#include "generation/generation_loop.h"
#include "generation/session_state.h"
#include "generation/vlm_interface.h"
#include "session/generative_session_fixture.h"

namespace {

using namespace vorn;
using json = nlohmann::json;

struct Digest {
  std::string bytes;
  void add(const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); }
  void add(const std::string& s) {
    const uint64_t n = s.size();
    add(&n, 8);
    bytes += s;
  }
  std::string hex() const {
    const XXH128_hash_t h = XXH3_128bits(bytes.data(), bytes.size());
    char out[40];
    std::snprintf(out, sizeof out, "%016llx%016llx", static_cast<unsigned long long>(h.high64),
                  static_cast<unsigned long long>(h.low64));
    return out;
  }
};

// The result dictionary without its timings.
json untimed(const json& result) {
  json r = result;
  for (const char* key : {"input_prepare_ms", "input_tensor_ms", "input_tensor_stages_ms", "case_wall_ms"})
    r.erase(key);
  for (json& run : r["runs"])
    for (const char* key : {"wall_ms", "encode_ms", "gpu_ms", "profile", "token_selection_ms", "trace_write_ms",
                            "decode_state_prepare_ms"})
      run.erase(key);
  return r;
}

// Log-probabilities as their bit patterns: a dump in decimal could hide a
// last-bit change.
std::string bits_of(const json& values) {
  std::string out;
  for (const json& v : values) {
    const uint64_t b = std::bit_cast<uint64_t>(v.get<double>());
    out.append(reinterpret_cast<const char*>(&b), 8);
  }
  return out;
}

std::string tokens_text(const json& ids) {
  std::string t;
  for (const json& id : ids) {
    if (!t.empty()) t += ',';
    t += std::to_string(id.get<int64_t>());
  }
  return t;
}

struct Chat {
  std::vector<std::string> roles, texts, images;
  std::vector<ImageSource> sources;
  std::vector<std::vector<ContentPart>> parts;
  std::vector<GenerationMessage> messages;
  explicit Chat(const test::ReferenceChat& c, size_t extra_turns = 0) {
    for (const test::ChatMessage& m : c.messages) push(m.role, m.text, m.image);
    if (extra_turns > 0) {
      push("assistant", "The answer was short.", "");
      push("user", "Say it again, in other words.", "");
    }
    sources.resize(images.size());
    for (size_t i = 0; i < roles.size(); ++i) {
      std::vector<ContentPart> p;
      if (!images[i].empty()) {
        sources[i].kind = kImageSourcePath;
        sources[i].path = images[i].c_str();
        p.push_back({kContentImage, nullptr, &sources[i]});
      }
      p.push_back({kContentText, texts[i].c_str(), nullptr});
      parts.push_back(std::move(p));
    }
    for (size_t i = 0; i < roles.size(); ++i) messages.push_back({roles[i].c_str(), parts[i].data(), parts[i].size()});
  }
  void push(const std::string& role, const std::string& text, const std::string& image) {
    roles.push_back(role);
    texts.push_back(text);
    images.push_back(image.empty() ? std::string() : std::string(VORN_TEST_DATA) + "/generation/lanczos/" + image);
  }
};

void print(const std::string& name, const std::string& tokens, const Digest& d) {
  std::printf("%s %s %s\n", name.c_str(), d.hex().c_str(), tokens.c_str());
  std::fflush(stdout);
}

// The chat through the loop with every step's logits and the prefill's
// captures and KV cache written as traces.
void trace_case(VlmSession* vlm, const std::string& name, const test::ReferenceChat& ref, bool tiled) {
  VNSessionState& state = *vlm->state;
  const Chat chat(ref);
  GenerationRequest request = generation_request_default();
  request.max_new_tokens = 6;
  request.image_tiled = tiled;
  json dict = generation_request_dictionary(&state, chat.messages.data(), chat.messages.size(), &request);
  dict["inputs"] = state.processor->prepare(dict)["inputs"];
  dict["trace"] = true;
  dict["captures"] = {"vision.embedded", "image_features", "text.layers.0", "text.merged"};
  dict["eos_token_ids"] = state.processor->eos();
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("vorn-digest-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const json out = generation_loop(*state.graph, dict, {state.processor.get()}, nullptr, dir.c_str(), kLoopInMemory);
  Digest d;
  d.add(untimed(out).dump());
  d.add(bits_of(out["token_log_probabilities"]));
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::recursive_directory_iterator(dir))
    if (f.is_regular_file()) files.push_back(f.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    d.add(f.lexically_relative(dir).string());
    d.add(std::string(std::istreambuf_iterator<char>(in), {}));
  }
  std::filesystem::remove_all(dir);
  print(name, tokens_text(out["generated_token_ids"]), d);
}

void call_case(VlmSession* vlm, const std::string& name, const Chat& chat, const GenerationRequest& request) {
  GenerationResult result{};
  ErrorRecord error{};
  Digest d;
  std::string tokens;
  if (!vlm_session_generate(vlm, chat.messages.data(), chat.messages.size(), &request, nullptr, nullptr, &result,
                            &error)) {
    d.add(std::string("error ") + std::to_string(error.code) + " " + error.message);
    print(name, std::string("error ") + std::to_string(error.code) + " " + error.message, d);
    return;
  }
  d.add(std::string(result.answer, result.answer_length));
  d.add(result.token_ids, result.generated_tokens * sizeof(int64_t));
  d.add(result.token_log_probabilities, result.generated_tokens * sizeof(double));
  const uint32_t fields[] = {result.prompt_tokens, result.generated_tokens, result.finish_reason,
                             result.reused_prompt_tokens};
  d.add(fields, sizeof fields);
  d.add(untimed(vlm->state->lastReport["cases"][0]).dump());
  for (uint32_t i = 0; i < result.generated_tokens; ++i) {
    if (i) tokens += ',';
    tokens += std::to_string(result.token_ids[i]);
  }
  tokens += " finish=" + std::to_string(result.finish_reason) + " reused=" + std::to_string(result.reused_prompt_tokens);
  generation_result_free(&result);
  print(name, tokens, d);
}

void session_cases(const std::string& model, bool fp16, const char* policy, const std::string& filter) {
  const std::string prefix = model + (fp16 ? "/fp16/" : "/fp32/") + policy + "/";
  GenerativeOpenParams params = vlm_open_params_default();
  params.fp16 = fp16;
  params.backend = policy;
  VlmSession* vlm = nullptr;
  ErrorRecord error{};
  if (!vlm_open_path(test::generative_model_path(model).c_str(), &params, &vlm, &error)) {
    std::printf("%sopen error %s\n", prefix.c_str(), error.message);
    return;
  }
  for (const test::ReferenceChat& ref : test::reference_chats()) {
    if (ref.model != model) continue;
    const std::string base = prefix + ref.name;
    if (base.find(filter) == std::string::npos) continue;
    const bool tiled = ref.detail == "tiled";
    trace_case(vlm, "trace/" + base, ref, tiled);
    GenerationRequest greedy = generation_request_default();
    greedy.max_new_tokens = 12;
    greedy.image_tiled = tiled;
    greedy.image_longest_edge = ref.longest_edge;
    const Chat chat(ref), longer(ref, 1);
    call_case(vlm, "call/" + base + "/greedy", chat, greedy);
    call_case(vlm, "call/" + base + "/reuse", longer, greedy);
    GenerationRequest sampled = greedy;
    sampled.max_new_tokens = 16;
    sampled.sampling.temperature = 0.8;
    sampled.sampling.top_k = 20;
    sampled.sampling.top_p = 0.9;
    sampled.sampling.min_p = 0.02;
    sampled.sampling.repetition_penalty = 1.15;
    sampled.sampling.repetition_window = 8;
    sampled.sampling.seed = 42;
    call_case(vlm, "call/" + base + "/sampled", longer, sampled);
    GenerationRequest stopped = greedy;
    const char* stops[] = {"a", "e", " "};
    stopped.stops = stops;
    stopped.stop_count = 3;
    call_case(vlm, "call/" + base + "/stops", chat, stopped);
    GenerationRequest schema = greedy;
    schema.max_new_tokens = 24;
    schema.json_schema = R"({"type":"object","properties":{"n":{"type":"integer"}},"required":["n"],"additionalProperties":false})";
    call_case(vlm, "call/" + base + "/schema", chat, schema);
    GenerationRequest amount = greedy;
    amount.amount_decimals = 2;
    call_case(vlm, "call/" + base + "/amount", chat, amount);
  }
  vlm_close(vlm);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  const auto isa = bench_ort::bench_isa();  // VORN_BENCH_ISA=avx2|portable: that form
  for (const char* model : {"patch_f16", "patch_q8", "shuffle_f16", "shuffle_q8"})
    for (bool fp16 : {false, true})
      for (const char* policy : {"auto", "metal", "mps", "mpsgraph"}) session_cases(model, fp16, policy, filter);
  return 0;
}
