// Our side of bench/llama_compare: the text decoder of the family's
// smallest shape (width 576, 30 layers, 9 query and 3 key/value heads of 64,
// SwiGLU 1536, vocabulary 49280, RMS epsilon 1e-5, rope theta 100000, output
// projection tied to the token table) as a generative container, timed
// through the generative graph with FP32 activations and the default
// policy, as a chat session runs it.
//
//   llama_compare_vorn write OUT.vorn f16|q8
//   llama_compare_vorn MODEL.vorn [llama_compare_common.h options]
//
// `write` makes the container with the test models' writer (random
// weights; the vision side is the small test one, which no text pass
// reads). The timing form reads a container written so, and prints what
// llama_compare_common.h says. The worker pool sizes itself from the
// process's affinity mask: run it under taskset. VORN_BENCH_ISA=avx2 or
// portable times that form of the kernels.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/bench_isa.h"
#include "bench/llama_compare_common.h"
#include "container/container.h"
#include "gpu/generative_model.h"
#include "gpu/graph_fixture.h"
#include "platform/parallel.h"

namespace {

using namespace vorn;

constexpr const char* kUsage =
    "usage: llama_compare_vorn write OUT.vorn f16|q8\n"
    "       llama_compare_vorn MODEL.vorn [--prompt N] [--steps N] [--reps N] [--logits FILE] [--logit-steps N]\n";

test::GenerativeShape text_decoder_shape(bool q8) {
  test::GenerativeShape s = test::bench_model(q8);
  s.tied_embeddings = true;
  const test::GenerativeShape small = test::small_patch_model(q8);
  s.vision_width = small.vision_width;
  s.vision_layers = small.vision_layers;
  s.vision_heads = small.vision_heads;
  s.vision_intermediate = small.vision_intermediate;
  s.patch = small.patch;
  s.shuffle = small.shuffle;
  return s;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "llama_compare_vorn: %s\n", what.c_str());
  std::exit(1);
}

int time_model(const bench_llama::Options& o) {
  const auto isa = bench_ort::bench_isa();  // VORN_BENCH_ISA=avx2|portable: that form
  const int fd = open(o.model.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) die("cannot open " + o.model);
  ContainerResult r = container_open_fd(fd, 0, uint64_t(st.st_size), 0);
  close(fd);
  if (!r.ok()) die("not a container: " + o.model);
  ContainerHandle h = r.value;
  WeightSlot slot = weight_slot_from_buffer(weight_buffer_alloc(h.data_size, kWeightsGpuShared));
  if (slot.context == nullptr || weights_load_parallel(&h, &slot, 8, 0).tag != 0) die("weights do not load");
  {
    VNGraph g(slot.context, h.meta, h.meta_len, kElemF32);
    g.configure({{"backend", "auto"}});
    const test::GenerativeShape shape = text_decoder_shape(g.quantizedWeights > 0);
    std::printf("threads %zu\nweights %s\n", parallel_thread_count(), g.weightDtype().c_str());
    std::vector<int64_t> ids(o.prompt);
    for (uint64_t i = 0; i < o.prompt; ++i) ids[i] = bench_llama::token_at(i);
    bench_llama::LogitsFile logits(o.logits);
    std::vector<double> prefill, decode;
    std::map<std::string, VNTensorRef> cache;
    KvCache kv;
    for (uint64_t rep = 0; rep <= o.reps; ++rep) {
      kv.reserve(o.prompt + o.steps);
      auto feed = test::prompt_inputs(g, shape, ids, 0, {}, true);
      const double t0 = bench_llama::now_ms();
      VNRunResult out = g.run(feed, {}, &kv);
      const double ms = bench_llama::now_ms() - t0;
      if (rep > 0) prefill.push_back(ms);
      for (auto& [name, t] : feed) g.recycle(t);
      if (rep == o.reps) {
        const std::vector<float> row = test::last_logits(*out.logits);
        logits.row(row.data(), row.size());
      }
      g.recycle(out.logits);
      cache = out.cache;
    }
    for (uint64_t step = 0; step < o.steps; ++step) {
      const double t0 = bench_llama::now_ms();
      auto feed = test::decode_inputs(g, shape, bench_llama::decode_token(step), o.prompt + step, true, cache);
      VNRunResult out = g.run(feed, {}, &kv);
      decode.push_back(bench_llama::now_ms() - t0);
      if (step < o.logit_steps) {
        const std::vector<float> row = test::last_logits(*out.logits);
        logits.row(row.data(), row.size());
      }
      for (auto& [name, t] : feed)
        if (!out.cache.contains(name)) g.recycle(t);
      g.recycle(out.logits);
      cache = out.cache;
    }
    cache.clear();
    bench_llama::print_figures(prefill, decode);
  }
  weight_slot_release(&slot);
  container_close(&h);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "write") {
    if (argc != 4 || (std::string(argv[3]) != "f16" && std::string(argv[3]) != "q8")) {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
    std::string error;
    if (!test::write_generative_model(text_decoder_shape(std::string(argv[3]) == "q8"), argv[2], &error)) die(error);
    return 0;
  }
  return time_model(bench_llama::parse(argc, argv, kUsage));
}
