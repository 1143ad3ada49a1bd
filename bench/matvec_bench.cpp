// Matrix-vector kernels of single-token decode against the machine's memory
// bandwidth: GB/s of weights read by "matvec" (F16) and "matvec_q8" (Q8) on
// the decoder's shapes, beside a plain streaming read measured in the same
// run, on every core the process may use (run under taskset for fewer).
//
// "streamed" cycles through distinct weight copies totalling more than any
// cache, one command buffer per pass as a decode step encodes them; "cached"
// repeats one matrix. The streamed ratio is the one that counts. Each shape
// runs with float activations (the chat default) and half ones.
//
//   matvec_bench [--avx2] [--q8]
//     --avx2: the AVX2 forms even where AVX-512 is
//     --q8:   only Q8 weights with float x (quick A/B runs)
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "gpu/kernel_harness.h"
#include "platform/cpu_features.h"
#include "platform/parallel.h"

namespace {

using namespace vorn;
using namespace vorn::test;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kStreamBytes = 1ull << 30;
constexpr uint64_t kWeightSetBytes = 768ull << 20;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Sum of 64-bit words, chunk by chunk over the pool.
__attribute__((target("avx2"))) uint64_t sum_chunk(const uint64_t* p, uint64_t n) {
  __m256i a = _mm256_setzero_si256(), b = _mm256_setzero_si256();
  for (uint64_t i = 0; i + 8 <= n; i += 8) {
    a = _mm256_add_epi64(a, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    b = _mm256_add_epi64(b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 4)));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_add_epi64(a, b));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

double stream_read_gbps() {
  std::vector<uint64_t> data(kStreamBytes / 8);
  for (uint64_t i = 0; i < data.size(); ++i)
    data[i] = i * 0x9E3779B97F4A7C15ull;  // real pages, not the zero page
  constexpr uint64_t kChunk = 1 << 17;    // words
  const uint64_t chunks = data.size() / kChunk;
  std::vector<uint64_t> partial(chunks);
  double best = 1e30;
  for (int rep = 0; rep < 7; ++rep) {
    const auto t0 = Clock::now();
    parallel_for(chunks, [&](size_t c) { partial[c] = sum_chunk(data.data() + c * kChunk, kChunk); });
    best = std::min(best, seconds_since(t0));
  }
  uint64_t sink = 0;
  for (uint64_t v : partial) sink += v;
  std::printf("(stream checksum %llx)\n", static_cast<unsigned long long>(sink & 0xFFFF));
  return double(kStreamBytes) / best / 1e9;
}

struct Shape {
  uint32_t n, k;
};

// GB/s of weights read: `copies` distinct matrices, each dispatched once per
// command buffer, the best of several buffers.
template <class A>
double matvec_gbps(KernelHarness& h, Shape sh, bool q8, uint64_t copies) {
  Lcg g(7);
  uint64_t row_bytes = uint64_t(sh.k) * 2;
  std::vector<uint8_t> bytes;
  if (q8) {
    bytes = random_q8(g, sh.n, sh.k, &row_bytes);
  } else {
    const auto w = random_values<half>(g, uint64_t(sh.n) * sh.k, -0.5f, 0.5f);
    bytes.resize(w.size() * 2);
    std::memcpy(bytes.data(), w.data(), bytes.size());
  }
  const uint64_t matrix = uint64_t(sh.n) * row_bytes;
  std::vector<mtl::BufferRef> weights;
  for (uint64_t c = 0; c < copies; ++c) weights.push_back(h.buffer(bytes));
  auto x = h.buffer(random_values<A>(g, sh.k));
  auto y = h.zeros(uint64_t(sh.n) * sizeof(A));
  auto pipeline = h.pipeline<A>(q8 ? Kernel::matvec_q8 : Kernel::matvec);
  const shaders::MatvecParams p{.rows = sh.n, .k = sh.k, .row_bytes = uint32_t(row_bytes)};
  double best = 1e30;
  const int reps = copies > 1 ? 5 : 200;
  for (int rep = 0; rep < reps; ++rep) {
    mtl::CommandBufferRef cb = h.queue()->command_buffer();
    mtl::ComputeEncoderRef e = cb->compute_command_encoder();
    e->set_compute_pipeline_state(pipeline);
    e->set_buffer(x, 0, 0);
    e->set_buffer(y, 0, 2);
    e->set_bytes(&p, sizeof p, 3);
    for (const auto& w : weights) {
      e->set_buffer(w, 0, 1);
      e->set_buffer(w, 0, 4);
      e->dispatch_threads(mtl::Size3{32ull * sh.n, 1, 1}, mtl::Size3{128, 1, 1});
    }
    e->end_encoding();
    const auto t0 = Clock::now();
    cb->commit();
    best = std::min(best, seconds_since(t0));
    if (cb->status() != mtl::CommandBufferStatus::kCompleted)
      std::printf("failed: %s\n", cb->error().c_str());
  }
  return double(matrix) * double(copies) / best / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<IsaCap> cap;
  bool q8_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--avx2") == 0) {
      if (!cap) cap.emplace(KernelIsa::kAvx2);
    } else if (std::strcmp(argv[i], "--q8") == 0) {
      q8_only = true;
    } else {
      std::fprintf(stderr, "usage: matvec_bench [--avx2] [--q8]\n");
      return 2;
    }
  }
  KernelHarness h;
  const char* forms[] = {"portable", "AVX2", "AVX-512"};
  std::printf("threads %zu, %s forms\n", parallel_thread_count(), forms[int(shaders::vector_form())]);
  const double stream = stream_read_gbps();
  std::printf("streaming read: %.1f GB/s\n\n", stream);
  std::printf("%-10s %-6s %-5s %10s %9s %10s %9s\n", "shape", "weight", "x", "streamed", "ratio", "cached", "ratio");
  for (const Shape sh : {Shape{576, 1536}, Shape{1536, 576}, Shape{49280, 576}}) {
    for (const bool q8 : {false, true}) {
      for (const bool fp32 : {true, false}) {
        if (q8_only && !(q8 && fp32)) continue;
        const uint64_t matrix = uint64_t(sh.n) * (q8 ? (sh.k + 63) / 64 * 68 : sh.k * 2);
        const uint64_t copies = std::max<uint64_t>(2, kWeightSetBytes / matrix);
        const double streamed = fp32 ? matvec_gbps<float>(h, sh, q8, copies) : matvec_gbps<half>(h, sh, q8, copies);
        const double cached = fp32 ? matvec_gbps<float>(h, sh, q8, 1) : matvec_gbps<half>(h, sh, q8, 1);
        char name[32];
        std::snprintf(name, sizeof name, "%ux%u", sh.n, sh.k);
        std::printf("%-10s %-6s %-5s %8.1f GB/s %6.2f %8.1f GB/s %6.2f\n", name, q8 ? "Q8" : "F16",
                    fp32 ? "f32" : "f16", streamed, streamed / stream, cached, cached / stream);
      }
    }
  }
  return 0;
}
