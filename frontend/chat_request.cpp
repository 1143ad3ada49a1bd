#include "frontend/chat_request.h"

#include <cstring>
#include <new>
#include <string>

#include "base/vn_error.h"
#include "generation/sampling_params.h"

namespace vorn {

namespace {

using json = nlohmann::json;

constexpr uint64_t kMaxMessages = 4096;
constexpr uint64_t kMaxParts = 4096;
constexpr uint32_t kDefaultContext = 2048;

[[noreturn]] void refuse(const char* reason) { throw VNError(vn_category::kArgument, reason); }

// A string the generation call can take as a C text: one holding a NUL
// would silently lose its tail there, so it is refused.
const char* c_text(const json& value, const char* reason) {
  if (!value.is_string()) refuse(reason);
  const std::string& s = value.get_ref<const std::string&>();
  if (s.find('\0') != std::string::npos) refuse(reason);
  return s.c_str();
}

const json& entry(const json& object, const char* key) {
  static const json kAbsent;
  const auto it = object.find(key);
  return it == object.end() ? kAbsent : *it;
}

uint32_t u32_option(const json& options, const char* key, uint32_t absent) {
  const json& v = entry(options, key);
  return v.is_number_unsigned() ? static_cast<uint32_t>(v.get<uint64_t>()) : absent;
}

}  // namespace

GenerativeOpenParams chat_open_params(const json& options) {
  GenerativeOpenParams p{};
  p.context_length = u32_option(options, "context_length", 0);
  if (p.context_length == 0) p.context_length = kDefaultContext;
  p.fp16 = entry(options, "activation") == "fp16" ? 1 : 0;
  const json& backend = entry(options, "backend");
  p.backend = backend.is_string() ? backend.get_ref<const std::string&>().c_str() : "auto";
  return p;
}

ChatRequest::ChatRequest(const json& options) {
  try {
    const json* messages = &entry(options, "messages");
    if (messages->is_null()) {
      json content = json::array();
      if (entry(options, "image").is_string()) content.push_back({{"type", "image"}, {"path", options["image"]}});
      content.push_back({{"type", "text"}, {"text", entry(options, "prompt").is_string() ? options["prompt"] : ""}});
      built_ = json::array({{{"role", "user"}, {"content", std::move(content)}}});
      messages = &built_;
    }
    if (!messages->is_array() || messages->empty() || messages->size() > kMaxMessages) refuse("Invalid messages");
    uint64_t total = 0;
    for (const json& m : *messages) {
      if (!m.is_object() || !entry(m, "content").is_array() || m["content"].size() > kMaxParts)
        refuse("Invalid message content");
      total += m["content"].size();
    }
    // Reserved up front: the messages point into the part and image arrays.
    messages_.reserve(messages->size());
    parts_.reserve(total);
    images_.reserve(total);
    for (const json& m : *messages) {
      GenerationMessage message{c_text(entry(m, "role"), "Invalid role"), parts_.data() + parts_.size(),
                                m["content"].size()};
      for (const json& item : m["content"]) {
        if (!item.is_object()) refuse("Invalid content");
        const json& type = entry(item, "type");
        if (type == "text") {
          parts_.push_back({kContentText, c_text(entry(item, "text"), "Invalid text"), nullptr});
        } else if (type == "image" && entry(item, "path").is_string()) {
          ImageSource source{};
          source.kind = kImageSourcePath;
          source.path = c_text(item["path"], "Image requires path");
          images_.push_back(source);
          parts_.push_back({kContentImage, nullptr, &images_.back()});
        } else {
          refuse("Image requires path");
        }
      }
      messages_.push_back(message);
    }

    request_ = generation_request_default();
    request_.sampling = sampling_params_from_dictionary(options);
    request_.max_new_tokens = u32_option(options, "max_new_tokens", request_.max_new_tokens);
    request_.image_tiled = entry(options, "image_detail") == "tiled" ? 1 : 0;
    request_.image_longest_edge = u32_option(options, "image_longest_edge", request_.image_longest_edge);
    const json& crop = entry(options, "image_crop");
    if (!crop.is_null()) {
      if (!crop.is_array() || crop.size() != 4) refuse("Crop requires four coordinates");
      request_.crop = 1;
      for (size_t i = 0; i < 4; ++i) {
        if (!crop[i].is_number()) refuse("Crop requires four coordinates");
        request_.crop_box[i] = crop[i].get<double>();
      }
    }
    const json& stops = entry(options, "stop");
    if (stops.is_array()) {
      for (const json& s : stops) stops_.push_back(c_text(s, "Empty stop sequence"));
    }
    request_.stops = stops_.empty() ? nullptr : stops_.data();
    request_.stop_count = stops_.size();
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kInference, "Message allocation failed");
  }
}

}  // namespace vorn
