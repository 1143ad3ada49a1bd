#include "generation/json_values.h"

#include <cmath>
#include <vector>

#include "base/bytes.h"
#include "base/utf8.h"
#include "base/vn_error.h"

namespace vorn {

namespace {

bool utf8_string(const std::string& s) {
  return utf8_valid(Slice{reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

}  // namespace

bool json_is_portable(const nlohmann::json& value) {
  // An explicit stack: a value built from user input may nest deeply.
  std::vector<const nlohmann::json*> stack{&value};
  while (!stack.empty()) {
    const nlohmann::json* v = stack.back();
    stack.pop_back();
    if (v->is_string()) {
      if (!utf8_string(v->get_ref<const std::string&>())) return false;
    } else if (v->is_number_float()) {
      if (!std::isfinite(v->get<double>())) return false;
    } else if (v->is_object()) {
      for (auto it = v->begin(); it != v->end(); ++it) {
        if (!utf8_string(it.key())) return false;
        stack.push_back(&*it);
      }
    } else if (v->is_array()) {
      for (const auto& e : *v) stack.push_back(&e);
    } else if (v->is_binary()) {
      return false;
    }
  }
  return true;
}

nlohmann::json dictionary_to_json(const nlohmann::json& dictionary) {
  if (!json_is_portable(dictionary)) throw VNError(vn_category::kFrontend, "Invalid JSON input");
  return dictionary;
}

std::optional<nlohmann::json> json_to_object(const nlohmann::json& value) {
  if (!json_is_portable(value)) return std::nullopt;
  return value;
}

bool json_nesting_within(std::string_view text, uint32_t max_depth) {
  uint32_t depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

}  // namespace vorn
