// The options of vorn-vulkan, the front end of a build that generates on a
// Vulkan device: its command line becomes the FrontendOptions record that
// request preparation reads. This build has no such device; of its
// commands only "prepare" runs here.
#pragma once
#include <string>

#include "generation/frontend_options.h"

namespace vorn {

inline constexpr const char* kVulkanUsage =
    "usage: vorn-vulkan chat|prepare|selftest|info [--activation fp16|int8] [--int8-scope prefill|vision] "
    "[options]";

// Returns when condition holds, else throws std::runtime_error(message).
void require_or_throw(bool condition, const std::string& message);

// Reads argv[1] (the command) and the options after it. Every rule it
// breaks throws std::runtime_error whose text is the message; a messages
// file that is not JSON throws the JSON library's parse error.
FrontendOptions parse_command_line(int argc, const char* const* argv);

}  // namespace vorn
