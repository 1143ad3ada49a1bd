// Checks between the runtime's JSON values and the documents and request
// dictionaries the object layer hands around: a value is portable when it
// could be written out as JSON text and read back unchanged (every string
// valid UTF-8, every number finite).
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace vorn {

// A request or document dictionary as a JSON value; a value that cannot be
// written as JSON raises VNError VornFrontend "Invalid JSON input".
nlohmann::json dictionary_to_json(const nlohmann::json& dictionary);

// The value for the object layer, or nothing when it cannot be written.
std::optional<nlohmann::json> json_to_object(const nlohmann::json& value);

bool json_is_portable(const nlohmann::json& value);

// True when no array or object in the JSON text nests deeper than
// max_depth. Documents from a model file are checked before they are parsed:
// copying and comparing parsed values recurses once per level.
bool json_nesting_within(std::string_view text, uint32_t max_depth);

}  // namespace vorn
