// llama.cpp's side of bench/llama_compare: loads a GGUF written by
// bench/gguf_writer.py with npm's prebuilt llama.cpp libraries
// (node-llama-cpp's linux-x64 package) and times prefill and decode with
// the same tokens and the same figures as our driver.
//
//   llama_compare_llama MODEL.gguf [llama_compare_common.h options]
//       [--flash-attn auto|on|off (auto)] [--ubatch N (the library's default)]
//       [--cpu-variant NAME] [--poll N] [--verbose]
//
// Settings are the library's defaults, as a new user gets them, except the
// thread count (one thread per processor of the affinity mask, for both
// prompt and token batches, as our pool sizes itself), the context (prompt
// + steps) and the logical batch (at least the prompt, so that one
// llama_decode call takes it whole). The CPU backends are loaded from the
// directory of the llama library: every variant, the library picking the best
// one for this processor, or only libggml-cpu-NAME.so with --cpu-variant.
// --poll gives the context a thread pool of its own with that polling level
// (0: workers sleep while they wait; the library's default pool polls), the
// setting llama.cpp offers for cores that other work shares.
#include <dlfcn.h>
#include <sched.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/llama_compare_common.h"
#include "llama.h"

namespace {

constexpr const char* kUsage =
    "usage: llama_compare_llama MODEL.gguf [--prompt N] [--steps N] [--reps N] [--logits FILE] [--logit-steps N]\n"
    "           [--flash-attn auto|on|off] [--ubatch N] [--cpu-variant NAME] [--poll N] [--verbose]\n";

bool verbose = false;

void log_sink(enum ggml_log_level level, const char* text, void*) {
  if (verbose || level == GGML_LOG_LEVEL_ERROR) std::fputs(text, stderr);
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "llama_compare_llama: %s\n", what.c_str());
  std::exit(1);
}

std::string library_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&llama_decode), &info) == 0 || info.dli_fname == nullptr) die("dladdr");
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

int affinity_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

// A batch of one sequence: tokens at positions first.., logits for the last.
struct Batch {
  llama_batch b;
  explicit Batch(int32_t capacity) : b(llama_batch_init(capacity, 0, 1)) {}
  ~Batch() { llama_batch_free(b); }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  llama_batch& fill(const std::vector<int32_t>& tokens, int32_t first) {
    b.n_tokens = int32_t(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
      b.token[i] = tokens[i];
      b.pos[i] = first + int32_t(i);
      b.n_seq_id[i] = 1;
      b.seq_id[i][0] = 0;
      b.logits[i] = i + 1 == tokens.size();
    }
    return b;
  }
};

}  // namespace

