// Encode speed of the BPE tokenizer on the committed corpus at one thread:
// every text encoded on its own, repeated for about --seconds (default 2) of
// the process's CPU time (a busy machine stretches wall time, not this).
// Prints one JSON line; bench/tokenizer_compare.js runs it beside the
// reference tokenizer on the same texts.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "generation/processor.h"
#include "generation/tokenizer.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2.0;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  const std::string data = std::string(VORN_SOURCE_DIR) + "/tests/data/";
  nlohmann::json docs = nlohmann::json::object();
  for (const char* name : {"config.json", "preprocessor_config.json", "tokenizer_config.json",
                           "processor_config.json", "generation_config.json"})
    docs[name] = nlohmann::json::parse(read_file(data + "generation/" + name));
  docs["tokenizer.json"] = nlohmann::json::parse(read_file(data + "gpt2/tokenizer.json"));
  docs["config.json"]["text_config"]["vocab_size"] = 50257;
  auto processor = vorn::processor_config_load(docs);

  std::vector<std::string> texts;
  uint64_t bytes = 0;
  const nlohmann::json corpus = nlohmann::json::parse(read_file(data + "gpt2/corpus.json"));
  for (const auto& t : corpus["documents"]) {
    texts.push_back(t.get<std::string>());
    bytes += texts.back().size();
  }
  uint64_t tokens = 0, rounds = 0;
  // One untimed round: first-touch of the tables.
  for (const auto& t : texts) tokens += vorn::bpe_encode(*processor, t).size();
  tokens = 0;
  const double start = cpu_seconds();
  double elapsed = 0.0;
  while (elapsed < seconds) {
    for (const auto& t : texts) tokens += vorn::bpe_encode(*processor, t).size();
    ++rounds;
    elapsed = cpu_seconds() - start;
  }
  std::printf("{\"texts\": %zu, \"bytes\": %llu, \"tokens\": %llu, \"rounds\": %llu, \"seconds\": %.3f, "
              "\"mb_per_s\": %.3f}\n",
              texts.size(), static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(tokens / rounds),
              static_cast<unsigned long long>(rounds), elapsed, static_cast<double>(bytes * rounds) / elapsed / 1e6);
  return 0;
}
