// Generation through the C interface on the family's smallest shape (the
// graph benchmark's model, random F16 or Q8 weights), beside the graph
// driven directly with the same prepared inputs in the same run:
//   time to first token of a one-image chat: vorn_session_run with a budget
//     of one token (pixel conversion, image views, prompt, tokens, binding,
//     prefill, sampling) beside the graph's prefill of the same inputs, and
//     beside that prefill plus the processor's preparation of the chat;
//   decode ms per token: (run of 1 + N tokens - run of 1 token) / N on a
//     short text chat, so that the prefill's jitter stays out of the
//     difference, beside N graph decode steps with their argmax;
//   the session's own split, from its report: the time of a run outside
//     the graph's pass, and of a decode step outside the graph's passes
//     (token selection, the next inputs); these stay put when the host is
//     busy, while the ratios of two timings move with its load;
//   the open: how much the resident set grew while the model opened,
//     beside the bytes of its weights.
// Each figure is the best of the repetitions, which interleave the two
// sides; the session's prefix cache is reset before every run so each one
// prefills the whole chat.
// Two more parts, each through the C interface alone:
//   tiled: time to first token of a tiled chat, one 2048 x 2048 image in
//     4 x 4 tiles and its global view (17 views, 1,146 prompt tokens), split
//     into the request's preparation and the prefill pass, with the cores
//     it kept busy (CPU time over wall time); best and worst of the
//     repetitions;
//   jitter: the decode steps of a text chat (the pass, the token's choice
//     and the next step's inputs, from the session's report), their median
//     and largest and the ratio of the two, alone and then with one
//     competing busy process on the same cores (a child that spins).
//
//   session_bench [q8 | f16 (q8)] [decode tokens (64)] [repetitions (3)] [parts (basic,tiled,jitter)]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/container.h"
#include "generation/session_state.h"
#include "gpu/generative_model.h"
#include "gpu/graph_fixture.h"
#include "platform/parallel.h"
#include "reference/process_status.h"
#include "session/session.h"
#include "vorn.h"

namespace {

using namespace vorn;

constexpr const char* kImage = VORN_TEST_DATA "/generation/lanczos/chelsea_301x200.png";
constexpr const char* kQuestion = "What is in this picture? Describe it in detail.";
constexpr const char* kText = "Write a story about a cat.";

using test::status_bytes;

constexpr uint32_t kTiledSide = 2048;
constexpr const char* kTiledQuestion = "Describe this image.";

enum class ChatKind { kText, kImage, kTiled };

// A 2048 x 2048 RGB image of seeded noise, which no resampling flattens.
const std::vector<uint8_t>& tiled_pixels() {
  static const std::vector<uint8_t> pixels = [] {
    std::vector<uint8_t> p(size_t(kTiledSide) * kTiledSide * 3);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint8_t& b : p) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = uint8_t(x >> 24);
    }
    return p;
  }();
  return pixels;
}

struct Chat {
  VornInput* in = vorn_input_new();
  VornFrame* frame = vorn_frame_new();
  Chat(ChatKind kind, uint32_t max_tokens) {
    if (kind == ChatKind::kImage) {
      if (!vorn_frame_load_file(frame, kImage, std::strlen(kImage))) std::exit(1);
      vorn_input_add_image_message(in, "user", 4, frame, kQuestion, std::strlen(kQuestion));
    } else if (kind == ChatKind::kTiled) {
      const std::vector<uint8_t>& p = tiled_pixels();
      if (!vorn_frame_set_pixels(frame, p.data(), p.size(), kTiledSide, kTiledSide, 0, VORN_PIXEL_RGB, 1, 0))
        std::exit(1);
      vorn_input_add_image_message(in, "user", 4, frame, kTiledQuestion, std::strlen(kTiledQuestion));
      vorn_input_set_image_tiled(in, 1, kTiledSide);  // the longest edge: 4 x 4 tiles of 512
    } else {
      vorn_input_add_message(in, "user", 4, kText, std::strlen(kText));
    }
    vorn_input_set_max_tokens(in, max_tokens);
  }
  ~Chat() {
    vorn_input_free(in);
    vorn_frame_free(frame);
  }
};

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + 1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// The image is decoded before the clock starts, as a caller's frame would be.
double session_run_ms(VornSession* s, VornOutput* out, ChatKind kind, uint32_t tokens) {
  Chat chat(kind, tokens);
  vorn_session_reset(s);
  const double t0 = monotonic_seconds();
  if (!vorn_session_run(s, chat.in, out)) {
    std::fprintf(stderr, "run: %s\n", vorn_session_error_message_ptr(s));
    std::exit(1);
  }
  const double ms = (monotonic_seconds() - t0) * 1000.0;
  if (vorn_output_generated_tokens(out) != tokens) {
    std::fprintf(stderr, "the chat ended after %u tokens\n", vorn_output_generated_tokens(out));
    std::exit(1);
  }
  return ms;
}

