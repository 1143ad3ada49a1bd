// "attention_decode64": one token, head dim 64, one threadgroup of 128
// threads per (b, query head). Lanes take channels l and l + 32 of a key;
// SIMD group s takes keys s, s + 4, ...; the softmax reduces by SIMD groups;
// each group accumulates its keys' weighted values, and the four partial
// sums are combined as (p0 + p1) + (p2 + p3).
//
// The kernel runs its whole grid (platform/compute_kernel.h), so that the
// query heads of one key head read its keys and values from memory once and
// a handful of groups still fills every worker. The group's own phases
// become parts of one parallel loop: the scores of blocks of keys (each
// block for all the query heads of its key head), the softmax of each
// head, the weighted values of each SIMD group (for all the heads of a key
// head, half the channels at a time, the heads sharing each row as it is
// read), and the combination of the four SIMD groups' sums. A part needs
// the parts of its own key head it reads rather than a barrier of the whole
// grid, so one key head's softmax and values overlap another's scores. Each score, maximum, sum and channel is computed as the single
// group computes it, in the same order.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <memory>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "gpu/shaders/attention_common.h"
#include "gpu/shaders/attention_decode_avx2.h"
#include "platform/float_exp.h"

namespace vorn::shaders {

namespace {

using namespace attention_common;

constexpr uint64_t kD = kDecodeHeadDim;
constexpr uint32_t kLanes = mtl::kSimdWidth;
// Keys of one scores part: its rows stay in the first-level cache while
// each query head of the key head reads them (the first fetches them).
constexpr uint64_t kKeyBlock = 128;
// Channels of one values part.
constexpr uint64_t kChannelBlock = 32;

// Lines of values asked for after each block of a softmax's exponentials
// when one thread runs the dispatch.
constexpr uint64_t kSoftmaxFetchLines = 16;

// A values part's rows fetched between looks at whether the probabilities
// it waits for are done.
constexpr uint64_t kWaitFetchRows = 16;

// Brings a values part's channels of row r into the second-level cache.
template <class A>
void fetch_row_part(const A* r) {
#if defined(__x86_64__)
  _mm_prefetch(reinterpret_cast<const char*>(r), _MM_HINT_T1);
  _mm_prefetch(reinterpret_cast<const char*>(r) + kChannelBlock * sizeof(A) - 1, _MM_HINT_T1);
#else
  (void)r;
#endif
}

// Raw dot products of q with keys k[0..n): the lanes of key j, then their
// SIMD-group sum.
template <class A>
void dot_products(bool vector, const float* qf, const A* k, uint64_t n, float* out, bool fetch) {
#if defined(__x86_64__)
  if (vector) return decode_avx2::scores(qf, k, n, out, fetch);
#endif
  (void)vector;
  (void)fetch;
  float row[kD];
  for (uint64_t j = 0; j < n; ++j) {
    widen(k + j * kD, row, kD);
    float lanes[kLanes];
    for (uint32_t l = 0; l < kLanes; ++l) lanes[l] = qf[l] * row[l] + qf[l + kLanes] * row[l + kLanes];
    out[j] = simd_sum(lanes);
  }
}

// For each of the heads h < n: acc[h * kSimdGroups * kD + c] for c <
// kChannelBlock, the sum over keys j = s, s + 4, ... below total of
// p[h * total + j] v[j, c0 + c], in key order.
template <class A>
void group_values(bool vector, const float* p, uint64_t n, const A* v, uint64_t c0, uint32_t s, uint64_t total,
                  float* acc) {
  constexpr uint64_t kAccStride = kSimdGroups * kD;
#if defined(__x86_64__)
  if (vector) {
    // Three heads at a time: their twelve sums fill the registers.
    for (; n >= 3; n -= 3, p += 3 * total, acc += 3 * kAccStride)
      decode_avx2::group_values<A, 3>(p, total, v + c0, s, total, acc, kAccStride);
    if (n == 2) decode_avx2::group_values<A, 2>(p, total, v + c0, s, total, acc, kAccStride);
    if (n == 1) decode_avx2::group_values<A, 1>(p, total, v + c0, s, total, acc, kAccStride);
    return;
  }
#endif
  (void)vector;
  static_assert(kChannelBlock == 32, "the vector form sums 32 channels");
  float vr[kChannelBlock];
  for (uint64_t h = 0; h < n; ++h) {
    float* out = acc + h * kAccStride;
    for (uint64_t c = 0; c < kChannelBlock; ++c) out[c] = 0;
    for (uint64_t j = s; j < total; j += kSimdGroups) {
      widen(v + j * kD + c0, vr, kChannelBlock);
      for (uint64_t c = 0; c < kChannelBlock; ++c) out[c] = out[c] + p[h * total + j] * vr[c];
    }
  }
}

// Stage 2 for one head's row of scores: the maximum by SIMD groups, each
// exponential once, the sum by SIMD groups, and the probabilities rounded.
// `between` runs after each block of `block` exponentials (the loop's idle
// memory can bring in what comes next).
constexpr uint64_t kExpBlock = 128;
template <class A, class Between>
void softmax_row(float* scores, uint64_t total, uint64_t block, const Between& between) {
  float group_max[kSimdGroups];
  for (uint32_t s = 0; s < kSimdGroups; ++s) group_max[s] = -INFINITY;
  for (uint64_t j0 = 0; j0 < total; j0 += kSimdGroups)
    for (uint32_t s = 0; s < kSimdGroups && j0 + s < total; ++s)
      group_max[s] = keep_max(group_max[s], scores[j0 + s]);
  float max = group_max[0];
  for (uint32_t s = 1; s < kSimdGroups; ++s) max = std::fmax(max, group_max[s]);
  for (uint64_t j = 0; j < total; ++j) scores[j] = scores[j] - max;
  for (uint64_t j0 = 0; j0 < total; j0 += block) {
    exp_float_n(scores + j0, scores + j0, std::min(block, total - j0));
    between();
  }
  float group_sum[kSimdGroups] = {};
  for (uint64_t j0 = 0; j0 < total; j0 += kSimdGroups)
    for (uint32_t s = 0; s < kSimdGroups && j0 + s < total; ++s) group_sum[s] = group_sum[s] + scores[j0 + s];
  const float sum = (group_sum[0] + group_sum[1]) + (group_sum[2] + group_sum[3]);
  for (uint64_t j = 0; j < total; ++j) scores[j] = scores[j] / sum;
  round_n<A>(scores, total);
}

// The parts of one dispatch and what each has come to: free, running or
// done. A part runs once, on whichever thread takes it first: the loop's
// thread that reaches its index, or a part that needs it done and finds it
// free. A part that needs one already running polls briefly (it is a few
// microseconds of another worker's work), then sleeps until it is done: a
// worker the system has taken off its core costs the others no CPU. Waits
// are only ever for running parts, so the loop may hand out its indices in
// any order and on any number of threads.
class PartStates {
 public:
  // Room for n parts, all free; false, with the dispatch failed, when the
  // memory cannot be had.
  bool reserve(uint64_t n, const mtl::KernelArgs& a) {
    if (n <= kLocalParts) return true;
    heap_.reset(new (std::nothrow) std::atomic<uint32_t>[n]);
    if (heap_ == nullptr) {
      a.fault_out_of_memory();
      return false;
    }
    states_ = heap_.get();
    for (uint64_t i = 0; i < n; ++i) states_[i].store(kFree, std::memory_order_relaxed);
    return true;
  }

