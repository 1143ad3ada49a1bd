// The configuration documents of a small model of the supported family for
// tests: the five small documents in tests/data/generation/ and GPT-2's
// vocabulary (tests/data/gpt2/tokenizer.json), with the family's five special
// tokens (<|im_start|>, <end_of_utterance>, <fake_token_around_image>,
// <image>, <global-img>) added as ids 50257..50261. gpt2_documents() keeps
// GPT-2's tokenizer unchanged (vocabulary size 50257) for comparisons with
// the reference tokenizer. Also a writer of a container file whose aux table
// lists given blobs, for the processor's container path.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

inline std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline const nlohmann::json& gpt2_tokenizer_json() {
  static const nlohmann::json doc =
      nlohmann::json::parse(read_text_file(std::string(VORN_TEST_DATA) + "/gpt2/tokenizer.json"));
  return doc;
}

inline nlohmann::json family_documents() {
  const std::string dir = std::string(VORN_TEST_DATA) + "/generation/";
  nlohmann::json docs = nlohmann::json::object();
  for (const char* name : {"config.json", "preprocessor_config.json", "tokenizer_config.json",
                           "processor_config.json", "generation_config.json"})
    docs[name] = nlohmann::json::parse(read_text_file(dir + name));
  nlohmann::json tokenizer = gpt2_tokenizer_json();
  for (const auto& t : nlohmann::json::parse(read_text_file(dir + "added_tokens.json")))
    tokenizer["added_tokens"].push_back(t);
  docs["tokenizer.json"] = std::move(tokenizer);
  return docs;
}

inline nlohmann::json gpt2_documents() {
  nlohmann::json docs = family_documents();
  docs["tokenizer.json"] = gpt2_tokenizer_json();
  docs["config.json"]["text_config"]["vocab_size"] = 50257;
  docs["generation_config.json"]["eos_token_id"] = 50256;
  return docs;
}

// A container image for the processor's aux-table reader: a 512-byte
// header, the name region (directory slot 1), the aux table (slot 9), then
// the blobs after the metadata end. Fields the reader checks can be
// overwritten in `image` before the file is written.
struct AuxContainer {
  std::vector<uint8_t> image;  // header and metadata region
  std::string file;            // the whole container: image then blobs
  uint64_t names_offset = 0, aux_offset = 0;

  static void put_u64(std::vector<uint8_t>& b, uint64_t at, uint64_t v) { std::memcpy(b.data() + at, &v, 8); }
  static uint64_t get_u64(const std::vector<uint8_t>& b, uint64_t at) {
    uint64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
  }
  uint64_t entry(size_t j) const { return aux_offset + 32 + j * 64; }

  // blobs: (name, bytes) in table order.
  static AuxContainer make(const std::vector<std::pair<std::string, std::string>>& blobs) {
    AuxContainer c;
    std::string names;
    std::vector<uint64_t> name_at;
    for (const auto& [name, bytes] : blobs) {
      name_at.push_back(names.size());
      names += name;
      names.push_back('\0');
    }
    c.names_offset = 512;
    uint64_t names_size = 32 + names.size();
    c.aux_offset = (c.names_offset + names_size + 7) / 8 * 8;
    uint64_t aux_size = 32 + 64 * blobs.size();
    uint64_t metadata_end = c.aux_offset + aux_size;
    c.image.assign(metadata_end, 0);
    std::memcpy(c.image.data(), "VORN", 4);
    std::memcpy(c.image.data() + c.names_offset + 32, names.data(), names.size());
    put_u64(c.image, 80, c.names_offset);
    put_u64(c.image, 88, names_size);
    put_u64(c.image, 208, c.aux_offset);
    put_u64(c.image, 216, aux_size);
    put_u64(c.image, c.aux_offset, 1);
    put_u64(c.image, c.aux_offset + 8, 64);
    put_u64(c.image, c.aux_offset + 16, blobs.size());
    uint64_t at = metadata_end;
    for (size_t j = 0; j < blobs.size(); ++j) {
      put_u64(c.image, c.entry(j), c.names_offset + 32 + name_at[j]);
      put_u64(c.image, c.entry(j) + 16, at);
      put_u64(c.image, c.entry(j) + 24, blobs[j].second.size());
      at += blobs[j].second.size();
    }
    put_u64(c.image, 32, at);  // container size
    return c;
  }

  // Writes prefix bytes, then the image, then the blobs, to a temporary
  // file and returns its descriptor (the file is unlinked at once).
  int write(const std::vector<std::pair<std::string, std::string>>& blobs, const std::string& prefix = "") const {
    char path[] = "/tmp/vorn_aux_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp");
    unlink(path);
    std::string all = prefix;
    all.append(reinterpret_cast<const char*>(image.data()), image.size());
    for (const auto& b : blobs) all += b.second;
    if (::write(fd, all.data(), all.size()) != static_cast<ssize_t>(all.size())) throw std::runtime_error("write");
    return fd;
  }
};

// The six documents as (name, JSON text) blobs.
inline std::vector<std::pair<std::string, std::string>> document_blobs(const nlohmann::json& docs) {
  std::vector<std::pair<std::string, std::string>> blobs;
  for (const auto& [name, doc] : docs.items()) blobs.emplace_back(name, doc.dump());
  return blobs;
}

}  // namespace vorn::test