struct GraphFigures {
  double prepare = 0, prefill = 0, decode = 0;  // ms, ms, ms per step
};

// The chat prepared by the processor, bound to the graph, prefilled, then
// `steps` greedy decode steps.
GraphFigures graph_ms(VNSessionState& state, const test::GenerativeShape& shape, bool image, uint64_t steps) {
  VNGraph& g = *state.graph;
  nlohmann::json request = {{"causal_mask", true}, {"max_new_tokens", steps + 1}, {"image_detail", "single"}};
  nlohmann::json content = nlohmann::json::array();
  if (image) content.push_back({{"type", "image"}, {"path", kImage}});
  content.push_back({{"type", "text"}, {"text", image ? kQuestion : kText}});
  request["messages"] = {{{"role", "user"}, {"content", content}}};
  GraphFigures f;
  const double p0 = monotonic_seconds();
  nlohmann::json prepared = state.processor->prepare(request);
  f.prepare = (monotonic_seconds() - p0) * 1000.0;
  std::map<std::string, VNTensorRef> feed;
  uint64_t prompt = 0;
  for (auto& [name, spec] : prepared["inputs"].items()) {
    std::vector<uint64_t> dims = spec["shape"];
    VNTensorRef t = g.tensor(dims, spec["dtype"]);
    const auto& bytes = spec["data"].get_binary();
    if (!bytes.empty()) std::memcpy(t->contents(), bytes.data(), bytes.size());
    if (name == "input_ids") prompt = dims[1];
    feed[name] = t;
  }
  KvCache kv;
  kv.reserve(prompt + steps + 1);
  const double t0 = monotonic_seconds();
  VNRunResult out = g.run(feed, {}, &kv);
  int64_t token = test::argmax(test::last_logits(*out.logits));
  f.prefill = (monotonic_seconds() - t0) * 1000.0;
  const double d0 = monotonic_seconds();
  for (uint64_t step = 0; step < steps; ++step) {
    auto next = test::decode_inputs(g, shape, token, prompt + step, true, out.cache);
    g.recycle(out.logits);
    out = g.run(next, {}, &kv);
    token = test::argmax(test::last_logits(*out.logits));
    for (auto& [name, t] : next)
      if (!out.cache.contains(name)) g.recycle(t);
  }
  f.decode = steps ? (monotonic_seconds() - d0) * 1000.0 / double(steps) : 0;
  g.clearPool();
  return f;
}

// From the report of the session's last generation: ms per decode step
// spent outside the graph's passes (selecting the token, the next step's
// inputs), and inside them.
std::pair<double, double> loop_split_ms(const VNSessionState& state) {
  const nlohmann::json& runs = state.lastReport["cases"][0]["runs"];
  double outside = 0, inside = 0;
  for (size_t i = 1; i < runs.size(); ++i) {
    outside += runs[i]["token_selection_ms"].get<double>() + runs[i]["decode_state_prepare_ms"].get<double>();
    inside += runs[i]["wall_ms"].get<double>();
  }
  const double n = runs.size() > 1 ? double(runs.size() - 1) : 1.0;
  return {outside / n, inside / n};
}