  // Runs part i (run(i)) unless another thread has taken it.
  template <class Run>
  void take(uint64_t i, const Run& run) {
    // A read first: a part already taken costs no write to a line that
    // every worker reads.
    uint32_t state = states_[i].load(std::memory_order_acquire);
    if (state != kFree || !states_[i].compare_exchange_strong(state, kRunning, std::memory_order_acquire)) return;
    run(i);
    states_[i].store(kDone, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0) futex(states_[i], FUTEX_WAKE_PRIVATE, INT_MAX);
  }

  bool finished(uint64_t i) const { return states_[i].load(std::memory_order_acquire) == kDone; }

  // Returns once part i is done, running it here if it is still free.
  template <class Run>
  void need(uint64_t i, const Run& run) {
    take(i, run);
    std::atomic<uint32_t>& state = states_[i];
    for (uint32_t poll = 0; poll < kPolls; ++poll) {
      if (state.load(std::memory_order_acquire) == kDone) return;
#if defined(__x86_64__)
      _mm_pause();
#endif
    }
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    while (state.load(std::memory_order_seq_cst) != kDone) futex(state, FUTEX_WAIT_PRIVATE, kRunning);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
  }

 private:
  static constexpr uint32_t kFree = 0, kRunning = 1, kDone = 2;
  static constexpr uint64_t kLocalParts = 256;
  // Polls before a waiting part sleeps (about 100 us).
  static constexpr uint32_t kPolls = 2048;

