// The generative graph on the family's smallest shape (text width 576, 30
// layers, 9 query and 3 key/value heads, 1536 intermediate, vocabulary
// 49280; vision width 768, 12 layers, patch 16 on 512 pixels), generated
// here with random F16 and Q8 weights and loaded as a session loads it.
// Prints, against references measured in the same run:
//   prefill tokens/s for a 1,024-token prompt and its GFLOP/s beside the
//     machine's sgemm rate on the prefill's own product shapes;
//   decode ms per token at context 1,024 beside its limit, the weight bytes
//     one decode step reads over the streaming read bandwidth;
//   Q8 against F16: the decode-time ratio beside the weight-byte ratio.
//
//   generative_bench [decode steps (16)] [activation: fp32 | fp16] [policy (auto)] [prefill runs (3)]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/files.h"
#include "container/container.h"
#include "container/records.h"
#include "gpu/generative_model.h"
#include "gpu/graph_ops.h"
#include "gpu/graph_fixture.h"
#include "gpu/vn_graph.h"
#include "platform/blas.h"
#include "platform/parallel.h"

namespace {

using namespace vorn;

constexpr uint64_t kPrompt = 1024;

// Best GB/s of a plain read of the whole buffer on every thread.
double stream_read_gbps(const std::vector<uint64_t>& data) {
  const size_t chunks = parallel_thread_count() * 8, per = data.size() / chunks;
  std::vector<uint64_t> sums(chunks);
  double best = 1e30;
  for (int rep = 0; rep < 7; ++rep) {
    const double t0 = monotonic_seconds();
    parallel_for(chunks, [&](size_t c) {
      const uint64_t* p = data.data() + c * per;
      uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
      for (size_t i = 0; i + 4 <= per; i += 4) {
        s0 += p[i];
        s1 += p[i + 1];
        s2 += p[i + 2];
        s3 += p[i + 3];
      }
      sums[c] = s0 + s1 + s2 + s3;
    });
    best = std::min(best, monotonic_seconds() - t0);
  }
  volatile uint64_t sink = std::accumulate(sums.begin(), sums.end(), uint64_t(0));
  (void)sink;
  return double(per * chunks * 8) / best * 1e-9;
}

// Best GFLOP/s of cpu_sgemm on x [m, k] times W^T, W [n, k].
double sgemm_gflops(int64_t m, int64_t n, int64_t k) {
  std::vector<float> a(size_t(m * k), 0.5f), b(size_t(n * k), 0.25f), c(size_t(m * n));
  double best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const double t0 = monotonic_seconds();
    cpu_sgemm(false, true, m, n, k, 1.0f, a.data(), k, b.data(), k, 0.0f, c.data(), n);
    best = std::min(best, monotonic_seconds() - t0);
  }
  return 2.0 * double(m) * double(n) * double(k) / best * 1e-9;
}

struct Figures {
  double prefill_s = 0, decode_ms = 0, decode_bytes = 0, kv_bytes = 0, prefill_flops = 0;
  double decode_encode_ms = 0, decode_device_ms = 0;
  std::string prefill_profile, decode_profile;
};

// Milliseconds per operation kind of a profiled pass, largest first.
std::string profile_summary(const VNGraph& g) {
  std::map<std::string, double> by_op;
  double total = 0;
  for (const VNProfileRecord& r : g.lastProfile) {
    by_op[graph_op_row(r.op)->name] += r.gpu_ms;
    total += r.gpu_ms;
  }
  std::vector<std::pair<double, std::string>> rows;
  for (const auto& [name, ms] : by_op) rows.push_back({ms, name});
  std::sort(rows.rbegin(), rows.rend());
  char line[96];
  std::snprintf(line, sizeof line, "%.2f ms:", total);
  std::string out = line;
  for (const auto& [ms, name] : rows) {
    if (ms < total * 0.005) continue;
    std::snprintf(line, sizeof line, " %s %.2f (%.0f%%)", name.c_str(), ms, 100 * ms / total);
    out += line;
  }
  return out;
}

