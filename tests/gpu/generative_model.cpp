// Writer of small generative models: weights, graph block, documents.
#include "generative_model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "container/format.h"
#include "container/records.h"
#include "container/writer.h"
#include "platform/half.h"

namespace vorn::test {

namespace {

// GraphOp codes and the record layout of the graph block, spelled out here
// independently of the reader.
enum Op : uint64_t {
  kEmbedding = 1,
  kPatchEmbedding = 2,
  kAdd = 3,
  kLinear = 4,
  kLayerNorm = 5,
  kRmsNorm = 6,
  kGelu = 7,
  kSilu = 8,
  kMul = 9,
  kAttention = 10,
  kRope = 11,
  kShuffle = 12,
  kScatter = 13,
};
enum : uint64_t { kFlagInput = 1, kFlagLogits = 2, kFlagWeight = 4 };
enum : uint64_t { kDtypeFloat = 1, kDtypeI64 = 3, kDtypeQ8 = 4 };
constexpr uint64_t kNodeStride = 64, kValueStride = 96, kBlockHeader = 64;
constexpr uint64_t kImageSide = 512;

struct SplitMix {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [-a, a).
  float uniform(float a) { return float(double(next() >> 11) * 0x1.0p-53 * 2.0 - 1.0) * a; }
};

struct Tensor {
  std::string name;
  uint64_t kind;
  std::vector<uint64_t> dims;
  std::vector<uint8_t> bytes;
};

struct Value {
  std::string name;
  uint64_t dtype, flags, tensor;
};

struct Node {
  uint64_t op, group;
  std::vector<uint64_t> inputs, outputs, attrs;
};

uint64_t dbl(double v) { return std::bit_cast<uint64_t>(v); }

// Q8 rows: per 64 values the scale max|v| / 127 and the rounded quotients.
std::vector<uint8_t> quantize_q8(const std::vector<float>& v, uint64_t cols) {
  const uint64_t rows = v.size() / cols, blocks = (cols + 63) / 64;
  std::vector<uint8_t> out(rows * blocks * 68, 0);
  for (uint64_t r = 0; r < rows; ++r)
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* blk = out.data() + (r * blocks + b) * 68;
      const uint64_t n = std::min<uint64_t>(64, cols - b * 64);
      float amax = 0;
      for (uint64_t i = 0; i < n; ++i) amax = std::max(amax, std::fabs(v[r * cols + b * 64 + i]));
      const float scale = amax > 0 ? amax / 127.0f : 1.0f;
      std::memcpy(blk + 64, &scale, 4);
      for (uint64_t i = 0; i < n; ++i) {
        const float q = std::nearbyint(v[r * cols + b * 64 + i] / scale);
        blk[i] = uint8_t(int8_t(std::clamp(q, -127.0f, 127.0f)));
      }
    }
  return out;
}

class ModelBuilder {
 public:
  explicit ModelBuilder(const GenerativeShape& s) : s_(s), rng_{s.seed * 0x2545F4914F6CDD1Dull + 7} {}