  static void futex(std::atomic<uint32_t>& word, int op, uint32_t value) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, nullptr, nullptr, 0);
  }

  std::atomic<uint32_t> local_[kLocalParts] = {};
  std::unique_ptr<std::atomic<uint32_t>[]> heap_;
  std::atomic<uint32_t>* states_ = local_;
  std::atomic<uint32_t> sleepers_{0};
};

}  // namespace

template <class A>
void attention_decode64(const mtl::KernelArgs& a) {
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kD, 1, p.keys, p.kv_stride, p.causal == 1};
  const uint64_t batch = a.groups.width / sh.hq, group = sh.group_heads(), total = sh.total;
  const uint64_t blocks = (total + kKeyBlock - 1) / kKeyBlock, heads = batch * sh.hk;
  const A* q = a.buffer<const A>(0);
  const A* k = a.buffer<const A>(1);
  const A* v = a.buffer<const A>(4);
  const A* mask = a.buffer<const A>(5);
  A* y = a.buffer<A>(2);
  const bool vector = vector_form() != VectorForm::kPortable;
  // The groups' threadgroup memory: each head's row of scores (then
  // probabilities), and each head's four SIMD-group sums of 64 channels.
  ScratchLease memory = stage_memory(a, batch * sh.hq * (total + kSimdGroups * kD));
  constexpr uint64_t kValueParts = kSimdGroups * (kD / kChannelBlock);
  const uint64_t parts = heads * (blocks + group + kValueParts + 1);
  PartStates done;
  if (memory.data() == nullptr || !done.reserve(parts, a)) return;
  float* scores = memory.data();
  float* partial = scores + batch * sh.hq * total;

  // Scores: a block of keys of one key head, for each of its query heads.
  auto score_block = [&](uint64_t bk, uint64_t j0) {
    const uint64_t b = bk / sh.hk, kh = bk % sh.hk;
    const uint64_t n = total - j0 < kKeyBlock ? total - j0 : kKeyBlock;
    float m[kKeyBlock];
    if (!sh.causal) widen(mask + b * total + j0, m, n);
    for (uint64_t head = kh * group; head < (kh + 1) * group; ++head) {
      float qf[kD];
      widen(q + (b * sh.hq + head) * kD, qf, kD);
      float* out = scores + (b * sh.hq + head) * total + j0;
      dot_products(vector, qf, kv_row(k, sh, b, kh, j0), n, out, head == kh * group);
      round_n<A>(out, n);
      for (uint64_t j = 0; j < n; ++j) out[j] = out[j] * 0.125f;
      round_n<A>(out, n);
      if (!sh.causal) {
        for (uint64_t j = 0; j < n; ++j) out[j] = out[j] + m[j];
        round_n<A>(out, n);
      }
    }
  };
  // Weighted values: SIMD group s of every query head of a key head, over
  // one block of channels.
  constexpr uint64_t kChannelBlocks = kD / kChannelBlock;
  auto value_part = [&](uint64_t bk, uint64_t part) {
    const uint64_t c0 = part % kChannelBlocks * kChannelBlock;
    const uint32_t s = uint32_t(part / kChannelBlocks);
    const uint64_t b = bk / sh.hk, kh = bk % sh.hk, z = b * sh.hq + kh * group;
    group_values(vector, scores + z * total, group, kv_row(v, sh, b, kh, 0), c0, s, total,
                 partial + (z * kSimdGroups + s) * kD + c0);
  };
  // Each output channel of a key head's query heads from the four SIMD
  // groups' sums.
  auto combine = [&](uint64_t bk) {
    const uint64_t z0 = bk / sh.hk * sh.hq + bk % sh.hk * group;
    for (uint64_t z = z0; z < z0 + group; ++z) {
      const float* acc = partial + z * kSimdGroups * kD;
      for (uint64_t c = 0; c < kD; ++c)
        y[z * kD + c] = from_float<A>((acc[c] + acc[kD + c]) + (acc[2 * kD + c] + acc[3 * kD + c]));
    }
  };

  // On one thread, each key head in turn: its scores, its softmax rows,
  // then its values in one pass over the rows for all its heads and SIMD
  // groups, so that its keys and then its values stream contiguously.
