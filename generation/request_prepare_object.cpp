// prepare: of the processor: a request dictionary becomes request options,
// the core prepares them, and the prepared request comes back as a
// dictionary. Image bytes arrive as JSON binary values ("image_data", an
// "image_pixels" dictionary, or "data" / "pixels" inside message parts) and
// are read in place: the request outlives the call.
#include <cstring>
#include <limits>
#include <new>

#include "base/vn_error.h"
#include "generation/errors.h"
#include "generation/json_values.h"
#include "generation/request_prepare.h"
#include "generation/vn_processor.h"

namespace vorn {

namespace {

using json = nlohmann::json;

[[noreturn]] void refuse(const char* reason) { throw VNError(vn_category::kFrontend, reason); }
[[noreturn]] void bad_value(const char* key) {
  throw VNError(vn_category::kFrontend, std::string("Invalid request value: ") + key);
}

// The value under key, or null when absent (an explicit null counts as absent).
const json& entry(const json& dict, const char* key) {
  static const json kAbsent;
  if (!dict.is_object()) return kAbsent;
  auto it = dict.find(key);
  return it == dict.end() ? kAbsent : *it;
}

void read_text(const json& request, const char* key, std::string& out) {
  const json& v = entry(request, key);
  if (v.is_null()) return;
  if (!v.is_string()) bad_value(key);
  out = v.get<std::string>();
}

// A whole number in [0, max], else null (absent); anything else is refused.
bool read_whole(const json& dict, const char* key, uint64_t max, uint64_t& out) {
  const json& v = entry(dict, key);
  if (v.is_null()) return false;
  if (v.is_number_unsigned()) {
    out = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    if (v.get<int64_t>() < 0) bad_value(key);
    out = static_cast<uint64_t>(v.get<int64_t>());
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (!(d >= 0 && d <= static_cast<double>(max)) || static_cast<double>(static_cast<uint64_t>(d)) != d)
      bad_value(key);
    out = static_cast<uint64_t>(d);
  } else {
    bad_value(key);
  }
  if (out > max) bad_value(key);
  return true;
}

uint32_t read_u32(const json& dict, const char* key, uint32_t absent) {
  uint64_t v = absent;
  read_whole(dict, key, UINT32_MAX, v);
  return static_cast<uint32_t>(v);
}

uint8_t read_flag(const json& request, const char* key) {
  const json& v = entry(request, key);
  if (v.is_null()) return 0;
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number()) return v.get<double>() != 0 ? 1 : 0;
  bad_value(key);
}

// An image payload of a part (or of the default message): "data" holds
// encoded bytes; otherwise "pixels" is a dictionary whose "data" holds raw
// pixels with their geometry.
ImageSource image_source(const json& data, const json& pixels) {
  const json& bytes = data.is_null() ? entry(pixels, "data") : data;
  if (!bytes.is_binary() || bytes.get_binary().empty()) refuse("Invalid image data");
  ImageSource s{};
  s.data = bytes.get_binary().data();
  s.length = bytes.get_binary().size();
  if (!data.is_null()) {
    s.kind = kImageSourceEncoded;
    return s;
  }
  s.kind = kImageSourcePixels;
  s.width = read_u32(pixels, "width", 0);
  s.height = read_u32(pixels, "height", 0);
  uint64_t stride = 0;
  read_whole(pixels, "stride", UINT64_MAX, stride);
  s.stride = stride;
  s.format = read_u32(pixels, "format", 0);
  s.orientation = read_u32(pixels, "orientation", 0);
  return s;
}

// The conversation with image payloads replaced by "image_index" entries
// into options.images.
json collect_messages(const json& messages, FrontendOptions& options) {
  if (!messages.is_array()) refuse("Invalid messages");
  json out = json::array();
  for (const json& message : messages) {
    if (!message.is_object() || !entry(message, "content").is_array()) refuse("Invalid message");
    json content = json::array();
    for (const json& part : message["content"]) {
      if (!part.is_object()) refuse("Invalid content");
      const json& data = entry(part, "data");
      const json& pixels = entry(part, "pixels");
      if (data.is_null() && pixels.is_null()) {
        content.push_back(part);
        continue;
      }
      json copy = part;
      copy.erase("data");
      copy.erase("pixels");
      copy["image_index"] = options.images.size();
      options.images.push_back(image_source(data, pixels));
      content.push_back(std::move(copy));
    }
    json copy = message;
    copy["content"] = std::move(content);
    out.push_back(std::move(copy));
  }
  if (!json_is_portable(out)) refuse("Invalid JSON input");
  return out;
}

void fill_options(const json& request, FrontendOptions& options) {
  if (!request.is_object()) bad_value("request");
  read_text(request, "prompt", options.prompt);
  read_text(request, "image", options.image);
  read_text(request, "image_detail", options.image_detail);
  options.image_longest_edge = read_u32(request, "image_longest_edge", 0);
  if (options.image_longest_edge == 0) options.image_longest_edge = 512;
  options.max_new_tokens = read_u32(request, "max_new_tokens", 0);
  options.context_length = read_u32(request, "context_length", 0);
  if (options.context_length == 0) options.context_length = 2048;
  const json& activation = entry(request, "activation");
  options.activation = activation.is_string() && activation.get_ref<const std::string&>() == "fp16"
                           ? kActivationF16
                           : kActivationF32;
  options.count_only = read_flag(request, "count_only");
  options.causal_mask = read_flag(request, "causal_mask");
  const json& crop = entry(request, "image_crop");
  if (!crop.is_null()) {
    if (!crop.is_array()) bad_value("image_crop");
    for (const json& v : crop) {
      if (!v.is_number()) bad_value("image_crop");
      options.image_crop.push_back(v.get<double>());
    }
  }
  const json& messages = entry(request, "messages");
  const json& image_data = entry(request, "image_data");
  const json& image_pixels = entry(request, "image_pixels");
  if (!messages.is_null()) {
    options.messages = collect_messages(messages, options);
  } else if (!image_data.is_null() || !image_pixels.is_null()) {
    options.images.push_back(image_source(image_data, image_pixels));
    options.messages = json::array({json{{"role", "user"},
                                         {"content", json::array({json{{"type", "image"}, {"image_index", 0}},
                                                                  json{{"type", "text"}, {"text", options.prompt}}})}}});
  }
}

json result_dictionary(PreparedRequest&& prepared) {
  json inputs = json::object();
  for (auto& [name, tensor] : prepared.tensors) {
    inputs[name] = {{"shape", tensor.shape}, {"dtype", tensor.dtype}, {"data", json::binary(std::move(tensor.data))}};
  }
  json out = json::object();
  out["inputs"] = std::move(inputs);
  out["prompt_token_ids"] = std::move(prepared.prompt_token_ids);
  out["rendered_prompt"] = std::move(prepared.rendered_prompt);
  out["image_views"] = prepared.image_views;
  out["image_rows"] = prepared.image_rows;
  out["image_cols"] = prepared.image_cols;
  out["image_orientations"] = std::move(prepared.image_orientations);
  out["stages_ms"] = std::move(prepared.stages_ms);
  return out;
}

bool names_image(const char* text) {
  return std::strstr(text, "JPEG") || std::strstr(text, "PNG") || std::strstr(text, "Cannot read image");
}

}  // namespace

json VNProcessor::prepare(const json& request) const {
  try {
    FrontendOptions options;
    fill_options(request, options);
    return result_dictionary(prepare_request(options, *processor_));
  } catch (const VNError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw VNError(vn_category::kMalloc, "Input allocation failed");
  } catch (const ImageError& e) {
    // By kind, not only by text: every image that cannot be read is an
    // image failure, whatever its decoder said.
    throw VNError(vn_category::kImage, e.what(), e.status());
  } catch (const std::exception& e) {
    throw VNError(names_image(e.what()) ? vn_category::kImage : vn_category::kFrontend, e.what());
  }
}

}  // namespace vorn
