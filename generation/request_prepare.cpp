#include "generation/request_prepare.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "base/files.h"
#include "container/records.h"
#include "generation/image_views.h"
#include "generation/tokenizer.h"
#include "platform/half.h"

namespace vorn {

namespace {

using json = nlohmann::json;

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }
[[noreturn]] void bad_config(const char* key) {
  throw std::runtime_error(std::string("Invalid configuration value: ") + key);
}

double ms_since(double start) { return (monotonic_seconds_alt() - start) * 1000.0; }

const json& config_at(const json& doc, const char* key) {
  if (!doc.is_object() || !doc.contains(key)) bad_config(key);
  return doc[key];
}

// A whole number of the configuration (an integer, or a float holding one).
int64_t config_int(const json& doc, const char* key) {
  const json& v = config_at(doc, key);
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max()))
      bad_config(key);
    return v.get<int64_t>();
  }
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<int64_t>(d);
  }
  bad_config(key);
}

uint32_t config_u32(const json& doc, const char* key) {
  const int64_t v = config_int(doc, key);
  if (v < 0 || v > int64_t{UINT32_MAX}) bad_config(key);
  return static_cast<uint32_t>(v);
}

double config_number(const json& doc, const char* key) {
  const json& v = config_at(doc, key);
  if (!v.is_number()) bad_config(key);
  return v.get<double>();
}

const std::string& config_text(const json& doc, const char* key) {
  const json& v = config_at(doc, key);
  if (!v.is_string()) bad_config(key);
  return v.get_ref<const std::string&>();
}

// The image tokens, read from the tokenizer configuration when a part first
// needs them (a request without images never reads the fake and global ones).
struct TokenSource {
  const Processor& processor;
  ImageTokens tokens;
  bool have_image = false, have_all = false;

  const std::string& image_token() {
    if (!have_image) tokens.image = config_text(processor.tokenizer_config, "image_token");
    have_image = true;
    return tokens.image;
  }
  const ImageTokens& all() {
    if (!have_all) {
      image_token();
      tokens.fake = config_text(processor.tokenizer_config, "fake_image_token");
      tokens.global = config_text(processor.tokenizer_config, "global_image_token");
      tokens.seq_len = processor.image_seq_len;
    }
    have_all = true;
    return tokens;
  }
};

json default_conversation(const FrontendOptions& options) {
  json parts = json::array();
  if (!options.image.empty()) parts.push_back({{"type", "image"}, {"path", options.image}});
  parts.push_back({{"type", "text"}, {"text", options.prompt}});
  return json::array({json{{"role", "user"}, {"content", std::move(parts)}}});
}

// Renders the conversation into request.rendered_prompt, turning image parts
// into views.
void render(const json& conversation, const FrontendOptions& options, const Processor& processor,
            ImageViewsState& views, PreparedRequest& request) {
  ImageViewSettings settings;
  settings.tiled = options.image_detail == "tiled";
  settings.longest_edge = options.image_longest_edge;
  settings.crop = options.image_crop;
  settings.images = options.images;
  settings.max_new_tokens = options.max_new_tokens;
  settings.context_length = options.context_length;
  settings.count_only = options.count_only != 0;
  TokenSource tokens{processor, {}};

  std::string& prompt = request.rendered_prompt;
  uint64_t text_bytes = 0;
  prompt = "<|im_start|>";
  for (const json& message : conversation) {
    const std::string& role = message.at("role").get_ref<const std::string&>();
    if (role != "user" && role != "system" && role != "assistant") fail("Invalid message role");
    const json& content = message.at("content");
    if (!content.is_array() || content.empty()) fail("Invalid message content");
    prompt += static_cast<char>(role[0] - 'a' + 'A');
    prompt.append(role, 1);
    prompt += content[0].at("type").get_ref<const std::string&>() == "image" ? ":" : ": ";
    for (const json& part : content) {
      const std::string& type = part.at("type").get_ref<const std::string&>();
      if (type == "image") {
        append_image_part(part, settings, tokens.all(), views, prompt);
      } else if (type == "text") {
        const std::string& text = part.at("text").get_ref<const std::string&>();
        text_bytes += text.size();
        const std::string& marker = tokens.image_token();
        if (text_bytes > kRequestMaxTextBytes || marker.empty() || text.find(marker) != std::string::npos)
          fail("Invalid prompt/image marker");
        prompt += text;
      } else {
        fail("Invalid content type");
      }
    }
    prompt += "<end_of_utterance>\n";
  }
  prompt += "Assistant:";
}