  uint64_t group(const std::string& name) {
    groups_.push_back(name);
    return groups_.size() - 1;
  }
  uint64_t input(const std::string& name, uint64_t dtype) { return value(name, dtype, kFlagInput, 0); }
  uint64_t value(const std::string& name, uint64_t dtype = kDtypeFloat, uint64_t flags = 0, uint64_t tensor = 0) {
    values_.push_back({name, dtype, flags, tensor});
    return values_.size() - 1;
  }
  // A weight tensor in the current group, filled with uniform values in
  // [-a, a) plus `center`; Q8 when asked and the tensor is a matrix.
  uint64_t weight(const std::string& name, std::vector<uint64_t> dims, float a, float center = 0, bool allow_q8 = true) {
    uint64_t count = 1;
    for (uint64_t d : dims) count *= d;
    std::vector<float> v(count);
    for (float& x : v) x = center + rng_.uniform(a);
    Tensor t{name, kElemF16, dims, {}};
    if (s_.q8 && allow_q8 && dims.size() == 2) {
      t.kind = kElemQ8;
      t.bytes = quantize_q8(v, dims.back());
    } else {
      t.bytes.resize(count * 2);
      for (uint64_t i = 0; i < count; ++i) {
        const uint16_t h = float_to_half(v[i]);
        std::memcpy(t.bytes.data() + 2 * i, &h, 2);
      }
    }
    tensors_.push_back(std::move(t));
    if (group_counts_.size() < groups_.size()) group_counts_.resize(groups_.size(), 0);
    ++group_counts_[groups_.size() - 1];
    return value(name, tensors_.back().kind == kElemQ8 ? kDtypeQ8 : kDtypeFloat, kFlagWeight, tensors_.size() - 1);
  }
  uint64_t node(uint64_t op, std::vector<uint64_t> in, const std::string& out_name, std::vector<uint64_t> attrs = {}) {
    const uint64_t out = value(out_name);
    nodes_.push_back({op, groups_.size() - 1, std::move(in), {out}, std::move(attrs)});
    return out;
  }
  void node3(uint64_t op, std::vector<uint64_t> in, std::vector<uint64_t> out, std::vector<uint64_t> attrs) {
    nodes_.push_back({op, groups_.size() - 1, std::move(in), std::move(out), std::move(attrs)});
  }
  // x W^T + b with a fan-in-scaled weight (and an optional small bias).
  uint64_t linear(uint64_t x, const std::string& name, uint64_t out, uint64_t in, bool bias, const std::string& y) {
    std::vector<uint64_t> ins{x, weight(name + ".weight", {out, in}, std::sqrt(3.0f / float(in)))};
    if (bias) ins.push_back(weight(name + ".bias", {out}, 0.02f));
    return node(kLinear, ins, y);
  }

  void build();
  bool write(std::vector<uint8_t>* file, std::string* error);

 private:
  nlohmann::json documents() const;
  std::vector<uint8_t> graph_block(uint64_t section_offset, const std::vector<uint64_t>& name_offsets) const;

