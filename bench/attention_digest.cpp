// Digests of the attention kernels' outputs, to compare two builds (or two
// core counts) bit for bit where the generation digests do not reach: one
// line per case, the XXH3-128 digest of the kernel's output bytes.
//
// Cases, in half and float, with seeded random inputs: "attention_decode64"
// (9 query heads on 3 key heads and 4 on 4, causal and masked, 1 to 2,048
// keys across its key blocks); the tiled path (scores, softmax and values)
// for one query row past 2,048 keys and for prefills under the causal rule
// or a mask, head dims 64, 40 and 24; and the softmax of score rows under
// the causal rule whose masked columns are ordinary values, NaN or large,
// where no exponential may be skipped.
//
//   attention_digest [case filter (substring)]
// VORN_BENCH_ISA=avx2|portable picks the kernels' form (bench_isa.h).
// Compare builds with: taskset -c 0 build/bench/attention_digest > a.txt, the
// same with the other build and at other core counts, then diff.
#include <xxhash.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_isa.h"
#include "gpu/kernel_harness.h"

namespace {

using namespace vorn;
using namespace vorn::test;

struct Shape {
  uint32_t b, hq, hk, d, s, total, stride;
  bool causal;
};

std::string hex(const void* p, size_t n) {
  const XXH128_hash_t h = XXH3_128bits(p, n);
  char out[40];
  std::snprintf(out, sizeof out, "%016llx%016llx", static_cast<unsigned long long>(h.high64),
                static_cast<unsigned long long>(h.low64));
  return out;
}

std::string name_of(const char* path, const char* type, const Shape& a) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s/%s/b%u/h%u-%u/d%u/s%u/t%u/%s", path, type, a.b, a.hq, a.hk, a.d, a.s, a.total,
                a.causal ? "causal" : "mask");
  return buf;
}

// Inputs of one case; `special` puts infinities into the value rows and
// NaN into the key rows that the last query row's mask hides.
template <class A>
struct Inputs {
  std::vector<A> q, k, v, mask;
  Inputs(uint32_t seed, const Shape& a, float spread) {
    Lcg g(seed);
    q = random_values<A>(g, uint64_t(a.b) * a.s * a.hq * a.d, -spread, spread);
    k = random_values<A>(g, uint64_t(a.b) * a.hk * a.stride * a.d, -spread, spread);
    v = random_values<A>(g, uint64_t(a.b) * a.hk * a.stride * a.d);
    mask = random_values<A>(g, uint64_t(a.b) * a.s * a.total, -4, 0);
  }
};

template <class A>
void run_case(KernelHarness& h, const char* path, const Shape& a, uint32_t seed, float spread, bool poison,
              const std::string& filter) {
  const std::string name = name_of(path, sizeof(A) == 2 ? "half" : "float", a) + (poison ? "/poison" : "") +
                           (spread != 1 ? "/spread" : "");
  if (name.find(filter) == std::string::npos) return;
  Inputs<A> in(seed, a, spread);
  if (poison)  // values past the first query row's visible keys (none under a mask)
    for (uint64_t i = 0; i < in.v.size(); ++i)
      if ((i / a.d) % a.stride >= a.total - a.s + 1 && (i / a.d) % a.stride < a.total && i % 7 == 0)
        in.v[i] = shaders::from_float<A>(INFINITY);
  const shaders::AttentionParams p{.query_heads = a.hq,
                                   .kv_heads = a.hk,
                                   .head_dim = a.d,
                                   .queries = a.s,
                                   .keys = a.total,
                                   .kv_stride = a.stride,
                                   .causal = a.causal};
  const uint64_t out_count = uint64_t(a.b) * a.s * a.hq * a.d;
  auto bq = h.buffer(in.q), bk = h.buffer(in.k), bv = h.buffer(in.v), bm = h.buffer(in.mask);
  auto y = h.zeros(out_count * sizeof(A));
  std::string error;
  std::string digest;
  if (std::string(path) == "decode64") {
    error = h.run<A, Kernel::attention_decode64>({{0, bq}, {1, bk}, {2, y}, {4, bv}, {5, bm}}, p,
                                                 mtl::Size3{uint64_t(a.b) * a.hq, 1, 1}, true);
  } else {
    const uint64_t z = uint64_t(a.b) * a.hq;
    auto scores = h.zeros(z * a.s * a.total * sizeof(A));
    error = h.run<A, Kernel::attention_scores>({{0, bq}, {1, bk}, {2, scores}, {4, bm}}, p,
                                               mtl::Size3{(a.total + 31) / 32, (a.s + 31) / 32, z}, true);
    auto probabilities = KernelHarness::read<A>(scores, z * a.s * a.total);
    digest += hex(probabilities.data(), probabilities.size() * sizeof(A)) + " ";
    error += h.run<A, Kernel::attention_softmax>({{0, scores}}, p, mtl::Size3{z * a.s, 1, 1}, true);
    probabilities = KernelHarness::read<A>(scores, z * a.s * a.total);
    digest += hex(probabilities.data(), probabilities.size() * sizeof(A)) + " ";
    error += h.run<A, Kernel::attention_values>({{0, scores}, {1, bv}, {2, y}}, p,
                                                mtl::Size3{(a.d + 31) / 32, (a.s + 31) / 32, z}, true);
  }
  const auto out = KernelHarness::read<A>(y, out_count);
  digest += hex(out.data(), out.size() * sizeof(A));
  std::printf("%s %s%s\n", name.c_str(), digest.c_str(), error.empty() ? "" : (" " + error).c_str());
  std::fflush(stdout);
}