int main(int argc, char** argv) {
  bench_llama::Options o = bench_llama::parse(argc, argv, kUsage);
  enum llama_flash_attn_type flash = LLAMA_FLASH_ATTN_TYPE_AUTO;
  int32_t ubatch = 0, poll = -1;
  std::string variant;
  for (size_t i = 0; i < o.rest.size(); ++i) {
    const std::string& a = o.rest[i];
    const bool value = i + 1 < o.rest.size();
    if (a == "--verbose") verbose = true;
    else if (a == "--flash-attn" && value) {
      const std::string v = o.rest[++i];
      flash = v == "on" ? LLAMA_FLASH_ATTN_TYPE_ENABLED : v == "off" ? LLAMA_FLASH_ATTN_TYPE_DISABLED
                                                                     : LLAMA_FLASH_ATTN_TYPE_AUTO;
    } else if (a == "--ubatch" && value) ubatch = std::atoi(o.rest[++i].c_str());
    else if (a == "--cpu-variant" && value) variant = o.rest[++i];
    else if (a == "--poll" && value) poll = std::atoi(o.rest[++i].c_str());
    else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  llama_log_set(log_sink, nullptr);
  const std::string dir = library_dir();
  if (variant.empty()) ggml_backend_load_all_from_path(dir.c_str());
  else if (ggml_backend_load((dir + "/libggml-cpu-" + variant + ".so").c_str()) == nullptr)
    die("cannot load the CPU backend " + variant);
  llama_backend_init();

  llama_model_params mp = llama_model_default_params();
  llama_model* model = llama_model_load_from_file(o.model.c_str(), mp);
  if (model == nullptr) die("cannot load " + o.model);
  const int32_t vocab = llama_vocab_n_tokens(llama_model_get_vocab(model));

  const int threads = affinity_cores();
  llama_context_params cp = llama_context_default_params();
  cp.n_ctx = uint32_t(o.prompt + o.steps);
  cp.n_batch = std::max<uint32_t>(cp.n_batch, uint32_t(o.prompt));
  if (ubatch > 0) cp.n_ubatch = uint32_t(ubatch);
  cp.n_threads = threads;
  cp.n_threads_batch = threads;
  cp.flash_attn_type = flash;
  llama_context* ctx = llama_init_from_model(model, cp);
  if (ctx == nullptr) die("cannot create a context");
  // The CPU backend is loaded at run time, so its pool functions are looked
  // up by name.
  using PoolNew = ggml_threadpool_t (*)(ggml_threadpool_params*);
  using PoolFree = void (*)(ggml_threadpool_t);
  ggml_threadpool_t pool = nullptr;
  PoolFree pool_free = nullptr;
  if (poll >= 0) {
    ggml_backend_reg_t cpu = ggml_backend_reg_by_name("CPU");
    auto pool_new = cpu ? reinterpret_cast<PoolNew>(ggml_backend_reg_get_proc_address(cpu, "ggml_threadpool_new")) : nullptr;
    pool_free = cpu ? reinterpret_cast<PoolFree>(ggml_backend_reg_get_proc_address(cpu, "ggml_threadpool_free")) : nullptr;
    ggml_threadpool_params params = ggml_threadpool_params_default(threads);
    params.poll = uint32_t(poll);
    if (pool_new == nullptr || pool_free == nullptr || (pool = pool_new(&params)) == nullptr)
      die("the CPU backend offers no thread pool");
    llama_attach_threadpool(ctx, pool, pool);
  }

  char desc[128];
  llama_model_desc(model, desc, sizeof desc);
  std::printf("threads %d\nweights %s, %.1f MiB\n", llama_n_threads(ctx), desc,
              double(llama_model_size(model)) / 1048576.0);
  std::printf("settings n_ctx %u n_batch %u n_ubatch %u flash_attn %s kv %s/%s poll %s\n", llama_n_ctx(ctx),
              llama_n_batch(ctx), llama_n_ubatch(ctx), llama_flash_attn_type_name(cp.flash_attn_type),
              ggml_type_name(cp.type_k), ggml_type_name(cp.type_v),
              poll >= 0 ? std::to_string(poll).c_str() : "default");
  for (size_t i = 0; i < ggml_backend_reg_count(); ++i)
    std::printf("backend %s\n", ggml_backend_reg_name(ggml_backend_reg_get(i)));
  std::printf("system %s\n", llama_print_system_info());

  std::vector<int32_t> prompt(o.prompt);
  for (uint64_t i = 0; i < o.prompt; ++i) prompt[i] = bench_llama::token_at(i);
  bench_llama::LogitsFile logits(o.logits);
  Batch whole(int32_t(o.prompt)), one(1);
  std::vector<double> prefill, decode;
  for (uint64_t rep = 0; rep <= o.reps; ++rep) {
    llama_memory_clear(llama_get_memory(ctx), true);
    const double t0 = bench_llama::now_ms();
    if (llama_decode(ctx, whole.fill(prompt, 0)) != 0) die("prefill failed");
    const float* row = llama_get_logits_ith(ctx, -1);
    const double ms = bench_llama::now_ms() - t0;
    if (row == nullptr) die("no logits");
    if (rep > 0) prefill.push_back(ms);
    if (rep == o.reps) logits.row(row, size_t(vocab));
  }
  for (uint64_t step = 0; step < o.steps; ++step) {
    const double t0 = bench_llama::now_ms();
    if (llama_decode(ctx, one.fill({bench_llama::decode_token(step)}, int32_t(o.prompt + step))) != 0)
      die("decode failed");
    const float* row = llama_get_logits_ith(ctx, -1);
    decode.push_back(bench_llama::now_ms() - t0);
    if (row == nullptr) die("no logits");
    if (step < o.logit_steps) logits.row(row, size_t(vocab));
  }
  bench_llama::print_figures(prefill, decode);
  llama_free(ctx);
  if (pool != nullptr) pool_free(pool);
  llama_model_free(model);
  llama_backend_free();
  return 0;
}