  GenerativeShape s_;
  SplitMix rng_;
  std::vector<std::string> groups_;
  std::vector<uint64_t> group_counts_;
  std::vector<Tensor> tensors_;
  std::vector<Value> values_;
  std::vector<Node> nodes_;
};

void ModelBuilder::build() {
  const GenerativeShape& s = s_;
  const uint64_t grid = kImageSide / s.patch, patches = grid * grid;
  const uint64_t vd = s.vision_width / s.vision_heads;
  const uint64_t ids = input("input_ids", kDtypeI64);
  const uint64_t positions = input("position_ids", kDtypeI64);
  const uint64_t text_mask = input("text_attention_mask", kDtypeFloat);
  const uint64_t pixels = input("pixel_values", kDtypeFloat);
  const uint64_t patch_ids = input("patch_position_ids", kDtypeI64);
  const uint64_t vision_mask = input("vision_attention_mask", kDtypeFloat);
  const uint64_t image_positions = input("image_token_positions", kDtypeI64);
  std::vector<uint64_t> past_k, past_v;
  for (uint64_t l = 0; l < s.text_layers; ++l) {
    past_k.push_back(input("past_key." + std::to_string(l), kDtypeFloat));
    past_v.push_back(input("past_value." + std::to_string(l), kDtypeFloat));
  }

  group("vision.embeddings");
  uint64_t x = node(kPatchEmbedding,
                    {pixels, weight("vision.patch_embedding.weight", {s.vision_width, 3, s.patch, s.patch},
                                    std::sqrt(3.0f / float(3 * s.patch * s.patch)), 0, false),
                     weight("vision.patch_embedding.bias", {s.vision_width}, 0.02f)},
                    "vision.patches", {s.patch});
  const uint64_t pos = node(kEmbedding, {patch_ids, weight("vision.position_embedding.weight", {patches, s.vision_width}, 0.5f)},
                            "vision.positions");
  x = node(kAdd, {x, pos}, "vision.embedded");
  const uint64_t eps_ln = dbl(s.ln_eps);
  for (uint64_t l = 0; l < s.vision_layers; ++l) {
    const std::string p = "vision.layers." + std::to_string(l);
    group(p);
    auto ln = [&](uint64_t in, const std::string& n) {
      return node(kLayerNorm, {in, weight(p + "." + n + ".weight", {s.vision_width}, 0.1f, 1.0f),
                               weight(p + "." + n + ".bias", {s.vision_width}, 0.05f)},
                  p + "." + n, {eps_ln});
    };
    const uint64_t h = ln(x, "layer_norm1");
    const uint64_t w = s.vision_width;
    const uint64_t q = linear(h, p + ".attn.q_proj", w, w, true, p + ".q");
    const uint64_t k = linear(h, p + ".attn.k_proj", w, w, true, p + ".k");
    const uint64_t v = linear(h, p + ".attn.v_proj", w, w, true, p + ".v");
    const uint64_t a = node(kAttention, {q, k, v, vision_mask}, p + ".attention", {s.vision_heads, s.vision_heads, vd, 0});
    x = node(kAdd, {x, linear(a, p + ".attn.out_proj", w, w, true, p + ".attn_out")}, p + ".residual1");
    const uint64_t h2 = ln(x, "layer_norm2");
    const uint64_t f = node(kGelu, {linear(h2, p + ".mlp.fc1", s.vision_intermediate, w, true, p + ".fc1")}, p + ".gelu");
    x = node(kAdd, {x, linear(f, p + ".mlp.fc2", w, s.vision_intermediate, true, p + ".fc2")}, p + ".residual2");
  }
  group("vision.post_layernorm");
  x = node(kLayerNorm, {x, weight("vision.post_layernorm.weight", {s.vision_width}, 0.1f, 1.0f),
                        weight("vision.post_layernorm.bias", {s.vision_width}, 0.05f)},
           "vision.output", {eps_ln});
  group("connector");
  const uint64_t shuffled = node(kShuffle, {x}, "connector.shuffled", {s.shuffle, grid, grid});
  const uint64_t in_width = s.vision_width * s.shuffle * s.shuffle;
  const uint64_t features = linear(shuffled, "connector.proj", s.text_width, in_width, false, "image_features");

  group("text.embed_tokens");
  const uint64_t table = weight("text.embed_tokens.weight", {s.vocab, s.text_width}, 1.0f);
  uint64_t t = node(kEmbedding, {ids, table}, "text.embedded");
  t = node(kScatter, {t, features, image_positions}, "text.merged");
  const uint64_t eps_rms = dbl(s.rms_eps), theta = dbl(s.rope_theta);
  const uint64_t qw = s.heads * s.head_dim, kw = s.kv_heads * s.head_dim;
  for (uint64_t l = 0; l < s.text_layers; ++l) {
    const std::string p = "text.layers." + std::to_string(l);
    group(p);
    auto rms = [&](uint64_t in, const std::string& n) {
      return node(kRmsNorm, {in, weight(p + "." + n + ".weight", {s.text_width}, 0.1f, 1.0f)}, p + "." + n, {eps_rms});
    };
    const uint64_t h = rms(t, "input_layernorm");
    uint64_t q = linear(h, p + ".self_attn.q_proj", qw, s.text_width, false, p + ".q");
    uint64_t k = linear(h, p + ".self_attn.k_proj", kw, s.text_width, false, p + ".k");
    const uint64_t v = linear(h, p + ".self_attn.v_proj", kw, s.text_width, false, p + ".v");
    q = node(kRope, {q, positions}, p + ".q_rot", {s.head_dim, theta, s.heads});
    k = node(kRope, {k, positions}, p + ".k_rot", {s.head_dim, theta, s.kv_heads});
    const uint64_t a = value(p + ".attention");
    const uint64_t nk = value("present_key." + std::to_string(l));
    const uint64_t nv = value("present_value." + std::to_string(l));
    node3(kAttention, {q, k, v, text_mask, past_k[l], past_v[l]}, {a, nk, nv}, {s.heads, s.kv_heads, s.head_dim, 1});
    t = node(kAdd, {t, linear(a, p + ".self_attn.o_proj", s.text_width, qw, false, p + ".attn_out")}, p + ".residual1");
    const uint64_t h2 = rms(t, "post_attention_layernorm");
    const uint64_t gate = node(kSilu, {linear(h2, p + ".mlp.gate_proj", s.intermediate, s.text_width, false, p + ".gate")},
                               p + ".silu");
    const uint64_t up = linear(h2, p + ".mlp.up_proj", s.intermediate, s.text_width, false, p + ".up");
    const uint64_t m = node(kMul, {gate, up}, p + ".gated");
    t = node(kAdd, {t, linear(m, p + ".mlp.down_proj", s.text_width, s.intermediate, false, p + ".down")}, p + ".residual2");
  }
  group("text.norm");
  t = node(kRmsNorm, {t, weight("text.norm.weight", {s.text_width}, 0.1f, 1.0f)}, "text.output", {eps_rms});
  // Tied, the projection has no weight of its own and so no load group:
  // it stays in the final norm's.
  uint64_t head = table;
  if (!s.tied_embeddings) {
    group("lm_head");
    head = weight("lm_head.weight", {s.vocab, s.text_width}, 4.0f * std::sqrt(3.0f / float(s.text_width)));
  }
  const uint64_t logits = node(kLinear, {t, head}, "logits");
  values_[logits].flags = kFlagLogits;
}

// The graph block that follows the section header: eight header words, then
// the node table, the value table, the index lists and the attributes.
std::vector<uint8_t> ModelBuilder::graph_block(uint64_t section_offset, const std::vector<uint64_t>& name_offsets) const {
  uint64_t index_words = 0, attr_words = 0;
  for (const Node& n : nodes_) {
    index_words += n.inputs.size() + n.outputs.size();
    attr_words += n.attrs.size();
  }
  const uint64_t body = section_offset + 32;
  const uint64_t node_table = body + kBlockHeader;
  const uint64_t value_table = node_table + kNodeStride * nodes_.size();
  const uint64_t index_area = value_table + kValueStride * values_.size();
  const uint64_t attr_area = index_area + 8 * index_words;
  std::vector<uint8_t> b(attr_area + 8 * attr_words - body, 0);
  auto put = [&](uint64_t abs, uint64_t v) { store_u64(b.data() + (abs - body), v); };
  const uint64_t head[8] = {nodes_.size(), kNodeStride, node_table, values_.size(), kValueStride, value_table,
                            index_area, attr_area};
  for (int i = 0; i < 8; ++i) put(body + 8 * i, head[i]);
  uint64_t idx = index_area, attr = attr_area;
  for (uint64_t i = 0; i < nodes_.size(); ++i) {
    const Node& n = nodes_[i];
    const uint64_t r = node_table + kNodeStride * i;
    const uint64_t words[7] = {n.op, n.group, n.inputs.size(), n.outputs.size(), idx, attr, 8 * n.attrs.size()};
    for (int w = 0; w < 7; ++w) put(r + 8 * w, words[w]);
    for (uint64_t v : n.inputs) put((idx += 8) - 8, v);
    for (uint64_t v : n.outputs) put((idx += 8) - 8, v);
    for (uint64_t a : n.attrs) put((attr += 8) - 8, a);
  }
  for (uint64_t i = 0; i < values_.size(); ++i) {
    const uint64_t r = value_table + kValueStride * i;
    put(r, name_offsets[i]);
    put(r + 8, values_[i].dtype);
    put(r + 72, values_[i].flags);
    put(r + 80, values_[i].tensor);
  }
  return b;
}

// A byte-level BPE vocabulary learnt from a paragraph: the 256 byte symbols
// (id = byte), merges by pair frequency (ties to the smaller pair) until the
// paragraph is whole words or the vocabulary is full, then the
// family's special tokens.
const char kCorpus[] =
    "The small model reads the picture and the question, then it answers in plain words. "
    "A cat sat on the warm mat near the window, watching the rain fall on the garden. "
    "There were three red apples and seven green pears in the basket on the table. "
    "What is shown in this image? Describe the colours, the shapes and the text you can read. "
    "Numbers like 2048 and 1536 are written one digit at a time, while words are joined into longer pieces. "
    "Tokens that appear often become single entries; rare strings stay as bytes until they are merged. "
    "The quick brown fox jumps over the lazy dog, and the dog does not mind at all. "
    "Invoices list the date, the amount due, the name of the seller and the address of the buyer.";

std::string byte_symbol(uint8_t b) {
  uint32_t cp = b;
  if (!((b >= 33 && b <= 126) || (b >= 161 && b <= 172) || b >= 174)) {
    uint32_t n = 0;
    for (uint32_t c = 0; c < b; ++c)
      if (!((c >= 33 && c <= 126) || (c >= 161 && c <= 172) || c >= 174)) ++n;
    cp = 256 + n;
  }
  std::string out;
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
  return out;
}

struct Vocabulary {
  nlohmann::json vocab = nlohmann::json::object();
  nlohmann::json merges = nlohmann::json::array();
  uint64_t size = 0;
};

Vocabulary learn_vocabulary(uint64_t max_entries) {
  Vocabulary v;
  for (int b = 0; b < 256; ++b) v.vocab[byte_symbol(uint8_t(b))] = b;
  v.size = 256;
  // Words: a run of letters with the space before it; digits and other
  // bytes stand alone (they are never merged across).
  std::vector<std::vector<std::string>> words;
  const std::string text = kCorpus;
  for (size_t i = 0; i < text.size();) {
    size_t j = i;
    if (text[j] == ' ') ++j;
    while (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j]))) ++j;
    if (j == i || (j == i + 1 && text[i] == ' ')) j = i + 1;
    std::vector<std::string> w;
    for (size_t k = i; k < j; ++k) w.push_back(byte_symbol(uint8_t(text[k])));
    words.push_back(std::move(w));
    i = j;
  }
  while (v.size < max_entries) {
    std::map<std::pair<std::string, std::string>, uint64_t> counts;
    for (const auto& w : words)
      for (size_t k = 0; k + 1 < w.size(); ++k) ++counts[{w[k], w[k + 1]}];
    std::pair<std::string, std::string> best;
    uint64_t best_count = 0;
    for (const auto& [pair, c] : counts)
      if (c > best_count) best = pair, best_count = c;
    if (best.first.empty()) break;
    const std::string merged = best.first + best.second;
    v.merges.push_back({best.first, best.second});
    if (!v.vocab.contains(merged)) v.vocab[merged] = v.size++;
    for (auto& w : words) {
      std::vector<std::string> out;
      for (size_t k = 0; k < w.size(); ++k) {
        if (k + 1 < w.size() && w[k] == best.first && w[k + 1] == best.second) {
          out.push_back(merged);
          ++k;
        } else {
          out.push_back(w[k]);
        }
      }
      w = std::move(out);
    }
  }
  return v;
}