// The one-image chat's first token and the text chat's decode steps,
// through the session and through the graph alone.
void one_image_and_decode(VornSession* s, VornOutput* out, const test::GenerativeShape& shape, uint32_t steps,
                          int reps) {
  double first = 1e30, short1 = 1e30, longer = 1e30;
  GraphFigures best{1e30, 1e30, 1e30};
  double prepared_prefill = 1e30, outside = 1e30, inside = 1e30, first_outside = 1e30;
  uint32_t image_prompt = 0, text_prompt = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const double ms = session_run_ms(s, out, ChatKind::kImage, 1);
    first = std::min(first, ms);
    // All of the run but its one graph pass.
    first_outside = std::min(first_outside, ms - s->vlm->state->lastReport["cases"][0]["runs"][0]["wall_ms"].get<double>());
    image_prompt = vorn_output_prompt_tokens(out);
    const GraphFigures image = graph_ms(*s->vlm->state, shape, true, 0);
    best.prefill = std::min(best.prefill, image.prefill);
    best.prepare = std::min(best.prepare, image.prepare);
    prepared_prefill = std::min(prepared_prefill, image.prepare + image.prefill);
    short1 = std::min(short1, session_run_ms(s, out, ChatKind::kText, 1));
    longer = std::min(longer, session_run_ms(s, out, ChatKind::kText, 1 + steps));
    const auto [o, i] = loop_split_ms(*s->vlm->state);
    outside = std::min(outside, o);
    inside = std::min(inside, i);
    text_prompt = vorn_output_prompt_tokens(out);
    best.decode = std::min(best.decode, graph_ms(*s->vlm->state, shape, false, steps).decode);
  }
  const double session_decode = (longer - short1) / steps;
  std::printf("one-image chat, %u prompt tokens\n", image_prompt);
  std::printf("  time to first token: session %.1f ms; graph prefill %.1f ms, session / graph %.3f;\n"
              "    preparation %.1f ms + graph prefill, session / both %.3f\n",
              first, best.prefill, first / best.prefill, best.prepare, first / prepared_prefill);
  std::printf("  the session's own run: %.1f ms outside the graph's pass (%.2f%% of the graph's prefill)\n",
              first_outside, 100.0 * first_outside / best.prefill);
  std::printf("text chat, %u prompt tokens, %u decode steps\n", text_prompt, steps);
  std::printf("  decode: session %.2f ms/token (%.1f tokens/s), graph %.2f ms/token (%.1f tokens/s), session / graph %.3f\n",
              session_decode, 1000.0 / session_decode, best.decode, 1000.0 / best.decode, session_decode / best.decode);
  std::printf("  the session's own steps: %.3f ms/token outside the graph's passes (%.2f%% of the graph's step), "
              "passes %.2f ms\n",
              outside, 100.0 * outside / best.decode, inside);
}

// Time to first token of the tiled chat, and the cores its run kept busy.
void tiled_first_token(VornSession* s, VornOutput* out, int reps) {
  double best = 1e30, worst = 0, prepare = 0, prefill = 0, cores = 0;
  uint64_t views = 0;
  for (int rep = 0; rep < reps; ++rep) {
    const double c0 = cpu_seconds();
    const double ms = session_run_ms(s, out, ChatKind::kTiled, 1);
    const double busy = (cpu_seconds() - c0) * 1000.0 / ms;
    worst = std::max(worst, ms);
    if (ms < best) {
      const nlohmann::json& report = s->vlm->state->lastReport;
      best = ms;
      cores = busy;
      views = report["image_views"].get<uint64_t>();
      prepare = report["input_preparation_ms"].get<double>();
      prefill = report["cases"][0]["runs"][0]["wall_ms"].get<double>();
    }
  }
  std::printf("tiled chat: %u x %u image, %llu views, %u prompt tokens\n", kTiledSide, kTiledSide,
              (unsigned long long)views, vorn_output_prompt_tokens(out));
  std::printf("  time to first token: %.2f s (worst of %d %.2f s); preparation %.2f s, prefill pass %.2f s;"
              " %.1f cores busy of %zu\n",
              best / 1000.0, reps, worst / 1000.0, prepare / 1000.0, prefill / 1000.0, cores, parallel_thread_count());
}

