// Decode attention as a decode step meets it: one command buffer of 30
// "attention_decode64" dispatches (one per layer, each with its own keys
// and values, 9 query heads on 3 key heads of 64, float), so that a layer's
// rows come from the last-level cache as they do between the step's
// products. Prints the median and the fastest time per layer over the
// rounds, and the rate at which the keys and values were read. With
// `cold`, each dispatch's keys and values are first pushed out of the
// caches by a sweep over 256 MB (as a step's weights push them out between
// layers), the sweep not timed; with `flush`, they are instead written
// back and dropped from every cache level line by line (untimed), so that
// they come from memory.
//
//   decode_attention_bench [keys (1024)] [rounds (200)] [cold | flush]
// Run it pinned (taskset): the pool sizes itself from the affinity mask.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/files.h"
#include "gpu/kernel_harness.h"

namespace {

using namespace vorn;
using namespace vorn::test;

// Writes the buffer's lines back and drops them from every cache level.
#if defined(__x86_64__)
__attribute__((target("clflushopt"))) void evict(const mtl::Buffer& b) {
  const uint8_t* p = b.storage();
  for (uint64_t at = 0; at < b.length(); at += 64) _mm_clflushopt(const_cast<uint8_t*>(p + at));
  _mm_sfence();
}
#else
void evict(const mtl::Buffer&) {}
#endif

constexpr uint32_t kLayers = 30, kQueryHeads = 9, kKeyHeads = 3, kDim = 64;

}  // namespace

int main(int argc, char** argv) {
  const uint32_t keys = argc > 1 ? uint32_t(std::atoi(argv[1])) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 200;
  const bool flush = argc > 3 && std::string(argv[3]) == "flush";
  const bool cold = flush || (argc > 3 && std::string(argv[3]) == "cold");
  if (keys == 0 || keys > 2048 || rounds <= 0) {
    std::fprintf(stderr, "usage: decode_attention_bench [keys 1..2048] [rounds] [cold | flush]\n");
    return 2;
  }
  const uint32_t stride = keys + 64;
  KernelHarness h;
  Lcg g(7);
  struct Layer {
    mtl::BufferRef q, k, v, y;
  };
  std::vector<Layer> layers;
  for (uint32_t l = 0; l < kLayers; ++l) {
    const uint64_t kv = uint64_t(kKeyHeads) * stride * kDim;
    layers.push_back({h.buffer(random_values<float>(g, kQueryHeads * kDim)), h.buffer(random_values<float>(g, kv)),
                      h.buffer(random_values<float>(g, kv)), h.zeros(kQueryHeads * kDim * sizeof(float))});
  }
  const mtl::BufferRef mask = h.zeros(keys * sizeof(float));
  const shaders::AttentionParams p{.query_heads = kQueryHeads,
                                   .kv_heads = kKeyHeads,
                                   .head_dim = kDim,
                                   .queries = 1,
                                   .keys = keys,
                                   .kv_stride = stride,
                                   .causal = 1};
  const mtl::PipelineRef pipeline = h.pipeline<float>(Kernel::attention_decode64);
  std::vector<double> per_layer;
  std::vector<uint8_t> sweep(cold && !flush ? 256u << 20 : 0);
  for (int r = 0; r < rounds; ++r) {
    mtl::CommandBufferRef cb = h.queue()->command_buffer();
    double swept = 0;
    for (const Layer& l : layers) {
      if (cold)
        cb->encode_host_command([&](std::string*) {
          const double start = monotonic_seconds();
          if (flush) {
            evict(*l.k);
            evict(*l.v);
          } else {
            std::memset(sweep.data(), r & 0xff, sweep.size());
          }
          swept += monotonic_seconds() - start;
          return true;
        });
      mtl::ComputeEncoderRef e = cb->compute_command_encoder();
      e->set_compute_pipeline_state(pipeline);
      e->set_bytes(&p, sizeof p, shaders::kParamsIndex);
      e->set_buffer(l.q, 0, 0);
      e->set_buffer(l.k, 0, 1);
      e->set_buffer(l.y, 0, 2);
      e->set_buffer(l.v, 0, 4);
      e->set_buffer(mask, 0, 5);
      e->dispatch_threadgroups(mtl::Size3{kQueryHeads, 1, 1}, mtl::Size3{128, 1, 1});
      e->end_encoding();
    }
    const double start = monotonic_seconds();
    cb->commit();
    const double seconds = monotonic_seconds() - start - swept;
    if (cb->status() != mtl::CommandBufferStatus::kCompleted) {
      std::fprintf(stderr, "failed: %s\n", cb->error().c_str());
      return 1;
    }
    per_layer.push_back(seconds / kLayers * 1e6);
  }
  std::sort(per_layer.begin(), per_layer.end());
  const double median = per_layer[per_layer.size() / 2];
  const double bytes = 2.0 * kKeyHeads * keys * kDim * sizeof(float);
  std::printf("keys %u: per layer median %.2f us, fastest %.2f us, %.1f GB/s at the median\n", keys, median,
              per_layer.front(), bytes / median / 1e3);
  return 0;
}