constexpr uint64_t kSpecialCount = 5 + 16;

std::string chat_template() {
  return "<|im_start|>{% for message in messages %}{{message['role'] | capitalize}}"
         "{% if message['content'][0]['type'] == 'image' %}{{':'}}{% else %}{{': '}}{% endif %}"
         "{% for line in message['content'] %}{% if line['type'] == 'text' %}{{line['text']}}"
         "{% elif line['type'] == 'image' %}{{ '<image>' }}{% endif %}{% endfor %}<end_of_utterance>\n"
         "{% endfor %}{% if add_generation_prompt %}{{ 'Assistant:' }}{% endif %}";
}

nlohmann::json ModelBuilder::documents() const {
  const GenerativeShape& s = s_;
  Vocabulary v = learn_vocabulary(std::min<uint64_t>(s.vocab - kSpecialCount, 4096));
  const SpecialTokens sp = special_tokens(s);
  nlohmann::json added = nlohmann::json::array();
  auto add = [&](const std::string& content, int64_t id) {
    added.push_back({{"id", id}, {"content", content}, {"single_word", false}, {"lstrip", false},
                     {"rstrip", false}, {"normalized", false}, {"special", true}});
  };
  add("<|im_start|>", sp.im_start);
  add("<end_of_utterance>", sp.end_of_utterance);
  add("<fake_token_around_image>", sp.fake_image);
  add("<image>", sp.image);
  add("<global-img>", sp.global_image);
  for (uint64_t r = 1; r <= 4; ++r)
    for (uint64_t c = 1; c <= 4; ++c)
      add("<row_" + std::to_string(r) + "_col_" + std::to_string(c) + ">", sp.row_col(r, c));

  nlohmann::json docs;
  docs["config.json"] = {
      {"model_type", "smolvlm"},
      {"image_token_id", sp.image},
      {"scale_factor", s.shuffle},
      {"tie_word_embeddings", s.tied_embeddings},
      {"text_config",
       {{"vocab_size", s.vocab}, {"hidden_size", s.text_width}, {"intermediate_size", s.intermediate},
        {"num_hidden_layers", s.text_layers}, {"num_attention_heads", s.heads}, {"num_key_value_heads", s.kv_heads},
        {"head_dim", s.head_dim}, {"rms_norm_eps", s.rms_eps}, {"rope_theta", s.rope_theta},
        {"hidden_act", "silu"}, {"max_position_embeddings", 8192}}},
      {"vision_config",
       {{"hidden_size", s.vision_width}, {"image_size", kImageSide}, {"patch_size", s.patch},
        {"num_hidden_layers", s.vision_layers}, {"num_attention_heads", s.vision_heads},
        {"intermediate_size", s.vision_intermediate}, {"layer_norm_eps", s.ln_eps},
        {"hidden_act", "gelu_pytorch_tanh"}}}};
  docs["preprocessor_config.json"] = {
      {"do_convert_rgb", true}, {"do_normalize", true}, {"do_pad", true}, {"do_rescale", true},
      {"do_resize", true}, {"do_image_splitting", true}, {"image_mean", {0.5, 0.5, 0.5}},
      {"image_std", {0.5, 0.5, 0.5}}, {"max_image_size", {{"longest_edge", kImageSide}}}, {"resample", 1},
      {"rescale_factor", 1.0 / 255.0}, {"size", {{"longest_edge", 4 * kImageSide}}}};
  docs["tokenizer_config.json"] = {{"chat_template", chat_template()},
                                   {"fake_image_token", "<fake_token_around_image>"},
                                   {"global_image_token", "<global-img>"},
                                   {"image_token", "<image>"},
                                   {"eos_token", "<end_of_utterance>"},
                                   {"model_max_length", 8192}};
  docs["processor_config.json"] = {{"image_seq_len", 64}};
  docs["generation_config.json"] = {{"eos_token_id", {sp.end_of_utterance}}};
  docs["tokenizer.json"] = {
      {"version", "1.0"},
      {"truncation", nullptr},
      {"padding", nullptr},
      {"added_tokens", added},
      {"normalizer", nullptr},
      {"pre_tokenizer",
       {{"type", "Sequence"},
        {"pretokenizers",
         {{{"type", "Digits"}, {"individual_digits", true}},
          {{"type", "ByteLevel"}, {"add_prefix_space", false}, {"trim_offsets", true}, {"use_regex", true}}}}}},
      {"post_processor", nullptr},
      {"decoder", {{"type", "ByteLevel"}, {"add_prefix_space", true}, {"trim_offsets", true}, {"use_regex", true}}},
      {"model",
       {{"type", "BPE"}, {"dropout", nullptr}, {"unk_token", nullptr}, {"continuing_subword_prefix", nullptr},
        {"end_of_word_suffix", nullptr}, {"fuse_unk", false}, {"byte_fallback", false}, {"ignore_merges", false},
        {"vocab", v.vocab}, {"merges", v.merges}}}};
  return docs;
}

