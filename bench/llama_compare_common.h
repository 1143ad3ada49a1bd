// What both sides of bench/llama_compare share: the token ids they feed,
// the command line, the figures they print and the logits file they write,
// so that the two drivers measure and record the same thing.
//
//   DRIVER MODEL [--prompt N (1024)] [--steps N (64)] [--reps N (3)]
//          [--logits FILE] [--logit-steps N (4)] [peer options]
//
// A driver prefills the prompt once untimed, then `reps` times (each from
// an empty cache), then runs `steps` decode steps after the last prefill,
// each feeding one token at the next position, and prints:
//   threads T
//   prefill_ms BEST MEDIAN      (a whole prefill)
//   decode_ms MEDIAN MIN MAX    (one step: inputs, the pass, the logits)
// With --logits it writes the f32 next-token logits of the prefill and of
// the first logit-steps decode steps, one vocabulary row after another.
#pragma once
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench_llama {

// Prompt token i, and the token fed at decode step i: ids above the
// generated vocabulary's learnt entries and special tokens, spread by a
// mixing function so that no two neighbours repeat.
inline int32_t token_at(uint64_t i) {
  uint64_t z = i * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return int32_t(5000 + (z ^ (z >> 31)) % 44000);
}
inline int32_t decode_token(uint64_t step) { return token_at(1000003 + step); }

struct Options {
  std::string model, logits;
  uint64_t prompt = 1024, steps = 64, reps = 3, logit_steps = 4;
  std::vector<std::string> rest;  // the driver's own options
};

inline Options parse(int argc, char** argv, const char* usage) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--prompt" && value) o.prompt = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--steps" && value) o.steps = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--reps" && value) o.reps = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--logits" && value) o.logits = argv[++i];
    else if (a == "--logit-steps" && value) o.logit_steps = std::strtoull(argv[++i], nullptr, 10);
    else if (a.starts_with("--")) o.rest.push_back(a);
    else if (o.model.empty()) o.model = a;
    else o.rest.push_back(a);
  }
  if (o.model.empty() || o.prompt == 0 || o.steps == 0 || o.reps == 0) {
    std::fprintf(stderr, "%s", usage);
    std::exit(2);
  }
  o.logit_steps = std::min(o.logit_steps, o.steps);
  return o;
}

inline double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

inline void print_figures(const std::vector<double>& prefill, const std::vector<double>& decode) {
  std::printf("prefill_ms %.3f %.3f\n", *std::min_element(prefill.begin(), prefill.end()), median(prefill));
  std::printf("decode_ms %.4f %.4f %.4f\n", median(decode), *std::min_element(decode.begin(), decode.end()),
              *std::max_element(decode.begin(), decode.end()));
}

// Appends rows of logits; the file is truncated when the driver starts.
class LogitsFile {
 public:
  explicit LogitsFile(const std::string& path) : f_(path.empty() ? nullptr : std::fopen(path.c_str(), "wb")) {
    if (!path.empty() && f_ == nullptr) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      std::exit(1);
    }
  }
  ~LogitsFile() {
    if (f_ != nullptr) std::fclose(f_);
  }
  LogitsFile(const LogitsFile&) = delete;
  LogitsFile& operator=(const LogitsFile&) = delete;
  void row(const float* v, size_t n) {
    if (f_ != nullptr && std::fwrite(v, sizeof(float), n, f_) != n) {
      std::fprintf(stderr, "logits file: write failed\n");
      std::exit(1);
    }
  }

 private:
  FILE* f_;
};

}  // namespace bench_llama