#if defined(__x86_64__)
  if (vector && (pool_hooks::in_loop() || parallel_thread_count() == 1)) {
    with_vector_forms([&] {
      for (uint64_t bk = 0; bk < heads; ++bk) {
        for (uint64_t j0 = 0; j0 < total; j0 += kKeyBlock) score_block(bk, j0);
        const uint64_t z = bk / sh.hk * sh.hq + bk % sh.hk * group;
        const A* rows = kv_row(v, sh, bk / sh.hk, bk % sh.hk, 0);
        // The first values come in while the softmax computes.
        decode_avx2::RowFetch fetch{reinterpret_cast<const char*>(rows), total * kD * sizeof(A)};
        for (uint64_t h = 0; h < group; ++h)
          softmax_row<A>(scores + (z + h) * total, total, kExpBlock, [&] { fetch.more(kSoftmaxFetchLines); });
        decode_avx2::all_group_values(scores + z * total, group, rows, total, partial + z * kSimdGroups * kD, fetch);
        combine(bk);
      }
    });
    return;
  }
#endif

  // One loop of four runs of parts: the score blocks of every key head,
  // then each key head's softmax rows, its value parts and its combination.
  // A part needs only the parts of its own key head before it: a key head's
  // softmax starts while the others' scores are still read.
  const uint64_t score_parts = heads * blocks, softmax_parts = heads * group, value_parts = heads * kValueParts;
  const uint64_t softmax0 = score_parts, values0 = softmax0 + softmax_parts, combine0 = values0 + value_parts;
  auto run_part = [&](uint64_t i, const auto& self) -> void {
    if (i < softmax0) return score_block(i / blocks, i % blocks * kKeyBlock);
    if (i < values0) {
      const uint64_t bk = (i - softmax0) / group;
      for (uint64_t j = bk * blocks; j < (bk + 1) * blocks; ++j) done.need(j, [&](uint64_t n) { self(n, self); });
      softmax_row<A>(scores + (bk / sh.hk * sh.hq + bk % sh.hk * group + (i - softmax0) % group) * total, total,
                     total, [] {});
      return;
    }
    if (i < combine0) {
      const uint64_t bk = (i - values0) / kValueParts, first = softmax0 + bk * group, last = first + group;
      for (uint64_t j = first; j < last; ++j) done.take(j, [&](uint64_t n) { self(n, self); });
      // While other workers finish the key head's probabilities, the
      // part's rows of values come into this core's cache.
      if (vector) {
        const uint64_t part = (i - values0) % kValueParts;
        const A* rows = kv_row(v, sh, bk / sh.hk, bk % sh.hk, 0) + part % kChannelBlocks * kChannelBlock;
        auto waiting = [&] {
          for (uint64_t j = first; j < last; ++j)
            if (!done.finished(j)) return true;
          return false;
        };
        for (uint64_t j = part / kChannelBlocks; j < total && waiting();)
          for (const uint64_t end = std::min(total, j + kWaitFetchRows * kSimdGroups); j < end; j += kSimdGroups)
            fetch_row_part(rows + j * kD);
      }
      for (uint64_t j = first; j < last; ++j) done.need(j, [&](uint64_t n) { self(n, self); });
      return value_part(bk, (i - values0) % kValueParts);
    }
    const uint64_t bk = i - combine0;
    for (uint64_t j = values0 + bk * kValueParts; j < values0 + (bk + 1) * kValueParts; ++j)
      done.need(j, [&](uint64_t n) { self(n, self); });
    combine(bk);
  };
  run_stage(parts, batch * sh.hq * total * kD, [&](uint64_t i) {
    with_vector_forms([&] { done.take(i, [&](uint64_t n) { run_part(n, run_part); }); });
  });
}

template <class A>
bool attention_decode64_check(const mtl::KernelArgs& a, std::string* e) {
  if (!require_params(a, e)) return false;
  const AttentionParams& p = params<Kernel::attention_decode64>(a);
  const Shape sh{p.query_heads, p.kv_heads, kD, 1, p.keys, p.kv_stride, p.causal == 1};
  if (!heads_check(sh, e)) return false;
  if (sh.total > kAttentionMaxKeys) return mtl::kernel_refuse("total above 2048 keys", e);
  if (a.groups.height != 1 || a.groups.depth != 1 || a.groups.width % sh.hq != 0)
    return mtl::kernel_refuse("grid is not batch x query heads groups", e);
  const uint64_t batch = a.groups.width / sh.hq;
  return qkv_check<A>(a, sh, batch, 0, 1, 4, 5, e) &&
         require_elements(a, 2, mtl::sat_mul(mtl::sat_mul(batch, sh.hq), kD), sizeof(A), e);
}

VORN_INSTANTIATE_GRID_KERNEL(attention_decode64)

}  // namespace vorn::shaders