bool fail(std::string* error, const char* text) {
  if (error != nullptr) *error = text;
  return false;
}

bool shape_valid(const GenerativeShape& s) {
  if (s.patch == 0 || kImageSide % s.patch != 0 || s.shuffle == 0 || (kImageSide / s.patch) % s.shuffle != 0)
    return false;
  const uint64_t side = kImageSide / s.patch / s.shuffle;
  return side * side == 64 && s.vocab > kSpecialCount + 256 && s.heads % s.kv_heads == 0 && s.head_dim % 2 == 0 &&
         s.vision_heads > 0 && s.vision_width % s.vision_heads == 0 && s.text_layers > 0;
}

bool ModelBuilder::write(std::vector<uint8_t>* file, std::string* error) {
  ContainerSpec spec;
  for (const Tensor& t : tensors_) {
    WriterTensor w;
    w.name = t.name;
    w.kind = t.kind;
    w.rank = t.dims.size();
    for (uint64_t d = 0; d < w.rank; ++d) w.dims[d] = t.dims[d];
    w.data = slice_of(t.bytes.data(), t.bytes.size());
    spec.tensors.push_back(w);
  }
  spec.group_counts = group_counts_;
  spec.group_names = groups_;
  spec.group_names_in_meta = true;
  spec.meta.push_back(WriterMeta::str("task", "generate"));
  // Value names, then the documents' names, sit in the meta_kv extent where
  // the graph and the aux table reference them by absolute offset.
  for (const Value& v : values_) spec.meta_strings.push_back(v.name);
  const nlohmann::json docs = documents();
  std::vector<std::string> blobs;
  for (const auto& [name, doc] : docs.items()) {
    spec.meta_strings.push_back(name);
    blobs.push_back(doc.dump(1));
  }
  for (const std::string& b : blobs) spec.trailing.push_back(slice_of(b.data(), b.size()));
  // Sizes first (the layout depends on sizes only), then the offsets.
  spec.raw_nodes = WriterRawSection{8, 0, {}};
  spec.raw_nodes->bytes = graph_block(0, std::vector<uint64_t>(values_.size(), 0));
  spec.raw_nodes->count = spec.raw_nodes->bytes.size() / 8;
  spec.raw_reserved = WriterRawSection{64, blobs.size(), std::vector<uint8_t>(64 * blobs.size(), 0)};
  std::vector<uint8_t> meta;
  ContainerLayout lay;
  if (!container_build_metadata(spec, &meta, &lay, error)) return false;
  std::vector<uint64_t> names(lay.meta_string_offsets.begin(), lay.meta_string_offsets.begin() + values_.size());
  spec.raw_nodes->bytes = graph_block(lay.section_offset[kSecNodes], names);
  for (uint64_t j = 0; j < blobs.size(); ++j) {
    uint8_t* e = spec.raw_reserved->bytes.data() + 64 * j;
    store_u64(e, lay.meta_string_offsets[values_.size() + j]);
    store_u64(e + 16, lay.trailing_offsets[j]);
    store_u64(e + 24, blobs[j].size());
  }
  return container_write_memory(spec, file, error);
}

}  // namespace

