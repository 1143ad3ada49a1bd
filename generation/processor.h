// The processor state of an open generative model: the configuration
// documents that prompt and image preparation read, the end-of-sequence ids
// and the byte-level BPE tables. Built once by processor_config_load from the
// six documents, which it checks against the one model family and tokenizer
// contract this runtime supports; immutable afterwards, so any number of
// threads may read it at once.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "generation/bpe_tables.h"

namespace vorn {

// The six documents a generative model carries, by file name.
inline constexpr const char* kProcessorDocumentNames[] = {
    "config.json",         "preprocessor_config.json", "tokenizer_config.json",
    "processor_config.json", "generation_config.json", "tokenizer.json",
};
inline constexpr size_t kProcessorDocumentCount = 6;

// The one chat template the runtime renders (by its own rules; the template
// is compared, never interpreted).
extern const std::string_view kSupportedChatTemplate;

struct AddedToken {
  std::string content;
  uint32_t id;
};

// Byte-level BPE stands every byte for one code point; the highest is U+0143.
inline constexpr uint32_t kByteSymbolCodePoints = 0x144;

struct Processor {
  nlohmann::json config;            // config.json
  nlohmann::json preprocessor;      // preprocessor_config.json
  nlohmann::json tokenizer_config;  // tokenizer_config.json
  std::vector<int64_t> eos_token_ids;
  uint32_t image_seq_len = 0;  // image tokens per view; 64 after a successful load

  std::unordered_map<std::string, uint32_t> vocab;  // token text -> id
  // The merges list as symbol pairs (in place of a map keyed by
  // "left right" texts; see bpe_tables.h).
  BpeSymbols symbols;
  BpeMergeTable merges;
  std::vector<std::string> id_to_token;  // vocab_size entries; empty where no entry names the id
  std::vector<uint8_t> special;          // vocab_size flags, 1 for every added token's id
  std::vector<AddedToken> added_tokens;  // longest content first
  // Indices into added_tokens by the first byte of their content, in the
  // same order: a position is only tried against tokens that can match it.
  std::array<std::vector<uint32_t>, 256> added_by_first_byte;

  std::array<std::string, 256> byte_to_unicode;  // UTF-8 of the code point that stands for each byte
  std::array<int16_t, kByteSymbolCodePoints> unicode_to_byte;  // -1 where no byte maps

  uint64_t vocab_size() const { return id_to_token.size(); }
  // The byte a code point stands for, or -1.
  int unicode_byte(uint32_t code_point) const {
    return code_point < kByteSymbolCodePoints ? unicode_to_byte[code_point] : -1;
  }
};

// Builds the processor from one JSON object whose keys are the six file
// names and whose values are the parsed documents. Throws std::runtime_error
// with the failed check's message, or the JSON library's exceptions for a
// missing key or a value of the wrong kind.
std::unique_ptr<Processor> processor_config_load(const nlohmann::json& documents);

}  // namespace vorn