// Per channel, the float each byte value becomes: (f32(rescale * byte) -
// mean) / std in f32, the same for every pixel, so a table of 256 entries.
struct PixelTable {
  float v[3][256];
};

PixelTable pixel_table(const json& preprocessor) {
  const double rescale = config_number(preprocessor, "rescale_factor");
  const json& mean = config_at(preprocessor, "image_mean");
  const json& std_dev = config_at(preprocessor, "image_std");
  PixelTable t;
  for (int c = 0; c < 3; ++c) {
    if (!mean.is_array() || mean.size() != 3 || !mean[c].is_number()) bad_config("image_mean");
    if (!std_dev.is_array() || std_dev.size() != 3 || !std_dev[c].is_number()) bad_config("image_std");
    const float m = static_cast<float>(mean[c].get<double>());
    const float s = static_cast<float>(std_dev[c].get<double>());
    for (int b = 0; b < 256; ++b) t.v[c][b] = (static_cast<float>(rescale * b) - m) / s;
  }
  return t;
}

// Planar channels of each 512 x 512 view.
template <class T, class Convert>
void write_pixels(const std::vector<gen::RgbImage>& views, const PixelTable& table, T* out, Convert convert) {
  constexpr uint64_t kPlane = uint64_t{kViewSide} * kViewSide;
  T lut[3][256];
  for (int c = 0; c < 3; ++c)
    for (int b = 0; b < 256; ++b) lut[c][b] = convert(table.v[c][b]);
  for (const gen::RgbImage& view : views) {
    const uint8_t* p = view.pixels.data();
    for (uint64_t i = 0; i < kPlane; ++i) {
      out[i] = lut[0][p[3 * i]];
      out[kPlane + i] = lut[1][p[3 * i + 1]];
      out[2 * kPlane + i] = lut[2][p[3 * i + 2]];
    }
    out += 3 * kPlane;
  }
}

// Row i holds the lowest finite value in every column j > i.
template <class T>
void write_causal_mask(T* out, uint64_t n, T lowest) {
  for (uint64_t i = 0; i + 1 < n; ++i) std::fill(out + i * n + i + 1, out + (i + 1) * n, lowest);
}

