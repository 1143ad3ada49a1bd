// The small generative models and the reference expectations the graph
// tests share: models built once per process by name, opened as containers
// from memory, and the cases the independent reference script computed
// (tests/gpu/generative_reference.py, outputs in tests/data/generative/).
#pragma once
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/container_fixture.h"
#include "generative_model.h"

namespace vorn::test {

// "patch_f16", "patch_q8", "shuffle_f16" or "shuffle_q8".
inline GenerativeShape generative_shape(const std::string& name) {
  const bool q8 = name.ends_with("_q8");
  return name.starts_with("patch") ? small_patch_model(q8) : small_shuffle_model(q8);
}

inline const std::vector<uint8_t>& generative_model_file(const std::string& name) {
  static std::map<std::string, std::vector<uint8_t>> files;
  auto it = files.find(name);
  if (it == files.end()) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!build_generative_model(generative_shape(name), &bytes, &error)) throw std::runtime_error(error);
    it = files.emplace(name, std::move(bytes)).first;
  }
  return it->second;
}

// The model opened as a container the way generative sessions open it, or an empty
// handle when it does not open.
struct OpenModel {
  MemFile file;
  ContainerHandle handle{};
  bool ok = false;
  explicit OpenModel(const std::string& name) : file(generative_model_file(name)) {
    ContainerResult r = container_open_fd(file.fd, 0, generative_model_file(name).size(), kContainerOpenWiden);
    ok = r.ok();
    if (ok) handle = r.value;
  }
  ~OpenModel() { container_close(&handle); }
};

struct ReferenceCase {
  std::string name, model, header_digest;
  std::vector<int64_t> prompt, image_token_positions, tokens;
  uint64_t views = 0, vocab = 0;
  std::vector<float> logits;  // one row of vocab values per step
};

inline std::vector<ReferenceCase> reference_cases() {
  const std::string dir = std::string(VORN_TEST_DATA) + "/generative/";
  std::ifstream in(dir + "expected.json");
  const nlohmann::json doc = nlohmann::json::parse(in);
  std::vector<ReferenceCase> cases;
  for (const auto& [name, c] : doc.items()) {
    ReferenceCase rc{name, c["model"], c["header_digest"], c["prompt"], c["image_token_positions"], c["tokens"],
                     c["views"], c["vocab"], {}};
    rc.logits.resize(rc.tokens.size() * rc.vocab);
    std::ifstream bin(dir + std::string(c["logits"]), std::ios::binary);
    bin.read(reinterpret_cast<char*>(rc.logits.data()), std::streamsize(rc.logits.size() * 4));
    cases.push_back(std::move(rc));
  }
  return cases;
}

}  // namespace vorn::test