// Weight bytes a decode step reads: every text layer and the output
// projection whole, one row of the token table; nothing of the vision side.
double decode_weight_bytes(const VNGraph& g, const test::GenerativeShape& s) {
  double bytes = 0;
  for (uint64_t v = 0; v < g.rows().size(); ++v) {
    const GraphValue& row = g.rows()[v];
    if (!(row.flags & kGraphValueWeight)) continue;
    const VNTensor& w = *g.weights()[row.tensor];
    const uint64_t last = w.shape.empty() ? 1 : w.shape.back();
    const double stored = double(w.rowBytes) * double(w.count / last);
    if (row.name == "text.embed_tokens.weight") bytes += double(w.rowBytes);
    else if (row.name.starts_with("text.") || row.name.starts_with("lm_head")) bytes += stored;
  }
  (void)s;
  return bytes;
}

Figures measure(bool q8, uint64_t activation, const std::string& policy, uint64_t steps, int prefill_reps) {
  const test::GenerativeShape shape = test::bench_model(q8);
  std::vector<uint8_t> file;
  std::string error;
  double t0 = monotonic_seconds();
  if (!test::build_generative_model(shape, &file, &error)) {
    std::fprintf(stderr, "model: %s\n", error.c_str());
    std::exit(1);
  }
  test::MemFile mem(file);
  const uint64_t size = file.size();
  std::vector<uint8_t>().swap(file);
  ContainerResult r = container_open_fd(mem.fd, 0, size, kContainerOpenWiden);
  if (!r.ok()) std::exit(1);
  ContainerHandle h = r.value;
  WeightSlot slot = weight_slot_from_buffer(weight_buffer_alloc(h.data_size, kWeightsGpuShared));
  if (slot.context == nullptr || weights_load_parallel(&h, &slot, 8, 0).tag != 0) std::exit(1);
  std::printf("%s model: %.1f MiB of weights, built and loaded in %.1f s\n", q8 ? "Q8 " : "F16", double(h.data_size) / 1048576.0,
              monotonic_seconds() - t0);
  Figures f;
  {
    VNGraph g(slot.context, h.meta, h.meta_len, activation);
    g.configure({{"backend", policy}});
    KvCache kv;
    std::mt19937 rng(1);
    std::vector<int64_t> ids(kPrompt);
    for (int64_t& id : ids) id = int64_t(rng() % 40000);
    f.prefill_s = 1e30;
    std::map<std::string, VNTensorRef> cache;
    for (int rep = 0; rep < prefill_reps; ++rep) {
      kv.reserve(kPrompt + steps + 1);  // the timed steps and one profiled step append in place
      auto feed = test::prompt_inputs(g, shape, ids, 0, {}, true);
      const double s0 = monotonic_seconds();
      VNRunResult out = g.run(feed, {}, &kv);
      f.prefill_s = std::min(f.prefill_s, monotonic_seconds() - s0);
      for (auto& [name, t] : feed) g.recycle(t);
      g.recycle(out.logits);
      cache = out.cache;
    }
    std::vector<double> times, encode, device;
    int64_t token = 7;
    for (uint64_t step = 0; step < steps; ++step) {
      auto feed = test::decode_inputs(g, shape, token, kPrompt + step, true, cache);
      const double s0 = monotonic_seconds();
      VNRunResult out = g.run(feed, {}, &kv);
      times.push_back((monotonic_seconds() - s0) * 1000.0);
      encode.push_back(g.lastEncodeMs);
      device.push_back(g.lastGPUms);
      token = test::argmax(test::last_logits(*out.logits)) % 40000;
      for (auto& [name, t] : feed)
        if (!out.cache.contains(name)) g.recycle(t);
      g.recycle(out.logits);
      cache = out.cache;
    }
    // One profiled step and one profiled prefill: where the time goes.
    {
      g.setProfile(true);
      auto feed = test::decode_inputs(g, shape, token, kPrompt + steps, true, cache);
      VNRunResult out = g.run(feed, {}, &kv);
      f.decode_profile = profile_summary(g);
      kv.reserve(kPrompt);
      auto pf = test::prompt_inputs(g, shape, ids, 0, {}, true);
      g.run(pf, {}, &kv);
      f.prefill_profile = profile_summary(g);
      g.setProfile(false);
    }
    std::sort(times.begin(), times.end());
    std::sort(encode.begin(), encode.end());
    std::sort(device.begin(), device.end());
    f.decode_ms = times[times.size() / 2];
    f.decode_encode_ms = encode[encode.size() / 2];
    f.decode_device_ms = device[device.size() / 2];
    f.decode_bytes = decode_weight_bytes(g, shape);
    f.kv_bytes = 2.0 * double(shape.text_layers * shape.kv_heads * shape.head_dim) * double(kPrompt) *
                 double(element_size(activation));
    const double d = double(shape.text_width), inter = double(shape.intermediate), p = double(kPrompt);
    const double qkvo = d * d * 2 + 2 * d * double(shape.kv_heads * shape.head_dim);
    f.prefill_flops = double(shape.text_layers) * (2 * p * (qkvo + 3 * d * inter) +
                                                   2 * 2 * p * p / 2 * double(shape.heads * shape.head_dim)) +
                      2 * d * double(shape.vocab);
  }
  weight_slot_release(&slot);
  container_close(&h);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t steps = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 16;
  const uint64_t activation = argc > 2 && std::string(argv[2]) == "fp16" ? kElemF16 : kElemF32;
  const std::string policy = argc > 3 ? argv[3] : "auto";
  const int prefill_reps = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
  std::printf("threads %zu, activations %s, policy %s, %llu decode steps at context %llu\n", parallel_thread_count(),
              activation == kElemF16 ? "FP16" : "FP32", policy.c_str(), (unsigned long long)steps,
              (unsigned long long)kPrompt);
  std::vector<uint64_t> big(size_t(1) << 27, 1);  // 1 GiB
  const double bandwidth = stream_read_gbps(big);
  std::vector<uint64_t>().swap(big);
  const double gemm = std::min({sgemm_gflops(1024, 576, 576), sgemm_gflops(1024, 1536, 576), sgemm_gflops(1024, 576, 1536)});
  std::printf("streaming read %.1f GB/s; sgemm on the prefill shapes %.1f GFLOP/s (slowest of three)\n", bandwidth, gemm);
  Figures r[2];
  for (int q8 = 0; q8 < 2; ++q8) {
    r[q8] = measure(q8 != 0, activation, policy, steps, prefill_reps);
    const double limit = r[q8].decode_bytes / (bandwidth * 1e9) * 1000.0;
    const double gflops = r[q8].prefill_flops / r[q8].prefill_s * 1e-9;
    std::printf("  prefill %4llu tokens: %.3f s, %.0f tokens/s, %.1f GFLOP/s = %.2f of sgemm\n",
                (unsigned long long)kPrompt, r[q8].prefill_s, double(kPrompt) / r[q8].prefill_s, gflops, gflops / gemm);
    std::printf("  decode: %.2f ms/token (encoding %.2f, commands %.2f); weights read %.1f MiB/token, limit %.2f ms; "
                "ratio %.2f (KV cache read %.1f MiB/token more)\n",
                r[q8].decode_ms, r[q8].decode_encode_ms, r[q8].decode_device_ms, r[q8].decode_bytes / 1048576.0, limit,
                r[q8].decode_ms / limit, r[q8].kv_bytes / 1048576.0);
    std::printf("    prefill by operation (profiled, one command buffer per node) %s\n", r[q8].prefill_profile.c_str());
    std::printf("    decode by operation (profiled) %s\n", r[q8].decode_profile.c_str());
  }
  std::printf("Q8 / F16: decode time %.2f, weight bytes %.2f\n", r[1].decode_ms / r[0].decode_ms,
              r[1].decode_bytes / r[0].decode_bytes);
  return 0;
}