void build_tensors(const FrontendOptions& options, const Processor& processor,
                   const std::vector<gen::RgbImage>& views, PreparedRequest& request) {
  const uint32_t f = options.activation != 0 ? kElemF16 : kElemF32;
  HostTensorMap& tensors = request.tensors;
  const std::vector<int64_t>& ids = request.prompt_token_ids;
  const uint32_t n = static_cast<uint32_t>(ids.size());

  HostTensor& input_ids = add_host_tensor(tensors, f, "input_ids", {1, n}, kElemI64);
  std::memcpy(input_ids.data.data(), ids.data(), ids.size() * 8);
  HostTensor& position_ids = add_host_tensor(tensors, f, "position_ids", {1, n}, kElemI64);
  auto* positions = reinterpret_cast<int64_t*>(position_ids.data.data());
  for (uint32_t i = 0; i < n; ++i) positions[i] = i;

  const int64_t image_token_id = config_int(processor.config, "image_token_id");
  std::vector<int64_t> image_positions;
  for (uint32_t i = 0; i < n; ++i)
    if (ids[i] == image_token_id) image_positions.push_back(i);
  if (image_positions.size() != uint64_t{request.image_views} * processor.image_seq_len) fail("Image token count");

  if (options.causal_mask) {
    add_host_tensor(tensors, f, "text_attention_mask", {1, 1, 0, 0}, 0);
  } else {
    HostTensor& mask = add_host_tensor(tensors, f, "text_attention_mask", {1, 1, n, n}, 0);
    if (f == kElemF16)
      write_causal_mask(reinterpret_cast<uint16_t*>(mask.data.data()), n, float_to_half(-65504.0f));
    else
      write_causal_mask(reinterpret_cast<float*>(mask.data.data()), n, std::numeric_limits<float>::lowest());
  }

  const uint32_t v = request.image_views;
  const PixelTable table = pixel_table(processor.preprocessor);
  HostTensor& pixels = add_host_tensor(tensors, f, "pixel_values", {v, 3, kViewSide, kViewSide}, 0);
  if (f == kElemF16)
    write_pixels(views, table, reinterpret_cast<uint16_t*>(pixels.data.data()), float_to_half);
  else
    write_pixels(views, table, reinterpret_cast<float*>(pixels.data.data()), [](float x) { return x; });

  const uint32_t patch = config_u32(config_at(processor.config, "vision_config"), "patch_size");
  if (patch == 0 || kViewSide % patch != 0) fail("Patch size");
  const uint32_t p = kViewSide / patch;
  HostTensor& patch_ids = add_host_tensor(tensors, f, "patch_position_ids", {v, p * p}, kElemI64);
  auto* patch_out = reinterpret_cast<int64_t*>(patch_ids.data.data());
  for (uint64_t i = 0; i < uint64_t{v} * p * p; ++i) patch_out[i] = static_cast<int64_t>(i % (p * p));
  add_host_tensor(tensors, f, "vision_attention_mask", {v, 1, p * p, p * p}, 0);

  HostTensor& token_positions = add_host_tensor(tensors, f, "image_token_positions",
                                                {static_cast<uint32_t>(image_positions.size())}, kElemI64);
  if (!image_positions.empty())
    std::memcpy(token_positions.data.data(), image_positions.data(), image_positions.size() * 8);

  const json& text_config = config_at(processor.config, "text_config");
  const uint32_t layers = config_u32(text_config, "num_hidden_layers");
  if (layers < 1 || layers > kRequestMaxLayers) fail("Layer count");
  const uint32_t heads = config_u32(text_config, "num_key_value_heads");
  const uint32_t head_dim = config_u32(text_config, "head_dim");
  for (uint32_t l = 0; l < layers; ++l)
    for (const char* word : {"key", "value"})
      add_host_tensor(tensors, f, std::string("past_") + word + "." + std::to_string(l), {1, heads, 0, head_dim}, 0);
}

}  // namespace

PreparedRequest prepare_request(const FrontendOptions& options, const Processor& processor) {
  const double start = monotonic_seconds_alt();
  if (options.context_length < 1 || options.context_length > kRequestMaxContext || options.max_new_tokens < 1 ||
      options.max_new_tokens > options.context_length) {
    fail("Invalid context/output budget");
  }
  const uint32_t edge = options.image_longest_edge;
  const bool single = options.image_detail == "single" && edge == kViewSide;
  const bool tiled = options.image_detail == "tiled" && edge >= kViewSide && edge <= kViewMaxFitted;
  if (!single && !tiled) fail("Invalid image detail/edge");

  const json conversation = options.messages.is_null() ? default_conversation(options) : json();
  const json& messages = options.messages.is_null() ? conversation : options.messages;
  if (!messages.is_array() || messages.empty() || messages.size() > kRequestMaxMessages) fail("Invalid messages");

  PreparedRequest request;
  ImageViewsState views;
  render(messages, options, processor, views, request);
  request.image_views = options.count_only ? views.counted_views : static_cast<uint32_t>(views.views.size());
  request.image_rows = views.rows;
  request.image_cols = views.cols;
  request.image_orientations = std::move(views.orientations);
  request.stages_ms["image_decode_resize_ms"] = ms_since(start);

  const double tokenize_start = monotonic_seconds_alt();
  request.prompt_token_ids = bpe_encode(processor, request.rendered_prompt);
  const uint64_t n = request.prompt_token_ids.size();
  if (n == 0 || (!options.count_only && options.max_new_tokens + n > options.context_length))
    fail("Prompt plus output exceeds context budget");
  request.stages_ms["prompt_tokenize_ms"] = ms_since(tokenize_start);
  if (options.count_only) return request;

  const double tensor_start = monotonic_seconds_alt();
  build_tensors(options, processor, views.views, request);
  request.stages_ms["tensor_prepare_ms"] = ms_since(tensor_start);
  return request;
}

}  // namespace vorn
