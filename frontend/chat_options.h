// The options of the chat tool (vorn-chat): its command line becomes one
// checked options dictionary that the chat and prepare commands read. The
// dictionary is a JSON object; every valued option given on the command
// line also leaves "<key>_set": true beside its value.
#pragma once
#include <nlohmann/json.hpp>
#include <optional>

namespace vorn {

// The dictionary's defaults before the command line is read.
inline constexpr const char* kChatDefaultModel = "models/smolvlm2-500m-fp16.vorn";

// Reads argv[2..argc-1] (argv[0] is the tool, argv[1] the command word).
// Every rule it breaks is a VNError VornFrontend whose reason is the message;
// errors of other kinds pass through.
nlohmann::json parse_cli_options_or_throw(int argc, const char* const* argv);

// The same, printing "vorn: <message>" on standard error and returning
// nothing when a rule is broken.
std::optional<nlohmann::json> parse_cli_options(int argc, const char* const* argv);

// The "model" entry (a default path when the command line gave none).
const char* options_model_path(const nlohmann::json& options);

}  // namespace vorn
