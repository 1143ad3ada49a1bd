// One sampling step over a 49,280-entry vocabulary at one thread, with every
// filter on (mask, repetition penalty over a 64-token window, temperature,
// top-k, min-p, top-p), beside greedy and sampling without top-k. Prints
// milliseconds of the thread's CPU time per step (a busy machine stretches
// wall time, not this); the target for the first line is 0.2 ms.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "generation/sampler.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ms_per_step(const std::vector<float>& logits, const std::vector<uint8_t>& allow,
                   const std::vector<int64_t>& history, const vorn::SamplingParams& params) {
  uint64_t state = 1;
  vorn::SampledToken out{};
  for (int i = 0; i < 50; ++i)
    vorn::sample_token(logits.data(), logits.size(), allow.data(), history.data(), history.size(), &params, &state, &out);
  int steps = 0;
  const double start = cpu_seconds();
  double elapsed = 0.0;
  while (elapsed < 1.0) {
    for (int i = 0; i < 100; ++i)
      vorn::sample_token(logits.data(), logits.size(), allow.data(), history.data(), history.size(), &params, &state,
                         &out);
    steps += 100;
    elapsed = cpu_seconds() - start;
  }
  return elapsed * 1e3 / steps;
}

}  // namespace

int main() {
  const size_t vocab = 49280;
  std::mt19937_64 rng(5);
  // Logits shaped like a language model's: most mass on a few tokens.
  std::normal_distribution<float> normal(0.0f, 3.0f);
  std::vector<float> logits(vocab);
  for (float& l : logits) l = normal(rng);
  for (int i = 0; i < 20; ++i) logits[rng() % vocab] += 12.0f;
  std::vector<uint8_t> allow(vocab, 1);
  for (size_t i = 0; i < vocab; i += 97) allow[i] = 0;
  std::vector<int64_t> history(512);
  for (int64_t& h : history) h = static_cast<int64_t>(rng() % vocab);

  vorn::SamplingParams all{0.7, 0.9, 0.05, 1.1, 50, 64, 0};
  vorn::SamplingParams greedy = vorn::sampling_params_default();
  greedy.repetition_penalty = 1.1;
  vorn::SamplingParams no_top_k = all;
  no_top_k.top_k = 0;
  std::printf("every filter on (top_k 50, top_p 0.9, min_p 0.05, penalty 1.1 over 64): %.4f ms/step (target 0.2)\n",
              ms_per_step(logits, allow, history, all));
  std::printf("greedy with penalty:                                                 %.4f ms/step\n",
              ms_per_step(logits, allow, history, greedy));
  std::printf("no top_k (every candidate sorted):                                   %.4f ms/step\n",
              ms_per_step(logits, allow, history, no_top_k));
  return 0;
}
