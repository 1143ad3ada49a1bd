#include "generation/processor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "generation/utf8_codec.h"

namespace vorn {

using nlohmann::json;

const std::string_view kSupportedChatTemplate =
    "<|im_start|>"
    "{% for message in messages %}"
    "{{message['role'] | capitalize}}"
    "{% if message['content'][0]['type'] == 'image' %}"
    "{{':'}}"
    "{% else %}"
    "{{': '}}"
    "{% endif %}"
    "{% for line in message['content'] %}"
    "{% if line['type'] == 'text' %}"
    "{{line['text']}}"
    "{% elif line['type'] == 'image' %}"
    "{{ '<image>' }}"
    "{% endif %}"
    "{% endfor %}"
    "<end_of_utterance>"
    "\n"
    "{% endfor %}"
    "{% if add_generation_prompt %}"
    "{{ 'Assistant:' }}"
    "{% endif %}";

namespace {

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// j[key] where a missing key, or a value that has no members, reads as null.
const json& member(const json& j, const char* key) {
  static const json kNull;
  if (!j.is_object()) return kNull;
  auto it = j.find(key);
  return it == j.end() ? kNull : *it;
}

// An integer setting read the way the JSON library converts numbers (a
// non-number raises its type error), except that a value the conversion
// would wrap or truncate into another integer fails with message: an id of
// 2^32 + 5 or 5.5 must not become 5.
int64_t whole_number(const json& v, const char* message) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) fail(message);
    return static_cast<int64_t>(u);
  }
  if (v.is_number_float()) {
    double d = v.get<double>();
    if (!(d >= -9.2e18 && d <= 9.2e18) || d != std::floor(d)) fail(message);
    return static_cast<int64_t>(d);
  }
  return v.get<int64_t>();
}

json pre_tokenizer_contract() {
  return json{{"type", "Sequence"},
              {"pretokenizers",
               json::array({json{{"type", "Digits"}, {"individual_digits", true}},
                            json{{"type", "ByteLevel"},
                                 {"add_prefix_space", false},
                                 {"trim_offsets", true},
                                 {"use_regex", true}}})}};
}

void check_geometry(const Processor& p) {
  if (p.config.at("model_type") != "smolvlm") fail("Unsupported processor geometry");
  if (member(member(p.config, "vision_config"), "image_size") != 512) fail("Unsupported processor geometry");
  if (member(member(p.preprocessor, "max_image_size"), "longest_edge") != 512)
    fail("Unsupported processor geometry");
  if (member(p.preprocessor, "resample") != 1) fail("Unsupported processor geometry");
  if (p.image_seq_len != 64) fail("Unsupported processor geometry");
}

void check_image_settings(const json& pre) {
  for (const char* key : {"do_convert_rgb", "do_normalize", "do_pad", "do_rescale", "do_resize"})
    if (pre.at(key) != true) fail("Unsupported image processor setting");
  const json& mean = member(pre, "image_mean");
  const json& std_dev = member(pre, "image_std");
  auto three = [](const json& v) { return (v.is_array() || v.is_object()) && v.size() == 3; };
  if (!three(mean) || !three(std_dev)) fail("Normalization channels");
  for (size_t c = 0; c < 3; ++c) {
    // at() on an object of three members raises the library's type error.
    float m = mean.at(c).get<float>();
    float s = std_dev.at(c).get<float>();
    if (!std::isfinite(m) || !(s > 0.0f)) fail("Normalization parameters");
  }
}

void check_tokenizer_contract(const json& tokenizer, const json& model) {
  bool ok = member(tokenizer, "pre_tokenizer") == pre_tokenizer_contract() &&
            member(tokenizer, "normalizer").is_null() && member(tokenizer, "post_processor").is_null() &&
            member(model, "type") == "BPE" && member(model, "dropout").is_null() &&
            model.contains("byte_fallback") && model["byte_fallback"] == false &&
            model.contains("ignore_merges") && model["ignore_merges"] == false;
  // A vocabulary or merge list of another shape is no BPE model of this
  // contract either (absent ones give an empty table).
  const json& vocab = member(model, "vocab");
  const json& merges = member(model, "merges");
  ok = ok && (vocab.is_null() || vocab.is_object()) && (merges.is_null() || merges.is_array());
  if (!ok) fail("Unsupported tokenizer contract");
}

void load_vocabulary(Processor& p, const json& model) {
  const int64_t vocab_size = static_cast<int64_t>(p.id_to_token.size());
  const json& vocab = member(model, "vocab");
  if (vocab.is_object()) p.vocab.reserve(vocab.size());
  for (const auto& [text, value] : vocab.items()) {
    int64_t id = whole_number(value, "Vocabulary ID");
    if (id < 0 || id >= vocab_size) fail("Vocabulary ID");
    p.vocab[text] = static_cast<uint32_t>(id);
    p.id_to_token[static_cast<size_t>(id)] = text;
  }
}