// Softmax rows under the causal rule whose masked columns are not masked
// scores: ordinary values, one NaN, or values near the row's maximum.
template <class A>
void softmax_case(KernelHarness& h, const char* what, uint32_t s, uint32_t total, const std::string& filter) {
  const std::string name = std::string("softmax/") + (sizeof(A) == 2 ? "half/" : "float/") + what + "/s" +
                           std::to_string(s) + "/t" + std::to_string(total);
  if (name.find(filter) == std::string::npos) return;
  Lcg g(total * 31 + s);
  const uint32_t rows = 3 * s;
  std::vector<A> x = random_values<A>(g, uint64_t(rows) * total, -8, 8);
  for (uint32_t row = 0; row < rows; ++row)
    for (uint32_t c = total - s + row % s + 1; c < total; ++c) {
      A& e = x[uint64_t(row) * total + c];
      if (std::string(what) == "masked") e = shaders::from_float<A>(shaders::kMaskedScore<A>);
      if (std::string(what) == "nan" && c == total - 1 && row % 5 == 0) e = shaders::from_float<A>(NAN);
      if (std::string(what) == "near") e = shaders::from_float<A>(shaders::to_float(e) - 90.0f);
    }
  auto b = h.buffer(x);
  const shaders::AttentionParams p{.queries = s, .keys = total, .causal = 1};
  const std::string error = h.run<A, Kernel::attention_softmax>({{0, b}}, p, mtl::Size3{rows, 1, 1}, true);
  const auto out = KernelHarness::read<A>(b, x.size());
  std::printf("%s %s%s\n", name.c_str(), hex(out.data(), out.size() * sizeof(A)).c_str(),
              error.empty() ? "" : (" " + error).c_str());
  std::fflush(stdout);
}

template <class A>
void all_cases(KernelHarness& h, const std::string& filter) {
  uint32_t seed = 1;
  for (uint32_t total : {1u, 2u, 3u, 4u, 5u, 127u, 128u, 129u, 1000u, 1024u, 2047u, 2048u})
    for (const bool causal : {true, false}) {
      run_case<A>(h, "decode64", Shape{1, 9, 3, 64, 1, total, total + 5, causal}, seed++, 1, false, filter);
      run_case<A>(h, "decode64", Shape{2, 4, 4, 64, 1, total, total, causal}, seed++, 1, false, filter);
    }
  run_case<A>(h, "decode64", Shape{1, 9, 3, 64, 1, 700, 800, true}, seed++, 12, false, filter);
  for (uint32_t total : {2049u, 2050u, 2080u, 4000u, 4097u})
    for (const bool causal : {true, false})
      run_case<A>(h, "tiled", Shape{1, 9, 3, 64, 1, total, total + 3, causal}, seed++, 1, false, filter);
  run_case<A>(h, "tiled", Shape{2, 6, 2, 40, 1, 2100, 2100, true}, seed++, 1, false, filter);
  run_case<A>(h, "tiled", Shape{1, 9, 3, 64, 2, 3000, 3000, true}, seed++, 1, false, filter);
  for (const Shape& a : {Shape{1, 9, 3, 64, 32, 32, 32, true}, Shape{1, 9, 3, 64, 33, 33, 40, true},
                         Shape{1, 9, 3, 64, 100, 130, 130, true}, Shape{2, 4, 2, 40, 64, 64, 64, true},
                         Shape{1, 3, 3, 24, 47, 80, 90, true}, Shape{1, 9, 3, 64, 256, 256, 256, true},
                         Shape{1, 9, 3, 64, 100, 130, 130, false}, Shape{1, 4, 4, 8, 35, 35, 35, false}}) {
    run_case<A>(h, "tiled", a, seed++, 1, false, filter);
    if (a.causal) run_case<A>(h, "tiled", a, seed++, 1, true, filter);
  }
  run_case<A>(h, "tiled", Shape{1, 9, 3, 64, 64, 64, 64, true}, seed++, 40, false, filter);
  for (const char* what : {"masked", "random", "nan", "near"})
    for (const auto& [s, total] : {std::pair{1u, 3000u}, std::pair{33u, 33u}, std::pair{40u, 300u}})
      softmax_case<A>(h, what, s, total, filter);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  const auto isa = bench_ort::bench_isa();
  KernelHarness h;
  all_cases<shaders::half>(h, filter);
  all_cases<float>(h, filter);
  return 0;
}
