// Our side of bench/vision_compare: one 512 x 512 view through the vision
// encoder and connector of the family's smallest shape (width 768, 12
// layers, 12 heads, MLP 3072, patch 16, pixel shuffle by 4 to the text
// width 576), FP32 activations and the default policy, as a chat session
// runs it.
//
//   vision_compare_vorn write OUT.vorn
//   vision_compare_vorn MODEL.vorn [--runs N (5)] [--pixels FILE] [--features FILE]
//
// `write` makes the container with the test models' writer: the benchmark
// model's vision side, weight for weight (the writer draws the vision
// weights first), with one text layer and a small vocabulary, so that the
// text part of the pass (64 image tokens through one layer) costs next to
// nothing. The timing form makes one untimed pass, then `runs` passes over
// a prompt of 64 image tokens, and as many over the same prompt without the
// image (the text part alone), and prints:
//   threads T
//   view_ms MEDIAN MIN        (the pass with the view)
//   text_only_ms MEDIAN       (the same prompt without it)
// --pixels reads the view ([1, 3, 512, 512] raw f32; else the fixture's test
// view), --features writes the connector's output (f32 [64, 576]).
#include <cstdio>
#include <fstream>
#include <string>

#include "bench/bench_isa.h"
#include "bench/llama_compare_common.h"
#include "gpu/generative_model.h"
#include "gpu/graph_fixture.h"
#include "platform/parallel.h"

namespace {

using namespace vorn;

constexpr const char* kUsage =
    "usage: vision_compare_vorn write OUT.vorn\n"
    "       vision_compare_vorn MODEL.vorn [--runs N] [--pixels FILE] [--features FILE]\n";
constexpr uint64_t kImageTokens = 64;

test::GenerativeShape vision_shape() {
  test::GenerativeShape s = test::bench_model(false);
  s.text_layers = 1;
  s.vocab = 512;
  return s;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "vision_compare_vorn: %s\n", what.c_str());
  std::exit(1);
}

std::vector<float> read_f32(const std::string& path, size_t count) {
  std::vector<float> v(count);
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(v.data()), std::streamsize(count * 4))) die("cannot read " + path);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const auto isa = bench_ort::bench_isa();  // VORN_BENCH_ISA=avx2|portable: that form
  if (argc == 3 && std::string(argv[1]) == "write") {
    std::string error;
    if (!test::write_generative_model(vision_shape(), argv[2], &error)) die(error);
    return 0;
  }
  std::string model, pixels_path, features_path;
  uint64_t runs = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) runs = std::max<uint64_t>(1, std::strtoull(argv[++i], nullptr, 10));
    else if (a == "--pixels" && i + 1 < argc) pixels_path = argv[++i];
    else if (a == "--features" && i + 1 < argc) features_path = argv[++i];
    else if (model.empty() && !a.starts_with("--")) model = a;
    else {
      std::fprintf(stderr, "%s", kUsage);
      return 2;
    }
  }
  if (model.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const test::GenerativeShape shape = vision_shape();
  ContainerResult r = container_open_path(model.c_str());
  if (!r.ok()) die("cannot open " + model);
  ContainerHandle h = r.value;
  WeightSlot slot = weight_slot_from_buffer(weight_buffer_alloc(h.data_size, kWeightsGpuShared));
  if (slot.context == nullptr || weights_load_parallel(&h, &slot, 8, 0).tag != 0) die("weights do not load");
  {
    VNGraph g(slot.context, h.meta, h.meta_len, kElemF32);
    g.configure({{"backend", "auto"}});
    const std::vector<float> pixels =
        pixels_path.empty() ? test::test_pixels(1) : read_f32(pixels_path, 3 * 512 * 512);
    const std::vector<int64_t> ids(kImageTokens, test::special_tokens(shape).image);
    std::vector<int64_t> positions(kImageTokens);
    for (uint64_t i = 0; i < kImageTokens; ++i) positions[i] = int64_t(i);
    // One pass: with the view (and its features captured on request), or the
    // text part alone.
    auto pass = [&](bool view, bool capture) {
      auto feed = test::prompt_inputs(g, shape, ids, view ? 1 : 0, view ? positions : std::vector<int64_t>{}, true);
      if (view) std::memcpy(feed["pixel_values"]->contents(), pixels.data(), pixels.size() * 4);
      std::vector<std::string> captures;
      if (capture) captures.push_back("image_features");
      KvCache kv;
      kv.reserve(kImageTokens);
      const double t0 = bench_llama::now_ms();
      VNRunResult out = g.run(feed, captures, &kv);
      const double ms = bench_llama::now_ms() - t0;
      if (capture && !features_path.empty()) {
        const std::vector<float> f = test::read_floats(*out.captures.at("image_features"));
        std::ofstream o(features_path, std::ios::binary);
        if (!o.write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size() * 4))) die("cannot write features");
      }
      for (auto& [name, t] : feed) g.recycle(t);
      for (auto& [name, t] : out.captures) g.recycle(t);
      g.recycle(out.logits);
      return ms;
    };
    pass(true, true);
    std::vector<double> view, text;
    for (uint64_t i = 0; i < runs; ++i) {
      view.push_back(pass(true, false));
      text.push_back(pass(false, false));
    }
    std::printf("threads %zu\nview_ms %.2f %.2f\ntext_only_ms %.2f\n", parallel_thread_count(),
                bench_llama::median(view), *std::min_element(view.begin(), view.end()), bench_llama::median(text));
  }
  weight_slot_release(&slot);
  container_close(&h);
  return 0;
}