// Milliseconds of each decode step of the last generation (the first run
// is the prefill).
std::vector<double> decode_steps_ms(const VNSessionState& state) {
  const nlohmann::json& runs = state.lastReport["cases"][0]["runs"];
  std::vector<double> steps;
  for (size_t i = 1; i < runs.size(); ++i)
    steps.push_back(runs[i]["wall_ms"].get<double>() + runs[i]["token_selection_ms"].get<double>() +
                    runs[i]["decode_state_prepare_ms"].get<double>());
  return steps;
}

void print_jitter(const char* what, std::vector<double> steps) {
  std::sort(steps.begin(), steps.end());
  const double median = steps[steps.size() / 2], largest = steps.back();
  std::printf("  %s: %zu steps, median %.2f ms, 90th percentile %.2f ms, largest %.2f ms, largest / median %.2f\n",
              what, steps.size(), median, steps[steps.size() * 9 / 10], largest, largest / median);
}

// Decode steps alone, then beside one busy process on the same cores.
void decode_jitter(VornSession* s, VornOutput* out, uint32_t steps) {
  session_run_ms(s, out, ChatKind::kText, 1 + steps);
  const std::vector<double> alone = decode_steps_ms(*s->vlm->state);
  const pid_t spinner = fork();
  if (spinner == 0) {
    volatile uint64_t n = 0;
    for (;;) n = n + 1;
  }
  if (spinner < 0) {
    std::perror("fork");
    std::exit(1);
  }
  session_run_ms(s, out, ChatKind::kText, 1 + steps);
  const std::vector<double> contended = decode_steps_ms(*s->vlm->state);
  kill(spinner, SIGKILL);
  waitpid(spinner, nullptr, 0);
  std::printf("decode step jitter, text chat, %zu threads\n", parallel_thread_count());
  print_jitter("alone", alone);
  print_jitter("one busy process on the same cores", contended);
}

}  // namespace

int main(int argc, char** argv) {
  const bool q8 = argc < 2 || std::string(argv[1]) != "f16";
  const uint32_t steps = argc > 2 ? std::max(1u, uint32_t(std::strtoul(argv[2], nullptr, 10))) : 64;
  const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const std::string parts = argc > 4 ? argv[4] : "basic,tiled,jitter";
  const test::GenerativeShape shape = test::bench_model(q8);
  char path[] = "/tmp/vorn-session-bench-XXXXXX";
  const int fd = mkstemp(path);
  close(fd);
  std::string error;
  if (!test::write_generative_model(shape, path, &error)) {
    std::fprintf(stderr, "model: %s\n", error.c_str());
    return 1;
  }
  uint64_t weights = 0;
  if (FILE* f = std::fopen(path, "rb")) {
    uint8_t header[64];
    std::fseek(f, 0, SEEK_END);
    const uint64_t size = uint64_t(std::ftell(f));
    std::rewind(f);
    if (std::fread(header, 1, sizeof header, f) == sizeof header) weights = size - container_read_u64(header, 48);
    std::fclose(f);
  }
  VornSession* s = vorn_session_new(nullptr);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const uint64_t resident = status_bytes("VmRSS");
  const double t0 = monotonic_seconds();
  if (!vorn_session_open(s, path, std::strlen(path))) {
    std::fprintf(stderr, "open: %s\n", vorn_session_error_message_ptr(s));
    return 1;
  }
  const double open_s = monotonic_seconds() - t0;
  const uint64_t grown = status_bytes("VmHWM") - resident;
  std::printf("%s model, threads %zu: opened through the C interface in %.2f s\n", q8 ? "Q8" : "F16",
              parallel_thread_count(), open_s);
  std::printf("  open: resident set grew by %.1f MiB at its peak for %.1f MiB of weights, ratio %.3f\n",
              double(grown) / 1048576.0, double(weights) / 1048576.0, double(grown) / double(weights));
  VornOutput* out = vorn_output_new();
  if (parts.find("basic") != std::string::npos) one_image_and_decode(s, out, shape, steps, reps);
  if (parts.find("tiled") != std::string::npos) tiled_first_token(s, out, reps);
  if (parts.find("jitter") != std::string::npos) decode_jitter(s, out, steps);
  vorn_output_free(out);
  vorn_session_free(s);
  std::remove(path);
  return 0;
}