GenerativeShape small_patch_model(bool q8) {
  GenerativeShape s;
  s.q8 = q8;
  s.seed = 11;
  return s;
}

GenerativeShape small_shuffle_model(bool q8) {
  GenerativeShape s;
  s.heads = 2;
  s.kv_heads = 1;
  s.head_dim = 64;
  s.patch = 32;
  s.shuffle = 2;
  s.q8 = q8;
  s.seed = 23;
  return s;
}

GenerativeShape bench_model(bool q8) {
  GenerativeShape s;
  s.vocab = 49280;
  s.text_width = 576;
  s.text_layers = 30;
  s.heads = 9;
  s.kv_heads = 3;
  s.head_dim = 64;
  s.intermediate = 1536;
  s.rope_theta = 100000.0;
  s.vision_width = 768;
  s.vision_layers = 12;
  s.vision_heads = 12;
  s.vision_intermediate = 3072;
  s.patch = 16;
  s.shuffle = 4;
  s.q8 = q8;
  s.seed = 5;
  return s;
}

SpecialTokens special_tokens(const GenerativeShape& shape) {
  // The specials follow the learnt entries; the bench model's larger
  // vocabulary leaves the ids above them unnamed.
  const Vocabulary v = learn_vocabulary(std::min<uint64_t>(shape.vocab - kSpecialCount, 4096));
  const int64_t b = int64_t(v.size);
  return {b, b + 1, b + 2, b + 3, b + 4, b + 5};
}

int64_t SpecialTokens::row_col(uint64_t row, uint64_t col) const {
  return first_row_col + int64_t((row - 1) * 4 + (col - 1));
}

bool build_generative_model(const GenerativeShape& shape, std::vector<uint8_t>* file, std::string* error) {
  if (!shape_valid(shape)) return fail(error, "invalid generative model shape");
  ModelBuilder b(shape);
  b.build();
  return b.write(file, error);
}

bool write_generative_model(const GenerativeShape& shape, const std::string& path, std::string* error) {
  std::vector<uint8_t> file;
  if (!build_generative_model(shape, &file, error)) return false;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  return out.good() || fail(error, "cannot write the model file");
}

}  // namespace vorn::test