void load_added_tokens(Processor& p, const json& tokenizer) {
  const int64_t vocab_size = static_cast<int64_t>(p.id_to_token.size());
  const json& added = member(tokenizer, "added_tokens");
  if (!added.is_array()) return;
  for (const json& t : added) {
    for (const char* flag : {"single_word", "lstrip", "rstrip", "normalized"})
      if (member(t, flag) != false) fail("Added token flags");
    if (member(t, "special") != true) fail("Added token kind");
    int64_t id = whole_number(member(t, "id"), "Added token ID");
    std::string content = member(t, "content").get<std::string>();
    if (id < 0 || id >= vocab_size || content.empty()) fail("Added token ID");
    p.id_to_token[static_cast<size_t>(id)] = content;
    p.special[static_cast<size_t>(id)] = 1;
    p.added_tokens.push_back({std::move(content), static_cast<uint32_t>(id)});
  }
  // Longest first; equal lengths keep document order.
  std::stable_sort(p.added_tokens.begin(), p.added_tokens.end(),
                   [](const AddedToken& a, const AddedToken& b) { return a.content.size() > b.content.size(); });
  for (uint32_t i = 0; i < p.added_tokens.size(); ++i)
    p.added_by_first_byte[static_cast<uint8_t>(p.added_tokens[i].content[0])].push_back(i);
}

void build_byte_table(Processor& p) {
  p.unicode_to_byte.fill(-1);
  uint32_t n = 0;
  for (uint32_t b = 0; b < 256; ++b) {
    bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
    uint32_t cp = printable ? b : 256 + n++;
    p.byte_to_unicode[b] = utf8_encode(cp);
    p.unicode_to_byte[cp] = static_cast<int16_t>(b);
  }
}

void build_merge_tables(Processor& p, const json& model) {
  const json& merges = member(model, "merges");
  BpeSymbols& symbols = p.symbols;
  for (uint32_t b = 0; b < 256; ++b) symbols.byte_symbol[b] = symbols.intern(p.byte_to_unicode[b]);
  p.merges.reserve(merges.is_array() ? merges.size() : 0);
  uint32_t rank = 0;
  for (const json& m : merges) {
    if (!m.is_array() || m.size() != 2) fail("BPE pair");
    const std::string& left = m[0].get_ref<const std::string&>();
    const std::string& right = m[1].get_ref<const std::string&>();
    uint32_t l = symbols.intern(left);
    uint32_t r = symbols.intern(right);
    uint32_t merged = symbols.intern(left + right);
    p.merges.set(l, r, BpeMerge{rank, merged});
    ++rank;
  }
  symbols.vocab_id.assign(symbols.ids.size(), -1);
  for (const auto& [text, id] : symbols.ids) {
    auto it = p.vocab.find(text);
    if (it != p.vocab.end()) symbols.vocab_id[id] = it->second;
  }
}

}  // namespace

std::unique_ptr<Processor> processor_config_load(const json& documents) {
  auto p = std::make_unique<Processor>();
  p->config = documents.at("config.json");
  p->preprocessor = documents.at("preprocessor_config.json");
  p->tokenizer_config = documents.at("tokenizer_config.json");
  const json& processor_config = documents.at("processor_config.json");
  p->image_seq_len = processor_config.at("image_seq_len").get<uint32_t>();

  const json& eos = documents.at("generation_config.json").at("eos_token_id");
  if (eos.is_array()) {
    for (const json& e : eos) p->eos_token_ids.push_back(e.get<int64_t>());
  } else {
    p->eos_token_ids.push_back(eos.get<int64_t>());
  }

  check_geometry(*p);
  check_image_settings(p->preprocessor);
  if (p->tokenizer_config.at("chat_template") != kSupportedChatTemplate) fail("Unsupported chat template");

  const json& tokenizer = documents.at("tokenizer.json");
  const json& model = tokenizer.at("model");
  check_tokenizer_contract(tokenizer, model);

  int64_t vocab_size = whole_number(member(member(p->config, "text_config"), "vocab_size"), "Vocabulary size");
  if (vocab_size < 1 || vocab_size > 999999) fail("Vocabulary size");
  p->id_to_token.assign(static_cast<size_t>(vocab_size), std::string());
  p->special.assign(static_cast<size_t>(vocab_size), 0);

  load_vocabulary(*p, model);
  build_byte_table(*p);
  build_merge_tables(*p, model);
  load_added_tokens(*p, tokenizer);
  return p;
}

}  // namespace vorn
